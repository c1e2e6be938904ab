#include "Mp4Record.h"

#include "Common/AppLog.h"
#include "Common/DeviceState.h"
#include "Common/DoorPhone.h"
#include "Common/DoorPhoneLinks.h"
#include "Common/RecordFile.h"
#include "Common/SDCard.h"
#include "AudioCapture.h"
#include "AudioPlayback.h"
#include "Mp4File.h"
#include "Playback.h"
#include "VencStream.h"
#include "VideoPipeline.h"
#include "platform/board.h"
#include "platform/board_path.h"
#include "platform/shell.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The recorder record. Everything but State is touched only under the record lock.
struct MP4_RECORD_S {
    std::atomic<uint8_t> State{0};  // 0 idle, 1 recording
    std::unique_ptr<Mp4Writer> File;
    char Name[48] = {};       // HHMMSS.mp4 (start time)
    char EndTime[48] = {};    // HHMMSS, on close
    char Directory[64] = {};  // /mnt/sdcard/DVR/YYYYMMDD
    char Extension[8] = {};
    uint8_t SpsSeen = 0;
    uint8_t PpsSeen = 0;
    std::vector<uint8_t> Sps;  // kept until the PPS makes the track
    uint8_t AudioSkip = 0;     // AAC frames still to drop after the open
    int FurtherTrack = -1;     // never set: no part of the recorder adds that track
};

MP4_RECORD_S gRec;
// The recorder's slow card work, one at a time: a start's room making and file creation, a
// stop's trailer, sync and rename, the recovery of cut files. Taken before the record lock.
std::mutex gRecordFileLock;

constexpr size_t kSpsMin = 8;       // nal[5..7] hold the profile and level
constexpr size_t kNalMin = 5;       // a start code and a NAL header
constexpr size_t kStartNameLen = 10;  // "HHMMSS.mp4"
constexpr uint32_t kAacSampleRate = 8000;
constexpr uint8_t kAacConfig[2] = {0x15, 0x88};  // AAC-LC, 8000 Hz, one channel
constexpr uint8_t kAacSkipFrames = 4;
constexpr uint32_t kPcmSampleRate = 8000;

// Where the parameter set in a piece ends: the encoder thread hands the PPS with whatever follows
// it up to the slice (an SEI), and a stream may pad with zero bytes.
size_t ParamSetLength(const uint8_t* p, size_t n)
{
    for (size_t i = 0; i + 3 <= n; ++i) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
            n = i;
            break;
        }
    }
    while (n > 0 && p[n - 1] == 0) {
        --n;
    }
    return n;
}

std::string RecordPath(const char* directory, const char* name)
{
    return std::string(directory) + "/" + name;
}

// "HHMMSS.mp4" -> "HHMMSS_<end>.mp4".
std::string ClosedName(const char* startName, const char* endTime)
{
    std::string base(startName);
    const size_t dot = base.find(".mp4");
    if (dot != std::string::npos) {
        base.resize(dot);
    }
    return base + "_" + endTime + "." + kRecordExtension;
}

void MakeDirectories(const char* directory)
{
    // Made by file-system calls: the day folder of the base folder, both ours.
    std::string path;
    for (const char* p = directory; *p != '\0'; ++p) {
        if (*p == '/' && !path.empty()) {
            BoardMkdir(path.c_str(), 0755);
        }
        path.push_back(*p);
    }
    BoardMkdir(path.c_str(), 0755);
}

struct CLOSED_FILE_S {
    std::unique_ptr<Mp4Writer> File;
    std::string Directory;
    std::string Name;
    std::string EndTime;
};

// Takes the open file out of the record and returns the recorder to idle. Record lock held.
CLOSED_FILE_S DetachLocked()
{
    CLOSED_FILE_S c;
    if (gRec.File) {
        const struct tm now = RecordLocalTimeNow();
        std::snprintf(gRec.EndTime, sizeof(gRec.EndTime), "%02d%02d%02d", now.tm_hour, now.tm_min, now.tm_sec);
        c.File = std::move(gRec.File);
        c.Directory = gRec.Directory;
        c.Name = gRec.Name;
        c.EndTime = gRec.EndTime;
    }
    gRec.State = 0;
    gRec.SpsSeen = 0;
    gRec.PpsSeen = 0;
    gRec.Sps.clear();
    return c;
}

