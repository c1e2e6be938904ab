#include "faac.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
}

#include <array>
#include <cstring>
#include <vector>

namespace {

constexpr unsigned long kDefaultBitRate = 64000;
constexpr unsigned int kMaxFrameBitsPerChannel = 6144;
constexpr unsigned long kMaxFrameBytesPerChannel = 8192;
constexpr unsigned int kAdtsHeaderLen = 7;
constexpr size_t kSlots = 4;  // finished frames not yet returned (one a call)

const unsigned long kAdtsRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                      22050, 16000, 12000, 11025, 8000,  7350};

int __RateIndex(unsigned long rate)
{
    for (int i = 0; i < 13; ++i) {
        if (kAdtsRates[i] == rate) {
            return i;
        }
    }
    return -1;
}

}  // namespace

struct FaacEncoder {
    unsigned long sampleRate = 0;
    unsigned int channels = 0;
    faacEncConfiguration config{};   // what the caller reads and changes in place
    faacEncConfiguration applied{};  // what the encoder runs with
    AVCodecContext* ctx = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* pkt = nullptr;
    int filled = 0;  // samples a channel in the frame being filled
    bool flushing = false;
    // Finished frames, raw AAC, oldest at head; each slot keeps the capacity it grew to.
    std::array<std::vector<uint8_t>, kSlots> slot;
    size_t head = 0;
    size_t count = 0;
};

namespace {

void __FreeCodec(FaacEncoder& e)
{
    avcodec_free_context(&e.ctx);
    av_frame_free(&e.frame);
    av_packet_free(&e.pkt);
    e.filled = 0;
    e.flushing = false;
    e.head = e.count = 0;
}

// A codec context, frame and packet for the configuration, or false (the encoder keeps what it had).
bool __OpenCodec(FaacEncoder& e, const faacEncConfiguration& cfg)
{
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (codec == nullptr) {
        return false;
    }
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    AVFrame* frame = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    AVDictionary* opts = nullptr;
    bool ok = ctx != nullptr && frame != nullptr && pkt != nullptr;
    if (ok) {
        ctx->sample_rate = static_cast<int>(e.sampleRate);
        ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
        av_channel_layout_default(&ctx->ch_layout, static_cast<int>(e.channels));
        ctx->profile = FF_PROFILE_AAC_LOW;
        unsigned long perChannel = cfg.bitRate != 0 ? cfg.bitRate : kDefaultBitRate;
        unsigned long most = kMaxFrameBitsPerChannel * e.sampleRate / 1024;
        ctx->bit_rate = static_cast<int64_t>((perChannel < most ? perChannel : most) * e.channels);
        ctx->cutoff = static_cast<int>(cfg.bandWidth);
        av_dict_set_int(&opts, "aac_tns", cfg.useTns ? 1 : 0, 0);
        av_dict_set_int(&opts, "aac_ms", cfg.allowMidside ? -1 : 0, 0);
        ok = avcodec_open2(ctx, codec, &opts) == 0 && ctx->frame_size > 0;
    }
    av_dict_free(&opts);
    if (ok) {
        frame->format = AV_SAMPLE_FMT_FLTP;
        frame->nb_samples = ctx->frame_size;
        ok = av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout) == 0 && av_frame_get_buffer(frame, 0) == 0;
    }
    if (!ok) {
        avcodec_free_context(&ctx);
        av_frame_free(&frame);
        av_packet_free(&pkt);
        return false;
    }
    __FreeCodec(e);
    e.ctx = ctx;
    e.frame = frame;
    e.pkt = pkt;
    e.applied = cfg;
    e.config = cfg;
    return true;
}

