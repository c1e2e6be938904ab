// The G.711 codec against libavcodec's pcm_alaw and pcm_mulaw as an independent implementation:
// the decode tables, every 16-bit input to the encoders, and the refused calls.
#include "noxa_ipc_sdk/noxa_g711.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <vector>

namespace {

struct Law {
    const char* name;
    int type;
    AVCodecID id;
};

const Law kLaws[] = {
    {"A-law", NOXA_G711_ALAW, AV_CODEC_ID_PCM_ALAW},
    {"mu-law", NOXA_G711_ULAW, AV_CODEC_ID_PCM_MULAW},
};

AVCodecContext* Open(const AVCodec* codec)
{
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->sample_rate = 8000;
    ctx->sample_fmt = AV_SAMPLE_FMT_S16;
    av_channel_layout_default(&ctx->ch_layout, 1);
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
    }
    return ctx;
}

std::vector<uint8_t> AvEncode(AVCodecID id, const std::vector<int16_t>& pcm)
{
    std::vector<uint8_t> out;
    AVCodecContext* ctx = Open(avcodec_find_encoder(id));
    if (ctx == nullptr) {
        return out;
    }
    AVFrame* f = av_frame_alloc();
    f->nb_samples = static_cast<int>(pcm.size());
    f->format = AV_SAMPLE_FMT_S16;
    f->sample_rate = 8000;
    av_channel_layout_default(&f->ch_layout, 1);
    av_frame_get_buffer(f, 0);
    memcpy(f->data[0], pcm.data(), pcm.size() * 2);
    AVPacket* p = av_packet_alloc();
    if (avcodec_send_frame(ctx, f) == 0 && avcodec_receive_packet(ctx, p) == 0) {
        out.assign(p->data, p->data + p->size);
    }
    av_packet_free(&p);
    av_frame_free(&f);
    avcodec_free_context(&ctx);
    return out;
}

