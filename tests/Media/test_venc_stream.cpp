// The encoder stream thread on the simulated media layer: what it hands over and records, the
// frame gate, the key-frame split for the recorder, snapshots, and the pause of a restart.
#include "Common/AppState.h"
#include "Common/DeviceState.h"
#include "Common/Peripheral.h"
#include "Common/TimeTask.h"
#include "media_test_util.h"
#include "mi/decode_util.h"
#include "platform/board_file_sim.h"
#include "platform/mi/mi_venc.h"

#include <chrono>
#include <cstring>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Handed {
    int channel;
    uint32_t type;
    std::vector<uint8_t> bytes;
};
struct Written {
    uint32_t nal;
    std::vector<uint8_t> bytes;
};

std::vector<Handed> gHanded;
std::vector<Written> gWritten;
std::vector<std::vector<uint8_t>> gSaved;
std::atomic<int> gHandedCount{0};

int PutFrame(int channel, const MEDIA_FRAME_S* f)
{
    gHanded.push_back(Handed{channel, f->type, std::vector<uint8_t>(f->data, f->data + f->size)});
    ++gHandedCount;
    return 0;
}
uint8_t Recording()
{
    return 1;
}
int WriteVideo(uint8_t* data, uint32_t len, uint32_t nal, uint64_t)
{
    gWritten.push_back(Written{nal, std::vector<uint8_t>(data, data + len)});
    return 0;
}
void SaveImage(const uint8_t* data, uint32_t len)
{
    gSaved.emplace_back(data, data + len);
}

std::vector<uint8_t> Bytes(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}
std::vector<uint8_t> Nal(uint8_t header, size_t bodyLen)
{
    std::vector<uint8_t> n = {0, 0, 0, 1, header};
    for (size_t i = 0; i < bodyLen; ++i) {
        n.push_back(static_cast<uint8_t>(0x40 + i % 64));
    }
    return n;
}

class VencStream : public MediaTest {
protected:
    void SetUp() override
    {
        MediaTest::SetUp();
        gHanded.clear();
        gWritten.clear();
        gSaved.clear();
        gVencOutput = VENC_OUTPUT_S{PutFrame, Recording, WriteVideo, SaveImage};
        gAppState.Online = 1;
        gDeviceState.ViewingMark = 1;
        gDeviceState.ViewingTimer = kCountdownStopped;
    }
    void TearDown() override
    {
        gVencOutput = VENC_OUTPUT_S{};
        MediaTest::TearDown();
    }
    // The chain for a 1280x720 input (less to scale than the 1080 default).
    static void Build720()
    {
        SysInit();
        StopEncoderThread();
        VideoApplyInputSize(1280, 720);
        SetVideoDynamicsInfo(0);
        ASSERT_EQ(0, VideoInit());
    }
    static void Inject(MI_U32 chn, const std::vector<uint8_t>& pack, MI_U32 type)
    {
        ASSERT_EQ(0, MiSimVencInject(chn, pack.data(), pack.size(), type, 1234));
    }
};

}  // namespace

TEST_F(VencStream, StreamsDecodeAtTheirSizesWithKeyFramesEvery50AndOnRequest)
{
    Build720();
    const int frames = 101;
    for (int i = 0; i < frames; ++i) {
        if (i == 70) {
            RequestVideoIdr();
        }
        MiSimPump(1);
        ASSERT_GT(VencChannelPass(0), 0);
    }
    TestDecoder main(AV_CODEC_ID_H264);
    TestDecoder sub(AV_CODEC_ID_H264);
    const std::set<int> keys = {0, 50, 70};
    int index[2] = {0, 0};
    for (const Handed& h : gHanded) {
        ASSERT_TRUE(h.channel == 0 || h.channel == 1);
        int i = index[h.channel]++;
        SCOPED_TRACE("channel " + std::to_string(h.channel) + " frame " + std::to_string(i));
        DecodedPicture pic;
        ASSERT_TRUE((h.channel == 0 ? main : sub).Decode(h.bytes.data(), h.bytes.size(), &pic));
        EXPECT_EQ(h.channel == 0 ? 1280 : 640, pic.width);
        EXPECT_EQ(h.channel == 0 ? 720 : 360, pic.height);
        bool key = keys.count(i) != 0;
        EXPECT_EQ(key, pic.key);
        EXPECT_EQ(key ? 1u : 0u, h.type);
        bool allLong = false;
        std::vector<int> nals = NalTypes(h.bytes.data(), h.bytes.size(), &allLong);
        EXPECT_TRUE(allLong) << "every unit behind a 4-byte start code";
        if (key) {
            ASSERT_GE(nals.size(), 3u);
            EXPECT_EQ(7, nals.front());
            EXPECT_EQ(8, nals[1]);
            EXPECT_EQ(5, nals.back());
        } else {
            EXPECT_EQ(std::vector<int>{1}, nals);
        }
    }
    EXPECT_EQ(frames, index[0]);
    EXPECT_EQ(frames, index[1]);
}

