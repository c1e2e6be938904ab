// The MQTT application layer on a real broker over TLS (mosquitto with a certificate of the
// build's test CA, the host found through the board's hosts file), with the cloud played by a
// libmosquitto client that encodes with OpenSSL: commands reach their slots on the right
// threads, reports arrive decoded right, the link's status follows the broker.
#include "cloud_wire.h"
#include "log_capture.h"
#include "mosquitto_peer.h"
#include "net_peers.h"
#include "noxa_adapter/network/uni_network.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_base/events.h"
#include "noxa_iot_sdk/com_sdk/noxa_iot_com_api.h"
#include "noxa_iot_sdk/noxa_cloud/dp_schema.h"
#include "noxa_iot_sdk/noxa_cloud/gw_active.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"
#include "noxa_iot_sdk/noxa_cloud/noxa_ws_db.h"
#include "noxa_middleware/mqtt/mqtt_client.h"
#include "platform/board_net.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <pthread.h>
#include <thread>

namespace {

const std::string kDevId = "dev0001";
const std::string kKey = "0123456789abcdef";
const char* kSchema = R"([
 {"id":101,"code":"switch","mode":"rw","type":"obj","property":{"type":"bool"}},
 {"id":102,"code":"level","mode":"rw","type":"obj","property":{"type":"value","min":0,"max":10}},
 {"id":103,"code":"mode","mode":"rw","type":"obj","property":{"type":"enum","range":["off","day","night"]}},
 {"id":104,"code":"name","mode":"rw","type":"obj","property":{"type":"string","maxlen":8}},
 {"id":105,"code":"mask","mode":"rw","type":"obj","property":{"type":"bitmap","maxlen":8}},
 {"id":106,"code":"blob","mode":"rw","type":"obj","property":{"type":"raw","maxlen":16}}
])";

Events gEvents;
std::mutex gMutex;
std::vector<int> gStatuses;
std::vector<std::string> gObjDps;  // "id:type:value" per entry
std::string gObjThread;
std::vector<int> gRawIds;
std::vector<int> gQueryIds;
std::string gQueryThread;
std::vector<int> gResets;
NOXA_FW_INFO_S gFw;
std::string gExtra;
// Slot 4's calls: how many run at once (and the most seen), and how long the first one takes.
std::atomic<int> gObjInside{0};
std::atomic<int> gObjMostInside{0};
std::atomic<int> gObjFirstMs{0};
size_t gObjAtQuery = 0;  // entries applied when slot 6 was called

std::string ThreadName()
{
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    return name;
}

template <class Fn>
void Locked(Fn fn)
{
    std::lock_guard<std::mutex> lock(gMutex);
    fn();
}

const NOXA_IOT_CBS_S kCbs = {
    nullptr,
    [](const NOXA_FW_INFO_S* fw) {
        Locked([&] { gFw = *fw; });
        gEvents.Add("upgrade");
        return 0;
    },
    [](GW_RESET_TYPE_E type) {
        Locked([&] { gResets.push_back(type); });
        gEvents.Add("reset");
    },
    [](const RECV_OBJ_DP_S* dp) {
        int inside = ++gObjInside;
        for (int most = gObjMostInside.load(); inside > most && !gObjMostInside.compare_exchange_weak(most, inside);) {
        }
        if (int ms = gObjFirstMs.exchange(0)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        }
        --gObjInside;
        Locked([&] {
            gObjThread = ThreadName();
            for (uint32_t i = 0; i < dp->dps_cnt; ++i) {
                const OBJ_DP_S& e = dp->dps[i];
                std::string v = e.type == PROP_STR ? std::string(e.value.dp_str) : std::to_string(e.value.dp_value);
                gObjDps.push_back(std::to_string(e.dpid) + ":" + std::to_string(e.type) + ":" + v);
            }
        });
        gEvents.Add("obj");
    },
    [](const RECV_RAW_DP_S* dp) {
        Locked([&] { gRawIds.push_back(dp->dpid); });
        gEvents.Add("raw");
    },
    [](const DP_QUERY_S* q) {
        Locked([&] {
            gQueryThread = ThreadName();
            gObjAtQuery = gObjDps.size();
            for (uint32_t i = 0; i < q->cnt; ++i) {
                gQueryIds.push_back(q->dpid[i]);
            }
        });
        gEvents.Add("query");
    },
    nullptr,
};

