// Decoding what the simulated encoders made, with FFmpeg's decoders as an independent check.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "media_check.h"

#include <cstdint>
#include <string>
#include <vector>

class TestDecoder {
public:
    explicit TestDecoder(AVCodecID id)
    {
        const AVCodec* codec = avcodec_find_decoder(id);
        mCtx = avcodec_alloc_context3(codec);
        mCtx->thread_count = 1;
        mCtx->flags |= AV_CODEC_FLAG_LOW_DELAY;
        avcodec_open2(mCtx, codec, nullptr);
        mPacket = av_packet_alloc();
        mFrame = av_frame_alloc();
    }
    ~TestDecoder()
    {
        av_frame_free(&mFrame);
        av_packet_free(&mPacket);
        avcodec_free_context(&mCtx);
    }
    TestDecoder(const TestDecoder&) = delete;
    TestDecoder& operator=(const TestDecoder&) = delete;

    // One encoded frame in, one picture out; false when the decoder gave none.
    bool Decode(const uint8_t* data, size_t len, DecodedPicture* out)
    {
        std::vector<uint8_t> padded(len + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        std::copy(data, data + len, padded.begin());
        mPacket->data = padded.data();
        mPacket->size = static_cast<int>(len);
        if (avcodec_send_packet(mCtx, mPacket) < 0 || avcodec_receive_frame(mCtx, mFrame) < 0) {
            return false;
        }
        out->width = mFrame->width;
        out->height = mFrame->height;
        out->key = mFrame->key_frame != 0;
        out->y.resize(static_cast<size_t>(out->width) * out->height);
        for (int r = 0; r < out->height; ++r) {
            std::copy(mFrame->data[0] + r * mFrame->linesize[0], mFrame->data[0] + r * mFrame->linesize[0] + out->width,
                      out->y.begin() + static_cast<ptrdiff_t>(r) * out->width);
        }
        double su = 0;
        double sv = 0;
        int cw = out->width / 2;
        int ch = out->height / 2;
        for (int r = 0; r < ch; ++r) {
            for (int c = 0; c < cw; ++c) {
                su += mFrame->data[1][r * mFrame->linesize[1] + c];
                sv += mFrame->data[2][r * mFrame->linesize[2] + c];
            }
        }
        out->meanU = su / (cw * ch);
        out->meanV = sv / (cw * ch);
        av_frame_unref(mFrame);
        return true;
    }

private:
    AVCodecContext* mCtx = nullptr;
    AVPacket* mPacket = nullptr;
    AVFrame* mFrame = nullptr;
};

// NAL unit types of an Annex B buffer in order, and whether every unit had a 4-byte start code.
inline std::vector<int> NalTypes(const uint8_t* d, size_t len, bool* allLong)
{
    std::vector<int> types;
    *allLong = true;
    for (size_t i = 0; i + 3 < len; ++i) {
        if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
            if (i == 0 || d[i - 1] != 0) {
                *allLong = false;
            }
            types.push_back(d[i + 3] & 0x1F);
            i += 2;
        }
    }
    return types;
}
