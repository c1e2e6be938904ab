// The shell runner: unit paths go under the sandbox, host paths are refused, nothing escapes.
#include "platform/board_path.h"
#include "platform/shell.h"
#include "sandbox.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string Rewrite(const std::string& cmd)
{
    std::string out;
    std::string why;
    EXPECT_EQ(0, BoardShellRewrite(cmd, &out, &why)) << cmd << ": " << why;
    return out;
}

bool Refused(const std::string& cmd)
{
    std::string out;
    std::string why;
    return BoardShellRewrite(cmd, &out, &why) == -1 && !why.empty();
}

}  // namespace

TEST(ShellRewrite, UnitPathsGoUnderTheRoot)
{
    TestSandbox sb;
    const std::string& r = sb.Root();
    struct {
        std::string in;
        std::string out;
    } rows[] = {
        {"md5sum -c /customer/ApplicantMD5", "md5sum -c " + r + "/customer/ApplicantMD5"},
        {"echo 1 > /DeviceInfo/noxa.cfgs/x", "echo 1 > " + r + "/DeviceInfo/noxa.cfgs/x"},
        {"cat /proc/mounts|grep sd", "cat " + r + "/proc/mounts|grep sd"},
        {"rm -rf \"/mnt/sdcard/DVR\"", "rm -rf \"" + r + "/mnt/sdcard/DVR\""},
        {"ls >/dev/null 2>&1", "ls >/dev/null 2>&1"},
        {"cp /etc/a /tmp/b;sync", "cp " + r + "/etc/a " + r + "/tmp/b;sync"},
        {"echo x=/etc/Fw.conf", "echo x=" + r + "/etc/Fw.conf"},
        {"/bin/echo http://host/etc", "/bin/echo http://host/etc"},
        {"/sbin/reboot", BoardSimBinDir() + "/reboot"},
        {"ls /DeviceInfo/./a/../b", "ls " + r + "/DeviceInfo/b"},
        {"cat " + r + "/DeviceInfo/x", "cat " + r + "/DeviceInfo/x"},  // already in the sandbox
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.out, Rewrite(row.in)) << row.in;
    }
}

TEST(ShellRewrite, HostPathsAndExpansionsAreRefused)
{
    TestSandbox sb;
    const char* rows[] = {
        "rm -rf /home/user",
        "cat /root/.ssh/id_rsa",
        "cat /DeviceInfo/../../../etc/passwd",
        "rm ../../x",
        "cat ~/x",
        "rm $HOME/x",
        "rm ${HOME}/x",
        "echo `id`",
        "echo $(id)",
        "/usr/bin/python3 -c 1",
        "echo 'unterminated",
    };
    for (const char* cmd : rows) {
        EXPECT_TRUE(Refused(cmd)) << cmd;
    }
    // Inside single quotes a dollar is text.
    EXPECT_FALSE(Refused("grep '$1' /proc/meminfo"));
}

TEST(ShellRunner, RefusedCommandRunsNothing)
{
    TestSandbox sb;
    // The first half would leave a mark; the second names a host path, so none of it may run.
    EXPECT_EQ(-1, BoardSystem("touch /tmp/ran; rm -f /home/nobody/file"));
    EXPECT_FALSE(sb.Exists("/tmp/ran"));
    EXPECT_EQ(nullptr, BoardPopen("touch /tmp/ran; cat /root/x", "r"));
    EXPECT_FALSE(sb.Exists("/tmp/ran"));
    EXPECT_NE(std::string::npos, sb.Read("/.board/shell.log").find("refused: touch /tmp/ran; rm -f /home/nobody/file"));
}

TEST(ShellRunner, RemovesTheSandboxFileOnly)
{
    TestSandbox sb;
    sb.Write("/DeviceInfo/x", "unit");
    // The same name below the host's /tmp must survive: the unit's /tmp is the sandbox's.
    std::string hostTwin = "/tmp/doorphone-twin-" + std::to_string(getpid());
    std::ofstream(hostTwin) << "host";
    sb.Write("/tmp/" + hostTwin.substr(5), "unit");

    int rc = BoardSystem(("rm /DeviceInfo/x " + hostTwin).c_str());
    ASSERT_TRUE(WIFEXITED(rc));
    EXPECT_EQ(0, WEXITSTATUS(rc));
    EXPECT_FALSE(sb.Exists("/DeviceInfo/x"));
    EXPECT_FALSE(sb.Exists(hostTwin));
    EXPECT_TRUE(std::filesystem::exists(hostTwin));
    EXPECT_TRUE(sb.Exists("/DeviceInfo/device.conf"));
    std::filesystem::remove(hostTwin);
}

