// The moto registry: module entries, routing by "mode", the device topic it books and the moto
// topics it publishes on, against a broker of the test's own with the cloud's client on it.
#include "mqt_link.h"
#include "noxa_ipc_sdk/moto_mqtt/noxa_ipc_moto_mqtt.h"
#include "noxa_ipc_sdk/noxa_ipc_mqt_proccess.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

std::mutex gMutex;
std::vector<std::string> gGot;  // "<module> <message printed>"

void Got(const std::string& module, cJSON* msg)
{
    char* text = cJSON_PrintUnformatted(msg);
    std::lock_guard<std::mutex> lock(gMutex);
    gGot.push_back(module + " " + (text != nullptr ? text : "?"));
    cJSON_free(text);
}

std::vector<std::string> TakeGot()
{
    std::lock_guard<std::mutex> lock(gMutex);
    std::vector<std::string> out;
    out.swap(gGot);
    return out;
}

int First(cJSON* msg)
{
    Got("first", msg);
    return 0;
}
int Second(cJSON* msg)
{
    Got("second", msg);
    return 7;
}
int Third(cJSON* msg)
{
    Got("third", msg);
    return 0;
}

int Route(const char* text)
{
    cJSON* msg = cJSON_Parse(text);
    int ret = MotoMqttMessage(msg);
    cJSON_Delete(msg);
    return ret;
}

class Moto : public ::testing::Test {
protected:
    void SetUp() override
    {
        LogCapture::Install();
        ASSERT_NO_FATAL_FAILURE(mqtlink::InitCore());
        ASSERT_NO_FATAL_FAILURE(mqtlink::StartGateway());
        // What the service API's init does before the link can start.
        mqc_app_set_extra_reg_hook(noxa_ipc_register_extra_mqt_cb);
        mMoto = GetMotoMqttInstance();
        ASSERT_NE(nullptr, mMoto);
    }

    TestSandbox mBox;
    MOTO_MQTT_S* mMoto = nullptr;
};

TEST_F(Moto, ModulesAreFoundByTheirExactNameAndKeepTheirFirstCallback)
{
    EXPECT_EQ(1u, mMoto->inited);
    EXPECT_EQ(mMoto, GetMotoMqttInstance()) << "one registry";
    EXPECT_EQ(0, mMoto->ops.MotoMqttInit());
    const std::string name15(15, 'm');
    EXPECT_EQ(-2, mMoto->ops.MotoModuleRegist(std::string(16, 'm').c_str(), First));
    EXPECT_EQ(-2, mMoto->ops.MotoModuleRegist("", First));
    EXPECT_EQ(-2, mMoto->ops.MotoModuleRegist(nullptr, First));
    EXPECT_EQ(-2, mMoto->ops.MotoModuleRegist("wg", nullptr));
    EXPECT_TRUE(LogCapture::Logged("param err"));
    EXPECT_EQ(0, mMoto->ops.MotoModuleRegist(name15.c_str(), First));
    EXPECT_EQ(0, mMoto->ops.MotoModuleRegist("wg", Second));
    EXPECT_EQ(-1, mMoto->ops.MotoModuleRegist("webrtc", Third)) << "two entries";
    EXPECT_EQ(0, mMoto->ops.MotoModuleRegist("wg", Third)) << "a known name";

    const struct {
        const char* msg;
        int result;
        const char* got;  // nullptr: nobody
        const char* log;
    } rows[] = {
        {R"({"header":{"sessionId":"s1"},"msg":{"mode":"wg","host":"h"}})", 7,
         R"(second {"header":{"sessionId":"s1"},"msg":{"mode":"wg","host":"h"}})", nullptr},
        {R"({"msg":{"mode":"mmmmmmmmmmmmmmm"}})", 0, R"(first {"msg":{"mode":"mmmmmmmmmmmmmmm"}})", nullptr},
        {R"({"msg":{"mode":"WG"}})", -1, nullptr, "no module recv the msg"},
        {R"({"msg":{"mode":"w"}})", -1, nullptr, "no module recv the msg"},
        {R"({"msg":{"mode":"webrtc"}})", -1, nullptr, "no module recv the msg"},
        {R"({"msg":{"mode":5}})", -2, nullptr, "No mode in msg"},
        {R"({"msg":{}})", -2, nullptr, "No mode in msg"},
        {R"({"header":{}})", -2, nullptr, "No msg in message"},
        {"null", -2, nullptr, "No msg in message"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.result, Route(r.msg)) << r.msg;
        std::vector<std::string> got = TakeGot();
        if (r.got == nullptr) {
            EXPECT_TRUE(got.empty()) << r.msg;
        } else {
            EXPECT_EQ(std::vector<std::string>{r.got}, got) << r.msg;
        }
        if (r.log != nullptr) {
            EXPECT_TRUE(LogCapture::Logged(r.log)) << r.log;
        }
    }
    EXPECT_EQ(-2, MotoMqttMessage(nullptr));
    EXPECT_TRUE(LogCapture::Logged("null mqtt message"));
}

