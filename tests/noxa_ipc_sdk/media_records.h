// The SD event storage's card files read and written the test's own way: ".media" records
// (u32 type, u32 size, u64 ms, u64 pts, little-endian, then the bytes), event folders and
// self-describing frames whose bytes say which frame they are.
#pragma once

#include "noxa_ipc_sdk/noxa_ipc_media.h"
#include "sandbox.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

// The application's media description: channels 0 (1280x720) and 1 (640x360) of H.264 at 25 fps,
// channel 9 of 8 kHz 16-bit PCM.
inline NOXA_MEDIA_INFO_S AppMedia()
{
    NOXA_MEDIA_INFO_S m{};
    const struct {
        int ch;
        uint32_t kbps, w, h;
    } video[] = {{0, 1024, 1280, 720}, {1, 512, 640, 360}};
    for (const auto& v : video) {
        m.channel_enable[v.ch] = 1;
        m.video_fps[v.ch] = 25;
        m.video_gop[v.ch] = 25;
        m.video_bitrate[v.ch] = v.kbps;
        m.video_width[v.ch] = v.w;
        m.video_height[v.ch] = v.h;
        m.video_freq[v.ch] = 90000;
        m.video_codec[v.ch] = NOXA_CODEC_VIDEO_H264;
    }
    m.channel_enable[9] = 1;
    m.audio_codec[9] = NOXA_CODEC_AUDIO_PCM;
    m.audio_fps[9] = 25;
    m.audio_sample[9] = 8000;
    m.audio_databits[9] = 16;
    return m;
}

struct MediaRecord {
    uint32_t type = 0;
    uint64_t ms = 0;
    uint64_t pts = 0;
    std::vector<uint8_t> data;
    bool operator==(const MediaRecord& o) const
    {
        return type == o.type && ms == o.ms && pts == o.pts && data == o.data;
    }
};

inline std::string FileBytes(const std::string& hostPath)
{
    std::ifstream in(hostPath, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline uint64_t LeAt(const std::string& b, size_t at, int bytes)
{
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        v = (v << 8) | static_cast<uint8_t>(b[at + i]);
    }
    return v;
}

// Every record of a ".media" byte string; `whole` says whether it ended on a record boundary.
inline std::vector<MediaRecord> ParseRecords(const std::string& b, bool* whole = nullptr)
{
    std::vector<MediaRecord> out;
    size_t at = 0;
    while (at + 24 <= b.size()) {
        MediaRecord r;
        r.type = static_cast<uint32_t>(LeAt(b, at, 4));
        uint32_t size = static_cast<uint32_t>(LeAt(b, at + 4, 4));
        r.ms = LeAt(b, at + 8, 8);
        r.pts = LeAt(b, at + 16, 8);
        if (at + 24 + size > b.size()) {
            break;
        }
        r.data.assign(b.begin() + static_cast<long>(at + 24), b.begin() + static_cast<long>(at + 24 + size));
        out.push_back(std::move(r));
        at += 24 + size;
    }
    if (whole != nullptr) {
        *whole = at == b.size();
    }
    return out;
}

inline std::string RecordBytes(const MediaRecord& r)
{
    std::string s;
    auto put = [&s](uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            s.push_back(static_cast<char>(v >> (8 * i)));
        }
    };
    put(r.type, 4);
    put(r.data.size(), 4);
    put(r.ms, 8);
    put(r.pts, 8);
    s.append(r.data.begin(), r.data.end());
    return s;
}

// A frame whose bytes name it: "F" + kind + its ms, then filler up to `size`.
inline MediaRecord SelfFrame(uint32_t type, uint64_t ms, size_t size = 64)
{
    MediaRecord r;
    r.type = type;
    r.ms = ms;
    r.pts = ms * 1000;
    char head[40];
    int n = snprintf(head, sizeof(head), "F%u:%llu;", type, static_cast<unsigned long long>(ms));
    r.data.assign(head, head + n);
    while (r.data.size() < size) {
        r.data.push_back(static_cast<uint8_t>(r.data.size() * 7 + ms));
    }
    return r;
}

// The names in a host folder, sorted.
inline std::vector<std::string> Names(const std::string& hostDir)
{
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(hostDir, ec)) {
        out.push_back(e.path().filename().string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Event folders below a DCIM host folder: "YYYY/MM/DD/NAME", sorted.
inline std::vector<std::string> EventFolders(const std::string& dcim)
{
    std::vector<std::string> out;
    for (const auto& y : Names(dcim)) {
        if (y.size() != 4) {
            continue;
        }
        for (const auto& m : Names(dcim + "/" + y)) {
            for (const auto& d : Names(dcim + "/" + y + "/" + m)) {
                for (const auto& e : Names(dcim + "/" + y + "/" + m + "/" + d)) {
                    out.push_back(y + "/" + m + "/" + d + "/" + e);
                }
            }
        }
    }
    return out;
}

// The slices of an event folder ("NNNN.media"), in order.
inline std::vector<std::string> Slices(const std::string& eventDir)
{
    std::vector<std::string> out;
    for (const auto& n : Names(eventDir)) {
        if (n.size() == 10 && n.compare(4, 6, ".media") == 0) {
            out.push_back(n);
        }
    }
    return out;
}

// Writes an event folder the way the storage lays it out; each slice a list of records.
inline void WriteEvent(const std::string& eventDir, const std::vector<std::pair<int, std::vector<MediaRecord>>>& slices,
                       const std::string& info = "{\"version\":1,\"eventType\":0,\"codec\":2}")
{
    std::filesystem::create_directories(eventDir);
    for (const auto& [number, records] : slices) {
        char name[16];
        snprintf(name, sizeof(name), "/%04d.media", number);
        std::ofstream out(eventDir + name, std::ios::binary);
        for (const MediaRecord& r : records) {
            out << RecordBytes(r);
        }
    }
    std::ofstream(eventDir + "/.info") << info;
}
