// Viewer events, the frame hand-over to the media ring buffer and the transfer module's start.
#include "NoxaP2p.h"

#include "AppLog.h"
#include "AppState.h"
#include "DeviceState.h"
#include "DoorPhone.h"
#include "DoorPhoneLinks.h"
#include "Media/AudioPlayback.h"
#include "Media/osd.h"
#include "NoxaApp.h"
#include "Peripheral.h"
#include "TalkBack.h"
#include "TalkSerial.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>

NOXA_P2P_LINKS_S gNoxaP2pLinks{};
NOXA_P2P_MODULE_S gNoxaP2pModule{noxa_ipc_get_online_client_cnt, noxa_ipc_get_watching_client_cnt,
                                  noxa_ipc_playback_send_finish};

namespace {

constexpr uint16_t kTalkStartTicks = 50;   // audio to the cloud pauses while the talk starts
constexpr uint32_t kCodingFarAddress = 10000000;
constexpr uint8_t kNoRoom = 255;
constexpr uint8_t kViewerRoom = 5;
constexpr int kReaderSlots = 16;

std::atomic<uint32_t> sStarted{0};
std::atomic<uint32_t> sMaxUsers{0};
std::atomic<uint32_t> sClarity{0};
std::atomic<uint32_t> sAudioCodec{0};
// Viewers (and the cloud gateway) whose talk runs: the unit leaves talk only when the last ends.
std::atomic<int> sTalkers{0};

bool InCall()
{
    return GetSystemMainState() == SYS_STATE_CALL;
}

bool Talking()
{
    return GetSystemMainState() == SYS_STATE_TALK;
}

int OnlineClients()
{
    return gNoxaP2pModule.OnlineClientCount();
}

// The end of a watch when no viewer is left: back to watching door 0 where the motion alarm may
// run, else to idle. `speaker` is the live view's stop (amplifier off, the print, and the floor
// branch only on a floor-model bus).
void LastViewerGone(bool speaker)
{
    DEVICE_STATE_S& s = gDeviceState;
    const int alarm = MotionAlarmAllowed();
    const int record = MotionRecordAllowed();
    bool idleBranch = alarm == 0 && record == 0;
    if (speaker) {
        SetSpeakerPower(0);
        AppLogPrint(APP_LOG_BLUE, "Noxa_VideoStop", "MotionAlarmAllowed(%d)  MotionRecordAllowed(%d)", alarm,
                    record);
        idleBranch = idleBranch && gAppState.FloorModel != 0;
    }
    const uint8_t door = gCurrentDoor;
    if (idleBranch) {
        SetSystemMainState(SYS_STATE_IDLE);
        DoorMonitorControl(door, 0);
        s.ViewingTimer = kCountdownStopped;
        HideIconOsd(0);
        gCurrentDoor = 0;
        s.ViewingMark = 0;
    } else if (door == 0) {
        SetSystemMainState(SYS_STATE_MONITOR | 1);
        s.ViewingTimer = kCountdownStopped;
        gCurrentDoor = 0;
        DoorPhoneLink(gDoorPhoneLinks.MotionAlarmSwitch, uint8_t{1});
    } else if (door == 1) {
        SetSystemMainState(SYS_STATE_IDLE);
        DoorMonitorControl(1, 0);
        s.ViewingTimer = kCountdownStopped;
        gCurrentDoor = 0;
        DoorMonitorControl(0, 1);
        DoorPhoneLink(gDoorPhoneLinks.MotionAlarmSwitch, uint8_t{1});
    }
    RingReset();
    s.TakeUpRoom = kNoRoom;
}

// Whether anyone still watches after a stop: the viewers with video (or streaming) left, not the
// viewers connected, so a viewer that stays connected without video does not keep the monitor on
// and the ring from its reset.
int ViewersLeftAfterStop()
{
    const int left = gNoxaP2pModule.WatchingClientCount();
    return left < 0 ? 0 : left;
}

void PlaybackStart(const uint32_t* w)
{
    // The slot's low byte names the client, for the start as for the answers.
    const uint32_t slot = w[0] & 0xFF;
    APP_DBG("Dbg:PB StartTS idx:%d %u [%u %u]", static_cast<int>(w[0]), w[3], w[1], w[2]);
    const NOXA_P2P_LINKS_S& l = gNoxaP2pLinks;
    // One playback at a time: the client it is taken from is told that its playback is over.
    if (l.PbOwner != nullptr) {
        const int owner = l.PbOwner();
        if (owner >= 0 && static_cast<uint32_t>(owner) != slot) {
            gNoxaP2pModule.PlaybackSendFinish(static_cast<uint32_t>(owner));
        }
    }
    int ret = -1;
    if (l.PbStart != nullptr) {
        ret = l.PbStart(static_cast<uint8_t>(slot), w[3], w[1], w[2]);
    }
    if (ret != 0) {
        gNoxaP2pModule.PlaybackSendFinish(slot);
    }
}

int DownloadStatus(uint32_t slot, int status)
{
    if (gNoxaP2pLinks.SsDownloadSetStatus == nullptr) {
        return -1;
    }
    return gNoxaP2pLinks.SsDownloadSetStatus(slot, status);
}

}  // namespace

