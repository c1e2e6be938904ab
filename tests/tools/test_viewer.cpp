// The viewer tool against the transfer module on a sandbox's port: answered words, a download to
// its end, talk-back frames reaching the hook in real time, and a live view written to its files
// (its frames counted on a progress line, or one line each with --frames).
#include "noxa_ipc_sdk/noxa_g711.h"
#include "noxa_ipc_sdk/p2p/transfer/noxa_ipc_transfer.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "process.h"
#include "sandbox.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/wait.h>
#include <thread>
#include <vector>

namespace {

const char* const kKey = "viewerToolKey.16";

std::mutex gMutex;
std::vector<int> gEvents;
std::vector<std::vector<uint8_t>> gTalk;
// Set when a viewer starts live video; wakes the live test's feed.
bool gLiveAsked = false;
std::condition_variable gLiveCv;

int OnEvent(NOXA_P2P_EVENT_E event, void* args)
{
    auto* w = static_cast<uint32_t*>(args);
    {
        std::lock_guard<std::mutex> lock(gMutex);
        gEvents.push_back(event);
    }
    if (event == TRANS_LIVE_VIDEO_START) {
        std::lock_guard<std::mutex> lock(gMutex);
        gLiveAsked = true;
        gLiveCv.notify_all();
    } else if (event == TRANS_ABILITY_QUERY) {
        w[1] = 7;
    } else if (event == TRANS_PLAYBACK_QUERY_MONTH_SIMPLIFY) {
        w[3] = (1u << 2) | (1u << 14) | (1u << 31);
    } else if (event == TRANS_PLAYBACK_QUERY_DAY_TS) {
        // Twenty recordings: more than the answer's free words could hold.
        std::vector<PLAYBACK_TIME_S> files;
        for (uint32_t i = 0; i < 20; ++i) {
            files.push_back(PLAYBACK_TIME_S{0, 1773482400 + 100 * i, 1773482410 + 100 * i});
        }
        noxa_ipc_playback_send_day_list(w[0], files.data(), static_cast<uint32_t>(files.size()));
        w[4] = static_cast<uint32_t>(files.size());
    } else if (event == TRANS_PLAYBACK_START_TS) {
        // Only the recording the day list names plays; any other range finishes at once, as the
        // unit finishes a start that names no recording.
        if (w[1] != 1773482400) {
            noxa_ipc_playback_send_finish(w[0]);
            return 0;
        }
        uint8_t key[] = {0, 0, 0, 1, 0x67, 1, 2, 0, 0, 0, 1, 0x68, 3, 0, 0, 0, 1, 0x65, 4, 5};
        uint8_t p[] = {0, 0, 0, 1, 0x41, 6};
        TRANSFER_MEDIA_FRAME_S f{};
        f.video = {NOXA_CODEC_VIDEO_H264, 1, key, sizeof key, uint64_t(w[1]) * 1000 + 40, 0};
        noxa_ipc_playback_send_video_frame(w[0], &f);
        f.video = {NOXA_CODEC_VIDEO_H264, 0, p, sizeof p, uint64_t(w[1]) * 1000 + 80, 0};
        noxa_ipc_playback_send_video_frame(w[0], &f);
        noxa_ipc_playback_send_finish(w[0]);
    } else if (event == TRANS_DOWNLOAD_START) {
        if (w[1] == 300) {
            return -1;  // refused: no data follows
        }
        const uint8_t data[3] = {1, 2, 3};
        STORAGE_FRAME_HEAD_S h{1, 3, 1700000000000ull, 0};
        noxa_ipc_4_app_download_data(w[0], &h, data);
        noxa_ipc_4_app_download_status(w[0], 100);
    }
    return 0;
}

void OnTalk(const TRANSFER_MEDIA_FRAME_S* f, uint32_t)
{
    std::lock_guard<std::mutex> lock(gMutex);
    gTalk.emplace_back(f->audio.p_audio_buf, f->audio.p_audio_buf + f->audio.buf_len);
}

void PutLe(std::string& s, uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        s.push_back(char(v >> (8 * i)));
    }
}

