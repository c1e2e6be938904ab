// The logger: the exact line format, filtering, cut lines, outputs and concurrent printers.
#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_log_floor.h"
#include "noxa_adapter/utilities/uni_time.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::mutex gLinesMutex;
std::vector<std::string> gLines;
std::vector<std::string> gOtherLines;

void Capture(const char* line)
{
    std::lock_guard<std::mutex> lock(gLinesMutex);
    gLines.emplace_back(line);
}

void CaptureOther(const char* line)
{
    std::lock_guard<std::mutex> lock(gLinesMutex);
    gOtherLines.emplace_back(line);
}

// 1994-11-06 08:49:37 UTC.
constexpr TIME_T kCloudTime = 784111777;

class Logger : public testing::Test {
protected:
    void SetUp() override
    {
        gLines.clear();
        gOtherLines.clear();
        uni_time_init();
        uni_set_sum_zone_tbl(nullptr, 0);
        uni_time_set(kCloudTime, 1);
        ASSERT_EQ(0, uni_set_time_zone("+08:00"));
        ASSERT_EQ(0, uni_log_init(LOG_LEVEL_DEBUG, 1024, Capture));
    }
    void TearDown() override { uni_log_release(); }

    UniTestClock mClock{5000};
};

}  // namespace

TEST_F(Logger, HeaderWithAndWithoutMilliseconds)
{
    mClock.Advance(42);
    ASSERT_EQ(0, uni_log_set_ms_flag(1));
    EXPECT_EQ(0, uni_log_print(nullptr, LOG_LEVEL_DEBUG, "src/a/noxa_file.cpp", 77, "fn", "hello %d", 7));
    ASSERT_EQ(0, uni_log_set_ms_flag(0));
    EXPECT_EQ(0, uni_log_print(nullptr, LOG_LEVEL_ERR, "src/a/noxa_file.cpp", 78, "fn", "bye"));
    ASSERT_EQ(2u, gLines.size());
    // 08:49:37 UTC at +08:00.
    EXPECT_EQ("[11-06 16:49:37:42 NOXA Debug][noxa_file.cpp:77] hello 7\r\n", gLines[0]);
    EXPECT_EQ("[11-06 16:49:37-- NOXA Err][noxa_file.cpp:78] bye\r\n", gLines[1]);
}

TEST_F(Logger, SummerTimeAddsAnHourToTheHeader)
{
    SUM_ZONE_S zone = {kCloudTime - 10, kCloudTime + 10};
    uni_set_sum_zone_tbl(&zone, 1);
    uni_log_print(nullptr, LOG_LEVEL_INFO, "f.c", 1, "fn", "x");
    ASSERT_EQ(1u, gLines.size());
    EXPECT_EQ("[11-06 17:49:37-- NOXA Info][f.c:1] x\r\n", gLines[0]);
}

TEST_F(Logger, FileFieldIsTheBaseName)
{
    struct Row {
        const char* file;
        const char* field;
    };
    const Row rows[] = {
        {"/abs/dir/x.cpp", "[x.cpp:5]"},       {"rel\\win\\y.cpp", "[y.cpp:5]"},
        {"mixed\\a/b\\z.cpp", "[b\\z.cpp:5]"}, {"plain.cpp", "[plain.cpp:5]"},
        {nullptr, "[Null:5]"},                 {"trailing/", "[:5]"},
    };
    for (const Row& row : rows) {
        gLines.clear();
        ASSERT_EQ(0, uni_log_print(nullptr, LOG_LEVEL_ERR, row.file, 5, "fn", "m"));
        ASSERT_EQ(1u, gLines.size());
        EXPECT_NE(std::string::npos, gLines[0].find(std::string(row.field) + " m\r\n"))
            << (row.file ? row.file : "null") << " -> " << gLines[0];
    }
}