void StatusCb(uint8_t status)
{
    Locked([&] { gStatuses.push_back(status); });
    gEvents.Add("status" + std::to_string(status));
}

class MqcApp : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!netpeer::TestPki::HaveTestCa()) {
            GTEST_SKIP() << "a product CA brings no key to sign a test broker with";
        }
        LogCapture::Install();
        mPki.Server("rsa", &mCfg.tlsCert, &mCfg.tlsKey);
        mBroker = std::make_unique<mqttpeer::Mosquitto>(mCfg);
        mBox.Write("/.board/net/hosts", "# cloud hosts\n127.0.0.1\tnoxa.test mqtt.cloudsim.test\n");
        NOXA_IOT_INIT_PARAMS_S p = {};
        strcpy(p.platform, "test");
        strcpy(p.storage_path, "/DeviceInfo/noxa/");
        ASSERT_EQ(0, noxa_iot_init_params("/DeviceInfo/noxa/", &p));
        unw_set_sys_resolver(BoardResolveHost);
        ASSERT_EQ(0, noxa_iot_wf_soc_dev_init(0, WF_START_AP_FIRST, &kCbs, "kwpzrmud4fjcvalo", "1.2.11"));
        ASSERT_EQ(0, noxa_iot_reg_get_wf_nw_stat_cb_params(StatusCb, 3600));
        GW_CNTL_S* gw = get_gw_cntl();
        strcpy(gw->devId, kDevId.c_str());
        strcpy(gw->localKey, kKey.c_str());
        gw->active_stat.store(ACTIVATED);
        ASSERT_EQ(0, dp_schema_load(kSchema));
        mCloud = std::make_unique<cloudpeer::Cloud>("127.0.0.1", mBroker->Port(), kDevId, kKey);
        std::string url = "ssl://noxa.test:" + std::to_string(mBroker->TlsPort());
        ASSERT_EQ(0, mqc_app_start(url.c_str()));
        ASSERT_TRUE(gEvents.WaitFor("status7")) << "link up\n" << LogCapture::All() << mBroker->Log();
    }

    void TearDown() override
    {
        mqc_app_stop();
        mCloud.reset();
    }

    TestSandbox mBox;
    netpeer::TestPki mPki;
    mqttpeer::Mosquitto::Config mCfg;
    std::unique_ptr<mqttpeer::Mosquitto> mBroker;
    std::unique_ptr<cloudpeer::Cloud> mCloud;
};

TEST_F(MqcApp, DataPointCommandReachesSlot4OnAWorkThreadWrongEntriesDroppedAlone)
{
    mCloud->Send(PRO_CMD, R"({"dps":{"101":true,"102":7,"103":"night","104":"hall","105":5,"102x":1,"106":"AQID"}})");
    ASSERT_TRUE(gEvents.WaitFor("obj"));
    ASSERT_TRUE(gEvents.WaitFor("raw"));
    mCloud->Send(PRO_CMD, R"({"dps":{"102":11,"101":"yes"}})");  // nothing left: no call
    mCloud->Send(PRO_CMD, R"({"dps":{"101":0}})");
    ASSERT_TRUE(gEvents.WaitFor("obj", 2));
    Locked([&] {
        EXPECT_EQ((std::vector<std::string>{"101:0:1", "102:1:7", "103:3:2", "104:2:hall", "105:4:5", "101:0:0"}),
                  gObjDps);
        EXPECT_EQ(0u, gObjThread.rfind("wk_th", 0)) << gObjThread;
        EXPECT_EQ(std::vector<int>{106}, gRawIds);
    });
    // The three commands may convert on different threads of the work queue's pool.
    EXPECT_TRUE(LogCapture::LoggedSoon("dp 102x not in schema, dropped"));
    EXPECT_TRUE(LogCapture::LoggedSoon("dp 102 has a wrong type or value, dropped"));
}

