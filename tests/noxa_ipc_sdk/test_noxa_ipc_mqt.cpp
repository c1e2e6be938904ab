// The camera's MQTT protocol handlers: what each message hands to its callback (a table of
// messages as the cloud sends them, and as it must not), that callbacks run one at a time in
// arrival order off the caller's thread with values of their own, and that the start of the
// MQTT layer registers the seven protocols once, through the hook the service API sets.
#include "mqt_link.h"
#include "noxa_ipc_sdk/noxa_ipc_api.h"
#include "noxa_ipc_sdk/noxa_ipc_mqt_proccess.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::mutex gMutex;
std::condition_variable gCv;
std::vector<std::string> gCalls;
std::vector<std::thread::id> gThreads;

void Called(const std::string& what)
{
    std::lock_guard<std::mutex> lock(gMutex);
    gCalls.push_back(what);
    gThreads.push_back(std::this_thread::get_id());
    gCv.notify_all();
}

std::vector<std::string> TakeCalls()
{
    std::lock_guard<std::mutex> lock(gMutex);
    std::vector<std::string> out;
    out.swap(gCalls);
    gThreads.clear();
    return out;
}

bool WaitCalls(size_t n)
{
    std::unique_lock<std::mutex> lock(gMutex);
    return gCv.wait_for(lock, std::chrono::seconds(10), [&] { return gCalls.size() >= n; });
}

int EchoShow(const char* url)
{
    Called(std::string("echo ") + url);
    return 0;
}
int Chromecast(const char* url)
{
    Called(std::string("cast ") + url);
    return 0;
}
int Order(const char* action, const char* mode)
{
    Called(std::string("order ") + action + "|" + mode);
    return 0;
}
int Event(const char* action, int duration, const char* ext)
{
    Called(std::string("event ") + action + "|" + std::to_string(duration) + "|" + ext);
    return 0;
}
int Doorbell(const char* event, const char* data)
{
    Called(std::string("doorbell ") + event + "|" + data);
    return 0;
}
void Rtc(const char* devId, const char* msg, int len)
{
    Called(std::string("rtc ") + devId + "|" + msg + "|" + std::to_string(len));
}
int AiDetect(const char* action, const char* mode)
{
    Called(std::string("ai ") + action + "|" + mode);
    return 0;
}
int FaceSync(const char* action, int count)
{
    Called(std::string("face ") + action + "|" + std::to_string(count));
    return 0;
}
int Moto(cJSON* data)
{
    char* text = cJSON_PrintUnformatted(data);
    Called(std::string("moto ") + (text != nullptr ? text : "?"));
    cJSON_free(text);
    return 0;
}

int Migrate(int kind, const NOXA_WIFI_MIGRATE_REQ_S* req)
{
    std::string call = "migrate " + std::to_string(kind) + "|" + req->devId + "|" + req->tId + "|" + req->data;
    if (req->ssid != nullptr) {
        call += std::string("|") + req->ssid + "|" + req->pwd + "|" + req->iv;
    }
    Called(call);
    return 0;
}

// The Wi-Fi migration parser is registered for no protocol: the table reaches it as protocol 0.
constexpr int kMigrate = 0;

void SetAllSlots()
{
    noxa_ipc_mqt_set_echo_show_cb(EchoShow);
    noxa_ipc_mqt_set_chromecast_cb(Chromecast);
    noxa_ipc_mqt_set_cloud_storage_order_cb(Order);
    noxa_ipc_mqt_set_cloud_storage_event_cb(Event);
    noxa_ipc_mqt_set_doorbell_status_cb(Doorbell);
    noxa_ipc_mqt_set_rtc_msg_cb(Rtc);
    noxa_ipc_mqt_set_ai_detect_storage_cb(AiDetect);
    noxa_ipc_mqt_set_ai_data_sync_cb(FaceSync);
    noxa_ipc_mqt_set_moto_msg_cb(Moto);
    noxa_ipc_mqt_set_wifi_migrate_cb(Migrate);
}

