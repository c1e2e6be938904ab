// The free-space keeper and the removal of unplayable recordings, on a card whose free space the
// test sets (files are sparse: their length counts, they take no disk).
#include "sd_card_util.h"

#include <random>

namespace {

constexpr off_t kMiB = 1 << 20;

// "HHMMSS_HHMMSS.mp4" of a recording that starts `minute` minutes after 10:00 and lasts 50 s.
std::string Recording(int minute)
{
    char name[40];
    std::snprintf(name, sizeof(name), "%02d%02d00_%02d%02d50.mp4", 10 + minute / 60, minute % 60, 10 + minute / 60, minute % 60);
    return name;
}

class FreeSizeTest : public SdCardTest {
protected:
    void SetUp() override
    {
        SdCardTest::SetUp();
        Mount();
    }
    // A day of recordings at minutes first..first+count-1, made in a shuffled order.
    void Day(const std::string& day, int first, int count, off_t bytes = 1)
    {
        std::vector<int> minutes;
        for (int i = 0; i < count; ++i) {
            minutes.push_back(first + i);
        }
        std::shuffle(minutes.begin(), minutes.end(), std::mt19937(count));
        for (int m : minutes) {
            CardFile("/mnt/sdcard/DVR/" + day + "/" + Recording(m), bytes);
        }
    }
    std::vector<std::string> Recordings(int first, int count) const
    {
        std::vector<std::string> names;
        for (int i = 0; i < count; ++i) {
            names.push_back(Recording(first + i));
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    void FreeMib(int mib) const { ASSERT_EQ(0, Card("fill " + std::to_string(mib))); }
};

}  // namespace

TEST_F(FreeSizeTest, FortyFilesInTheOldestDayLoseTheirThirtyOldest)
{
    Day("20240101", 0, 40);
    Day("20240102", 0, 5);
    FreeMib(200);  // below the 300 MiB a recording needs; removing these small files frees nothing
    EXPECT_EQ(0, FreeSize(kFreeSizeRecords));
    EXPECT_EQ(Recordings(30, 10), Names("/mnt/sdcard/DVR/20240101"));
    EXPECT_EQ(Recordings(0, 5), Names("/mnt/sdcard/DVR/20240102"));
}

TEST_F(FreeSizeTest, SmallOldestDaysStopAtThirtyRemovals)
{
    // Seven files a day: the count goes 7, 14, 21, 28, then 30 inside the fifth day.
    for (int d = 1; d <= 6; ++d) {
        Day("2024010" + std::to_string(d), 0, 7);
    }
    Day("20240301", 0, 3);
    FreeMib(200);
    EXPECT_EQ(0, FreeSize(kFreeSizeRecords));
    EXPECT_EQ((std::vector<std::string>{"20240105", "20240106", "20240301"}), Names("/mnt/sdcard/DVR"));
    EXPECT_EQ(Recordings(2, 5), Names("/mnt/sdcard/DVR/20240105"));
    EXPECT_EQ(Recordings(0, 7), Names("/mnt/sdcard/DVR/20240106"));

    // The next call goes on where this one stopped, and never takes more than thirty.
    EXPECT_EQ(0, FreeSize(kFreeSizeRecords));
    EXPECT_TRUE(Names("/mnt/sdcard/DVR").empty()) << "15 files were left, all go";
}

TEST_F(FreeSizeTest, StopsAsSoonAsTheSpaceSuffices)
{
    Day("20240101", 0, 5, 8 * kMiB);
    Day("20240102", 0, 5, 8 * kMiB);
    FreeMib(280);  // three files of 8 MiB lift it above 300 MiB
    EXPECT_EQ(0, FreeSize(kFreeSizeRecords));
    EXPECT_EQ(Recordings(3, 2), Names("/mnt/sdcard/DVR/20240101"));
    EXPECT_EQ(Recordings(0, 5), Names("/mnt/sdcard/DVR/20240102"));

    // Enough space: nothing goes.
    EXPECT_EQ(0, FreeSize(kFreeSizeRecords));
    EXPECT_EQ(Recordings(3, 2), Names("/mnt/sdcard/DVR/20240101"));

    // Exactly at the threshold is not enough; the day's last file takes its folder with it.
    FreeMib(292);
    EXPECT_EQ(0, FreeSize(kFreeSizeRecords));
    EXPECT_EQ((std::vector<std::string>{"20240102"}), Names("/mnt/sdcard/DVR"));
    FreeMib(300);
    EXPECT_EQ(0, FreeSize(kFreeSizeRecords));
    EXPECT_EQ(Recordings(1, 4), Names("/mnt/sdcard/DVR/20240102"));
}

TEST_F(FreeSizeTest, AnUnplayableRecordingGoesFirst)
{
    Day("20240101", 0, 3, 8 * kMiB);
    CardFile("/mnt/sdcard/DVR/20240101/235900.mp4", 8 * kMiB);  // started, never closed
    FreeMib(296);
    EXPECT_EQ(0, FreeSize(kFreeSizeRecords));
    EXPECT_EQ(Recordings(0, 3), Names("/mnt/sdcard/DVR/20240101"));
}

TEST_F(FreeSizeTest, ClearBadFileRemovesWhatCannotPlay)
{
    const std::string dvr = "/mnt/sdcard/DVR/";
    CardFile(dvr + "20240101/100000_100100.mp4");
    CardFile(dvr + "20240101/110000.mp4");
    // Names too short for the times, or without times, are left alone; the scan never reads
    // before the name.
    for (const char* odd : {"12345.mp4", "abcdefghi.mp4", "x.mp4"}) {
        CardFile(dvr + "20240101/" + odd);
    }
    CardFile(dvr + "20240101/_123456.mp4");     // a start time and no end time
    CardFile(dvr + "20240101/100000_1001xx.mp4");  // a start time and half an end time
    CardFile(dvr + "20240102/080000.mp4");
    std::filesystem::create_directories(sb.Path(dvr + "20240103"));
    CardFile(dvr + "20240104/notes.txt");
    CardFile(dvr + "misc/080000.mp4");  // no day folder
    CardFile("/mnt/sdcard/DCIM/20240101/080000.jpg");

    FreeMib(1000);  // space enough: a recording's call clears the unplayable ones instead
    EXPECT_EQ(0, FreeSize(kFreeSizeRecords));
    EXPECT_EQ((std::vector<std::string>{"20240101", "misc"}), Names("/mnt/sdcard/DVR"));
    EXPECT_EQ((std::vector<std::string>{"100000_100100.mp4", "12345.mp4", "abcdefghi.mp4", "x.mp4"}),
              Names(dvr + "20240101"));
    EXPECT_EQ(std::vector<std::string>{"080000.mp4"}, Names(dvr + "misc"));
    EXPECT_EQ(std::vector<std::string>{"080000.jpg"}, Names("/mnt/sdcard/DCIM/20240101"));
    EXPECT_EQ(0, ClearBadFile());
}

TEST_F(FreeSizeTest, AFreshCardHasNothingToClearAndAnUnreadableFolderIsAnError)
{
    // A card that never held a recording has no record folder: nothing to clear, no error.
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, ClearBadFile());
    EXPECT_EQ(std::string::npos, testing::internal::GetCapturedStdout().find("fail to open dir"));
    // A record folder that cannot be listed still is one.
    CardFile("/mnt/sdcard/DVR");
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, ClearBadFile());
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find("fail to open dir"));
}