// The phone's last word wins: commands and queries are applied one at a time in the order they
// came, however long a handler takes, and never on the MQTT task (which reads the PUBACKs a
// handler's report may wait for).
TEST_F(MqcApp, CommandsAndQueriesRunOneAtATimeInArrivalOrder)
{
    gObjFirstMs.store(300);
    mCloud->Send(PRO_CMD, R"({"dps":{"101":true}})");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    mCloud->Send(PRO_CMD, R"({"dps":{"101":false}})");
    mCloud->Send(PRO_QUERY_DP, R"({"dpId":[101]})");
    mCloud->Send(PRO_CMD, R"({"dps":{"102":4}})");
    ASSERT_TRUE(gEvents.WaitFor("obj", 3));
    ASSERT_TRUE(gEvents.WaitFor("query"));
    Locked([&] {
        EXPECT_EQ((std::vector<std::string>{"101:0:1", "101:0:0", "102:1:4"}), gObjDps) << "in arrival order";
        EXPECT_NE("mqtt_app", gObjThread);
        EXPECT_EQ(gObjThread, gQueryThread) << "one worker for both";
    });
    EXPECT_EQ(1, gObjMostInside.load()) << "never two at once";
    Locked([&] { EXPECT_EQ(2u, gObjAtQuery) << "the query between the commands it came between"; });
}

TEST_F(MqcApp, QueryReachesSlot6AndAckIdIsAnswered)
{
    mCloud->Send(PRO_QUERY_DP, R"({"dpId":[101,103,"x",999],"ackId":42})");
    ASSERT_TRUE(gEvents.WaitFor("query"));
    Locked([&] {
        EXPECT_EQ((std::vector<int>{101, 103}), gQueryIds);
        EXPECT_EQ(0u, gQueryThread.rfind("wk_th", 0)) << gQueryThread;
    });
    cloudpeer::Decoded ack = mCloud->WaitProtocol(PRO_MQ_ACK);
    ASSERT_TRUE(ack.ok);
    EXPECT_EQ("{\"ackId\":42}", ack.data);
}

TEST_F(MqcApp, ReportsArriveDecodedWithGrowingSequence)
{
    OBJ_DP_S dps[2] = {{101, PROP_BOOL, {.dp_bool = 1}, 0}, {103, PROP_ENUM, {.dp_enum = 1}, 1700000001}};
    ASSERT_EQ(0, dev_report_dp_json_async(nullptr, dps, 2, 1));
    ASSERT_EQ(0, noxa_iot_stat_dp_report_sync(nullptr, dps, 1, 5, 1));
    const uint8_t raw[] = {0xDE, 0xAD, 0xBE, 0xEF};
    ASSERT_EQ(0, noxa_iot_raw_dp_report_sync_with_time(nullptr, 106, raw, sizeof(raw), 5, 1, 1700000002));
    ASSERT_EQ(0, noxa_iot_dev_upgd_progress_rept(40, nullptr, 0));
    ASSERT_EQ(0, mqc_door_bell_press_generic("doorbell", 1700000003, "snap.jpg"));
    ASSERT_EQ(0, mqc_door_bell_answer("{\"answer\":1}"));
    ASSERT_EQ(0, mqc_prot_data_rept_seq(500, "[1,2]"));
    mCloud->Subscribe("smart/device/side/" + kDevId);
    cJSON* obj = cJSON_Parse("{\"k\":\"v\"}");
    ASSERT_EQ(0, mqc_send_mqtt_msg_with_topic(("smart/device/side/" + kDevId).c_str(), 302, obj));
    cJSON_Delete(obj);
    ASSERT_TRUE(mCloud->WaitCount(8));

    const struct {
        int protocol;
        const char* data;
    } expect[] = {
        {4, R"({"devId":"dev0001","dps":{"101":true,"103":"day"},"dpsTime":{"103":1700000001}})"},
        {4, R"({"devId":"dev0001","dps":{"101":true}})"},
        {4, R"({"devId":"dev0001","dps":{"106":"3q2+7w=="},"dpsTime":{"106":1700000002}})"},
        {16, R"({"progress":40,"type":0})"},
        {43, R"({"etype":"doorbell","time":1700000003,"file":"snap.jpg"})"},
        {308, R"({"answer":1})"},
        {500, "[1,2]"},
        {302, R"({"k":"v"})"},
    };
    auto all = mCloud->All();
    ASSERT_EQ(8u, all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        cloudpeer::Decoded d = cloudpeer::Open(all[i].payload.data(), all[i].payload.size(), kKey);
        ASSERT_TRUE(d.ok) << i;
        EXPECT_EQ(expect[i].protocol, d.protocol) << i;
        EXPECT_EQ(expect[i].data, d.data) << i;
        EXPECT_EQ(i + 1, d.seq) << "sequence from 1, one per message";
        EXPECT_EQ(i == 7 ? "smart/device/side/" + kDevId : "smart/device/out/" + kDevId, all[i].topic);
    }
}

