// A visitor at the door, on the whole process: motion alarm, SD recording and event mode on, the
// door camera a file of tools/mkcamera. An empty doorway records nothing; the visitor walking in
// is an alarm that opens an event recording; once the doorway is empty again the file closes
// under its start and end time, and ffprobe plays it at channel 0's 1280x720.
#include "door_scene.h"
#include "process.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

using namespace std::chrono_literals;

namespace {

// The text after `key` up to the end of its line, in the first line holding `key`.
std::string After(const std::string& text, const std::string& key)
{
    const size_t at = text.find(key);
    if (at == std::string::npos) {
        return "";
    }
    const size_t from = at + key.size();
    return text.substr(from, text.find('\n', from) - from);
}

}  // namespace

TEST(MotionRecording, AVisitorGivesAnAlarmAndAPlayableEventRecording)
{
    TestSandbox sb;
    for (const char* key : {"noxa_alarm_on_off", "noxa_sd_record_on_off"}) {
        sb.Write(std::string("/DeviceInfo/noxa.cfgs/") + key, "1\n");
    }
    sb.Write("/DeviceInfo/noxa.cfgs/noxa_sd_record_mode", "0\n");
    DoorScene scene;
    ASSERT_TRUE(MakeDoorScene(sb, std::string(DOORPHONE_PHOTO_DIR) + "/astronaut.png", &scene)) << scene.log;
    const std::string& wall = scene.wall;
    ASSERT_EQ("", PutDoorCamera(sb, wall));

    ChildProcess unit({Doorphone()}, {"DOORPHONE_ROOT=" + sb.Root()});
    ASSERT_TRUE(unit.WaitForOutput("[InitSDCard] mount /dev/mmcblk0p1 on /mnt/sdcard: 0, state 1", 30s)) << unit.Output();
    // The detection starts 5 s after its thread; then a few seconds of passes on the empty doorway.
    ASSERT_TRUE(unit.WaitForOutput("[DetectThread] PID = ", 60s)) << unit.Output();
    std::this_thread::sleep_for(8s);
    EXPECT_EQ(std::string::npos, unit.Output().find("MP4RecordStart")) << unit.Output();

    ASSERT_EQ("", PutDoorCamera(sb, scene.visitor));
    ASSERT_TRUE(unit.WaitForOutput("[MP4RecordStart] MP4 File Name: ", 60s)) << unit.Output();
    const std::string open = After(unit.Output(), "[MP4RecordStart] MP4 File Name: ");
    ASSERT_EQ(".mp4", open.substr(open.size() - 4)) << open;
    // The visitor leaves: 5 s without an alarm end the file, once it has lasted 10 s.
    std::this_thread::sleep_for(2s);
    ASSERT_EQ("", PutDoorCamera(sb, wall));
    ASSERT_TRUE(unit.WaitForOutput("[MP4Encoder_FileClose] ", 90s)) << unit.Output();
    const std::string closed = After(unit.Output(), "[MP4Encoder_FileClose] ");
    // "<day>/HHMMSS.mp4" becomes "<day>/HHMMSS_HHMMSS.mp4".
    ASSERT_EQ(open.substr(0, open.size() - 4) + "_", closed.substr(0, open.size() - 3)) << closed;
    // The close is logged before the rename.
    ASSERT_TRUE(Eventually([&] { return sb.Exists(closed); }, 10s)) << closed << "\n" << unit.Output();
    EXPECT_FALSE(sb.Exists(open));

    // Its name says it lasted just over 10 s (the timer task's ticks; the clock is the host's).
    auto seconds = [](const std::string& hhmmss) {
        const int v = std::atoi(hhmmss.c_str());
        return v / 10000 * 3600 + v / 100 % 100 * 60 + v % 100;
    };
    const std::string name = closed.substr(closed.rfind('/') + 1);
    const int lasted = (seconds(name.substr(7, 6)) - seconds(name.substr(0, 6)) + 86400) % 86400;
    EXPECT_GE(lasted, 10) << name;
    EXPECT_LE(lasted, 20) << name;

    const std::string probe = ShellOutput("ffprobe -v error -count_frames -count_packets -show_entries "
                                          "stream=codec_name,width,height,nb_read_frames,nb_read_packets -of "
                                          "default=nw=1 '" + sb.Path(closed) + "'")
                                  .second;
    EXPECT_NE(std::string::npos, probe.find("codec_name=h264")) << probe;
    EXPECT_NE(std::string::npos, probe.find("width=1280")) << probe;
    EXPECT_NE(std::string::npos, probe.find("height=720")) << probe;
    // Every sample decodes.
    const int frames = std::atoi(After(probe, "nb_read_frames=").c_str());
    EXPECT_GT(frames, 25) << probe;
    EXPECT_EQ(After(probe, "nb_read_packets="), std::to_string(frames)) << probe;
    unit.Kill(SIGTERM);
    unit.WaitExit(10s);
}
