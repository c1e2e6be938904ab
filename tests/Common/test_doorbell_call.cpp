// The motion push and the doorbell call tracking. With the service API's work recorded here, on
// the timer task's ticks and the test clock: alarms 30 s apart give one push, an empty snapshot
// sends nothing but starts the cool-down, the human filter, a 150 KB snapshot sent whole, and the
// call's states (press, unanswered, message, accept, heartbeat, stop) with expiries that raced a
// stop or a new arming. Against the local cloud in this process: the phone's accept on protocol
// 308 answered at once with "ipc_connected", and a motion's 115 whose picture tools/phone decrypts.
#include "DeviceState.h"
#include "DoorPhoneLinks.h"
#include "DoorbellCall.h"
#include "NoxaApp.h"
#include "NoxaSettings.h"
#include "TimeTask.h"
#include "cloud_peer.h"
#include "cloud_unit.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"
#include "noxa_ipc_sdk/noxa_ipc_api.h"
#include "noxa_ipc_sdk/noxa_ipc_mqt_proccess.h"
#include "noxa_ipc_sdk/noxa_ipc_notification.h"
#include "phone_cli.h"
#include "sandbox.h"
#include "../noxa_iot_sdk/log_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <memory>
#include <optional>
#include <random>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct Sent {
    std::string what;  // "43 etype file", "115 type", "185 name"
    std::string bytes;
};

std::mutex gSentLock;
std::vector<Sent> gSent;
std::atomic<int> gMotionFlag{0};
std::atomic<int> gVideoMsgResult{-1};
std::vector<uint32_t> gSleeps;
// The picture the armed capture writes during the push's first wait of a second (none: the
// capture never comes), and where.
std::optional<std::string> gCapture;
std::string gSnapshotPath;

void Record(const std::string& what, const char* data, uint32_t size)
{
    std::lock_guard<std::mutex> lock(gSentLock);
    gSent.push_back({what, data != nullptr ? std::string(data, size) : std::string()});
}

std::vector<Sent> Take()
{
    DoorbellCallWaitIdle();
    std::lock_guard<std::mutex> lock(gSentLock);
    auto out = gSent;
    gSent.clear();
    return out;
}

std::string Picture(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) {
        c = static_cast<char>(rng());
    }
    s[0] = static_cast<char>(0xFF);
    s[1] = static_cast<char>(0xD8);
    return s;
}

class DoorbellCallTest : public testing::Test {
protected:
    void SetUp() override
    {
        mSaved = gNoxaIpcOps;
        gNoxaIpcOps.door_bell_press = [](const char* etype, uint32_t, const char* file) {
            Record(std::string("43 ") + etype + " " + file, nullptr, 0);
            return 0;
        };
        gNoxaIpcOps.motion_notify = [](const char* data, uint32_t size, const char* type) {
            Record(std::string("115 ") + type, data, size);
            return 0;
        };
        gNoxaIpcOps.generic_notify = [](const NOXA_NOTIFICATION_S* n) {
            Record("185 " + std::string(notification_name_text(n->name)), n->files[0].data, n->files[0].size);
            return 0;
        };
        gNoxaIpcOps.leave_video_msg = [](const uint8_t*, uint32_t) { return gVideoMsgResult.load(); };
        gDoorPhoneLinks.TakeMotionFlag = [] { return gMotionFlag.exchange(0); };
        gMdSleep = [](uint32_t ms) {
            gSleeps.push_back(ms);
            if (ms == 1000 && gCapture) {
                std::ofstream(gSnapshotPath, std::ios::binary) << *gCapture;
                gCapture.reset();
            }
        };
        gSleeps.clear();
        gCapture.reset();
        gSnapshotPath = mBox.Path("/dev/demo_snapshot.jpg");
        gMotionFlag = 0;
        gVideoMsgResult = -1;
        Take();
        if (mFakeClock) {
            mClock = std::make_unique<UniTestClock>();
        }
        noxa_ipc_api_reset_state();
        TimeTaskInit();
        gDeviceState.AlarmSetting = 1;
        snprintf(gDemoResourceDir, sizeof(gDemoResourceDir), "%s", "/demo");
    }
    void TearDown() override
    {
        DoorbellCallWaitIdle();
        gNoxaIpcOps = mSaved;
        gDoorPhoneLinks.TakeMotionFlag = nullptr;
    }
    // Seconds of the timer task, and of the monotonic clock the service's spacing reads.
    void Pass(int seconds)
    {
        for (int i = 0; i < seconds * 100; ++i) {
            TimeTaskTick();
        }
        if (mClock) {
            mClock->Advance(static_cast<uint64_t>(seconds) * 1000);
        }
    }
    // The next motion snapshot the encoder writes.
    static void Captures(const std::string& pic) { gCapture = pic; }
    int Alarm()
    {
        gMotionFlag = 1;
        const int taken = MdProcPass();
        EXPECT_EQ(0, gMotionFlag.load()) << "the flag is read and cleared";
        return taken;
    }