// Moves every frame the encoder has finished into the slots. False on an encoder error.
bool __Collect(FaacEncoder& e)
{
    for (;;) {
        int rc = avcodec_receive_packet(e.ctx, e.pkt);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) {
            return true;
        }
        if (rc < 0) {
            return false;
        }
        if (e.count == kSlots) {
            av_packet_unref(e.pkt);
            return false;  // frames were not fetched: more than one frame a call never comes
        }
        std::vector<uint8_t>& s = e.slot[(e.head + e.count) % kSlots];
        s.assign(e.pkt->data, e.pkt->data + e.pkt->size);
        ++e.count;
        av_packet_unref(e.pkt);
    }
}

bool __Send(FaacEncoder& e, AVFrame* frame)
{
    int rc = avcodec_send_frame(e.ctx, frame);
    if (rc == AVERROR(EAGAIN)) {
        if (!__Collect(e)) {
            return false;
        }
        rc = avcodec_send_frame(e.ctx, frame);
    }
    return rc == 0 && __Collect(e);
}

// Copies interleaved input into the frame's planes; a full frame goes to the encoder.
bool __Feed(FaacEncoder& e, const int32_t* input, unsigned int samples)
{
    const unsigned int ch = e.channels;
    unsigned int frames = samples / ch;
    const int16_t* in16 = reinterpret_cast<const int16_t*>(input);
    const float* inF = reinterpret_cast<const float*>(input);
    unsigned int done = 0;
    while (done < frames) {
        if (e.filled == 0 && av_frame_make_writable(e.frame) != 0) {
            return false;
        }
        unsigned int room = static_cast<unsigned int>(e.frame->nb_samples - e.filled);
        unsigned int n = frames - done < room ? frames - done : room;
        for (unsigned int c = 0; c < ch; ++c) {
            float* plane = reinterpret_cast<float*>(e.frame->extended_data[c]) + e.filled;
            for (unsigned int i = 0; i < n; ++i) {
                size_t at = static_cast<size_t>(done + i) * ch + c;
                float v = e.applied.inputFormat == FAAC_INPUT_16BIT ? in16[at] : inF[at];
                plane[i] = v / 32768.0f;
            }
        }
        e.filled += static_cast<int>(n);
        done += n;
        if (e.filled == e.frame->nb_samples) {
            e.filled = 0;
            if (!__Send(e, e.frame)) {
                return false;
            }
        }
    }
    return true;
}

// The rest of the input (a shorter last frame), then the encoder's own delay.
bool __Flush(FaacEncoder& e)
{
    e.flushing = true;
    if (e.filled > 0) {
        e.frame->nb_samples = e.filled;
        e.filled = 0;
        if (!__Send(e, e.frame)) {
            return false;
        }
    }
    return __Send(e, nullptr);
}

}  // namespace

int AdtsWriteHeader(uint8_t out[7], unsigned int mpegVersion, unsigned int objectType, unsigned long sampleRate,
                    unsigned int channels, unsigned int frameLength)
{
    int rate = __RateIndex(sampleRate);
    if (rate < 0 || objectType < 1 || objectType > 4 || channels > 7 || frameLength < kAdtsHeaderLen ||
        frameLength > 8191) {
        return -1;
    }
    out[0] = 0xFF;
    out[1] = static_cast<uint8_t>(0xF0 | ((mpegVersion == MPEG2 ? 1 : 0) << 3) | 0x01);  // layer 0, no CRC
    out[2] = static_cast<uint8_t>(((objectType - 1) << 6) | (rate << 2) | (channels >> 2));
    out[3] = static_cast<uint8_t>(((channels & 3) << 6) | (frameLength >> 11));
    out[4] = static_cast<uint8_t>(frameLength >> 3);
    out[5] = static_cast<uint8_t>(((frameLength & 7) << 5) | 0x1F);  // buffer fullness 0x7FF: variable rate
    out[6] = 0xFC;
    return 0;
}

