// Recordings of the writer with box fields changed in place, as a card from anywhere may hold
// them: each claims counts its bytes cannot hold, or is odd but readable. Shared by the reader's
// suite, its bench and the seeds of its fuzz target; no test framework here.
#pragma once

#include "Media/Mp4File.h"
#include "platform/board_path.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace mp4craft {

inline uint32_t Get32(const std::string& b, size_t at)
{
    return (uint32_t(uint8_t(b[at])) << 24) | (uint32_t(uint8_t(b[at + 1])) << 16) | (uint32_t(uint8_t(b[at + 2])) << 8) |
           uint8_t(b[at + 3]);
}

inline void Put32(std::string& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        b[at + i] = char(v >> (24 - 8 * i));
    }
}

inline void Put64(std::string& b, size_t at, uint64_t v)
{
    Put32(b, at, uint32_t(v >> 32));
    Put32(b, at + 4, uint32_t(v));
}

// Offsets of every box of `type` inside [from, end), through the containers the writer makes.
inline std::vector<size_t> Boxes(const std::string& b, const char* type, size_t from = 0, size_t end = std::string::npos)
{
    static const char* const kContainers[] = {"moov", "trak", "mdia", "minf", "stbl", "mvex", "moof", "traf"};
    std::vector<size_t> found;
    end = std::min(end, b.size());
    for (size_t at = from; at + 8 <= end;) {
        const size_t size = Get32(b, at);
        if (size < 8 || size > end - at) {
            break;
        }
        if (b.compare(at + 4, 4, type) == 0) {
            found.push_back(at);
        }
        for (const char* c : kContainers) {
            if (b.compare(at + 4, 4, c) == 0) {
                const std::vector<size_t> inner = Boxes(b, type, at + 8, at + size);
                found.insert(found.end(), inner.begin(), inner.end());
            }
        }
        at += size;
    }
    return found;
}

// A recording as the writer makes it, read back as bytes (the file at unitPath is removed):
// `fragments` fragments of 25 video samples, all `bytes` long (so that the runs carry no
// per-sample field) or of varied lengths, and two 20 ms chunks of 8 kHz PCM beside each sample
// when `pcmRate` is not 0.
inline std::string Recording(const std::string& unitPath, uint32_t fragments, uint32_t bytes, bool varied,
                             uint32_t pcmRate = 0)
{
    static const uint8_t kSps[] = {0x67, 0x4D, 0x40, 0x1F, 0xE8, 0x80, 0x28, 0x02, 0xDD, 0x80, 0x88};
    static const uint8_t kPps[] = {0x68, 0xEE, 0x3C, 0x80};
    {
        std::unique_ptr<Mp4Writer> w = Mp4Writer::Create(unitPath);
        if (!w || (pcmRate != 0 && w->AddPcmTrack(pcmRate) != 0) ||
            w->AddH264Track(1280, 720, kSps, sizeof kSps, kPps, sizeof kPps) != 0) {
            return {};
        }
        std::vector<uint8_t> pcm(pcmRate / 50 * 2, 0x11);
        for (uint32_t i = 0; i < fragments * kMp4FragmentSamples; ++i) {
            const uint32_t n = varied ? bytes + (i * 37) % 200 : bytes;
            std::vector<uint8_t> s(4 + n, uint8_t(i));
            s[0] = uint8_t(n >> 24), s[1] = uint8_t(n >> 16), s[2] = uint8_t(n >> 8), s[3] = uint8_t(n);
            s[4] = i % 50 == 0 ? 0x65 : 0x41;
            if (w->WriteSample(s.data(), uint32_t(s.size()), kMp4SampleDuration, i % 50 == 0) != 0) {
                return {};
            }
            for (int k = 0; pcmRate != 0 && k < 2; ++k) {
                if (w->WritePcmSample(pcm.data(), uint32_t(pcm.size()), uint32_t(pcm.size() / 2)) != 0) {
                    return {};
                }
            }
        }
        if (w->Close() != 0) {
            return {};
        }
    }
    std::ifstream f(BoardPath(unitPath), std::ios::binary);
    std::string b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    BoardUnlink(unitPath.c_str());
    return b;
}