TEST_F(MqcApp, SyncReportWaitsForPubackAndTimesOutWithTheBrokerPaused)
{
    const uint8_t raw[] = {1, 2, 3};
    EXPECT_EQ(0, noxa_iot_raw_dp_report_sync(nullptr, 106, raw, sizeof(raw), 5, 1));
    mBroker->Pause();
    int ret = noxa_iot_raw_dp_report_sync(nullptr, 106, raw, sizeof(raw), 1, 1);
    mBroker->Resume();
    EXPECT_EQ(MQ_PUB_TIMEOUT_ERR, ret);
}

int gHandled = 0;

TEST_F(MqcApp, HandlerTableHoldsTwentyAndGetsTheWholeMessage)
{
    auto handler = [](cJSON* root) {
        cJSON* data = cJSON_GetObjectItem(root, "data");
        gHandled = cJSON_GetObjectItem(data, "n")->valueint;
        gEvents.Add("handler");
        return 0;
    };
    for (uint32_t p = 600; p < 620; ++p) {
        ASSERT_EQ(0, mqc_app_register_cb(p, handler)) << p;
    }
    EXPECT_EQ(-1, mqc_app_register_cb(620, handler)) << "the 21st";
    EXPECT_TRUE(LogCapture::Logged("cannot register cbs. reach max 20"));
    EXPECT_EQ(0, mqc_app_register_cb(605, handler)) << "a registered protocol is replaced";
    EXPECT_EQ(-2, mqc_app_register_cb(621, nullptr));
    mCloud->Send(619, R"({"n":5})");
    ASSERT_TRUE(gEvents.WaitFor("handler"));
    EXPECT_EQ(5, gHandled);
}

TEST_F(MqcApp, GarbageIsDroppedAndTheLinkGoesOn)
{
    const std::vector<cloudpeer::Bytes> junk = {
        {0x00},
        cloudpeer::Bytes(64, 0xAA),
        cloudpeer::Message(50, 5, 1, "{\"dps\":{\"101\":true}}", "fedcba9876543210"),
        cloudpeer::Envelope(51, "{\"protocol\":\"5\",\"data\":{}}", kKey),
    };
    for (const auto& j : junk) {
        mCloud->SendRaw(j);
    }
    mCloud->Send(PRO_CMD, R"({"dps":{"101":true}})");
    ASSERT_TRUE(gEvents.WaitFor("obj"));
    EXPECT_EQ(1, gEvents.Count("obj"));
    EXPECT_TRUE(LogCapture::Logged("mqtt message dropped: too short"));
    EXPECT_TRUE(LogCapture::Logged("mqtt message dropped: version"));
    EXPECT_TRUE(LogCapture::Logged("mqtt message dropped: padding"));
    EXPECT_TRUE(LogCapture::Logged("mqtt message dropped: protocol"));

    // A sequence that does not grow is a replay: dropped, and the next one in order is taken.
    mCloud->SendRaw(cloudpeer::Message(1, PRO_CMD, 1, "{\"dps\":{\"101\":false}}", kKey));
    mCloud->SendRaw(cloudpeer::Message(2, PRO_CMD, 1, "{\"dps\":{\"102\":3}}", kKey));
    ASSERT_TRUE(gEvents.WaitFor("obj", 2));
    EXPECT_TRUE(LogCapture::Logged("mqtt message dropped: sequence 1 not above 1")) << LogCapture::All();
    Locked([&] { EXPECT_EQ("102:1:3", gObjDps.back()) << "the replayed 101:false never applied"; });
}

