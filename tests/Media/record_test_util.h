// Shared by the recorder and playback suites: a sandbox whose card is mounted, the clock's zone
// pinned, recordings made by the real chain (the simulated encoder, split as the encoder thread
// splits it) or written directly, and ffprobe's independent view of a file.
#pragma once

#include "Common/AppState.h"
#include "Common/DeviceState.h"
#include "Common/RecordFile.h"
#include "Common/SDCard.h"
#include "Media/Mp4File.h"
#include "Media/Mp4Record.h"
#include "media_test_util.h"
#include "platform/board.h"
#include "platform/board_card.h"
#include "platform/board_path.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

// Runs a command and returns what it printed.
inline std::string RunOutput(const std::string& cmd)
{
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) {
        out.append(buf, n);
    }
    pclose(p);
    return out;
}

// ffprobe's reading of a recording: the stream, every frame decoded, every packet's duration and
// key flag.
struct Probe {
    std::string codec;
    int width = 0;
    int height = 0;
    int decoded = 0;
    std::vector<long> durations;
    std::vector<bool> keys;
};

inline Probe ProbeFile(const std::string& hostPath)
{
    Probe p;
    const std::string q = "'" + hostPath + "'";
    std::string s = RunOutput("ffprobe -v error -select_streams v:0 -count_frames -show_entries "
                              "stream=codec_name,width,height,nb_read_frames -of default=nw=1 " + q);
    auto field = [&s](const std::string& key) {
        size_t at = s.find(key + "=");
        return at == std::string::npos ? std::string() : s.substr(at + key.size() + 1, s.find('\n', at) - at - key.size() - 1);
    };
    p.codec = field("codec_name");
    p.width = std::atoi(field("width").c_str());
    p.height = std::atoi(field("height").c_str());
    p.decoded = std::atoi(field("nb_read_frames").c_str());
    std::string pk = RunOutput("ffprobe -v error -select_streams v:0 -show_entries packet=duration,flags -of csv=p=0 " + q);
    size_t at = 0;
    while (at < pk.size()) {
        size_t nl = pk.find('\n', at);
        std::string line = pk.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
        at = nl == std::string::npos ? pk.size() : nl + 1;
        if (line.empty()) {
            continue;
        }
        p.durations.push_back(std::atol(line.c_str()));
        p.keys.push_back(line.find('K') != std::string::npos);
    }
    return p;
}

// Synthetic H.264 pieces for files whose pictures nobody decodes (the writer never parses
// slices): an SPS of a 1280x720 main-profile stream and a PPS.
inline const std::vector<uint8_t> kFakeSps = {0x67, 0x4D, 0x40, 0x1F, 0xE8, 0x80, 0x28, 0x02, 0xDD, 0x80, 0x88};
inline const std::vector<uint8_t> kFakePps = {0x68, 0xEE, 0x3C, 0x80};

// A sample of `bytes` NAL bytes (4-byte length first), IDR or P, its content telling its number.
inline std::vector<uint8_t> FakeSample(uint32_t number, bool idr, size_t bytes = 400)
{
    std::vector<uint8_t> s(4 + bytes);
    const uint32_t n = static_cast<uint32_t>(bytes);
    s[0] = uint8_t(n >> 24), s[1] = uint8_t(n >> 16), s[2] = uint8_t(n >> 8), s[3] = uint8_t(n);
    s[4] = idr ? 0x65 : 0x41;
    for (size_t i = 5; i < s.size(); ++i) {
        s[i] = static_cast<uint8_t>(number + i);
    }
    s[5] = uint8_t(number >> 8);
    s[6] = uint8_t(number);
    return s;
}

// A closed recording of `samples` fake samples (an IDR every 50), written with the writer.
inline void WriteFakeRecording(const std::string& unitPath, uint32_t samples, size_t bytes = 400)
{
    std::unique_ptr<Mp4Writer> w = Mp4Writer::Create(unitPath);
    ASSERT_TRUE(w) << unitPath;
    ASSERT_EQ(0, w->AddH264Track(1280, 720, kFakeSps.data(), kFakeSps.size(), kFakePps.data(), kFakePps.size()));
    for (uint32_t i = 0; i < samples; ++i) {
        std::vector<uint8_t> s = FakeSample(i + 1, i % 50 == 0, bytes);
        ASSERT_EQ(0, w->WriteSample(s.data(), static_cast<uint32_t>(s.size()), kMp4SampleDuration, i % 50 == 0));
    }
    ASSERT_EQ(0, w->Close());
}

// The recorder on the simulated chain with a mounted card, the zone pinned to UTC.
class RecordTest : public MediaTest {
protected:
    void SetUp() override
    {
        MediaTest::SetUp();
        Mp4LimitAllocations();  // as the unit sets it at start
        setenv("TZ", "UTC0", 1);
        tzset();
        MP4RecordLockInit();
        Mp4RecordInstallLinks();
        ASSERT_EQ(0, BoardMount(kSdPartition, kSdMountPoint, "vfat", 0, nullptr));
        gDeviceState.RecordTimer = kCountdownStopped;
        gDeviceState.RecordHoldTimer = kCountdownStopped;
    }
    void TearDown() override
    {
        MP4RecordStop();
        gVencOutput = VENC_OUTPUT_S{};
        MediaTest::TearDown();
    }
    // The chain for a 1280x720 input, the encoder thread's passes driven by the test.
    static void Build720()
    {
        SysInit();
        StopEncoderThread();
        VideoApplyInputSize(1280, 720);
        SetVideoDynamicsInfo(0);
        ASSERT_EQ(0, VideoInit());
    }
    // n capture periods, each drained by one pass of the encoder thread.
    static void Frames(int n)
    {
        for (int i = 0; i < n; ++i) {
            MiSimPump(1);
            VencChannelPass(0);
        }
    }
    // Names in a folder of the sandbox, sorted.
    std::vector<std::string> Names(const std::string& unitPath) const
    {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(mSandbox.Path(unitPath), ec)) {
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    // The board clock at a UTC time of day on 2026-03-14.
    static void SetClock(int hh, int mm, int ss, int day = 14)
    {
        struct tm t {};
        t.tm_year = 2026 - 1900;
        t.tm_mon = 2;
        t.tm_mday = day;
        t.tm_hour = hh;
        t.tm_min = mm;
        t.tm_sec = ss;
        struct timeval tv = {timegm(&t), 0};
        ASSERT_EQ(0, BoardSetTimeOfDay(&tv));
    }
};
