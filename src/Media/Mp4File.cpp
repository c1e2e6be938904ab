#include "Mp4File.h"

#include "platform/board_path.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kIoBufferSize = 32 * 1024;
// Larger samples are not taken from a file: a 1 Mbit/s stream's key frames are far smaller.
constexpr uint32_t kSampleMax = 4 * 1024 * 1024;
// A day of 25 fps is 2.16 million samples; one recording holds at most a few thousand.
constexpr size_t kSamplesMax = 200000;
constexpr size_t kParamSetMax = 0xFFFF;
constexpr size_t kAudioConfigMax = 64;  // an AudioSpecificConfig is a few bytes

uint32_t Be32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// A sample of length-prefixed NAL units whose lengths add up to its size: one cut short by the
// end of the file fails this even where the demuxer does not say so.
bool NalChainWhole(const uint8_t* p, size_t size)
{
    size_t at = 0;
    while (size - at >= 4) {
        const size_t n = Be32(p + at);
        if (n == 0 || n > size - at - 4) {
            return false;
        }
        at += 4 + n;
    }
    return at == size;
}

bool ReadFull(int fd, uint8_t* buf, size_t len, int64_t pos)
{
    size_t got = 0;
    while (got < len) {
        ssize_t n = ::pread(fd, buf + got, len - got, pos + static_cast<int64_t>(got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

uint32_t TimeScaleOf(const AVStream* st)
{
    return st->time_base.num == 1 && st->time_base.den > 0 ? static_cast<uint32_t>(st->time_base.den) : 0;
}

// The private track as the writer makes it: a sound track of 16-bit little-endian mono PCM at
// 8 kHz (the rate the playback gives every frame of it).
bool IsPrivatePcm(const AVStream* st)
{
    const AVCodecParameters* par = st->codecpar;
    return par->codec_type == AVMEDIA_TYPE_AUDIO && par->codec_id == AV_CODEC_ID_PCM_S16LE &&
           par->ch_layout.nb_channels == 1 && par->sample_rate == static_cast<int>(kMp4PrivatePcmRate);
}

bool ClaimsFitFile(int fd, uint64_t fileSize);

}  // namespace

void Mp4LimitAllocations()
{
    av_max_alloc(kMp4AllocMax);
}

std::vector<uint8_t> Mp4AvcConfig(const uint8_t* sps, size_t spsLen, const uint8_t* pps, size_t ppsLen)
{
    std::vector<uint8_t> c;
    if (sps == nullptr || pps == nullptr || spsLen < 4 || ppsLen < 1 || spsLen > kParamSetMax || ppsLen > kParamSetMax) {
        return c;
    }
    // version 1, profile, compatibility, level, 4-byte lengths, one SPS, one PPS.
    c = {1, sps[1], sps[2], sps[3], 0xFF, 0xE1, uint8_t(spsLen >> 8), uint8_t(spsLen)};
    c.insert(c.end(), sps, sps + spsLen);
    c.push_back(1);
    c.push_back(uint8_t(ppsLen >> 8));
    c.push_back(uint8_t(ppsLen));
    c.insert(c.end(), pps, pps + ppsLen);
    return c;
}

bool Mp4ParseAvcConfig(const uint8_t* data, size_t len, std::vector<uint8_t>* sps, std::vector<uint8_t>* pps)
{
    if (data == nullptr || len < 7 || data[0] != 1) {
        return false;
    }
    size_t at = 5;
    for (int kind = 0; kind < 2; ++kind) {
        if (at >= len) {
            return false;
        }
        const unsigned count = kind == 0 ? (data[at] & 0x1F) : data[at];
        ++at;
        std::vector<uint8_t>* out = kind == 0 ? sps : pps;
        for (unsigned i = 0; i < count; ++i) {
            if (at + 2 > len) {
                return false;
            }
            const size_t n = (size_t(data[at]) << 8) | data[at + 1];
            at += 2;
            if (n > len - at) {
                return false;
            }
            out->assign(data + at, data + at + n);  // the last one stays
            at += n;
        }
    }
    return true;
}

// ---- writer ----

std::unique_ptr<Mp4Writer> Mp4Writer::Create(const std::string& unitPath)
{
    std::unique_ptr<Mp4Writer> w(new Mp4Writer);
    // O_EXCL: a file already there (a recording cut by a power loss, or one still being
    // finished) is never overwritten.
    w->mFd = BoardOpen(unitPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (w->mFd < 0) {
        return nullptr;
    }
    w->mPacket = av_packet_alloc();
    if (w->mPacket == nullptr) {
        ::close(w->mFd);
        w->mFd = -1;
        BoardUnlink(unitPath.c_str());
        errno = ENOMEM;
        return nullptr;
    }
    return w;
}

Mp4Writer::~Mp4Writer()
{
    Free();
}

void Mp4Writer::Free()
{
    if (mCtx != nullptr) {
        if (mCtx->pb != nullptr) {
            av_freep(&mCtx->pb->buffer);
            avio_context_free(&mCtx->pb);
        }
        avformat_free_context(mCtx);
        mCtx = nullptr;
    }
    av_packet_free(&mPacket);
    if (mFd >= 0) {
        ::close(mFd);
        mFd = -1;
    }
}

int Mp4Writer::WritePacket(void* opaque, uint8_t* buf, int size)
{
    auto* w = static_cast<Mp4Writer*>(opaque);
    int done = 0;
    while (done < size) {
        ssize_t n = ::write(w->mFd, buf + done, static_cast<size_t>(size - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            w->mFailed = true;
            return n < 0 ? AVERROR(errno) : AVERROR(ENOSPC);
        }
        done += static_cast<int>(n);
    }
    return size;
}

int Mp4Writer::AddH264Track(uint16_t width, uint16_t height, const uint8_t* sps, size_t spsLen, const uint8_t* pps,
                            size_t ppsLen)
{
    if (mFd < 0 || mCtx != nullptr || mHeaderWritten || mFailed) {
        return -1;
    }
    const std::vector<uint8_t> avcc = Mp4AvcConfig(sps, spsLen, pps, ppsLen);
    if (avcc.empty()) {
        return -1;
    }
    // The muxer is chosen only now that the tracks are known: the MP4 muxer refuses 16-bit PCM,
    // the QuickTime one writes it as a "sowt" sound track. Files without it stay MP4.
    if (avformat_alloc_output_context2(&mCtx, nullptr, mPcmRate != 0 ? "mov" : "mp4", nullptr) < 0) {
        mCtx = nullptr;
        return -1;
    }
    auto* buf = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
    if (buf == nullptr) {
        return -1;
    }
    // Our own output, so that every fragment can be synced on the file's descriptor. No seek:
    // a fragmented file is written front to back.
    mCtx->pb = avio_alloc_context(buf, kIoBufferSize, 1, this, nullptr, WritePacket, nullptr);
    if (mCtx->pb == nullptr) {
        av_free(buf);
        return -1;
    }
    mCtx->flags |= AVFMT_FLAG_CUSTOM_IO;
    // The sound tracks first, AAC then PCM: a file with the AAC track keeps its layout.
    if (AddSoundStreams() != 0) {
        return -1;
    }
    AVStream* st = avformat_new_stream(mCtx, nullptr);
    if (st == nullptr) {
        return -1;
    }
    mVideoIndex = st->index;
    st->time_base = AVRational{1, static_cast<int>(kMp4TimeScale)};
    AVCodecParameters* par = st->codecpar;
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = AV_CODEC_ID_H264;
    par->width = width;
    par->height = height;
    par->extradata = static_cast<uint8_t*>(av_mallocz(avcc.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (par->extradata == nullptr) {
        return -1;
    }
    std::memcpy(par->extradata, avcc.data(), avcc.size());
    par->extradata_size = static_cast<int>(avcc.size());
    AVDictionary* opts = nullptr;
    // The moov (without samples) goes first; fragments are cut by EndFragment alone, every 25
    // samples (a duration-based cut would be written inside the next packet's write, after the
    // sync).
    av_dict_set(&opts, "movflags", "empty_moov+frag_custom+default_base_moof", 0);
    av_dict_set(&opts, "video_track_timescale", "90000", 0);
    const int rc = avformat_write_header(mCtx, &opts);
    av_dict_free(&opts);
    if (rc < 0 || FlushSynced() != 0) {
        mFailed = true;
        return -1;
    }
    mNextTrackTs.assign(mCtx->nb_streams, 0);
    mHeaderWritten = true;
    return 0;
}

int Mp4Writer::AddSoundStreams()
{
    if (!mAudioConfig.empty()) {
        AVStream* st = avformat_new_stream(mCtx, nullptr);
        if (st == nullptr) {
            return -1;
        }
        st->time_base = AVRational{1, static_cast<int>(mAudioRate)};
        AVCodecParameters* par = st->codecpar;
        par->codec_type = AVMEDIA_TYPE_AUDIO;
        par->codec_id = AV_CODEC_ID_AAC;
        par->profile = FF_PROFILE_AAC_LOW;
        par->sample_rate = static_cast<int>(mAudioRate);
        av_channel_layout_default(&par->ch_layout, 1);
        par->frame_size = static_cast<int>(kAacFrameSamples);
        par->extradata = static_cast<uint8_t*>(av_mallocz(mAudioConfig.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (par->extradata == nullptr) {
            return -1;
        }
        std::memcpy(par->extradata, mAudioConfig.data(), mAudioConfig.size());
        par->extradata_size = static_cast<int>(mAudioConfig.size());
        mAudioIndex = st->index;
    }
    if (mPcmRate != 0) {
        AVStream* st = avformat_new_stream(mCtx, nullptr);
        if (st == nullptr) {
            return -1;
        }
        st->time_base = AVRational{1, static_cast<int>(mPcmRate)};
        AVCodecParameters* par = st->codecpar;
        par->codec_type = AVMEDIA_TYPE_AUDIO;
        par->codec_id = AV_CODEC_ID_PCM_S16LE;
        par->sample_rate = static_cast<int>(mPcmRate);
        av_channel_layout_default(&par->ch_layout, 1);
        par->bits_per_coded_sample = 16;
        par->block_align = 2;
        mPcmIndex = st->index;
    }
    return 0;
}

int Mp4Writer::AddAacTrack(uint32_t sampleRate, const uint8_t* config, size_t configLen)
{
    if (mFd < 0 || mHeaderWritten || mFailed || !mAudioConfig.empty() || sampleRate == 0 || sampleRate > INT32_MAX ||
        config == nullptr || configLen == 0 || configLen > kAudioConfigMax) {
        return -1;
    }
    mAudioConfig.assign(config, config + configLen);
    mAudioRate = sampleRate;
    return 0;
}

int Mp4Writer::AddPcmTrack(uint32_t sampleRate)
{
    if (mFd < 0 || mHeaderWritten || mFailed || mPcmRate != 0 || sampleRate == 0 || sampleRate > INT32_MAX) {
        return -1;
    }
    mPcmRate = sampleRate;
    return 0;
}

int Mp4Writer::MuxSound(int stream, uint32_t rate, int64_t* next, const uint8_t* data, uint32_t len, uint32_t duration)
{
    if (!mHeaderWritten || mFailed || stream < 0 || data == nullptr || len == 0 || len > INT32_MAX) {
        return -1;
    }
    // The muxer may have given the track another time base than the sample rate.
    const AVRational r{1, static_cast<int>(rate)};
    const AVRational tb = mCtx->streams[stream]->time_base;
    if (Mux(stream, data, len, av_rescale_q(*next, r, tb), av_rescale_q(duration, r, tb), true) != 0) {
        return -1;
    }
    *next += duration;
    return 0;
}

int Mp4Writer::WritePcmSample(const uint8_t* data, uint32_t len, uint32_t duration)
{
    if (len % 2 != 0) {
        return -1;
    }
    return MuxSound(mPcmIndex, mPcmRate, &mNextPcmTs, data, len, duration);
}

int Mp4Writer::WriteTrackSample(int track, const uint8_t* data, uint32_t len, uint32_t duration)
{
    if (!mHeaderWritten || track < 0 || static_cast<size_t>(track) >= mNextTrackTs.size() || track == mVideoIndex ||
        track == mAudioIndex || track == mPcmIndex) {
        return -1;
    }
    return MuxSound(track, kMp4TimeScale, &mNextTrackTs[static_cast<size_t>(track)], data, len, duration);
}

int Mp4Writer::WriteAudioSample(const uint8_t* data, uint32_t len, uint32_t duration)
{
    return MuxSound(mAudioIndex, mAudioRate, &mNextAudioTs, data, len, duration);
}

int Mp4Writer::Mux(int stream, const uint8_t* data, uint32_t len, int64_t ts, int64_t duration, bool key)
{
    av_packet_unref(mPacket);
    // The muxer copies the bytes into its fragment: the caller's buffer is only lent.
    mPacket->data = const_cast<uint8_t*>(data);
    mPacket->size = static_cast<int>(len);
    mPacket->stream_index = stream;
    mPacket->pts = mPacket->dts = ts;
    mPacket->duration = duration;
    mPacket->flags = key ? AV_PKT_FLAG_KEY : 0;
    mPacket->pos = -1;
    const int rc = av_write_frame(mCtx, mPacket);
    mPacket->data = nullptr;
    mPacket->size = 0;
    if (rc < 0) {
        mFailed = true;
        return -1;
    }
    return 0;
}

int Mp4Writer::FlushSynced()
{
    avio_flush(mCtx->pb);
    if (mFailed || mCtx->pb->error < 0 || ::fdatasync(mFd) != 0) {
        mFailed = true;
        return -1;
    }
    return 0;
}

int Mp4Writer::EndFragment()
{
    if (av_write_frame(mCtx, nullptr) < 0 || FlushSynced() != 0) {
        mFailed = true;
        return -1;
    }
    mInFragment = 0;
    return 0;
}

int Mp4Writer::WriteSample(const uint8_t* data, uint32_t len, uint32_t duration, bool sync)
{
    if (!mHeaderWritten || mFailed || data == nullptr || len == 0 || len > INT32_MAX) {
        return -1;
    }
    if (Mux(mVideoIndex, data, len, mNextDts, duration, sync) != 0) {
        return -1;
    }
    mNextDts += duration;
    ++mSamples;
    if (++mInFragment >= kMp4FragmentSamples) {
        return EndFragment();
    }
    return 0;
}

int Mp4Writer::Close()
{
    int rc = 0;
    if (mHeaderWritten && !mFailed) {
        // The trailer writes the fragment under way (and an index of the fragments).
        if (av_write_trailer(mCtx) < 0 || mCtx->pb->error < 0 || mFailed) {
            rc = -1;
        } else {
            avio_flush(mCtx->pb);
        }
    } else if (mFailed) {
        rc = -1;
    }
    if (mFd >= 0) {
        if (::fdatasync(mFd) != 0) {
            rc = -1;
        }
        if (::close(mFd) != 0) {
            rc = -1;
        }
        mFd = -1;
    }
    Free();
    return rc;
}

// ---- reader ----

std::unique_ptr<Mp4Reader> Mp4Reader::Open(const std::string& unitPath)
{
    std::unique_ptr<Mp4Reader> r(new Mp4Reader);
    r->mFd = BoardOpen(unitPath.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat fileStat {};
    if (r->mFd < 0 || ::fstat(r->mFd, &fileStat) != 0) {
        return nullptr;
    }
    // The demuxer sizes its index by what the boxes claim, before a sample is read: a file whose
    // claims its bytes cannot hold is refused before the demuxer sees it.
    if (!ClaimsFitFile(r->mFd, static_cast<uint64_t>(fileStat.st_size))) {
        return nullptr;
    }
    const std::string host = BoardPath(unitPath);
    const AVInputFormat* fmt = av_find_input_format("mp4");
    AVFormatContext* ic = avformat_alloc_context();
    if (ic == nullptr) {
        return nullptr;
    }
    // The fragments are indexed as they are read: walking them all at opening would fail the
    // whole file on a fragment cut by a power loss.
    ic->flags |= AVFMT_FLAG_IGNIDX;
    AVDictionary* opts = nullptr;
    // Only the MP4 demuxer on a local file: a crafted file must not pick another format or
    // reach for other files or the network.
    av_dict_set(&opts, "protocol_whitelist", "file", 0);
    const int rc = avformat_open_input(&ic, host.c_str(), fmt, &opts);
    av_dict_free(&opts);
    if (rc < 0) {
        return nullptr;
    }
    int video = -1;
    int pcm = -1;
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        const AVCodecParameters* par = ic->streams[i]->codecpar;
        if (video < 0 && par->codec_type == AVMEDIA_TYPE_VIDEO && par->codec_id == AV_CODEC_ID_H264) {
            video = static_cast<int>(i);
        } else if (pcm < 0 && IsPrivatePcm(ic->streams[i])) {
            pcm = static_cast<int>(i);
        }
    }
    if (video >= 0) {
        AVStream* st = ic->streams[video];
        r->mHasVideo = true;
        r->mTimeScale = TimeScaleOf(st);
        r->mWidth = static_cast<uint16_t>(st->codecpar->width);
        r->mHeight = static_cast<uint16_t>(st->codecpar->height);
        Mp4ParseAvcConfig(st->codecpar->extradata, static_cast<size_t>(std::max(st->codecpar->extradata_size, 0)),
                          &r->mSps, &r->mPps);
    }
    int pcmRate = 0;
    if (pcm >= 0) {
        r->mHasPcm = true;
        r->mPcmTimeScale = TimeScaleOf(ic->streams[pcm]);
        pcmRate = ic->streams[pcm]->codecpar->sample_rate;
    }
    if (video >= 0 || pcm >= 0) {
        for (unsigned i = 0; i < ic->nb_streams; ++i) {
            const int n = static_cast<int>(i);
            ic->streams[i]->discard = n == video || n == pcm ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
        }
        // The packets as stored: no parser looks into the samples (nor logs about their bytes).
        ic->flags |= AVFMT_FLAG_NOPARSE | AVFMT_FLAG_NOFILLIN;
        AVPacket* pkt = av_packet_alloc();
        while (pkt != nullptr && r->mSamples.size() + r->mPcm.size() < kSamplesMax && av_read_frame(ic, pkt) >= 0) {
            const bool isVideo = pkt->stream_index == video;
            if (!isVideo && pkt->stream_index != pcm) {
                av_packet_unref(pkt);
                continue;
            }
            std::vector<Sample>& kept = isVideo ? r->mSamples : r->mPcm;
            AVStream* st = ic->streams[pkt->stream_index];
            // A sample cut by the end of the file comes back short and flagged: it is left out,
            // as is one whose size differs from its index entry.
            bool whole = (pkt->flags & AV_PKT_FLAG_CORRUPT) == 0 && pkt->pos >= 0 && pkt->size > 0 &&
                         static_cast<uint32_t>(pkt->size) <= kSampleMax && pkt->dts != AV_NOPTS_VALUE &&
                         (kept.empty() || pkt->dts > kept.back().Dts);
            if (whole) {
                const int idx = av_index_search_timestamp(st, pkt->dts, AVSEEK_FLAG_ANY);
                const AVIndexEntry* e = idx >= 0 ? avformat_index_get_entry(st, idx) : nullptr;
                whole = e != nullptr && e->size == pkt->size && e->pos == pkt->pos &&
                        (isVideo ? NalChainWhole(pkt->data, static_cast<size_t>(pkt->size)) : pkt->size % 2 == 0);
            }
            if (whole) {
                kept.push_back(
                    Sample{pkt->pos, pkt->dts, static_cast<uint32_t>(pkt->size), (pkt->flags & AV_PKT_FLAG_KEY) != 0});
            }
            av_packet_unref(pkt);
        }
        av_packet_free(&pkt);
    }
    avformat_close_input(&ic);
    // Nothing past the end of the file is offered, whatever the demuxer made of a cut sample.
    for (std::vector<Sample>* kept : {&r->mSamples, &r->mPcm}) {
        size_t whole = 0;
        while (whole < kept->size() &&
               static_cast<uint64_t>((*kept)[whole].Pos) + (*kept)[whole].Size <= static_cast<uint64_t>(fileStat.st_size)) {
            ++whole;
        }
        kept->resize(whole);
    }
    // A PCM sample lasts as many samples as it holds, whatever the file says of it.
    if (!r->mPcm.empty() && r->mPcmTimeScale != 0) {
        const Sample& last = r->mPcm.back();
        // Unsigned: the time stamps are the file's, whatever they are (each one above the last).
        r->mPcmDuration = uint64_t(last.Dts) - uint64_t(r->mPcm.front().Dts) +
                          static_cast<uint64_t>(av_rescale(last.Size / 2, r->mPcmTimeScale, pcmRate));
    }
    // The demuxer knows a sample's duration only from the next one: the last sample lasts as
    // long as the samples before it did on average (a lone sample, a frame of 25 per second).
    if (!r->mSamples.empty()) {
        // Unsigned, as the PCM span: each time stamp is above the last, the span is below 2^64.
        const uint64_t span = uint64_t(r->mSamples.back().Dts) - uint64_t(r->mSamples.front().Dts);
        const uint64_t n = r->mSamples.size();
        r->mDuration = span + (n > 1 ? span / (n - 1) : r->mTimeScale / 25);
    }
    return r;
}

Mp4Reader::~Mp4Reader()
{
    if (mFd >= 0) {
        ::close(mFd);
    }
}

uint32_t Mp4Reader::FrameRate() const
{
    if (mDuration == 0 || mTimeScale == 0) {
        return 0;
    }
    return static_cast<uint32_t>((uint64_t(mSamples.size()) * mTimeScale + mDuration / 2) / mDuration);
}

int Mp4Reader::ReadSample(uint32_t id, std::vector<uint8_t>* out, bool* sync) const
{
    return Read(mFd, mSamples, id, out, sync);
}

int Mp4Reader::ReadPcmSample(uint32_t id, std::vector<uint8_t>* out) const
{
    return Read(mFd, mPcm, id, out, nullptr);
}

int Mp4Reader::Read(int fd, const std::vector<Sample>& samples, uint32_t id, std::vector<uint8_t>* out, bool* sync)
{
    if (id == 0 || id > samples.size() || out == nullptr) {
        return -1;
    }
    const Sample& s = samples[id - 1];
    out->resize(s.Size);
    if (!ReadFull(fd, out->data(), s.Size, s.Pos)) {
        out->clear();
        return -1;
    }
    if (sync != nullptr) {
        *sync = s.Sync;
    }
    return 0;
}

// ---- a cut or damaged file ----

namespace {

struct BOX_S {
    uint64_t Size = 0;  // 0: no box can stand here (size out of the file or below its header)
    char Type[4] = {};
};

// The box header at `at`; false when not even a header can be read there.
bool BoxAt(int fd, uint64_t fileSize, uint64_t at, BOX_S* box)
{
    uint8_t head[16];
    if (at > fileSize || fileSize - at < 8 || !ReadFull(fd, head, 8, static_cast<int64_t>(at))) {
        return false;
    }
    uint64_t size = Be32(head);
    uint64_t headLen = 8;
    if (size == 1) {
        if (fileSize - at < 16 || !ReadFull(fd, head + 8, 8, static_cast<int64_t>(at + 8))) {
            return false;
        }
        size = (uint64_t(Be32(head + 8)) << 32) | Be32(head + 12);
        headLen = 16;
    }
    std::memcpy(box->Type, head + 4, 4);
    // A box "to the end of the file" (size 0) or one running past it was never finished.
    box->Size = size < headLen || size > fileSize - at ? 0 : size;
    return true;
}

bool Is(const BOX_S& box, const char* type)
{
    return box.Size != 0 && std::memcmp(box.Type, type, 4) == 0;
}

// A whole fragment at `at` (a moof and the whole mdat right after it): where it ends, or 0.
uint64_t FragmentAt(int fd, uint64_t fileSize, uint64_t at)
{
    BOX_S moof;
    BOX_S mdat;
    if (!BoxAt(fd, fileSize, at, &moof) || !Is(moof, "moof") || !BoxAt(fd, fileSize, at + moof.Size, &mdat) ||
        !Is(mdat, "mdat")) {
        return 0;
    }
    return at + moof.Size + mdat.Size;
}

// The first whole fragment that starts at `from` or later, by its "moof" tag; 0 when none.
uint64_t NextFragment(int fd, uint64_t fileSize, uint64_t from)
{
    constexpr size_t kChunk = 64 * 1024;
    std::vector<uint8_t> buf(kChunk);
    // The tag stands 4 bytes into its box.
    for (uint64_t at = from + 4; at < fileSize && fileSize - at >= 4;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, fileSize - at));
        if (!ReadFull(fd, buf.data(), n, static_cast<int64_t>(at))) {
            return 0;
        }
        for (size_t i = 0; i + 4 <= n; ++i) {
            if (std::memcmp(buf.data() + i, "moof", 4) == 0 && FragmentAt(fd, fileSize, at + i - 4) != 0) {
                return at + i - 4;
            }
        }
        at += n - 3;  // a tag across two chunks is seen in the next
    }
    return 0;
}

// [at, next) becomes one "free" box, so that a reader walks from the fragment before it to the
// one after it.
bool MakeFree(int fd, uint64_t at, uint64_t next)
{
    const uint64_t len = next - at;
    uint8_t head[16];
    size_t headLen = 8;
    if (len <= UINT32_MAX) {
        head[0] = uint8_t(len >> 24), head[1] = uint8_t(len >> 16), head[2] = uint8_t(len >> 8), head[3] = uint8_t(len);
    } else {
        head[0] = head[1] = head[2] = 0, head[3] = 1;
        for (int i = 0; i < 8; ++i) {
            head[8 + i] = uint8_t(len >> (56 - 8 * i));
        }
        headLen = 16;
    }
    std::memcpy(head + 4, "free", 4);
    return ::pwrite(fd, head, headLen, static_cast<off_t>(at)) == static_cast<ssize_t>(headLen);
}

}  // namespace

int64_t Mp4RepairFragments(const std::string& unitPath)
{
    int fd = BoardOpen(unitPath.c_str(), O_RDWR | O_CLOEXEC);
    const bool writable = fd >= 0;
    if (fd < 0) {
        fd = BoardOpen(unitPath.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0) {
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return -1;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    uint64_t at = 0;
    uint64_t end = 0;
    bool moov = false;
    bool repaired = false;
    BOX_S box;
    while (BoxAt(fd, size, at, &box)) {
        if (Is(box, "moov")) {
            moov = true;
        }
        if (moov && Is(box, "moof")) {
            const uint64_t fragmentEnd = FragmentAt(fd, size, at);
            if (fragmentEnd != 0) {
                end = at = fragmentEnd;
                continue;
            }
            box.Size = 0;  // a moof without its whole mdat: damaged from here
        }
        if (box.Size == 0) {
            // Damage between fragments costs only what it covers: the next intact fragment is
            // kept. A header needs 8 bytes, so the search starts past them.
            const uint64_t next = moov && writable ? NextFragment(fd, size, at + 8) : 0;
            if (next == 0 || !MakeFree(fd, at, next)) {
                break;
            }
            repaired = true;
            at = next;
            continue;
        }
        at += box.Size;
    }
    if (repaired && ::fdatasync(fd) != 0) {
        ::close(fd);
        return -1;
    }
    ::close(fd);
    return static_cast<int64_t>(end);
}

// ---- what a file's boxes claim, against its bytes ----

namespace {

constexpr uint32_t kTracksMax = 8;  // the recorder writes three at most
// Fragments (and segment index entries): the demuxer keeps a record of each, for every track.
constexpr uint64_t kFragmentsMax = kSamplesMax / kMp4FragmentSamples;
constexpr int kBoxDepthMax = 12;  // the demuxer goes no deeper

// A box header with its size as claimed, cut to the box that holds it (as the demuxer cuts it);
// it may still run past the end of the file.
struct HEAD_S {
    uint64_t At = 0;
    uint64_t End = 0;
    uint64_t HeadLen = 0;
    char Type[4] = {};
    uint64_t Room() const { return End - At - HeadLen; }
};

bool HeadAt(int fd, uint64_t fileSize, uint64_t end, uint64_t at, HEAD_S* h)
{
    uint8_t head[16];
    if (at >= end || at > fileSize || fileSize - at < 8 || end - at < 8 || !ReadFull(fd, head, 8, static_cast<int64_t>(at))) {
        return false;
    }
    uint64_t size = Be32(head);
    uint64_t headLen = 8;
    if (size == 1) {
        if (fileSize - at < 16 || end - at < 16 || !ReadFull(fd, head + 8, 8, static_cast<int64_t>(at + 8))) {
            return false;
        }
        size = (uint64_t(Be32(head + 8)) << 32) | Be32(head + 12);
        headLen = 16;
    } else if (size == 0) {
        size = end - at;  // to the end of what holds it
    }
    if (size < headLen) {
        return false;  // the demuxer stops there
    }
    h->At = at;
    h->End = at + std::min(size, end - at);
    h->HeadLen = headLen;
    std::memcpy(h->Type, head + 4, 4);
    return h->End - at >= headLen;
}

bool TypeIs(const HEAD_S& h, const char* type)
{
    return std::memcmp(h.Type, type, 4) == 0;
}

// Walks the boxes as the demuxer does (it takes a table wherever it stands) and holds every count
// it would size an allocation by against the bytes that count needs: a table's entries against
// its box, a run's samples against its box or, without per-sample fields, against the media data
// of its fragment; a constant sample size times the count against the file. Samples, tracks and
// fragments have ceilings of their own, which alone bound a fragment cut by the end of the file.
class ClaimCheck {
public:
    ClaimCheck(int fd, uint64_t fileSize) : mFd(fd), mFileSize(fileSize) {}
    bool Fits() { return Walk(0, UINT64_MAX, 0); }

private:
    struct TREX_S {
        uint32_t Track;
        uint32_t Size;
    };

    bool Walk(uint64_t from, uint64_t end, int depth)
    {
        for (uint64_t at = from; at < end;) {
            HEAD_S h;
            if (!HeadAt(mFd, mFileSize, end, at, &h)) {
                return true;  // nothing more the demuxer can read
            }
            if (!Box(h, depth)) {
                return false;
            }
            at = h.End;
        }
        return true;
    }

    // Up to n bytes of the box's payload from `off` that the file holds; zeros past its end.
    void Fields(const HEAD_S& h, uint64_t off, uint8_t* out, size_t n) const
    {
        std::memset(out, 0, n);
        const uint64_t from = h.At + h.HeadLen + off;
        const uint64_t stop = std::min(h.End, mFileSize);
        if (from < stop) {
            const size_t len = static_cast<size_t>(std::min<uint64_t>(n, stop - from));
            if (!ReadFull(mFd, out, len, static_cast<int64_t>(from))) {
                std::memset(out, 0, n);
            }
        }
    }

    // `count` entries of `each` bytes after `head` bytes of the box's payload.
    static bool EntriesFit(const HEAD_S& h, uint64_t head, uint64_t count, uint64_t each)
    {
        const uint64_t room = h.Room() > head ? h.Room() - head : 0;
        return count <= room / each;
    }

    bool AddSamples(uint64_t n)
    {
        mSamples += n;
        return mSamples <= kSamplesMax;
    }

    bool Box(const HEAD_S& h, int depth)
    {
        static const char* const kContainers[] = {"moov", "trak", "mdia", "minf", "stbl", "mvex",
                                                  "traf", "edts", "dinf", "udta", "tref", "mfra"};
        if (TypeIs(h, "trak")) {
            if (++mTracks > kTracksMax) {
                return false;
            }
            mChunks = 0;
            mChunkSamplesMax = 0;
            if (depth < kBoxDepthMax && !Walk(h.At + h.HeadLen, h.End, depth + 1)) {
                return false;
            }
            // Sound stored in chunks gets an index entry per piece of a chunk: every chunk
            // holds at least a byte a sample.
            return mChunkSamplesMax == 0 || mChunks <= mFileSize / mChunkSamplesMax;
        }
        if (TypeIs(h, "moof")) {
            return Fragment(h, depth);
        }
        for (const char* c : kContainers) {
            if (TypeIs(h, c)) {
                if (TypeIs(h, "traf")) {
                    mRunSize = 0;
                }
                return depth >= kBoxDepthMax || Walk(h.At + h.HeadLen, h.End, depth + 1);
            }
        }
        return Table(h);
    }

    bool Fragment(const HEAD_S& h, int depth)
    {
        if (++mFragments > kFragmentsMax) {
            return false;
        }
        // The runs' media data: the mdat right after the moof. A fragment cut by the end of
        // the file has its ceilings alone.
        HEAD_S mdat;
        mTail = h.End > mFileSize || !HeadAt(mFd, mFileSize, UINT64_MAX, h.End, &mdat);
        mMedia = !mTail && TypeIs(mdat, "mdat") ? mdat.Room() : 0;
        mRunBytes = 0;
        const bool fits = depth >= kBoxDepthMax || Walk(h.At + h.HeadLen, h.End, depth + 1);
        mTail = false;
        mMedia = 0;
        return fits;
    }

    bool Table(const HEAD_S& h)
    {
        uint8_t f[24];
        if (TypeIs(h, "stsz") || TypeIs(h, "stz2")) {
            Fields(h, 0, f, 12);
            const uint32_t count = Be32(f + 8);
            if (!AddSamples(count)) {
                return false;
            }
            if (TypeIs(h, "stz2")) {
                const uint64_t bits = std::max<uint8_t>(f[7], 4);
                return EntriesFit(h, 12, (uint64_t(count) * bits + 7) / 8, 1);
            }
            const uint32_t size = Be32(f + 4);
            return size == 0 ? EntriesFit(h, 12, count, 4) : uint64_t(count) * size <= mFileSize;
        }
        if (TypeIs(h, "stco") || TypeIs(h, "co64")) {
            Fields(h, 0, f, 8);
            mChunks = Be32(f + 4);
            return mChunks <= kSamplesMax && EntriesFit(h, 8, mChunks, TypeIs(h, "stco") ? 4 : 8);
        }
        if (TypeIs(h, "stsc")) {
            Fields(h, 0, f, 8);
            const uint32_t count = Be32(f + 4);
            return count <= kSamplesMax && EntriesFit(h, 8, count, 12) && ChunkSamples(h, count);
        }
        if (TypeIs(h, "stts") || TypeIs(h, "ctts")) {
            Fields(h, 0, f, 8);
            const uint32_t count = Be32(f + 4);
            return count <= kSamplesMax && EntriesFit(h, 8, count, 8);
        }
        if (TypeIs(h, "stss") || TypeIs(h, "stps")) {
            Fields(h, 0, f, 8);
            const uint32_t count = Be32(f + 4);
            return count <= kSamplesMax && EntriesFit(h, 8, count, 4);
        }
        if (TypeIs(h, "sbgp")) {
            Fields(h, 0, f, 16);
            const uint64_t head = f[0] == 1 ? 16 : 12;
            const uint32_t count = Be32(f + head - 4);
            return count <= kSamplesMax && EntriesFit(h, head, count, 8);
        }
        if (TypeIs(h, "sidx")) {
            Fields(h, 0, f, 24);
            const uint64_t head = f[0] == 0 ? 24 : 32;
            Fields(h, head - 4, f, 4);
            const uint32_t count = (uint32_t(f[2]) << 8) | f[3];
            mFragments += count;
            return mFragments <= kFragmentsMax && EntriesFit(h, head, count, 12);
        }
        if (TypeIs(h, "trex")) {
            Fields(h, 0, f, 20);
            const uint32_t track = Be32(f + 4);
            const bool known = std::any_of(mTrex.begin(), mTrex.end(), [track](const TREX_S& t) { return t.Track == track; });
            if (!known && mTrex.size() < kTracksMax) {
                mTrex.push_back(TREX_S{track, Be32(f + 16)});
            }
            return true;
        }
        if (TypeIs(h, "tfhd")) {
            return TrackFragment(h);
        }
        if (TypeIs(h, "trun")) {
            return Run(h);
        }
        return true;
    }

    // The largest samples-per-chunk of a sample-to-chunk table: none above the file's bytes.
    bool ChunkSamples(const HEAD_S& h, uint32_t count)
    {
        uint8_t buf[12 * 256];
        for (uint32_t done = 0; done < count;) {
            const uint32_t n = std::min<uint32_t>(count - done, 256);
            Fields(h, 8 + uint64_t(done) * 12, buf, size_t(n) * 12);
            for (uint32_t i = 0; i < n; ++i) {
                mChunkSamplesMax = std::max<uint64_t>(mChunkSamplesMax, Be32(buf + i * 12 + 4));
            }
            done += n;
        }
        return mChunkSamplesMax <= mFileSize;
    }

    bool TrackFragment(const HEAD_S& h)
    {
        uint8_t f[28];
        Fields(h, 0, f, 28);
        const uint32_t flags = Be32(f) & 0xFFFFFF;
        const uint32_t track = Be32(f + 4);
        if ((flags & 0x10) != 0) {
            const size_t at = 8 + ((flags & 0x1) ? 8 : 0) + ((flags & 0x2) ? 4 : 0) + ((flags & 0x8) ? 4 : 0);
            mRunSize = Be32(f + at);
        } else {
            mRunSize = 0;
            for (const TREX_S& t : mTrex) {
                if (t.Track == track) {
                    mRunSize = t.Size;
                    break;
                }
            }
        }
        return true;
    }

    bool Run(const HEAD_S& h)
    {
        uint8_t f[8];
        Fields(h, 0, f, 8);
        const uint32_t flags = Be32(f) & 0xFFFFFF;
        const uint32_t count = Be32(f + 4);
        if (!AddSamples(count)) {
            return false;
        }
        const uint64_t head = 8 + ((flags & 0x1) ? 4 : 0) + ((flags & 0x4) ? 4 : 0);
        uint64_t perSample = 0;
        for (uint32_t bit : {0x100u, 0x200u, 0x400u, 0x800u}) {
            perSample += (flags & bit) != 0 ? 4 : 0;
        }
        if (perSample != 0 && !EntriesFit(h, head, count, perSample)) {
            return false;
        }
        if ((flags & 0x200) != 0) {
            return true;
        }
        // Every sample of the run has the default size: zero would let any count pass.
        if (mRunSize == 0) {
            return false;
        }
        if (mTail) {
            return true;
        }
        const uint64_t bytes = uint64_t(count) * mRunSize;
        if (bytes > mMedia - mRunBytes) {
            return false;
        }
        mRunBytes += bytes;
        return true;
    }

    const int mFd;
    const uint64_t mFileSize;
    uint64_t mSamples = 0;
    uint32_t mTracks = 0;
    uint64_t mFragments = 0;
    uint64_t mChunks = 0;  // of the track being walked
    uint64_t mChunkSamplesMax = 0;
    std::vector<TREX_S> mTrex;
    uint32_t mRunSize = 0;  // default sample size of the track fragment being walked
    bool mTail = false;     // the fragment being walked is cut by the end of the file
    uint64_t mMedia = 0;    // its media data's bytes
    uint64_t mRunBytes = 0;  // taken by its runs without per-sample sizes
};

bool ClaimsFitFile(int fd, uint64_t fileSize)
{
    return ClaimCheck(fd, fileSize).Fits();
}

}  // namespace
