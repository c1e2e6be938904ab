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

#include <mutex>
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

}  // namespace
