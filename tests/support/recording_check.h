// What the whole-process suites read of the card's recordings as a peer would: the fragments a
// reader can reach in an MP4 file, ffprobe's account of it, and the times in its name.
#pragma once

#include "phone_cli.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// Whole mdat boxes at the top level of a file: the fragments a reader can reach.
inline size_t WholeMdats(const std::string& hostPath)
{
    std::ifstream f(hostPath, std::ios::binary);
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t n = 0;
    uint64_t at = 0;
    while (at + 8 <= b.size()) {
        const uint64_t size = (uint64_t(b[at]) << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3];
        if (size < 8 || at + size > b.size()) {
            break;
        }
        n += std::string(b.begin() + static_cast<long>(at) + 4, b.begin() + static_cast<long>(at) + 8) == "mdat";
        at += size;
    }
    return n;
}

// What ffprobe makes of a recording: its frames decoded, its packets, and any error it printed.
struct Probe {
    int rc = -1;
    int frames = 0;
    int packets = 0;
    int width = 0;
    std::string errors;
    std::string text;
};

inline Probe ProbeRecording(const std::string& hostPath)
{
    Probe p;
    auto [rc, out] = ShellOutput("ffprobe -v error -count_frames -count_packets -show_entries "
                                 "stream=codec_name,width,nb_read_frames,nb_read_packets -of default=nw=1 '" +
                                 hostPath + "' 2>&1");
    p.rc = rc;
    p.text = out;
    for (const std::string& line : TextLines(out)) {
        if (line.rfind("nb_read_frames=", 0) == 0) {
            p.frames = std::atoi(line.c_str() + 15);
        } else if (line.rfind("nb_read_packets=", 0) == 0) {
            p.packets = std::atoi(line.c_str() + 16);
        } else if (line.rfind("width=", 0) == 0) {
            p.width = std::atoi(line.c_str() + 6);
        } else if (line.rfind("codec_name=", 0) != 0 && !line.empty()) {
            p.errors += line + "\n";
        }
    }
    return p;
}

// Seconds of the day of "HHMMSS".
inline int DaySeconds(const std::string& hhmmss)
{
    const int v = std::atoi(hhmmss.substr(0, 6).c_str());
    return v / 10000 * 3600 + v / 100 % 100 * 60 + v % 100;
}
