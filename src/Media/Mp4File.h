// The MP4 files of the recorder, on FFmpeg's libavformat: a writer of fragmented MP4 (one H.264
// track, and an AAC track and a private 16-bit PCM track when they are added, a fragment of 25
// video samples written and synced at a time, so a power cut loses at most the second being
// recorded) and a reader that indexes the samples it can read whole. Files on the card may come
// from anywhere: the reader trusts none of their bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

constexpr uint32_t kMp4TimeScale = 90000;
constexpr uint32_t kMp4SampleDuration = 3600;  // 40 ms at 25 frames per second
constexpr uint32_t kMp4FragmentSamples = 25;   // one second a fragment
// Below this no file holds a header and a fragment: the ftyp and the track's moov alone take
// some 700 bytes, a moof about 100 more.
constexpr uint32_t kMp4OneFragmentMinBytes = 512;
constexpr uint32_t kAacFrameSamples = 1024;  // samples of one AAC frame: its duration at the track's rate
// The private track's rate: the playback gives every frame of it this rate.
constexpr uint32_t kMp4PrivatePcmRate = 8000;
// The ceiling of any one FFmpeg allocation in the process. The largest legitimate one, the
// simulated JPEG encoder's packet for a 1920x1080 picture (the largest the sensor gives), takes
// 12 MB; a sample read from a file takes 4 MB at most. A file whose claims slip past the
// reader's check meets the ceiling instead of taking the unit's memory.
constexpr size_t kMp4AllocMax = 16 * 1024 * 1024;

// Sets that ceiling (av_max_alloc): once at start, before any file is read.
void Mp4LimitAllocations();

class Mp4Writer {
public:
    // Creates the file at a unit path; an existing file is never opened (null then, as for any
    // failure, with errno set). The container is chosen with the header: MP4, or QuickTime when
    // the file has the PCM track (the MP4 muxer takes no 16-bit PCM).
    static std::unique_ptr<Mp4Writer> Create(const std::string& unitPath);
    ~Mp4Writer();
    Mp4Writer(const Mp4Writer&) = delete;
    Mp4Writer& operator=(const Mp4Writer&) = delete;

    // An AAC track at sampleRate from its AudioSpecificConfig; only before the header (that is,
    // before AddH264Track), and one at most. 0 or -1.
    int AddAacTrack(uint32_t sampleRate, const uint8_t* config, size_t configLen);
    // The private track: 16-bit little-endian mono PCM at sampleRate (a "sowt" sound track). As
    // AddAacTrack, one at most, before the header. 0 or -1.
    int AddPcmTrack(uint32_t sampleRate);
    // The H.264 track of the given size from its parameter sets (without start codes); writes
    // and syncs the file header (an empty moov, with the audio tracks added before). 0 or -1.
    int AddH264Track(uint16_t width, uint16_t height, const uint8_t* sps, size_t spsLen, const uint8_t* pps,
                     size_t ppsLen);
    // One sample: NAL units each led by its 4-byte big-endian length. Every 25th sample ends the
    // fragment: it is written and synced before the call returns. 0 or -1 (the file is then
    // left as the last complete fragment made it).
    int WriteSample(const uint8_t* data, uint32_t len, uint32_t duration, bool sync);
    // One raw AAC frame (no ADTS header) of `duration` samples into the audio track; it goes out
    // with the video fragment under way. 0 or -1 (as WriteSample).
    int WriteAudioSample(const uint8_t* data, uint32_t len, uint32_t duration);
    // 16-bit samples into the PCM track, lasting `duration` samples; as WriteAudioSample. 0 or -1
    // (also for an odd length).
    int WritePcmSample(const uint8_t* data, uint32_t len, uint32_t duration);
    // One sample of `duration` in the 90 kHz time scale into `track`, a track of the file other
    // than the video, AAC and PCM tracks; as WriteAudioSample. -1 for a track the file lacks.
    int WriteTrackSample(int track, const uint8_t* data, uint32_t len, uint32_t duration);
    // The last fragment and the trailer, synced; the file is closed. 0 or -1.
    int Close();

    bool HasTrack() const { return mHeaderWritten; }
    bool HasAudioTrack() const { return mAudioIndex >= 0; }
    bool HasPcmTrack() const { return mPcmIndex >= 0; }
    uint32_t Samples() const { return mSamples; }

private:
    Mp4Writer() = default;
    static int WritePacket(void* opaque, uint8_t* buf, int size);
    int EndFragment();
    // What the muxer holds out to the file and synced; a failure marks the file failed. 0 or -1.
    int FlushSynced();
    // One packet of a stream, timed in its time base; a refusal marks the file failed. 0 or -1.
    int Mux(int stream, const uint8_t* data, uint32_t len, int64_t ts, int64_t duration, bool key);
    // A sound sample of `duration` at `rate` into `stream` at *next (in samples), which moves on.
    int MuxSound(int stream, uint32_t rate, int64_t* next, const uint8_t* data, uint32_t len, uint32_t duration);
    int AddSoundStreams();
    void Free();

