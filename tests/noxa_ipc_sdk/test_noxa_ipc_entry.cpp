// The service API's entry points with the cloud connection's calls replaced by recorders: what a
// report builds and refuses, the progress rule, the notifications' size and spacing rules, the
// doorbell's two modes, the device id's buffer rule, direct connect and the memory figures.
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_iot_sdk/log_capture.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/thing_config.h"
#include "noxa_ipc_sdk/noxa_ipc_api.h"
#include "noxa_iot_sdk/online_log/log_seq.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern LOG_SEQ_HANDLE noxa_ipc_notify_log_seq;

namespace {

std::vector<std::string> gSent;
std::vector<std::string> gSeqErrors;  // the notification sequence's frozen texts

int DpAsync(const char*, const OBJ_DP_S* dps, uint32_t cnt, uint32_t flag)
{
    std::string v = dps->type == PROP_STR ? std::string(dps->value.dp_str) : std::to_string(dps->value.dp_value);
    gSent.push_back("dp " + std::to_string(dps->dpid) + " t" + std::to_string(dps->type) + " " + v + " n" +
                    std::to_string(cnt) + " f" + std::to_string(flag));
    return 0;
}
int DpSync(const char* id, const OBJ_DP_S* dps, uint32_t cnt, uint32_t, uint32_t flag)
{
    return DpAsync(id, dps, cnt, flag + 10);
}
int Progress(uint32_t percent, const char*, uint32_t)
{
    gSent.push_back("progress " + std::to_string(percent));
    return 0;
}
int Press(const char* etype, uint32_t, const char*)
{
    gSent.push_back(std::string("43 ") + etype);
    return 0;
}
int Answer(const char* json)
{
    gSent.push_back(std::string("308 ") + json);
    return 0;
}
int Motion(const char*, uint32_t size, const char* type)
{
    gSent.push_back("115 " + std::to_string(size) + " " + type);
    return 0;
}
int Doorbell(const uint8_t*, uint32_t size, const char* type, uint32_t)
{
    gSent.push_back("154 " + std::to_string(size) + " " + type);
    return 0;
}
int Generic(const NOXA_NOTIFICATION_S* n)
{
    gSent.push_back("185 " + std::to_string(n->name) + " " + n->kind + " " + n->resource);
    return 0;
}
int Wifi(const char* ssid, const char* passwd, const char* token)
{
    gSent.push_back(std::string("wifi ") + ssid + " " + (passwd != nullptr ? passwd : "-") + " " + token);
    return 0;
}

class IpcEntry : public testing::Test {
protected:
    void SetUp() override
    {
        mSaved = gNoxaIpcOps;
        gNoxaIpcOps.dp_report_async = DpAsync;
        gNoxaIpcOps.dp_report_sync = DpSync;
        gNoxaIpcOps.upgd_progress_rept = Progress;
        gNoxaIpcOps.door_bell_press = Press;
        gNoxaIpcOps.door_bell_answer = Answer;
        gNoxaIpcOps.motion_notify = Motion;
        gNoxaIpcOps.doorbell_notify = Doorbell;
        gNoxaIpcOps.generic_notify = Generic;
        gNoxaIpcOps.wifi_user_cfg = Wifi;
        gSent.clear();
        noxa_ipc_api_reset_state();
    }
    void TearDown() override { gNoxaIpcOps = mSaved; }
    std::vector<std::string> Take()
    {
        auto out = gSent;
        gSent.clear();
        return out;
    }

    UniTestClock mClock;
    NOXA_IPC_API_OPS_S mSaved;
};

}  // namespace

