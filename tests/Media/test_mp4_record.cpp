// The recorder on the simulated chain and card: what it writes as ffprobe sees it, its refusals,
// its names, its locks against a racing stop, and the recovery of a file cut by a power loss.
#include "Common/DoorPhone.h"
#include "Common/DoorPhoneLinks.h"
#include "Common/TimeTask.h"
#include "Media/AudioCapture.h"
#include "Media/Playback.h"
#include "mp4_craft_util.h"
#include "record_test_util.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>

namespace {

constexpr const char* kDay = "/mnt/sdcard/DVR/20260314";

// A NAL unit with its 4-byte start code, in a buffer of its exact size.
std::vector<uint8_t> Unit(const std::vector<uint8_t>& nal)
{
    std::vector<uint8_t> u = {0, 0, 0, 1};
    u.insert(u.end(), nal.begin(), nal.end());
    return u;
}

void Write(std::vector<uint8_t> unit, uint32_t type)
{
    MP4Encoder_WriteVideo(unit.data(), static_cast<uint32_t>(unit.size()), type, 0);
}

// SPS, PPS and one IDR slice of fake bytes, as the encoder thread hands a key frame over.
void FakeKeyFrame()
{
    Write(Unit(kFakeSps), 7);
    Write(Unit(kFakePps), 8);
    std::vector<uint8_t> idr = FakeSample(1, true);
    Write(Unit(std::vector<uint8_t>(idr.begin() + 4, idr.end())), 5);
}

// Ends of the top-level mdat boxes of a file, by a walk of our own.
std::vector<uint64_t> MdatEnds(const std::string& hostPath)
{
    std::ifstream f(hostPath, std::ios::binary);
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<uint64_t> ends;
    uint64_t at = 0;
    while (at + 8 <= b.size()) {
        uint64_t size = (uint64_t(b[at]) << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3];
        if (size < 8) {
            break;
        }
        if (std::string(b.begin() + at + 4, b.begin() + at + 8) == "mdat") {
            ends.push_back(at + size);
        }
        at += size;
    }
    return ends;
}

std::string ReadAll(const std::string& hostPath)
{
    std::ifstream f(hostPath, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

}  // namespace

// 65 s of the main stream as the encoder thread hands it over, the record timer ticking beside
// it: 1625 samples of 3600, sync samples at the key frames, every frame decoded by ffprobe at
// 1280x720. Slices before the first IDR are dropped, and a second SPS does not replace the first.
TEST_F(RecordTest, SixtyFiveSecondsAreTheMainStreamAsFfprobeSeesIt)
{
    gDoorPhoneLinks.RecordStop = MP4RecordStop;
    SetClock(10, 15, 0);
    Build720();
    Frames(7);  // the encoder between two key frames
    ASSERT_EQ(0, MP4RecordStart());
    EXPECT_EQ(kRecordTimerTicks, gDeviceState.RecordTimer.load());
    EXPECT_EQ(kRecordHoldTicks, gDeviceState.RecordHoldTimer.load());
    std::vector<uint8_t> p = FakeSample(9, false);
    Write(Unit(std::vector<uint8_t>(p.begin() + 4, p.end())), 1);  // before the IDR: dropped
    int frames = 0;
    while (GetMP4RecordState() == 1 && frames < 2000) {
        Frames(1);
        ++frames;
        if (frames == 3) {
            Write(Unit(kFakeSps), 7);  // a second SPS: ignored
        }
        for (int t = 0; t < 4; ++t) {
            TimeTaskTick();
        }
    }
    EXPECT_EQ(1625, frames) << "the record timer ends the file at 65 s";
    EXPECT_EQ(0, GetMP4RecordState());
    ASSERT_EQ(1u, Names(kDay).size());
    EXPECT_EQ(0u, Names(kDay)[0].rfind("101500_1015", 0)) << Names(kDay)[0];
    const std::string path = std::string(kDay) + "/" + Names(kDay)[0];
    Probe pr = ProbeFile(mSandbox.Path(path));
    EXPECT_EQ("h264", pr.codec);
    EXPECT_EQ(1280, pr.width);
    EXPECT_EQ(720, pr.height);
    EXPECT_EQ(1625, pr.decoded);
    ASSERT_EQ(1625u, pr.durations.size());
    std::unique_ptr<Mp4Reader> r = Mp4Reader::Open(path);
    ASSERT_TRUE(r);
    ASSERT_EQ(1625u, r->SampleCount());
    // The sync table marks exactly the IDR slices, the first sample being one (the start asked
    // for a key frame), then one every GOP of 50.
    int keys = 0;
    std::vector<uint8_t> sample;
    for (size_t i = 0; i < pr.durations.size(); ++i) {
        ASSERT_EQ(3600, pr.durations[i]) << i;
        ASSERT_EQ(0, r->ReadSample(static_cast<uint32_t>(i + 1), &sample, nullptr));
        ASSERT_GT(sample.size(), 4u);
        ASSERT_EQ((sample[4] & 0x1F) == 5, pr.keys[i]) << i;
        keys += pr.keys[i] ? 1 : 0;
    }
    EXPECT_TRUE(pr.keys[0]);
    EXPECT_GE(keys, 1625 / 50);
    EXPECT_EQ(25u, r->FrameRate());
    ASSERT_GE(r->Sps().size(), 8u);
    EXPECT_NE(kFakeSps, r->Sps()) << "the first SPS stays";
}

// Cut at 200 random places and at each fragment's end and one byte either side: the reader gives
// every sample of the complete fragments, each as written, and the recovery renames the file to
// start + its duration, which the index then lists.
TEST_F(RecordTest, ACutRecordingKeepsItsCompleteFragments)
{
    SetClock(10, 15, 0);
    Build720();
    ASSERT_EQ(0, MP4RecordStart());
    Frames(250);
    MP4RecordStop();
    ASSERT_EQ(1u, Names(kDay).size());
    const std::string closed = std::string(kDay) + "/" + Names(kDay)[0];
    std::unique_ptr<Mp4Reader> whole = Mp4Reader::Open(closed);
    ASSERT_TRUE(whole);
    ASSERT_EQ(250u, whole->SampleCount());
    const std::string bytes = ReadAll(mSandbox.Path(closed));
    const std::vector<uint64_t> ends = MdatEnds(mSandbox.Path(closed));
    ASSERT_EQ(0, BoardUnlink(closed.c_str()));  // its name must not stand in the way of a recovered one
    ASSERT_EQ(10u, ends.size()) << "fragments of 25 samples";
    std::vector<uint64_t> cuts;
    for (uint64_t e : ends) {
        cuts.insert(cuts.end(), {e - 1, e, e + 1});
    }
    std::mt19937 rng(44);
    for (int i = 0; i < 200; ++i) {
        cuts.push_back(std::uniform_int_distribution<uint64_t>(0, bytes.size())(rng));
    }
    const std::string cut = std::string(kDay) + "/101500.mp4";
    std::vector<uint8_t> sample;
    std::vector<uint8_t> expected;
    for (uint64_t at : cuts) {
        at = std::min<uint64_t>(at, bytes.size());
        SCOPED_TRACE("cut at " + std::to_string(at) + " of " + std::to_string(bytes.size()));
        size_t complete = 0;
        while (complete < ends.size() && ends[complete] <= at) {
            ++complete;
        }
        {
            std::ofstream o(mSandbox.Path(cut), std::ios::binary | std::ios::trunc);
            o.write(bytes.data(), static_cast<std::streamsize>(at));
        }
        std::unique_ptr<Mp4Reader> r = Mp4Reader::Open(cut);
        if (r) {
            ASSERT_GE(r->SampleCount(), 25 * complete);
            ASSERT_LE(r->SampleCount(), 250u);
            for (uint32_t id : {1u, r->SampleCount()}) {
                if (r->SampleCount() == 0) {
                    break;
                }
                bool sync = false;
                ASSERT_EQ(0, r->ReadSample(id, &sample, &sync));
                ASSERT_EQ(0, whole->ReadSample(id, &expected, nullptr));
                ASSERT_EQ(expected, sample) << "sample " << id;
            }
        } else {
            ASSERT_EQ(0u, complete);
        }
        r.reset();
        const int rc = MP4RecoverFile(cut.c_str());
        if (complete == 0) {
            ASSERT_EQ(-1, rc);
            continue;
        }
        ASSERT_EQ(1, rc);
        char name[32];
        std::snprintf(name, sizeof(name), "101500_1015%02zu.mp4", complete);
        ASSERT_TRUE(mSandbox.Exists(std::string(kDay) + "/" + name));
        std::vector<RECORD_FILE_INFO_S> list;
        ASSERT_EQ(0, ScanRecordDir(kDay, &list, 2026, 3, 14));
        bool listed = false;
        for (const auto& e : list) {
            listed = listed || e.EndTime - e.StartTime == complete;
        }
        EXPECT_TRUE(listed);
        std::unique_ptr<Mp4Reader> rec = Mp4Reader::Open(std::string(kDay) + "/" + name);
        ASSERT_TRUE(rec);
        EXPECT_EQ(25 * complete, rec->SampleCount()) << "cut after its last complete fragment";
        ASSERT_EQ(0, BoardUnlink((std::string(kDay) + "/" + name).c_str()));
    }
}

// One damaged box costs only what it covers: a 66-fragment recording cut by a power loss whose
// 3rd moof claims 0x7FFFFFFF bytes keeps its 65 intact fragments, the damage skipped as a free box
// (the recording still ends 66 s after its start: the lost second is a gap in it).
TEST_F(RecordTest, RecoveryKeepsEveryIntactFragmentAfterADamagedBox)
{
    const std::string cut = std::string(kDay) + "/101500.mp4";
    ASSERT_EQ(0, BoardMkdir("/mnt/sdcard/DVR", 0755));
    ASSERT_EQ(0, BoardMkdir(kDay, 0755));
    ASSERT_NO_FATAL_FAILURE(WriteFakeRecording(cut, 66 * kMp4FragmentSamples));
    std::unique_ptr<Mp4Reader> whole = Mp4Reader::Open(cut);
    ASSERT_TRUE(whole);
    ASSERT_EQ(1650u, whole->SampleCount());
    std::string bytes = ReadAll(mSandbox.Path(cut));
    const std::vector<uint64_t> ends = MdatEnds(mSandbox.Path(cut));
    ASSERT_EQ(66u, ends.size());
    const uint64_t thirdMoof = ends[1];
    ASSERT_EQ("moof", bytes.substr(thirdMoof + 4, 4));
    const char damage[4] = {0x7F, char(0xFF), char(0xFF), char(0xFF)};
    bytes.replace(thirdMoof, 4, damage, 4);
    {
        std::ofstream o(mSandbox.Path(cut), std::ios::binary | std::ios::trunc);
        o.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    ASSERT_EQ(1, MP4RecoverFile(cut.c_str()));
    const std::string recovered = std::string(kDay) + "/101500_101606.mp4";
    ASSERT_TRUE(mSandbox.Exists(recovered)) << testing::PrintToString(Names(kDay));
    std::unique_ptr<Mp4Reader> rec = Mp4Reader::Open(recovered);
    ASSERT_TRUE(rec);
    ASSERT_EQ(65u * kMp4FragmentSamples, rec->SampleCount());
    std::vector<uint8_t> sample;
    std::vector<uint8_t> expected;
    // Ids of the recovered file against the original's: the 3rd second is the one gone.
    for (uint32_t id : {1u, 50u, 51u, 1000u, 1625u}) {
        const uint32_t original = id <= 50 ? id : id + 25;
        ASSERT_EQ(0, rec->ReadSample(id, &sample, nullptr)) << id;
        ASSERT_EQ(0, whole->ReadSample(original, &expected, nullptr)) << original;
        EXPECT_EQ(expected, sample) << "sample " << id;
    }
    const Probe p = ProbeFile(mSandbox.Path(recovered));
    EXPECT_EQ(1625u, p.durations.size()) << "ffprobe reads every kept sample";
}

// Crafted files on the card: those whose boxes claim 16 million or 600 thousand samples or
// entries in a few bytes are refused before the demuxer indexes them, and the recovery finds
// nothing to keep in them (the card thread then removes them); the odd ones that hold what they
// claim are read and recovered.
TEST_F(RecordTest, CraftedSampleCountsAreRefusedOrRead)
{
    ASSERT_EQ(0, BoardMkdir("/mnt/sdcard/DVR", 0755));
    ASSERT_EQ(0, BoardMkdir(kDay, 0755));
    const std::string path = std::string(kDay) + "/101500.mp4";
    const std::vector<mp4craft::CRAFTED_S> files = mp4craft::CraftedFiles(std::string(kDay) + "/scratch.mp4");
    ASSERT_EQ(16u, files.size());
    for (const mp4craft::CRAFTED_S& f : files) {
        SCOPED_TRACE(f.Name);
        ASSERT_GT(f.Bytes.size(), 16000u);
        ASSERT_LT(f.Bytes.size(), 70000u);
        mSandbox.Write(path, f.Bytes);
        std::unique_ptr<Mp4Reader> r = Mp4Reader::Open(path);
        EXPECT_EQ(f.Refused, r == nullptr);
        if (r) {
            EXPECT_EQ(f.Samples, r->SampleCount());
            std::vector<uint8_t> sample;
            EXPECT_EQ(0, r->ReadSample(r->SampleCount(), &sample, nullptr));
        }
        r.reset();
        EXPECT_EQ(f.Refused ? -1 : 1, MP4RecoverFile(path.c_str()));
        for (const std::string& n : Names(kDay)) {
            ASSERT_EQ(0, BoardUnlink((std::string(kDay) + "/" + n).c_str()));
        }
    }
}

// Fragments decoded from -2^62 and from 2^62: the span between the first and last sample and a
// sample's share of it more are the duration, without a signed overflow.
TEST_F(RecordTest, DecodeTimesFarApartAreRead)
{
    ASSERT_EQ(0, BoardMkdir("/mnt/sdcard/DVR", 0755));
    ASSERT_EQ(0, BoardMkdir(kDay, 0755));
    const std::string path = std::string(kDay) + "/101500.mp4";
    std::string b = mp4craft::Recording(path, 2, 250, false);
    const std::vector<size_t> tfdt = mp4craft::Boxes(b, "tfdt");
    ASSERT_EQ(2u, tfdt.size());
    ASSERT_EQ(1u, uint8_t(b[tfdt[0] + 8])) << "64-bit decode times";
    mp4craft::Put64(b, tfdt[0] + 12, uint64_t(-(int64_t(1) << 62)));
    mp4craft::Put64(b, tfdt[1] + 12, uint64_t(1) << 62);
    mSandbox.Write(path, b);
    std::unique_ptr<Mp4Reader> r = Mp4Reader::Open(path);
    ASSERT_TRUE(r);
    ASSERT_EQ(50u, r->SampleCount());
    const uint64_t span = (uint64_t(1) << 63) + 24 * kMp4SampleDuration;
    EXPECT_EQ(span + span / 49, r->Duration());
}

// The card thread recovers a newly mounted card's cut recordings; ClearBadFile leaves the
// recorder's open file alone, and removes a start-name file with nothing to keep.
TEST_F(RecordTest, CardThreadRecoversACutFileAndSparesTheOpenOne)
{
    SetClock(9, 0, 0);
    ASSERT_EQ(0, MP4RecordStart());
    FakeKeyFrame();
    for (uint32_t i = 2; i <= 60; ++i) {
        std::vector<uint8_t> s = FakeSample(i, false);
        Write(Unit(std::vector<uint8_t>(s.begin() + 4, s.end())), 1);
    }
    // A file cut in its third fragment, and one cut before its first fragment ended.
    const std::string prev = std::string(kDay) + "/081000.mp4";
    WriteFakeRecording(prev, 75);
    const std::vector<uint64_t> ends = MdatEnds(mSandbox.Path(prev));
    ASSERT_EQ(3u, ends.size());
    ASSERT_EQ(0, truncate(mSandbox.Path(prev).c_str(), static_cast<off_t>(ends[2] - 10)));
    const std::string empty = std::string(kDay) + "/082000.mp4";
    WriteFakeRecording(empty, 10);
    ASSERT_EQ(0, truncate(mSandbox.Path(empty).c_str(), static_cast<off_t>(MdatEnds(mSandbox.Path(empty))[0] - 1)));
    testing::internal::CaptureStdout();
    CardDetPass();  // first pass: the card is new to the thread
    testing::internal::GetCapturedStdout();
    EXPECT_EQ((std::vector<std::string>{"081000_081002.mp4", "090000.mp4"}), Names(kDay));
    EXPECT_EQ(1, GetMP4RecordState()) << "the open file is left alone";
    SetClock(9, 0, 0);  // the end time as the start's
    MP4RecordStop();
    EXPECT_EQ((std::vector<std::string>{"081000_081002.mp4", "090000_090000.mp4"}), Names(kDay));
    std::unique_ptr<Mp4Reader> r = Mp4Reader::Open(std::string(kDay) + "/090000_090000.mp4");
    ASSERT_TRUE(r);
    EXPECT_EQ(60u, r->SampleCount()) << "recovery did not cut the file being recorded";
}

// The card failing in the middle of a fragment's write (full, or gone while its folder still
// renames): the recording ends, and the file under its final name holds its complete fragments
// only, so that it lists as long as it plays and every packet decodes. Without a complete
// fragment nothing is left.
TEST_F(RecordTest, ACardFailingMidFragmentLeavesOnlyCompleteFragments)
{
    // The card fills up at `room` bytes past the file's present end: a write up to there is cut
    // short, the next fails (EFBIG, the signal ignored).
    auto fillsAfter = [this](const std::string& unitPath, rlim_t room, int frames) {
        struct stat st {};
        ASSERT_EQ(0, ::stat(mSandbox.Path(unitPath).c_str(), &st));
        struct rlimit old {};
        ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
        struct rlimit lim = old;
        lim.rlim_cur = static_cast<rlim_t>(st.st_size) + room;
        void (*was)(int) = std::signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &lim));
        Frames(frames);
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, was);
    };
    SetClock(11, 0, 0);
    Build720();
    ASSERT_EQ(0, MP4RecordStart());
    Frames(60);
    const std::string open = std::string(kDay) + "/110000.mp4";
    const std::vector<uint64_t> written = MdatEnds(mSandbox.Path(open));
    ASSERT_EQ(2u, written.size());
    // Full halfway through the next fragment.
    const rlim_t half = static_cast<rlim_t>(written[1] - written[0]) / 2;
    ASSERT_NO_FATAL_FAILURE(fillsAfter(open, half, 40));
    EXPECT_EQ(0, GetMP4RecordState()) << "the failed write ends the recording";
    // Named with its end as the board's clock gave it: the clock runs on while the frames are
    // written, so any second from the start up to now.
    const time_t now = BoardTime(nullptr);
    ASSERT_EQ(1u, Names(kDay).size());
    const std::string name = Names(kDay)[0];
    ASSERT_EQ(0u, name.rfind("110000_", 0)) << name;
    ASSERT_EQ(17u, name.size()) << name;
    ASSERT_EQ(".mp4", name.substr(13)) << name;
    struct tm t {};
    gmtime_r(&now, &t);
    const int end = std::atoi(name.substr(7, 6).c_str());
    EXPECT_LE(110000, end) << name;
    EXPECT_GE(t.tm_hour * 10000 + t.tm_min * 100 + t.tm_sec, end) << name;
    const std::string closed = std::string(kDay) + "/" + name;
    const std::vector<uint64_t> ends = MdatEnds(mSandbox.Path(closed));
    struct stat st {};
    ASSERT_EQ(0, ::stat(mSandbox.Path(closed).c_str(), &st));
    EXPECT_EQ(2u, ends.size()) << "no piece of the failed fragment";
    ASSERT_FALSE(ends.empty());
    EXPECT_EQ(ends.back(), static_cast<uint64_t>(st.st_size)) << "no piece of the failed fragment";
    const std::string errors = RunOutput("ffprobe -v error -count_frames -show_entries stream=nb_read_frames -of "
                                         "csv=p=0 '" + mSandbox.Path(closed) + "' 2>&1");
    EXPECT_EQ("50\n", errors);
    std::unique_ptr<Mp4Reader> r = Mp4Reader::Open(closed);
    ASSERT_TRUE(r);
    EXPECT_EQ(50u, r->SampleCount());
    ASSERT_EQ(0, BoardUnlink(closed.c_str()));