    int mFd = -1;
    struct AVFormatContext* mCtx = nullptr;
    struct AVPacket* mPacket = nullptr;
    bool mHeaderWritten = false;
    bool mFailed = false;
    uint32_t mSamples = 0;
    uint32_t mInFragment = 0;
    int64_t mNextDts = 0;
    int mVideoIndex = -1;
    int mAudioIndex = -1;
    uint32_t mAudioRate = 0;
    std::vector<uint8_t> mAudioConfig;  // kept until the header makes the track
    int64_t mNextAudioTs = 0;  // in samples
    int mPcmIndex = -1;
    uint32_t mPcmRate = 0;
    int64_t mNextPcmTs = 0;  // in samples
    std::vector<int64_t> mNextTrackTs;  // per stream, in the 90 kHz time scale
};

class Mp4Reader {
public:
    // Opens an MP4 file at a unit path and indexes its first H.264 track and its first 16-bit
    // PCM sound track (mono, little-endian, at kMp4PrivatePcmRate: the private track): the
    // packets are read once (not decoded) and only those that come back whole are kept. Null
    // when the file cannot be opened or is no MP4, and when its boxes claim more samples or
    // entries than its bytes can hold (the demuxer would size its index by them).
    static std::unique_ptr<Mp4Reader> Open(const std::string& unitPath);
    ~Mp4Reader();
    Mp4Reader(const Mp4Reader&) = delete;
    Mp4Reader& operator=(const Mp4Reader&) = delete;

    // An H.264 track was found (it may still lack parameter sets or samples).
    bool HasVideo() const { return mHasVideo; }
    uint32_t SampleCount() const { return static_cast<uint32_t>(mSamples.size()); }
    uint32_t TimeScale() const { return mTimeScale; }
    // Sum of the kept samples' durations, in time-scale units.
    uint64_t Duration() const { return mDuration; }
    // Samples per second, rounded (0 without samples).
    uint32_t FrameRate() const;
    uint16_t Width() const { return mWidth; }
    uint16_t Height() const { return mHeight; }
    // The track's last sequence and picture parameter sets (empty when it has none).
    const std::vector<uint8_t>& Sps() const { return mSps; }
    const std::vector<uint8_t>& Pps() const { return mPps; }
    // Sample `id` (1 to SampleCount) as stored, into out. 0, or -1 for another id or a failed read.
    int ReadSample(uint32_t id, std::vector<uint8_t>* out, bool* sync) const;

    // The private PCM track, as the video track above (its time scale is its sample rate).
    bool HasPcm() const { return mHasPcm; }
    uint32_t PcmSampleCount() const { return static_cast<uint32_t>(mPcm.size()); }
    uint32_t PcmTimeScale() const { return mPcmTimeScale; }
    uint64_t PcmDuration() const { return mPcmDuration; }
    int ReadPcmSample(uint32_t id, std::vector<uint8_t>* out) const;

private:
    Mp4Reader() = default;
    struct Sample {
        int64_t Pos;
        int64_t Dts;
        uint32_t Size;
        bool Sync;
    };
    int mFd = -1;
    bool mHasVideo = false;
    uint32_t mTimeScale = 0;
    uint64_t mDuration = 0;
    uint16_t mWidth = 0;
    uint16_t mHeight = 0;
    std::vector<uint8_t> mSps;
    std::vector<uint8_t> mPps;
    std::vector<Sample> mSamples;
    bool mHasPcm = false;
    uint32_t mPcmTimeScale = 0;
    uint64_t mPcmDuration = 0;
    std::vector<Sample> mPcm;
    static int Read(int fd, const std::vector<Sample>& samples, uint32_t id, std::vector<uint8_t>* out, bool* sync);
};

// A fragmented MP4 that was never closed, or damaged: every damaged stretch between whole
// fragments (a moof and the whole mdat after it) is made a "free" box in place, and where the last
// whole fragment ends is returned, by the top-level boxes of the file. 0 when it has none (or is
// no such file), -1 when it cannot be read.
int64_t Mp4RepairFragments(const std::string& unitPath);

// The avcC record of a track from its parameter sets; empty when they are too short or too long.
std::vector<uint8_t> Mp4AvcConfig(const uint8_t* sps, size_t spsLen, const uint8_t* pps, size_t ppsLen);
// The last SPS and PPS of an avcC record; false when the record is not one.
bool Mp4ParseAvcConfig(const uint8_t* data, size_t len, std::vector<uint8_t>* sps, std::vector<uint8_t>* pps);