    TestSandbox mBox;
    bool mFakeClock = true;  // the cloud's suites run on the real clock (the link's time-outs read it)
    std::unique_ptr<UniTestClock> mClock;
    NOXA_IPC_API_OPS_S mSaved;
};

}  // namespace

// An alarm during the minute's cool-down is dropped (and its flag cleared); after it, the next
// one goes.
TEST_F(DoorbellCallTest, AlarmsThirtySecondsApartGiveOnePush)
{
    const std::string pic = Picture(5000, 1);
    Captures(pic);
    EXPECT_EQ(0, MdProcPass()) << "no alarm, nothing to do";
    EXPECT_EQ(1, Alarm());
    auto sent = Take();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ("115 jpeg", sent[0].what);
    EXPECT_TRUE(sent[0].bytes == pic);
    Pass(30);
    EXPECT_EQ(0, Alarm());
    EXPECT_TRUE(Take().empty());
    Pass(30);
    Captures(pic);
    EXPECT_EQ(1, Alarm());
    EXPECT_EQ(1u, Take().size());
}

// A snapshot that never comes: six waits of a second, nothing sent, the cool-down all the same.
// The same with the alarm setting off, a snapshot there.
TEST_F(DoorbellCallTest, EmptySnapshotSendsNothingButStartsTheCooldown)
{
    EXPECT_EQ(1, Alarm());
    EXPECT_EQ((std::vector<uint32_t>{100, 1000, 1000, 1000, 1000, 1000, 1000}), gSleeps);
    EXPECT_TRUE(Take().empty());
    EXPECT_EQ(kMdCooldownTicks, gDeviceState.MotionCooldownTimer.load());
    Captures("");
    Pass(60);
    EXPECT_EQ(1, Alarm());
    EXPECT_TRUE(Take().empty()) << "an empty file is no picture";
    Pass(60);
    Captures(Picture(100, 2));
    gDeviceState.AlarmSetting = 0;
    EXPECT_EQ(1, Alarm());
    EXPECT_TRUE(Take().empty());
    EXPECT_EQ(kMdCooldownTicks, gDeviceState.MotionCooldownTimer.load());
}

