// The installed-file check against the real md5sum, through the shell runner.
#include "StartUp.h"
#include "sandbox.h"

#include <fcntl.h>
#include <unistd.h>

#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

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

// A packet pipe hands each write to one read, so the pieces arrive apart; then the writer closes.
TEST(ReadFully, GathersThePiecesUntilTheCountOrTheEnd)
{
    const struct {
        std::vector<std::string> pieces;
        size_t count;
        int rc;
        std::string read;
    } rows[] = {
        {{"abc", "defg"}, 7, 7, "abcdefg"},
        {{"abc", "defg"}, 16, 7, "abcdefg"},  // ends before the count
        {{"ab", "c", "def"}, 4, 4, "abcd"},   // stops at the count
        {{}, 8, 0, ""},
    };
    for (const auto& r : rows) {
        int fds[2];
        ASSERT_EQ(0, pipe2(fds, O_DIRECT));
        for (const auto& p : r.pieces) {
            ASSERT_EQ(static_cast<ssize_t>(p.size()), write(fds[1], p.data(), p.size()));
        }
        close(fds[1]);
        std::vector<char> buf(r.count);
        EXPECT_EQ(r.rc, ReadFully(fds[0], buf.data(), buf.size())) << r.read;
        EXPECT_EQ(r.read, std::string(buf.data(), r.rc > 0 ? r.rc : 0));
        close(fds[0]);
    }
}

TEST(ReadFully, AnErrorGivesReadsNegativeResult)
{
    char buf[4];
    EXPECT_EQ(-1, ReadFully(-1, buf, sizeof(buf)));
}
