// Viewer events as the transfer module raises them: the answers written into their records, the
// playback and download links, the door-phone state, the bus orders and the 74HC595, and the
// talk-back voice on the speaker.
#include "door_phone_util.h"

#include "DoorPhoneLinks.h"
#include "NoxaP2p.h"
#include "Peripheral.h"
#include "TalkBack.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"
#include "platform/mi/mi_sim.h"

#include <array>
#include <vector>

namespace {

// What the fakes of the module and of the playback side saw.
struct Seen {
    int clients = 1;
    int watching = 0;  // after the stopping viewer's own mark is cleared
    std::vector<uint32_t> finished;
    std::vector<std::string> calls;
    int startResult = 0;
    int preResult = 0;
    int dlStartResult = 0;
    int owner = -1;
};
Seen* gSeen = nullptr;

using Words = std::array<uint32_t, 8>;

class NoxaP2p : public DoorPhoneTest {
protected:
    void SetUp() override
    {
        DoorPhoneTest::SetUp();
        gSeen = &mSeen;
        mSavedModule = gNoxaP2pModule;
        gNoxaP2pModule.OnlineClientCount = [] { return gSeen->clients; };
        gNoxaP2pModule.WatchingClientCount = [] { return gSeen->watching; };
        gNoxaP2pModule.PlaybackSendFinish = [](uint32_t c) {
            gSeen->finished.push_back(c);
            return 0;
        };
        gNoxaP2pLinks = NOXA_P2P_LINKS_S{};
        NoxaP2pResetForTest();
    }
    void TearDown() override
    {
        gNoxaP2pLinks = NOXA_P2P_LINKS_S{};
        gNoxaP2pModule = mSavedModule;
        gSeen = nullptr;
        DoorPhoneTest::TearDown();
    }
    // Raises an event with its record, answered with `rc`; the record as answered.
    static Words Event(int code, Words w = {}, int rc = 0)
    {
        testing::internal::CaptureStdout();
        EXPECT_EQ(rc, __NOXA_APP_p2p_event_cb(static_cast<NOXA_P2P_EVENT_E>(code), w.data())) << code;
        testing::internal::GetCapturedStdout();
        return w;
    }
    static void PlaybackLinks()
    {
        gNoxaP2pLinks.PbOwner = [] { return gSeen->owner; };
        gNoxaP2pLinks.PbStart = [](uint8_t slot, uint32_t play, uint32_t start, uint32_t end) {
            gSeen->calls.push_back("start " + std::to_string(slot) + " " + std::to_string(play) + " " +
                                   std::to_string(start) + " " + std::to_string(end));
            return gSeen->startResult;
        };
        gNoxaP2pLinks.SsDownloadPre = [](uint32_t slot, const uint32_t range[2]) {
            gSeen->calls.push_back("pre " + std::to_string(slot) + " " + std::to_string(range[0]) + "-" +
                                   std::to_string(range[1]));
            return gSeen->preResult;
        };
        gNoxaP2pLinks.SsDownloadSetStatus = [](uint32_t slot, int status) {
            gSeen->calls.push_back("status " + std::to_string(slot) + " " + std::to_string(status));
            return status == 1 ? gSeen->dlStartResult : 0;
        };
    }
    uint8_t Monitors() const { return Hc595Image() & (kHc595Monitor0 | kHc595Monitor1); }

    Seen mSeen;
    NOXA_P2P_MODULE_S mSavedModule{};
};

}  // namespace

TEST_F(NoxaP2p, ClarityIsKeptOnlyForItsTwoValuesAndQueryAnswersIt)
{
    struct Row {
        uint32_t set;
        uint32_t kept;
    } rows[] = {{2, 0}, {1, 1}, {7, 1}, {0, 0}, {1, 1}};
    for (const Row& r : rows) {
        Event(TRANS_LIVE_VIDEO_CLARITY_SET, {r.set});
        EXPECT_EQ(r.kept, Event(TRANS_LIVE_VIDEO_CLARITY_QUERY, {99})[0]) << r.set;
    }
    EXPECT_EQ(7u, Event(TRANS_ABILITY_QUERY, {1, 0, 3})[1]);
    EXPECT_EQ(3u, Event(TRANS_ABILITY_QUERY, {1, 0, 3})[2]);
}

