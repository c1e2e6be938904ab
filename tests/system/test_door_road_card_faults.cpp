// The door road with the card's faults, on the whole process: a visitor at door 1 (mkcamera's
// door scene) whose motion records event files on the card, then a call while the next file is
// being written, and the card pulled out of the slot or the power cut under it. Nothing is lost:
// the file cut by the fault plays up to about where it was cut, the earlier recordings, the
// stored setting and the activation are whole, and the next call goes the whole road.
#include "door_road.h"
#include "door_scene.h"
#include "recording_check.h"
#include "sdcard_tool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

using namespace door_road;

using Clock = std::chrono::steady_clock;

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// The rest of the line after the `nth` (from 1) `key` in `text`.
std::string LineAfter(const std::string& text, const std::string& key, size_t nth)
{
    size_t at = std::string::npos;
    for (size_t i = 0, from = 0; i < nth; ++i, from = at + 1) {
        at = text.find(key, from);
        if (at == std::string::npos) {
            return "";
        }
    }
    const size_t from = at + key.size();
    return text.substr(from, text.find('\n', from) - from);
}

class DoorRoadCardFaults : public DoorRoadTest {
protected:
    // A cut recording plays clean at the main stream's size: every packet decodes, at least the
    // frames of the fragments whole at the fault (25 a fragment), and it lasts about as long as
    // it was recorded (up to 2 s less, `over` s more); its decoded seconds.
    double ExpectPlaysAbout(const std::string& path, size_t fragments, double recorded, double over)
    {
        const Probe p = ProbeRecording(mSb.Path(path));
        EXPECT_EQ(0, p.rc) << p.text;
        EXPECT_EQ("", p.errors) << p.text;
        EXPECT_EQ(1280, p.width) << p.text;
        EXPECT_EQ(p.packets, p.frames) << p.text;
        EXPECT_GE(static_cast<size_t>(p.frames), 25 * fragments) << p.text;
        const double decoded = p.frames / 25.0;
        printf("%s: %d frames, %.2f s decoded of %.2f s recorded\n", path.c_str(), p.frames, decoded, recorded);
        EXPECT_LE(decoded, recorded + over) << path << "\n" << p.text;
        EXPECT_GE(decoded, recorded - 2.0) << path << "\n" << p.text;
        return decoded;
    }

    // Motion alarm and SD recording on, event mode; the camera shows the empty doorway.
    void Prepare() override
    {
        for (const char* key : {"noxa_alarm_on_off", "noxa_sd_record_on_off"}) {
            mSb.Write(std::string("/DeviceInfo/noxa.cfgs/") + key, "1\n");
        }
        mSb.Write("/DeviceInfo/noxa.cfgs/noxa_sd_record_mode", "0\n");
        // The wall is skimage's coffee photograph: door 1's scene stays warm for the road's pictures.
        const std::string photos = DOORPHONE_PHOTO_DIR;
        mScene.log = ShellOutput(BinaryDir() + "/tools/mkcamera " + mSb.Root() + " " + photos +
                                 "/astronaut.png --blink --wall " + photos + "/coffee.png")
                         .second;
        mScene.visitor = mSb.Read("/.board/camera_door0.yuv");
        ASSERT_EQ(2 * kDoorFrameBytes, mScene.visitor.size()) << mScene.log;
        mScene.wall = mScene.visitor.substr(0, kDoorFrameBytes);
        ASSERT_EQ("", PutDoorCamera(mSb, mScene.wall));
    }

    // Waits for the `nth` (from 1) `text` in the unit's output.
    bool WaitNth(const std::string& text, size_t nth, std::chrono::milliseconds limit)
    {
        const auto end = Clock::now() + limit;
        while (Count(mUnit->Output(), text) < nth) {
            if (Clock::now() >= end) {
                return false;
            }
            mUnit->WaitForOutput("\x01", 100ms);  // drains the pipe meanwhile
        }
        return true;
    }

    // A visitor comes and goes: the event recording it opened closes under its final name. The
    // card path of the closed file.
    void EarlierRecording(std::string* closed)
    {
        ASSERT_TRUE(mUnit->WaitForOutput("[DetectThread] PID = ", 30s)) << mUnit->Output();
        const size_t opened = Count(mUnit->Output(), "MP4 File Name: ");
        const size_t closes = Count(mUnit->Output(), "[MP4Encoder_FileClose] ");
        ASSERT_EQ("", PutDoorCamera(mSb, mScene.visitor));
        ASSERT_TRUE(WaitNth("MP4 File Name: ", opened + 1, 60s)) << mUnit->Output();
        std::this_thread::sleep_for(2s);
        ASSERT_EQ("", PutDoorCamera(mSb, mScene.wall));
        ASSERT_TRUE(WaitNth("[MP4Encoder_FileClose] ", closes + 1, 60s)) << mUnit->Output();
        *closed = LineAfter(mUnit->Output(), "[MP4Encoder_FileClose] ", closes + 1);
        ASSERT_TRUE(Eventually([&] { return mSb.Exists(*closed); }, 10s)) << *closed << "\n" << mUnit->Output();
    }

