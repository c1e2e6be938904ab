// The whole process on a sandbox: start-up runs, a failed file check ends it with status 0.
#include "platform/board_msgq.h"
#include "platform/board_path.h"
#include "process.h"
#include "sandbox.h"
#include "tool_refusal.h"

#include <csignal>
#include <fcntl.h>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
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

// A run.sh test's own time and what it leaves. It ends itself before CTest's limit (300 s), which
// would kill it without a word and leave its sandbox: every wait takes at most what is left, and
// at its end, however it ends, the roots it named are removed (what still runs on them ended).
// The run.sh tests take turns (they share build-run/ and time its log): CTest runs them one at a
// time (their RESOURCE_LOCK, tests/CMakeLists.txt) after the fixture that builds what run.sh
// runs; run by hand, a turn is waited for within the test's own time.
class RunShTest {
public:
    RunShTest() : mEnd(std::chrono::steady_clock::now() + std::chrono::seconds(240)) {}
    ~RunShTest()
    {
        // The last named first: a sandbox inside a folder the test made goes before the folder.
        for (auto root = mRoots.rbegin(); root != mRoots.rend(); ++root) {
            if (std::filesystem::exists(*root)) {
                std::system((SourceDir() + "/tools/boardclean --remove " + *root + " > /dev/null 2>&1").c_str());
            }
            // A folder that is no sandbox (boardclean refuses it) is the test's own.
            std::error_code ec;
            std::filesystem::remove_all(*root, ec);
        }
        if (mTurn >= 0) {
            close(mTurn);
        }
    }
    RunShTest(const RunShTest&) = delete;
    RunShTest& operator=(const RunShTest&) = delete;

    // What is left of the test's time, `most` at most.
    std::chrono::milliseconds Left(std::chrono::milliseconds most) const
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(mEnd - std::chrono::steady_clock::now());
        return std::max(std::chrono::milliseconds(0), std::min(most, left));
    }
    bool TakeTurn()
    {
        mTurn = open((SourceDir() + "/run.sh").c_str(), O_RDONLY | O_CLOEXEC);
        return mTurn >= 0 && Eventually([this] { return flock(mTurn, LOCK_EX | LOCK_NB) == 0; }, Left(240s));
    }
    // A root (or a folder) this test removes at its end.
    std::string Root(const std::string& root)
    {
        mRoots.push_back(root);
        return root;
    }

private:
    std::chrono::steady_clock::time_point mEnd;
    std::vector<std::string> mRoots;
    int mTurn = -1;
};

// Stops a run.sh as Ctrl-C does, then for good: no test leaves one running.
int StopRun(ChildProcess& run)
{
    run.Kill(SIGINT);
    int status = run.WaitExit(15s);
    if (status == -1) {
        run.Kill(SIGKILL);
        status = run.WaitExit(5s);
    }
    return status;
}

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
    for (const PROC_STAT_S& p : ProcessTable()) {
        kids[p.Parent].push_back(p.Pid);
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
        {{"--build-only", "--seconds", "3"}, "run.sh: --build-only takes no other argument"},
    }, {"(usage: ./run.sh [--seconds N]"});
    for (const char* jobs : {"abc", "0", "-2", "3x"}) {
        EXPECT_TRUE(ToolRefuses({runSh, "--root", missing + "/x"}, 2,
                                std::string("run.sh: JOBS takes a positive whole number of build jobs, not '") + jobs + "'",
                                {std::string("JOBS=") + jobs}));
    }
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
    RunShTest test;
    ASSERT_TRUE(test.TakeTurn());
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
    const int status = second.WaitExit(test.Left(30s));
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
    RunShTest test;
    ASSERT_TRUE(test.TakeTurn());
    const std::string base = "/tmp/run-sh-stop-" + std::to_string(getpid());
    const std::string build = SourceDir() + "/build-run";
    const auto linking = -1ms;
    for (const auto delay : {500ms, 2000ms, 8000ms, linking}) {
        SCOPED_TRACE(delay == linking ? std::string("linking") : std::to_string(delay.count()) + " ms");
        // The unit's own source: the build compiles it and links the unit (the fixture built the
        // rest before the test began).
        const std::filesystem::path source = SourceDir() + "/src/Common/main.cpp";
        const auto touched = std::filesystem::file_time_type::clock::now();
        std::filesystem::last_write_time(source, touched);
        const std::string root = test.Root(base + "-" + std::to_string(delay.count()));
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
                test.Left(120s)))
                << run.Output();
        } else {
            std::this_thread::sleep_for(delay);
        }
        ASSERT_EQ(-1, run.WaitExit(0ms)) << run.Output();
        const std::vector<ProcId> below = Descendants(run.Pid());
        // To run.sh alone, as to a run in the background: its steps never see this signal.
        const auto sent = std::chrono::steady_clock::now();
        run.Kill(SIGINT);
        const int status = run.WaitExit(test.Left(10s));
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
        }
    }
    const std::string root = test.Root(base + "-after");
    ChildProcess run({SourceDir() + "/run.sh", "--root", root, "--seconds", "3"});
    int status = run.WaitExit(test.Left(180s));
    if (status == -1) {
        status = StopRun(run);
        FAIL() << "the test's time ran out\n" << run.Output();
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << run.Output();
    EXPECT_NE(std::string::npos, run.Output().find("run.sh: doorphone ended with status 0")) << run.Output();
}