TEST_F(NoxaP2p, PlaybackStartAnswersFinishOnlyWhenItFailsAndTellsTheDisplacedClient)
{
    struct Row {
        bool links;
        int result;
        int owner;
        std::vector<uint32_t> finished;
        size_t starts;
    } rows[] = {
        {false, 0, -1, {3}, 0},  // no playback side: the viewer hears that playback is over
        {true, -1, -1, {3}, 1},
        {true, 0, -1, {}, 1},
        {true, 0, 3, {}, 1},     // its own playback again: nobody is displaced
        {true, 0, 1, {1}, 1},    // client 1 loses its playback to client 3
        {true, -1, 1, {1, 3}, 1},
    };
    for (const Row& r : rows) {
        mSeen = Seen{};
        gNoxaP2pLinks = NOXA_P2P_LINKS_S{};
        if (r.links) {
            PlaybackLinks();
        }
        mSeen.startResult = r.result;
        mSeen.owner = r.owner;
        Event(TRANS_PLAYBACK_START_TS, {0x103, 1700000000, 1700003600, 1700001000});
        EXPECT_EQ(r.finished, mSeen.finished) << r.links << r.result << r.owner;
        ASSERT_EQ(r.starts, mSeen.calls.size());
        if (r.starts != 0) {
            // Slot's low byte, play time, section start, section end.
            EXPECT_EQ("start 3 1700001000 1700000000 1700003600", mSeen.calls[0]);
        }
    }
}

TEST_F(NoxaP2p, PlaybackControlsPassTheSlot)
{
    static std::vector<std::string>* calls = &mSeen.calls;
    gNoxaP2pLinks.PbPause = [](uint8_t s) { calls->push_back("pause " + std::to_string(s)); };
    gNoxaP2pLinks.PbResume = [](uint8_t s) { calls->push_back("resume " + std::to_string(s)); };
    gNoxaP2pLinks.PbStop = [](uint8_t s) { calls->push_back("stop " + std::to_string(s)); };
    gNoxaP2pLinks.SsPbStop = [](uint32_t s) {
        calls->push_back("ss stop " + std::to_string(s));
        return 0;
    };
    gNoxaP2pLinks.SsPbSetStatus = [](uint32_t s, int st) {
        calls->push_back("ss status " + std::to_string(s) + " " + std::to_string(st));
        return 0;
    };
    Event(TRANS_PLAYBACK_PAUSE, {2});
    Event(TRANS_PLAYBACK_RESUME, {4});
    Event(TRANS_PLAYBACK_MUTE, {1});
    Event(TRANS_PLAYBACK_UNMUTE, {1});
    Event(TRANS_PLAYBACK_STOP, {5});
    EXPECT_EQ((std::vector<std::string>{"pause 2", "resume 4", "ss status 1 0", "ss status 1 1", "stop 5",
                                        "ss stop 5"}),
              mSeen.calls);
}

TEST_F(NoxaP2p, DownloadStartsOnlyAfterItsPreparation)
{
    PlaybackLinks();
    mSeen.preResult = -1;
    Event(TRANS_DOWNLOAD_START, {2, 100, 200}, -1);  // answered as not done
    EXPECT_EQ((std::vector<std::string>{"pre 2 100-200"}), mSeen.calls);
    mSeen.calls.clear();
    mSeen.preResult = 0;
    mSeen.dlStartResult = -2;
    Event(TRANS_DOWNLOAD_START, {2, 100, 200}, -1);  // prepared, but the start refused
    EXPECT_EQ((std::vector<std::string>{"pre 2 100-200", "status 2 1"}), mSeen.calls);
    mSeen.calls.clear();
    mSeen.dlStartResult = 0;
    Event(TRANS_DOWNLOAD_START, {2, 100, 200});
    for (int code = 20; code <= 23; ++code) {
        Event(code, {2});
    }
    EXPECT_EQ((std::vector<std::string>{"pre 2 100-200", "status 2 1", "status 2 2", "status 2 3", "status 2 4",
                                        "status 2 5"}),
              mSeen.calls);
    // Without the download side nothing is started.
    gNoxaP2pLinks = NOXA_P2P_LINKS_S{};
    mSeen.calls.clear();
    Event(TRANS_DOWNLOAD_START, {2, 100, 200}, -1);
    EXPECT_TRUE(mSeen.calls.empty());
}

