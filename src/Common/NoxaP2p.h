// The viewer side of the application: starts the transfer module once the cloud link is up,
// turns each viewer event into door-phone actions, playback and download control, hands the
// encoded frames to the media ring buffer and plays the viewer's talk-back voice.
#pragma once

#include "Media/VencStream.h"
#include "noxa_ipc_sdk/p2p/transfer/noxa_ipc_transfer.h"

#include <cstdint>


// The seam through which the viewer events reach the recording playback and the SD playback and
// download, filled at start-up by the rooms that answer them. Every entry is filled in the unit:
// an empty one is a wiring fault, answered as a failure
// (a start or query that fails, a status that is not set). Every playback entry takes the
// viewer's slot: a playback acts only for the client that started it.
struct NOXA_P2P_LINKS_S {
    // Month query: fills the days with recordings into the event's record. 0 on success.
    int (*PbQueryMonth)(uint32_t* words);
    // Day query: fills the recordings of the day into the event's record. 0 on success.
    int (*PbQueryDay)(uint32_t* words);
    // The slot whose playback runs, or -1. A start from another slot first ends that client's
    // playback (it is sent the playback-finished answer).
    int (*PbOwner)();
    // Starts SD playback for the slot at play time within [start, end]. 0 on success.
    int (*PbStart)(uint8_t slot, uint32_t playTime, uint32_t start, uint32_t end);
    void (*PbPause)(uint8_t slot);
    void (*PbResume)(uint8_t slot);
    void (*PbStop)(uint8_t slot);
    // SD playback service: status 0 mute, 1 unmute; its stop.
    int (*SsPbSetStatus)(uint32_t slot, int status);
    int (*SsPbStop)(uint32_t slot);
    // SD download: preparation of the range [words 1, words 2] (0 on success), then status 1
    // start, 2..5 as the viewer asks.
    int (*SsDownloadPre)(uint32_t slot, const uint32_t range[2]);
    int (*SsDownloadSetStatus)(uint32_t slot, int status);
};
extern NOXA_P2P_LINKS_S gNoxaP2pLinks;

// Cloud-side start: starts the transfer module once (later calls only print). Returns 0.
int InitNoxaP2p(int maxUsers);
// The transfer module's event callback: 0, or -1 for a download start (19) that did not start.
int __NOXA_APP_p2p_event_cb(NOXA_P2P_EVENT_E event, void* args);
void NoxaP2pOnlineCb(uint32_t online);

// The event actions.
void Noxa_VideoStart();
void Noxa_VideoStop();
void Noxa_StreamingStart();
void Noxa_StreamingStop();
void Noxa_SpeakerStart();
void Noxa_SpeakerStop();

// The encoder and audio threads' hand-over to the media ring buffer: 0 or the ring buffer's code.
int PutMediaFrame(int channel, const MEDIA_FRAME_S* frame);

// The clarity value kept for the viewers (0 or 1).
uint32_t NoxaP2pClarity();
// 1 once the transfer module was started.
uint32_t NoxaP2pStarted();
// Test hook: forgets the start and the clarity value.
void NoxaP2pResetForTest();

// The transfer module's calls the events make; tests replace them.
struct NOXA_P2P_MODULE_S {
    int (*OnlineClientCount)();
    // Viewers still watching (live video or streaming), the stopping one already left out.
    int (*WatchingClientCount)();
    int (*PlaybackSendFinish)(uint32_t client);
};
extern NOXA_P2P_MODULE_S gNoxaP2pModule;

// Sets the application's entries: the cloud-side start's viewer step and the frame hand-over.
void NoxaP2pInstallLinks();
