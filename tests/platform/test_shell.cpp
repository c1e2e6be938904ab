// The shell runner: unit paths go under the sandbox, host paths are refused, nothing escapes.
#include "platform/board_path.h"
#include "platform/shell.h"
#include "sandbox.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
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
        {"x=/etc/Fw.conf", "x=" + r + "/etc/Fw.conf"},
        {"/bin/echo http://host/etc", "/bin/echo http://host/etc"},
        {"/sbin/reboot", BoardSimBinDir() + "/reboot"},
        {"/DeviceInfo/./a/../b", r + "/DeviceInfo/b"},
        {r + "/DeviceInfo/x", r + "/DeviceInfo/x"},  // already in the sandbox
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
    EXPECT_FALSE(Refused("awk '{print $1}' /proc/meminfo"));
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
