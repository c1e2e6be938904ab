#include "Playback.h"

#include "Common/AppLog.h"
#include "Common/NoxaApp.h"
#include "Common/NoxaP2p.h"
#include "Common/NoxaSettings.h"
#include "Common/RecordFile.h"
#include "Mp4File.h"
#include "platform/board_path.h"
#include "platform/shell.h"

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <mutex>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr uint32_t kStepWaitMs = 10;
constexpr uint32_t kPauseWaitMs = 20;
constexpr size_t kDayFilesMax = 1440;
constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

void SleepMs(uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The playback context: written by the control calls while no thread runs, then by the thread
// alone; the flags are atomics.
struct PLAYBACK_CTX_S {
    std::atomic<uint8_t> Run{0};
    std::atomic<bool> StopRequest{false};
    std::atomic<uint8_t> Pause{0};
    std::atomic<uint8_t> End{0};
    std::atomic<int32_t> Client{-1};
    std::thread Thread;
    std::unique_ptr<Mp4Reader> File;
    bool HasVideo = false;
    uint32_t VideoSamples = 0;
    uint32_t VideoSampleMs = 0;
    uint32_t VideoNumber = 0;
    bool VideoFinished = false;
    bool HasAudio = false;  // the private PCM track
    uint32_t AudioSamples = 0;
    uint32_t AudioSampleMs = 0;
    uint32_t AudioNumber = 0;
    bool AudioFinished = false;
    std::vector<uint8_t> Sps;
    std::vector<uint8_t> Pps;
    uint32_t Skip = 0;
    uint32_t SectionStart = 0;
    uint32_t SectionEnd = 0;
    uint64_t LastVideoTs = 0;
    uint8_t Fps = 0;
    uint32_t ListIndex = 0;
    std::vector<RECORD_FILE_INFO_S> List;  // the played day's recordings, taken at the start
    std::vector<uint8_t> Sample;  // reused for every sample
    std::vector<uint8_t> Frame;   // a sync sample with its parameter sets
};

PLAYBACK_CTX_S gCtx;
// Start, stop, pause and resume come from the viewer events and the card format.
std::mutex gControl;

int LocalOffset()
{
    return gNoxaAppLinks.LocalTimeOffset != nullptr ? gNoxaAppLinks.LocalTimeOffset() : 0;  // GetLocalTimeOffset
}

bool IsType(const std::string& unitPath, const struct dirent* e, unsigned char type, mode_t mode)
{
    if (e->d_type != DT_UNKNOWN) {
        return e->d_type == type;
    }
    struct stat st {};
    return ::lstat(BoardPath(unitPath).c_str(), &st) == 0 && (st.st_mode & S_IFMT) == mode;
}

std::string RecordingPath(const RECORD_FILE_INFO_S& r)
{
    char path[128];
    std::snprintf(path, sizeof(path), "%s/%04d%02d%02d/%02d%02d%02d_%02d%02d%02d.mp4", kRecordBaseDir, r.Start.tm_year + 1900,
                  r.Start.tm_mon + 1, r.Start.tm_mday, r.Start.tm_hour, r.Start.tm_min, r.Start.tm_sec, r.End.tm_hour,
                  r.End.tm_min, r.End.tm_sec);
    return path;
}

// Whole milliseconds a sample, rounded: 65 s of 40 ms samples must not come out as 39.
uint32_t SampleMs(uint64_t duration, uint32_t timeScale, uint64_t count)
{
    const uint64_t perSample = uint64_t(timeScale) * count;
    return perSample == 0 ? 0 : static_cast<uint32_t>((duration * 1000 + perSample / 2) / perSample);
}

// ReadMP4Header: the file's video and private tracks into the context, which is reset first so
// nothing of the last file stays. 0, or -1 when the file cannot be read (the context then has no
// track).
int ReadMP4Header(const std::string& path, PLAYBACK_CTX_S& c)
{
    c.File.reset();
    c.HasVideo = false;
    c.VideoSamples = 0;
    c.VideoSampleMs = 0;
    c.HasAudio = false;
    c.AudioSamples = 0;
    c.AudioSampleMs = 0;
    c.Fps = 0;
    c.Sps.clear();
    c.Pps.clear();
    std::unique_ptr<Mp4Reader> f = Mp4Reader::Open(path);
    AppLogPrint(APP_LOG_BLUE, "ReadMP4Header", "filename:%s", path.c_str());
    if (!f) {
        AppLogPrint(APP_LOG_RED, "ReadMP4Header", "Read error....%s", path.c_str());
        return -1;
    }
    AppLogPrint(APP_LOG_BLUE, "ReadMP4Header", "numTracks:%d", (f->HasVideo() ? 1 : 0) + (f->HasPcm() ? 1 : 0));
    if (f->HasVideo()) {
        const uint64_t count = f->SampleCount();
        const uint32_t ms = SampleMs(f->Duration(), f->TimeScale(), count);
        AppLogPrint(APP_LOG_BLUE, "ReadMP4Header", "%s FrameScale is %u numSamples is %u  FPS(%u)", "vide", f->TimeScale(),
                    static_cast<unsigned>(count), f->FrameRate());
        if (f->Sps().empty() || f->Pps().empty()) {
            AppLogPrint(APP_LOG_RED, "ReadMP4Header", "Cannot Find sps, Continue");
        } else if (count == 0 || ms == 0) {
            AppLogPrint(APP_LOG_RED, "ReadMP4Header", "no samples");
        } else {
            c.Sps = f->Sps();
            c.Pps = f->Pps();
            c.VideoSamples = static_cast<uint32_t>(count);
            c.VideoSampleMs = ms;
            c.Fps = static_cast<uint8_t>(std::min<uint32_t>(f->FrameRate(), 255));
            c.HasVideo = true;
        }
    }
    if (f->HasPcm()) {
        const uint32_t count = f->PcmSampleCount();
        const uint32_t ms = SampleMs(f->PcmDuration(), f->PcmTimeScale(), count);
        AppLogPrint(APP_LOG_BLUE, "ReadMP4Header", "%s FrameScale is %u numSamples is %u", "priv", f->PcmTimeScale(), count);
        // Samples shorter than a millisecond would all carry one time stamp.
        c.HasAudio = count != 0 && ms != 0;
        c.AudioSamples = c.HasAudio ? count : 0;
        c.AudioSampleMs = c.HasAudio ? ms : 0;
    }
    c.File = std::move(f);
    return 0;
}

// NextPlaybackFile: the day's next recording, unless a stop was asked for. 0, or -1 at the end.
int NextPlaybackFile(PLAYBACK_CTX_S& c)
{
    if (c.StopRequest) {
        return -1;
    }
    if (c.ListIndex + 1 >= c.List.size()) {
        if (!c.List.empty()) {
            c.ListIndex = static_cast<uint32_t>(c.List.size() - 1);
        }
        return -1;
    }
    const RECORD_FILE_INFO_S& next = c.List[++c.ListIndex];
    c.Pause = 0;
    ReadMP4Header(RecordingPath(next), c);
    c.VideoFinished = false;
    c.VideoNumber = 0;
    c.AudioFinished = false;
    c.AudioNumber = 0;
    c.Skip = 0;
    c.SectionStart = next.StartTime;
    c.SectionEnd = next.EndTime;
    c.End = 1;
    return 0;
}

// The sender's answers that the viewer's session is gone (or no longer in playback): nothing
// further can reach it.
bool SessionGone(int rc)
{
    return rc == -1 || rc == -ENOENT || rc == -ENXIO;
}

// The next video sample to the client; false when the session is gone.
bool SendVideoSample(PLAYBACK_CTX_S& c)
{
    ++c.VideoNumber;
    bool sync = false;
    if (c.File->ReadSample(c.VideoNumber, &c.Sample, &sync) != 0 || c.Sample.size() < 5) {
        return true;
    }
    std::memcpy(c.Sample.data(), kStartCode, sizeof(kStartCode));
    TRANSFER_MEDIA_FRAME_S f{};
    f.video.media_codec = NOXA_CODEC_VIDEO_H264;
    if (sync) {
        // A viewer can start decoding at any sync sample: the parameter sets go in front of it.
        c.Frame.clear();
        c.Frame.insert(c.Frame.end(), kStartCode, kStartCode + 4);
        c.Frame.insert(c.Frame.end(), c.Sps.begin(), c.Sps.end());
        c.Frame.insert(c.Frame.end(), kStartCode, kStartCode + 4);
        c.Frame.insert(c.Frame.end(), c.Pps.begin(), c.Pps.end());
        c.Frame.insert(c.Frame.end(), c.Sample.begin(), c.Sample.end());
        f.video.frame_type = 1;
        f.video.p_buf = c.Frame.data();
        f.video.buf_len = static_cast<uint32_t>(c.Frame.size());
    } else {
        f.video.frame_type = (c.Sample[4] & 0x1F) == 1 ? 0 : 1;
        f.video.p_buf = c.Sample.data();
        f.video.buf_len = static_cast<uint32_t>(c.Sample.size());
    }
    c.LastVideoTs = uint64_t(c.SectionStart) * 1000 + uint64_t(c.VideoNumber) * c.VideoSampleMs;
    f.video.pts = c.LastVideoTs;
    f.video.timestamp = c.LastVideoTs / 1000;
    return !SessionGone(gPlaybackOutput.SendVideo(static_cast<uint32_t>(c.Client.load()), &f));
}

// The next private-track sample to the client, as 16-bit PCM at 8 kHz; false when the session
// is gone.
bool SendAudioSample(PLAYBACK_CTX_S& c)
{
    ++c.AudioNumber;
    if (c.File->ReadPcmSample(c.AudioNumber, &c.Sample) != 0 || c.Sample.empty()) {
        return true;
    }
    TRANSFER_MEDIA_FRAME_S f{};
    f.audio.audio_codec = NOXA_CODEC_AUDIO_PCM;
    f.audio.audio_sample = 8000;
    f.audio.audio_databits = 16;
    f.audio.audio_channel = 0;
    f.audio.p_audio_buf = c.Sample.data();
    f.audio.buf_len = static_cast<uint32_t>(c.Sample.size());
    f.audio.pts = uint64_t(c.SectionStart) * 1000 + uint64_t(c.AudioNumber) * c.AudioSampleMs;
    f.audio.timestamp = f.audio.pts / 1000;
    if (gPlaybackOutput.SendAudio == nullptr) {
        return true;
    }
    return !SessionGone(gPlaybackOutput.SendAudio(static_cast<uint32_t>(c.Client.load()), &f));
}

// The viewer left: the playback ends, and with it the hold on event recording.
bool ClientGone(PLAYBACK_CTX_S& c)
{
    AppLogPrint(APP_LOG_RED, "NoxaPlaybackVideoThread", "client %d gone: playback ends", static_cast<int>(c.Client.load()));
    c.End = 1;
    c.Run = 0;
    return false;
}

// One pass of the playback thread: at most one video and one audio sample sent. False when the
// thread is to end.
bool PlaybackStep(PLAYBACK_CTX_S& c)
{
    if (c.StopRequest || c.Run == 0) {
        return false;
    }
    if (c.Pause != 0) {
        gPlaybackOutput.Sleep(kPauseWaitMs);
        return true;
    }
    if (!c.VideoFinished) {
        if (!c.HasVideo) {
            c.VideoFinished = true;  // nothing of this file can be played
        } else if (!SendVideoSample(c)) {
            return ClientGone(c);
        } else {
            c.VideoFinished = c.VideoNumber >= c.VideoSamples;
        }
    }
    if (!c.AudioFinished) {
        if (!c.HasAudio) {
            c.AudioFinished = true;
        } else if (!SendAudioSample(c)) {
            return ClientGone(c);
        } else {
            c.AudioFinished = c.AudioNumber >= c.AudioSamples;
        }
    }
    if (c.VideoFinished && c.AudioFinished) {
        c.File.reset();
        if (NextPlaybackFile(c) != 0) {
            c.End = 1;
            c.Run = 0;  // over before the viewer hears so
            if (!c.StopRequest) {
                gPlaybackOutput.SendFinish(static_cast<uint32_t>(c.Client.load()));
            }
            return false;
        }
    }
    gPlaybackOutput.Sleep(kStepWaitMs);
    return true;
}

void NoxaPlaybackVideoThread(PLAYBACK_CTX_S* c)
{
    prctl(PR_SET_NAME, "NoxaPlaybackVideoThread");
    AppLogPrint(APP_LOG_BLUE, "NoxaPlaybackVideoThread", "PID = %u", static_cast<unsigned>(gettid()));
    if (c->HasVideo && c->VideoSampleMs != 0) {
        uint32_t number = static_cast<uint32_t>(uint64_t(c->Skip) * 1000 / c->VideoSampleMs);
        if (number > c->VideoSamples) {
            // Past the end: the file's last second (none for a file shorter than a second).
            number = c->VideoSamples > c->Fps ? c->VideoSamples - c->Fps : 0;
        }
        if (number > c->Fps) {
            number -= c->Fps;  // about a second before the asked moment
        }
        c->VideoNumber = number;
    }
    if (c->HasAudio && c->AudioSampleMs != 0) {
        // No second early here: the sound joins at the asked moment.
        const uint64_t number = uint64_t(c->Skip) * 1000 / c->AudioSampleMs;
        c->AudioNumber = static_cast<uint32_t>(std::min<uint64_t>(number, c->AudioSamples));
    }
    while (PlaybackStep(*c)) {
    }
    c->File.reset();
    c->Run = 0;
}

void StopLocked()
{
    PLAYBACK_CTX_S& c = gCtx;
    const bool running = c.Thread.joinable();
    c.StopRequest = true;
    // A thread that ended by itself is joined here too, so a start never leaves two threads on
    // one context.
    if (running) {
        c.Thread.join();
    }
    c.StopRequest = false;
    c.File.reset();
    c.Run = 0;
    c.Pause = 0;
    c.End = 0;
    c.Client = -1;
    c.Sps.clear();
    c.Pps.clear();
    c.List.clear();
    if (running) {
        BoardSystem("echo 3 > /proc/sys/vm/drop_caches");
    }
}

uint32_t UtcOf(struct tm local)
{
    local.tm_isdst = -1;
    const time_t t = mktime(&local);
    return t <= 0 ? 0 : static_cast<uint32_t>(static_cast<int64_t>(t) - LocalOffset());
}

}  // namespace

