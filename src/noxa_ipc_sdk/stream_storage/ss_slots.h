// The ten playback slots, one per viewer session, shared by playback and download. Internal to
// stream_storage/.
#pragma once

#include "ss_internal.h"

#include <array>
#include <atomic>
#include <memory>
#include <mutex>

namespace ss {

struct Slot {
    // Held by the API calls of the slot (start, stop, seek, status, download), never by its tasks,
    // so that a stop can join them.
    std::mutex control;
    // Guards the open file, pause, mute, the event being played and the fragment; held by the
    // video task while it reads a record. Lives as long as the table: a stop never destroys it
    // under a reader.
    std::mutex lock;
    std::atomic<uint32_t> inited{0};
    SS_PB_FINISH_CB finishCb = nullptr;
    SS_PB_VIDEO_CB videoCb = nullptr;
    SS_PB_AUDIO_CB audioCb = nullptr;
    uint32_t codec = NOXA_CODEC_VIDEO_H264;
    Thread task;
    std::atomic<uint32_t> running{0};  // 1 run, 2 asks the task to end, 0 ended
    SS_PB_FRAGMENT_S fragment{};
    uint32_t mute = 0;
    uint32_t pause = 0;
    FILE* file = nullptr;
    FILE* file2 = nullptr;  // a second handle of the slice, closed with `file`
    char curPath[kPathMax] = {};  // the day folder
    char curDir[kNameMax] = {};   // the event folder
    uint32_t curFileIndex = 0;
    uint32_t curFileTimeSize = 0;
    std::unique_ptr<uint8_t[]> sendBuf;
    uint32_t sendBufSize = 0;
    std::atomic<uint32_t> queryEnd{0};  // end of the last event the day query found
    std::atomic<uint32_t> playEnd{0};
    uint32_t curPbFileSeek = 0;
    bool pausedWithFile = false;

    // Download: its own task, and the event it sends (guarded by dlLock).
    std::mutex dlLock;
    std::atomic<uint32_t> dlStatus{SS_DL_IDLE};
    Thread dlTask;
    std::atomic<uint32_t> dlRunning{0};
    std::unique_ptr<uint8_t[]> dlBuf;
    uint32_t dlBufSize = 0;
    char dlPath[kPathMax] = {};
    char dlDir[kNameMax] = {};
    uint32_t dlLast = 0;  // slice numbers 0..dlLast are sent
};

// Never destroyed, like the manager: tasks may still run while the process ends.
extern std::array<Slot, SS_PB_SLOT_NUM>& gSlots;

// The frame buffer size of a slot: one maximum frame of the ring buffer.
uint32_t SlotFrameSize();
// The event's duration from its folder name, its largest slice number while it is open; -1 when
// an open event has no slice.
int EventDuration(const char* dayPath, const char* name);
// __ss_pb_open_cur_file: opens slice `number` of the event being played, or the nearest of the 14
// below it that opens, in place of the slot's files. 0, or -1 (the files stay closed). Under the
// slot lock.
int __ss_pb_open_cur_file(Slot& s, uint32_t number);
// Ends and joins the slot's download, clears its download state (the caller holds control).
void CancelDownload(Slot& s);

}  // namespace ss
