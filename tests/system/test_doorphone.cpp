// The whole process on a sandbox: start-up runs, a failed file check ends it with status 0.
#include "platform/board_msgq.h"
#include "platform/board_path.h"
#include "process.h"
#include "sandbox.h"
#include "tool_refusal.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <sys/file.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include <cstdio>
#include <sys/wait.h>
#include <thread>

using namespace std::chrono_literals;

namespace {
// Every file and folder under a root with its size and time: what a run must leave alone.
std::map<std::string, std::string> Snapshot(const std::string& root)
{
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        std::error_code ec;
        const auto when = std::filesystem::last_write_time(e.path(), ec).time_since_epoch().count();
        const auto size = e.is_regular_file(ec) ? e.file_size(ec) : 0;
        out[e.path().string()] = std::to_string(size) + "@" + std::to_string(when);
    }
    return out;
}
}  // namespace

// Arguments run.sh cannot use are refused, one line and the usage, before it installs, builds or
// starts anything (a spent pairing token, a folder made for nothing).
TEST(RunSh, RefusesBadArgumentsBeforeAnything)
{
    const std::string runSh = SourceDir() + "/run.sh";
    const std::string missing = "/tmp/run-sh-missing-" + std::to_string(getpid());
    ExpectRefusals(runSh, {
        {{"--seconds", "abc"}, "run.sh: --seconds takes a positive whole number of seconds, not 'abc'"},
        {{"--seconds", "-3"}, "run.sh: --seconds takes a positive whole number of seconds, not '-3'"},
        {{"--seconds", "0"}, "run.sh: --seconds takes a positive whole number"},
        {{"--seconds", "1.5"}, "run.sh: --seconds takes a positive whole number"},
        {{"--seconds"}, "run.sh: --seconds needs a value"},
        {{"--root"}, "run.sh: --root needs a value"},
        {{"--station-script"}, "run.sh: --station-script needs a value"},
        {{"--station-script", missing + "/call.txt"}, "run.sh: --station-script " + missing + "/call.txt is not a readable file"},
        {{"--station-script", "/tmp"}, "run.sh: --station-script /tmp is not a readable file"},
        {{"--root", missing + "/x"}, "run.sh: --root " + missing + "/x: its parent folder does not exist"},
        {{"--root", "/tmp/a b"}, "run.sh: --root /tmp/a b: a root may hold only letters, digits and _ . / + -"},
        {{"--root", "/etc/hostname"}, "run.sh: --root /etc/hostname is not a folder"},
        {{"--loud"}, "run.sh: unknown argument --loud"},
    }, {"(usage: ./run.sh [--seconds N]"});
    EXPECT_FALSE(std::filesystem::exists(missing));
    EXPECT_FALSE(std::filesystem::exists("/tmp/a b"));
}