std::string Wav(const std::vector<int16_t>& pcm)
{
    std::string s = "RIFF";
    PutLe(s, uint32_t(36 + pcm.size() * 2), 4);
    s += "WAVEfmt ";
    PutLe(s, 16, 4);
    PutLe(s, 1, 2);
    PutLe(s, 1, 2);
    PutLe(s, 8000, 4);
    PutLe(s, 16000, 4);
    PutLe(s, 2, 2);
    PutLe(s, 16, 2);
    s += "data";
    PutLe(s, uint32_t(pcm.size() * 2), 4);
    s.append(reinterpret_cast<const char*>(pcm.data()), pcm.size() * 2);
    return s;
}

class ViewerTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        NOXA_P2P_TRANSFER_PARAM_S p{};
        p.on_rev_audio_cb = OnTalk;
        p.rev_audio_codec = NOXA_CODEC_AUDIO_G711U;
        p.rev_audio_sample = 8000;
        p.rev_audio_databits = 16;
        p.on_event_cb = OnEvent;
        p.max_client_num = 6;
        gw_set_local_key(kKey);
        ASSERT_EQ(0, noxa_ipc_tranfser_init(&p));
    }
    void TearDown() override { noxa_ipc_tranfser_deinit(); }

    // The viewer with the unit's key, unless the arguments name one.
    int Run(std::vector<std::string> args, std::string& out, const char* key = kKey)
    {
        if (key != nullptr) {
            args.insert(args.begin(), {"--key", key});
        }
        args.insert(args.begin(), {BinaryDir() + "/tools/viewer", mBoard.Root()});
        ChildProcess viewer(args);
        int status = viewer.WaitExit(std::chrono::seconds(20));
        out = viewer.Output();
        return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    TestSandbox mBoard;
};

TEST_F(ViewerTool, EventsDownloadAndRefusal)
{
    std::string out;
    EXPECT_EQ(0, Run({"--client", "2", "--event", "18", "0", "0"}, out));
    EXPECT_NE(std::string::npos, out.find("answer event=18 result=0 words=2 7")) << out;
    EXPECT_EQ(0, Run({"--client", "1", "--frames", "--download", "100", "200"}, out));
    EXPECT_NE(std::string::npos, out.find("download type=1 size=3 ms=1700000000000")) << out;
    EXPECT_NE(std::string::npos, out.find("download finished")) << out;
    EXPECT_EQ(1, Run({"--client", "5", "--event", "18"}, out));
    EXPECT_NE(std::string::npos, out.find("refused")) << out;
    // The wrong key, and no key where no cloud answers for one.
    EXPECT_EQ(1, Run({"--client", "2", "--event", "18"}, out, "wrongKeyOfPhone."));
    EXPECT_NE(std::string::npos, out.find("refused, reason 4")) << out;
    EXPECT_EQ(1, Run({"--client", "2", "--event", "18"}, out, nullptr));
    EXPECT_NE(std::string::npos, out.find("viewer: no key")) << out;
}

