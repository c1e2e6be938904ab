// The AAC encoder calls on libavcodec's AAC encoder: its ADTS output decodes with FAAD2 back to
// the input; configuration, flushing and the errors of the calls; and the unit's encoder
// wrapper (one handle, open and close).
#include "audio_test_util.h"

#include <atomic>
#include <thread>

namespace {

// Best alignment of b against a (b delayed by 0..maxLag) and the signal-to-difference ratio there.
double BestSnr(const std::vector<int16_t>& a, const std::vector<int16_t>& b, size_t from, size_t len, size_t maxLag,
               size_t* lagOut)
{
    double best = -100;
    for (size_t lag = 0; lag <= maxLag; ++lag) {
        if (from + lag + len > b.size() || from + len > a.size()) {
            break;
        }
        double sig = 0, diff = 0;
        for (size_t i = 0; i < len; ++i) {
            double x = a[from + i];
            double d = x - b[from + lag + i];
            sig += x * x;
            diff += d * d;
        }
        double snr = Db(sig / std::max(diff, 1.0));
        if (snr > best) {
            best = snr;
            *lagOut = lag;
        }
    }
    return best;
}

struct Adts {
    int id, profile, rate, channels, length;
};

Adts ParseHeader(const uint8_t* h)
{
    return Adts{(h[1] >> 3) & 1, h[2] >> 6, (h[2] >> 2) & 0xF, ((h[2] & 1) << 2) | (h[3] >> 6),
                ((h[3] & 3) << 11) | (h[4] << 3) | (h[5] >> 5)};
}

std::vector<uint8_t> EncodeAll(faacEncHandle enc, const std::vector<int16_t>& pcm, unsigned blockSamples,
                               unsigned long maxBytes)
{
    std::vector<uint8_t> stream;
    std::vector<uint8_t> out(maxBytes);
    std::vector<int16_t> block(blockSamples);
    for (size_t at = 0; at + blockSamples <= pcm.size(); at += blockSamples) {
        std::copy(pcm.begin() + static_cast<long>(at), pcm.begin() + static_cast<long>(at + blockSamples), block.begin());
        int n = AACEncodeFrame(enc, reinterpret_cast<uint8_t*>(block.data()), blockSamples * 2, out.data(),
                               static_cast<uint32_t>(out.size()));
        EXPECT_GE(n, 0);
        stream.insert(stream.end(), out.begin(), out.begin() + std::max(n, 0));
    }
    for (int n = 1; n > 0;) {
        n = faacEncEncode(enc, nullptr, 0, out.data(), static_cast<unsigned>(out.size()));
        EXPECT_GE(n, 0);
        stream.insert(stream.end(), out.begin(), out.begin() + std::max(n, 0));
    }
    return stream;
}

class AacEncoder : public AudioTest {};

}  // namespace

// The unit's encoder (8 kHz mono, 48 kbit/s, ADTS) fed in the capture's 640-byte blocks.
TEST_F(AacEncoder, OutputDecodesBackToTheInput)
{
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, InitAACEncoder());
    testing::internal::GetCapturedStdout();
    faacEncHandle enc = GetAACEncoderHandle();
    ASSERT_NE(nullptr, enc);
    TalkerSignal talker(180);
    std::vector<int16_t> pcm = talker.Next(8000 * 3);
    std::vector<uint8_t> stream = EncodeAll(enc, pcm, kAudioFrameSamples, 8192);

    // The frames follow each other, each an ADTS frame of MPEG-4 AAC LC, 8 kHz, mono.
    size_t at = 0;
    int frames = 0;
    while (at + 7 <= stream.size()) {
        ASSERT_EQ(0xFF, stream[at]);
        ASSERT_EQ(0xF0, stream[at + 1] & 0xF6);
        Adts h = ParseHeader(&stream[at]);
        EXPECT_EQ(0, h.id);
        EXPECT_EQ(1, h.profile);
        EXPECT_EQ(11, h.rate);
        EXPECT_EQ(1, h.channels);
        ASSERT_GE(h.length, 7);
        at += static_cast<size_t>(h.length);
        ++frames;
    }
    EXPECT_EQ(stream.size(), at);
    // Every input sample is in a frame (24000 samples: 24 frames), plus the encoder's own delay.
    EXPECT_GE(frames, 24);
    EXPECT_LE(frames, 26);

    DecodedAac dec = DecodeAdts(stream);
    EXPECT_EQ(8000u, dec.rate);
    EXPECT_EQ(1u, dec.channels);
    EXPECT_EQ(0, dec.errors);
    size_t lag = 0;
    double snr = BestSnr(pcm, dec.pcm, 4000, 16000, 2048, &lag);
    std::printf("AAC 8 kHz mono at 48 kbit/s: %zu bytes for 3 s, %.1f dB signal to difference, delay %zu samples\n",
                stream.size(), snr, lag);
    EXPECT_GE(snr, 12.0);
}