std::vector<int16_t> AvDecode(AVCodecID id, const std::vector<uint8_t>& codes)
{
    std::vector<int16_t> out;
    AVCodecContext* ctx = Open(avcodec_find_decoder(id));
    if (ctx == nullptr) {
        return out;
    }
    AVPacket* p = av_packet_alloc();
    std::vector<uint8_t> buf(codes.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    memcpy(buf.data(), codes.data(), codes.size());
    p->data = buf.data();
    p->size = static_cast<int>(codes.size());
    AVFrame* f = av_frame_alloc();
    if (avcodec_send_packet(ctx, p) == 0 && avcodec_receive_frame(ctx, f) == 0) {
        auto* s = reinterpret_cast<const int16_t*>(f->data[0]);
        out.assign(s, s + f->nb_samples);
    }
    av_frame_free(&f);
    av_packet_free(&p);
    avcodec_free_context(&ctx);
    return out;
}

// Codes of one law ordered by the value they stand for, so "adjacent" means one step apart.
int Rank(int type, uint8_t code)
{
    int sign = code & 0x80;  // set for positive values in both laws
    int step = type == NOXA_G711_ALAW ? ((code ^ 0x55) & 0x7F) : ((~code) & 0x7F);
    return sign ? 128 + step : 127 - step;
}

TEST(G711, SilenceAndTheZeroCodes)
{
    const int16_t zero[4] = {0, 1, -1, 3};
    uint8_t out[4] = {};
    uint32_t len = 0;
    ASSERT_EQ(0, noxa_g711_encode(NOXA_G711_ULAW, zero, sizeof zero, out, &len));
    EXPECT_EQ(4u, len);
    EXPECT_EQ(0xFF, out[0]);
    EXPECT_EQ(0xFF, out[1]);
    EXPECT_EQ(0x7F, out[2]);
    EXPECT_EQ(0xFF, out[3]);
    ASSERT_EQ(0, noxa_g711_encode(NOXA_G711_ALAW, zero, 2, out, &len));
    EXPECT_EQ(1u, len);
    EXPECT_EQ(0xD5, out[0]);

    const uint8_t codes[2] = {0xFF, 0x7F};
    int16_t pcm[2] = {};
    ASSERT_EQ(0, noxa_g711_decode(NOXA_G711_ULAW, codes, 2, pcm, &len));
    EXPECT_EQ(4u, len);
    EXPECT_EQ(2, pcm[0]);
    EXPECT_EQ(-2, pcm[1]);
}

TEST(G711, DecodeTablesMatchLibavcodec)
{
    std::vector<uint8_t> all(256);
    for (int c = 0; c < 256; ++c) {
        all[c] = static_cast<uint8_t>(c);
    }
    for (const Law& law : kLaws) {
        std::vector<int16_t> ref = AvDecode(law.id, all);
        ASSERT_EQ(256u, ref.size()) << law.name;
        std::vector<int16_t> ours(256);
        uint32_t len = 0;
        ASSERT_EQ(0, noxa_g711_decode(law.type, all.data(), 256, ours.data(), &len));
        EXPECT_EQ(512u, len);
        int differ = 0;
        for (int c = 0; c < 256; ++c) {
            bool pinned = law.type != NOXA_G711_ALAW && (c == 0x7F || c == 0xFF);
            if (pinned) {
                EXPECT_EQ(0, ref[c]);
                EXPECT_EQ(c == 0xFF ? 2 : -2, ours[c]);
            } else if (ours[c] != ref[c]) {
                ++differ;
                ADD_FAILURE() << law.name << " code " << c << ": " << ours[c] << " vs " << ref[c];
            }
        }
        EXPECT_EQ(0, differ) << law.name;
    }
}

// Every 16-bit sample: libavcodec rounds to the nearest level, the tables truncate, so the two
// may pick neighbouring codes but never codes further apart.
TEST(G711, EveryInputAgainstLibavcodec)
{
    std::vector<int16_t> pcm(65536);
    for (int i = 0; i < 65536; ++i) {
        pcm[i] = static_cast<int16_t>(i - 32768);
    }
    for (const Law& law : kLaws) {
        std::vector<uint8_t> ref = AvEncode(law.id, pcm);
        ASSERT_EQ(65536u, ref.size()) << law.name;
        std::vector<uint8_t> ours(65536);
        uint32_t len = 0;
        ASSERT_EQ(0, noxa_g711_encode(law.type, pcm.data(), 65536 * 2, ours.data(), &len));
        ASSERT_EQ(65536u, len);
        int differ = 0;
        int far = 0;
        for (int i = 0; i < 65536; ++i) {
            if (ours[i] == ref[i]) {
                continue;
            }
            ++differ;
            if (std::abs(Rank(law.type, ours[i]) - Rank(law.type, ref[i])) > 1 && far++ < 5) {
                ADD_FAILURE() << law.name << " sample " << pcm[i] << ": " << int(ours[i]) << " vs " << int(ref[i]);
            }
        }
        printf("%s: %d of 65536 codes differ from libavcodec, all adjacent\n", law.name, differ);
        EXPECT_EQ(0, far) << law.name;
        EXPECT_LT(differ, 2000) << law.name;
    }
}

// The most negative sample is the loudest negative code, like -32767, in both laws.
TEST(G711, MostNegativeSample)
{
    const int16_t in[2] = {-32768, -32767};
    for (const Law& law : kLaws) {
        uint8_t out[2] = {};
        uint32_t len = 0;
        ASSERT_EQ(0, noxa_g711_encode(law.type, in, sizeof in, out, &len));
        EXPECT_EQ(out[1], out[0]) << law.name;
        EXPECT_EQ(law.type == NOXA_G711_ALAW ? 0x2A : 0x00, out[0]) << law.name;
    }
}

TEST(G711, SixteenKilohertzAndUpsampling)
{
    const int16_t in[6] = {0, 30000, -1000, 5, 1000, -30000};
    uint8_t half[3] = {};
    uint8_t full[6] = {};
    uint32_t len = 0;
    ASSERT_EQ(0, noxa_g711_encode(NOXA_G711_ULAW, in, sizeof in, full, &len));
    ASSERT_EQ(0, noxa_g711_encode_16K(NOXA_G711_ULAW, in, sizeof in, half, &len));
    EXPECT_EQ(3u, len);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(full[2 * i], half[i]) << i;
    }
    int16_t up[12] = {};
    ASSERT_EQ(0, noxa_pcm_upsample_2x(in, 6, up, &len));
    EXPECT_EQ(24u, len);
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(in[i / 2], up[i]) << i;
    }
}

// Refused calls write nothing, a NULL output length included.
TEST(G711, NullPointersRefused)
{
    int16_t pcm[2] = {100, 200};
    uint8_t out[2] = {0xAA, 0xAA};
    uint32_t len = 77;
    EXPECT_EQ(-1, noxa_g711_encode(0, nullptr, 4, out, &len));
    EXPECT_EQ(-1, noxa_g711_encode(0, pcm, 4, nullptr, &len));
    EXPECT_EQ(-1, noxa_g711_encode(0, pcm, 4, out, nullptr));
    EXPECT_EQ(-1, noxa_g711_encode_16K(1, nullptr, 4, out, &len));
    EXPECT_EQ(-1, noxa_g711_encode_16K(1, pcm, 4, out, nullptr));
    EXPECT_EQ(-1, noxa_g711_decode(1, nullptr, 2, pcm, &len));
    EXPECT_EQ(-1, noxa_g711_decode(1, out, 2, nullptr, &len));
    EXPECT_EQ(-1, noxa_g711_decode(1, out, 2, pcm, nullptr));
    EXPECT_EQ(-1, noxa_pcm_upsample_2x(pcm, 1, nullptr, &len));
    EXPECT_EQ(-1, noxa_pcm_upsample_2x(pcm, 1, pcm, nullptr));
    EXPECT_EQ(0xAA, out[0]);
    EXPECT_EQ(100, pcm[0]);
    EXPECT_EQ(77u, len);
}

}  // namespace
