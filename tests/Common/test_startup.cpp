// The installed-file check against the real md5sum, through the shell runner.
#include "StartUp.h"
#include "sandbox.h"

#include <functional>
#include <gtest/gtest.h>

TEST(CheckApplicationMD5, PassesOnlyOnTheWholeList)
{
    const struct {
        const char* why;
        std::function<void(TestSandbox&)> change;
        int rc;
        const char* says;
    } rows[] = {
        {"as installed", [](TestSandbox&) {}, 0, "MD5 Check Success"},
        {"one file changed", [](TestSandbox& sb) { sb.Write("/customer/ko/rtl8188f.ko", "changed"); }, -1,
         "customer/ko/rtl8188f.ko: FAILED"},
        {"no list", [](TestSandbox& sb) { std::remove(sb.Path("/customer/ApplicantMD5").c_str()); }, -1,
         "MD5 Check Fail, ApplicantMD5 no exist"},
    };
    for (const auto& r : rows) {
        TestSandbox sb;
        r.change(sb);
        testing::internal::CaptureStdout();
        EXPECT_EQ(r.rc, CheckApplicationMD5()) << r.why;
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos, out.find(r.says)) << r.why;
        EXPECT_EQ(r.rc == 0, out.find("MD5 Check Success") != std::string::npos) << r.why;
        EXPECT_EQ(r.rc != 0, out.find("MD5 Check Fail") != std::string::npos) << r.why;
        EXPECT_EQ(std::string::npos, out.find(": OK")) << r.why << ": a file that checks out takes no line";
    }
}