// Rows: viewing countdown, online flag, viewing mark; whether frames reach the viewer side. The
// recording gets channel 0 in every row.
TEST_F(VencStream, FrameGateDropsFramesButNotTheRecording)
{
    struct Row {
        uint16_t viewing;
        uint32_t online;
        uint8_t mark;
        bool handed;
    };
    const Row rows[] = {
        {kCountdownStopped, 1, 1, true}, {0, 1, 1, true},  {0x8000, 1, 1, true},           {200, 1, 1, false},
        {1, 1, 1, false},                {kCountdownStopped, 0, 1, false}, {kCountdownStopped, 1, 0, false},
    };
    Build720();
    const std::vector<uint8_t> p = Nal(0x41, 300);
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.viewing << " " << r.online << " " << int(r.mark));
        gHanded.clear();
        gWritten.clear();
        gDeviceState.ViewingTimer = r.viewing;
        gAppState.Online = r.online;
        gDeviceState.ViewingMark = r.mark;
        Inject(0, p, E_MI_VENC_H264E_NALU_PSLICE);
        Inject(1, p, E_MI_VENC_H264E_NALU_PSLICE);
        ASSERT_EQ(2, VencChannelPass(0));
        EXPECT_EQ(r.handed ? 2u : 0u, gHanded.size());
        ASSERT_EQ(1u, gWritten.size()) << "channel 0 only, and always";
        EXPECT_EQ(1u, gWritten[0].nal);
        EXPECT_EQ(p, gWritten[0].bytes);
    }
    EXPECT_EQ(0, VencChannelPass(0)) << "nothing left to fetch";
}

TEST_F(VencStream, NothingIsRecordedWhileNoFileIsOpen)
{
    Build720();
    gVencOutput.RecordState = [] { return uint8_t{0}; };
    Inject(0, Nal(0x41, 50), E_MI_VENC_H264E_NALU_PSLICE);
    VencChannelPass(0);
    EXPECT_EQ(1u, gHanded.size());
    EXPECT_TRUE(gWritten.empty());
}

// Key-frame packs as the recorder gets them: SPS, PPS (with what follows it up to the slice)
// and IDR, each with its start code; packs without the three in order are not recorded.
TEST_F(VencStream, KeyFramesAreSplitForTheRecorder)
{
    const std::vector<uint8_t> sps = Nal(0x67, 12), pps = Nal(0x68, 4), sei = Nal(0x06, 20), idr = Nal(0x65, 900),
                               aud = Nal(0x09, 1);
    struct Row {
        const char* name;
        std::vector<uint8_t> pack;
        std::vector<std::vector<uint8_t>> pieces;  // expected writes 7, 8, 5; none when empty
    };
    const Row rows[] = {
        {"sps pps sei idr", Bytes({sps, pps, sei, idr}), {sps, Bytes({pps, sei}), idr}},
        {"sps pps idr", Bytes({sps, pps, idr}), {sps, pps, idr}},
        {"aud first", Bytes({aud, sps, pps, idr}), {sps, pps, idr}},
        {"pps before sps", Bytes({pps, sps, idr}), {}},
        {"no idr", Bytes({sps, pps, sei}), {}},
        {"no sps", Bytes({pps, idr}), {}},
        {"three bytes", {0, 0, 1}, {}},
    };
    Build720();
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        gHanded.clear();
        gWritten.clear();
        Inject(0, r.pack, E_MI_VENC_H264E_NALU_ISLICE);
        testing::internal::CaptureStdout();
        VencChannelPass(0);
        std::string out = testing::internal::GetCapturedStdout();
        ASSERT_EQ(1u, gHanded.size());
        EXPECT_EQ(r.pack, gHanded[0].bytes) << "handed over whole, start codes intact";
        EXPECT_EQ(1u, gHanded[0].type);
        if (r.pieces.empty()) {
            EXPECT_TRUE(gWritten.empty());
            EXPECT_NE(std::string::npos, out.find("without SPS, PPS and IDR in order: not recorded"));
            continue;
        }
        ASSERT_EQ(3u, gWritten.size());
        const uint32_t nals[3] = {7, 8, 5};
        for (int k = 0; k < 3; ++k) {
            EXPECT_EQ(nals[k], gWritten[k].nal);
            EXPECT_EQ(r.pieces[k], gWritten[k].bytes);
        }
    }
}