TEST_F(AacEncoder, UnitWrapperKeepsOneHandle)
{
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, InitAACEncoder());
    faacEncHandle first = GetAACEncoderHandle();
    EXPECT_EQ(-1, InitAACEncoder()) << "open already: the open one stays";
    EXPECT_EQ(first, GetAACEncoderHandle());
    CloseAACEncoder();
    EXPECT_EQ(nullptr, GetAACEncoderHandle());
    CloseAACEncoder();  // closed: only the handle is cleared
    EXPECT_EQ(nullptr, GetAACEncoderHandle());
    ASSERT_EQ(0, InitAACEncoder());
    EXPECT_NE(nullptr, GetAACEncoderHandle());
    CloseAACEncoder();

    // Recorders starting together: exactly one of them opens the encoder.
    for (int round = 0; round < 20; ++round) {
        std::atomic<int> opened{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                while (!go) {
                    std::this_thread::yield();
                }
                if (InitAACEncoder() == 0) {
                    ++opened;
                }
            });
        }
        go = true;
        for (std::thread& t : threads) {
            t.join();
        }
        EXPECT_EQ(1, opened.load()) << "round " << round;
        CloseAACEncoder();
    }
    testing::internal::GetCapturedStdout();
}

TEST_F(AacEncoder, ConfigurationAndCallErrors)
{
    unsigned long inputSamples = 0, maxBytes = 0;
    EXPECT_EQ(nullptr, faacEncOpen(8001, 1, &inputSamples, &maxBytes)) << "not an AAC rate";
    EXPECT_EQ(nullptr, faacEncOpen(8000, 0, &inputSamples, &maxBytes));
    faacEncHandle enc = faacEncOpen(16000, 2, &inputSamples, &maxBytes);
    ASSERT_NE(nullptr, enc);
    EXPECT_EQ(2048u, inputSamples);
    EXPECT_EQ(2u * 8192, maxBytes);

    // A refused configuration leaves the one in force, also in what the caller reads back.
    faacEncConfigurationPtr cfg = faacEncGetCurrentConfiguration(enc);
    EXPECT_EQ(static_cast<unsigned>(ADTS_STREAM), cfg->outputFormat);
    cfg->aacObjectType = MAIN;
    EXPECT_EQ(0, faacEncSetConfiguration(enc, cfg));
    EXPECT_EQ(static_cast<unsigned>(LOW), faacEncGetCurrentConfiguration(enc)->aacObjectType);
    cfg->inputFormat = FAAC_INPUT_24BIT;
    EXPECT_EQ(0, faacEncSetConfiguration(enc, cfg));
    // Raw frames with float input.
    cfg->inputFormat = FAAC_INPUT_FLOAT;
    cfg->outputFormat = RAW_STREAM;
    cfg->bitRate = 32000;
    ASSERT_EQ(1, faacEncSetConfiguration(enc, cfg));

    std::vector<float> stereo(inputSamples);
    for (size_t i = 0; i < stereo.size(); i += 2) {
        stereo[i] = static_cast<float>(8000 * std::sin(i * 0.05));
        stereo[i + 1] = static_cast<float>(4000 * std::sin(i * 0.11));
    }
    std::vector<unsigned char> out(maxBytes);
    auto* in = reinterpret_cast<int32_t*>(stereo.data());
    EXPECT_EQ(-1, faacEncEncode(enc, in, static_cast<unsigned>(inputSamples) + 2, out.data(), maxBytes))
        << "more than one frame of input";
    EXPECT_EQ(-1, faacEncEncode(enc, in, 3, out.data(), maxBytes)) << "not whole sample pairs";
    EXPECT_EQ(-1, faacEncEncode(enc, nullptr, 4, out.data(), maxBytes));
    int total = 0, frames = 0;
    for (int i = 0; i < 4; ++i) {
        int n = faacEncEncode(enc, in, static_cast<unsigned>(inputSamples), out.data(), maxBytes);
        ASSERT_GE(n, 0);
        if (n > 0) {
            EXPECT_NE(0xFF, out[0]) << "raw frames carry no ADTS header";
            total += n;
            ++frames;
        }
    }
    EXPECT_EQ(3, frames) << "the encoder delays by one frame";
    // Flushing gives the rest, one frame a call, then 0; input after that is refused.
    int flushed = 0;
    for (int n = 1; n > 0; ++flushed) {
        n = faacEncEncode(enc, nullptr, 0, out.data(), maxBytes);
        ASSERT_GE(n, 0);
        if (n == 0) {
            break;
        }
    }
    EXPECT_GE(flushed, 1);
    EXPECT_EQ(-1, faacEncEncode(enc, in, static_cast<unsigned>(inputSamples), out.data(), maxBytes));
    EXPECT_EQ(0, faacEncClose(enc));
    EXPECT_EQ(-1, faacEncClose(nullptr));

    // An output buffer too small for a frame: an error, not an overrun.
    enc = faacEncOpen(8000, 1, &inputSamples, &maxBytes);
    ASSERT_NE(nullptr, enc);
    std::vector<int16_t> loud(inputSamples);
    for (size_t i = 0; i < loud.size(); ++i) {
        loud[i] = static_cast<int16_t>(((i * 7919) % 65536) - 32768);  // noise: big frames
    }
    std::vector<unsigned char> tiny(16, 0xAB);
    int rc = 0;
    for (int i = 0; i < 3 && rc == 0; ++i) {
        rc = faacEncEncode(enc, reinterpret_cast<int32_t*>(loud.data()), static_cast<unsigned>(loud.size()),
                           tiny.data(), 8);
    }
    EXPECT_EQ(-1, rc);
    EXPECT_EQ(0xAB, tiny[8]);
    faacEncClose(enc);
}

