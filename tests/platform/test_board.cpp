// Host-wide calls act on the sandbox only.
#include "platform/board.h"
#include "platform/board_path.h"
#include "sandbox.h"

#include <cstdio>
#include <gtest/gtest.h>

TEST(BoardPath, MapsUnitPathsUnderTheRoot)
{
    TestSandbox sb;
    EXPECT_EQ(sb.Root() + "/DeviceInfo/device.conf", BoardPath("/DeviceInfo/device.conf"));
    EXPECT_EQ("relative/x", BoardPath("relative/x"));
    FILE* f = BoardFopen("/DeviceInfo/device.conf", "r");
    ASSERT_NE(nullptr, f);
    std::fclose(f);
    EXPECT_EQ(0, BoardMkdir("/mnt/sdcard/DCIM", 0755));
    EXPECT_TRUE(sb.Exists("/mnt/sdcard/DCIM"));
}

TEST(BoardPathDeathTest, NoUsableRootRefusesToRun)
{
    // "/" would be the host's own file system.
    for (const char* root : {"", "/", "//", "/nonexistent/doorphone-root", "relative/root"}) {
        SCOPED_TRACE(root);
        EXPECT_EXIT(
            {
                setenv("DOORPHONE_ROOT", root, 1);
                BoardReloadRoot();
                BoardFopen("/etc/wpa.conf", "w");
            },
            testing::ExitedWithCode(kBoardNoRootExitStatus), "\\./run\\.sh.*DOORPHONE_ROOT");
    }
}

TEST(BoardClock, SetTimeKeepsAnOffsetAndNeverTouchesTheHost)
{
    TestSandbox sb;
    time_t hostBefore = time(nullptr);
    struct timeval tv = {946684800, 0};  // 2000-01-01
    ASSERT_EQ(0, BoardSetTimeOfDay(&tv));
    EXPECT_LE(llabs(BoardTime(nullptr) - 946684800), 2);
    EXPECT_GE(time(nullptr), hostBefore);
    EXPECT_TRUE(sb.Exists("/.board/clock_offset"));
    struct timeval bad = {0, 1000000};
    EXPECT_EQ(-1, BoardSetTimeOfDay(&bad));
}

TEST(BoardRebootDeathTest, EndsTheProcessWithTheRebootStatus)
{
    TestSandbox sb;
    EXPECT_EXIT(BoardReboot(), testing::ExitedWithCode(kBoardRebootExitStatus), "");
    EXPECT_NE(std::string::npos, sb.Read("/.board/reboot").find("reboot at"));
}
