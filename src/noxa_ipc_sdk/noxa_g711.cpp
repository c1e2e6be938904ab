#include "noxa_g711.h"

#include <cstdio>

namespace {

// The segment law of G.711: a code is sign, 3-bit segment and 4-bit step.
// A-law works on the 13-bit magnitude (sample >> 3), mu-law on the 14-bit one (sample >> 2)
// with the bias 33 added; both pick the segment as the highest set bit above the step bits.
uint8_t AlawCode(int mag)
{
    int v = mag >> 3;
    int seg = 0;
    while (seg < 8 && v > (0x20 << seg) - 1) {
        ++seg;
    }
    int code = seg >= 8 ? 0x7F : (seg << 4) | ((seg < 2 ? v >> 1 : v >> seg) & 0x0F);
    return static_cast<uint8_t>(code ^ 0xD5);  // positive sign, even bits inverted
}

uint8_t UlawCode(int mag)
{
    int v = (mag >> 2) + 33;
    if (v > 8159) {
        v = 8159;
    }
    int seg = 0;
    while (seg < 8 && v > (0x40 << seg) - 1) {
        ++seg;
    }
    int code = seg >= 8 ? 0x7F : (seg << 4) | ((v >> (seg + 1)) & 0x0F);
    return static_cast<uint8_t>(code ^ 0xFF);
}

int16_t AlawValue(uint8_t code)
{
    int a = code ^ 0x55;
    int t = (a & 0x0F) << 4;
    int seg = (a & 0x70) >> 4;
    if (seg == 0) {
        t += 8;
    } else {
        t = (t + 0x108) << (seg - 1);
    }
    return static_cast<int16_t>((a & 0x80) ? t : -t);
}

int16_t UlawValue(uint8_t code)
{
    int u = ~code & 0xFF;
    int t = (((u & 0x0F) << 3) + 0x84) << ((u & 0x70) >> 4);
    return static_cast<int16_t>((u & 0x80) ? 0x84 - t : t - 0x84);
}

struct Tables {
    uint8_t alawEnc[2048];  // code of the positive sample i * 16
    uint8_t ulawEnc[4096];  // code of the positive sample i * 8 + 4
    int16_t alawDec[256];
    int16_t ulawDec[256];

    Tables()
    {
        for (int i = 0; i < 2048; ++i) {
            alawEnc[i] = AlawCode(i * 16);
        }
        for (int i = 0; i < 4096; ++i) {
            ulawEnc[i] = UlawCode(i * 8 + 4);
        }
        for (int c = 0; c < 256; ++c) {
            alawDec[c] = AlawValue(static_cast<uint8_t>(c));
            ulawDec[c] = UlawValue(static_cast<uint8_t>(c));
        }
        // The two zero codes keep their sign, so silence decodes to a tiny offset, not 0.
        ulawDec[0x7F] = -2;
        ulawDec[0xFF] = 2;
    }
};

const Tables& T()
{
    static const Tables tables;
    return tables;
}

uint8_t Encode(const Tables& t, int type, int16_t sample)
{
    int mask = sample < 0 ? 0x7F : 0xFF;
    int mag = sample < 0 ? -static_cast<int>(sample) : sample;
    // -32768 has no positive twin: it would index past the A-law table and fall to the
    // near-silence code in mu-law.
    if (mag > 32767) {
        mag = 32767;
    }
    if (type == NOXA_G711_ALAW) {
        return static_cast<uint8_t>(t.alawEnc[mag >> 4] & mask);
    }
    if (mag <= 3) {
        return static_cast<uint8_t>(mask);
    }
    return static_cast<uint8_t>(t.ulawEnc[(mag - 4) >> 3] & mask);
}

int EncodeEvery(int type, const int16_t* pcm, int in_bytes, uint8_t* out, uint32_t* out_len, int step)
{
    const Tables& t = T();
    int n = in_bytes > 0 ? in_bytes / (2 * step) : 0;
    for (int i = 0; i < n; ++i) {
        out[i] = Encode(t, type, pcm[i * step]);
    }
    *out_len = static_cast<uint32_t>(n);
    return 0;
}

}  // namespace

int noxa_g711_encode(int type, const int16_t* pcm, int in_bytes, uint8_t* out, uint32_t* out_len)
{
    if (pcm == nullptr || out == nullptr || out_len == nullptr) {
        printf("%s %d error\n", "noxa_g711_encode", 1341);
        return -1;
    }
    return EncodeEvery(type, pcm, in_bytes, out, out_len, 1);
}

int noxa_g711_encode_16K(int type, const int16_t* pcm, int in_bytes, uint8_t* out, uint32_t* out_len)
{
    if (pcm == nullptr || out == nullptr || out_len == nullptr) {
        printf("%s %d error\n", "noxa_g711_encode_16K", 1357);
        return -1;
    }
    return EncodeEvery(type, pcm, in_bytes, out, out_len, 2);
}

int noxa_g711_decode(int type, const uint8_t* in, int n, int16_t* pcm, uint32_t* out_len)
{
    if (in == nullptr || pcm == nullptr || out_len == nullptr) {
        return -1;
    }
    const int16_t* table = type == NOXA_G711_ALAW ? T().alawDec : T().ulawDec;
    int count = n > 0 ? n : 0;
    for (int i = 0; i < count; ++i) {
        pcm[i] = table[in[i]];
    }
    *out_len = static_cast<uint32_t>(count) * 2;
    return 0;
}

int noxa_pcm_upsample_2x(const int16_t* in, int n, int16_t* out, uint32_t* out_len)
{
    if (in == nullptr || out == nullptr || out_len == nullptr) {
        return -1;
    }
    int count = n > 0 ? n : 0;
    for (int i = 0; i < count; ++i) {
        out[2 * i] = in[i];
        out[2 * i + 1] = in[i];
    }
    *out_len = static_cast<uint32_t>(count) * 4;
    return 0;
}