// Wrong numbers, a wrong talk file or a missing value are refused with status 2 and a word on
// what is wrong, before the viewer connects: the unit hears nothing of them.
TEST_F(ViewerTool, BadArgumentsAreRefusedBeforeConnecting)
{
    std::vector<int16_t> tone(800, 100);
    mBoard.Write("/tone.wav", Wav(tone));
    std::string stereo = Wav(tone);
    stereo[22] = 2;  // two channels
    mBoard.Write("/stereo.wav", stereo);
    std::string fast = Wav(tone);
    fast[24] = char(0x80), fast[25] = char(0x3E);  // 16000 Hz
    mBoard.Write("/fast.wav", fast);
    mBoard.Write("/kept.h264", "kept");
    const std::string kept = mBoard.Path("/kept.h264");
    const std::string fresh = mBoard.Path("/fresh.h264");
    const std::string notFolder = mBoard.Path("/tone.wav");
    const struct {
        std::vector<std::string> args;
        std::string said;
    } rows[] = {
        // Files it cannot write, and files for actions that write none.
        {{"--client", "0", "--live", "1", "--video", "/nonexistent/dir/v.h264"},
         "cannot write /nonexistent/dir/v.h264: its folder /nonexistent/dir: No such file or directory"},
        {{"--client", "0", "--live", "1", "--audio", notFolder + "/a.wav"},
         "cannot write " + notFolder + "/a.wav: Not a directory"},
        {{"--client", "0", "--live", "1", "--audio", mBoard.Root()}, "cannot write " + mBoard.Root() + ": it is a folder"},
        {{"--client", "0", "--live", "1", "--video", kept, "--audio", "/nonexistent/a.wav"}, "cannot write /nonexistent/a.wav"},
        {{"--client", "0", "--live", "1", "--video", fresh, "--audio", "/nonexistent/a.wav"}, "cannot write /nonexistent/a.wav"},
        {{"--client", "0", "--live", "1", "--audio", "-"}, "--audio takes a file"},
        {{"--client", "0", "--live", "1", "--video", ""}, "--video needs a value"},
        {{"--client", "0", "--play", "1", "2", "--video", "/nonexistent/p.h264"}, "cannot write /nonexistent/p.h264"},
        {{"--client", "0", "--download", "--records", "/nonexistent/r.bin"}, "cannot write /nonexistent/r.bin"},
        {{"--client", "0", "--download", "--records", kept, "--video", mBoard.Root()}, "cannot write " + mBoard.Root()},
        {{"--client", "0", "--download", "--records", "-", "--video", "-"}, "--video and --records cannot both go to standard output"},
        {{"--client", "0", "--days", "--video", fresh}, "--video does not go with --days"},
        {{"--client", "0", "--play", "--audio", fresh}, "--audio does not go with --play"},
        {{"--client", "0", "--live", "1", "--records", fresh}, "--records does not go with --live"},
        {{"--client", "abc", "--days"}, "--client takes a client number, not 'abc'"},
        {{"--client", "-1", "--days"}, "--client takes a client number"},
        {{"--client", "0", "--quality", "2", "--live", "1"}, "--quality takes 0 or 1"},
        {{"--client", "0", "--live", "abc"}, "--live takes the seconds"},
        {{"--client", "0", "--live", "-5"}, "--live takes the seconds"},
        {{"--client", "0", "--live", "0"}, "--live takes the seconds"},
        {{"--client", "0", "--live"}, "--live takes the seconds"},
        {{"--client", "0", "--play", "5", "4"}, "--play: END 4 is before START 5"},
        {{"--client", "0", "--play", "5"}, "--play takes START and END together"},
        {{"--client", "0", "--play", "5x", "9"}, "--play: START '5x' is no whole number from 0 to 4294967295"},
        {{"--client", "0", "--download", "9", "1"}, "--download: END 1 is before START 9"},
        {{"--client", "0", "--files", "2026", "13", "40"}, "--files: MONTH '13' is no whole number from 1 to 12"},
        {{"--client", "0", "--files", "2026", "3", "40"}, "--files: DAY '40' is no whole number from 1 to 31"},
        {{"--client", "0", "--days", "2026", "0"}, "--days: MONTH '0' is no whole number from 1 to 12"},
        {{"--client", "0", "--days", "2026", "3", "1"}, "--days takes at most 2 values"},
        {{"--client", "0", "--event", "x1"}, "--event: 'x1' is no number"},
        {{"--client", "0", "--event"}, "--event takes a code"},
        {{"--client", "0", "--talk", mBoard.Path("/stereo.wav")}, mBoard.Path("/stereo.wav") + " is no 16-bit mono WAV at 8000 Hz"},
        {{"--client", "0", "--talk", mBoard.Path("/fast.wav")}, mBoard.Path("/fast.wav") + " is no 16-bit mono WAV at 8000 Hz"},
        {{"--client", "0", "--talk", mBoard.Path("/missing.wav")}, mBoard.Path("/missing.wav") + " is no 16-bit mono WAV at 8000 Hz"},
        {{"--client", "0", "--fly"}, "unknown action --fly"},
        {{"--days", "--client"}, "--client needs a value"},
        {{"--live", "3"}, "no --client N"},
    };
    for (const auto& row : rows) {
        std::string out;
        EXPECT_EQ(2, Run(row.args, out)) << row.said << "\n" << out;
        EXPECT_NE(std::string::npos, out.find("viewer: " + row.said)) << out;
        EXPECT_NE(std::string::npos, out.find("usage: viewer ROOT")) << out;
    }
    std::lock_guard<std::mutex> lock(gMutex);
    EXPECT_TRUE(gEvents.empty()) << "a refused command line reached the unit";
    EXPECT_EQ("kept", mBoard.Read("/kept.h264")) << "a refused command line truncated a file";
    EXPECT_FALSE(mBoard.Exists("/fresh.h264")) << "a refused command line made a file";
}