uint32_t NoxaP2pClarity()
{
    return sClarity;
}

uint32_t NoxaP2pStarted()
{
    return sStarted;
}

void NoxaP2pResetForTest()
{
    sStarted = 0;
    sClarity = 0;
    sTalkers = 0;
}

void NoxaP2pOnlineCb(uint32_t) {}

// The transfer module's talk-back hook: the frame's bytes to the speaker.
static void NoxaP2pRevAudioCb(const TRANSFER_MEDIA_FRAME_S* frame, uint32_t)
{
    if (frame == nullptr) {
        return;
    }
    IPC_APP_play_talk_audio(frame->audio.p_audio_buf, frame->audio.buf_len, 8000, 16, 0);
}

int InitNoxaP2p(int maxUsers)
{
    uint32_t expected = 0;
    if (!sStarted.compare_exchange_strong(expected, 1)) {
        APP_DBG("Dbg:P2P Is Already Inited");
        return 0;
    }
    APP_DBG("Dbg:Init P2P With Max Users:%u", static_cast<uint32_t>(maxUsers));
    sMaxUsers = static_cast<uint32_t>(maxUsers);
    sAudioCodec = gNoxaMediaInfo.audio_codec[MEDIA_CHANNEL_AUDIO];
    NOXA_P2P_TRANSFER_PARAM_S p;
    std::memset(&p, 0, sizeof(p));
    p.on_online_cb = NoxaP2pOnlineCb;
    p.on_rev_audio_cb = NoxaP2pRevAudioCb;
    p.rev_audio_codec = 105;
    p.rev_audio_sample = 8000;
    p.rev_audio_databits = 16;
    p.rev_audio_channel = 0;
    p.on_event_cb = __NOXA_APP_p2p_event_cb;
    p.live_mode = 0;
    p.max_client_num = static_cast<uint32_t>(maxUsers);
    p.media_info = gNoxaMediaInfo;
    noxa_ipc_tranfser_init(&p);
    return 0;
}

