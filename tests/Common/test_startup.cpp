// The installed-file check against the real md5sum, through the shell runner.
#include "StartUp.h"
#include "sandbox.h"

#include <gtest/gtest.h>

TEST(CheckApplicationMD5, PassesOnTheSandboxList)
{
    TestSandbox sb;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, CheckApplicationMD5());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("MD5 Check Success"));
    EXPECT_EQ(std::string::npos, out.find(": OK")) << "a file that checks out takes no line";
}

TEST(CheckApplicationMD5, OneChangedFileFails)
{
    TestSandbox sb;
    sb.Write("/customer/ko/rtl8188f.ko", "changed");
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, CheckApplicationMD5());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("MD5 Check Fail"));
    EXPECT_NE(std::string::npos, out.find("customer/ko/rtl8188f.ko: FAILED")) << "the file that failed is named";
    EXPECT_EQ(std::string::npos, out.find("MD5 Check Success"));
}

TEST(CheckApplicationMD5, MissingListFails)
{
    TestSandbox sb;
    std::remove(sb.Path("/customer/ApplicantMD5").c_str());
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, CheckApplicationMD5());
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find("MD5 Check Fail, ApplicantMD5 no exist"));
}