TEST_F(NoxaP2p, EventWithoutItsRecordIsIgnoredAndLogged)
{
    PlaybackLinks();
    const uint16_t state = gDeviceState.SystemMainState;
    std::vector<int> codes;
    for (int code = 0; code <= 23; ++code) {
        codes.push_back(code);
    }
    codes.push_back(TRANS_STREAMING_VIDEO_START);
    codes.push_back(TRANS_STREAMING_VIDEO_STOP);
    for (int code : codes) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(0, __NOXA_APP_p2p_event_cb(static_cast<NOXA_P2P_EVENT_E>(code), nullptr));
        std::string log = testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos, log.find("without its record")) << code << log;
    }
    EXPECT_TRUE(mSeen.calls.empty());
    EXPECT_TRUE(mSeen.finished.empty());
    EXPECT_EQ(state, gDeviceState.SystemMainState);
    EXPECT_TRUE(Posted().empty());
    // Codes outside the table only print their header.
    for (int code : {24, 99, 102, -1}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(0, __NOXA_APP_p2p_event_cb(static_cast<NOXA_P2P_EVENT_E>(code), nullptr));
        std::string log = testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos, log.find("p2p rev event cb=[" + std::to_string(code) + "]")) << log;
    }
}

TEST_F(NoxaP2p, LiveStartWatchesTheCurrentDoorAndArmsTheViewingOnlyOutsideACall)
{
    struct Row {
        uint16_t state;
        uint8_t door;
        uint16_t viewing;   // viewing countdown after the start
        uint16_t after;     // state after the start
        uint8_t monitor;
    } rows[] = {
        {0x0000, 0, kViewingTicks, 0x0201, kHc595Monitor0},
        {0x0000, 1, kViewingTicks, 0x0202, kHc595Monitor1},
        {0x0102, 1, kCountdownStopped, 0x0102, kHc595Monitor1},  // a call: its frames flow at once
        {0x0301, 0, kViewingTicks, 0x0301, kHc595Monitor0},      // talking stays talking
    };
    for (const Row& r : rows) {
        gDeviceState.SystemMainState = r.state;
        gDeviceState.ViewingMark = 0;
        gDeviceState.ViewingTimer = kCountdownStopped;
        gDeviceState.CallTimeoutTimer = 500;
        gCurrentDoor = r.door;
        mSeen.clients = 2;
        Event(TRANS_LIVE_VIDEO_START, {0});
        EXPECT_EQ(r.viewing, gDeviceState.ViewingTimer) << r.state;
        EXPECT_EQ(r.after, gDeviceState.SystemMainState & 0xFF0F) << r.state;
        EXPECT_EQ(r.monitor, Monitors() & r.monitor) << r.state;
        EXPECT_EQ(2, gDeviceState.ViewerCount);
        EXPECT_EQ(1, gDeviceState.ViewingMark);
        EXPECT_EQ(kCountdownStopped, gDeviceState.CallTimeoutTimer);
        Posted();
    }
}