int __NOXA_APP_p2p_event_cb(NOXA_P2P_EVENT_E event, void* args)
{
    AppLogPrint(APP_LOG_RED, "__NOXA_APP_p2p_event_cb", "p2p rev event cb=[%d] ", event);
    const bool known = (event >= TRANS_LIVE_VIDEO_START && event <= TRANS_DOWNLOAD_CANCLE) ||
                       event == TRANS_STREAMING_VIDEO_START || event == TRANS_STREAMING_VIDEO_STOP;
    if (!known) {
        return 0;
    }
    // Every event carries its record; one without is not acted on.
    uint32_t* w = static_cast<uint32_t*>(args);
    if (w == nullptr) {
        APP_ERR("Err:event %d without its record", event);
        return 0;
    }
    const NOXA_P2P_LINKS_S& l = gNoxaP2pLinks;
    int rc = 0;
    switch (event) {
    case TRANS_LIVE_VIDEO_START:
        APP_DBG("Dbg:chn[%u] video start", w[0]);
        Noxa_VideoStart();
        break;
    case TRANS_LIVE_VIDEO_STOP:
        APP_DBG("Dbg:chn[%u] video stop", w[0]);
        Noxa_VideoStop();
        break;
    case TRANS_LIVE_AUDIO_START:
        APP_DBG("Dbg:chn[%u] audio start", w[0]);
        break;
    case TRANS_LIVE_AUDIO_STOP:
        APP_DBG("Dbg:chn[%u] audio stop", w[0]);
        break;
    case TRANS_LIVE_VIDEO_CLARITY_SET:
        APP_DBG("Dbg:set clarity:%d", static_cast<int>(w[0]));
        if (w[0] == 0 || w[0] == 1) {
            APP_DBG("Dbg:set clarity:%d OK", static_cast<int>(w[0]));
            sClarity = w[0];
        }
        break;
    case TRANS_LIVE_VIDEO_CLARITY_QUERY:
        w[0] = sClarity;
        APP_DBG("Dbg:query larity:%d", static_cast<int>(w[0]));
        break;
    case TRANS_LIVE_QUALITY_CHANGE:
        APP_DBG("Dbg:live quality %d -> %d", static_cast<int>(w[1]), static_cast<int>(w[2]));
        break;
    case TRANS_PLAYBACK_QUALITY_CHANGE:
        APP_DBG("Dbg:pb idx:%d quality %d -> %d", static_cast<int>(w[0]), static_cast<int>(w[1]),
                static_cast<int>(w[2]));
        break;
    case TRANS_PLAYBACK_QUERY_MONTH_SIMPLIFY:
        APP_DBG("Dbg:pb query by month: %d-%d", static_cast<int>(w[1]), static_cast<int>(w[2]));
        if (l.PbQueryMonth != nullptr) {
            l.PbQueryMonth(w);
        }
        break;
    case TRANS_PLAYBACK_QUERY_DAY_TS:
        APP_DBG("Dbg:pb_ts query by day: idx[%d]%d-%d-%d", static_cast<int>(w[0]), static_cast<int>(w[1]),
                static_cast<int>(w[2]), static_cast<int>(w[3]));
        if (l.PbQueryDay != nullptr) {
            l.PbQueryDay(w);
        }
        // A day's file query holds no card resource: nothing to release, and nothing wrong.
        APP_DBG("****no need release card");
        break;
    case TRANS_PLAYBACK_START_TS:
        PlaybackStart(w);
        break;
    case TRANS_PLAYBACK_PAUSE:
        APP_DBG("Dbg:PB Pause idx:%d", static_cast<int>(w[0]));
        DoorPhoneLink(l.PbPause, static_cast<uint8_t>(w[0] & 0xFF));
        break;
    case TRANS_PLAYBACK_RESUME:
        APP_DBG("Dbg:PB Resume idx:%d", static_cast<int>(w[0]));
        DoorPhoneLink(l.PbResume, static_cast<uint8_t>(w[0] & 0xFF));
        break;
    case TRANS_PLAYBACK_MUTE:
    case TRANS_PLAYBACK_UNMUTE:
        if (event == TRANS_PLAYBACK_MUTE) {
            APP_DBG("Dbg:PB idx:%d mute", static_cast<int>(w[0]));
        } else {
            APP_DBG("Dbg:PB idx:%d unmute", static_cast<int>(w[0]));
        }
        if (l.SsPbSetStatus != nullptr) {
            l.SsPbSetStatus(w[0], event == TRANS_PLAYBACK_MUTE ? 0 : 1);
        }
        break;
    case TRANS_PLAYBACK_STOP:
        APP_DBG("Dbg:PB Stop idx:%d", static_cast<int>(w[0]));
        DoorPhoneLink(l.PbStop, static_cast<uint8_t>(w[0] & 0xFF));
        if (l.SsPbStop != nullptr) {
            l.SsPbStop(w[0]);
        }
        break;
    case TRANS_SPEAKER_START:
        APP_DBG("Dbg:enable audio speaker");
        IPC_APP_speaker_enable_print(1);
        Noxa_SpeakerStart();
        break;
    case TRANS_SPEAKER_STOP:
        APP_DBG("Dbg:disable audio speaker");
        IPC_APP_speaker_enable_print(0);
        Noxa_SpeakerStop();
        break;
    case TRANS_ABILITY_QUERY:
        w[1] = 7;
        break;
    case TRANS_DOWNLOAD_START:
        // A download that does not start is answered as not done: the viewer would wait for its
        // data in vain.
        if (l.SsDownloadPre == nullptr || l.SsDownloadPre(w[0], &w[1]) != 0 || DownloadStatus(w[0], 1) != 0) {
            rc = -1;
        }
        break;
    case TRANS_STREAMING_VIDEO_START:
        APP_DBG("Dbg:streaming start type %d", static_cast<int>(w[0]));
        Noxa_StreamingStart();
        break;
    case TRANS_STREAMING_VIDEO_STOP:
        APP_DBG("Dbg:streaming stop type %d", static_cast<int>(w[0]));
        Noxa_StreamingStop();
        break;
    default:  // download status 20..23
        DownloadStatus(w[0], static_cast<int>(event) - TRANS_DOWNLOAD_STOP + 2);
        break;
    }
    return rc;
}