// A playback that plays nothing, and a refused download, say so with status 1, and leave no
// file behind (an earlier file of that name as it was); a download that finishes keeps its records
// as they came.
TEST_F(ViewerTool, NothingPlayedAndRefusedDownloadWriteNothing)
{
    std::string out;
    EXPECT_EQ(1, Run({"--client", "1", "--play", "--video", mBoard.Path("/pb.h264")}, out));
    EXPECT_NE(std::string::npos, out.find("playback finished")) << out;
    EXPECT_NE(std::string::npos, out.find("viewer: nothing played: no recording from ")) << out;
    EXPECT_FALSE(mBoard.Exists("/pb.h264"));
    EXPECT_EQ(1, Run({"--client", "1", "--play", "100", "200"}, out));
    EXPECT_NE(std::string::npos, out.find("viewer: nothing played: no recording from 100 to 200")) << out;

    mBoard.Write("/old.bin", "old");
    EXPECT_EQ(1, Run({"--client", "2", "--download", "300", "400", "--records", mBoard.Path("/old.bin"), "--video",
                      mBoard.Path("/dl.h264")},
                     out));
    EXPECT_NE(std::string::npos, out.find("viewer: download refused")) << out;
    EXPECT_EQ("old", mBoard.Read("/old.bin"));
    EXPECT_FALSE(mBoard.Exists("/dl.h264"));
    EXPECT_EQ(1, Run({"--client", "2", "--download", "300", "400", "--records", mBoard.Path("/rec.bin")}, out));
    EXPECT_FALSE(mBoard.Exists("/rec.bin")) << "a refused download left a records file";

    // Finished: the stored record whole (24-byte head, then its bytes), its bytes alone as video.
    ASSERT_EQ(0, Run({"--client", "2", "--download", "100", "200", "--records", mBoard.Path("/rec.bin"), "--video",
                      mBoard.Path("/dl.h264")},
                     out))
        << out;
    const std::string head("\1\0\0\0\3\0\0\0\0\x68\xe5\xcf\x8b\x01\0\0\0\0\0\0\0\0\0\0", 24);
    EXPECT_EQ(head + std::string("\1\2\3", 3), mBoard.Read("/rec.bin"));
    EXPECT_EQ(std::string("\1\2\3", 3), mBoard.Read("/dl.h264"));
}

// --days names the days with recordings; a refusal says what its reason means.
TEST_F(ViewerTool, DaysAreNamedAndRefusalsExplained)
{
    std::string out;
    ASSERT_EQ(0, Run({"--client", "1", "--days", "2026", "3"}, out));
    EXPECT_NE(std::string::npos, out.find("days with recordings in 2026-03: 2 14 31\n")) << out;
    EXPECT_EQ(1, Run({"--client", "5", "--days"}, out));
    EXPECT_NE(std::string::npos, out.find("refused, reason 1: the client number is outside")) << out;
}

