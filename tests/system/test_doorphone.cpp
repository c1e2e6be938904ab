// The whole process on a sandbox: start-up runs, a failed file check ends it with status 0.
#include "platform/board_msgq.h"
#include "platform/board_path.h"
#include "process.h"
#include "sandbox.h"
#include "tool_refusal.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
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

// One run.sh test at a time: they build in the same build-run/ and time its log.
class RunShTurn {
public:
    RunShTurn() : mFd(open((SourceDir() + "/run.sh").c_str(), O_RDONLY | O_CLOEXEC)) { flock(mFd, LOCK_EX); }
    ~RunShTurn() { close(mFd); }
    RunShTurn(const RunShTurn&) = delete;
    RunShTurn& operator=(const RunShTurn&) = delete;

private:
    int mFd;
};

// A process by its id and start time (an id the kernel gives again is another process).
using ProcId = std::pair<pid_t, std::string>;

std::string StartTime(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return "";
    }
    std::istringstream rest(stat.substr(close + 2));
    std::string field;
    std::string state;
    rest >> state;
    for (int i = 4; i <= 22 && rest >> field; ++i) {
    }
    return state == "Z" ? "" : field;  // field 22: the start time
}

// Every process below `top`, with its start time.
std::vector<ProcId> Descendants(pid_t top)
{
    std::map<pid_t, std::vector<pid_t>> kids;
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream in(e.path() / "stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t close = stat.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream rest(stat.substr(close + 2));
        std::string state;
        pid_t parent = 0;
        rest >> state >> parent;
        kids[parent].push_back(std::stoi(name));
    }
    std::vector<ProcId> out;
    std::vector<pid_t> todo = {top};
    while (!todo.empty()) {
        const pid_t p = todo.back();
        todo.pop_back();
        for (pid_t k : kids[p]) {
            out.emplace_back(k, StartTime(k));
            todo.push_back(k);
        }
    }
    return out;
}

bool StillRuns(const ProcId& p)
{
    const std::string now = StartTime(p.first);
    return !now.empty() && now == p.second;
}

// run.sh's unit, cloud and door station after a run: the whole output of the unit.
std::string UnitLog(const std::string& root)
{
    std::ifstream in(root + "/.board/doorphone.log");
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
}  // namespace

// Arguments run.sh cannot use are refused, one line and the usage, before it installs, builds or
// starts anything (a spent pairing token, a folder made for nothing).
TEST(RunSh, RefusesBadArgumentsBeforeAnything)
{
    const std::string runSh = SourceDir() + "/run.sh";
    const std::string missing = "/tmp/run-sh-missing-" + std::to_string(getpid());
    // A folder of other things: no sandbox, though it has a board's folder in it.
    const std::string plain = "/tmp/run-sh-plain-" + std::to_string(getpid());
    std::filesystem::create_directories(plain + "/.board/x");
    std::ofstream(plain + "/notes.txt") << "mine\n";
    const auto plainBefore = Snapshot(plain);
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
        {{"--root", plain}, "run.sh: --root " + plain + " is not a sandbox (a new or empty folder is laid out as one)"},
        {{"--root", plain + "/.board"}, "run.sh: --root " + plain + "/.board is not a sandbox"},
        {{"--loud"}, "run.sh: unknown argument --loud"},
    }, {"(usage: ./run.sh [--seconds N]"});
    EXPECT_FALSE(std::filesystem::exists(missing));
    EXPECT_FALSE(std::filesystem::exists("/tmp/a b"));
    EXPECT_EQ(plainBefore, Snapshot(plain)) << "a folder that is no sandbox was written to";
    std::filesystem::remove_all(plain);
}

