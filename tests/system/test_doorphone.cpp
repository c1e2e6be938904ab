// The whole process on a sandbox: start-up runs, a failed file check ends it with status 0.
#include "process.h"
#include "sandbox.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>

using namespace std::chrono_literals;

namespace {
std::string Doorphone()
{
    return BinaryDir() + "/src/Common/doorphone";
}
}  // namespace

TEST(Doorphone, StartsAndRunsTheTimerTask)
{
    TestSandbox sb;
    ChildProcess unit({Doorphone()}, {"DOORPHONE_ROOT=" + sb.Root()});
    EXPECT_TRUE(unit.WaitForOutput("MD5 Check Success", 20s)) << unit.Output();
    EXPECT_TRUE(unit.WaitForOutput("[TimeTaskThread] PID = ", 20s)) << unit.Output();
    EXPECT_EQ(-1, unit.WaitExit(300ms)) << "the unit must keep running";
    unit.Kill(SIGTERM);
}

TEST(Doorphone, FailedFileCheckExitsWithStatusZero)
{
    TestSandbox sb;
    // A wrong sum in the list.
    std::string list = sb.Read("/customer/ApplicantMD5");
    list[0] = list[0] == '0' ? '1' : '0';
    sb.Write("/customer/ApplicantMD5", list);
    ChildProcess unit({Doorphone()}, {"DOORPHONE_ROOT=" + sb.Root()});
    int status = unit.WaitExit(20s);
    ASSERT_NE(-1, status) << unit.Output();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_NE(std::string::npos, unit.Output().find("MD5 Check Fail"));
    EXPECT_EQ(std::string::npos, unit.Output().find("TimeTaskThread"));
}
