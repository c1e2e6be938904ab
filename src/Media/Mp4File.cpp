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

// The private track as the writer makes it: a sound track of 16-bit little-endian mono PCM.
bool IsPrivatePcm(const AVStream* st)
{
    const AVCodecParameters* par = st->codecpar;
    return par->codec_type == AVMEDIA_TYPE_AUDIO && par->codec_id == AV_CODEC_ID_PCM_S16LE &&
           par->ch_layout.nb_channels == 1 && par->sample_rate > 0;
}

}  // namespace

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
    std::unique_ptr<Mp4Reader> r(new Mp4Reader);
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
    r->mFd = BoardOpen(unitPath.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat fileStat {};
    if (r->mFd < 0 || ::fstat(r->mFd, &fileStat) != 0) {
        return nullptr;
    }
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
        const int64_t span = r->mSamples.back().Dts - r->mSamples.front().Dts;
        const size_t n = r->mSamples.size();
        r->mDuration = static_cast<uint64_t>(span + (n > 1 ? span / static_cast<int64_t>(n - 1) : r->mTimeScale / 25));
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