    // Failing within the first fragment: no file is left to list.
    SetClock(11, 5, 0);
    ASSERT_EQ(0, MP4RecordStart());
    Frames(10);
    ASSERT_NO_FATAL_FAILURE(fillsAfter(std::string(kDay) + "/110500.mp4", half, 30));
    EXPECT_EQ(0, GetMP4RecordState());
    EXPECT_TRUE(Names(kDay).empty()) << Names(kDay).size();
}

// Refusals: already recording, no usable card, a day folder that cannot be made. None leaves a
// file or the recorder busy.
TEST_F(RecordTest, StartRefusalsLeaveNothing)
{
    SetClock(12, 0, 0);
    ASSERT_EQ(0, MP4RecordStart());
    EXPECT_EQ(-1, MP4RecordStart());
    EXPECT_EQ(std::vector<std::string>{"120000.mp4"}, Names(kDay));
    MP4RecordStop();
    EXPECT_TRUE(Names(kDay).empty()) << "a file without a sample is removed, not listed";

    ASSERT_EQ(0, BoardUmount(kSdMountPoint));
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, MP4RecordStart());
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find("free size error"));
    EXPECT_EQ(0, GetMP4RecordState());
    EXPECT_TRUE(Names(kDay).empty());

    ASSERT_EQ(0, BoardMount(kSdPartition, kSdMountPoint, "vfat", 0, nullptr));
    std::filesystem::remove_all(mSandbox.Path("/mnt/sdcard/DVR"));
    mSandbox.Write("/mnt/sdcard/DVR", "not a folder");
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, MP4RecordStart());
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("MP4Encoder_FileOpen Fail"));
    EXPECT_EQ(0, GetMP4RecordState());
    EXPECT_EQ(kCountdownStopped, gDeviceState.RecordTimer.load());
}