struct CRAFTED_S {
    std::string Name;
    std::string Bytes;
    bool Refused;  // else the reader reads it
    uint32_t Samples = 0;  // it then gives
};

// Every trun's sample count set to `count`.
inline std::string RunsClaim(std::string b, uint32_t count)
{
    for (size_t at : Boxes(b, "trun")) {
        Put32(b, at + 12, count);
    }
    return b;
}

// The first field of every `type` table after its version and flags (+ `skip` bytes) set.
inline std::string TablesClaim(std::string b, const char* type, size_t skip, uint32_t value)
{
    for (size_t at : Boxes(b, type)) {
        Put32(b, at + 12 + skip, value);
    }
    return b;
}

// The crafted files, made with a scratch file at unitPath. The first ones claim 16 million (or
// 600 thousand) samples or entries in boxes of a few bytes; the last ones are odd but hold what
// they claim.
inline std::vector<CRAFTED_S> CraftedFiles(const std::string& unitPath)
{
    constexpr uint32_t k16M = 16u << 20;
    // 10 s of 64 KB in all: runs without per-sample fields, and with per-sample sizes.
    const std::string plain = Recording(unitPath, 10, 250, false);
    const std::string varied = Recording(unitPath, 10, 150, true);
    std::vector<CRAFTED_S> c;
    c.push_back({"runs without fields claim 16M samples", RunsClaim(plain, k16M), true});
    c.push_back({"runs with per-sample sizes claim 16M samples", RunsClaim(varied, k16M), true});
    // Each run's index alone stays below the ceiling of one allocation.
    c.push_back({"runs without fields claim 600k samples", RunsClaim(plain, 600000), true});
    c.push_back({"runs with per-sample sizes claim 600k samples", RunsClaim(varied, 600000), true});
    {
        // Samples of the default size 0: any count of them "fits" any media data.
        std::string b = plain;
        for (size_t at : Boxes(b, "tfhd")) {
            const uint32_t flags = Get32(b, at + 8) & 0xFFFFFF;
            if ((flags & 0x10) != 0) {
                const size_t field = at + 16 + ((flags & 0x1) ? 8 : 0) + ((flags & 0x2) ? 4 : 0) + ((flags & 0x8) ? 4 : 0);
                Put32(b, field, 0);
            }
        }
        c.push_back({"default sample size 0 with runs of 16M samples", RunsClaim(b, k16M), true});
        c.push_back({"default sample size 0", b, true});
    }
    {
        // The empty moov's size table: a constant size for 16M samples, and 16M sizes.
        std::string b = TablesClaim(plain, "stsz", 0, 1000);
        c.push_back({"moov: 16M samples of 1000 bytes", TablesClaim(b, "stsz", 4, k16M), true});
        c.push_back({"moov: 16M sample sizes", TablesClaim(plain, "stsz", 4, k16M), true});
    }
    c.push_back({"moov: 16M chunk offsets", TablesClaim(plain, "stco", 0, k16M), true});
    c.push_back({"moov: 16M sample-to-chunk entries", TablesClaim(plain, "stsc", 0, k16M), true});
    c.push_back({"moov: 16M time-to-sample entries", TablesClaim(plain, "stts", 0, k16M), true});
    // Readable: the recordings themselves, runs of fewer samples than written, and a recording
    // cut by a power loss inside its last moof (a fragment the ceilings alone bound) or after
    // 10 whole samples of its last mdat.
    c.push_back({"a recording", plain, false, 250});
    c.push_back({"a recording of varied sizes", varied, false, 250});
    c.push_back({"runs of 10 samples", RunsClaim(plain, 10), false, 100});
    const size_t lastMoof = Boxes(plain, "moof").back();
    c.push_back({"cut inside its last moof", plain.substr(0, Boxes(plain, "trun").back() + 20), false, 225});
    const size_t lastMdat = lastMoof + Get32(plain, lastMoof);
    c.push_back({"cut after 10 samples of its last mdat", plain.substr(0, lastMdat + 8 + 10 * 254 + 100), false, 235});
    return c;
}

}  // namespace mp4craft