TEST_F(FreeSizeTest, PicturesKeepTheirOwnThreshold)
{
    Day("20240101", 0, 3);
    CardFile("/mnt/sdcard/DVR/20240101/235900.mp4");
    for (int i = 0; i < 35; ++i) {
        char name[16];
        std::snprintf(name, sizeof(name), "1000%02d.jpg", i);
        CardFile(std::string("/mnt/sdcard/DCIM/20240101/") + name);
    }
    CardFile("/mnt/sdcard/DCIM/20240102/090000.jpg");

    // 200 MiB is plenty for a picture (100 MiB), and a picture's call clears no recording.
    FreeMib(200);
    EXPECT_EQ(0, FreeSize(kFreeSizePictures));
    EXPECT_EQ(35u, Names("/mnt/sdcard/DCIM/20240101").size());
    EXPECT_EQ(4u, Names("/mnt/sdcard/DVR/20240101").size());

    // Below it the oldest pictures go, the earliest first; the recordings stay.
    FreeMib(50);
    EXPECT_EQ(0, FreeSize(kFreeSizePictures));
    EXPECT_EQ((std::vector<std::string>{"100030.jpg", "100031.jpg", "100032.jpg", "100033.jpg", "100034.jpg"}),
              Names("/mnt/sdcard/DCIM/20240101"));
    EXPECT_EQ(4u, Names("/mnt/sdcard/DVR/20240101").size());

    // The picture writer makes room the same way before it writes: the space is still short,
    // so both old days go (six files), then today's folder gets the picture.
    std::vector<uint8_t> jpeg(2048, 0xFF);
    ASSERT_EQ(0, SaveImageToSDCard(jpeg.data(), jpeg.size()));
    std::vector<std::string> days = Names("/mnt/sdcard/DCIM");
    ASSERT_EQ(1u, days.size());
    EXPECT_GT(days[0], "20240102");
    EXPECT_EQ(1u, Names("/mnt/sdcard/DCIM/" + days[0]).size());
}

TEST_F(FreeSizeTest, RefusesAnotherKindAndACardNotMountedReadWrite)
{
    Day("20240101", 0, 3);
    FreeMib(10);
    EXPECT_EQ(-1, FreeSize(2));
    ASSERT_EQ(0, Card("ro"));
    EXPECT_EQ(-1, FreeSize(kFreeSizeRecords));
    ASSERT_EQ(0, Card("remove"));
    EXPECT_EQ(-1, FreeSize(kFreeSizePictures));
    EXPECT_EQ(3u, Names("/mnt/sdcard/DVR/20240101").size());
}
