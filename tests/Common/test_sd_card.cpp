// The card's state, the start-up mount and upgrade hand-over, the format and the picture writer.
#include "sd_card_util.h"

#include "platform/board.h"

#include <cstring>

namespace {

constexpr const char* kRoot = "rootfs / rootfs rw 0 0\n";
constexpr const char* kCardRw = "/dev/mmcblk0p1 /mnt/sdcard vfat rw,relatime,fmask=0022,dmask=0022,errors=remount-ro 0 0\n";

class SdCard : public SdCardTest {
protected:
    bool Logged(const char* file, const std::string& text) const
    {
        return sb.Read(file).find(text) != std::string::npos;
    }
};

std::string Filler(size_t bytes)
{
    std::string lines;
    while (lines.size() < bytes) {
        lines += "tmpfs /var/volatile tmpfs rw,relatime 0 0\n";
    }
    return lines;
}

}  // namespace

TEST_F(SdCard, StateFollowsTheNodesAndTheCardsOwnMountLine)
{
    struct {
        const char* what;
        bool card;
        bool partition;
        bool table;
        std::string mounts;
        uint32_t state;
        const char* device;
    } rows[] = {
        {"no card", false, false, true, std::string(kRoot) + kCardRw, SD_STATUS_NO_CARD, nullptr},
        {"no mount table", true, true, false, "", SD_STATUS_NO_TABLE, "/dev/mmcblk0p1"},
        {"not mounted", true, true, true, kRoot, SD_STATUS_ABNORMAL, "/dev/mmcblk0p1"},
        {"not mounted, no partition", true, false, true, kRoot, SD_STATUS_ABNORMAL, "/dev/mmcblk0"},
        {"mounted", true, true, true, std::string(kRoot) + kCardRw, SD_STATUS_NORMAL, "/dev/mmcblk0p1"},
        {"whole device", true, false, true, "/dev/mmcblk0 /mnt/sdcard vfat rw 0 0", SD_STATUS_NORMAL, "/dev/mmcblk0"},
        {"read-only", true, true, true, "/dev/mmcblk0p1 /mnt/sdcard vfat ro,relatime 0 0\n", SD_STATUS_ABNORMAL, "/dev/mmcblk0p1"},
        {"read-only, last option", true, true, true, "/dev/mmcblk0p1 /mnt/sdcard vfat relatime,ro 0 0\n", SD_STATUS_ABNORMAL, "/dev/mmcblk0p1"},
        {"other file system", true, true, true, "/dev/mmcblk0p1 /mnt/sdcard ext4 rw,relatime 0 0\n", SD_STATUS_ABNORMAL, "/dev/mmcblk0p1"},
        {"device node gone", true, true, true, "/dev/mmcblk1p1 /mnt/sdcard vfat rw 0 0\n", SD_STATUS_ABNORMAL, "/dev/mmcblk1p1"},
        {"device name too long", true, true, true, "/dev/mmcblk0p1234 /mnt/sdcard vfat rw 0 0\n", SD_STATUS_ABNORMAL, "/dev/mmcblk0p1"},
        {"no card device", true, true, true, "/dev/sda1 /mnt/sdcard vfat rw 0 0\n", SD_STATUS_ABNORMAL, "/dev/mmcblk0p1"},
        {"other mount point", true, true, true, "/dev/mmcblk0p1 /mnt/sdcard2 vfat rw 0 0\n", SD_STATUS_ABNORMAL, "/dev/mmcblk0p1"},
        // Another mount's "ro," or "vfat" says nothing about the card.
        {"read-only mount after it", true, true, true, std::string(kCardRw) + "tmpfs /run tmpfs ro,nosuid 0 0\n", SD_STATUS_NORMAL, "/dev/mmcblk0p1"},
        {"vfat elsewhere", true, true, true, "/dev/mmcblk0p1 /mnt/sdcard ext4 rw 0 0\n/dev/sda1 /usb vfat rw 0 0\n", SD_STATUS_ABNORMAL, "/dev/mmcblk0p1"},
        // The line in force is the last one on the mount point.
        {"remounted read-only", true, true, true, std::string(kCardRw) + "/dev/mmcblk0p1 /mnt/sdcard vfat ro 0 0\n", SD_STATUS_ABNORMAL, "/dev/mmcblk0p1"},
        // A long table: the card's line is found beyond the first kilobyte, within 8 KiB.
        {"line after 7 KiB", true, true, true, Filler(7 * 1024) + kCardRw, SD_STATUS_NORMAL, "/dev/mmcblk0p1"},
        {"line beyond 8 KiB", true, true, true, Filler(8 * 1024) + kCardRw, SD_STATUS_ABNORMAL, "/dev/mmcblk0p1"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        std::filesystem::remove(sb.Path("/dev/mmcblk0"));
        std::filesystem::remove(sb.Path("/dev/mmcblk0p1"));
        std::filesystem::remove(sb.Path("/proc/mounts"));
        if (r.card) {
            sb.Write("/dev/mmcblk0", "");
        }
        if (r.partition) {
            sb.Write("/dev/mmcblk0p1", "");
        }
        if (r.table) {
            sb.Write("/proc/mounts", r.mounts);
        }
        EXPECT_EQ(r.state, GetSDCardState());
        if (r.device != nullptr) {
            EXPECT_EQ(r.device, GetSDCardDeviceName());
        }
    }
}

TEST_F(SdCard, StartUpMountsACardInTheSlotThroughTheSimulatedTool)
{
    // An empty slot is left alone.
    ASSERT_EQ(0, Card("remove"));
    InitSDCard();
    EXPECT_EQ("", sb.Read("/.board/tools.log"));
    EXPECT_EQ("", sb.Read("/.board/shell.log"));
    EXPECT_EQ(kRoot, sb.Read("/proc/mounts"));

    ASSERT_EQ(0, Card("insert"));
    ASSERT_EQ(SD_STATUS_ABNORMAL, GetSDCardState());
    InitSDCard();
    EXPECT_EQ(SD_STATUS_NORMAL, GetSDCardState());
    EXPECT_TRUE(Logged("/.board/tools.log", "mount -t vfat " + sb.Root() + "/dev/mmcblk0p1 " + sb.Root() + "/mnt/sdcard"));
    EXPECT_FALSE(Logged("/.board/shell.log", "mkdir")) << "the mount point is there: no mkdir to fail";
    EXPECT_FALSE(Logged("/.board/shell.log", "refused"));
}

TEST_F(SdCard, UpgradeFileHandsOverOnlyForThisChipAndDevice)
{
    struct {
        const char* what;
        const char* file;
    } ignored[] = {
        {"other chip", "[upgrade]\nCHIP=KR4173\nDEVICE=TB017D\n"},
        {"other device", "[upgrade]\nCHIP=KR4172\nDEVICE=TB017E\n"},
        {"no device key", "[upgrade]\nCHIP=KR4172\n"},
        {"other section", "[update]\nCHIP=KR4172\nDEVICE=TB017D\n"},
        {"longer chip name", "[upgrade]\nCHIP=KR41720\nDEVICE=TB017D\n"},
    };
    for (const auto& r : ignored) {
        SCOPED_TRACE(r.what);
        sb.Write(kSdUpgradeFile, r.file);
        InitSDCard();
        EXPECT_EQ(SD_STATUS_NORMAL, GetSDCardState()) << "the start goes on with the card";
        EXPECT_FALSE(sb.Exists(kSdUpgradeMarker));
        EXPECT_FALSE(Logged("/.board/tools.log", "killall"));
        EXPECT_FALSE(Logged("/.board/shell.log", "cp "));
    }

    sb.Write(kSdUpgradeFile, "# from the service tool\n[upgrade]\nCHIP = KR4172\nDEVICE = TB017D\n");
    InitSDCard();
    EXPECT_TRUE(sb.Exists(kSdUpgradeMarker));
    // The upgrader's tools are the simulated ones, copied within the sandbox.
    EXPECT_TRUE(sb.Exists("/dev/flashcp"));
    EXPECT_TRUE(sb.Exists("/dev/busybox"));
    std::string tools = sb.Read("/.board/tools.log");
    size_t tools9 = tools.find("killall -9 Tools");
    ASSERT_NE(std::string::npos, tools9) << tools;
    EXPECT_NE(std::string::npos, tools.find("killall -9 app", tools9)) << tools;
    EXPECT_FALSE(Logged("/.board/shell.log", "refused")) << sb.Read("/.board/shell.log");
}

TEST_F(SdCard, FormatStopsTheRecordingAndEmptiesTheCard)
{
    Mount();
    CardFile("/mnt/sdcard/DVR/20240101/120000_120100.mp4", 1 << 20);
    CardFile("/mnt/sdcard/DCIM/20240101/120000.jpg", 4096);
    ASSERT_EQ(0, Card("fill 500"));
    gRecording = 1;
    gDeviceState.RecordTimer = 1234;
    static uint8_t formattingWhileStopping = 0;
    gSdCardLinks.RecordStop = [] {
        formattingWhileStopping = SDCardFormatting();
        ++gRecordStops;
        gRecording = 0;
    };

    EXPECT_EQ(0, SDCardFormat());
    EXPECT_EQ(1, gRecordStops);
    EXPECT_EQ(1, formattingWhileStopping);
    EXPECT_EQ(0, SDCardFormatting());
    EXPECT_EQ(kCountdownStopped, gDeviceState.RecordTimer);
    EXPECT_TRUE(Names("/mnt/sdcard").empty());
    EXPECT_EQ(SD_STATUS_NORMAL, GetSDCardState());
    struct statfs st;
    ASSERT_EQ(0, BoardStatfs(kSdMountPoint, &st));
    EXPECT_EQ(st.f_blocks, st.f_bfree);
    std::string tools = sb.Read("/.board/tools.log");
    size_t umount = tools.find("umount " + sb.Root() + "/mnt/sdcard");
    size_t mkfs = tools.find("mkfs.vfat " + sb.Root() + "/dev/mmcblk0p1", umount);
    EXPECT_NE(std::string::npos, umount);
    EXPECT_NE(std::string::npos, mkfs);
    EXPECT_NE(std::string::npos, tools.find("mount -t vfat", mkfs));
}

TEST_F(SdCard, FormatThatFailsIsReportedEvenWhenTheCardMountsAgain)
{
    Mount();
    CardFile("/mnt/sdcard/DVR/20240101/120000_120100.mp4");
    ASSERT_EQ(0, Card("ro"));
    EXPECT_NE(0, SDCardFormat());
    EXPECT_EQ(0, SDCardFormatting());
    EXPECT_TRUE(sb.Exists("/mnt/sdcard/DVR/20240101/120000_120100.mp4"));
    EXPECT_NE(std::string::npos, sb.Read("/proc/mounts").find("/mnt/sdcard vfat ro,")) << "mounted again";

    ASSERT_EQ(0, Card("remove"));
    const std::string before = sb.Read("/.board/tools.log");
    EXPECT_EQ(-1, SDCardFormat()) << "no card";
    EXPECT_EQ(before, sb.Read("/.board/tools.log"));
}

TEST_F(SdCard, PictureGoesToTheDayFolderUnderItsTime)
{
    Mount();
    struct timeval tv = {1709634030, 0};  // 2024-03-05 10:20:30 UTC
    ASSERT_EQ(0, BoardSetTimeOfDay(&tv));
    std::string jpeg(4000, '\0');
    for (size_t i = 0; i < jpeg.size(); ++i) {
        jpeg[i] = static_cast<char>(i * 7);
    }
    const struct tm before = RecordLocalTimeNow();
    ASSERT_EQ(0, SaveImageToSDCard(reinterpret_cast<const uint8_t*>(jpeg.data()), jpeg.size()));
    const struct tm after = RecordLocalTimeNow();

    EXPECT_TRUE(Logged("/.board/shell.log", "run: mkdir -p " + sb.Root() + "/mnt/sdcard/DCIM/20240305"));
    std::vector<std::string> names = Names("/mnt/sdcard/DCIM/20240305");
    ASSERT_EQ(1u, names.size());
    char first[16];
    char last[16];
    std::snprintf(first, sizeof(first), "1020%02d.jpg", before.tm_sec);
    std::snprintf(last, sizeof(last), "1020%02d.jpg", after.tm_sec);
    EXPECT_TRUE(names[0] == first || names[0] == last) << names[0];
    EXPECT_EQ(jpeg, sb.Read("/mnt/sdcard/DCIM/20240305/" + names[0]));
}

TEST_F(SdCard, PictureNeedsAKilobyteAndAMountedCard)
{
    std::vector<uint8_t> jpeg(1024, 0xD8);
    EXPECT_EQ(-1, SaveImageToSDCard(jpeg.data(), 1023));
    // In the slot but not mounted: nothing goes into the bare mount point.
    EXPECT_EQ(-1, SaveImageToSDCard(jpeg.data(), 1024));
    EXPECT_TRUE(Names("/mnt/sdcard").empty());
    ASSERT_EQ(0, Card("remove"));
    EXPECT_EQ(-1, SaveImageToSDCard(jpeg.data(), 1024));
    EXPECT_TRUE(Names("/mnt/sdcard").empty());

    ASSERT_EQ(0, Card("insert"));
    Mount();
    EXPECT_EQ(-1, SaveImageToSDCard(jpeg.data(), 1023));
    EXPECT_TRUE(Names("/mnt/sdcard").empty());
    EXPECT_EQ(0, SaveImageToSDCard(jpeg.data(), 1024));
    EXPECT_EQ(std::vector<std::string>{"DCIM"}, Names("/mnt/sdcard"));
}

// The millisecond clock is the board's (not the host's), whole milliseconds, in 64 bits: past
// 2038 and past 2^32 seconds it neither wraps nor overflows. The clock runs on between the set
// and the read, so the read may lie a little after the time set.
TEST_F(SdCard, MillisecondClockIsTheBoardsIn64Bits)
{
    // The last second of a 32-bit time_t, one beyond 2^32 seconds, microseconds cut to milliseconds.
    const struct timeval rows[] = {{1709634030, 0}, {2147483647, 999999}, {5000000000, 999999}, {1, 1999}};
    for (const struct timeval& tv : rows) {
        ASSERT_EQ(0, BoardSetTimeOfDay(&tv));
        const uint64_t ms = GetSystemTimeMs();
        const uint64_t set = static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
        EXPECT_GE(ms, set) << tv.tv_sec;
        EXPECT_LT(ms, set + 60000u) << tv.tv_sec << ": " << ms;
    }
}

TEST(RecordFileName, DayFolderAndTimeOfDay)
{
    struct tm t = {};
    t.tm_year = 2023 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 31;
    t.tm_hour = 23;
    t.tm_min = 59;
    t.tm_sec = 50;
    struct {
        uint32_t mode;
        int result;
        const char* directory;
        const char* name;
        const char* extension;
    } rows[] = {
        {kRecordNameVideo, 0, "/mnt/sdcard/DVR/20231231", "235950.mp4", "mp4"},
        {kRecordNamePicture, 0, "/mnt/sdcard/DCIM/20231231", "235950.jpg", "jpg"},
        {2, -1, "", "", ""},
    };
    for (const auto& r : rows) {
        PICTURE_RECORD_S rec = {};
        EXPECT_EQ(r.result, MakeRecordFileNameAt(r.mode, t, rec.Directory, sizeof(rec.Directory), rec.Name,
                                                 sizeof(rec.Name), rec.Extension, sizeof(rec.Extension)));
        EXPECT_STREQ(r.directory, rec.Directory);
        EXPECT_STREQ(r.name, rec.Name);
        EXPECT_STREQ(r.extension, rec.Extension);
    }
}