// A file opened at 23:59:50 and closed at 00:00:40 stays in its start day's folder.
TEST_F(RecordTest, AFileOverMidnightKeepsItsStartDay)
{
    SetClock(23, 59, 50);
    ASSERT_EQ(0, MP4RecordStart());
    FakeKeyFrame();
    SetClock(0, 0, 40, 15);
    MP4RecordStop();
    EXPECT_EQ(std::vector<std::string>{"235950_000040.mp4"}, Names(kDay));
    EXPECT_EQ(kCountdownStopped, gDeviceState.RecordTimer.load());
    EXPECT_EQ(kCountdownStopped, gDeviceState.RecordHoldTimer.load());
}

// Parameter sets out of order or too short: a PPS before the SPS does not count (the track then
// gets the PPS that follows the SPS), an SPS too short for its profile bytes and units without a
// NAL header are ignored. Each buffer has its exact size, so a read past it is seen.
TEST_F(RecordTest, ParameterSetsOutOfOrderOrShortAreIgnored)
{
    SetClock(12, 30, 0);
    ASSERT_EQ(0, MP4RecordStart());
    Write({0, 0, 0, 1}, 1);
    Write({0, 0, 0, 1}, 7);
    Write({0, 0, 0, 1, 0x67, 0x4D, 0x40}, 7);  // 7 bytes: no level byte
    Write(Unit(kFakePps), 8);                   // before any SPS
    Write(Unit(kFakeSps), 7);
    Write(Unit(kFakePps), 8);
    std::vector<uint8_t> idr = FakeSample(1, true);
    Write(Unit(std::vector<uint8_t>(idr.begin() + 4, idr.end())), 5);
    SetClock(12, 30, 0);
    MP4RecordStop();
    ASSERT_EQ(std::vector<std::string>{"123000_123000.mp4"}, Names(kDay));
    std::unique_ptr<Mp4Reader> r = Mp4Reader::Open(std::string(kDay) + "/123000_123000.mp4");
    ASSERT_TRUE(r);
    EXPECT_EQ(kFakeSps, r->Sps());
    EXPECT_EQ(kFakePps, r->Pps());
    EXPECT_EQ(1u, r->SampleCount());
}