// With the human filter on the push is the "ipc_human" event; a 150 KB snapshot goes whole (the
// push's buffer is 1 MB); the recording hook reads pictures below 102400 bytes only and never
// gives a size without its bytes.
TEST_F(DoorbellCallTest, HumanFilterAndSnapshotSizes)
{
    const std::string big = Picture(150 * 1024, 3);
    Captures(big);
    IPC_APP_set_human_filter(1);
    EXPECT_EQ(1, Alarm());
    auto sent = Take();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ("185 ipc_human", sent[0].what);
    EXPECT_TRUE(sent[0].bytes == big) << sent[0].bytes.size();
    IPC_APP_set_human_filter(0);
    Pass(60);
    Captures(big);
    EXPECT_EQ(1, Alarm());
    sent = Take();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ("115 jpeg", sent[0].what);
    EXPECT_EQ(big.size(), sent[0].bytes.size());
    EXPECT_TRUE(sent[0].bytes == big);

    for (size_t n : {size_t{102399}, size_t{102400}, size_t{150 * 1024}}) {
        SCOPED_TRACE(n);
        const std::string pic = Picture(n, 4);
        mBox.Write("/dev/demo_snapshot.jpg", pic);
        std::vector<char> buf(kCallSnapshotMax);
        int size = -1;
        const int ret = IPC_APP_read_snapshot(buf.data(), &size);
        if (n < kCallSnapshotMax) {
            EXPECT_EQ(0, ret);
            ASSERT_EQ(static_cast<int>(n), size);
            EXPECT_TRUE(std::string(buf.data(), n) == pic);
        } else {
            EXPECT_EQ(-1, ret);
            EXPECT_EQ(0, size);
        }
    }
    mBox.Write("/dev/demo_snapshot.jpg", "");
    std::remove(mBox.Path("/dev/demo_snapshot.jpg").c_str());
    int size = -1;
    char one[1];
    EXPECT_EQ(-1, IPC_APP_read_snapshot(one, &size));
    EXPECT_EQ(0, size);
}

// A push sends only its own capture: the previous snapshot is removed before the capture is
// armed, so a capture that never comes sends nothing (not the old picture again); the new one
// stays for the cloud's picture trigger; the push prints its real result (a 200 KB picture is
// refused by the motion notification).
TEST_F(DoorbellCallTest, APushSendsOnlyItsOwnCaptureAndPrintsItsResult)
{
    mBox.Write("/dev/demo_snapshot.jpg", Picture(4000, 11));  // an earlier alarm's
    EXPECT_EQ(1, Alarm());
    EXPECT_TRUE(Take().empty()) << "the previous picture was pushed again";
    EXPECT_FALSE(mBox.Exists("/dev/demo_snapshot.jpg"));
    const struct {
        size_t size;
        const char* printed;
        size_t sent;
    } rows[] = {{6000, "Send Msg to cloud 0", 1}, {200 * 1024, "Send Msg to cloud -2", 0}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.size);
        Pass(60);
        const std::string pic = Picture(r.size, 12);
        Captures(pic);
        testing::internal::CaptureStdout();
        EXPECT_EQ(1, Alarm());
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos, out.find(r.printed)) << out;
        EXPECT_EQ(r.sent, Take().size());
        EXPECT_TRUE(mBox.Read("/dev/demo_snapshot.jpg") == pic) << "the new picture stays for the picture trigger";
    }
}