enum class Cut { Kept, NoneComplete, Unknown };

// A file whose writing stopped anywhere: damaged stretches between whole fragments skipped, and
// cut back to the end of its last whole fragment, so that no piece of a fragment follows. Unknown
// when it cannot be read or cut (left as it is).
Cut CutToCompleteFragments(const std::string& path)
{
    const int64_t end = Mp4RepairFragments(path);
    if (end < 0) {
        return Cut::Unknown;
    }
    if (end == 0) {
        return Cut::NoneComplete;
    }
    struct stat st {};
    if (::stat(BoardPath(path).c_str(), &st) != 0) {
        return Cut::Unknown;
    }
    if (st.st_size > end) {
        const int fd = BoardOpen(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0 || ::ftruncate(fd, end) != 0 || ::fdatasync(fd) != 0) {
            APP_ERR("cannot cut %s: %s", path.c_str(), std::strerror(errno));
            if (fd >= 0) {
                ::close(fd);
            }
            return Cut::Unknown;
        }
        ::close(fd);
    }
    return Cut::Kept;
}

// MP4Encoder_FileClose: the trailer and the sync, then the file takes its final name. A file
// that never got a sample is removed: it would be listed and play nothing.
void MP4Encoder_FileClose(CLOSED_FILE_S c)
{
    if (!c.File) {
        return;
    }
    const std::string oldPath = RecordPath(c.Directory.c_str(), c.Name.c_str());
    bool empty = c.File->Samples() == 0;
    const bool failed = c.File->Close() != 0;
    c.File.reset();
    if (failed && !empty) {
        // A write that failed (card full or gone) may have left part of a fragment behind: a
        // final name promises a file that plays to its end.
        const Cut cut = CutToCompleteFragments(oldPath);
        if (cut == Cut::Unknown) {
            // The card's recovery takes it once the card is back.
            APP_ERR("MP4 close of %s failed: left under its start name", oldPath.c_str());
            BoardSync();
            return;
        }
        APP_ERR("MP4 close of %s failed: %s", oldPath.c_str(),
                cut == Cut::Kept ? "its complete fragments stay" : "no complete fragment, removed");
        empty = cut == Cut::NoneComplete;
    } else if (failed) {
        APP_ERR("MP4 close of %s failed", oldPath.c_str());
    }
    if (empty) {
        APP_DBG("MP4Encoder_FileClose %s: no sample, removed", oldPath.c_str());
        BoardUnlink(oldPath.c_str());
    } else {
        const std::string newPath = RecordPath(c.Directory.c_str(), ClosedName(c.Name.c_str(), c.EndTime.c_str()).c_str());
        AppLogPrint(APP_LOG_BLUE, "MP4Encoder_FileClose", "%s", newPath.c_str());
        if (BoardRename(oldPath.c_str(), newPath.c_str()) != 0) {
            APP_ERR("rename %s: %s", oldPath.c_str(), std::strerror(errno));
        }
    }
    BoardSync();
    BoardSystem("echo 3 > /proc/sys/vm/drop_caches");
}

// MP4Encoder_FileOpen: a new file at the path (never an existing one).
std::unique_ptr<Mp4Writer> MP4Encoder_FileOpen(const std::string& path)
{
    return Mp4Writer::Create(path);
}

// The header of one whole ADTS frame: 7 bytes, 9 with its CRC; 0 when the bytes are no such frame.
size_t AdtsHeaderLength(const uint8_t* p, uint32_t len)
{
    if (p == nullptr || len < 7 || AdtsFrameLength(p) != static_cast<int>(len)) {
        return 0;
    }
    return (p[1] & 1) != 0 ? 7 : 9;
}

