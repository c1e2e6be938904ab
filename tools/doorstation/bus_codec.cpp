#include "bus_codec.h"

#include <cstdio>

namespace doorstation {
namespace {

constexpr uint8_t kStart = 0x02;
constexpr uint8_t kEnd = 0x03;
constexpr unsigned kOffset = 16;

Bytes Frame(const uint8_t (&body)[9], bool withChecksum)
{
    Bytes f;
    f.reserve(kFrameLen);
    f.push_back(kStart);
    unsigned sum = 0;
    for (uint8_t b : body) {
        f.push_back(b);
        sum += b;
    }
    f.push_back(withChecksum ? static_cast<uint8_t>((sum % 256) | 0x80) : 0x10);
    f.push_back(kEnd);
    return f;
}

uint8_t Sent(unsigned v)
{
    return static_cast<uint8_t>((v + kOffset) % 256);
}

void PutDigits(uint8_t* out, uint32_t n)
{
    for (int i = 0; i < 4; ++i) {
        out[i] = Sent(n % 240);
        n /= 240;
    }
}

uint32_t Digits(const unsigned* d)
{
    return ((d[3] * 240 + d[2]) * 240 + d[1]) * 240 + d[0];
}

std::string Format(const char* fmt, unsigned a = 0, unsigned b = 0, unsigned c = 0, unsigned d = 0, unsigned e = 0)
{
    char line[160];
    std::snprintf(line, sizeof(line), fmt, a, b, c, d, e);
    return line;
}

std::string DescribeLevel(const Bytes& f)
{
    unsigned kind = f[2] == 0x33 ? 0 : f[2] == 0x22 ? 1 : 0xFF;
    if (kind == 0xFF || f[5] != static_cast<uint8_t>(f[2] + f[3] + f[4]) || f[6] != 0x55) {
        return "bad announce frame";
    }
    for (size_t i = 7; i <= 10; ++i) {
        if (f[i] != 0x10) {
            return "bad announce frame";
        }
    }
    // A high byte of 3 would read as an end byte, so level 1000 goes out with 4.
    unsigned high = f[3] == 4 ? 3 : f[3];
    return Format("announce kind %u level %u", kind, high << 8 | f[4]);
}

}  // namespace

Bytes TalkFrame(unsigned order, unsigned value1, unsigned value2, unsigned target, unsigned source)
{
    uint8_t body[9] = {Sent(order), Sent(value1), Sent(value2), Sent(0), Sent(0), Sent(0),
                       Sent(target), Sent(0), Sent(source)};
    return Frame(body, true);
}

Bytes CodingFrame(unsigned order, uint32_t addressA, uint32_t addressB)
{
    uint8_t body[9] = {Sent(order)};
    PutDigits(body + 1, addressA);
    PutDigits(body + 5, addressB);
    return Frame(body, true);
}

Bytes LevelFrame(unsigned kind, unsigned level)
{
    uint8_t high = static_cast<uint8_t>(level >> 8);
    if (high == kEnd) {
        high = 4;
    }
    uint8_t low = static_cast<uint8_t>(level & 0xFF);
    uint8_t mark = kind == 0 ? 0x33 : 0x22;
    uint8_t body[9] = {1, mark, high, low, static_cast<uint8_t>(mark + high + low), 0x55, 0x10, 0x10, 0x10};
    return Frame(body, false);
}

std::string Hex(const Bytes& bytes)
{
    std::string s;
    char b[4];
    for (uint8_t v : bytes) {
        std::snprintf(b, sizeof(b), "%02X", v);
        if (!s.empty()) {
            s += ' ';
        }
        s += b;
    }
    return s;
}

std::string DescribeFrame(const Bytes& f)
{
    std::string text;
    if (f.empty() || f[0] != kStart) {
        text = "stray bytes";
    } else if (f.size() != kFrameLen) {
        text = Format("frame cut short after %u bytes", static_cast<unsigned>(f.size()));
    } else if (f[11] != kEnd) {
        text = "bad frame: no end byte";
    } else if (f[1] == 1) {
        text = DescribeLevel(f);
    } else {
        unsigned sum = 0;
        bool low = false;
        for (size_t i = 1; i <= 9; ++i) {
            sum += f[i];
            low = low || f[i] < kOffset;
        }
        unsigned check = (sum % 256) | 0x80;
        if (check != f[10]) {
            text = Format("bad frame: checksum 0x%02X, expected 0x%02X", f[10], check);
        } else if (low) {
            text = "bad frame: body byte below 0x10";
        } else {
            unsigned d[10];
            for (size_t i = 1; i <= 9; ++i) {
                d[i] = f[i] - kOffset;
            }
            unsigned order = d[1];
            if (order >= 32) {
                text = Format("coding order %u addressA %u addressB %u", order, Digits(&d[2]), Digits(&d[6]));
            } else {
                unsigned room = (d[7] >> 4) * 1000 + (d[8] >> 4) * 100 + (d[8] & 0x0F) * 10 + (d[9] >> 4);
                if (order == 17) {
                    unsigned word = d[2] << 12 | d[3] << 8 | d[4] << 4 | d[5];
                    text = Format("state reply 0x%04X target %u source %u", word, d[7] & 0x0F, d[9] & 0x0F);
                } else {
                    text = Format("talk order %u value1 %u value2 %u target %u source %u", order, d[2], d[3],
                                  d[7] & 0x0F, d[9] & 0x0F);
                }
                if (room != 0) {
                    text += Format(" room %04u", room);
                }
            }
        }
    }
    return text + " [" + Hex(f) + "]";
}

std::optional<Bytes> FrameSplitter::Push(uint8_t byte)
{
    std::optional<Bytes> out;
    if (byte == kStart && !mBuf.empty()) {
        out = std::move(mBuf);
        mBuf.clear();
    }
    mBuf.push_back(byte);
    if (mBuf.size() == kFrameLen) {
        out = std::move(mBuf);
        mBuf.clear();
    }
    return out;
}

}  // namespace doorstation
