// Board message queues: keys of the board's own, fresh at every run, gone when the process or
// the sandbox ends.
#include "platform/board.h"
#include "platform/board_msgq.h"
#include "platform/board_path.h"
#include "sandbox.h"
#include "tool_refusal.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/msg.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct TestMsg {
    long type;
    char body[4];
};

std::string ShellOut(const std::string& cmd)
{
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        return out;
    }
    char buf[256];
    while (std::fgets(buf, sizeof(buf), p) != nullptr) {
        out += buf;
    }
    pclose(p);
    while (!out.empty() && out.back() == '\n') {
        out.pop_back();
    }
    return out;
}

// Runs `body` in a child process that first makes queues 1 and 2 of the board; the wait status.
template <typename F>
int InChild(F body)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (BoardMsgQueueCreate(1) < 0 || BoardMsgQueueCreate(2) < 0) {
            _exit(3);
        }
        body();
        _exit(4);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

}  // namespace

TEST(BoardMsgQueue, KeysAreTheToolsAndDifferPerRoot)
{
    const std::string roots[] = {"/", "/tmp/doorphone-test-a1B2c3", "/tmp/doorphone-test-a1B2c4",
                                 "/tmp/doorphone-run-x/", "/var/tmp/a+b_c.d/" + std::string(200, 'x')};
    key_t seen[std::size(roots)];
    for (size_t i = 0; i < std::size(roots); ++i) {
        const std::string& r = roots[i];
        seen[i] = BoardMsgQueueKeyBase(r);
        EXPECT_EQ(std::to_string(static_cast<uint32_t>(seen[i])),
                  ShellOut(SourceDir() + "/tools/boardclean --key '" + r + "'"))
            << r;
        EXPECT_EQ(0, seen[i] & 0xFF) << r;
    }
    EXPECT_EQ(BoardMsgQueueKeyBase("/tmp/doorphone-run-x"), seen[3]) << "trailing slash";
    EXPECT_NE(seen[1], seen[2]) << "two sandboxes share a key";

    TestSandbox sb;
    EXPECT_EQ(BoardMsgQueueKeyBase(sb.Root()) | 127, BoardMsgQueueKey(127));
    EXPECT_EQ(-1, BoardMsgQueueKey(0));
    EXPECT_EQ(-1, BoardMsgQueueKey(256));
}

TEST(BoardMsgQueue, CreateDropsWhatAnEarlierRunLeft)
{
    TestSandbox sb;
    int q = BoardMsgQueueCreate(7);
    ASSERT_GE(q, 0);
    TestMsg m = {1239, {13, 0, 0, 0}};
    ASSERT_EQ(0, BoardMsgQueueSend(q, &m, sizeof(m.body), IPC_NOWAIT));
    // Opening shares the queue as it is; creating starts empty.
    EXPECT_EQ(q, BoardMsgQueueOpen(7));
    int fresh = BoardMsgQueueCreate(7);
    ASSERT_GE(fresh, 0);
    EXPECT_EQ(-1, BoardMsgQueueReceive(fresh, &m, sizeof(m.body), 0, IPC_NOWAIT));
    EXPECT_EQ(ENOMSG, errno);
    EXPECT_EQ(1, BoardMsgQueueCountBoard(sb.Root()));
    struct msqid_ds ds = {};
    ASSERT_EQ(0, msgctl(fresh, IPC_STAT, &ds));
    EXPECT_EQ(0600u, ds.msg_perm.mode & 0777) << "no other user posts orders to the unit";
    EXPECT_EQ(0, BoardMsgQueueRemove(fresh));
    EXPECT_EQ(0, BoardMsgQueueCountBoard(sb.Root()));
}

TEST(BoardMsgQueue, TheProcessRemovesItsQueuesHoweverItEndsInOrder)
{
    TestSandbox sb;
    struct {
        const char* how;
        void (*end)();
        bool exited;
        int code;
    } rows[] = {
        {"exit", [] { std::exit(0); }, true, 0},
        {"reboot", [] { BoardReboot(); }, true, kBoardRebootExitStatus},
        {"SIGTERM", [] { raise(SIGTERM); }, false, SIGTERM},
        {"SIGINT", [] { raise(SIGINT); }, false, SIGINT},
        {"SIGHUP", [] { raise(SIGHUP); }, false, SIGHUP},
    };
    for (const auto& row : rows) {
        int status = InChild(row.end);
        if (row.exited) {
            ASSERT_TRUE(WIFEXITED(status)) << row.how;
            EXPECT_EQ(row.code, WEXITSTATUS(status)) << row.how;
        } else {
            ASSERT_TRUE(WIFSIGNALED(status)) << row.how << " status " << status;
            EXPECT_EQ(row.code, WTERMSIG(status)) << row.how;
        }
        EXPECT_EQ(0, BoardMsgQueueCountBoard(sb.Root())) << row.how;
    }
}