TEST_F(NoxaP2p, StopWithViewersLeftKeepsTheMonitorAndTheLastStopTakesOneOfThreeBranches)
{
    // Two viewers stay: nothing changes.
    gCurrentDoor = 1;
    mSeen.clients = 3;
    mSeen.watching = 2;
    Event(TRANS_LIVE_VIDEO_START, {0});
    Posted();
    Event(TRANS_LIVE_VIDEO_STOP, {0});
    EXPECT_EQ(2, gDeviceState.ViewerCount);
    EXPECT_EQ(0x0202, gDeviceState.SystemMainState);
    EXPECT_EQ(kHc595Monitor1, Monitors());
    EXPECT_EQ(1, gDeviceState.ViewingMark);
    EXPECT_TRUE(Posted().empty());

    struct Row {
        const char* name;
        uint8_t floor;
        uint8_t door;
        uint16_t state;    // after the last stop
        uint8_t monitors;  // 74HC595 monitor bits after it
        uint8_t mark;
        int event;
    } rows[] = {
        {"floor, no motion: idle", 1, 1, 0x0000, 0, 0, TRANS_LIVE_VIDEO_STOP},
        {"door 1: watch it for motion", 0, 0, 0x0201, kHc595Monitor0, 1, TRANS_LIVE_VIDEO_STOP},
        {"door 2: back to door 1", 0, 1, 0x0000, kHc595Monitor0, 1, TRANS_LIVE_VIDEO_STOP},
        // The streaming stop goes idle without motion watching even off a floor-model bus.
        {"streaming, no motion: idle", 0, 1, 0x0000, 0, 0, TRANS_STREAMING_VIDEO_STOP},
    };
    for (const Row& r : rows) {
        gAppState.FloorModel = r.floor;
        gCurrentDoor = r.door;
        gDeviceState.ViewingMark = 0;
        gDeviceState.SystemMainState = 0;
        mSeen.clients = 1;
        mSeen.watching = 0;
        Event(r.event == TRANS_LIVE_VIDEO_STOP ? TRANS_LIVE_VIDEO_START : TRANS_STREAMING_VIDEO_START, {0});
        gDeviceState.TakeUpRoom = 2;
        Posted();
        Event(r.event, {0});
        EXPECT_EQ(0, gDeviceState.ViewerCount) << r.name;
        EXPECT_EQ(r.state, gDeviceState.SystemMainState) << r.name;
        EXPECT_EQ(r.monitors, Monitors()) << r.name;
        EXPECT_EQ(r.mark, gDeviceState.ViewingMark) << r.name;
        EXPECT_EQ(0, gCurrentDoor) << r.name;
        EXPECT_EQ(kCountdownStopped, gDeviceState.ViewingTimer) << r.name;
        EXPECT_EQ(255, gDeviceState.TakeUpRoom) << r.name;
    }
}

// The cloud stream's start asks both encoders for a key frame, as the live view's does: the stream
// starts on a picture of now, not on one the ring has held.
TEST_F(NoxaP2p, StreamingStartAsksForAKeyFrame)
{
    const int before = MiSimCallCount("MI_VENC_RequestIdr");
    mSeen.clients = 1;
    Event(TRANS_STREAMING_VIDEO_START, {3});
    EXPECT_EQ(before + 2, MiSimCallCount("MI_VENC_RequestIdr"));
    EXPECT_EQ(1, gDeviceState.ViewingMark);
    Posted();
}

// A stop asks who still watches, not who is connected: the last watcher's stop ends the watch and
// resets the ring though another viewer stays connected without video.
TEST_F(NoxaP2p, LastWatcherEndsTheWatchThoughAnotherViewerStaysConnected)
{
    static std::vector<int> rings;
    rings.clear();
    gDoorPhoneLinks.RespondDoorbell = [](uint8_t door, uint8_t state) { rings.push_back(door * 10 + state); };
    gCurrentDoor = 0;
    gDeviceState.SystemMainState = 0x0101;  // a call rings at door 1
    mSeen.clients = 2;
    mSeen.watching = 1;
    Event(TRANS_LIVE_VIDEO_START, {0});
    mSeen.watching = 0;
    Event(TRANS_LIVE_VIDEO_STOP, {0});
    EXPECT_EQ(0, gDeviceState.ViewerCount);
    EXPECT_EQ((std::vector<int>{1, 11}), rings) << "both doorbells back to normal";
    EXPECT_EQ(255, gDeviceState.TakeUpRoom);
    gDoorPhoneLinks.RespondDoorbell = nullptr;
}