PLAYBACK_OUTPUT_S gPlaybackOutput = {noxa_ipc_playback_send_video_frame, noxa_ipc_playback_send_finish,
                                     noxa_ipc_playback_send_day_list, SleepMs, noxa_ipc_playback_send_audio_frame};

int SeekFileByMonth(PB_MONTH_QUERY_S* q)
{
    char prefix[16];
    std::snprintf(prefix, sizeof(prefix), "%04u%02u", q->Year, q->Month);
    DIR* d = opendir(BoardPath(kRecordBaseDir).c_str());
    if (d == nullptr && errno == ENOENT) {
        // A card that never held a recording: no days, and nothing wrong.
        AppLogPrint(APP_LOG_BLUE, "SeekFileByMonth", "no recordings");
        return 0;
    }
    if (d == nullptr) {
        AppLogPrint(APP_LOG_RED, "SeekFileByMonth", "fail to open dir");
        return -1;
    }
    while (struct dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) {
            continue;
        }
        AppLogPrint(APP_LOG_BLUE, "SeekFileByMonth", "d_type = %d", e->d_type);
        const char* at = std::strstr(e->d_name, prefix);
        if (at == nullptr || !IsType(std::string(kRecordBaseDir) + "/" + e->d_name, e, DT_DIR, S_IFDIR)) {
            continue;
        }
        const int day = std::atoi(at + std::strlen(prefix));
        if (day >= 0 && day < 32) {
            q->Days |= 1u << day;
        }
    }
    closedir(d);
    return 0;
}

