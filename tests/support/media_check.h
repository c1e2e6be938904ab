// What the whole-process suites check media with, as a peer would: H.264 decoded by libavcodec,
// a voice-like test sound, WAV files, and how well one sound is found in another.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

// One decoded picture: its size, key-frame flag, luma, and average chroma.
struct DecodedPicture {
    int width = 0;
    int height = 0;
    bool key = false;
    std::vector<uint8_t> y;  // luma, width x height (DecodeAnnexB: only the top rows asked for)
    double meanU = 0;        // average chroma, to tell the two doors' scenes apart
    double meanV = 0;
};

// Every picture of an H.264 Annex B stream, split by libavcodec's parser; with `lumaRows`, each
// picture keeps that many of its top rows of luma in `y` (a whole stream's luma would not fit).
inline std::vector<DecodedPicture> DecodeAnnexB(const std::string& bytes, int lumaRows = 0)
{
    std::vector<DecodedPicture> out;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecParserContext* parser = av_parser_init(AV_CODEC_ID_H264);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    avcodec_open2(ctx, codec, nullptr);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    std::vector<uint8_t> data(bytes.begin(), bytes.end());
    data.resize(data.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    const uint8_t* p = data.data();
    int left = static_cast<int>(bytes.size());
    auto drain = [&] {
        while (avcodec_receive_frame(ctx, frame) == 0) {
            DecodedPicture pic;
            pic.width = frame->width;
            pic.height = frame->height;
            double u = 0;
            double v = 0;
            const int cw = frame->width / 2;
            const int ch = frame->height / 2;
            for (int y = 0; y < ch; ++y) {
                for (int x = 0; x < cw; ++x) {
                    u += frame->data[1][y * frame->linesize[1] + x];
                    v += frame->data[2][y * frame->linesize[2] + x];
                }
            }
            pic.meanU = u / (cw * ch);
            pic.meanV = v / (cw * ch);
            const int rows = std::min(lumaRows, frame->height);
            pic.y.resize(static_cast<size_t>(frame->width) * rows);
            for (int y = 0; y < rows; ++y) {
                std::copy(frame->data[0] + y * frame->linesize[0], frame->data[0] + y * frame->linesize[0] + frame->width,
                          pic.y.begin() + static_cast<ptrdiff_t>(y) * frame->width);
            }
            out.push_back(std::move(pic));
        }
    };
    while (left > 0) {
        int used = av_parser_parse2(parser, ctx, &pkt->data, &pkt->size, p, left, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        p += used;
        left -= used;
        if (pkt->size > 0 && avcodec_send_packet(ctx, pkt) == 0) {
            drain();
        }
    }
    avcodec_send_packet(ctx, nullptr);
    drain();
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    av_parser_close(parser);
    return out;
}

// A voice-like test sound: a gliding tone with a syllable rhythm, 8 kHz.
inline std::vector<int16_t> Voice(double seconds)
{
    const int n = static_cast<int>(seconds * 8000);
    std::vector<int16_t> pcm(n);
    double phase = 0;
    for (int i = 0; i < n; ++i) {
        const double t = i / 8000.0;
        const double f = 300 + 500 * (0.5 + 0.5 * std::sin(2 * M_PI * 0.7 * t)) + 200 * std::sin(2 * M_PI * 3.1 * t);
        phase += 2 * M_PI * f / 8000.0;
        const double env = 0.35 + 0.65 * std::fabs(std::sin(2 * M_PI * 2.3 * t));
        pcm[i] = static_cast<int16_t>(9000 * env * (std::sin(phase) + 0.3 * std::sin(2.7 * phase)));
    }
    return pcm;
}

// A WAV file of 16-bit mono samples at `rate`.
inline void WriteWav(const std::string& path, const std::vector<int16_t>& pcm, uint32_t rate)
{
    std::ofstream f(path, std::ios::binary);
    auto u32 = [&](uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
    const uint32_t bytes = static_cast<uint32_t>(pcm.size() * 2);
    f.write("RIFF", 4);
    u32(36 + bytes);
    f.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(1);
    u32(rate);
    u32(rate * 2);
    u16(2);
    u16(16);
    f.write("data", 4);
    u32(bytes);
    f.write(reinterpret_cast<const char*>(pcm.data()), bytes);
}

// The best normalised cross-correlation of `part` (16 kHz) within `heard` from `from` on; where
// in `heard` it is found, when asked.
inline double BestCorrelation(const std::vector<int16_t>& part, const std::vector<int16_t>& heard, size_t from,
                              size_t* at = nullptr)
{
    double best = 0;
    double pp = 0;
    for (int16_t s : part) {
        pp += static_cast<double>(s) * s;
    }
    for (size_t lag = from; lag + part.size() <= heard.size(); ++lag) {
        double ph = 0;
        double hh = 0;
        for (size_t i = 0; i < part.size(); ++i) {
            ph += static_cast<double>(part[i]) * heard[lag + i];
            hh += static_cast<double>(heard[lag + i]) * heard[lag + i];
        }
        if (hh > 0 && ph / std::sqrt(pp * hh) > best) {
            best = ph / std::sqrt(pp * hh);
            if (at != nullptr) {
                *at = lag;
            }
        }
    }
    return best;
}