TEST_F(AacEncoder, AdtsHeaderFields)
{
    uint8_t h[7];
    ASSERT_EQ(0, AdtsWriteHeader(h, MPEG4, LOW, 16000, 1, 8191));
    const uint8_t expected[7] = {0xFF, 0xF1, 0x60, 0x43, 0xFF, 0xFF, 0xFC};
    EXPECT_EQ(0, std::memcmp(expected, h, 7));
    EXPECT_EQ(8191, AdtsFrameLength(h));
    ASSERT_EQ(0, AdtsWriteHeader(h, MPEG2, LOW, 8000, 2, 2048));
    Adts a = ParseHeader(h);
    EXPECT_EQ(1, a.id);
    EXPECT_EQ(11, a.rate);
    EXPECT_EQ(2, a.channels);
    EXPECT_EQ(2048, a.length);
    EXPECT_EQ(-1, AdtsWriteHeader(h, MPEG4, LOW, 8000, 1, 8192));
    EXPECT_EQ(-1, AdtsWriteHeader(h, MPEG4, LOW, 8000, 1, 6));
    EXPECT_EQ(-1, AdtsWriteHeader(h, MPEG4, LOW, 9000, 1, 100));
    EXPECT_EQ(-1, AdtsWriteHeader(h, MPEG4, 0, 8000, 1, 100));
}