// The cloud's word "activated" is not the unit's: a unit stopped after the cloud's answer but
// before it stored it keeps no activation, and the next run pairs it again, so that it goes
// online. A unit that keeps one goes online with it, and a pulled cable ends the run with the
// unit's reboot, said as such with the way back.
TEST(RunSh, PairsAgainWhenTheUnitKeepsNoActivation)
{
    RunShTest test;
    ASSERT_TRUE(test.TakeTurn());
    const std::string root = test.Root("/tmp/run-sh-pair-" + std::to_string(getpid()));
    const auto online = [&] { return UnitLog(root).find("mqtt is online") != std::string::npos; };
    {
        ChildProcess first({SourceDir() + "/run.sh", "--root", root, "--seconds", "60"});
        ASSERT_TRUE(first.WaitForOutput("run.sh: paired with token", test.Left(120s))) << first.Output();
        ASSERT_TRUE(Eventually(online, test.Left(60s))) << UnitLog(root);
        ASSERT_NE(-1, StopRun(first)) << first.Output();
    }
    // The unit's store as one stopped before it took the answer in: no activation record.
    for (const char* f : {"noxa_user.db", "noxa_user.db_bak", "noxa_user.db_jnl"}) {
        std::filesystem::remove(root + "/DeviceInfo/noxa/" + f);
    }
    {
        ChildProcess second({SourceDir() + "/run.sh", "--root", root, "--seconds", "60"});
        ASSERT_TRUE(second.WaitForOutput("run.sh: ---- how to use", test.Left(90s))) << second.Output();
        EXPECT_NE(std::string::npos, second.Output().find("the unit keeps no activation")) << second.Output();
        EXPECT_NE(std::string::npos, second.Output().find("run.sh: paired with token")) << second.Output();
        EXPECT_TRUE(Eventually(online, test.Left(60s))) << UnitLog(root);
        ASSERT_NE(-1, StopRun(second)) << second.Output();
    }
    {
        ChildProcess third({SourceDir() + "/run.sh", "--root", root, "--seconds", "120"});
        ASSERT_TRUE(third.WaitForOutput("run.sh: ---- how to use", test.Left(90s))) << third.Output();
        EXPECT_NE(std::string::npos, third.Output().find("the unit goes online with its stored activation"))
            << third.Output();
        EXPECT_EQ(std::string::npos, third.Output().find("paired with token")) << third.Output();
        EXPECT_TRUE(Eventually(online, test.Left(60s))) << UnitLog(root);
        ASSERT_EQ(0, std::system((SourceDir() + "/tools/netsim " + root + " cable pull > /dev/null").c_str()));
        int status = third.WaitExit(test.Left(60s));
        if (status == -1) {
            StopRun(third);
        }
        EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 86) << status << third.Output();
        EXPECT_NE(std::string::npos, third.Output().find("run.sh: the unit rebooted")) << third.Output();
        EXPECT_NE(std::string::npos, third.Output().find("start it again on the same board with: ./run.sh --root " + root))
            << third.Output();
        EXPECT_EQ(std::string::npos, third.Output().find("ended with status 86")) << third.Output();
    }
}