TEST_F(IpcEntry, DataPointReportBuildsOneRecord)
{
    const uint32_t word = 7;
    const struct {
        uint8_t type;
        const void* value;
        uint32_t cnt;
        int result;
        const char* sent;  // nullptr: nothing
    } rows[] = {
        {PROP_ENUM, "2", 1, 0, "dp 9 t3 2 n1 f1"},
        {PROP_STR, "a|b", 1, 0, "dp 9 t2 a|b n1 f1"},
        {PROP_BOOL, &word, 1, 0, "dp 9 t0 7 n1 f1"},
        {PROP_VALUE, &word, 1, 0, "dp 9 t1 7 n1 f1"},
        {PROP_BITMAP, &word, 1, 0, "dp 9 t4 7 n1 f1"},
        {5, &word, 1, -1, nullptr},
        {PROP_VALUE, nullptr, 1, -1, nullptr},
        {PROP_VALUE, &word, 2, -2, nullptr},
        {PROP_VALUE, &word, 0, -2, nullptr},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.result, noxa_ipc_dp_report(nullptr, 9, r.type, r.value, r.cnt)) << int(r.type);
        auto sent = Take();
        if (r.sent == nullptr) {
            EXPECT_TRUE(sent.empty()) << int(r.type);
        } else {
            EXPECT_EQ(std::vector<std::string>{r.sent}, sent);
        }
    }
    EXPECT_EQ(-2, noxa_ipc_dp_report_async(nullptr, 9, PROP_VALUE, &word, 2));
    EXPECT_EQ(-2, noxa_ipc_dp_report_sync(nullptr, 9, PROP_VALUE, &word, 3, 5));
    EXPECT_TRUE(Take().empty());
    EXPECT_EQ(0, noxa_ipc_dp_report_async(nullptr, 9, PROP_VALUE, &word, 1));
    EXPECT_EQ(0, noxa_ipc_dp_report_sync(nullptr, 9, PROP_VALUE, &word, 1, 5));
    EXPECT_EQ((std::vector<std::string>{"dp 9 t1 7 n1 f0", "dp 9 t1 7 n1 f11"}), Take());
}

TEST_F(IpcEntry, ProgressRule)
{
    const struct {
        std::vector<std::pair<uint32_t, uint64_t>> steps;  // percent, ms waited before
        size_t sent;
    } rows[] = {
        {{{50, 0}, {55, 100}}, 1},
        {{{50, 0}, {58, 100}}, 2},
        {{{100, 0}, {100, 1000}}, 1},
        {{{100, 0}, {100, 2000}}, 2},
        {{{50, 0}, {55, 2000}}, 2},
        {{{60, 0}, {40, 100}}, 2},
        {{{94, 0}, {95, 100}}, 2},
        {{{101, 0}}, 0},
    };
    for (const auto& r : rows) {
        noxa_ipc_api_reset_state();
        for (const auto& [percent, wait] : r.steps) {
            mClock.Advance(wait);
            noxa_ipc_upgrade_progress_report(percent);
        }
        EXPECT_EQ(r.sent, Take().size()) << r.steps.back().first;
    }
}

TEST_F(IpcEntry, MotionPictureSizeAndSpacing)
{
    gSeqErrors.clear();
    ASSERT_EQ(0, create_log_seq("notify", [](LOG_SEQ_HANDLE seq) {
        char* text = nullptr;
        if (make_log_seq_string(seq, &text) == 0) {
            gSeqErrors.push_back(text);
            free(text);
        }
    }, &noxa_ipc_notify_log_seq));
    std::vector<char> pic(kNotifyMaxBytes + 1, 'j');
    EXPECT_EQ(-2, noxa_ipc_notify_motion_detect(pic.data(), kNotifyMaxBytes + 1, 1));
    EXPECT_EQ(-2, noxa_ipc_notify_motion_detect(nullptr, 10, 1));
    EXPECT_EQ(-2, noxa_ipc_notify_motion_detect(pic.data(), 10, 3));
    EXPECT_TRUE(Take().empty());
    EXPECT_EQ(0, noxa_ipc_notify_motion_detect(pic.data(), kNotifyMaxBytes, 1));
    EXPECT_EQ(std::vector<std::string>{"115 153600 jpeg"}, Take());
    for (int i = 0; i < 6; ++i) {
        mClock.Advance(1000);
        EXPECT_EQ(-1, noxa_ipc_notify_motion_detect(pic.data(), 100, 2)) << i;
    }
    EXPECT_TRUE(Take().empty());
    // Every fifth suppression leaves one "too_fast" entry.
    auto tooFast = [] {
        return std::count_if(gSeqErrors.begin(), gSeqErrors.end(),
                             [](const std::string& t) { return t.find("too_fast") != std::string::npos; });
    };
    EXPECT_EQ(1, tooFast());
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(-1, noxa_ipc_notify_motion_detect(pic.data(), 100, 2));
    }
    EXPECT_EQ(2, tooFast());
    mClock.Advance(kNotifySpacingMs);
    EXPECT_EQ(0, noxa_ipc_notify_motion_detect(pic.data(), 100, 2));
    EXPECT_EQ(std::vector<std::string>{"115 100 png"}, Take());
    release_log_seq(noxa_ipc_notify_log_seq);
    noxa_ipc_notify_log_seq = nullptr;
}