void ClearAllSlots()
{
    noxa_ipc_mqt_set_echo_show_cb(nullptr);
    noxa_ipc_mqt_set_chromecast_cb(nullptr);
    noxa_ipc_mqt_set_cloud_storage_order_cb(nullptr);
    noxa_ipc_mqt_set_cloud_storage_event_cb(nullptr);
    noxa_ipc_mqt_set_doorbell_status_cb(nullptr);
    noxa_ipc_mqt_set_rtc_msg_cb(nullptr);
    noxa_ipc_mqt_set_ai_detect_storage_cb(nullptr);
    noxa_ipc_mqt_set_ai_data_sync_cb(nullptr);
    noxa_ipc_mqt_set_moto_msg_cb(nullptr);
    noxa_ipc_mqt_set_wifi_migrate_cb(nullptr);
}

MQC_PROT_CB HandlerOf(int protocol)
{
    switch (protocol) {
    case 300:
        return noxa_ipc_cloud_storage_order_request_parse;
    case 301:
        return noxa_ipc_3rd_party_streaming_parse;
    case 302:
        return noxa_ipc_rtc_msg_parse;
    case 304:
        return noxa_ipc_local_ai_data_sync_parse;
    case 307:
        return noxa_ipc_cloud_storage_event_request_parse;
    case 308:
        return noxa_ipc_doorbell_status_parse;
    case 312:
        return noxa_ipc_moto_msg_parse;
    case kMigrate:
        return noxa_ipc_wifi_migrate_parse;
    default:
        return nullptr;
    }
}

// The message as the MQTT layer hands it over, freed as soon as the handler returns: a callback
// that kept a pointer into it reads freed memory.
int Handle(int protocol, const std::string& data)
{
    std::string text = "{\"protocol\":" + std::to_string(protocol) + ",\"t\":1700000000";
    if (!data.empty()) {
        text += ",\"data\":" + data;
    }
    text += "}";
    cJSON* root = cJSON_Parse(text.c_str());
    EXPECT_NE(nullptr, root) << text;
    int ret = HandlerOf(protocol)(root);
    cJSON_Delete(root);
    return ret;
}

struct Row {
    int protocol;
    const char* data;  // "data" of the message; nullptr: none
    int result;
    const char* call;  // what the callback got; nullptr: no call
};

class IpcMqt : public ::testing::Test {
protected:
    void SetUp() override
    {
        LogCapture::Install();
        ASSERT_NO_FATAL_FAILURE(mqtlink::InitCore());
        mqtlink::Activate();
    }
    void TearDown() override { ClearAllSlots(); }

    void RunRows(const std::vector<Row>& rows)
    {
        for (const Row& r : rows) {
            SCOPED_TRACE(std::to_string(r.protocol) + " " + (r.data != nullptr ? r.data : "(no data)"));
            EXPECT_EQ(r.result, Handle(r.protocol, r.data != nullptr ? r.data : ""));
            ASSERT_TRUE(mqtlink::WorkerDrained());
            std::vector<std::string> calls = TakeCalls();
            if (r.call == nullptr) {
                EXPECT_TRUE(calls.empty()) << (calls.empty() ? "" : calls.front());
            } else {
                EXPECT_EQ(std::vector<std::string>{r.call}, calls);
            }
        }
    }

    TestSandbox mBox;
};

const std::string kRtcLen = std::to_string(strlen(R"({"sdp":"v=0 o=- 1","to":["a",1]})"));