// One run per root: while a run holds the root (here the test takes the lock itself, with the
// live board's queue and files there), a second run.sh is refused at once, naming the root and
// the process, before it builds or touches anything.
TEST(RunSh, RefusesASecondRunOnALiveRootAndLeavesTheFirstAlone)
{
    TestSandbox sb;
    const int lock = open(sb.Root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(0, flock(lock, LOCK_EX | LOCK_NB));
    const int queue = BoardMsgQueueCreate(123);
    ASSERT_GE(queue, 0);
    sb.Write("/.board/net/if/eth0/addr", "192.168.1.50\n");
    const auto before = Snapshot(sb.Root());
    const std::string buildLog = SourceDir() + "/build-run/build.log";
    std::error_code ec;
    const auto logTime = std::filesystem::last_write_time(buildLog, ec);

    ChildProcess second({SourceDir() + "/run.sh", "--root", sb.Root(), "--seconds", "5"});
    const int status = second.WaitExit(30s);
    ASSERT_NE(-1, status) << second.Output();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << second.Output();
    EXPECT_NE(std::string::npos, second.Output().find("run.sh: the board root " + sb.Root() + " is in use by process " +
                                                      std::to_string(getpid())))
        << second.Output();
    EXPECT_EQ(std::string::npos, second.Output().find("building")) << second.Output();
    EXPECT_EQ(before, Snapshot(sb.Root())) << "the running board's files were touched";
    EXPECT_EQ(1, BoardMsgQueueCountBoard(sb.Root())) << "the running unit's queue was removed";
    EXPECT_EQ(logTime, std::filesystem::last_write_time(buildLog, ec)) << "it built";
    BoardMsgQueueRemove(queue);
    close(lock);
}

TEST(Doorphone, StartsAndRunsTheTimerTask)
{
    TestSandbox sb;
    ChildProcess unit({Doorphone()}, {"DOORPHONE_ROOT=" + sb.Root()});
    EXPECT_TRUE(unit.WaitForOutput("MD5 Check Success", 20s)) << unit.Output();
    EXPECT_TRUE(unit.WaitForOutput("[TimeTaskThread] PID = ", 20s)) << unit.Output();
    EXPECT_EQ(-1, unit.WaitExit(300ms)) << "the unit must keep running";
    unit.Kill(SIGTERM);
}

// Start-up step 13 switches the motion alarm on: an idle unit watches door 0 ("Door 1": its
// monitor powered, its camera routed to the video input).
TEST(Doorphone, WatchesTheFirstDoorForMotionFromTheStart)
{
    TestSandbox sb;
    ChildProcess station({BinaryDir() + "/tools/doorstation", "--root", sb.Root()});
    ASSERT_TRUE(station.WaitForOutput("linked at " + sb.Root() + "/dev/ttyS2", 10s)) << station.Output();
    ChildProcess unit({Doorphone()}, {"DOORPHONE_ROOT=" + sb.Root()});
    EXPECT_TRUE(unit.WaitForOutput("[NoxaMDMsgHandle] 0 0", 20s)) << unit.Output();
    // The monitor order is posted before the bus link runs: it waits in the queue and goes out
    // after the announcement.
    EXPECT_TRUE(station.WaitForOutput("unit -> bus: coding order 46", 20s)) << station.Output();
    EXPECT_TRUE(station.WaitForOutput("unit -> bus: talk order 6 ", 10s)) << station.Output() << unit.Output();
    EXPECT_TRUE(Eventually(
        [&] {
            const std::string hc595 = sb.Read("/.board/74HC595");
            return hc595.find("monitor0=1") != std::string::npos && hc595.find("video=door0") != std::string::npos;
        },
        20s))
        << sb.Read("/.board/74HC595");
    unit.Kill(SIGTERM);
    unit.WaitExit(10s);
}

TEST(Doorphone, LeavesNoMessageQueueWhenStopped)
{
    for (int sig : {SIGTERM, SIGINT}) {
        TestSandbox sb;
        ChildProcess unit({Doorphone()}, {"DOORPHONE_ROOT=" + sb.Root()});
        ASSERT_TRUE(unit.WaitForOutput("[ProcessTalkData] PID = ", 20s)) << unit.Output();
        // The bus link's two queues and the audio pipeline's AAC queue.
        for (int i = 0; i < 200 && BoardMsgQueueCountBoard(sb.Root()) < 3; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_EQ(3, BoardMsgQueueCountBoard(sb.Root()));
        unit.Kill(sig);
        int status = unit.WaitExit(10s);
        ASSERT_TRUE(WIFSIGNALED(status)) << sig << ": " << status;
        EXPECT_EQ(sig, WTERMSIG(status));
        EXPECT_EQ(0, BoardMsgQueueCountBoard(sb.Root())) << "signal " << sig;
    }
}

TEST(Doorphone, RefusesToStartWithoutASandbox)
{
    // Run by hand without ./run.sh: the host's "/" must never become the board.
    ChildProcess unit({Doorphone()}, {"DOORPHONE_ROOT="});
    int status = unit.WaitExit(20s);
    ASSERT_NE(-1, status) << unit.Output();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(kBoardNoRootExitStatus, WEXITSTATUS(status));
    EXPECT_NE(std::string::npos, unit.Output().find("./run.sh")) << unit.Output();
    EXPECT_NE(std::string::npos, unit.Output().find("DOORPHONE_ROOT")) << unit.Output();
    EXPECT_EQ(std::string::npos, unit.Output().find("MD5 Check")) << "the unit went on";
}

TEST(Doorphone, FailedFileCheckExitsWithStatusZero)
{
    // md5sum itself passes some of these (it skips lines it cannot read and is silent on an
    // empty list): the unit must not.
    const struct {
        const char* what;
        void (*spoil)(const TestSandbox& sb);
    } rows[] = {
        {"a wrong sum in the list",
         [](const TestSandbox& sb) {
             std::string list = sb.Read("/customer/ApplicantMD5");
             list[0] = list[0] == '0' ? '1' : '0';
             sb.Write("/customer/ApplicantMD5", list);
         }},
        {"an emptied list", [](const TestSandbox& sb) { sb.Write("/customer/ApplicantMD5", ""); }},
        {"a garbled line beside a good one",
         [](const TestSandbox& sb) {
             std::string list = sb.Read("/customer/ApplicantMD5");
             sb.Write("/customer/ApplicantMD5", list.substr(0, list.find('\n') + 1) + "d41d8cd9 customer/ko\n");
         }},
        {"a changed file", [](const TestSandbox& sb) { sb.Write("/customer/ko/rtl8188f.ko", "changed"); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TestSandbox sb;
        row.spoil(sb);
        ChildProcess unit({Doorphone()}, {"DOORPHONE_ROOT=" + sb.Root()});
        int status = unit.WaitExit(20s);
        EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_NE(std::string::npos, unit.Output().find("MD5 Check Fail")) << unit.Output();
        EXPECT_EQ(std::string::npos, unit.Output().find("MD5 Check Success"));
        EXPECT_EQ(std::string::npos, unit.Output().find("TimeTaskThread"));
    }
}

namespace {
// As the door-station simulator does it: written aside and renamed, never seen half written.
void Replace(const TestSandbox& sb, const std::string& unitPath, const std::string& content)
{
    sb.Write(unitPath + ".new", content);
    ASSERT_EQ(0, std::rename(sb.Path(unitPath + ".new").c_str(), sb.Path(unitPath).c_str()));
}
}  // namespace

TEST(Doorphone, RingsAndKeyPressesReachTheUnitAndTheLedsBlink)
{
    TestSandbox sb;
    ChildProcess unit({Doorphone()}, {"DOORPHONE_ROOT=" + sb.Root()});
    ASSERT_TRUE(unit.WaitForOutput("[LedThread] PID = ", 20s)) << unit.Output();
    ASSERT_TRUE(unit.WaitForOutput("[KeyDetectThred] PID = ", 20s)) << unit.Output();
    ASSERT_TRUE(unit.WaitForOutput("[RingDetectThread] PID = ", 20s)) << unit.Output();

    // Door 1 of the intercom rings on the analogue input.
    Replace(sb, "/.board/sar_ch2", "500\n");
    EXPECT_TRUE(unit.WaitForOutput("Door1 xxxxxxx Monitor", 20s)) << unit.Output();
    Replace(sb, "/.board/sar_ch2", "0\n");

    // A short press of the key steps the push delay. The key is sampled every 100 ms; a press
    // that a loaded machine let slip between two samples is simply made again.
    bool seen = false;
    for (int attempt = 0; attempt < 5 && !seen; ++attempt) {
        Replace(sb, "/sys/class/gpio/gpio66/value", "0\n");
        std::this_thread::sleep_for(300ms);  // how long a person holds the key
        Replace(sb, "/sys/class/gpio/gpio66/value", "1\n");
        seen = unit.WaitForOutput("key press: step", 3s);
    }
    EXPECT_TRUE(unit.WaitForOutput("key press: step 1, push delay 100", 1s)) << unit.Output();

    // LED 0 blinks through the register (pattern 0 until the key took the LEDs).
    std::string log = sb.Read("/.board/74HC595.log");
    EXPECT_NE(std::string::npos, log.find("set-up: data/clock/latch lines 47 45 44")) << log;
    EXPECT_NE(std::string::npos, log.find("0x04 led0=1")) << log;
    EXPECT_NE(std::string::npos, log.find("0x00 led0=0")) << log;
    EXPECT_EQ("1", sb.Read("/sys/class/gpio/gpio52/value").substr(0, 1)) << "ring sense back on";

    // A 3 s hold is the factory reset: the settings go and the unit restarts a second later.
    Replace(sb, "/sys/class/gpio/gpio66/value", "0\n");
    EXPECT_TRUE(unit.WaitForOutput("key held for 3 s: reset", 20s)) << unit.Output();
    int status = unit.WaitExit(20s);
    ASSERT_TRUE(status != -1 && WIFEXITED(status)) << unit.Output();
    EXPECT_EQ(86, WEXITSTATUS(status)) << unit.Output();
    EXPECT_NE(std::string::npos, sb.Read("/.board/shell.log").find("noxa.cfgs/* -r\n"));
}