// 0.4 s of a 500 Hz tone: ten 40 ms frames between talk start and stop, in real time, and
// decoded they give the tone back within G.711's step.
TEST_F(ViewerTool, TalkSendsFortyMillisecondFrames)
{
    std::vector<int16_t> tone(3200);
    for (size_t i = 0; i < tone.size(); ++i) {
        tone[i] = int16_t(8000 * std::sin(2 * M_PI * 500 * double(i) / 8000));
    }
    mBoard.Write("/tone.wav", Wav(tone));
    std::string out;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(0, Run({"--client", "0", "--talk", mBoard.Path("/tone.wav")}, out));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(360));
    EXPECT_NE(std::string::npos, out.find("talk sent frames=10")) << out;
    std::lock_guard<std::mutex> lock(gMutex);
    ASSERT_EQ(10u, gTalk.size());
    std::vector<int16_t> back(320);
    double worst = 0;
    for (size_t f = 0; f < gTalk.size(); ++f) {
        ASSERT_EQ(320u, gTalk[f].size());
        uint32_t len = 0;
        ASSERT_EQ(0, noxa_g711_decode(NOXA_G711_ULAW, gTalk[f].data(), 320, back.data(), &len));
        for (size_t i = 0; i < 320; ++i) {
            worst = std::max(worst, std::fabs(double(back[i]) - tone[f * 320 + i]));
        }
    }
    EXPECT_LT(worst, 260.0);  // the largest mu-law step below 8159 is 256
    EXPECT_EQ((std::vector<int>{TRANS_SPEAKER_START, TRANS_SPEAKER_STOP}), gEvents);
}

// One second of live view: the H.264 file holds the frames from the first key frame on, the WAV
// the microphone's samples through mu-law.
TEST_F(ViewerTool, LiveToFiles)
{
    ASSERT_EQ(0, noxa_ipc_ring_buffer_init(0, 1024, 25, 0, nullptr));
    ASSERT_EQ(0, noxa_ipc_ring_buffer_init(9, 125, 25, 0, nullptr));
    std::atomic<bool> stop{false};
    std::thread feed([&stop] {
        const uint8_t key[6] = {0, 0, 0, 1, 0x65, 0x88};
        const uint8_t p[6] = {0, 0, 0, 1, 0x41, 0x9A};
        std::vector<int16_t> pcm(320, 1000);
        bool keyed = false;
        for (uint64_t n = 0; !stop.load(); ++n) {
            // Besides every tenth frame, a key frame at once when the view starts: it tends to reach
            // the viewer while the viewer still waits for its starts to be answered.
            bool asked = false;
            {
                std::unique_lock<std::mutex> lock(gMutex);
                gLiveCv.wait_for(lock, std::chrono::milliseconds(40), [&] { return gLiveAsked && !keyed; });
                asked = gLiveAsked;
            }
            bool isKey = n % 10 == 0 || (asked && !keyed);
            keyed = asked;
            noxa_ipc_ring_buffer_append_data(0, isKey ? key : p, 6, isKey ? MEDIA_FRAME_TYPE_I : MEDIA_FRAME_TYPE_P, n * 40);
            noxa_ipc_ring_buffer_append_data(9, reinterpret_cast<uint8_t*>(pcm.data()), 640, MEDIA_FRAME_TYPE_AUDIO,
                                             n * 40);
        }
    });
    // By default the frames are counted on one progress line, not printed one a line; its totals
    // (the last line) are what went into the files.
    std::string quiet;
    int quietRc = Run({"--client", "3", "--live", "1", "--video", mBoard.Path("/quiet.h264"), "--audio",
                       mBoard.Path("/quiet.wav")},
                      quiet);
    std::string out;
    int rc = Run({"--client", "3", "--frames", "--live", "1", "--video", mBoard.Path("/live.h264"), "--audio",
                  mBoard.Path("/live.wav")},
                 out);
    stop.store(true);
    feed.join();
    EXPECT_EQ(0, quietRc) << quiet;
    EXPECT_EQ(std::string::npos, quiet.find("live video")) << quiet;
    EXPECT_EQ(std::string::npos, quiet.find("live audio")) << quiet;
    const size_t totalsAt = quiet.rfind("live: video ");
    ASSERT_NE(std::string::npos, totalsAt) << quiet;
    unsigned long long frames = 0, keys = 0, audioFrames = 0;
    ASSERT_EQ(3, sscanf(quiet.c_str() + totalsAt, "live: video %llu frames (%llu key), audio %llu frames", &frames, &keys,
                        &audioFrames))
        << quiet;
    EXPECT_EQ('\n', quiet.back()) << "the totals end the output";
    EXPECT_LE(std::count(quiet.begin(), quiet.end(), '\n'), 8) << quiet;
    const std::string quietVideo = mBoard.Read("/quiet.h264");
    const std::string quietWav = mBoard.Read("/quiet.wav");
    ASSERT_GT(frames, 10u) << quiet;
    EXPECT_GE(keys, 1u) << quiet;
    EXPECT_EQ(frames, quietVideo.size() / 6) << quiet;
    ASSERT_GT(quietWav.size(), 44u);
    EXPECT_EQ(audioFrames, (quietWav.size() - 44) / 640) << quiet;
    EXPECT_EQ(0, rc) << out;
    EXPECT_NE(std::string::npos, out.find("live video channel=0 codec=h264 key=1")) << out;
    std::string video = mBoard.Read("/live.h264");
    ASSERT_GE(video.size(), 12u);
    EXPECT_EQ(0, video.size() % 6);
    EXPECT_EQ(char(0x65), video[4]);  // starts at a key frame
    std::string wav = mBoard.Read("/live.wav");
    ASSERT_GT(wav.size(), 44u + 640);
    EXPECT_EQ("RIFF", wav.substr(0, 4));
    int16_t s = 0;
    memcpy(&s, wav.data() + 44, 2);
    EXPECT_NEAR(1000, s, 40);
    // Every live record the viewer printed is in its files, those that came before its starts were
    // answered too: six bytes per video frame, 320 samples per audio frame.
    auto lines = [&out](const std::string& what) {
        size_t n = 0;
        for (size_t at = out.find(what); at != std::string::npos; at = out.find(what, at + 1)) {
            ++n;
        }
        return n;
    };
    EXPECT_EQ(lines("live video channel="), video.size() / 6) << out;
    EXPECT_EQ(lines("live audio codec=g711u"), (wav.size() - 44) / 640) << out;
}

}  // namespace