TEST(ShellRunner, PopenReadsAndWritesInTheSandbox)
{
    TestSandbox sb;
    FILE* w = BoardPopen("cat > /tmp/out.txt", "w");
    ASSERT_NE(nullptr, w);
    std::fputs("through the pipe\n", w);
    int rc = BoardPclose(w);
    ASSERT_TRUE(WIFEXITED(rc));
    EXPECT_EQ("through the pipe\n", sb.Read("/tmp/out.txt"));

    // The command runs in the root folder, so relative names are the sandbox's.
    FILE* r = BoardPopen("cat tmp/out.txt; pwd", "r");
    ASSERT_NE(nullptr, r);
    char line[256];
    ASSERT_NE(nullptr, std::fgets(line, sizeof(line), r));
    EXPECT_STREQ("through the pipe\n", line);
    ASSERT_NE(nullptr, std::fgets(line, sizeof(line), r));
    EXPECT_EQ(sb.Root() + "\n", std::string(line));
    BoardPclose(r);
    EXPECT_EQ(-1, BoardPclose(stdin));  // not a runner stream
}

TEST(ShellRunner, SimulatedToolsComeFirstAndActOnTheSandbox)
{
    TestSandbox sb;
    for (const char* cmd : {"mount -t vfat /dev/mmcblk0p1 /mnt/sdcard", "reboot", "/sbin/insmod /customer/ko/nvp6124b.ko"}) {
        int rc = BoardSystem(cmd);
        ASSERT_TRUE(WIFEXITED(rc)) << cmd;
        EXPECT_EQ(0, WEXITSTATUS(rc)) << cmd;
    }
    std::string log = sb.Read("/.board/tools.log");
    EXPECT_NE(std::string::npos, log.find("mount -t vfat " + sb.Root() + "/dev/mmcblk0p1 " + sb.Root() + "/mnt/sdcard"));
    EXPECT_NE(std::string::npos, log.find("reboot"));
    EXPECT_NE(std::string::npos, log.find("insmod " + sb.Root() + "/customer/ko/nvp6124b.ko"));
}

namespace {

// Every literal command of the unit's sources ("BoardSystem(\"...\")", "BoardPopen(\"...\")").
std::vector<std::string> LiteralUnitCommands()
{
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(SourceDir() + "/src")) {
        const auto ext = e.path().extension();
        if (e.path().string().find("/src/platform/") != std::string::npos || (ext != ".cpp" && ext != ".c")) {
            continue;
        }
        std::ifstream in(e.path());
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (const std::string call : {"BoardSystem(\"", "BoardPopen(\""}) {
            for (size_t at = text.find(call); at != std::string::npos; at = text.find(call, at + 1)) {
                std::string cmd;
                for (size_t i = at + call.size(); i < text.size() && text[i] != '"'; ++i) {
                    if (text[i] == '\\' && i + 1 < text.size()) {
                        ++i;
                    }
                    cmd += text[i];
                }
                out.push_back(cmd);
            }
        }
    }
    return out;
}

bool ProcessGone(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return true;
    }
    size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

}  // namespace