TEST_F(IpcEntry, DoorbellModes)
{
    uint8_t pic[64] = {0xFF, 0xD8};
    const struct {
        int mode;
        uint8_t* data;
        uint32_t size;
        int type;
        int result;
        std::vector<std::string> sent;
    } rows[] = {
        {1, nullptr, 0, 0, 0, {"43 ac_doorbell"}},
        {0, pic, sizeof(pic), 1, 0, {"43 doorbell", "154 64 jpeg"}},
        {0, nullptr, 0, 1, -2, {}},
        {0, pic, sizeof(pic), 3, -2, {}},
        {2, pic, sizeof(pic), 1, -2, {}},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.result, noxa_ipc_notify_door_bell_press_generic(r.mode, r.data, r.size, r.type)) << r.mode;
        EXPECT_EQ(r.sent, Take()) << r.mode;
    }
    get_gw_cntl();
    EXPECT_EQ(0, noxa_ipc_door_bell_cancel());
    EXPECT_EQ(0, noxa_ipc_door_bell_stop());
    auto sent = Take();
    ASSERT_EQ(2u, sent.size());
    EXPECT_NE(std::string::npos, sent[0].find("\"event\":\"cancel\""));
    EXPECT_NE(std::string::npos, sent[1].find("\"event\":\"stop\""));
}

// A press event the link does not take (offline: -1200) is logged as an error, returned, and no
// picture goes up for a press the phone never heard of.
TEST_F(IpcEntry, APressEventNotSentIsLoggedAndEndsThePush)
{
    LogCapture::Install();
    gNoxaIpcOps.door_bell_press = [](const char* etype, uint32_t, const char*) {
        gSent.push_back(std::string("43 ") + etype);
        return -1200;
    };
    uint8_t pic[64] = {0xFF, 0xD8};
    EXPECT_EQ(-1200, noxa_ipc_notify_door_bell_press_generic(0, pic, sizeof(pic), 1));
    EXPECT_EQ(std::vector<std::string>{"43 doorbell"}, Take());
    // At the error level, which the unit prints once it is up.
    const std::string all = LogCapture::All();
    const size_t at = all.find("doorbell press event not sent: -1200");
    ASSERT_NE(std::string::npos, at) << all;
    const size_t head = all.rfind('\n', at);
    EXPECT_NE(std::string::npos, all.substr(head == std::string::npos ? 0 : head, at - head).find(" Err]")) << all;
    EXPECT_FALSE(LogCapture::Logged("send mq done")) << LogCapture::All();
}

TEST_F(IpcEntry, EventNotificationChecksAndResult)
{
    const char pic[] = "picture";
    EXPECT_EQ(-2, noxa_ipc_notify_with_event(nullptr, 5, 1, 1));
    EXPECT_EQ(-2, noxa_ipc_notify_with_event(pic, 5, 4, 1));
    EXPECT_EQ(-2, noxa_ipc_notify_with_event(pic, 5, 1, 23));
    EXPECT_TRUE(Take().empty());
    EXPECT_EQ(0, noxa_ipc_notify_with_event(pic, 5, 1, 1));
    EXPECT_EQ(std::vector<std::string>{"185 1 image resources"}, Take());
    // The generic call's failure is the caller's result.
    gNoxaIpcOps.generic_notify = [](const NOXA_NOTIFICATION_S*) { return -5; };
    EXPECT_EQ(-5, noxa_ipc_notify_with_event(pic, 5, 1, 1));
    gNoxaIpcOps.generic_notify = nullptr;
    EXPECT_EQ(-1, noxa_ipc_notify_with_event(pic, 5, 1, 1));
}