TEST_F(Logger, GlobalAndModuleLevels)
{
    ASSERT_EQ(0, uni_log_set_level(LOG_LEVEL_ERR));
    EXPECT_EQ(UNI_LOG_FILTERED, uni_log_print(nullptr, LOG_LEVEL_DEBUG, "f.c", 1, "fn", "dropped"));
    EXPECT_EQ(UNI_LOG_FILTERED, uni_log_print("nobody", LOG_LEVEL_WARN, "f.c", 1, "fn", "dropped"));
    EXPECT_TRUE(gLines.empty());

    ASSERT_EQ(0, uni_log_set_module_level("kvs", LOG_LEVEL_TRACE));
    EXPECT_EQ(0, uni_log_print("kvs", LOG_LEVEL_DEBUG, "f.c", 2, "fn", "kept"));
    ASSERT_EQ(1u, gLines.size());
    EXPECT_NE(std::string::npos, gLines[0].find(" kvs Debug][f.c:2] kept\r\n")) << gLines[0];

    // The module's own level rules, even when it is below the global one.
    ASSERT_EQ(0, uni_log_set_level(LOG_LEVEL_TRACE));
    ASSERT_EQ(0, uni_log_update_module_level("kvs", LOG_LEVEL_WARN));
    EXPECT_EQ(UNI_LOG_FILTERED, uni_log_print("kvs", LOG_LEVEL_INFO, "f.c", 3, "fn", "dropped"));
    uint32_t level = 99;
    EXPECT_EQ(0, uni_log_get_module_level("kvs", &level));
    EXPECT_EQ(uint32_t{LOG_LEVEL_WARN}, level);
    EXPECT_EQ(0, uni_log_get_level(&level));
    EXPECT_EQ(uint32_t{LOG_LEVEL_TRACE}, level);

    EXPECT_EQ(UNI_LOG_MODULE_NOT_FOUND, uni_log_update_module_level("other", 1));
    EXPECT_EQ(UNI_LOG_MODULE_NOT_FOUND, uni_log_get_module_level("other", &level));
    EXPECT_EQ(UNI_LOG_MODULE_NOT_FOUND, uni_log_del_module("other"));
    EXPECT_EQ(0, uni_log_del_module("kvs"));
    EXPECT_EQ(UNI_LOG_MODULE_NOT_FOUND, uni_log_get_module_level("kvs", &level));

    EXPECT_EQ(UNI_INVALID_PARM, uni_log_set_level(6));
    EXPECT_EQ(UNI_INVALID_PARM, uni_log_set_module_level("kvs", 6));
    EXPECT_EQ(UNI_INVALID_PARM, uni_log_set_module_level(nullptr, 1));
    EXPECT_EQ(UNI_INVALID_PARM, uni_log_print(nullptr, 6, "f.c", 1, "fn", "x"));
    // A second init only sets the level.
    EXPECT_EQ(0, uni_log_init(LOG_LEVEL_NOTICE, 16, CaptureOther));
    EXPECT_EQ(0, uni_log_get_level(&level));
    EXPECT_EQ(uint32_t{LOG_LEVEL_NOTICE}, level);
    gLines.clear();
    EXPECT_EQ(0, uni_log_print(nullptr, LOG_LEVEL_ERR, "f.c", 1, "fn", "still the 1024-byte buffer %s",
                               std::string(100, 'x').c_str()));
    ASSERT_EQ(1u, gLines.size());
    EXPECT_TRUE(gOtherLines.empty());
    EXPECT_GT(gLines[0].size(), 100u);
}

// A thread's floor demotes its own lines only, for the floor's scope; the levels still filter.
TEST_F(Logger, AThreadsFloorDemotesItsOwnLines)
{
    {
        UniLogFloor floor(LOG_LEVEL_DEBUG);
        EXPECT_EQ(0, uni_log_print(nullptr, LOG_LEVEL_ERR, "f.c", 1, "fn", "quiet"));
        std::thread other([] { uni_log_print(nullptr, LOG_LEVEL_ERR, "f.c", 2, "fn", "loud"); });
        other.join();
        ASSERT_EQ(0, uni_log_set_level(LOG_LEVEL_INFO));
        EXPECT_EQ(UNI_LOG_FILTERED, uni_log_print(nullptr, LOG_LEVEL_WARN, "f.c", 3, "fn", "dropped"));
        ASSERT_EQ(0, uni_log_set_level(LOG_LEVEL_DEBUG));
    }
    EXPECT_EQ(0, uni_log_print(nullptr, LOG_LEVEL_ERR, "f.c", 4, "fn", "again"));
    ASSERT_EQ(3u, gLines.size());
    EXPECT_NE(std::string::npos, gLines[0].find(" NOXA Debug][f.c:1] quiet")) << gLines[0];
    EXPECT_NE(std::string::npos, gLines[1].find(" NOXA Err][f.c:2] loud")) << gLines[1];
    EXPECT_NE(std::string::npos, gLines[2].find(" NOXA Err][f.c:4] again")) << gLines[2];
}