faacEncHandle faacEncOpen(unsigned long sampleRate, unsigned int numChannels, unsigned long* inputSamples,
                          unsigned long* maxOutputBytes)
{
    if (numChannels < 1 || numChannels > 7 || __RateIndex(sampleRate) < 0 || inputSamples == nullptr ||
        maxOutputBytes == nullptr) {
        return nullptr;
    }
    av_log_set_level(AV_LOG_ERROR);  // the encoder's statistics at close are no lines of the unit's log
    auto* e = new FaacEncoder;
    e->sampleRate = sampleRate;
    e->channels = numChannels;
    faacEncConfiguration cfg{};
    cfg.mpegVersion = MPEG4;
    cfg.aacObjectType = LOW;
    cfg.allowMidside = 1;
    cfg.bitRate = kDefaultBitRate;
    cfg.quantqual = 100;
    cfg.outputFormat = ADTS_STREAM;
    cfg.inputFormat = FAAC_INPUT_16BIT;
    if (!__OpenCodec(*e, cfg)) {
        delete e;
        return nullptr;
    }
    *inputSamples = static_cast<unsigned long>(e->ctx->frame_size) * numChannels;
    // The encoder keeps to 6144 bits a channel on average, but a single frame (a loud onset) may
    // take more: it writes up to 8192 bytes a channel.
    *maxOutputBytes = kMaxFrameBytesPerChannel * numChannels;
    return e;
}

faacEncConfigurationPtr faacEncGetCurrentConfiguration(faacEncHandle handle)
{
    return handle != nullptr ? &handle->config : nullptr;
}

int faacEncSetConfiguration(faacEncHandle handle, faacEncConfigurationPtr config)
{
    if (handle == nullptr || config == nullptr) {
        return 0;
    }
    faacEncConfiguration wanted = *config;
    bool valid = (wanted.mpegVersion == MPEG4 || wanted.mpegVersion == MPEG2) && wanted.aacObjectType == LOW &&
                 (wanted.outputFormat == RAW_STREAM || wanted.outputFormat == ADTS_STREAM) &&
                 (wanted.inputFormat == FAAC_INPUT_16BIT || wanted.inputFormat == FAAC_INPUT_FLOAT);
    if (!valid || !__OpenCodec(*handle, wanted)) {
        handle->config = handle->applied;  // the caller may have changed it in place
        return 0;
    }
    return 1;
}

int faacEncEncode(faacEncHandle handle, int32_t* inputBuffer, unsigned int samplesInput, unsigned char* outputBuffer,
                  unsigned int bufferSize)
{
    if (handle == nullptr || outputBuffer == nullptr) {
        return -1;
    }
    FaacEncoder& e = *handle;
    if (samplesInput > 0) {
        if (inputBuffer == nullptr || e.flushing || samplesInput > static_cast<unsigned int>(e.ctx->frame_size) * e.channels ||
            samplesInput % e.channels != 0 || !__Feed(e, inputBuffer, samplesInput)) {
            return -1;
        }
    } else if (!e.flushing && !__Flush(e)) {
        return -1;
    }
    if (e.count == 0) {
        return 0;
    }
    const std::vector<uint8_t>& raw = e.slot[e.head];
    e.head = (e.head + 1) % kSlots;
    --e.count;
    const faacEncConfiguration& cfg = e.applied;
    unsigned int header = cfg.outputFormat == ADTS_STREAM ? kAdtsHeaderLen : 0;
    unsigned int total = static_cast<unsigned int>(raw.size()) + header;
    if (total > bufferSize) {
        return -1;  // the frame does not fit: it is lost
    }
    if (header != 0 &&
        AdtsWriteHeader(outputBuffer, cfg.mpegVersion, cfg.aacObjectType, e.sampleRate, e.channels, total) != 0) {
        return -1;
    }
    std::memcpy(outputBuffer + header, raw.data(), raw.size());
    return static_cast<int>(total);
}

int faacEncClose(faacEncHandle handle)
{
    if (handle == nullptr) {
        return -1;
    }
    __FreeCodec(*handle);
    delete handle;
    return 0;
}