TEST_F(IpcEntry, DeviceIdFitsExactly)
{
    strcpy(get_gw_cntl()->devId, "nx0123456789abcd");
    const size_t n = strlen("nx0123456789abcd");
    std::vector<char> buf(n);  // exact size: a NUL written would be caught
    int len = static_cast<int>(n);
    EXPECT_EQ(0, noxa_ipc_get_device_id(buf.data(), &len));
    EXPECT_EQ(static_cast<int>(n), len);
    EXPECT_EQ("nx0123456789abcd", std::string(buf.data(), n));
    len = static_cast<int>(n) - 1;
    EXPECT_EQ(-2, noxa_ipc_get_device_id(buf.data(), &len));
    EXPECT_EQ(-2, noxa_ipc_get_device_id(nullptr, &len));
}

TEST_F(IpcEntry, DirectConnect)
{
    const struct {
        const char* text;
        int result;
        std::vector<std::string> sent;
    } rows[] = {
        {"not json", -802, {}},
        {"{\"s\":\"home\"}", -803, {}},
        {"{\"s\":\"home\",\"p\":\"\",\"t\":\"AYtoken123key\"}", 0, {"wifi home - AYtoken123key"}},
        // Once connected, a repeat answers 0 and does not touch the Wi-Fi again.
        {"{\"s\":\"other\",\"p\":\"pw\",\"t\":\"x\"}", 0, {}},
    };
    LogCapture::Install();
    for (const auto& r : rows) {
        EXPECT_EQ(r.result, noxa_ipc_direct_connect(r.text, 0)) << r.text;
        EXPECT_EQ(r.sent, Take()) << r.text;
    }
    EXPECT_EQ(-2, noxa_ipc_direct_connect("{}", 1));
    // The QR text carries the pairing token and the pass phrase: the log shows neither.
    noxa_ipc_qrcode_recon_init();
    EXPECT_EQ(0, noxa_ipc_direct_connect("{\"s\":\"home\",\"p\":\"Secret0Pass\",\"t\":\"AYtoken456key\"}", 0));
    EXPECT_EQ(std::vector<std::string>{"wifi home Secret0Pass AYtoken456key"}, Take());
    EXPECT_TRUE(LogCapture::Logged("Rev:")) << LogCapture::All();
    for (const char* secret : {"Secret0Pass", "AYtoken456key", "AYtoken123key"}) {
        EXPECT_FALSE(LogCapture::Logged(secret)) << secret << "\n" << LogCapture::All();
    }
}

TEST_F(IpcEntry, FreeMemoryFromBothStyles)
{
    const struct {
        const char* text;
        int result;
        uint32_t kb;
    } rows[] = {
        {"MemTotal:  60000 kB\nMemFree:  1000 kB\nBuffers:  10 kB\nCached:  2000 kB\n", 0, 3000},
        {"        total:    used:    free:  shared: buffers:  cached:\n"
         "Mem:  61440000 50000000 10240000 0 1024 2048000\n",
         0, 12000},
        {"nothing here\n", -1, 0},
    };
    for (const auto& r : rows) {
        FILE* f = fmemopen(const_cast<char*>(r.text), strlen(r.text), "r");
        ASSERT_NE(nullptr, f);
        uint32_t kb = 0;
        EXPECT_EQ(r.result, noxa_ipc_parse_meminfo(f, &kb)) << r.text;
        EXPECT_EQ(r.kb, kb) << r.text;
        fclose(f);
    }
    uint8_t hb[2];
    uint32_t len = 1;
    EXPECT_EQ(-2, noxa_ipc_get_heartbeat_data(hb, &len));
    len = 2;
    EXPECT_EQ(0, noxa_ipc_get_heartbeat_data(hb, &len));
    EXPECT_EQ(0xF0, hb[0]);
    EXPECT_EQ(0x00, hb[1]);
}