// A slice into the file, over its start code. Record lock held.
void WriteSliceLocked(uint8_t* nal, uint32_t length, bool sync)
{
    const uint32_t n = length - 4;
    nal[0] = static_cast<uint8_t>(n >> 24);
    nal[1] = static_cast<uint8_t>(n >> 16);
    nal[2] = static_cast<uint8_t>(n >> 8);
    nal[3] = static_cast<uint8_t>(n);
    if (gRec.File->WriteSample(nal, length, kMp4SampleDuration, sync) != 0) {
        // The card failed (full, gone): the recording ends here, its complete fragments kept.
        APP_ERR("MP4 sample write failed: recording closed");
        CLOSED_FILE_S c = DetachLocked();
        MP4Encoder_FileClose(std::move(c));
    }
}

}  // namespace

uint8_t GetMP4RecordState()
{
    return gRec.State;
}

void MP4RecordHold()
{
    gDeviceState.RecordHoldTimer = kRecordHoldTicks;
}

int MP4RecordStart()
{
    if (gRec.State != 0) {
        return -1;
    }
    std::lock_guard<std::mutex> fileLock(gRecordFileLock);
    // Starts and stops are serialised by the file lock: the state seen here holds until the
    // file is open.
    if (gRec.State != 0) {
        return -1;
    }
    {
        MP4RecordWriteLock lock;
        AppLogPrint(APP_LOG_BLUE, "MP4RecordStart", "%d %d", gRec.SpsSeen, gRec.PpsSeen);
    }
    // Room on the card is made outside the record lock: removing old files takes far longer
    // than a frame period, and the encoder thread must not wait for it.
    if (FreeSize(kFreeSizeRecords) == -1) {
        APP_ERR("free size error");
        return -1;
    }
    char directory[sizeof(gRec.Directory)];
    char name[sizeof(gRec.Name)];
    char extension[sizeof(gRec.Extension)];
    MakeRecordFileNameAt(kRecordNameVideo, RecordLocalTimeNow(), directory, sizeof(directory), name, sizeof(name),
                         extension, sizeof(extension));
    APP_DBG("MP4 File Path: %s", directory);
    if (BoardAccess(directory, F_OK) != 0) {
        MakeDirectories(directory);
    }
    char path[128];
    std::snprintf(path, sizeof(path), "%s/%s", directory, name);
    APP_DBG("MP4 File Name: %s", path);
    // Opened with each file (an encoder open already stays as it is).
    InitAACEncoder();
    std::unique_ptr<Mp4Writer> file = MP4Encoder_FileOpen(path);
    if (!file) {
        std::perror("MP4Encoder_FileOpen Fail");
        return -1;
    }
    {
        MP4RecordWriteLock lock;
        gRec.File = std::move(file);
        std::memcpy(gRec.Directory, directory, sizeof(directory));
        std::memcpy(gRec.Name, name, sizeof(name));
        std::memcpy(gRec.Extension, extension, sizeof(extension));
        gRec.SpsSeen = 0;
        gRec.PpsSeen = 0;
        gRec.Sps.clear();
        gRec.AudioSkip = kAacSkipFrames;
        gDeviceState.RecordTimer = kRecordTimerTicks;
        MP4RecordHold();
        gRec.State = 1;
    }
    RequestVideoIdr();
    return 0;
}

void MP4RecordStop()
{
    std::lock_guard<std::mutex> fileLock(gRecordFileLock);
    CLOSED_FILE_S closed;
    {
        // The handle and the track are cleared under the lock: a start that follows opens a new
        // file that nothing here touches.
        MP4RecordWriteLock lock;
        closed = DetachLocked();
        gDeviceState.RecordTimer = kCountdownStopped;
        gDeviceState.RecordHoldTimer = kCountdownStopped;
    }
    // The trailer, the sync and the rename are outside the record lock.
    MP4Encoder_FileClose(std::move(closed));
    CloseAACEncoder();
}