// Once the clock is synced, an envelope more than 300 s from it is dropped (a capture sent again
// after a reconnect starts the sequence anew); a clock not yet synced takes any time.
TEST_F(MqcApp, StaleOrFutureMessagesAreDroppedOnceTheClockIsSynced)
{
    const TIME_T now = 1900000000;
    ASSERT_EQ(0, uni_set_time_zone("+00:00"));
    ASSERT_NE(0, uni_time_check_sync()) << "no cloud clock in this suite";
    const struct {
        bool synced;  // the first row only: a synced clock stays synced
        int64_t t;    // the message's time, from the synced clock's value
        bool taken;
    } rows[] = {
        {false, 1, true},         {true, now, true},        {true, now + 299, true}, {true, now - 299, true},
        {true, now + 302, false}, {true, now - 302, false}, {true, 0, false},
    };
    uint32_t seq = 10;
    int taken = 0;
    for (const auto& r : rows) {
        if (r.synced) {
            uni_time_set(now, 1);  // moves on by the test's own run time only
        }
        // The value under test, then one in time that must arrive either way.
        std::string value = std::to_string(seq % 10);
        mCloud->SendRaw(cloudpeer::Message(++seq, PRO_CMD, static_cast<uint32_t>(r.t), "{\"dps\":{\"102\":" + value + "}}",
                                           kKey));
        mCloud->SendRaw(cloudpeer::Message(++seq, PRO_CMD, static_cast<uint32_t>(uni_time_get_posix()),
                                           "{\"dps\":{\"101\":true}}", kKey));
        taken += r.taken ? 2 : 1;
        ASSERT_TRUE(gEvents.WaitFor("obj", taken)) << r.t << LogCapture::All();
        Locked([&] {
            bool found = std::find(gObjDps.begin(), gObjDps.end(), "102:1:" + value) != gObjDps.end();
            EXPECT_EQ(r.taken, found) << "message time " << r.t;
            gObjDps.clear();
        });
    }
    EXPECT_TRUE(LogCapture::Logged("mqtt message dropped: time ")) << LogCapture::All();
}

TEST_F(MqcApp, StatusFollowsTheBrokerAndBookedTopicsComeBack)
{
    const std::string extra = "smart/device/extra/" + kDevId;
    ASSERT_EQ(0, mqc_app_register_cb(700, [](cJSON*) {
                  gEvents.Add("extra");
                  return 0;
              }));
    ASSERT_EQ(0, mqc_book_additional_topic(extra.c_str()));
    ASSERT_EQ(0, mqc_book_additional_topic("smart/device/extra2"));
    EXPECT_EQ(-1, mqc_book_additional_topic("smart/device/extra3")) << "two slots";
    // The SUBSCRIBE went out before this PUBLISH on the same broker.
    mCloud->Send(700, "{}", "smart/device/extra2");
    ASSERT_TRUE(gEvents.WaitFor("extra")) << "booked at once while online\n" << LogCapture::All();
    mCloud.reset();
    mBroker->Stop();
    ASSERT_TRUE(gEvents.WaitFor("status12"));
    EXPECT_EQ(0, mqc_app_online());
    EXPECT_EQ(-1, mqc_get_mqtt_socket_fd());
    auto before = std::chrono::steady_clock::now();
    const uint8_t raw[] = {1};
    EXPECT_EQ(MQC_ERR_OFFLINE, noxa_iot_raw_dp_report_sync(nullptr, 106, raw, 1, 5, 1));
    OBJ_DP_S dp = {101, PROP_BOOL, {.dp_bool = 1}, 0};
    EXPECT_EQ(MQC_ERR_OFFLINE, dev_report_dp_json_async(nullptr, &dp, 1, 1));
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500)) << "offline fails at once";

    ASSERT_TRUE(mBroker->Start());
    mCloud = std::make_unique<cloudpeer::Cloud>("127.0.0.1", mBroker->Port(), kDevId, kKey);
    // The client's randomised back-off after the failed tries: up to some 10 s.
    bool back = false;
    for (int i = 0; i < 4 && !back; ++i) {
        back = gEvents.WaitFor("status7", 2);
    }
    ASSERT_TRUE(back) << "back online";
    EXPECT_GE(mqc_get_mqtt_socket_fd(), 0);
    // The unit subscribes its booked topics right after its own SUBACK; give the broker the
    // moment it takes, then a message on the first booked topic must reach the unit.
    for (int i = 0; i < 50 && gEvents.Count("extra") < 2; ++i) {
        mCloud->Send(700, "{}", extra);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_GE(gEvents.Count("extra"), 2) << "the booked topic reaches the unit after the reconnect";
    Locked([&] { EXPECT_EQ((std::vector<int>{7, 12, 7}), gStatuses); });
}