TEST(BoardMsgQueue, SandboxTeardownAndANewSandboxRemoveWhatAKilledProcessLeft)
{
    std::string root;
    {
        TestSandbox sb;
        root = sb.Root();
        int status = InChild([] { raise(SIGKILL); });
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(2, BoardMsgQueueCountBoard(root));
    }
    EXPECT_EQ(0, BoardMsgQueueCountBoard(root));

    // A killed unit's queues at a path that a new sandbox takes again.
    std::filesystem::create_directories(root);
    setenv("DOORPHONE_ROOT", root.c_str(), 1);
    BoardReloadRoot();
    InChild([] { raise(SIGKILL); });
    unsetenv("DOORPHONE_ROOT");
    BoardReloadRoot();
    ASSERT_EQ(2, BoardMsgQueueCountBoard(root));
    const std::string check = SourceDir() + "/tools/boardclean --check " + root;
    EXPECT_EQ(0, std::system((check + " | grep -c 'message queue' | grep -qx 2").c_str()))
        << "the leak check lists both queues";
    ASSERT_EQ(0, std::system((SourceDir() + "/tools/mksandbox " + root + " > /dev/null").c_str()));
    EXPECT_NE(0, std::system((check + " > /dev/null").c_str())) << "the folder is there";
    EXPECT_EQ(0, BoardMsgQueueCountBoard(root));
    ASSERT_EQ(0, std::system((SourceDir() + "/tools/boardclean --remove " + root).c_str()));
    EXPECT_EQ(0, std::system(check.c_str()));
}

// tools/mksandbox refuses a root it cannot lay out with status 2 before it makes anything:
// no folder for a root whose parent is missing or whose name the shell runner cannot take.
TEST(BoardMsgQueue, MksandboxRefusesBadRootsBeforeMakingAnything)
{
    const std::string tool = SourceDir() + "/tools/mksandbox";
    const std::string base = "/tmp/mksandbox-refusals-" + std::to_string(getpid());
    std::filesystem::create_directories(base + "/full");
    std::ofstream(base + "/full/file") << "x";
    std::ofstream(base + "/plain") << "x";
    ExpectRefusals(tool, {
        {{}, "mksandbox: one board root, not 0 arguments"},
        {{base + "/a", base + "/b"}, "mksandbox: one board root, not 2 arguments"},
        {{""}, "mksandbox: an empty root"},
        {{"--fresh"}, "mksandbox: unknown option --fresh"},
        {{"/"}, "mksandbox: refusing to lay out the host's root"},
        {{base + "/missing/x"}, "its parent folder " + base + "/missing does not exist"},
        {{base + "/with space"}, "the root may hold only letters, digits and _ . / + -"},
        {{base + "/full"}, base + "/full is not empty"},
        {{base + "/plain"}, base + "/plain is not a folder"},
    });
    EXPECT_FALSE(std::filesystem::exists(base + "/missing"));
    EXPECT_FALSE(std::filesystem::exists(base + "/with space"));
    EXPECT_FALSE(std::filesystem::exists(base + "/a"));
    EXPECT_EQ(1u, std::distance(std::filesystem::directory_iterator(base + "/full"), {}));
    std::filesystem::remove_all(base);
}

// tools/boardclean: a wrong option is refused with status 2, a missing root is said so with
// status 1 (its queues, if any, still go). --remove takes only a sandbox, the option before or
// after the root: any other folder or file is refused with the reason and left as it was.
TEST(BoardMsgQueue, BoardcleanSaysWhatIsWrong)
{
    const std::string tool = SourceDir() + "/tools/boardclean";
    const std::string missing = "/tmp/boardclean-missing-" + std::to_string(getpid());
    const std::string base = "/tmp/boardclean-refusals-" + std::to_string(getpid());
    std::filesystem::create_directories(base + "/plain/.board");
    std::filesystem::create_directories(base + "/empty");
    std::ofstream(base + "/plain/keep") << "x";
    std::ofstream(base + "/file") << "x";
    ExpectRefusals(tool, {
        {{}, "boardclean: no board root (usage: boardclean"},
        {{"--wipe", missing}, "boardclean: unknown option --wipe"},
        {{missing, "--wipe"}, "boardclean: unknown option --wipe"},
        {{"--remove"}, "boardclean: no board root"},
        {{""}, "boardclean: no board root"},
        {{"--remove", ""}, "boardclean: no board root (an empty one)"},
        {{missing}, "boardclean: the board root " + missing + " does not exist: nothing to clean", 1},
        {{"--remove", missing}, "boardclean: not removing " + missing + ": it does not exist"},
        {{missing, "--remove"}, "boardclean: not removing " + missing + ": it does not exist"},
        {{"--remove", base + "/plain"}, "boardclean: not removing " + base + "/plain: it is not a sandbox"},
        {{base + "/plain/", "--remove"}, "boardclean: not removing " + base + "/plain: it is not a sandbox"},
        {{"--remove", base + "/empty"}, "it is not a sandbox"},
        {{"--remove", base + "/file"}, "boardclean: not removing " + base + "/file: it is not a folder"},
        {{"--remove", "/"}, "boardclean: refusing to remove /"},
        {{"--remove", base + "/plain", base + "/empty"}, "boardclean: one board root, not 2"},
        {{"--remove", base + "/plain", "--check"}, "boardclean: --remove and --check together"},
    });
    EXPECT_FALSE(std::filesystem::exists(missing));
    EXPECT_TRUE(std::filesystem::exists(base + "/plain/keep"));
    EXPECT_TRUE(std::filesystem::exists(base + "/empty"));
    EXPECT_TRUE(std::filesystem::exists(base + "/file"));
    std::filesystem::remove_all(base);
}