// The log setting hands the stream and the milliseconds to the logger: the lines that follow go to
// the log file too, their header with the milliseconds only when asked.
TEST_F(IpcEntry, LogSettingWritesToTheStreamWithMillisecondsWhenAsked)
{
    ASSERT_EQ(0, LogCapture::Install());
    FILE* file = tmpfile();
    ASSERT_NE(nullptr, file);
    EXPECT_EQ(0, noxa_ipc_log_setting(LOG_LEVEL_INFO, file, 0));
    uni_log_print(nullptr, LOG_LEVEL_INFO, "/src/a.cpp", 12, "f", "plain %d", 1);
    uni_log_print(nullptr, LOG_LEVEL_DEBUG, "/src/a.cpp", 13, "f", "above the level");
    EXPECT_EQ(0, noxa_ipc_log_setting(LOG_LEVEL_INFO, file, 1));
    uni_log_print(nullptr, LOG_LEVEL_INFO, "/src/a.cpp", 14, "f", "timed %d", 2);
    uni_log_set_usr_stream(nullptr);  // the file is closed below
    uni_log_print(nullptr, LOG_LEVEL_INFO, "/src/a.cpp", 15, "f", "after");
    uni_log_set_ms_flag(0);
    rewind(file);
    std::string text;
    char buf[256];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof(buf), file)) > 0) {
        text.append(buf, n);
    }
    fclose(file);
    // What follows "[MM-DD hh:mm:ss" in the header of the line that ends in `tail`.
    auto afterTime = [&text](const std::string& tail) -> std::string {
        const size_t end = text.find(tail);
        const size_t start = end == std::string::npos ? end : text.rfind('[', end);
        int mon, day, h, m, sec, used = 0;
        if (start == std::string::npos ||
            sscanf(text.c_str() + start, "[%2d-%2d %2d:%2d:%2d%n", &mon, &day, &h, &m, &sec, &used) != 5) {
            return "";
        }
        return text.substr(start + used, end - start - used);
    };
    EXPECT_EQ("-- NOXA Info", afterTime("][a.cpp:12] plain 1\r\n")) << text;
    const std::string timed = afterTime("][a.cpp:14] timed 2\r\n");
    const size_t space = timed.find(' ');
    ASSERT_TRUE(!timed.empty() && timed[0] == ':' && space != std::string::npos) << text;
    const std::string ms = timed.substr(1, space - 1);
    EXPECT_TRUE(!ms.empty() && ms.size() <= 3 && ms.find_first_not_of("0123456789") == std::string::npos) << text;
    EXPECT_EQ(" NOXA Info", timed.substr(space)) << text;
    EXPECT_NE(std::string::npos, text.find("---noxa_ipc_log_setting end---")) << text;
    EXPECT_EQ(std::string::npos, text.find("above the level")) << text;
    EXPECT_EQ(std::string::npos, text.find("after")) << text;
    EXPECT_TRUE(LogCapture::Logged("timed 2")) << "standard output keeps its lines";
}

// The provisioning sniffer's dwell per channel is handed on only from 100 to 2000 ms; a refused
// one leaves the one before.
TEST_F(IpcEntry, ChannelTimeInRangeIsHandedOn)
{
    const struct {
        uint32_t ms;
        int result;
        uint32_t kept;
    } rows[] = {
        {350, 0, 350}, {99, -4, 350}, {100, 0, 100}, {2001, -4, 100}, {2000, 0, 2000}, {0, -4, 2000},
        {UINT32_MAX, -4, 2000},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.result, noxa_ipc_set_channel_time(r.ms)) << r.ms;
        EXPECT_EQ(r.kept, wf_nw_wifi_switch_signal_channel_time_get()) << r.ms;
    }
}

TEST_F(IpcEntry, ServiceTimeAsksTheCloudOnceWhenNotSynced)
{
    TIME_T utc = 0;
    int32_t zone = 0;
    EXPECT_EQ(-2, noxa_ipc_get_service_time(nullptr, &zone));
    static int asked = 0;
    asked = 0;
    gNoxaIpcOps.service_time_sync = nullptr;
    EXPECT_EQ(-1, noxa_ipc_get_service_time_force(&utc, &zone)) << "no cloud clock in this build: -1";
    gNoxaIpcOps.service_time_sync = [] {
        ++asked;
        uni_set_time_zone("+01:00");
        return uni_time_set(1800000000u, 1);
    };
    EXPECT_EQ(0, noxa_ipc_get_service_time_force(&utc, &zone));
    EXPECT_EQ(1, asked);
    EXPECT_EQ(3600, zone);
    EXPECT_GE(utc, 1800000000u);
    EXPECT_EQ(0, noxa_ipc_get_service_time_force(&utc, &zone));
    EXPECT_EQ(1, asked) << "a synced clock is not asked for again";
}