// A topic booked again keeps its one slot and is subscribed afresh: the broker hands its
// retained message with every SUBSCRIBE, and the copies after the first repeat its sequence.
TEST_F(MqcApp, ATopicBookedAgainHoldsOneSlotAndSubscribesAfresh)
{
    const std::string topic = "/av/d/" + kDevId;
    ASSERT_EQ(0, mqc_app_register_cb(700, [](cJSON*) {
                  gEvents.Add("booked");
                  return 0;
              }));
    mCloud->Send(700, "{}", topic, true);
    const std::string replay = "mqtt message dropped: sequence 1 not above 1";
    for (int i = 1; i <= 3; ++i) {
        ASSERT_EQ(0, mqc_book_additional_topic(topic.c_str())) << "booking " << i;
        if (i == 1) {
            ASSERT_TRUE(gEvents.WaitFor("booked")) << LogCapture::All();
            continue;
        }
        bool again = false;
        for (int t = 0; t < 500 && !again; ++t) {
            again = LogCapture::Count(replay) >= i - 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(again) << "booking " << i << " sent no SUBSCRIBE\n" << LogCapture::All();
    }
    EXPECT_EQ(1, gEvents.Count("booked"));
    EXPECT_EQ(0, mqc_book_additional_topic("smart/device/second")) << "the second slot is still free";
    EXPECT_EQ(-1, mqc_book_additional_topic("smart/device/third"));
    EXPECT_EQ(-2, mqc_book_additional_topic(""));
    EXPECT_EQ(-2, mqc_book_additional_topic(nullptr));
}

// A topic whose SUBSCRIBE cannot go out (too long for the packet) is not kept.
TEST_F(MqcApp, ASubscribeThatCannotGoOutFreesItsSlot)
{
    const std::string tooLong = "smart/device/" + std::string(200, 'x');
    EXPECT_EQ(-1, mqc_book_additional_topic(tooLong.c_str()));
    EXPECT_EQ(-1, mqc_book_additional_topic(tooLong.c_str())) << "nor when booked again";
    EXPECT_EQ(0, mqc_book_additional_topic("smart/device/a"));
    EXPECT_EQ(0, mqc_book_additional_topic("smart/device/b"));
    EXPECT_EQ(-1, mqc_book_additional_topic("smart/device/c")) << "two slots, both free before";
}

// Offline a booking is kept and answered 0; the topic is subscribed when the link comes up.
TEST_F(MqcApp, AnOfflineBookingIsSubscribedWhenTheLinkComesUp)
{
    const std::string topic = "/av/d/" + kDevId;
    ASSERT_EQ(0, mqc_app_register_cb(700, [](cJSON*) {
                  gEvents.Add("booked");
                  return 0;
              }));
    mCloud.reset();
    mBroker->Stop();
    ASSERT_TRUE(gEvents.WaitFor("status12"));
    EXPECT_EQ(0, mqc_book_additional_topic(topic.c_str()));
    ASSERT_TRUE(mBroker->Start());
    mCloud = std::make_unique<cloudpeer::Cloud>("127.0.0.1", mBroker->Port(), kDevId, kKey);
    bool back = false;
    for (int i = 0; i < 4 && !back; ++i) {
        back = gEvents.WaitFor("status7", 2);
    }
    ASSERT_TRUE(back) << "back online";
    for (int i = 0; i < 50 && gEvents.Count("booked") == 0; ++i) {
        mCloud->Send(700, "{}", topic);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_GE(gEvents.Count("booked"), 1) << "subscribed when the link came up\n" << LogCapture::All();
}

TEST_F(MqcApp, ResetUpgradeAndSummerTable)
{
    GW_ACTV_IF_S ai = {};
    strcpy(ai.key, kDevId.c_str());
    strcpy(ai.lckey, kKey.c_str());
    ASSERT_EQ(0, wd_gw_actv_if_write(&ai));
    mCloud->Send(PRO_UPGD_REQ, R"({"url":"https://x.test/fw.bin","md5":"00112233445566778899aabbccddeeff","version":"1.2.12","size":1234})");
    ASSERT_TRUE(gEvents.WaitFor("upgrade"));
    Locked([&] {
        EXPECT_STREQ("https://x.test/fw.bin", gFw.fw_url);
        EXPECT_STREQ("1.2.12", gFw.sw_ver);
        EXPECT_EQ(1234u, gFw.file_size);
    });
    mCloud->Send(PRO_UG_SUMMER_TABLE, R"({"dst":[[1000,2000,3600],[5000,6000,3600]]})");
    mCloud->Send(PRO_GW_RESET, R"({"type":0})");
    ASSERT_TRUE(gEvents.WaitFor("reset"));
    EXPECT_EQ(1, uni_is_in_sum_zone(1500));
    EXPECT_EQ(0, uni_is_in_sum_zone(3000));
    Locked([&] { EXPECT_EQ(std::vector<int>{GW_REMOTE_UNACTIVE}, gResets); });
    EXPECT_EQ(UN_ACTIVE, noxa_iot_get_active_stat());
    EXPECT_STREQ("", noxa_iot_get_dev_id());
    GW_ACTV_IF_S left = {};
    EXPECT_NE(0, wd_gw_actv_if_read(&left)) << "the record went before the callback";
}

TEST_F(MqcApp, ASummerTableOfBadRowsKeepsTheOneInForceAndAnUnknownProtocolIsSeen)
{
    mCloud->Send(PRO_UG_SUMMER_TABLE, R"({"dst":[[1000,2000,3600]]})");
    mCloud->Send(PRO_UG_SUMMER_TABLE, R"({"dst":[["a",1],[5,1],[1,1e20],7]})");
    mCloud->Send(999, R"({"ackId":77})");
    // Handled in order on the MQTT task: the answer comes after the tables (it is sent before
    // its own message acts, so the handler's line is waited for).
    ASSERT_TRUE(mCloud->WaitProtocol(PRO_MQ_ACK).ok);
    EXPECT_EQ(1, uni_is_in_sum_zone(1500)) << "the table in force stays";
    EXPECT_TRUE(LogCapture::Logged("summer table without a usable row"));
    ASSERT_TRUE(LogCapture::LoggedSoon("protocol 999 has no handler"));
    std::string all = LogCapture::All();
    size_t at = all.find("protocol 999 has no handler");
    ASSERT_NE(std::string::npos, at) << all;
    size_t lineStart = all.rfind('\n', at);
    lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
    std::string head = all.substr(lineStart, at - lineStart);
    EXPECT_NE(std::string::npos, head.find(" Notice]")) << "at notice level: " << head;
    // An empty table says: no summer time.
    size_t before = mCloud->Count();
    mCloud->Send(PRO_UG_SUMMER_TABLE, R"({"dst":[],"ackId":78})");
    ASSERT_TRUE(mCloud->WaitProtocol(PRO_MQ_ACK, before).ok);
    for (int i = 0; i < 500 && uni_is_in_sum_zone(1500) != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));  // the ack goes before the table
    }
    EXPECT_EQ(0, uni_is_in_sum_zone(1500));
}

TEST_F(MqcApp, WakeUpDataAndCredentials)
{
    uint8_t buf[MQC_WAKEUP_DATA_LEN];
    uint32_t len = 4;
    EXPECT_EQ(-2, mqc_get_wakeup_data(buf, &len));
    EXPECT_EQ(9u, len);
    ASSERT_EQ(0, mqc_get_wakeup_data(buf, &len));
    uint32_t crc = static_cast<uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(kDevId.data()), kDevId.size()));
    EXPECT_EQ((cloudpeer::Bytes{'2', '.', '2', uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8),
                                uint8_t(crc), 'W', 'K'}),
              cloudpeer::Bytes(buf, buf + 9));
    EXPECT_EQ(cloudpeer::Md5Hex(kKey + kDevId).substr(8, 16), mqc_passwd(kKey.c_str(), kDevId.c_str()));
    // The camera side's protocols were registered once, when the layer started.
    mqc_app_init();
    mqc_app_init();
    std::string all = LogCapture::All();
    size_t first = all.find("extra mqtt protocols");
    ASSERT_NE(std::string::npos, first);
    EXPECT_EQ(std::string::npos, all.find("extra mqtt protocols", first + 1));
}

}  // namespace