void Noxa_VideoStart()
{
    DEVICE_STATE_S& s = gDeviceState;
    SetSpeakerPower(1);
    if (s.ViewingMark == 0 && !InCall()) {
        s.ViewingTimer = kViewingTicks;
    }
    s.ViewerCount = OnlineClients();
    const uint8_t door = gCurrentDoor;
    if (!InCall() && !Talking()) {
        SetSystemMainState(static_cast<uint16_t>(door + 0x201));
    }
    // Nothing to clear before the buffers exist (a call on a missing channel pauses).
    for (int user = 0; user < kReaderSlots && noxa_ipc_ring_buffer_video_channel_num() > 0; ++user) {
        noxa_ipc_ring_buffer_clean_user_state_and_buffer(MEDIA_CHANNEL_MAIN, user);
        noxa_ipc_ring_buffer_clean_user_state_and_buffer(MEDIA_CHANNEL_SUB, user);
    }
    RequestVideoIdr();
    DoorMonitorControl(door, 1);
    s.CallTimeoutTimer = kCountdownStopped;
    s.ViewingMark = 1;
}

void Noxa_VideoStop()
{
    const int left = ViewersLeftAfterStop();
    gDeviceState.ViewerCount = left;
    if (left == 0) {
        LastViewerGone(true);
    }
}

void Noxa_StreamingStart()
{
    DEVICE_STATE_S& s = gDeviceState;
    s.ViewerCount = OnlineClients();
    if (!InCall()) {
        const uint8_t door = gCurrentDoor;
        if (!Talking()) {
            SetSystemMainState(static_cast<uint16_t>(door + 0x201));
        }
        DoorMonitorControl(door, 1);
    }
    s.ViewingTimer = kCountdownStopped;
    s.CallTimeoutTimer = kCountdownStopped;
    s.ViewingMark = 1;
    // The stream starts on a key frame of now, not on one seconds old in the ring.
    RequestVideoIdr();
}

void Noxa_StreamingStop()
{
    const int left = ViewersLeftAfterStop();
    gDeviceState.ViewerCount = left;
    if (left == 0) {
        LastViewerGone(false);
    }
}

void Noxa_SpeakerStart()
{
    DEVICE_STATE_S& s = gDeviceState;
    ++sTalkers;
    StopRingDecode();
    if (s.TakeUpRoom == kNoRoom) {
        s.TakeUpRoom = kViewerRoom;
    }
    const bool floor = gAppState.FloorModel != 0;
    const uint8_t door = gCurrentDoor;
    SetTalkVolume(door == 0 && floor ? 1 : 0);
    s.TalkAudioSettleTimer = kTalkStartTicks;
    s.CallTimeoutTimer = kCountdownStopped;
    bool coding38 = false;
    if (floor) {
        s.TalkFlag = 1;
        if (s.CodingAddress > kCodingFarAddress && door == 0) {
            if (InCall()) {
                PostCodingCommand(ComOrder_CodingAnswer, 1);
                coding38 = true;
            } else {
                PostCodingCommand(ComOrder_CodingTalk, 0);
            }
        }
    }
    if (!coding38 && (!floor || InCall() || door == 1)) {
        // The first value carries door + 1024; the bus byte keeps its low byte.
        PostTalkCommand(ComOrder_TakeUp, static_cast<uint8_t>((door + 1024) & 0xFF), 1, 0);
    }
    VideoSelect(door);
    SetSystemMainState(static_cast<uint16_t>((door + 1) | SYS_STATE_TALK));
    SetTalkVolume(door == 0 && floor ? 1 : 0);
}

// The end of a talk. With no talk and no watcher left, the unit goes idle now rather than at the
// talk's time-out, which would hold it in talk (and deaf to the bus) for a minute and a half.
void Noxa_SpeakerStop()
{
    int talkers = sTalkers.load();
    while (talkers > 0 && !sTalkers.compare_exchange_weak(talkers, talkers - 1)) {
    }
    if (talkers > 1 || !Talking() || ViewersLeftAfterStop() > 0) {
        return;
    }
    DEVICE_STATE_S& s = gDeviceState;
    s.ViewerCount = 0;
    // The time-out's own action runs at the next tick: on a floor-model bus the session's, which
    // also hangs the bus up, else the call/monitor one.
    if (gAppState.FloorModel != 0) {
        s.FloorSessionTimer = 0;
    } else {
        s.CallTimeoutTimer = 0;
    }
}

int PutMediaFrame(int channel, const MEDIA_FRAME_S* frame)
{
    const int ret = noxa_ipc_ring_buffer_append_data(channel, frame->data, frame->size, frame->type, frame->pts);
    if (ret != 0) {
        APP_ERR("Err:Put Frame Fail.%d Channel:%d type:%d size:%u pts:%" PRIu64 " ts:%" PRIu64, ret, channel,
                static_cast<int>(frame->type), frame->size, frame->pts, frame->timestamp);
    }
    return ret;
}

void NoxaP2pInstallLinks()
{
    gNoxaAppLinks.InitNoxaP2p = InitNoxaP2p;
    gVencOutput.PutMediaFrame = PutMediaFrame;
}
