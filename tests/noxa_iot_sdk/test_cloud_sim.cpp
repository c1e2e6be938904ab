// The cloud connection in this process against the local cloud (tools/cloudsim and its broker):
// activation with a phone token (once: a reused token is refused), the stored record, commands of
// every schema type at slot 4, queries, reports as the simulator decodes them, a sync report's
// PUBACK and its time-out with the broker paused, garbage dropped, and the status through the
// broker's stop and return.
#include "cloud_peer.h"
#include "cloud_unit.h"
#include "log_capture.h"
#include "noxa_adapter/network/uni_network.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_base/events.h"
#include "noxa_iot_sdk/com_sdk/noxa_iot_com_api.h"
#include "noxa_iot_sdk/noxa_cloud/gw_active.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/iot_httpc.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"
#include "noxa_iot_sdk/noxa_cloud/noxa_ws_db.h"
#include "noxa_middleware/mqtt/mqtt_client.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;

Events gEvents;
std::mutex gMutex;
std::vector<std::string> gDps;
std::vector<int> gStatuses;
std::vector<int> gQuery;

void StatusCb(uint8_t status)
{
    {
        std::lock_guard<std::mutex> lock(gMutex);
        gStatuses.push_back(status);
    }
    gEvents.Add("status" + std::to_string(status));
}