TEST_F(Logger, FormattingFailureAndEmptyBody)
{
    EXPECT_EQ(UNI_LOG_FORMAT_FAILED, uni_log_print(nullptr, LOG_LEVEL_ERR, "f.c", 1, "fn", "%s", ""));
    EXPECT_TRUE(gLines.empty());
}

TEST(LoggerUninitialised, EveryCallIsRefused)
{
    gLines.clear();
    EXPECT_EQ(UNI_INVALID_PARM, uni_log_print(nullptr, LOG_LEVEL_ERR, "f.c", 1, "fn", "x"));
    EXPECT_EQ(UNI_INVALID_PARM, uni_log_print_raw("x"));
    EXPECT_EQ(UNI_INVALID_PARM, uni_log_set_level(1));
    EXPECT_EQ(UNI_INVALID_PARM, uni_log_add_output("o", Capture));
    EXPECT_EQ(UNI_INVALID_PARM, uni_log_init(6, 1024, Capture));
    EXPECT_EQ(UNI_INVALID_PARM, uni_log_init(1, 0, Capture));
    EXPECT_EQ(UNI_INVALID_PARM, uni_log_init(1, 1024, nullptr));
    // Too small for the line end.
    EXPECT_EQ(UNI_INVALID_PARM, uni_log_init(1, 2, Capture));
    EXPECT_TRUE(gLines.empty());
}

// Buffers of exact size: a byte written past them is an AddressSanitizer error.
TEST(LoggerCut, LongLinesAreCutInsideTheBuffer)
{
    UniTestClock clock;
    uni_time_set(0, 0);
    uni_set_time_zone("+00:00");
    struct Row {
        uint32_t size;
        size_t bodyLen;
    };
    const Row rows[] = {{64, 200}, {64, 20}, {48, 0}, {16, 10}, {3, 10}, {4, 1}, {45, 1}};
    for (const Row& row : rows) {
        ASSERT_EQ(0, uni_log_init(LOG_LEVEL_TRACE, row.size, Capture));
        gLines.clear();
        std::string body(row.bodyLen, 'b');
        body += "END";
        ASSERT_EQ(0, uni_log_print(nullptr, LOG_LEVEL_ERR, "file.cpp", 1, "fn", "%s", body.c_str()));
        ASSERT_EQ(1u, gLines.size());
        const std::string& line = gLines[0];
        std::string full = "[01-01 00:00:00-- NOXA Err][file.cpp:1] " + body;
        SCOPED_TRACE(testing::Message() << "size " << row.size << ": " << line);
        ASSERT_GE(line.size(), 2u);
        EXPECT_EQ("\r\n", line.substr(line.size() - 2));
        if (full.size() + 3 <= row.size) {
            EXPECT_EQ(full + "\r\n", line);
        } else {
            EXPECT_EQ(row.size - 1, line.size());
            EXPECT_EQ(full.substr(0, row.size - 3) + "\r\n", line);
        }
        uni_log_release();
    }
}