// A stop racing starts (the timer task against continuous recording) while the encoder writes:
// every file that was opened is closed under its final name, none is left under its start name.
TEST_F(RecordTest, AStopRacingStartsLeavesEveryFileClosed)
{
    std::atomic<bool> done{false};
    std::atomic<int> starts{0};
    std::thread encoder([&] {
        uint32_t n = 0;
        while (!done) {
            if (GetMP4RecordState() == 1) {
                FakeKeyFrame();
                std::vector<uint8_t> s = FakeSample(++n, false);
                Write(Unit(std::vector<uint8_t>(s.begin() + 4, s.end())), 1);
            }
            std::this_thread::yield();
        }
    });
    std::thread stopper([&] {
        while (!done) {
            RecordTimerExpired();
            std::this_thread::yield();
        }
    });
    testing::internal::CaptureStdout();
    // Each start in a second of its own, so that no two files share a name; each as soon as the
    // stop has set the recorder idle, the moment a stop that clears its handle late would hit.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int i = 0; starts < 30 && i < 3600 && std::chrono::steady_clock::now() < until; ++i) {
        while (GetMP4RecordState() != 0 && std::chrono::steady_clock::now() < until) {
            std::this_thread::yield();
        }
        SetClock(14, i / 60, i % 60);
        if (MP4RecordStart() == 0) {
            ++starts;
        }
    }
    done = true;
    encoder.join();
    stopper.join();
    MP4RecordStop();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(30, starts.load());
    EXPECT_LE(Names(kDay).size(), 30u);
    for (const std::string& n : Names(kDay)) {
        EXPECT_EQ(17u, n.size()) << n << " left under its start name";
        std::unique_ptr<Mp4Reader> r = Mp4Reader::Open(std::string(kDay) + "/" + n);
        ASSERT_TRUE(r) << n;
        EXPECT_GE(r->SampleCount(), 1u) << n;
    }
}