TEST_F(IpcMqt, EachMessageReachesItsCallbackWithTheValuesItCarries)
{
    SetAllSlots();
    const std::string rtc = "rtc " + mqtlink::kDevId + R"(|{"sdp":"v=0 o=- 1","to":["a",1]}|)" + kRtcLen;
    RunRows({
        // 300: the order slot for store and abort, the AI slot for ai and aiAbort.
        {300, R"({"action":"store"})", 0, "order store|max"},
        {300, R"({"action":"store","storeMode":"event"})", 0, "order store|event"},
        {300, R"({"action":"abort","storeMode":"event"})", 0, "order abort|max"},
        {300, R"({"action":"ai"})", 0, "ai ai|pic"},
        {300, R"({"action":"ai","mode":"video"})", 0, "ai ai|video"},
        {300, R"({"action":"aiAbort"})", 0, "ai aiAbort|"},
        {300, R"({"action":"pause"})", 0, nullptr},
        {300, R"({"storeMode":"event"})", -2, nullptr},
        {300, nullptr, -2, nullptr},
        // 307: "ext" as unformatted JSON text, whatever it is.
        {307, R"({"action":"pic_v","duration":30,"ext":{"a": [1, 2]}})", 0, R"(event pic_v|30|{"a":[1,2]})"},
        {307, R"({"action":"record","duration":0,"ext":"x"})", 0, R"(event record|0|"x")"},
        {307, R"({"duration":30,"ext":{}})", -2, nullptr},
        {307, R"({"action":"pic","ext":{}})", -2, nullptr},
        {307, R"({"action":"pic","duration":30})", -2, nullptr},
        {307, nullptr, -2, nullptr},
        // 304: the number of face ids.
        {304, R"({"action":"add","faceIds":[1,2,3]})", 0, "face add|3"},
        {304, R"({"action":"delete","faceIds":[]})", 0, "face delete|0"},
        {304, R"({"action":"update"})", 0, "face update|0"},
        {304, R"({"action":"delete"})", -2, nullptr},
        {304, R"({"action":"rename","faceIds":[1]})", -2, nullptr},
        // 308: only "ac_doorbell", with the event and the whole "data" as text.
        {308, R"({"type":"ac_doorbell","data":{"event":"accept"}})", 0,
         R"(doorbell accept|{"type":"ac_doorbell","data":{"event":"accept"}})"},
        {308, R"({"type":"doorbell","data":{"event":"accept"}})", 0, nullptr},
        {308, R"({"type":"ac_doorbell"})", -2, nullptr},
        {308, R"({"type":"ac_doorbell","data":{"status":"accept"}})", -2, nullptr},
        {308, R"({"data":{"event":"accept"}})", -2, nullptr},
        // 302: the device id and "data" printed unformatted, not the payload as it came.
        {302, R"({ "sdp" : "v=0 o=- 1",  "to" : [ "a", 1 ] })", 0, rtc.c_str()},
        {302, nullptr, -1, nullptr},
        // 301: the URL to the slot of its protocol.
        {301, R"({"protocol":"EchoShow","url":"rtsp://h/1"})", 0, "echo rtsp://h/1"},
        {301, R"({"protocol":"ChromeCast","url":"rtmp://h/2"})", 0, "cast rtmp://h/2"},
        {301, R"({"protocol":"Miracast","url":"rtsp://h/3"})", -2, nullptr},
        {301, R"({"protocol":"EchoShow"})", -2, nullptr},
        // 312: a copy of "data".
        {312, R"({"header":{"type":"req"},"msg":{"mode":"wg"}})", 0, R"(moto {"header":{"type":"req"},"msg":{"mode":"wg"}})"},
        {312, nullptr, -1, nullptr},
        // Wi-Fi migration: the kind, ids cut to their fields, "data" as text; a connect's
        // credentials.
        {kMigrate, R"({"reqType":"wifiList","tId":"t1","devId":"d1"})", 0,
         R"(migrate 0|d1|t1|{"reqType":"wifiList","tId":"t1","devId":"d1"})"},
        {kMigrate, R"({"reqType":"wifiInfo","tId":"t2","devId":"d2"})", 0,
         R"(migrate 1|d2|t2|{"reqType":"wifiInfo","tId":"t2","devId":"d2"})"},
        {kMigrate, R"({"reqType":"wifiConnect","tId":"t3","devId":"d3","ssid":"home","pwd":"secret99","iv":"iv0"})",
         0,
         R"(migrate 2|d3|t3|{"reqType":"wifiConnect","tId":"t3","devId":"d3","ssid":"home","pwd":"secret99","iv":"iv0"}|home|secret99|iv0)"},
        {kMigrate,
         R"({"reqType":"wifiList","tId":"0123456789abcdef0123456789abcdefXYZ","devId":"0123456789abcdef0123456789"})",
         0,
         R"(migrate 0|0123456789abcdef012345678|0123456789abcdef0123456789abcdef|{"reqType":"wifiList","tId":"0123456789abcdef0123456789abcdefXYZ","devId":"0123456789abcdef0123456789"})"},
        {kMigrate, R"({"reqType":"wifiInfo","tId":"t4"})", -2, nullptr},
        {kMigrate, R"({"reqType":"wifiConnect","tId":"t5","devId":"d5","ssid":"home","iv":"iv0"})", -2, nullptr},
        {kMigrate, R"({"reqType":"wifiReset","tId":"t6","devId":"d6"})", -2, nullptr},
        {kMigrate, R"({"tId":"t7","devId":"d7"})", -2, nullptr},
        {kMigrate, R"({"reqType":"wifiList","devId":"d8"})", -2, nullptr},
        {kMigrate, nullptr, -2, nullptr},
    });
    for (const char* line : {"devId_json is null", "devId or ssid or passwd iv is null", "reqType_json is null",
                             "tid_json is null", "data_json is null"}) {
        EXPECT_TRUE(LogCapture::Logged(line)) << line;
    }
    // The connect line shows the pass phrase masked, in its own field and inside "data".
    EXPECT_TRUE(LogCapture::Logged("pwd:secr***(8)"));
    EXPECT_FALSE(LogCapture::Logged("secret99"));
    EXPECT_EQ(-1, noxa_ipc_rtc_msg_parse(nullptr));
    EXPECT_EQ(-1, noxa_ipc_moto_msg_parse(nullptr));
    EXPECT_TRUE(LogCapture::Logged("root_json is null"));
    EXPECT_TRUE(LogCapture::Logged("data failed"));
}

// A number or a null where a text belongs counts as missing (it once reached strcmp as a null
// string and took the MQTT task down).
TEST_F(IpcMqt, AWronglyTypedItemCountsAsMissing)
{
    SetAllSlots();
    RunRows({
        {300, R"({"action":"store","storeMode":null})", 0, "order store|max"},
        {300, R"({"action":"store","storeMode":5})", 0, "order store|max"},
        {300, R"({"action":"ai","mode":[]})", 0, "ai ai|pic"},
        {300, R"({"action":"aiAbort","mode":false})", 0, "ai aiAbort|"},
        {300, R"({"action":7})", -2, nullptr},
        {300, R"("store")", -2, nullptr},
        {307, R"({"action":null,"duration":30,"ext":{}})", -2, nullptr},
        {307, R"({"action":"pic","duration":"30","ext":{}})", -2, nullptr},
        {307, R"({"action":"pic","duration":30,"ext":null})", -2, nullptr},
        {304, R"({"action":{},"faceIds":[1]})", -2, nullptr},
        {304, R"({"action":"add","faceIds":"1,2"})", -2, nullptr},
        {308, R"({"type":5,"data":{"event":"accept"}})", -2, nullptr},
        {308, R"({"type":"ac_doorbell","data":{"event":null}})", -2, nullptr},
        {308, R"({"type":"ac_doorbell","data":"accept"})", -2, nullptr},
        {301, R"({"protocol":1,"url":"rtsp://h/1"})", -2, nullptr},
        {301, R"({"protocol":"EchoShow","url":null})", -2, nullptr},
        {302, "null", -1, nullptr},
        {312, "null", -1, nullptr},
        {kMigrate, R"({"reqType":1,"tId":"t","devId":"d"})", -2, nullptr},
        {kMigrate, R"({"reqType":"wifiList","tId":5,"devId":"d"})", -2, nullptr},
        {kMigrate, R"({"reqType":"wifiInfo","tId":"t","devId":null})", -2, nullptr},
        {kMigrate, R"({"reqType":"wifiConnect","tId":"t","devId":"d","ssid":"s","pwd":7,"iv":"i"})", -2, nullptr},
        {kMigrate, R"(["wifiList"])", -2, nullptr},
    });
}

// Nobody listens: the message is taken and dropped, except 307, whose sender wants to know.
TEST_F(IpcMqt, WithoutACallbackNothingIsCalled)
{
    RunRows({
        {300, R"({"action":"store"})", 0, nullptr},
        {300, R"({"action":"ai"})", 0, nullptr},
        {307, R"({"action":"pic","duration":30,"ext":{}})", -2005, nullptr},
        {307, nullptr, -2005, nullptr},
        {304, R"({"action":"update"})", 0, nullptr},
        {308, R"({"type":"ac_doorbell","data":{"event":"accept"}})", 0, nullptr},
        {301, R"({"protocol":"EchoShow","url":"rtsp://h/1"})", 0, nullptr},
        {301, R"({"protocol":"ChromeCast","url":"rtmp://h/1"})", 0, nullptr},
        {302, R"({"sdp":"x"})", 0, nullptr},
        {312, R"({"msg":{}})", 0, nullptr},
        {kMigrate, R"({"reqType":"wifiList","tId":"t","devId":"d"})", 0, nullptr},
    });
    for (const char* line : {"cloud storage callback is not registered",
                             "ai_detect_storage_cb callback is not registered",
                             "cloud storage event callback is not registered",
                             "doorbell status callback is not registered", "echo show callback is not registered",
                             "chromecast callback is not registered", "wifi migrate callback is not registered"}) {
        EXPECT_TRUE(LogCapture::Logged(line)) << line;
    }
}

// cJSON's allocator, made to fail on demand once the message is parsed.
bool gFailAlloc = false;
void* MaybeMalloc(size_t n)
{
    return gFailAlloc ? nullptr : malloc(n);
}

// A text that cannot be printed is not passed on as a null.
TEST_F(IpcMqt, AMessageThatCannotBePrintedIsRefused)
{
    SetAllSlots();
    cJSON_Hooks hooks = {MaybeMalloc, free};
    cJSON_InitHooks(&hooks);
    const struct {
        int protocol;
        const char* data;
        int result;
    } rows[] = {
        {302, R"({"sdp":"x"})", -1},
        {307, R"({"action":"pic","duration":3,"ext":{"a":1}})", -1},
        {308, R"({"type":"ac_doorbell","data":{"event":"accept"}})", -1},
        {312, R"({"msg":{"mode":"wg"}})", -3},
    };
    for (const auto& r : rows) {
        std::string text = "{\"protocol\":" + std::to_string(r.protocol) + ",\"data\":" + r.data + "}";
        cJSON* root = cJSON_Parse(text.c_str());
        ASSERT_NE(nullptr, root);
        gFailAlloc = true;
        int ret = HandlerOf(r.protocol)(root);
        gFailAlloc = false;
        cJSON_Delete(root);
        EXPECT_EQ(r.result, ret) << r.protocol;
    }
    cJSON_InitHooks(nullptr);
    ASSERT_TRUE(mqtlink::WorkerDrained());
    EXPECT_TRUE(TakeCalls().empty());
}

// A callback that takes its time holds up neither the handler (the MQTT task, which must go on
// reading PUBACKs) nor the order: the next message's callback waits its turn.
TEST_F(IpcMqt, CallbacksRunOneAtATimeInArrivalOrderOffTheHandlersThread)
{
    static std::mutex gateMutex;
    static std::condition_variable gateCv;
    static bool open = false;
    noxa_ipc_mqt_set_doorbell_status_cb([](const char* event, const char* data) {
        std::unique_lock<std::mutex> lock(gateMutex);
        gateCv.wait_for(lock, std::chrono::seconds(10), [] { return open; });
        return Doorbell(event, data);
    });
    noxa_ipc_mqt_set_cloud_storage_order_cb(Order);
    noxa_ipc_mqt_set_ai_data_sync_cb(FaceSync);

    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(0, Handle(308, R"({"type":"ac_doorbell","data":{"event":"stop"}})"));
    EXPECT_EQ(0, Handle(300, R"({"action":"abort"})"));
    EXPECT_EQ(0, Handle(304, R"({"action":"update"})"));
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500)) << "handlers never wait";
    {
        std::lock_guard<std::mutex> lock(gMutex);
        EXPECT_TRUE(gCalls.empty()) << "nothing overtakes the held doorbell call";
    }
    {
        std::lock_guard<std::mutex> lock(gateMutex);
        open = true;
        gateCv.notify_all();
    }
    ASSERT_TRUE(WaitCalls(3));
    std::lock_guard<std::mutex> lock(gMutex);
    EXPECT_EQ((std::vector<std::string>{R"(doorbell stop|{"type":"ac_doorbell","data":{"event":"stop"}})",
                                        "order abort|max", "face update|0"}),
              gCalls);
    for (const auto& id : gThreads) {
        EXPECT_NE(std::this_thread::get_id(), id);
        EXPECT_EQ(gThreads.front(), id) << "one worker";
    }
}

// The service API sets the hook; the link's start registers the seven protocols once, and each
// message the cloud sends reaches its callback.
TEST(IpcMqtLink, TheStartRegistersTheSevenProtocolsOnce)
{
    TestSandbox box;
    LogCapture::Install();
    NOXA_IPC_INIT_PARAM_S p = {};
    strcpy(p.storage_path, "/DeviceInfo/noxa/");
    strcpy(p.product_key, "abcdefghijklmnop");
    strcpy(p.dev_uuid, "noxa0123456789abcdef");
    strcpy(p.dev_auth_key, "0123456789abcdef0123456789abcdef");
    strcpy(p.dev_sw_version, "1.2.11");
    ASSERT_EQ(0, noxa_ipc_init_sdk(&p));
    ASSERT_NO_FATAL_FAILURE(mqtlink::StartGateway());
    mqtlink::Activate();
    SetAllSlots();
    mqtlink::Link link;
    ASSERT_TRUE(link.Start()) << LogCapture::All();
    mqc_app_init();
    mqc_app_init();
    EXPECT_EQ(1, LogCapture::Count("iot_register_extra_mqt_cb done"));

    const struct {
        int protocol;
        const char* data;
    } sent[] = {
        {301, R"({"protocol":"EchoShow","url":"rtsp://h/1"})"},
        {300, R"({"action":"store"})"},
        {307, R"({"action":"pic","duration":5,"ext":{}})"},
        {304, R"({"action":"update"})"},
        {308, R"({"type":"ac_doorbell","data":{"event":"accept"}})"},
        {302, R"({"sdp":"x"})"},
        {312, R"({"msg":{"mode":"wg"}})"},
    };
    for (const auto& s : sent) {
        link.Cloud().Send(s.protocol, s.data);
    }
    ASSERT_TRUE(WaitCalls(7)) << LogCapture::All();
    std::lock_guard<std::mutex> lock(gMutex);
    EXPECT_EQ((std::vector<std::string>{
                  "echo rtsp://h/1", "order store|max", "event pic|5|{}", "face update|0",
                  R"(doorbell accept|{"type":"ac_doorbell","data":{"event":"accept"}})",
                  "rtc " + mqtlink::kDevId + R"(|{"sdp":"x"}|11)", R"(moto {"msg":{"mode":"wg"}})"}),
              gCalls);
    EXPECT_FALSE(LogCapture::Logged("has no handler"));
    ClearAllSlots();
}

}  // namespace