int ScanRecordDir(const char* directory, std::vector<RECORD_FILE_INFO_S>* list, uint32_t year, uint32_t month,
                  uint32_t day)
{
    list->clear();
    DIR* d = opendir(BoardPath(directory).c_str());
    if (d == nullptr && errno == ENOENT) {
        // A day without recordings has no folder: nothing wrong with the card.
        AppLogPrint(APP_LOG_BLUE, "ScanRecordDir", "no recordings in %s", directory);
        return -1;
    }
    if (d == nullptr) {
        AppLogPrint(APP_LOG_RED, "ScanRecordDir", "fail to open dir %s", directory);
        return -1;
    }
    const std::string base(directory);
    while (struct dirent* e = readdir(d)) {
        const size_t len = std::strlen(e->d_name);
        const char* ext = std::strstr(e->d_name, ".mp4");
        // The 13 characters "HHMMSS_HHMMSS" must stand before the extension.
        if (len <= 11 || ext == nullptr || ext - e->d_name < 13 || !IsType(base + "/" + e->d_name, e, DT_REG, S_IFREG)) {
            continue;
        }
        int t[6] = {};
        char field[14] = {};
        std::memcpy(field, ext - 13, 13);
        if (std::sscanf(field, "%02d%02d%02d_%02d%02d%02d", &t[0], &t[1], &t[2], &t[3], &t[4], &t[5]) != 6) {
            continue;
        }
        struct tm s {};
        s.tm_year = static_cast<int>(year) - 1900;
        s.tm_mon = static_cast<int>(month) - 1;
        s.tm_mday = static_cast<int>(day);
        struct tm en = s;
        s.tm_hour = t[0];
        s.tm_min = t[1];
        s.tm_sec = t[2];
        en.tm_hour = t[3];
        en.tm_min = t[4];
        en.tm_sec = t[5];
        s.tm_isdst = en.tm_isdst = -1;
        const struct tm endFields = en;  // mktime normalises what it is given
        const time_t st = mktime(&s);
        time_t et = mktime(&en);
        if (st > 0 && et > 0 && et < st) {
            // Closed after midnight: the file stays in its start day's folder, its end is the next day.
            en = endFields;
            ++en.tm_mday;
            et = mktime(&en);
        }
        // A file never closed, or one of 2 minutes or more: not listed.
        if (st <= 0 || et <= 0 || st >= et || et - st >= static_cast<time_t>(kRecordListMaxSeconds)) {
            continue;
        }
        // Only the size is looked at: the file is read when it plays.
        struct stat fs {};
        if (::stat(BoardPath(base + "/" + e->d_name).c_str(), &fs) != 0 ||
            fs.st_size < static_cast<off_t>(kMp4OneFragmentMinBytes)) {
            continue;
        }
        RECORD_FILE_INFO_S r{};
        r.StartTime = UtcOf(s);
        r.EndTime = UtcOf(en);
        r.Start = s;
        r.End = en;
        list->push_back(r);
    }
    closedir(d);
    // The recorder makes a day's files in time order; the folder need not list them so. A day
    // with more files than the list holds keeps its latest.
    std::stable_sort(list->begin(), list->end(),
                     [](const RECORD_FILE_INFO_S& a, const RECORD_FILE_INFO_S& b) { return a.StartTime < b.StartTime; });
    if (list->size() > kDayFilesMax) {
        list->erase(list->begin(), list->end() - static_cast<std::ptrdiff_t>(kDayFilesMax));
    }
    for (size_t i = 0; i < list->size(); ++i) {
        (*list)[i].Index = static_cast<uint32_t>(i);
    }
    return 0;
}