// A run killed hard (SIGKILL: no trap runs) leaves nothing running: the unit, the door station
// and the cloud end with it. What another way left running on the root (here a door station of
// no run) is ended by the next run on the root, which says so, before it starts its own.
TEST(RunSh, AKilledRunLeavesNothingRunningAndTheNextEndsWhatWasLeft)
{
    RunShTest test;
    ASSERT_TRUE(test.TakeTurn());
    const std::string root = test.Root("/tmp/run-sh-killed-" + std::to_string(getpid()));
    {
        ChildProcess run({SourceDir() + "/run.sh", "--root", root, "--seconds", "120"});
        ASSERT_TRUE(run.WaitForOutput("run.sh: ---- how to use", test.Left(120s))) << run.Output();
        // Each process below the run, with its command line.
        std::vector<ProcId> below;
        std::map<pid_t, std::string> what;
        const auto look = [&] {
            below = Descendants(run.Pid());
            what.clear();
            for (const ProcId& p : below) {
                std::ifstream in("/proc/" + std::to_string(p.first) + "/cmdline");
                std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
                std::replace(line.begin(), line.end(), '\0', ' ');
                what[p.first] = line;
            }
        };
        const auto runs = [&](const std::string& program) {
            for (const auto& [pid, line] : what) {
                if (line.find("/" + program + " ") != std::string::npos) {
                    return true;
                }
            }
            return false;
        };
        ASSERT_TRUE(Eventually(
            [&] {
                look();
                return runs("doorphone") && runs("doorstation") && runs("cloudsim");
            },
            test.Left(30s)))
            << run.Output();
        run.Kill(SIGKILL);
        ASSERT_NE(-1, run.WaitExit(5s));
        for (const ProcId& p : below) {
            EXPECT_TRUE(Eventually([&] { return !StillRuns(p); }, test.Left(10s)))
                << "process " << p.first << " outlived the killed run: " << what[p.first];
        }
    }
    // A station started by hand on the root (as one of a run killed before its station was made
    // to end with it): it would read the next run's commands.
    ChildProcess stray({BinaryDir() + "/tools/doorstation", "--root", root, "--fifo", root + "/tmp/stray.cmd"},
                       {"DOORPHONE_ROOT=" + root});
    ASSERT_TRUE(stray.WaitForOutput("linked at", test.Left(10s))) << stray.Output();
    ChildProcess next({SourceDir() + "/run.sh", "--root", root, "--seconds", "60"});
    ASSERT_TRUE(next.WaitForOutput("run.sh: ---- how to use", test.Left(90s))) << next.Output();
    EXPECT_NE(std::string::npos,
              next.Output().find("run.sh: an earlier run left processes running on " + root + ": ended them"))
        << next.Output();
    EXPECT_NE(std::string::npos, next.Output().find("run.sh:   ending process " + std::to_string(stray.Pid())))
        << next.Output();
    EXPECT_NE(-1, stray.WaitExit(test.Left(10s))) << "the stray station still runs";
    EXPECT_NE(-1, StopRun(next)) << next.Output();
}