TEST_F(Logger, OutputsByName)
{
    ASSERT_EQ(0, uni_log_add_output("extra", CaptureOther));
    EXPECT_EQ(0, uni_log_print(nullptr, LOG_LEVEL_ERR, "f.c", 1, "fn", "line"));
    EXPECT_EQ(1u, gLines.size());
    EXPECT_TRUE(gOtherLines.empty()) << "outputs of other names are for the raw print only";

    EXPECT_EQ(0, uni_log_print_raw("raw %d\n", 5));
    ASSERT_EQ(2u, gLines.size());
    EXPECT_EQ("raw 5\n", gLines[1]);
    ASSERT_EQ(1u, gOtherLines.size());
    EXPECT_EQ("raw 5\n", gOtherLines[0]);
    EXPECT_EQ(UNI_LOG_FORMAT_FAILED, uni_log_print_raw("%s", ""));

    // Replacing keeps one entry.
    ASSERT_EQ(0, uni_log_add_output(LOG_DEF_OUTPUT_NAME, CaptureOther));
    gLines.clear();
    gOtherLines.clear();
    uni_log_print(nullptr, LOG_LEVEL_ERR, "f.c", 1, "fn", "line");
    EXPECT_TRUE(gLines.empty());
    EXPECT_EQ(1u, gOtherLines.size());

    ASSERT_EQ(0, uni_log_del_output(LOG_DEF_OUTPUT_NAME));
    ASSERT_EQ(0, uni_log_del_output("absent"));
    gOtherLines.clear();
    uni_log_print(nullptr, LOG_LEVEL_ERR, "f.c", 1, "fn", "line");
    EXPECT_TRUE(gOtherLines.empty());
}

TEST_F(Logger, UserStreamGetsLinesAndRawText)
{
    char* text = nullptr;
    size_t len = 0;
    FILE* stream = open_memstream(&text, &len);
    ASSERT_NE(nullptr, stream);
    ASSERT_EQ(0, uni_log_set_usr_stream(stream));
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, uni_log_add_output(LOG_DEF_OUTPUT_NAME, uni_log_output));
    EXPECT_EQ(0, uni_log_print(nullptr, LOG_LEVEL_ERR, "f.c", 9, "fn", "to both"));
    EXPECT_EQ(0, uni_log_print_raw("progress %d%%", 50));
    std::string out = testing::internal::GetCapturedStdout();
    fflush(stream);
    std::string file(text, len);
    const std::string expected = "[11-06 16:49:37-- NOXA Err][f.c:9] to both\r\nprogress 50%";
    EXPECT_EQ(expected, out);
    EXPECT_EQ(expected, file);
    uni_log_del_output(LOG_USR_OUTPUT_NAME);
    fclose(stream);
    free(text);
}

TEST_F(Logger, EightThreadsLogWholeLines)
{
    constexpr int kThreads = 8;
    constexpr int kLinesEach = 400;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLinesEach; ++i) {
                uni_log_print(nullptr, LOG_LEVEL_INFO, "/x/t.cpp", t, "fn", "thread %d line %d %s", t, i,
                              std::string(static_cast<size_t>(t * 7), static_cast<char>('a' + t)).c_str());
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    ASSERT_EQ(static_cast<size_t>(kThreads * kLinesEach), gLines.size());
    std::map<int, int> nextLine;
    for (const std::string& line : gLines) {
        int fileLine = -1;
        int t = -1;
        int n = -1;
        int used = 0;
        ASSERT_EQ(3, sscanf(line.c_str(), "[11-06 16:49:37-- NOXA Info][t.cpp:%d] thread %d line %d%n", &fileLine, &t,
                            &n, &used))
            << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_EQ(fileLine, t);
        EXPECT_EQ(n, nextLine[t]++) << "a line of thread " << t << " lost or reordered";
        EXPECT_EQ(" " + std::string(static_cast<size_t>(t * 7), static_cast<char>('a' + t)) + "\r\n", line.substr(used))
            << line;
    }
}

TEST_F(Logger, ChangingOutputsAndModulesWhilePrinting)
{
    std::atomic<bool> stop{false};
    std::atomic<int> printed{0};
    std::thread printer([&] {
        while (!stop.load()) {
            uni_log_print("mod", LOG_LEVEL_ERR, "f.c", 1, "fn", "x");
            uni_log_print_raw("y");
            printed++;
        }
    });
    for (int i = 0; i < 2000 || printed.load() < 1000; ++i) {
        uni_log_add_output("extra", CaptureOther);
        uni_log_set_module_level("mod", LOG_LEVEL_ERR);
        uni_log_del_output("extra");
        uni_log_del_module("mod");
    }
    stop = true;
    printer.join();
    std::lock_guard<std::mutex> lock(gLinesMutex);
    EXPECT_FALSE(gLines.empty());
    for (const std::string& line : gOtherLines) {
        EXPECT_EQ("y", line);
    }
}