const NOXA_IOT_CBS_S kCbs = {
    nullptr,
    nullptr,
    nullptr,
    [](const RECV_OBJ_DP_S* dp) {
        {
            std::lock_guard<std::mutex> lock(gMutex);
            for (uint32_t i = 0; i < dp->dps_cnt; ++i) {
                const OBJ_DP_S& e = dp->dps[i];
                std::string v = e.type == PROP_STR ? std::string(e.value.dp_str) : std::to_string(e.value.dp_value);
                gDps.push_back(std::to_string(e.dpid) + ":" + std::to_string(e.type) + ":" + v);
            }
        }
        gEvents.Add("obj");
    },
    nullptr,
    [](const DP_QUERY_S* q) {
        {
            std::lock_guard<std::mutex> lock(gMutex);
            gQuery.assign(q->dpid, q->dpid + q->cnt);
        }
        gEvents.Add("query");
    },
    nullptr,
};

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class CloudSim : public ::testing::Test {
protected:
    void SetUp() override
    {
        LogCapture::Install();
        mCloud = std::make_unique<CloudPeer>(mBox.Root());
        ASSERT_NO_FATAL_FAILURE(StartCloudUnit(&kCbs, StatusCb));
    }

    void TearDown() override { mqc_app_stop(); }

    // Binds a fresh phone token and starts; true once online.
    bool PairAndStart()
    {
        mPairing = mCloud->Pair();
        StartActivation(mPairing);
        return gEvents.WaitFor("status7");
    }

    std::string Reports() { return mCloud->Command("reports"); }

    // Waits (up to `s` seconds) until `done` holds.
    template <class Fn>
    static bool WaitUntil(Fn done, int s = 30)
    {
        for (int i = 0; i < s * 20 && !done(); ++i) {
            std::this_thread::sleep_for(50ms);
        }
        return done();
    }

    // The unit's log lines holding `text`.
    static std::vector<std::string> LinesWith(const std::string& text)
    {
        std::istringstream all(LogCapture::All());
        std::vector<std::string> lines;
        for (std::string line; std::getline(all, line);) {
            if (Has(line, text)) {
                lines.push_back(line);
            }
        }
        return lines;
    }

    static std::string BoundToken()
    {
        char token[GW_TOKEN_LEN + 1];
        gw_get_token(token);
        return token;
    }

    bool WaitReports(const std::string& part)
    {
        for (int i = 0; i < 100; ++i) {
            if (Has(Reports(), part)) {
                return true;
            }
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }

    TestSandbox mBox;
    std::unique_ptr<CloudPeer> mCloud;
    std::string mPairing;
};

TEST_F(CloudSim, ActivatesOnceStoresTheRecordAndARepeatedTokenIsRefused)
{
    ASSERT_TRUE(PairAndStart()) << LogCapture::All() << mCloud->Log();
    EXPECT_EQ(ACTIVATED, noxa_iot_get_active_stat());
    // The cloud learns of the login from its broker's log, a moment after the unit's SUBACK.
    bool seen = false;
    for (int i = 0; i < 100 && !seen; ++i) {
        seen = Has(mCloud->Command("devices"), " online ");
        std::this_thread::sleep_for(std::chrono::milliseconds(seen ? 0 : 100));
    }
    EXPECT_TRUE(seen) << mCloud->Command("devices");
    GW_ACTV_IF_S ai = {};
    ASSERT_EQ(0, wd_gw_actv_if_read(&ai));
    EXPECT_STREQ(noxa_iot_get_dev_id(), ai.key);
    EXPECT_EQ(16u, strlen(ai.lckey));
    EXPECT_EQ(0u, std::string(ai.mq_url).rfind("ssl://mqtt.cloudsim.test:", 0)) << ai.mq_url;
    // The cloud's time zone and summer time are in force (this year's summer is in the table).
    int32_t offset = 0;
    ASSERT_EQ(0, uni_get_time_zone(&offset));
    EXPECT_EQ(3600, offset);
    EXPECT_NE(std::string::npos, std::string(ai.s_time_z).find("],[")) << ai.s_time_z;
    cJSON* dst = cJSON_Parse(ai.s_time_z);
    TIME_T mid = static_cast<TIME_T>((cJSON_GetArrayItem(cJSON_GetArrayItem(dst, 0), 0)->valuedouble +
                                      cJSON_GetArrayItem(cJSON_GetArrayItem(dst, 0), 1)->valuedouble) / 2);
    cJSON_Delete(dst);
    EXPECT_EQ(1, uni_is_in_sum_zone(mid));
    char* schema = nullptr;
    ASSERT_EQ(0, wd_dev_schema_read(GW_SCHEMA_KEY, &schema));
    EXPECT_TRUE(Has(schema, "\"id\":241"));
    wd_common_free_data(reinterpret_cast<uint8_t*>(schema));
    int line = LogCapture::LineOf("activate with token ");
    ASSERT_GE(line, 0);
    EXPECT_EQ(line, LogCapture::LineOf("activate with token " + mPairing.substr(2, 4) + "***(8)")) << "masked";

    // The same token again (a second pairing attempt with it): refused as used.
    get_gw_cntl()->active_stat.store(UN_ACTIVE);
    EXPECT_EQ(IOT_API_ERR_TOKEN, gw_active_once());
    EXPECT_EQ(ACTIVATING, noxa_iot_get_active_stat()) << "registering until a token is taken";
    EXPECT_TRUE(mCloud->WaitLog("TOKEN_INVALID")) << mCloud->Log();
}

TEST_F(CloudSim, CommandsQueriesAndReportsThroughTheSimulator)
{
    ASSERT_TRUE(PairAndStart()) << LogCapture::All() << mCloud->Log();
    // bool, value, enum (digit texts), string, a value row taking a switch, and an off-schema word.
    mCloud->Command("dp 101 true 147 12345 108 2 169 'a b' 241 true 110 nine");
    ASSERT_TRUE(gEvents.WaitFor("obj")) << mCloud->Log() << LogCapture::All();
    {
        std::lock_guard<std::mutex> lock(gMutex);
        EXPECT_EQ((std::vector<std::string>{"101:0:1", "147:1:12345", "108:3:2", "169:2:a b", "241:0:1"}), gDps);
    }
    EXPECT_TRUE(LogCapture::Logged("dp 110 has a wrong type or value, dropped"));
    mCloud->Command("query 101 108");
    ASSERT_TRUE(gEvents.WaitFor("query"));
    {
        std::lock_guard<std::mutex> lock(gMutex);
        EXPECT_EQ((std::vector<int>{101, 108}), gQuery);
    }

    OBJ_DP_S dps[] = {{101, PROP_BOOL, {.dp_bool = 1}, 0}, {108, PROP_ENUM, {.dp_enum = 1}, 0},
                      {147, PROP_VALUE, {.dp_value = 77}, 0}};
    char text[] = "8 GB";
    dps[0].value.dp_bool = 0;
    ASSERT_EQ(0, dev_report_dp_json_async(nullptr, dps, 3, 1));
    OBJ_DP_S sd = {109, PROP_STR, {.dp_str = text}, 0};
    ASSERT_EQ(0, noxa_iot_stat_dp_report_sync(nullptr, &sd, 1, 5, 1));
    const uint8_t pic[] = {'J', 'P', 'G', 0};
    ASSERT_EQ(0, noxa_iot_raw_dp_report_sync(nullptr, 154, pic, sizeof(pic), 5, 1));
    ASSERT_TRUE(WaitReports("8 GB")) << Reports();
    std::string r = Reports();
    for (const char* line : {"101 status_light = false at", "108 night_mode = \"1\" at", "147 value_echo = 77 at",
                             "109 sd_capacity = \"8 GB\" at"}) {
        EXPECT_TRUE(Has(r, line)) << line << "\n" << r;
    }
    // A report that does not fit the schema carries its problem in brackets behind the time.
    EXPECT_FALSE(Has(r, ")\n")) << "every report fits the schema: " << r;
    EXPECT_FALSE(mCloud->WaitLog("drop <-", 1, 500ms)) << "no message of the unit was refused: " << mCloud->Log();
}

TEST_F(CloudSim, PubackTimeOutGarbageAndTheBrokersStopAndReturn)
{
    ASSERT_TRUE(PairAndStart()) << LogCapture::All() << mCloud->Log();
    const uint8_t pic[] = {1, 2, 3};
    EXPECT_EQ(0, noxa_iot_raw_dp_report_sync(nullptr, 154, pic, sizeof(pic), 5, 1));
    mCloud->Command("broker pause");
    EXPECT_EQ(MQ_PUB_TIMEOUT_ERR, noxa_iot_raw_dp_report_sync(nullptr, 154, pic, sizeof(pic), 1, 1));
    mCloud->Command("broker resume");

    mCloud->Command("raw 00112233445566778899");
    mCloud->Command("raw 332e33000000000000000100000000000000000000000000000000");
    mCloud->Command("raw 322e32000000000000000100000000000000000000000000000000");
    mCloud->Command("dp 101 true");
    ASSERT_TRUE(gEvents.WaitFor("obj"));
    EXPECT_EQ(1, gEvents.Count("obj"));
    EXPECT_TRUE(LogCapture::Logged("mqtt message dropped: too short")) << LogCapture::All();
    EXPECT_TRUE(LogCapture::Logged("mqtt message dropped: version")) << LogCapture::All();
    EXPECT_TRUE(LogCapture::Logged("mqtt message dropped: crc")) << LogCapture::All();

    mCloud->Command("broker stop");
    ASSERT_TRUE(gEvents.WaitFor("status12"));
    OBJ_DP_S dp = {101, PROP_BOOL, {.dp_bool = 1}, 0};
    EXPECT_EQ(MQC_ERR_OFFLINE, dev_report_dp_json_async(nullptr, &dp, 1, 1));
    mCloud->Command("broker start");
    bool back = false;
    for (int i = 0; i < 4 && !back; ++i) {
        back = gEvents.WaitFor("status7", 2);
    }
    EXPECT_TRUE(back) << LogCapture::All();
    std::lock_guard<std::mutex> lock(gMutex);
    EXPECT_EQ((std::vector<int>{7, 12, 7}), gStatuses);
}

// Eight threads report at once: every report reaches the cloud, each sequence above the one
// before it on the wire (the simulator drops one that is not, as the unit does).
TEST_F(CloudSim, ReportsOfEightThreadsArriveAllWithRisingSequences)
{
    ASSERT_TRUE(PairAndStart()) << LogCapture::All() << mCloud->Log();
    constexpr int kThreads = 8;
    constexpr int kEach = 500;
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failed] {
            for (int i = 0; i < kEach; ++i) {
                OBJ_DP_S dp = {147, PROP_VALUE, {.dp_value = t * kEach + i}, 0};
                failed += dev_report_dp_json_async(nullptr, &dp, 1, 1) != 0 ? 1 : 0;
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(0, failed.load());
    EXPECT_TRUE(mCloud->WaitLog(" protocol 4 {", kThreads * kEach, 120s))
        << mCloud->LogCount(" protocol 4 {") << " arrived";
    EXPECT_EQ(0, mCloud->LogCount("drop <-")) << "nothing refused";
}

// A first clock answer that fails is asked again after 10 s (the runtime clock of the test), and
// the clock then follows the cloud's, shifted as its `time` command sets it: the cloud's commands
// carry that clock and are taken.
TEST_F(CloudSim, TheCloudClockIsAskedAgainUntilItIsSetAndCommandsCarryIt)
{
    const struct {
        uint32_t failures;
        uint32_t waitMs;
    } waits[] = {{1, 10000}, {2, 20000}, {3, 40000}, {6, 320000}, {7, 600000}, {30, 600000}};
    for (const auto& w : waits) {
        EXPECT_EQ(w.waitMs, gw_time_retry_ms(w.failures)) << w.failures;
    }
    UniTestClock clock(uni_get_tick_ms());
    const int64_t cloudNow = static_cast<int64_t>(time(nullptr)) + 7200;
    mCloud->Command("time " + std::to_string(cloudNow) + " +02:00");
    mCloud->Command("fail time.get 500");
    ASSERT_TRUE(PairAndStart()) << LogCapture::All() << mCloud->Log();
    ASSERT_TRUE(WaitUntil([] { return LogCapture::Logged("cloud time not synced"); })) << LogCapture::All();
    EXPECT_NE(0, uni_time_check_sync());
    EXPECT_EQ(1, gw_time_answered()) << "a failed answer is an answer";
    mCloud->Command("fail time.get ok");
    clock.Advance(GW_TIME_RETRY_FIRST_MS);
    ASSERT_TRUE(WaitUntil([] { return uni_time_check_sync() == 0; })) << LogCapture::All() << mCloud->Log();
    EXPECT_NEAR(static_cast<double>(cloudNow), static_cast<double>(uni_time_get_posix()), 60.0);
    EXPECT_EQ(2, mCloud->LogCount("time.get v1.0: devId ")) << "asked twice\n" << mCloud->Log();
    mCloud->Command("dp 101 true");
    ASSERT_TRUE(gEvents.WaitFor("obj")) << "stamped with the cloud's clock\n" << LogCapture::All();
}

// A cloud reset unactivates the unit; the activation waits for a new pairing, which brings the
// unit back without a restart.
TEST_F(CloudSim, AfterACloudResetANewPairingBringsTheUnitBack)
{
    ASSERT_TRUE(PairAndStart()) << LogCapture::All() << mCloud->Log();
    mCloud->Command("reset");
    ASSERT_TRUE(gEvents.WaitFor("status12"));
    EXPECT_EQ(UN_ACTIVE, noxa_iot_get_active_stat());
    EXPECT_STREQ("", noxa_iot_get_dev_id());
    ASSERT_TRUE(WaitUntil([] { return LogCapture::Logged("activation waits for a pairing token"); }))
        << LogCapture::All();
    std::string again = mCloud->Pair();
    ASSERT_EQ(0, gw_wifi_user_cfg("noxa", "kelp", again.c_str()));
    ASSERT_TRUE(gEvents.WaitFor("status7", 2)) << LogCapture::All() << mCloud->Log();
    EXPECT_EQ(ACTIVATED, noxa_iot_get_active_stat());
    EXPECT_EQ(2, mCloud->LogCount("activate uuid "));
    mCloud->Command("dp 101 true");
    ASSERT_TRUE(gEvents.WaitFor("obj")) << "the new local key in use";
    std::lock_guard<std::mutex> lock(gMutex);
    EXPECT_EQ((std::vector<int>{7, 12, 7}), gStatuses);
}

// A token the cloud refuses (unknown, used or expired) is forgotten at once and the activation
// waits for a new pairing; other failures are tried again with the same token.
TEST_F(CloudSim, ARefusedTokenIsForgottenAndTheNextPairingIsTaken)
{
    const struct {
        const char* fail;  // armed before the token is bound
        bool fresh;        // a token of a real pairing (else one the cloud never handed out)
        int tries;         // activation requests the token costs
        const char* cloudSays;
    } rows[] = {
        {"fail active ok", false, 1, "TOKEN_INVALID"},
        {"fail active code TOKEN_EXPIRED", true, 1, "injected TOKEN_EXPIRED"},
        // The cloud activates but its answer lacks the key: tried again, the token is used now.
        {"fail active missing localKey", true, 2, "without localKey"},
    };
    int tries = 0;
    int refused = 0;
    bool started = false;
    for (const auto& r : rows) {
        mCloud->Command(r.fail);
        std::string token = r.fresh ? mCloud->Pair() : "AYZZZZZZZZ1234";
        if (!started) {
            ASSERT_TRUE(StartActivation(token));
            started = true;
        } else {
            ASSERT_EQ(0, gw_wifi_user_cfg("noxa", "kelp", token.c_str()));
        }
        tries += r.tries;
        ++refused;
        ASSERT_TRUE(WaitUntil([&] { return static_cast<int>(LinesWith("refused by the cloud").size()) == refused; }))
            << r.fail << "\n" << LogCapture::All() << mCloud->Log();
        EXPECT_EQ("", BoundToken()) << r.fail << ": forgotten";
        EXPECT_EQ(tries, mCloud->LogCount("activate uuid ")) << r.fail << "\n" << mCloud->Log();
        EXPECT_TRUE(mCloud->WaitLog(r.cloudSays)) << mCloud->Log();
    }
    EXPECT_NE(ACTIVATED, noxa_iot_get_active_stat());
    mCloud->Command("fail active ok");
    ASSERT_EQ(0, gw_wifi_user_cfg("noxa", "kelp", mCloud->Pair().c_str()));
    ASSERT_TRUE(gEvents.WaitFor("status7")) << LogCapture::All() << mCloud->Log();
}

// Calls of two threads share the "http" log sequence: each failed call is rendered whole and
// alone, however the other thread's calls fall in between.
TEST_F(CloudSim, EachFailedApiCallIsLoggedWholeWhateverTheOtherThreadsDo)
{
    ASSERT_TRUE(PairAndStart()) << LogCapture::All() << mCloud->Log();
    // The link's own first clock sync would otherwise fail too and add a line.
    ASSERT_TRUE(WaitUntil([] { return !LinesWith("cloud time sync on first link up").empty(); }))
        << LogCapture::All();
    mCloud->Command("fail time.get code NO_CONFIG");
    constexpr int kCalls = 30;
    std::thread failing([] {
        for (int i = 0; i < kCalls; ++i) {
            EXPECT_EQ(IOT_API_ERR_NO_CONFIG, http_gw_timer_cnt(0, nullptr));
        }
    });
    std::thread passing([] {
        for (int i = 0; i < kCalls; ++i) {
            EXPECT_EQ(0, http_dev_update_skill(0, "{}"));
        }
    });
    failing.join();
    passing.join();
    // The texts go through the common worker to the online log.
    ASSERT_TRUE(WaitUntil([] { return LinesWith("online log: http").size() >= kCalls; })) << LogCapture::All();
    auto lines = LinesWith("online log: http");
    EXPECT_EQ(static_cast<size_t>(kCalls), lines.size());
    for (const auto& l : lines) {
        EXPECT_TRUE(Has(l, "online log: http 1:time.get 2:0 3:-2002")) << l;
    }
    EXPECT_FALSE(LogCapture::Logged("make log seq string fails"));
}

}  // namespace