int MP4Encoder_WriteVideo(uint8_t* nal, uint32_t length, uint32_t nalType, uint64_t)
{
    if (nal == nullptr || length < kNalMin) {
        return 0;
    }
    MP4RecordWriteLock lock;
    if (gRec.State == 0 || !gRec.File) {
        return 0;
    }
    switch (nalType) {
    case 7:
        if (gRec.SpsSeen == 0 && length >= kSpsMin) {
            gRec.Sps.assign(nal + 4, nal + 4 + ParamSetLength(nal + 4, length - 4));
            gRec.SpsSeen = gRec.Sps.size() >= 4 ? 1 : 0;
        }
        break;
    case 8:
        // A PPS counts only after the SPS: the track needs both, in this order.
        if (gRec.SpsSeen == 1 && gRec.PpsSeen == 0) {
            const size_t ppsLen = ParamSetLength(nal + 4, length - 4);
            const VENC_STREAM_ATTR_S& main = gVencStreamAttr[0];
            if (ppsLen > 0 && gRec.File->AddH264Track(static_cast<uint16_t>(main.Width), static_cast<uint16_t>(main.Height),
                                                      gRec.Sps.data(), gRec.Sps.size(), nal + 4, ppsLen) == 0) {
                gRec.PpsSeen = 1;
            } else if (ppsLen > 0) {
                APP_ERR("MP4 track not written: recording closed");
                MP4Encoder_FileClose(DetachLocked());
            }
        }
        break;
    case 1:
    case 5:
        if (gRec.SpsSeen == 1 && gRec.PpsSeen == 1) {
            WriteSliceLocked(nal, length, nalType == 5);
        }
        break;
    default:
        break;
    }
    return 0;
}

int MP4AddAudioTracks()
{
    MP4RecordWriteLock lock;
    if (gRec.State == 0 || !gRec.File) {
        return -1;
    }
    // The header goes out with the first key frame's parameter sets: a track can join only before.
    if (gRec.File->HasTrack()) {
        APP_ERR("MP4 audio tracks after the file's header: refused");
        return -1;
    }
    if (gRec.File->AddAacTrack(kAacSampleRate, kAacConfig, sizeof(kAacConfig)) != 0) {
        APP_ERR("MP4 AAC track not added");
        return -1;
    }
    if (gRec.File->AddPcmTrack(kPcmSampleRate) != 0) {
        APP_ERR("MP4 private track not added");
        return -1;
    }
    return 0;
}

int MP4Encoder_WriteAAC(const uint8_t* adts, uint32_t length)
{
    MP4RecordWriteLock lock;
    if (gRec.State == 0 || !gRec.File || gRec.PpsSeen == 0 || !gRec.File->HasAudioTrack()) {
        return 0;
    }
    // The encoder's first frames after the open are its start-up: not recorded.
    if (gRec.AudioSkip > 0) {
        --gRec.AudioSkip;
        return 0;
    }
    const size_t head = AdtsHeaderLength(adts, length);
    if (head == 0 || length <= head) {
        return -1;
    }
    if (gRec.File->WriteAudioSample(adts + head, length - static_cast<uint32_t>(head), kAacFrameSamples) != 0) {
        APP_ERR("MP4 audio write failed: recording closed");
        MP4Encoder_FileClose(DetachLocked());
        return -1;
    }
    return 0;
}

int MP4Encoder_WritePCM(const uint8_t* pcm, uint32_t length)
{
    if (pcm == nullptr || length == 0 || length % 2 != 0) {
        return -1;
    }
    MP4RecordWriteLock lock;
    if (gRec.State == 0 || !gRec.File || gRec.PpsSeen == 0 || !gRec.File->HasPcmTrack()) {
        return 0;
    }
    if (gRec.File->WritePcmSample(pcm, length, length / 2) != 0) {
        APP_ERR("MP4 private track write failed: recording closed");
        MP4Encoder_FileClose(DetachLocked());
        return -1;
    }
    return 0;
}