    // The visitor is back and rings at door 1 while the event recording it opened is written:
    // the call starts and the file grows to at least `fragments` whole fragments. Its card path.
    void RecordingDuringACall(size_t fragments, std::string* open, Clock::time_point* opened)
    {
        const size_t before = Count(mUnit->Output(), "MP4 File Name: ");
        ASSERT_EQ("", PutDoorCamera(mSb, mScene.visitor));
        ASSERT_TRUE(WaitNth("MP4 File Name: ", before + 1, 60s)) << mUnit->Output();
        *opened = Clock::now();
        *open = LineAfter(mUnit->Output(), "MP4 File Name: ", before + 1);
        ASSERT_EQ(".mp4", open->substr(open->size() - 4)) << *open;
        ASSERT_NO_FATAL_FAILURE(StationCalls());
        ASSERT_TRUE(Eventually([&] { return WholeMdats(mSb.Path(*open)) >= fragments; }, 30s))
            << *open << "\n" << mUnit->Output();
        EXPECT_TRUE(mSb.Exists(*open)) << "still recording under its start name";
    }

    DoorScene mScene;
};

}  // namespace

// The card pulled out while the call's recording is written: the unit ends the file at once,
// tells the cloud the card is gone and carries on: the call's live view and the next call's whole
// road need no card, and nothing is recorded meanwhile. With the card back it is mounted and
// reported again, the file cut by the pull plays up to about the pull, the earlier recordings are
// whole, and a visitor records again.
TEST_F(DoorRoadCardFaults, CardPulledMidRecording)
{
    std::string earlier;
    ASSERT_NO_FATAL_FAILURE(EarlierRecording(&earlier));
    const Keepsakes k = Keep();
    ASSERT_EQ(1u, k.recordings.count(earlier)) << earlier;

    const size_t rings = Rings();
    const size_t notices = Notices();
    std::string open;
    Clock::time_point opened;
    ASSERT_NO_FATAL_FAILURE(RecordingDuringACall(3, &open, &opened));
    // Pulled between two fragments' ends.
    std::this_thread::sleep_for(500ms);
    const size_t closes = Count(mUnit->Output(), "[MP4Encoder_FileClose] ");
    const size_t starts = Count(mUnit->Output(), "MP4 File Name: ");
    const size_t before = WholeMdats(mSb.Path(open));
    const int gone = mCloud->LogCount(Rep("110", "5"));
    ASSERT_EQ(0, SdCardTool(mSb, "remove"));
    const double toPull = std::chrono::duration<double>(Clock::now() - opened).count();
    ASSERT_TRUE(mUnit->WaitForOutput("[CardDetThread] 5\n", 10s)) << mUnit->Output();
    ASSERT_TRUE(WaitNth("[MP4Encoder_FileClose] ", closes + 1, 10s)) << "the recording ends\n" << mUnit->Output();
    const std::string cut = LineAfter(mUnit->Output(), "[MP4Encoder_FileClose] ", closes + 1);
    printf("pulled %.1f s into %s with %zu whole fragments; closed as %s\n", toPull, open.c_str(), before,
           cut.c_str());
    EXPECT_TRUE(mCloud->WaitLog(Rep("110", "5"), gone + 1, 20s)) << "the card's state\n" << mCloud->Log();

    // The call goes on without the card: its push with the picture, and door 1's live video.
    ASSERT_NO_FATAL_FAILURE(PushArrives(rings, notices));
    RunViewer({"--client", "0", "--live", "3", "--quality", "0", "--video", mSb.Path("/pulled.264")}, 30s);
    std::vector<DecodedPicture> pics = DecodeAnnexB(mSb.Read("/pulled.264"));
    ASSERT_GT(pics.size(), 25u) << mUnit->Output();
    EXPECT_EQ(1280, pics.back().width);
    mStation->WriteLine("takeoff");
    ASSERT_TRUE(mUnit->WaitForOutput("SystemMainState 0x101 -> 0x201", 15s)) << mUnit->Output();
    // The next call, the card still out, goes the whole road; the visitor before the camera all
    // along opens no recording.
    ASSERT_NO_FATAL_FAILURE(WholeRoad("card-out"));
    EXPECT_EQ(starts, Count(mUnit->Output(), "MP4 File Name: ")) << mUnit->Output();
    EXPECT_EQ(k.recordings.size() + 1, Recordings().size()) << "nothing new on the card while it is out";
    EXPECT_EQ(-1, mUnit->WaitExit(100ms)) << "the unit keeps running\n" << mUnit->Output();

    const int back = mCloud->LogCount(Rep("110", "1"));
    ASSERT_EQ(0, SdCardTool(mSb, "insert"));
    ASSERT_TRUE(WaitNth("[CardDetThread] 1\n", 2, 10s)) << mUnit->Output();
    EXPECT_TRUE(mCloud->WaitLog(Rep("110", "1"), back + 1, 20s)) << "the card's state\n" << mCloud->Log();
    // The card's new mount leaves the earlier recordings as they were.
    const auto mounted = Recordings();
    for (const auto& [path, size] : k.recordings) {
        EXPECT_TRUE(mounted.count(path) == 1 && mounted.at(path) == size) << path;
    }

    // The file cut by the pull plays: every sample decodes, at least those of the fragments whole
    // before the pull, and about as long as it was recorded up to the pull (the first frames
    // wait for the key frame the start asked for).
    ASSERT_TRUE(mSb.Exists(cut)) << cut;
    ExpectPlaysAbout(cut, before, toPull, 1.0);

    // The visitor still there records again on the card put back.
    EXPECT_TRUE(WaitNth("MP4 File Name: ", starts + 1, 30s)) << mUnit->Output();
    ASSERT_NO_FATAL_FAILURE(CheckKept(k, false));
}