TEST_F(VencStream, TheEncodersFirstKeyFrameSplitsIntoWholePieces)
{
    Build720();
    MiSimPump(1);
    VencChannelPass(0);
    ASSERT_FALSE(gHanded.empty());
    const std::vector<uint8_t>& first = gHanded[0].bytes;
    bool allLong = false;
    std::vector<int> nals = NalTypes(first.data(), first.size(), &allLong);
    ASSERT_EQ(4u, nals.size()) << "SPS, PPS, SEI, IDR";
    EXPECT_EQ(6, nals[2]);
    ASSERT_EQ(3u, gWritten.size());
    EXPECT_EQ(first.size(), gWritten[0].bytes.size() + gWritten[1].bytes.size() + gWritten[2].bytes.size());
    EXPECT_EQ(Bytes({gWritten[0].bytes, gWritten[1].bytes, gWritten[2].bytes}), first);
}

// A snapshot is the first JPEG frame after the capture wait; arming again restarts the wait and
// still gives one picture.
TEST_F(VencStream, SnapshotIsTheNextJpegFrameWrittenWhole)
{
    Build720();
    TimeTaskInit();
    const std::vector<uint8_t> before(3000, 0x11), picture = Bytes({{0xFF, 0xD8}, std::vector<uint8_t>(5000, 0x22)}),
                               after(4000, 0x33);
    CapturePicture(0);
    for (int t = 0; t < 5; ++t) {
        TimeTaskTick();
    }
    Inject(2, before, 0);
    VencChannelPass(0);
    EXPECT_FALSE(mSandbox.Exists("/dev/demo_snapshot.jpg")) << "armed, not due yet";
    CapturePicture(0);  // 50 ms after the first
    int ticks = 0;
    while (gVencState.CaptureFlag == 0 && ticks < 100) {
        TimeTaskTick();
        ++ticks;
    }
    EXPECT_EQ(10, ticks) << "the second arm restarts the wait";
    Inject(2, picture, 0);
    VencChannelPass(0);
    EXPECT_EQ(0, gVencState.CaptureFlag);
    std::string file = mSandbox.Read("/dev/demo_snapshot.jpg");
    EXPECT_EQ(std::string(picture.begin(), picture.end()), file);
    EXPECT_FALSE(mSandbox.Exists("/dev/demo_snapshot.jpg.tmp"));
    ASSERT_EQ(1u, gSaved.size()) << "the doorbell picture is also kept on the card";
    EXPECT_EQ(picture, gSaved[0]);
    for (int t = 0; t < 50; ++t) {
        TimeTaskTick();
    }
    Inject(2, after, 0);
    VencChannelPass(0);
    EXPECT_EQ(std::string(picture.begin(), picture.end()), mSandbox.Read("/dev/demo_snapshot.jpg")) << "one picture";
    EXPECT_EQ(1u, gSaved.size());
}

// The snapshot is synced before it is renamed in: a power cut right after it leaves the picture,
// not an empty file under its name.
TEST_F(VencStream, SnapshotOutlivesAPowerCut)
{
    Build720();
    const std::vector<uint8_t> picture = Bytes({{0xFF, 0xD8}, std::vector<uint8_t>(2000, 0x77)});
    BoardPowerModel(true);
    gVencState.CaptureFlag = 1;
    {
        std::lock_guard<std::mutex> lk(gVencState.PathLock);
        std::strcpy(gVencState.CapturePath, kDemoSnapshotPath);
    }
    gDeviceState.ViewingTimer = kCountdownStopped;
    Inject(2, picture, 0);
    VencChannelPass(0);
    ASSERT_EQ(0, gVencState.CaptureFlag);
    BoardPowerCut();
    EXPECT_EQ(std::string(picture.begin(), picture.end()), mSandbox.Read("/dev/demo_snapshot.jpg"));
    BoardPowerModel(false);
}