TEST_F(NoxaP2p, TalkStartTakesTheCallUpOnTheBusAndSetsTheTalkState)
{
    gCurrentDoor = 1;
    gDeviceState.SystemMainState = 0x0102;
    gDeviceState.TakeUpRoom = 255;
    testing::internal::CaptureStdout();
    int w[4] = {0};
    __NOXA_APP_p2p_event_cb(TRANS_SPEAKER_START, w);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, log.find("enable speaker 1")) << log;
    EXPECT_EQ(0x0302, gDeviceState.SystemMainState);
    EXPECT_EQ(5, gDeviceState.TakeUpRoom);
    EXPECT_EQ(50, gDeviceState.TalkAudioSettleTimer);
    EXPECT_EQ((std::vector<Order4>{{ComOrder_TakeUp, 1, 1, 0}}), Posted());
    EXPECT_EQ(0, Hc595Image() & kHc595VideoDoor0) << "video of door 2 selected";
    // A second talker's start and stop leave the first one's talk as it is.
    __NOXA_APP_p2p_event_cb(TRANS_SPEAKER_START, w);
    gDeviceState.CallTimeoutTimer = 9600;
    testing::internal::CaptureStdout();
    __NOXA_APP_p2p_event_cb(TRANS_SPEAKER_STOP, w);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(9600, gDeviceState.CallTimeoutTimer);
    // The last talk's stop with a viewer still watching leaves the unit in talk too.
    mSeen.watching = 1;
    Event(TRANS_SPEAKER_STOP);
    EXPECT_EQ(9600, gDeviceState.CallTimeoutTimer);
    // With nobody left, the talk's time-out runs at the next tick rather than in 96 s.
    mSeen.watching = 0;
    Event(TRANS_SPEAKER_START);
    testing::internal::CaptureStdout();
    __NOXA_APP_p2p_event_cb(TRANS_SPEAKER_STOP, w);
    log = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, log.find("enable speaker 0")) << log;
    EXPECT_EQ(0x0302, gDeviceState.SystemMainState);
    EXPECT_EQ(0, gDeviceState.CallTimeoutTimer);
    EXPECT_EQ(0, gDeviceState.ViewerCount);
}

TEST_F(NoxaP2p, TalkBackFrameIsPlayedInPiecesTheBufferHolds)
{
    gDeviceState.TalkAudioSettleTimer = kCountdownStopped;
    std::vector<uint8_t> g711(1500, 0x80);
    struct Row {
        uint32_t size;
        int sends;
    } rows[] = {{0, 0}, {320, 1}, {660, 1}, {661, 2}, {1500, 3}};
    for (const Row& r : rows) {
        const int before = MiSimCallCount("MI_AO_SendFrame");
        testing::internal::CaptureStdout();
        EXPECT_EQ(0, IPC_APP_play_talk_audio(g711.data(), r.size, 8000, 16, 0));
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(r.sends, MiSimCallCount("MI_AO_SendFrame") - before) << r.size;
    }
    EXPECT_EQ(-1, IPC_APP_play_talk_audio(nullptr, 10, 8000, 16, 0));
}

TEST_F(NoxaP2p, PutMediaFrameReturnsTheRingBufferErrorUnchanged)
{
    uint8_t bytes[16] = {0, 0, 0, 1, 0x65};
    MEDIA_FRAME_S f{};
    f.type = 1;
    f.data = bytes;
    f.size = sizeof(bytes);
    f.pts = 123456789;
    const int direct = noxa_ipc_ring_buffer_append_data(7, f.data, f.size, f.type, f.pts);
    ASSERT_NE(0, direct) << "channel 7 has no ring buffer";
    testing::internal::CaptureStdout();
    EXPECT_EQ(direct, PutMediaFrame(7, &f));
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, log.find("Err:Put Frame Fail." + std::to_string(direct) + " Channel:7 type:1 size:16 pts:123456789"))
        << log;
}