// A sandbox goes whole and the tool says so, with the option on either side; one laid out before
// sandboxes carried their mark is known by its layout.
TEST(BoardMsgQueue, BoardcleanRemovesASandboxAndSaysSo)
{
    const std::string tool = SourceDir() + "/tools/boardclean";
    for (const bool marked : {true, false}) {
        for (const bool optionFirst : {true, false}) {
            const std::string root = "/tmp/boardclean-sandbox-" + std::to_string(getpid());
            ASSERT_EQ(0, std::system((SourceDir() + "/tools/mksandbox " + root + " > /dev/null").c_str()));
            ASSERT_TRUE(std::filesystem::exists(root + "/.board/sandbox"));
            if (!marked) {
                std::filesystem::remove(root + "/.board/sandbox");
            }
            std::vector<std::string> argv = {tool, root};
            argv.insert(optionFirst ? argv.begin() + 1 : argv.end(), "--remove");
            EXPECT_TRUE(ToolRefuses(argv, 0, "boardclean: removed the sandbox " + root)) << marked << optionFirst;
            EXPECT_FALSE(std::filesystem::exists(root)) << marked << optionFirst;
            std::filesystem::remove_all(root);
        }
    }
}

// --remove on a symbolic link to a sandbox removes nothing and says why: removing the link alone
// would say "removed" of a sandbox that stays.
TEST(BoardMsgQueue, BoardcleanRefusesALinkToASandbox)
{
    TestSandbox sb;
    const std::string link = "/tmp/boardclean-link-" + std::to_string(getpid());
    std::filesystem::remove(link);
    std::filesystem::create_directory_symlink(sb.Root(), link);
    EXPECT_TRUE(ToolRefuses({SourceDir() + "/tools/boardclean", "--remove", link}, 2,
                            "boardclean: not removing " + link + ": it is a symbolic link (to " + sb.Root() +
                                "), not the sandbox"));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_TRUE(std::filesystem::exists(sb.Root() + "/.board/sandbox"));
    std::filesystem::remove(link);
}

// A process that still runs on a root (a unit or a simulator whose run was killed hard: the root
// in its environment) is ended by the root's clean-up, which names it; one of another root stays.
TEST(BoardMsgQueue, BoardcleanEndsWhatStillRunsOnTheRoot)
{
    TestSandbox sb;
    TestSandbox other;
    // Started through a shell that ends at once: the sleepers belong to no one here.
    const auto start = [](const std::string& root, const std::string& ticket) {
        const std::string cmd = "DOORPHONE_ROOT=" + root + " setsid sh -c 'sleep 300 & echo $! > " + ticket +
                                "' < /dev/null > /dev/null 2>&1";
        EXPECT_EQ(0, std::system(cmd.c_str()));
        std::string pid;
        EXPECT_TRUE(Eventually(
            [&] {
                std::ifstream in(ticket);
                return static_cast<bool>(in >> pid);
            },
            std::chrono::seconds(5)));
        return pid;
    };
    const std::string mine = start(sb.Root(), sb.Root() + "/tmp/left.pid");
    const std::string theirs = start(other.Root(), other.Root() + "/tmp/left.pid");
    // Gone, or a zombie no one reaps yet.
    const auto ended = [](const std::string& pid) {
        std::ifstream in("/proc/" + pid + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t close = stat.rfind(") ");
        return close == std::string::npos || stat.compare(close + 2, 1, "Z") == 0;
    };
    ASSERT_FALSE(mine.empty());
    ASSERT_FALSE(theirs.empty());
    ChildProcess clean({SourceDir() + "/tools/boardclean", sb.Root()});
    ASSERT_NE(-1, clean.WaitExit(std::chrono::seconds(30))) << clean.Output();
    EXPECT_NE(std::string::npos, clean.Output().find("boardclean: " + sb.Root() + ": ending process " + mine))
        << clean.Output();
    EXPECT_TRUE(Eventually([&] { return ended(mine); }, std::chrono::seconds(5)));
    EXPECT_FALSE(ended(theirs)) << "a process of another root was ended";
    kill(std::stoi(theirs), SIGKILL);
}