TEST_F(VencStream, SnapshotWaitsForTheViewingCountdown)
{
    Build720();
    const std::vector<uint8_t> during(100, 0x44), after(200, 0x55);
    gVencState.CaptureFlag = 1;
    {
        std::lock_guard<std::mutex> lk(gVencState.PathLock);
        std::strcpy(gVencState.CapturePath, kDemoSnapshotPath);
    }
    gDeviceState.ViewingTimer = 150;
    Inject(2, during, 0);
    VencChannelPass(0);
    EXPECT_EQ(1, gVencState.CaptureFlag);
    EXPECT_FALSE(mSandbox.Exists("/dev/demo_snapshot.jpg"));
    gDeviceState.ViewingTimer = kCountdownStopped;
    Inject(2, after, 0);
    VencChannelPass(0);
    EXPECT_EQ(std::string(after.begin(), after.end()), mSandbox.Read("/dev/demo_snapshot.jpg"));
}

// Mode 1 takes a picture for the card: a new file in today's picture folder, made for it.
TEST_F(VencStream, CardPictureGoesToTodaysFolder)
{
    Build720();
    TimeTaskInit();
    const std::vector<uint8_t> picture = Bytes({{0xFF, 0xD8}, std::vector<uint8_t>(3000, 0x66)});
    CapturePicture(1);
    std::string path;
    {
        std::lock_guard<std::mutex> lk(gVencState.PathLock);
        path = gVencState.CapturePath;
    }
    ASSERT_TRUE(std::regex_match(path, std::regex(R"(/mnt/sdcard/DCIM/\d{8}/\d{6}\.jpg)"))) << path;
    EXPECT_TRUE(mSandbox.Exists(path.substr(0, path.rfind('/')))) << "the day folder is made";
    for (int t = 0; t < 10; ++t) {
        TimeTaskTick();
    }
    Inject(2, picture, 0);
    VencChannelPass(0);
    EXPECT_EQ(std::string(picture.begin(), picture.end()), mSandbox.Read(path));
    EXPECT_FALSE(mSandbox.Exists(path + ".tmp"));
    EXPECT_FALSE(mSandbox.Exists(kDemoSnapshotPath));
    EXPECT_TRUE(gSaved.empty()) << "a picture for the card is not saved twice";
}

// The snapshot is a JPEG of the door the video select routes: door 0's warm wood, door 1's cool
// stone tell apart by their colour.
TEST_F(VencStream, SnapshotShowsTheSelectedDoor)
{
    ASSERT_EQ(0, Hc595Init());
    Build720();
    TimeTaskInit();
    DecodedPicture pics[2];
    for (int door = 0; door < 2; ++door) {
        VideoSelect(door);
        CapturePicture(0);
        for (int t = 0; t < 10; ++t) {
            TimeTaskTick();
        }
        for (int p = 0; p < 5 && gVencState.CaptureFlag; ++p) {
            MiSimPump(1);
            VencChannelPass(0);
        }
        ASSERT_EQ(0, gVencState.CaptureFlag);
        std::string jpeg = mSandbox.Read("/dev/demo_snapshot.jpg");
        ASSERT_GT(jpeg.size(), 1000u);
        TestDecoder dec(AV_CODEC_ID_MJPEG);
        ASSERT_TRUE(dec.Decode(reinterpret_cast<const uint8_t*>(jpeg.data()), jpeg.size(), &pics[door]));
        EXPECT_EQ(640, pics[door].width);
        EXPECT_EQ(360, pics[door].height);
    }
    EXPECT_LT(pics[0].meanU + 20, pics[1].meanU);
    EXPECT_GT(pics[0].meanV, pics[1].meanV + 20);
}

// With the thread running, a restart waits for the thread to stop fetching, and the thread takes
// up its work again afterwards.
TEST_F(VencStream, RestartPausesTheRunningThread)
{
    ASSERT_EQ(0, SysInit());
    SetVideoDynamicsInfo(0);
    ASSERT_EQ(0, VideoInit());
    auto waitFor = [](int count) {
        for (int i = 0; i < 500 && gHandedCount < count; ++i) {
            MiSimPump(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return gHandedCount >= count;
    };
    ASSERT_TRUE(waitFor(4));
    VideoRestart();
    EXPECT_EQ(1, gVencState.Idle) << "the thread answered the pause before the teardown";
    EXPECT_EQ(0, gVencState.Pause);
    int seen = gHandedCount;
    EXPECT_TRUE(waitFor(seen + 4)) << "fetching goes on after the restart";
}