// The power cut while the call's recording is written (the unit killed with SIGKILL), then the
// unit started again on its board without a token: the cut file is recovered under its final
// name up to about its last second, listed to the phone, and plays; the unit is online again
// on its activation and the next call goes the whole road.
TEST_F(DoorRoadCardFaults, PowerCutMidRecording)
{
    std::string earlier;
    ASSERT_NO_FATAL_FAILURE(EarlierRecording(&earlier));
    const Keepsakes k = Keep();
    ASSERT_EQ(1u, k.recordings.count(earlier)) << earlier;

    std::string open;
    Clock::time_point opened;
    ASSERT_NO_FATAL_FAILURE(RecordingDuringACall(4, &open, &opened));
    // Cut between two fragments' ends.
    std::this_thread::sleep_for(500ms);
    const size_t fragments = WholeMdats(mSb.Path(open));
    StopUnit(SIGKILL);
    const double recorded = std::chrono::duration<double>(Clock::now() - opened).count();
    ASSERT_TRUE(mSb.Exists(open)) << "the cut file keeps its start name";
    printf("cut after %.1f s of recording, %zu whole fragments in %s\n", recorded, fragments, open.c_str());

    ASSERT_NO_FATAL_FAILURE(StartUnit({}));
    const std::string recoveredLine = "recovered " + open + " as ";
    ASSERT_TRUE(mUnit->WaitForOutput(recoveredLine, 30s)) << mUnit->Output();
    const std::string line = LineAfter(mUnit->Output(), recoveredLine, 1);
    const std::string name = line.substr(0, line.find(' '));
    const std::string day = open.substr(0, open.rfind('/') + 1);
    const std::string start = open.substr(day.size(), 6);
    ASSERT_EQ(day + start + "_", name.substr(0, day.size() + 7)) << line;
    EXPECT_TRUE(mSb.Exists(name)) << name;
    EXPECT_FALSE(mSb.Exists(open)) << open;

    // It plays whole, about as long as it was recorded before the cut: the fragment under way
    // is lost, and the first frames wait for the key frame the start asked for.
    const double decoded = ExpectPlaysAbout(name, fragments, recorded, 0.5);
    // Its name's end time is its start plus its length.
    const std::string file = name.substr(day.size());
    const int lasted = (DaySeconds(file.substr(7)) - DaySeconds(file) + 86400) % 86400;
    EXPECT_NEAR(decoded, lasted, 1.0) << file;

    // The phone's viewer lists the day and the file (in the zone the unit takes from the cloud).
    ASSERT_TRUE(mUnit->WaitForOutput("Get Server Time Success", 60s)) << mUnit->Output();
    const std::string ymd = day.substr(day.size() - 9, 8);
    const std::string year = ymd.substr(0, 4);
    const std::string month = std::to_string(std::atoi(ymd.substr(4, 2).c_str()));
    const std::string mday = std::to_string(std::atoi(ymd.substr(6, 2).c_str()));
    const std::string days = RunViewer({"--client", "0", "--days", year, month}, 60s);
    const std::string daysAnswer = LineAfter(days, "answer event=8 result=0 words=0 " + year + " " + month + " ", 1);
    // Bit N of the month's mask is day N.
    EXPECT_NE(0u, std::strtoul(daysAnswer.c_str(), nullptr, 10) & (1u << std::atoi(mday.c_str()))) << days;
    const std::string files = RunViewer({"--client", "0", "--files", year, month, mday}, 60s);
    // Listed with its length and at its named time of day, shifted by a whole zone.
    bool listed = false;
    for (const std::string& l : TextLines(files)) {
        if (l.rfind("file type=0 start=", 0) != 0) {
            continue;
        }
        const long from = std::atol(After(l, "start=").c_str());
        const long to = std::atol(After(l, "end=").c_str());
        const long shift = ((from % 86400) - DaySeconds(file) + 86400) % 86400;
        listed = listed || (to - from == lasted && shift % 900 == 0);
    }
    EXPECT_TRUE(listed) << file << "\n" << files;

    ASSERT_NO_FATAL_FAILURE(WholeRoad("after-cut"));
    ASSERT_NO_FATAL_FAILURE(CheckKept(k, true));
}