namespace {

// The padding object appended to a growing text: kinds 0 and 1 only, the last comma closed, the
// text grown from the pool and never cut, values that would break out of their string escaped.
TEST(IpcPadding, AppendsThePaddingObjectToTheText)
{
    const NOXA_IPC_PADDING_S kTwo[] = {{0, "a", "1"}, {2, "local", "x"}, {1, "b", "two"}};
    const NOXA_IPC_PADDING_S kHidden[] = {{3, "x", "y"}};
    const NOXA_IPC_PADDING_S kQuote[] = {{0, "k\"", "v\",\"admin\":\"1\\\n"}};
    const std::string kLong(300, 'z');
    const NOXA_IPC_PADDING_S kBig[] = {{0, "big", kLong.c_str()}};
    const NOXA_IPC_PADDING_S kNoValue[] = {{1, "k", nullptr}};
    const struct {
        const char* name;
        const char* before;  // nullptr: an empty context
        NOXA_IPC_PADDING_LIST_S list;
        int result;
        std::string after;
    } rows[] = {
        {"two of three", "{\"devId\":\"d\",", {3, kTwo}, 0, R"({"devId":"d","padding":{"a":"1","b":"two"})"},
        {"from nothing", nullptr, {3, kTwo}, 0, R"("padding":{"a":"1","b":"two"})"},
        {"none written", "{", {1, kHidden}, 0, R"({"padding":{})"},
        {"empty list", "{", {0, nullptr}, 0, R"({"padding":{})"},
        {"escaped", "", {1, kQuote}, 0, R"("padding":{"k\"":"v\",\"admin\":\"1\\\u000a"})"},
        {"longer than its share", "{", {1, kBig}, 0, "{\"padding\":{\"big\":\"" + kLong + "\"}"},
        {"a value missing", "{", {1, kNoValue}, -2, "{"},
        {"no items", "{", {2, nullptr}, -2, "{"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        NOXA_IPC_TEXT_CTX_S ctx = {};
        if (r.before != nullptr) {
            // Sized exactly: every append has to grow it.
            ctx.len = static_cast<uint32_t>(strlen(r.before));
            ctx.size = ctx.len + 1;
            ctx.text = static_cast<char*>(Malloc(ctx.size));
            memcpy(ctx.text, r.before, ctx.size);
        }
        EXPECT_EQ(r.result, noxa_ipc_build_padding(&ctx, &r.list));
        ASSERT_EQ(r.after.size(), ctx.len);
        if (ctx.text != nullptr) {
            EXPECT_EQ(r.after, std::string(ctx.text));
            EXPECT_LT(ctx.len, ctx.size);
            if (r.result == 0) {
                EXPECT_GE(ctx.size, ctx.len + 1);
            }
            Free(ctx.text);
        }
    }
    NOXA_IPC_TEXT_CTX_S ctx = {};
    EXPECT_EQ(-2, noxa_ipc_build_padding(&ctx, nullptr));
    const NOXA_IPC_PADDING_LIST_S list = {3, kTwo};
    EXPECT_EQ(-2, noxa_ipc_build_padding(nullptr, &list));
    // Two appends in a row: the second goes behind the first, in the room the first reserved.
    ASSERT_EQ(0, noxa_ipc_build_padding(&ctx, &list));
    const uint32_t size = ctx.size;
    EXPECT_GE(size, 3 * 48u) << "48 bytes reserved per entry";
    ctx.text[ctx.len++] = ',';
    ctx.text[ctx.len] = '\0';
    const NOXA_IPC_PADDING_LIST_S one = {1, kTwo};
    ASSERT_EQ(0, noxa_ipc_build_padding(&ctx, &one));
    EXPECT_EQ(R"("padding":{"a":"1","b":"two"},"padding":{"a":"1"})", std::string(ctx.text));
    EXPECT_EQ(size, ctx.size);
    Free(ctx.text);
}

}  // namespace