// Release and init again while threads print: a printer that found the manager must never reach
// it freed (AddressSanitizer reports the use after free).
TEST_F(Logger, ReleaseWhilePrinting)
{
    std::atomic<bool> stop{false};
    std::atomic<int> printed{0};
    std::vector<std::thread> printers;
    for (int t = 0; t < 3; ++t) {
        printers.emplace_back([&] {
            while (!stop.load()) {
                int ret = uni_log_print("mod", LOG_LEVEL_ERR, "f.c", 1, "fn", "x %d", 1);
                EXPECT_TRUE(ret == UNI_OK || ret == UNI_INVALID_PARM) << ret;
                uni_log_print_raw("y");
                uni_log_set_level(LOG_LEVEL_DEBUG);
                printed++;
            }
        });
    }
    for (int i = 0; i < 1000 || printed.load() < 10000; ++i) {
        ASSERT_EQ(UNI_OK, uni_log_release());
        ASSERT_EQ(UNI_OK, uni_log_init(LOG_LEVEL_DEBUG, 1024, Capture));
        uni_log_set_module_level("mod", LOG_LEVEL_ERR);
    }
    stop = true;
    for (auto& th : printers) {
        th.join();
    }
}

namespace {

std::atomic<bool> gInOutput{false};
std::atomic<bool> gFilteredReturned{false};
std::atomic<bool> gOutputGaveUp{false};

// Holds the logger's mutex (outputs run under it) until the other thread's filtered call returned.
void HoldingOutput(const char*)
{
    gInOutput = true;
    for (int i = 0; i < 500 && !gFilteredReturned.load(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    gOutputGaveUp = !gFilteredReturned.load();
}

}  // namespace

// Lines that cannot print are turned away without the logger's lock: the media threads make such
// calls for every frame, and must not wait behind another thread's output.
TEST_F(Logger, ALineThatCannotPrintWaitsForNoOutput)
{
    ASSERT_EQ(0, uni_log_set_level(LOG_LEVEL_WARN));
    ASSERT_EQ(0, uni_log_set_module_level("ring", LOG_LEVEL_INFO));
    ASSERT_EQ(0, uni_log_add_output(LOG_DEF_OUTPUT_NAME, HoldingOutput));
    gInOutput = false;
    gFilteredReturned = false;
    std::thread printer([] { uni_log_print(nullptr, LOG_LEVEL_ERR, "f.c", 1, "fn", "held"); });
    while (!gInOutput.load()) {
        std::this_thread::yield();
    }
    // Above the global level and every module's level: nothing to compare under the lock.
    EXPECT_EQ(UNI_LOG_FILTERED, uni_log_print("ring", LOG_LEVEL_DEBUG, "f.c", 2, "fn", "append"));
    gFilteredReturned = true;
    printer.join();
    EXPECT_FALSE(gOutputGaveUp.load()) << "the filtered call waited for the output's lock";

    // A module's higher level still lets its lines through, and its removal closes them again.
    ASSERT_EQ(0, uni_log_add_output(LOG_DEF_OUTPUT_NAME, Capture));
    gLines.clear();
    EXPECT_EQ(0, uni_log_print("ring", LOG_LEVEL_INFO, "f.c", 3, "fn", "kept"));
    EXPECT_EQ(UNI_LOG_FILTERED, uni_log_print(nullptr, LOG_LEVEL_INFO, "f.c", 4, "fn", "dropped"));
    ASSERT_EQ(0, uni_log_del_module("ring"));
    EXPECT_EQ(UNI_LOG_FILTERED, uni_log_print("ring", LOG_LEVEL_INFO, "f.c", 5, "fn", "dropped"));
    EXPECT_EQ(1u, gLines.size());
}