int SeekFileInfoByDate(PB_DAY_QUERY_S* q)
{
    q->Files.clear();
    char dir[64];
    std::snprintf(dir, sizeof(dir), "%s/%04u%02u%02u/", kRecordBaseDir, q->Year, q->Month, q->Day);
    AppLogPrint(APP_LOG_BLUE, "SeekFileInfoByDate", "Open %s", dir);
    std::vector<RECORD_FILE_INFO_S> list;
    const int rc = ScanRecordDir(dir, &list, q->Year, q->Month, q->Day);
    if (rc != 0 || list.empty()) {
        return -1;
    }
    q->Files.reserve(list.size());
    for (const auto& r : list) {
        q->Files.push_back(PLAYBACK_TIME_S{0, r.StartTime, r.EndTime});
    }
    AppLogPrint(APP_LOG_BLUE, "SeekFileInfoByDate", "PlayFileCount = %d", static_cast<int>(list.size()));
    return 0;
}

int StartPlayback(uint32_t playTime, uint32_t start, uint32_t end, uint32_t client)
{
    std::lock_guard<std::mutex> control(gControl);
    StopLocked();
    AppLogPrint(APP_LOG_BLUE, "StartPlayback", "%d %d", static_cast<int>(start), static_cast<int>(end));
    PLAYBACK_CTX_S& c = gCtx;
    // The day's list as it is now, the playback's own: the day queries of the viewers (each its
    // own day) must change neither what plays nor what plays next.
    const time_t local = static_cast<time_t>(int64_t(start) + LocalOffset());
    struct tm day {};
    if (localtime_r(&local, &day) == nullptr) {
        return -1;
    }
    char dir[64];
    std::snprintf(dir, sizeof(dir), "%s/%04d%02d%02d/", kRecordBaseDir, day.tm_year + 1900, day.tm_mon + 1, day.tm_mday);
    std::vector<RECORD_FILE_INFO_S> list;
    ScanRecordDir(dir, &list, static_cast<uint32_t>(day.tm_year + 1900), static_cast<uint32_t>(day.tm_mon + 1),
                  static_cast<uint32_t>(day.tm_mday));
    const auto found = std::find_if(list.begin(), list.end(), [&](const RECORD_FILE_INFO_S& r) {
        return r.StartTime == start && r.EndTime == end;
    });
    if (found == list.end()) {
        return -1;
    }
    const RECORD_FILE_INFO_S chosen = *found;
    const std::string path = RecordingPath(chosen);
    // A play time before the section plays it from its start.
    const uint32_t skip = playTime > start ? playTime - start : 0;
    AppLogPrint(APP_LOG_BLUE, "StartPlayback", "Skip Time = %d", static_cast<int>(skip));
    c.Pause = 0;
    ReadMP4Header(path, c);
    c.VideoFinished = false;
    c.VideoNumber = 0;
    c.AudioFinished = false;
    c.AudioNumber = 0;
    c.Skip = skip;
    c.SectionStart = start;
    c.SectionEnd = end;
    c.Client = static_cast<int32_t>(client);
    c.ListIndex = chosen.Index;
    c.List = std::move(list);
    c.End = 0;
    c.Run = 1;
    c.Thread = std::thread(NoxaPlaybackVideoThread, &c);
    return 0;
}

