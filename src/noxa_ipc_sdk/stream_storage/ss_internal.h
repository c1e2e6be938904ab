// What the storage's files share: the card layout (paths built into the fixed fields, folder and
// file names, the ".info" text), the record head, joinable named threads, and the few manager and
// slot facts one side asks of the other. Internal to stream_storage/.
#pragma once

#include "noxa_ipc_stream_storage.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <pthread.h>
#include <string>
#include <vector>

namespace ss {

// Paths live in 128-byte fields, event folder names in 16 bytes.
constexpr size_t kPathMax = 128;
constexpr size_t kNameMax = 16;
constexpr size_t kEventNameLen = 15;  // "%010u_%04u"
// A record's frame is never larger than this when read back (the card's files are outside data).
constexpr uint32_t kRecordDataMax = 512000;
// Send buffers when the ring buffer cannot say its largest frame.
constexpr uint32_t kDefaultFrameMax = 307200;
constexpr uint32_t kMaxEventDurationLimit = 600;

// snprintf into a fixed field; false (logged) when the text does not fit, never a cut path.
bool Fmt(char* buf, size_t size, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
template <size_t N, typename... A>
bool FmtPath(char (&buf)[N], const char* fmt, A... a)
{
    return Fmt(buf, N, fmt, a...);
}

// "DCIM/YYYY/MM/DD" of the local calendar day of t.
bool DayPath(char (&out)[kPathMax], const char* dcim, uint32_t t);
// Local calendar day of t as one number (YYYYMMDD).
uint32_t LocalDay(uint32_t t);
// An event folder name "%010u_%04u": its start and duration. False for anything else.
bool ParseEventName(const char* name, uint32_t* start, uint32_t* duration);
// A folder name of exactly `digits` decimal digits; its value.
bool DigitsName(const char* name, size_t digits, uint32_t* value);
// A slice name "NNNN.media"; its number.
bool SliceName(const char* name, uint32_t* number);
// The largest slice number in the event folder, -1 when it has none.
int LargestSlice(const char* eventPath);
// The event folder in dayPath whose name begins with start ("%u"). False when none.
bool FindEventDir(const char* dayPath, uint32_t start, char (&name)[kNameMax]);
// The event's ".info": type 0, version 1, codec 2 for what it does not say.
void ReadInfo(const char* eventPath, uint32_t* type, uint32_t* version, uint32_t* codec);
// Names in a folder (no "." and ".."); false when it cannot be opened.
bool ListDir(const char* unitPath, std::vector<std::string>& names);
bool IsDir(const char* unitPath);
// The owner-write bit of the path: the card's write protection shows there.
bool WritableMode(const char* unitPath);
// Every missing component made with mode 0755; false when one cannot be made.
bool MakeDirs(const char* unitPath);
FILE* OpenFile(const char* unitPath, const char* mode);

// The 24-byte little-endian record head.
void PutHead(uint8_t* out, const STORAGE_FRAME_HEAD_S& head);
void GetHead(const uint8_t* in, STORAGE_FRAME_HEAD_S* head);
// Reads one head; false at the end of the file or on a short read.
bool ReadHead(FILE* f, STORAGE_FRAME_HEAD_S* head);

// A joinable thread with a name and a stack of its own.
class Thread {
public:
    Thread() = default;
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    bool Start(const char* name, size_t stackBytes, std::function<void()> body);
    void Join();
    bool Started() const { return mStarted; }

private:
    pthread_t mThread{};
    bool mStarted = false;
};

// Manager facts for playback and deletion.
bool StoringPossible();
// DCIM path (valid once storing is possible).
const char* Dcim();
uint32_t SliceDuration();
uint32_t MaxEventDuration();
uint32_t MaxEventsPerDay();
// Whether the storage thread writes into this event folder right now.
bool RecordingInto(const char* dayPath, const char* name);
void CountIoError();
// Slots for deletion: whether a playback or download has this event folder open.
bool PlaybackHolds(const char* dayPath, const char* name);

}  // namespace ss