TEST(ShellRunner, OnlySimulatedAndAllowedToolsRun)
{
    TestSandbox sb;
    const char* refused[] = {
        "date -s '2000-01-01 00:00:00'",
        "ip link set eth0 down",
        "cd; rm -rf .cache",
        "cd && rm -rf .cache",
        "cd -",
        "echo cm0gLXJmIH4= | base64 -d | sh",
        "ls | sh",
        "true && date",
        "false || date",
        "sleep 1 & date",
        "ls\ndate",
        "/usr/bin/date",
        "/bin/sh -c ls",
        "\"date\"",
        "d\\ate",
        "PATH=/usr/bin date",
        "env date",
        "awk 'BEGIN { system(\"date\") }'",
        "find . -exec date ;",
        "xargs date",
        "exec date",
        "eval date",
        ". /tmp/x",
        "kill -9 1",
        "(date)",
        "{ date; }",
        "/DeviceInfo/script.sh",
        "tmp/script.sh",
        "echo 1 > /tmp/x; ip addr",
    };
    for (const char* cmd : refused) {
        EXPECT_TRUE(Refused(cmd)) << cmd;
    }
    // What the unit builds: every literal command of its sources and the formatted ones.
    std::vector<std::string> allowed = LiteralUnitCommands();
    EXPECT_GE(allowed.size(), 30u) << "the source scan found the unit's commands";
    for (const char* cmd : {"echo 16 > /sys/class/gpio/export", "echo out > /sys/class/gpio/gpio16/direction",
                            "ifconfig eth0 hw ether 02:11:22:33:44:55", "mkdir -p /mnt/sdcard/DCIM/20240101",
                            "/customer/wpa_supplicant -B -Dnl80211 -iwlan0 -c /etc/wpa.conf &",
                            "/customer/hostapd /etc/hostapd_none.conf&", "ls >/dev/null 2>&1",
                            "cat /proc/mounts|grep sd", "cp /etc/a /tmp/b;sync", "cd /tmp && ls", "cd /"}) {
        allowed.push_back(cmd);
    }
    for (const auto& cmd : allowed) {
        EXPECT_FALSE(Refused(cmd)) << cmd;
    }

    // Refused at the runner, logged, and nothing reaches the host.
    EXPECT_EQ(-1, BoardSystem("date -s '2000-01-01 00:00:00'"));
    EXPECT_NE(std::string::npos, sb.Read("/.board/shell.log").find("refused: date -s"));
    // A tool of the board's image runs with the narrow PATH: the host's date is not there.
    sb.Write("/customer/hostapd", "#!/bin/sh\ndate -s 2000-01-01 > tmp/out 2>&1 || echo refused >> tmp/out\n");
    int rc = BoardSystem("/customer/hostapd");
    ASSERT_TRUE(WIFEXITED(rc));
    EXPECT_NE(std::string::npos, sb.Read("/tmp/out").find("refused"));
    for (const auto& e : std::filesystem::directory_iterator(sb.Path("/.board/bin"))) {
        const std::string name = e.path().filename();
        EXPECT_TRUE(name != "sh" && name != "date" && name != "awk" && name != "env") << name;
    }
}

TEST(ShellRunner, TeardownEndsADetachedToolAndNothingRemakesTheSandbox)
{
    auto sb = std::make_unique<TestSandbox>();
    const std::string root = sb->Root();
    setenv("DOORPHONE_SIM_LINGER", "30", 1);
    int rc = BoardSystem("/customer/hostapd /etc/hostapd_none.conf&");
    unsetenv("DOORPHONE_SIM_LINGER");
    ASSERT_TRUE(WIFEXITED(rc));
    pid_t tool = -1;
    for (int i = 0; i < 500 && tool < 0; ++i) {
        for (const auto& e : std::filesystem::directory_iterator(root + "/.board/pids")) {
            tool = std::stoi(e.path().filename());
        }
        usleep(10000);
    }
    ASSERT_GT(tool, 0) << "the tool recorded its pid";
    // The leak check sees it while it runs.
    EXPECT_NE(0, std::system((SourceDir() + "/tools/boardclean --check " + root + " > /dev/null").c_str()));

    sb.reset();
    EXPECT_TRUE(ProcessGone(tool));
    EXPECT_FALSE(std::filesystem::exists(root));
    EXPECT_EQ(0, std::system((SourceDir() + "/tools/boardclean --check " + root).c_str()));

    // A tool started on a sandbox that is gone makes nothing.
    setenv("DOORPHONE_ROOT", root.c_str(), 1);
    EXPECT_NE(0, std::system((BoardSimBinDir() + "/ifconfig eth0 up 2> /dev/null").c_str()));
    unsetenv("DOORPHONE_ROOT");
    EXPECT_FALSE(std::filesystem::exists(root));
}