// The registry is the protocol-312 callback: a message reaches its module on the ordered worker,
// whole and after the message it came in was freed.
TEST_F(Moto, AProtocol312MessageReachesItsModule)
{
    ASSERT_EQ(0, mMoto->ops.MotoModuleRegist("wg", First));
    cJSON* root = cJSON_Parse(R"({"protocol":312,"t":1,"data":{"header":{"type":"stop"},"msg":{"mode":"wg"}}})");
    EXPECT_EQ(0, noxa_ipc_moto_msg_parse(root));
    cJSON_Delete(root);
    ASSERT_TRUE(mqtlink::WorkerDrained());
    EXPECT_EQ(std::vector<std::string>{R"(first {"header":{"type":"stop"},"msg":{"mode":"wg"}})"}, TakeGot());
}

// Before the activation there is no device id: no topic is built, so none stays "/av/d/" for good.
// Booked offline, the topic is subscribed when the link comes up, and every booking subscribes it
// again: the broker hands a retained message with each SUBSCRIBE, and the unit drops the copies
// after the first as repeats.
TEST_F(Moto, TheDeviceTopicWaitsForTheDeviceIdAndEveryBookingSubscribesAgain)
{
    ASSERT_EQ(0, mMoto->ops.MotoModuleRegist("wg", First));
    EXPECT_EQ(-1, mMoto->ops.MotoMqttBookTopicForce());
    EXPECT_STREQ("", mMoto->topic);
    EXPECT_EQ(0u, mMoto->topicBooked.load());
    cJSON* data = cJSON_Parse(R"({"x":1})");
    EXPECT_EQ(-1, mMoto->ops.MotoPublishMqttMsg("m1", 312, data)) << "no device id yet";

    mqtlink::Activate();
    EXPECT_EQ(0, mMoto->ops.MotoMqttBookTopicForce()) << "offline: booked for the link's start";
    const std::string topic = "/av/d/" + mqtlink::kDevId;
    EXPECT_EQ(topic, mMoto->topic);
    EXPECT_EQ(mqtlink::kDevId, mMoto->devId);
    EXPECT_EQ(1u, mMoto->topicBooked.load());

    mqtlink::Link link;
    ASSERT_TRUE(link.Start()) << LogCapture::All();
    // Retained: the broker keeps it for every later SUBSCRIBE.
    link.Cloud().Send(312, R"({"header":{"n":1},"msg":{"mode":"wg"}})", topic, true);
    bool live = false;
    for (int i = 0; i < 500 && !live; ++i) {
        live = !TakeGot().empty();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(live) << "the topic was subscribed when the link came up\n" << LogCapture::All();
    const std::string repeat = "mqtt message dropped: sequence 1 not above 1";
    EXPECT_EQ(0, LogCapture::Count(repeat));
    for (int n = 1; n <= 2; ++n) {
        EXPECT_EQ(0, mMoto->ops.MotoMqttBookTopicForce());
        bool again = false;
        for (int i = 0; i < 500 && !again; ++i) {
            again = LogCapture::Count(repeat) >= n;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(again) << "booking " << n << " sent no SUBSCRIBE\n" << LogCapture::All();
    }
    EXPECT_EQ(3, LogCapture::Count("book topic done")) << "offline, then twice online";
    ASSERT_TRUE(mqtlink::WorkerDrained());
    EXPECT_TRUE(TakeGot().empty()) << "repeats never reach the module";
    cJSON_Delete(data);
}

// Answers go to "/av/moto/<motoId>/d/<devId>" as protocol 312; a moto id of 17 characters, or
// one that would make a wildcard topic, is refused before anything is sent.
TEST_F(Moto, AnswersArePublishedOnTheMotoTopic)
{
    mqtlink::Activate();
    mqtlink::Link link;
    ASSERT_TRUE(link.Start()) << LogCapture::All();
    link.Cloud().Subscribe("/av/moto/+/d/" + mqtlink::kDevId);
    const std::string id16 = "moto0123456789ab";
    ASSERT_EQ(16u, id16.size());
    cJSON* data = cJSON_Parse(R"({"header":{"type":"answer"},"msg":{"code":200}})");
    for (const char* bad : {"moto0123456789abc", "", "m+", "m#", "m/x"}) {
        EXPECT_EQ(-2, mMoto->ops.MotoPublishMqttMsg(bad, 312, data)) << bad;
    }
    EXPECT_TRUE(LogCapture::Logged("MotoId too len, id:moto0123456789abc"));
    EXPECT_EQ(-2, mMoto->ops.MotoPublishMqttMsg(nullptr, 312, data));
    EXPECT_EQ(-2, mMoto->ops.MotoPublishMqttMsg("m1", 312, nullptr));
    EXPECT_EQ(0, mMoto->ops.MotoPublishMqttMsg(id16.c_str(), 312, data));
    cJSON_Delete(data);

    ASSERT_TRUE(link.Cloud().WaitCount(1));
    auto all = link.Cloud().All();
    ASSERT_EQ(1u, all.size()) << "nothing of the refused ones";
    EXPECT_EQ("/av/moto/" + id16 + "/d/" + mqtlink::kDevId, all[0].topic);
    cloudpeer::Decoded d = cloudpeer::Open(all[0].payload.data(), all[0].payload.size(), mqtlink::kKey);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(312, d.protocol);
    EXPECT_EQ(R"({"header":{"type":"answer"},"msg":{"code":200}})", d.data);
    EXPECT_TRUE(LogCapture::Logged("Send mqtt to topic:/av/moto/" + id16 + "/d/" + mqtlink::kDevId));
}

}  // namespace