// One run per root: while a run holds the root (here the test takes the lock itself, with the
// live board's queue and files there), a second run.sh is refused at once, naming the root and
// the process, before it builds or touches anything.
TEST(RunSh, RefusesASecondRunOnALiveRootAndLeavesTheFirstAlone)
{
    RunShTurn turn;
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

// A stop signal at any moment of a run that builds (here at 0.5, 2 and 8 s: installing,
// configuring, compiling, and while it links the unit) ends run.sh at once with the step under
// way and everything below it, and removes the root it made for nothing. The build it cut short
// builds again: the run after them starts the unit and ends as asked (a link cut short must not
// leave an empty program that the next build takes as done).
TEST(RunSh, AStopSignalDuringTheBuildEndsTheRunAtOnceAndLeavesNothing)
{
    RunShTurn turn;
    const std::string base = "/tmp/run-sh-stop-" + std::to_string(getpid());
    const std::string build = SourceDir() + "/build-run";
    const auto linking = -1ms;
    for (const auto delay : {500ms, 2000ms, 8000ms, linking}) {
        SCOPED_TRACE(delay == linking ? std::string("linking") : std::to_string(delay.count()) + " ms");
        // A source every program links: the build has work for a while.
        const std::filesystem::path source = SourceDir() + "/src/platform/board.cpp";
        const auto touched = std::filesystem::file_time_type::clock::now();
        std::filesystem::last_write_time(source, touched);
        const std::string root = base + "-" + std::to_string(delay.count());
        ChildProcess run({SourceDir() + "/run.sh", "--root", root, "--seconds", "5"});
        if (delay == linking) {
            // This run's build (its log begun after the touch) links the unit.
            ASSERT_TRUE(Eventually(
                [&] {
                    std::error_code ec;
                    if (std::filesystem::last_write_time(build + "/.run-build-began", ec) < touched || ec) {
                        return false;
                    }
                    std::ifstream in(build + "/build.log");
                    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
                    return log.find("Linking CXX executable doorphone") != std::string::npos;
                },
                240s))
                << run.Output();
        } else {
            std::this_thread::sleep_for(delay);
        }
        ASSERT_EQ(-1, run.WaitExit(0ms)) << run.Output();
        const std::vector<ProcId> below = Descendants(run.Pid());
        // To run.sh alone, as to a run in the background: its steps never see this signal.
        const auto sent = std::chrono::steady_clock::now();
        run.Kill(SIGINT);
        const int status = run.WaitExit(10s);
        const auto took = std::chrono::steady_clock::now() - sent;
        ASSERT_NE(-1, status) << "the signal was lost\n" << run.Output();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status << run.Output();
        EXPECT_LT(took, 5s) << "run.sh takes 2 s at most; more is the machine's load";
        EXPECT_NE(std::string::npos, run.Output().find("run.sh: stopping (signal INT)")) << run.Output();
        for (const ProcId& p : below) {
            EXPECT_TRUE(Eventually([&] { return !StillRuns(p); }, 1s)) << "process " << p.first << " left running";
        }
        // The unit's program is whole or absent (to be linked again), never a link's empty start.
        struct stat program = {};
        if (stat((build + "/src/Common/doorphone").c_str(), &program) == 0) {
            EXPECT_TRUE(program.st_size > 0 && (program.st_mode & S_IXUSR) != 0)
                << "a link cut short was left as the unit's program (" << program.st_size << " bytes)";
        }
        // Made for this run and stopped before its layout, or a whole sandbox: never half of one.
        if (std::filesystem::exists(root)) {
            EXPECT_TRUE(std::filesystem::exists(root + "/.board/sandbox")) << root;
            std::system((SourceDir() + "/tools/boardclean --remove " + root + " > /dev/null").c_str());
        }
    }
    const std::string root = base + "-after";
    ChildProcess run({SourceDir() + "/run.sh", "--root", root, "--seconds", "3"});
    const int status = run.WaitExit(280s);
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << run.Output();
    EXPECT_NE(std::string::npos, run.Output().find("run.sh: doorphone ended with status 0")) << run.Output();
    std::system((SourceDir() + "/tools/boardclean --remove " + root + " > /dev/null").c_str());
}

// The cloud's word "activated" is not the unit's: a unit stopped after the cloud's answer but
// before it stored it keeps no activation, and the next run pairs it again, so that it goes
// online. A unit that keeps one goes online with it, and a pulled cable ends the run with the
// unit's reboot, said as such with the way back.
TEST(RunSh, PairsAgainWhenTheUnitKeepsNoActivation)
{
    RunShTurn turn;
    const std::string root = "/tmp/run-sh-pair-" + std::to_string(getpid());
    const auto online = [&] { return UnitLog(root).find("mqtt is online") != std::string::npos; };
    {
        ChildProcess first({SourceDir() + "/run.sh", "--root", root, "--seconds", "60"});
        ASSERT_TRUE(first.WaitForOutput("run.sh: paired with token", 280s)) << first.Output();
        ASSERT_TRUE(Eventually(online, 60s)) << UnitLog(root);
        first.Kill(SIGINT);
        ASSERT_NE(-1, first.WaitExit(10s)) << first.Output();
    }
    // The unit's store as one stopped before it took the answer in: no activation record.
    for (const char* f : {"noxa_user.db", "noxa_user.db_bak", "noxa_user.db_jnl"}) {
        std::filesystem::remove(root + "/DeviceInfo/noxa/" + f);
    }
    {
        ChildProcess second({SourceDir() + "/run.sh", "--root", root, "--seconds", "60"});
        ASSERT_TRUE(second.WaitForOutput("run.sh: ---- how to use", 120s)) << second.Output();
        EXPECT_NE(std::string::npos, second.Output().find("the unit keeps no activation")) << second.Output();
        EXPECT_NE(std::string::npos, second.Output().find("run.sh: paired with token")) << second.Output();
        EXPECT_TRUE(Eventually(online, 60s)) << UnitLog(root);
        second.Kill(SIGINT);
        ASSERT_NE(-1, second.WaitExit(10s)) << second.Output();
    }
    {
        ChildProcess third({SourceDir() + "/run.sh", "--root", root, "--seconds", "120"});
        ASSERT_TRUE(third.WaitForOutput("run.sh: ---- how to use", 120s)) << third.Output();
        EXPECT_NE(std::string::npos, third.Output().find("the unit goes online with its stored activation"))
            << third.Output();
        EXPECT_EQ(std::string::npos, third.Output().find("paired with token")) << third.Output();
        EXPECT_TRUE(Eventually(online, 60s)) << UnitLog(root);
        ASSERT_EQ(0, std::system((SourceDir() + "/tools/netsim " + root + " cable pull > /dev/null").c_str()));
        const int status = third.WaitExit(60s);
        EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 86) << status << third.Output();
        EXPECT_NE(std::string::npos, third.Output().find("run.sh: the unit rebooted")) << third.Output();
        EXPECT_NE(std::string::npos, third.Output().find("start it again on the same board with: ./run.sh --root " + root))
            << third.Output();
        EXPECT_EQ(std::string::npos, third.Output().find("ended with status 86")) << third.Output();
    }
    std::system((SourceDir() + "/tools/boardclean --remove " + root + " > /dev/null").c_str());
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