// The day list arrives whole as its own record before the answer (word 4: the count), and a
// playback's frames go to the H.264 file in order until the finished record.
TEST_F(ViewerTool, FilesListAndPlayToFile)
{
    setenv("TZ", "UTC0", 1);
    std::string out;
    ASSERT_EQ(0, Run({"--client", "3", "--files", "2026", "3", "14"}, out));
    const size_t list = out.find("day list files=20\n");
    const size_t answer = out.find("answer event=9 result=0 words=3 2026 3 14 20 ");
    ASSERT_NE(std::string::npos, list) << out;
    ASSERT_NE(std::string::npos, answer) << out;
    EXPECT_LT(list, answer) << "the list comes before the answer";
    EXPECT_NE(std::string::npos, out.find("file type=0 start=1773482400 end=1773482410 10:00:00-10:00:10")) << out;
    EXPECT_NE(std::string::npos, out.find("file type=0 start=1773484300 end=1773484310 10:31:40-10:31:50")) << out;
    // The times the files are named with: the unit's clock, an hour ahead of UTC (and a little drift).
    mBoard.Write("/.board/clock_offset", "3600000250\n");
    ASSERT_EQ(0, Run({"--client", "3", "--files", "2026", "3", "14"}, out));
    EXPECT_NE(std::string::npos, out.find("file type=0 start=1773482400 end=1773482410 11:00:00-11:00:10")) << out;
    mBoard.Write("/.board/clock_offset", "0\n");
    ASSERT_EQ(0, Run({"--client", "1", "--play", "1773482400", "1773482410", "--video", mBoard.Path("/pb.h264")}, out));
    // Without --frames, the frames on the totals line after the finished record.
    EXPECT_EQ(std::string::npos, out.find("playback video")) << out;
    EXPECT_NE(std::string::npos, out.find("playback finished\nplayback: video 2 frames (1 key), audio 0 frames")) << out;
    ASSERT_EQ(0, Run({"--client", "1", "--play", "1773482400", "1773482410", "--frames", "--video", mBoard.Path("/pb.h264")},
                     out));
    EXPECT_NE(std::string::npos, out.find("playback video codec=h264 key=1 ms=1773482400040 bytes=20")) << out;
    EXPECT_NE(std::string::npos, out.find("playback finished")) << out;
    const std::string want("\0\0\0\1\x67\1\2\0\0\0\1\x68\3\0\0\0\1\x65\4\5\0\0\0\1\x41\6", 26);
    EXPECT_EQ(want, mBoard.Read("/pb.h264"));
}