// The call's road: answers while idle change nothing; a press (event alone, 25 s); nobody answers
// ("ipc_unconnected", 6 s for a message); a second press starts the message (6 s); then a call
// taken: "ipc_connected", 30 s renewed by each heartbeat, ended by stop; another taken by any
// other text and ended by its time-out.
TEST_F(DoorbellCallTest, PressMachine)
{
    const std::string pic = Picture(3000, 5);
    mBox.Write("/demo/resource/media/demo_snapshot.jpg", pic);
    for (const char* answer : {"accept", "heartbeat", "stop", "whatever"}) {
        DoorbellStatusHandle(answer);
        const auto v = DoorbellCallView();
        EXPECT_EQ(DOORBELL_IDLE, v.state) << answer;
        EXPECT_EQ(0u, v.pressed) << answer;
    }
    EXPECT_TRUE(Take().empty());

    DoorbellPress();
    auto v = DoorbellCallView();
    EXPECT_EQ(1u, v.pressed);
    EXPECT_EQ(pic.size(), v.snapshotSize);
    EXPECT_GT(v.remainingMs, 24000u);
    EXPECT_LE(v.remainingMs, 25000u);
    auto sent = Take();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ("43 ac_doorbell ", sent[0].what);
    DoorbellPress();  // pressed already: nothing more
    EXPECT_TRUE(Take().empty());

    DoorbellTimerExpired();
    v = DoorbellCallView();
    EXPECT_EQ(DOORBELL_WAIT_MSG, v.state);
    EXPECT_EQ(0u, v.pressed);
    EXPECT_GT(v.remainingMs, 5000u);
    EXPECT_LE(v.remainingMs, 6000u);
    sent = Take();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ("185 ipc_unconnected", sent[0].what);
    EXPECT_TRUE(sent[0].bytes == pic);
    DoorbellStatusHandle("accept");  // not pressed any more: too late
    EXPECT_EQ(DOORBELL_WAIT_MSG, DoorbellCallView().state);

    DoorbellPress();  // the message cannot start: still waiting
    EXPECT_EQ(DOORBELL_WAIT_MSG, DoorbellCallView().state);
    gVideoMsgResult = 0;
    DoorbellPress();
    EXPECT_EQ(DOORBELL_RECORDING, DoorbellCallView().state);
    DoorbellPress();  // recording: ignored
    EXPECT_EQ(DOORBELL_RECORDING, DoorbellCallView().state);
    DoorbellTimerExpired();
    EXPECT_EQ(DOORBELL_IDLE, DoorbellCallView().state);
    EXPECT_TRUE(Take().empty());

    DoorbellPress();
    Take();
    DoorbellStatusHandle("accept");
    v = DoorbellCallView();
    EXPECT_EQ(DOORBELL_TALKING, v.state);
    EXPECT_GT(v.remainingMs, 29000u);
    sent = Take();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ("185 ipc_connected", sent[0].what);
    // The heartbeat renews the 30 s: wait until some of them have gone, then renew.
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (DoorbellCallView().remainingMs > 29500 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_LE(DoorbellCallView().remainingMs, 29500u);
    DoorbellStatusHandle("heartbeat");
    EXPECT_GT(DoorbellCallView().remainingMs, 29500u);
    DoorbellStatusHandle("stop");
    v = DoorbellCallView();
    EXPECT_EQ(DOORBELL_IDLE, v.state);
    EXPECT_EQ(0u, v.pressed);
    EXPECT_EQ(0u, v.remainingMs);

    DoorbellPress();
    DoorbellStatusHandle("hello");
    EXPECT_EQ(DOORBELL_TALKING, DoorbellCallView().state);
    DoorbellTimerExpired();
    v = DoorbellCallView();
    EXPECT_EQ(DOORBELL_IDLE, v.state);
    EXPECT_EQ(0u, v.pressed);
    EXPECT_EQ((std::vector<std::string>{"43 ac_doorbell ", "185 ipc_connected"}),
              [] {
                  std::vector<std::string> w;
                  for (const auto& s : Take()) {
                      w.push_back(s.what);
                  }
                  return w;
              }());
}

// The timer's thread may take its expiry just as a stop or a new arming comes: such an expiry
// acts on nothing. Then the real timer (run 1000 times faster) from press to idle.
TEST_F(DoorbellCallTest, ExpiriesThatRacedAndTheRealTimer)
{
    mBox.Write("/demo/resource/media/demo_snapshot.jpg", Picture(2000, 6));
    DoorbellPress();
    DoorbellStatusHandle("accept");
    DoorbellTimerCb(sigval{});  // the 25 s expiry, late behind the accept's arming
    EXPECT_EQ(DOORBELL_TALKING, DoorbellCallView().state);
    DoorbellStatusHandle("stop");
    DoorbellTimerCb(sigval{});  // the 30 s expiry, late behind the stop
    auto v = DoorbellCallView();
    EXPECT_EQ(DOORBELL_IDLE, v.state);
    EXPECT_EQ(0u, v.pressed);
    std::vector<std::string> what;
    for (const auto& s : Take()) {
        what.push_back(s.what);
    }
    EXPECT_EQ((std::vector<std::string>{"43 ac_doorbell ", "185 ipc_connected"}), what);

    gCallTimerSpeedup = 1000;
    DoorbellPress();
    bool unconnected = false;
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!unconnected && std::chrono::steady_clock::now() < end) {
        for (const auto& s : Take()) {
            unconnected = unconnected || s.what == "185 ipc_unconnected";
        }
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(unconnected);
    while (DoorbellCallView().state != DOORBELL_IDLE && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(DOORBELL_IDLE, DoorbellCallView().state);
    gCallTimerSpeedup = 1;
}

namespace {

std::atomic<int> gOnline{0};
std::atomic<int64_t> gHandlerUs{-1};
const NOXA_IOT_CBS_S kCbs = {};

// "file PATH key KEY" of the first notification of dp `dp` (and `cmd`), "" when none yet.
std::string FileOf(const std::string& list, int dp, const std::string& cmd)
{
    size_t at = 0;
    while ((at = list.find(" dp " + std::to_string(dp) + " ", at)) != std::string::npos) {
        const size_t eol = list.find('\n', at);
        const std::string line = list.substr(at, eol == std::string::npos ? std::string::npos : eol - at);
        at = eol;
        if (!cmd.empty() && line.find(" cmd " + cmd + " ") == std::string::npos) {
            continue;
        }
        const size_t f = line.find(" file ");
        if (f != std::string::npos) {
            return line.substr(f + 6, line.find(' ', f + 6) - f - 6);
        }
    }
    return "";
}

class DoorbellCloud : public DoorbellCallTest {
protected:
    void SetUp() override
    {
        LogCapture::Install();
        mFakeClock = false;
        DoorbellCallTest::SetUp();
        gNoxaIpcOps = mSaved;  // the real service: uploads and messages to the local cloud
        mCloud = std::make_unique<CloudPeer>(mBox.Root());
        ASSERT_NE(mCloud->Command("stores").rfind("s3 ", 0), std::string::npos) << mCloud->Log();
        // The video-message service's part of protocol 308: the answer to the call tracking.
        ASSERT_EQ(0, mqc_app_register_cb(PRO_DOORBELL_ANSWER, [](cJSON* root) {
            const cJSON* data = cJSON_GetObjectItemCaseSensitive(root, "data");
            const cJSON* inner = cJSON_GetObjectItemCaseSensitive(data, "data");
            const cJSON* event = cJSON_GetObjectItemCaseSensitive(inner, "event");
            const auto t0 = std::chrono::steady_clock::now();
            DoorbellStatusHandle(cJSON_IsString(event) ? event->valuestring : "");
            gHandlerUs = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0)
                             .count();
            return 0;
        }));
        ASSERT_NO_FATAL_FAILURE(StartCloudUnit(&kCbs, [](uint8_t st) { gOnline = st == STAT_CLOUD_CONN; }));
        ASSERT_TRUE(StartActivation(mCloud->Pair()));
        for (int i = 0; i < 600 && gOnline == 0; ++i) {
            std::this_thread::sleep_for(50ms);
        }
        ASSERT_EQ(1, gOnline.load()) << mCloud->Log();
    }
    void TearDown() override
    {
        DoorbellCallWaitIdle();
        mqc_app_stop();
        DoorbellCallTest::TearDown();
    }
    std::string WaitFile(int dp, const std::string& cmd)
    {
        for (int i = 0; i < 300; ++i) {
            std::string f = FileOf(mCloud->Command("notifications"), dp, cmd);
            if (!f.empty()) {
                return f;
            }
            std::this_thread::sleep_for(100ms);
        }
        return "";
    }

    // The door pressed with `pic` as its snapshot, its event at the cloud, then the phone's 308
    // accept: the name of the "ipc_connected" notification's picture ("" when none came).
    std::string PressAndAccept(const std::string& pic)
    {
        mBox.Write("/demo/resource/media/demo_snapshot.jpg", pic);
        DoorbellPress();
        for (int i = 0; i < 100 && mCloud->Command("events").find("ac_doorbell") == std::string::npos; ++i) {
            std::this_thread::sleep_for(100ms);
        }
        EXPECT_NE(std::string::npos, mCloud->Command("events").find("\"etype\":\"ac_doorbell\"")) << mCloud->Log();
        auto [rc, out] =
            PhoneCli(mBox.Root(), "send 308 '{\"type\":\"ac_doorbell\",\"data\":{\"event\":\"accept\"}}'");
        EXPECT_EQ(0, rc) << out;
        return WaitFile(185, "ipc_connected");
    }

    std::unique_ptr<CloudPeer> mCloud;
};

}  // namespace

// The phone takes the call: its 308 reaches the call tracking on the MQTT task, which answers at
// once; the "ipc_connected" event (its picture uploaded, its message waiting for a PUBACK that
// only that task reads) goes out on the worker. No publish times out.
TEST_F(DoorbellCloud, AcceptOnProtocol308AnswersAtOnceAndConnects)
{
    const std::string pic = Picture(20000, 7);
    const std::string file = PressAndAccept(pic);
    ASSERT_FALSE(file.empty()) << mCloud->Command("notifications") << mCloud->Log();
    EXPECT_GE(gHandlerUs.load(), 0);
    EXPECT_LT(gHandlerUs.load(), 100000) << "the handler on the MQTT task returns at once";
    EXPECT_EQ(DOORBELL_TALKING, DoorbellCallView().state);
    auto [prc, plain] = PhoneCli(mBox.Root(), "pic noxa-detect/" + file);
    EXPECT_EQ(0, prc) << plain;
    EXPECT_TRUE(plain == pic) << plain.size() << " bytes";
    DoorbellCallWaitIdle();
    EXPECT_FALSE(LogCapture::Logged("qos1 package timeout")) << LogCapture::All();
}

// The same accept through the camera protocols' own 308 parser: it parses on the MQTT task and
// hands the event to the doorbell slot on the ordered worker, whose wrapper is the call tracking.
TEST_F(DoorbellCloud, AcceptThroughTheProtocolParserAnswersAtOnce)
{
    ASSERT_EQ(0, mqc_app_register_cb(PRO_DOORBELL_ANSWER, [](cJSON* root) {
        const auto t0 = std::chrono::steady_clock::now();
        const int ret = noxa_ipc_doorbell_status_parse(root);
        gHandlerUs =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
        return ret;
    }));
    static std::atomic<int> slotCalls{0};
    noxa_ipc_mqt_set_doorbell_status_cb([](const char* event, const char*) {
        ++slotCalls;
        DoorbellStatusHandle(event);
        return 0;
    });
    ASSERT_FALSE(PressAndAccept(Picture(20000, 9)).empty()) << mCloud->Command("notifications") << mCloud->Log();
    EXPECT_EQ(1, slotCalls.load());
    EXPECT_GE(gHandlerUs.load(), 0);
    EXPECT_LT(gHandlerUs.load(), 100000) << "the parser on the MQTT task returns at once";
    EXPECT_EQ(DOORBELL_TALKING, DoorbellCallView().state);
    DoorbellCallWaitIdle();
    noxa_ipc_mqt_set_doorbell_status_cb(nullptr);
    EXPECT_FALSE(LogCapture::Logged("qos1 package timeout")) << LogCapture::All();
}

// Alarm on, one motion: a 115 whose picture the phone decrypts to the snapshot's bytes.
TEST_F(DoorbellCloud, MotionPushIsAPictureThePhoneDecrypts)
{
    const std::string pic = Picture(30000, 8);
    Captures(pic);
    ASSERT_EQ(1, Alarm());
    const std::string file = WaitFile(115, "");
    ASSERT_FALSE(file.empty()) << mCloud->Command("notifications") << mCloud->Log();
    auto [rc, plain] = PhoneCli(mBox.Root(), "pic noxa-detect/" + file);
    EXPECT_EQ(0, rc) << plain;
    EXPECT_TRUE(plain == pic) << plain.size() << " bytes";
}