// Relative paths are the caller's: --root and --station-script given from another folder name
// files there, not in the project. A run without --root says at its end where its sandbox stays
// and how to remove it; the how-to names a photograph of a person that is there.
TEST(RunSh, TakesRelativePathsFromTheCallerAndSaysWhereItsSandboxStays)
{
    RunShTest test;
    ASSERT_TRUE(test.TakeTurn());
    const std::string dir = test.Root("/tmp/run-sh-caller-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/call.txt") << "sar 700\n";
    const std::string name = "box-" + std::to_string(getpid());
    test.Root(dir + "/" + name);
    {
        ChildProcess run({"/bin/sh", "-c",
                          "cd " + dir + " && exec " + SourceDir() + "/run.sh --root " + name +
                              " --station-script call.txt --seconds 3"});
        int status = run.WaitExit(test.Left(120s));
        if (status == -1) {
            status = StopRun(run);
        }
        EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << run.Output();
        EXPECT_NE(std::string::npos, run.Output().find("run.sh: sandbox (board root) is " + dir + "/" + name))
            << run.Output();
        EXPECT_TRUE(std::filesystem::exists(dir + "/" + name + "/.board/sandbox"));
        EXPECT_FALSE(std::filesystem::exists(SourceDir() + "/" + name)) << "the root went into the project";
        std::ifstream in(dir + "/" + name + "/.board/doorstation.log");
        const std::string station((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_NE(std::string::npos, station.find("sar_ch2 := 700")) << "the caller's script did not run\n" << station;
        // A root the caller named is the caller's to keep: no note.
        EXPECT_EQ(std::string::npos, run.Output().find("this run's sandbox stays")) << run.Output();
    }
    ChildProcess run({SourceDir() + "/run.sh", "--seconds", "3"});
    ASSERT_TRUE(run.WaitForOutput("run.sh: sandbox (board root) is ", test.Left(120s))) << run.Output();
    std::smatch m;
    std::string out = run.Output();
    ASSERT_TRUE(std::regex_search(out, m, std::regex("sandbox \\(board root\\) is (/tmp/doorphone-run-[A-Za-z0-9]+)")))
        << out;
    const std::string root = test.Root(m[1]);
    int status = run.WaitExit(test.Left(120s));
    if (status == -1) {
        status = StopRun(run);
    }
    out = run.Output();
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << out;
    const std::string photo = SourceDir() + "/build-run/photos/astronaut.png";
    EXPECT_NE(std::string::npos, out.find("tools/mkcamera " + root + " " + photo)) << out;
    EXPECT_GT(std::filesystem::file_size(photo), 0u);
    const std::string remove = SourceDir() + "/tools/boardclean --remove " + root;
    ASSERT_TRUE(std::regex_search(out, m, std::regex("run.sh: this run's sandbox stays in " + root +
                                                     " \\([0-9.,]+[KMG]?\\)")))
        << out;
    ASSERT_NE(std::string::npos, out.find("remove it with: " + remove)) << out;
    EXPECT_EQ(0, std::system((remove + " > /dev/null").c_str()));
    EXPECT_FALSE(std::filesystem::exists(root));
}

// The stores' install counts as done only once it finished: one cut short (a Ctrl-C in the first
// run's npm ci) is done again by the next call, and a finished one is not done twice.
TEST(RunSh, AnInstallCutShortIsDoneAgainAtTheNextRun)
{
    RunShTest test;
    const std::string top = test.Root("/tmp/run-sh-deps-" + std::to_string(getpid()));
    std::filesystem::create_directories(top + "/scripts");
    std::filesystem::create_directories(top + "/bin");
    std::filesystem::copy_file(SourceDir() + "/scripts/deps.sh", top + "/scripts/deps.sh");
    std::filesystem::copy_file(SourceDir() + "/package-lock.json", top + "/package-lock.json");
    std::filesystem::copy_file(SourceDir() + "/package.json", top + "/package.json");
    // A stand-in npm: it counts its calls, removes the folder as npm ci does, writes part of the
    // packages, and dies there while the file "cut" is there.
    std::ofstream(top + "/bin/npm") << "#!/bin/sh\n"
                                       "echo ci >> " + top + "/calls\n"
                                       "rm -rf node_modules && mkdir -p node_modules/s3rver\n"
                                       "[ -e " + top + "/cut ] && kill -KILL $$\n"
                                       "echo 'module.exports = 1' > node_modules/s3rver/index.js\n";
    std::filesystem::permissions(top + "/bin/npm", std::filesystem::perms::owner_all);
    std::ofstream(top + "/cut") << "";
    const auto calls = [&] {
        std::ifstream in(top + "/calls");
        return std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n');
    };
    const std::string deps = "PATH=" + top + "/bin:$PATH " + top + "/scripts/deps.sh > /dev/null 2>&1";
    EXPECT_NE(0, std::system(deps.c_str())) << "the cut install counted as done";
    EXPECT_EQ(1, calls());
    EXPECT_TRUE(std::filesystem::exists(top + "/node_modules/s3rver"));
    EXPECT_FALSE(std::filesystem::exists(top + "/node_modules/s3rver/index.js"));
    std::filesystem::remove(top + "/cut");
    EXPECT_EQ(0, std::system(deps.c_str()));
    EXPECT_EQ(2, calls()) << "the install cut short was not done again";
    EXPECT_TRUE(std::filesystem::exists(top + "/node_modules/s3rver/index.js"));
    EXPECT_EQ(0, std::system(deps.c_str()));
    EXPECT_EQ(2, calls()) << "a finished install was done again";
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
