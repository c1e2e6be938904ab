// ADTS AAC decoded with FAAD2, as an independent check of what the unit's encoder calls make and
// of what its speaker plays.
#pragma once

#include <cstdint>
#include <neaacdec.h>
#include <string>
#include <vector>

// Every frame of an ADTS stream decoded with FAAD2: the first channel, the rate and channel count
// of the stream. FAAD2 puts a mono stream out as two equal channels (room for parametric
// stereo): `channels` is then 1 again, the stream's own count.
struct DecodedAac {
    std::vector<int16_t> pcm;
    unsigned long rate = 0;
    unsigned channels = 0;
    int frames = 0;
    int errors = 0;
};

inline DecodedAac DecodeAdts(const std::vector<uint8_t>& bytes)
{
    DecodedAac out;
    NeAACDecHandle dec = NeAACDecOpen();
    NeAACDecConfigurationPtr cfg = NeAACDecGetCurrentConfiguration(dec);
    cfg->outputFormat = FAAD_FMT_16BIT;
    cfg->dontUpSampleImplicitSBR = 1;
    NeAACDecSetConfiguration(dec, cfg);
    unsigned char ch = 0;
    std::vector<uint8_t> buf(bytes);
    if (buf.size() < 7 || NeAACDecInit(dec, buf.data(), static_cast<unsigned long>(buf.size()), &out.rate, &ch) < 0) {
        NeAACDecClose(dec);
        return out;
    }
    out.channels = ch;
    bool mono = ch == 2;  // until the two channels differ
    size_t at = 0;
    while (at + 7 <= buf.size()) {
        size_t len = ((buf[at + 3] & 3) << 11) | (buf[at + 4] << 3) | (buf[at + 5] >> 5);
        if (len < 7 || at + len > buf.size()) {
            break;
        }
        NeAACDecFrameInfo info{};
        auto* s = static_cast<int16_t*>(NeAACDecDecode(dec, &info, buf.data() + at, static_cast<unsigned long>(len)));
        ++out.frames;
        if (info.error != 0) {
            ++out.errors;
        } else if (s != nullptr) {
            for (unsigned long i = 0; i < info.samples; i += info.channels) {
                out.pcm.push_back(s[i]);
                mono = mono && info.channels == 2 && s[i] == s[i + 1];
            }
        }
        at += len;
    }
    NeAACDecClose(dec);
    if (mono) {
        out.channels = 1;
    }
    return out;
}

inline DecodedAac DecodeAdts(const std::string& bytes)
{
    return DecodeAdts(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}