void StopPlayback()
{
    std::lock_guard<std::mutex> control(gControl);
    StopLocked();
}

void PausePlayback()
{
    gCtx.Pause = 1;
}

void ResumePlayback()
{
    gCtx.Pause = 0;
}

uint8_t GetPlaybackState()
{
    return gCtx.Run;
}

int PlaybackOwner()
{
    return gCtx.Run != 0 ? gCtx.Client.load() : -1;
}

namespace {

// The viewer events' entries: a playback acts only for the client that started it.
bool OwnedBy(uint8_t slot)
{
    return PlaybackOwner() == static_cast<int>(slot);
}

int PbQueryMonth(uint32_t* w)
{
    PB_MONTH_QUERY_S q{w[0], w[1], w[2], w[3]};
    const int rc = SeekFileByMonth(&q);
    w[3] = q.Days;
    return rc;
}

// The day's list goes to the viewer as its own record; word 4 of the answer carries the count.
int PbQueryDay(uint32_t* w)
{
    PB_DAY_QUERY_S q{w[0], w[1], w[2], w[3], {}};
    const int rc = SeekFileInfoByDate(&q);
    gPlaybackOutput.SendDayList(w[0], q.Files.data(), static_cast<uint32_t>(q.Files.size()));
    w[4] = static_cast<uint32_t>(q.Files.size());
    return rc;
}

int PbStart(uint8_t slot, uint32_t playTime, uint32_t start, uint32_t end)
{
    return StartPlayback(playTime, start, end, slot);
}

void PbPause(uint8_t slot)
{
    if (OwnedBy(slot)) {
        PausePlayback();
    }
}

void PbResume(uint8_t slot)
{
    if (OwnedBy(slot)) {
        ResumePlayback();
    }
}

void PbStop(uint8_t slot)
{
    if (OwnedBy(slot)) {
        StopPlayback();
    }
}

int StopSdPlayback()
{
    StopPlayback();
    return 0;
}

}  // namespace

void PlaybackInstallLinks()
{
    gNoxaP2pLinks.PbQueryMonth = PbQueryMonth;
    gNoxaP2pLinks.PbQueryDay = PbQueryDay;
    gNoxaP2pLinks.PbOwner = PlaybackOwner;
    gNoxaP2pLinks.PbStart = PbStart;
    gNoxaP2pLinks.PbPause = PbPause;
    gNoxaP2pLinks.PbResume = PbResume;
    gNoxaP2pLinks.PbStop = PbStop;
    gNoxaSettingsLinks.StopSdPlayback = StopSdPlayback;
}