// The event start of the detection thread: only with recording allowed, the recorder idle and
// the hold stopped.
TEST_F(RecordTest, EventStartNeedsRecordingAllowedAndTheRecorderIdle)
{
    SetClock(15, 0, 0);
    struct Row {
        const char* name;
        uint8_t sdRecord;
        uint8_t floorModel;
        uint16_t hold;
        int result;
    };
    const Row rows[] = {
        {"recording off", 0, 0, kCountdownStopped, -1},
        {"floor model", 1, 1, kCountdownStopped, -1},
        {"hold still running", 1, 0, 120, -1},
        {"hold run out, not stopped", 1, 0, 0, -1},
        {"allowed", 1, 0, kCountdownStopped, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        gDeviceState.SdRecordSetting = r.sdRecord;
        gAppState.FloorModel = r.floorModel;
        gDeviceState.RecordHoldTimer = r.hold;
        EXPECT_EQ(r.result, MotionRecordStart());
    }
    EXPECT_EQ(1, GetMP4RecordState());
    EXPECT_EQ(-1, MotionRecordStart()) << "already recording";
    MP4RecordHold();
    EXPECT_EQ(kRecordHoldTicks, gDeviceState.RecordHoldTimer.load());
    gDeviceState.SdRecordSetting = 0;
    gAppState.FloorModel = 0;
}

// The audio functions: the AAC and private tracks added before the first key frame go into the
// file; the encoder the start opened gives ADTS frames, written after the first four without
// their header, and the PCM beside them goes as it is, each chunk lasting its bytes / 2; ffprobe
// reads the three tracks and decodes the audio, the reader takes the PCM track as the private one.
// After the header a track is refused, the further track is refused (it is never set), and the
// stop closes the encoder.
TEST_F(RecordTest, AacThroughTheRecorderIsASecondTrackThatDecodes)
{
    SetClock(10, 15, 0);
    Build720();
    CloseAACEncoder();
    ASSERT_EQ(-1, MP4AddAudioTracks()) << "no file open";
    ASSERT_EQ(0, MP4RecordStart());
    faacEncHandle aac = GetAACEncoderHandle();
    ASSERT_NE(nullptr, aac) << "the start opens the encoder";
    ASSERT_EQ(0, MP4AddAudioTracks());
    std::vector<uint8_t> pcm(2048);
    std::vector<uint8_t> out(8192);
    uint32_t sample = 0;
    int frames = 0;
    uint32_t chunks = 0;
    std::vector<uint8_t> firstChunk;
    // Before the first key frame there is no header: nothing is written.
    std::vector<uint8_t> early(320, 0x55);
    ASSERT_EQ(0, MP4Encoder_WritePCM(early.data(), static_cast<uint32_t>(early.size())));
    // 10 s: a 440 Hz tone, one AAC frame of 1024 samples beside every 3.2 video frames.
    for (int v = 0; v < 250; ++v) {
        Frames(1);
        while (uint64_t(sample) * 25 < uint64_t(v + 1) * 8000) {
            for (int i = 0; i < 1024; ++i, ++sample) {
                const int16_t x = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * sample / 8000.0));
                pcm[2 * i] = static_cast<uint8_t>(x);
                pcm[2 * i + 1] = static_cast<uint8_t>(x >> 8);
            }
            const int n = AACEncodeFrame(aac, pcm.data(), static_cast<uint32_t>(pcm.size()), out.data(),
                                         static_cast<uint32_t>(out.size()));
            // From the sixth video frame on: the start's key frame has made the header by then.
            if (n > 0 && v >= 5) {
                ASSERT_EQ(0, MP4Encoder_WriteAAC(out.data(), static_cast<uint32_t>(n)));
                ++frames;
            }
            ASSERT_EQ(0, MP4Encoder_WritePCM(pcm.data(), static_cast<uint32_t>(pcm.size())));
            if (chunks++ == 0) {
                firstChunk = pcm;
            }
        }
    }
    EXPECT_EQ(-1, MP4AddAudioTracks()) << "after the header";
    EXPECT_EQ(-1, MP4Encoder_WriteAAC(out.data(), 5)) << "no ADTS frame";
    EXPECT_EQ(-1, MP4Encoder_WritePCM(pcm.data(), 3)) << "half a sample";
    EXPECT_EQ(-1, MP4Encoder_WriteFurtherTrack(out.data(), 100)) << "no further track";
    MP4RecordStop();
    EXPECT_EQ(nullptr, GetAACEncoderHandle()) << "closed with the file";
    ASSERT_EQ(1u, Names(kDay).size());
    const std::string host = mSandbox.Path(std::string(kDay) + "/" + Names(kDay)[0]);
    const std::string streams = RunOutput("ffprobe -v error -show_entries stream=codec_type,codec_name,sample_rate,channels "
                                          "-of csv=p=0 '" + host + "'");
    EXPECT_NE(std::string::npos, streams.find("h264,video")) << streams;
    EXPECT_NE(std::string::npos, streams.find("aac,audio,8000,1")) << streams;
    EXPECT_NE(std::string::npos, streams.find("pcm_s16le,audio,8000,1")) << streams;
    const std::string decoded = RunOutput("ffprobe -v error -select_streams a:0 -count_frames -show_entries "
                                          "stream=nb_read_frames -of csv=p=0 '" + host + "'");
    const int read = std::atoi(decoded.c_str());
    EXPECT_GT(frames, 50);
    EXPECT_EQ(frames - 4, read) << decoded << "the frames after the first four, the fragment under way too";
    const std::string errors = RunOutput("ffmpeg -v error -i '" + host + "' -map 0:a -f null - 2>&1");
    EXPECT_EQ("", errors) << "the audio decodes";
    std::unique_ptr<Mp4Reader> r = Mp4Reader::Open(std::string(kDay) + "/" + Names(kDay)[0]);
    ASSERT_TRUE(r);
    EXPECT_GT(r->SampleCount(), 200u) << "the video track as before";
    ASSERT_TRUE(r->HasPcm());
    ASSERT_EQ(chunks, r->PcmSampleCount());
    EXPECT_EQ(8000u, r->PcmTimeScale());
    EXPECT_EQ(uint64_t(chunks) * 1024, r->PcmDuration());
    std::vector<uint8_t> last;
    ASSERT_EQ(0, r->ReadPcmSample(1, &last));
    EXPECT_EQ(firstChunk, last) << "nothing from before the header";
    ASSERT_EQ(0, r->ReadPcmSample(chunks, &last));
    EXPECT_EQ(pcm, last) << "the last chunk as written";
    EXPECT_EQ(-1, r->ReadPcmSample(chunks + 1, &last));
}