int MP4Encoder_WriteFurtherTrack(const uint8_t* data, uint32_t length)
{
    MP4RecordWriteLock lock;
    if (gRec.State == 0 || !gRec.File || gRec.FurtherTrack < 0) {
        return -1;
    }
    if (gRec.File->WriteTrackSample(gRec.FurtherTrack, data, length, kMp4SampleDuration) != 0) {
        APP_ERR("MP4 further track write failed: recording closed");
        MP4Encoder_FileClose(DetachLocked());
        return -1;
    }
    return 0;
}

int MotionRecordStart()
{
    if (MotionRecordAllowed() == 0 || GetPlaybackState() != 0 || GetMP4RecordState() != 0 ||
        !CountdownStopped(gDeviceState.RecordHoldTimer)) {
        return -1;
    }
    return MP4RecordStart();
}

int MP4RecoverFile(const char* unitPath)
{
    const std::string path(unitPath);
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    int hh = 0, mm = 0, ss = 0;
    char tail[8] = {};
    if (name.size() != kStartNameLen || std::sscanf(name.c_str(), "%2d%2d%2d%7s", &hh, &mm, &ss, tail) != 4 ||
        std::strcmp(tail, ".mp4") != 0 || hh > 23 || mm > 59 || ss > 59 || hh < 0 || mm < 0 || ss < 0) {
        return -1;
    }
    auto open = [&path] {
        MP4RecordWriteLock lock;
        return gRec.State != 0 && gRec.File && RecordPath(gRec.Directory, gRec.Name) == path;
    };
    // The recorder never opens a file that exists, so a file it does not hold now stays ours.
    if (open()) {
        return 0;
    }
    const Cut cut = CutToCompleteFragments(path);
    if (cut == Cut::Unknown) {
        return 0;
    }
    if (cut == Cut::NoneComplete) {
        APP_DBG("this file cannot play %s: no complete fragment", path.c_str());
        return -1;
    }
    std::unique_ptr<Mp4Reader> reader = Mp4Reader::Open(path);
    if (!reader || reader->SampleCount() == 0 || reader->TimeScale() == 0) {
        return -1;
    }
    uint64_t seconds = (reader->Duration() * 1000 / reader->TimeScale() + 500) / 1000;
    seconds = seconds == 0 ? 1 : seconds;
    const uint64_t endOfDay = (uint64_t(hh) * 3600 + uint64_t(mm) * 60 + uint64_t(ss) + seconds) % 86400;
    char endTime[8];
    std::snprintf(endTime, sizeof(endTime), "%02u%02u%02u", unsigned(endOfDay / 3600), unsigned(endOfDay / 60 % 60),
                  unsigned(endOfDay % 60));
    const std::string newPath = path.substr(0, slash + 1) + ClosedName(name.c_str(), endTime);
    if (BoardAccess(newPath.c_str(), F_OK) == 0) {
        APP_ERR("%s is there already: %s left as it is", newPath.c_str(), path.c_str());
        return 0;
    }
    {
        MP4RecordWriteLock lock;
        if (gRec.State != 0 && gRec.File && RecordPath(gRec.Directory, gRec.Name) == path) {
            return 0;
        }
        if (BoardRename(path.c_str(), newPath.c_str()) != 0) {
            APP_ERR("rename %s: %s", path.c_str(), std::strerror(errno));
            return 0;
        }
    }
    APP_INFO("recovered %s as %s (%u samples)", path.c_str(), newPath.c_str(), reader->SampleCount());
    return 1;
}

void MP4RecoverRecordings()
{
    std::lock_guard<std::mutex> fileLock(gRecordFileLock);
    ClearBadFile();
}

void Mp4RecordInstallLinks()
{
    gVencOutput.RecordState = GetMP4RecordState;
    gVencOutput.WriteVideo = MP4Encoder_WriteVideo;
    gSdCardLinks.RecordState = GetMP4RecordState;
    gSdCardLinks.RecordStop = MP4RecordStop;
    gSdCardLinks.RecoverRecording = MP4RecoverFile;
    gSdCardLinks.RecoverRecordings = MP4RecoverRecordings;
    gDoorPhoneLinks.RecordStop = MP4RecordStop;
}
