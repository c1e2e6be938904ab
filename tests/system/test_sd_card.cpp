// The whole process with the sandbox's SD card: mounted at start through the simulated tool,
// taken out and put back with tools/sdcard while the unit runs.
#include "process.h"
#include "sandbox.h"
#include "sdcard_tool.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/wait.h>

using namespace std::chrono_literals;

namespace {

// Waits until `text` appears in the unit's output after the first `after`.
bool WaitAfter(ChildProcess& unit, const std::string& after, const std::string& text, std::chrono::seconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        unit.WaitForOutput(text, 200ms);
        std::string out = unit.Output();
        size_t at = out.find(after);
        if (at != std::string::npos && out.find(text, at + after.size()) != std::string::npos) {
            return true;
        }
    }
    return false;
}

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

}  // namespace

TEST(DoorphoneSdCard, MountedAtStartFollowedOutAndBackIn)
{
    TestSandbox sb;
    ChildProcess unit({BinaryDir() + "/src/Common/doorphone"}, {"DOORPHONE_ROOT=" + sb.Root()});
    ASSERT_TRUE(unit.WaitForOutput("[InitSDCard] mount /dev/mmcblk0p1 on /mnt/sdcard: 0, state 1", 20s)) << unit.Output();
    ASSERT_TRUE(unit.WaitForOutput("[CardDetThread] 1\n", 20s)) << unit.Output();

    ASSERT_EQ(0, SdCardTool(sb, "remove"));
    ASSERT_TRUE(unit.WaitForOutput("[CardDetThread] 5\n", 20s)) << unit.Output();
    ASSERT_EQ(0, SdCardTool(sb, "insert"));
    EXPECT_TRUE(WaitAfter(unit, "[CardDetThread] 5\n", "[CardDetThread] 1\n", 20s)) << unit.Output();
    EXPECT_NE(std::string::npos, sb.Read("/proc/mounts").find("/dev/mmcblk0p1 /mnt/sdcard vfat rw,"));
    unit.Kill(SIGTERM);

    // Every mount command ran as the simulated tool, on the sandbox's paths; nothing was refused.
    const std::string shell = sb.Read("/.board/shell.log");
    const std::string tools = sb.Read("/.board/tools.log");
    EXPECT_EQ(std::string::npos, shell.find("refused")) << shell;
    EXPECT_EQ(1u, Count(shell, "run: mount -t vfat " + sb.Root() + "/dev/mmcblk0p1 " + sb.Root() + "/mnt/sdcard\n")) << shell;
    EXPECT_EQ(1u, Count(tools, "mount -t vfat " + sb.Root() + "/dev/mmcblk0p1 " + sb.Root() + "/mnt/sdcard\n")) << tools;
    EXPECT_EQ(0u, Count(shell, "mkfs")) << shell;
}

// An upgrade file on the card at start hands the unit over to the system's upgrader: the
// marker is left and the unit's own process ends with "killall -9 app".
TEST(DoorphoneSdCard, UpgradeFileHandsTheUnitOver)
{
    TestSandbox sb;
    sb.Write("/mnt/sdcard/UPGRADE.txt", "[upgrade]\nCHIP=KR4172\nDEVICE=TB017D\n");
    ChildProcess unit({BinaryDir() + "/src/Common/doorphone"}, {"DOORPHONE_ROOT=" + sb.Root()});
    int status = unit.WaitExit(30s);
    ASSERT_NE(-1, status) << "the unit went on running\n" << unit.Output();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status << "\n" << unit.Output();
    EXPECT_TRUE(sb.Exists("/dev/Upgrade"));
}
