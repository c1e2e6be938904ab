// One door call's road through the whole process, for the suites that walk it: a visitor at door 1
// (the door-station simulator on the bus, the visitor's voice in the board's microphone file), the
// local cloud with its broker and object stores, and the owner's phone (tools/phone for data
// points and pictures, tools/viewer for live view and talk-back). Each hop is checked by the peer
// that sees it.
#pragma once

#include "cloud_peer.h"
#include "door_cast.h"
#include "media_check.h"
#include "mi/decode_util.h"
#include "phone_cli.h"
#include "process.h"
#include "recording_check.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace door_road {

using namespace std::chrono_literals;

inline bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// The word after `key` in a line.
inline std::string After(const std::string& line, const std::string& key)
{
    const size_t at = line.find(key);
    if (at == std::string::npos) {
        return "";
    }
    const size_t from = at + key.size();
    return line.substr(from, line.find_first_of(" \"\n", from) - from);
}

// The visitor's voice: a tone gliding higher than the test voice, with a rhythm of its own, so
// that the two are told apart in what the phone hears.
inline std::vector<int16_t> VisitorVoice(double seconds)
{
    const int n = static_cast<int>(seconds * 8000);
    std::vector<int16_t> pcm(n);
    double phase = 0;
    for (int i = 0; i < n; ++i) {
        const double t = i / 8000.0;
        const double f = 1300 + 400 * std::sin(2 * M_PI * 0.9 * t) + 150 * std::sin(2 * M_PI * 4.3 * t);
        phase += 2 * M_PI * f / 8000.0;
        const double env = 0.4 + 0.6 * std::fabs(std::sin(2 * M_PI * 1.7 * t));
        pcm[i] = static_cast<int16_t>(8000 * env * std::sin(phase));
    }
    return pcm;
}

// The 8 kHz samples of a WAV file tools/viewer wrote (its head is 44 bytes).
inline std::vector<int16_t> ViewerWav(const TestSandbox& sb, const std::string& unitPath)
{
    const std::string wav = sb.Read(unitPath);
    std::vector<int16_t> pcm(wav.size() > 44 ? (wav.size() - 44) / 2 : 0);
    if (!pcm.empty()) {
        std::memcpy(pcm.data(), wav.data() + 44, pcm.size() * 2);
    }
    return pcm;
}

inline std::vector<int16_t> Slice(const std::vector<int16_t>& pcm, size_t from, size_t n)
{
    return std::vector<int16_t>(pcm.begin() + static_cast<long>(std::min(from, pcm.size())),
                                pcm.begin() + static_cast<long>(std::min(from + n, pcm.size())));
}

// The time stamp the unit draws on its pictures ("DD-MM-YYYY HH:MM:SS", white, one pixel in from
// the region's corner, glyphs one pixel apart), read back from a decoded picture with the font
// file the unit draws from: each place takes the character whose glyph its pixels match best.
struct TimeStamp {
    std::string text;      // as read; empty when the picture holds no time stamp there
    long long seconds = 0;  // its time, the fields taken as UTC
    std::string why;       // what did not match, for a failure's message
    double weakest = 1;    // the lowest match of a place
};
inline TimeStamp ReadTimeStamp(const TestSandbox& sb, const DecodedPicture& pic, int x0, int y0,
                               const std::string& font, int w, int h)
{
    TimeStamp out;
    const std::string bits = sb.Read("/customer/res/font/" + font);
    const int bpr = (w + 7) / 8;
    const std::string pattern = "NN-NN-NNNN NN:NN:NN";
    if (bits.size() < static_cast<size_t>(128 * h * bpr) || x0 + 1 + 19 * (w + 1) > pic.width ||
        pic.y.size() < static_cast<size_t>(y0 + 1 + h) * pic.width) {
        out.why = "no font " + font + ", or no luma of the picture there";
        return out;
    }
    auto on = [&](char ch, int r, int c) {
        return (static_cast<uint8_t>(bits[static_cast<size_t>(ch) * h * bpr + r * bpr + c / 8]) >> (7 - c % 8)) & 1;
    };
    // Normalised correlation of a place's pixels with a glyph; strokes brighter than the gaps.
    auto match = [&](int k, char ch) {
        double sp = 0, sg = 0, spp = 0, sgg = 0, spg = 0;
        const int n = w * h;
        for (int r = 0; r < h; ++r) {
            for (int c = 0; c < w; ++c) {
                const double p = pic.y[static_cast<size_t>(y0 + 1 + r) * pic.width + x0 + 1 + k * (w + 1) + c];
                const double g = on(ch, r, c);
                sp += p, sg += g, spp += p * p, sgg += g * g, spg += p * g;
            }
        }
        const double vp = spp - sp * sp / n, vg = sgg - sg * sg / n;
        return vp > 0 && vg > 0 ? (spg - sp * sg / n) / std::sqrt(vp * vg) : 0.0;
    };
    double strokes = 0, gaps = 0;
    int nStrokes = 0, nGaps = 0;
    for (int k = 0; k < 19; ++k) {
        char best = '?';
        double score = -1;
        const std::string choices = pattern[k] == 'N' ? "0123456789" : std::string(1, pattern[k]);
        for (char ch : choices) {
            const double m = ch == ' ' ? 1.0 : match(k, ch);
            if (m > score) {
                score = m;
                best = ch;
            }
        }
        out.weakest = std::min(out.weakest, score);
        if (score < 0.6) {
            out.why += "place " + std::to_string(k) + " matches '" + best + "' only " + std::to_string(score) + "; ";
        }
        out.text += best;
        for (int r = 0; r < h; ++r) {
            for (int c = 0; c < w; ++c) {
                const int p = pic.y[static_cast<size_t>(y0 + 1 + r) * pic.width + x0 + 1 + k * (w + 1) + c];
                if (on(best, r, c)) {
                    strokes += p, ++nStrokes;
                } else {
                    gaps += p, ++nGaps;
                }
            }
        }
    }
    strokes /= std::max(nStrokes, 1);
    gaps /= std::max(nGaps, 1);
    if (strokes < 180 || strokes - gaps < 40) {
        out.why += "strokes " + std::to_string(strokes) + " over gaps " + std::to_string(gaps) + "; ";
    }
    struct tm tm = {};
    if (!out.why.empty() || strptime(out.text.c_str(), "%d-%m-%Y %H:%M:%S", &tm) == nullptr) {
        out.why += "read \"" + out.text + "\"";
        out.text.clear();
        return out;
    }
    out.seconds = timegm(&tm);
    return out;
}

// The unit's clock now (the host's plus the offset the cloud's time set; without it when `set`
// is false), its local fields taken as UTC, as the time stamp is read.
inline long long UnitClock(const TestSandbox& sb, bool set = true)
{
    const long long offsetUs = set ? std::atoll(sb.Read("/.board/clock_offset").c_str()) : 0;
    const auto hostUs =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    const time_t unit = static_cast<time_t>((hostUs + offsetUs) / 1000000);
    struct tm tm = {};
    localtime_r(&unit, &tm);
    return timegm(&tm);
}

// The cast of the road: door station, local cloud and the unit paired to it. A suite that needs
// the board prepared before the unit's first start (settings files, the camera's scene) does it
// in Prepare().
class DoorRoadTest : public DoorCastTest {
protected:
    void SetUp() override
    {
        mVisitor = VisitorVoice(4.0);
        WriteWav(mSb.Path("/.board/mic.wav"), mVisitor, 8000);
        ASSERT_NO_FATAL_FAILURE(Prepare());
        ASSERT_NO_FATAL_FAILURE(DoorCastTest::SetUp());
        ASSERT_NO_FATAL_FAILURE(StartUnit({"-m", "2", "-t", mCloud->Pair()}));
    }
    virtual void Prepare() {}

    // The unit started on the sandbox, online and serving viewers.
    void StartUnit(const std::vector<std::string>& args)
    {
        ASSERT_NO_FATAL_FAILURE(DoorCastTest::StartUnit(args));
        ASSERT_TRUE(Eventually([this] { return mSb.Exists("/.board/p2p.port"); }, 10s)) << mUnit->Output();
    }
    // The board's door outputs now (monitor paths, locks, video select; the LEDs left out).
    std::string Outputs()
    {
        std::smatch m;
        const std::string now = mSb.Read("/.board/74HC595");
        return std::regex_search(now, m, std::regex("monitor0=\\d monitor1=\\d lock0=\\d lock1=\\d video=\\w+")) ? m.str()
                                                                                                          : now;
    }
    // tools/viewer run to its end; its output.
    std::string RunViewer(const std::vector<std::string>& args, std::chrono::seconds limit)
    {
        std::vector<std::string> argv{BinaryDir() + "/tools/viewer", mSb.Root()};
        argv.insert(argv.end(), args.begin(), args.end());
        ChildProcess v(argv);
        EXPECT_NE(-1, v.WaitExit(limit)) << v.Output();
        return v.Output();
    }

    // The station at door 1 calls; the unit routes door 1's camera and monitor and takes the
    // snapshot, and a bus call does not chime.
    void StationCalls()
    {
        const size_t heard = SpeakerFile(mSb).size();
        mStation->WriteLine("call 1");
        ASSERT_TRUE(mUnit->WaitForOutput("SystemMainState 0x201 -> 0x101", 10s)) << mUnit->Output();
        EXPECT_TRUE(mUnit->WaitForOutput("Capture /dev/demo_snapshot.jpg", 10s)) << mUnit->Output();
        EXPECT_TRUE(Eventually([this] { return std::regex_search(Hc595History(), std::regex("monitor0=1 .*video=door0")); },
                               10s))
            << Hc595History();
        EXPECT_EQ(heard, SpeakerFile(mSb).size()) << "a bus call does not chime";
    }

    // The ring report and the press event reach the cloud over MQTT, then the 154 message whose
    // picture the phone fetches from the store and decrypts: a JPEG of door 1's scene.
    void PushArrives(size_t ringsBefore, size_t noticesBefore)
    {
        const auto entered = std::chrono::steady_clock::now();
        ASSERT_TRUE(mCloud->WaitLog("{\"239\":\"0\"}", static_cast<int>(ringsBefore) + 1, 20s)) << mCloud->Log();
        const std::string line = mCloud->NextNotification(noticesBefore, 30s);
        ASSERT_NE("", line) << mCloud->Log() << mUnit->Output();
        EXPECT_TRUE(Has(line, " dp 154 bucket noxa-detect file ")) << line;
        const std::string path = After(line, " file ");
        const std::string name = path.substr(path.rfind('/') + 1);
        const std::string events = mCloud->Command("events");
        EXPECT_TRUE(Has(events, "\"etype\":\"doorbell\"")) << events;
        EXPECT_TRUE(Has(events, "\"file\":\"" + name + "\"")) << name << "\n" << events;
        // tools/phone takes only an encrypted object (its header, AES under the device's media key).
        auto [rc, plain] = PhoneCli(mSb.Root(), "pic noxa-detect/" + path);
        ASSERT_EQ(0, rc) << plain;
        ASSERT_EQ(0, plain.compare(0, 2, "\xFF\xD8")) << "a JPEG";
        DecodedPicture pic;
        TestDecoder dec(AV_CODEC_ID_MJPEG);
        ASSERT_TRUE(dec.Decode(reinterpret_cast<const uint8_t*>(plain.data()), plain.size(), &pic));
        EXPECT_GE(pic.width, 640);
        // Door 1's scene is warm wood: more red than blue in its chroma.
        EXPECT_GT(pic.meanV, pic.meanU + 10) << pic.meanU << " " << pic.meanV;
        // The picture carries the time stamp of its snapshot, taken in this call (the small
        // stamp of the picture's scaler port, at 6,4). The unit sets its clock from the cloud
        // once online, which may fall just before the snapshot: then the stamp still shows the
        // clock it had before (the host's).
        mPushStamp = ReadTimeStamp(mSb, pic, 6, 4, "ascii_8x16", 8, 16);
        ASSERT_FALSE(mPushStamp.text.empty()) << mPushStamp.why;
        const long long since =
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - entered).count() + 20;
        const long long now = UnitClock(mSb);
        const long long host = UnitClock(mSb, false);
        EXPECT_TRUE((mPushStamp.seconds >= now - since && mPushStamp.seconds <= now + 1) ||
                    (mPushStamp.seconds >= host - since && mPushStamp.seconds <= host + 1))
            << mPushStamp.text << " taken in the call";
    }

    // The counts PushArrives compares with: ring reports and notifications so far.
    size_t Rings() { return static_cast<size_t>(mCloud->LogCount("{\"239\":\"0\"}")); }
    size_t Notices() { return mCloud->Notifications().size(); }

    // A call going the whole road in short: the station calls, the push with its picture
    // arrives, a viewer gets door 1's video, the phone's 241 puts the unlock order on the bus,
    // the station hangs up and the unit is idle again.
    void WholeRoad(const std::string& tag)
    {
        const size_t rings = Rings();
        const size_t notices = Notices();
        ASSERT_NO_FATAL_FAILURE(StationCalls());
        ASSERT_NO_FATAL_FAILURE(PushArrives(rings, notices));
        const std::string video = "/" + tag + ".264";
        RunViewer({"--client", "0", "--live", "3", "--quality", "0", "--video", mSb.Path(video)}, 30s);
        std::vector<DecodedPicture> pics = DecodeAnnexB(mSb.Read(video));
        ASSERT_GT(pics.size(), 25u) << mUnit->Output();
        EXPECT_EQ(1280, pics.back().width);
        EXPECT_GT(pics.back().meanV, pics.back().meanU + 10) << "door 1's scene";
        const int unlocks = mCloud->LogCount(Rep("241", "1"));
        mCloud->Command("dp 241 1");
        EXPECT_TRUE(mCloud->WaitLog(Rep("241", "1"), unlocks + 1, 20s)) << mCloud->Log();
        mStation->WriteLine("takeoff");
        ASSERT_TRUE(Eventually(
            [this] {
                // Idle after the call's start, not merely "no idle found" (npos is the largest).
                const std::string out = mUnit->Output();
                const size_t idle = out.rfind("SystemMainState 0x101 -> 0x201");
                return idle != std::string::npos && idle > out.rfind("SystemMainState 0x201 -> 0x101");
            },
            15s))
            << mUnit->Output();
    }

    // What a fault must leave whole: a setting the phone stored (the alarm sensitivity), the
    // activation, and each recording the card held closed before it.
    struct Keepsakes {
        int activations = 0;
        std::map<std::string, uintmax_t> recordings;  // card path -> size
    };
    // The card's closed recordings ("DAY/HHMMSS_HHMMSS.mp4") and their sizes.
    std::map<std::string, uintmax_t> Recordings()
    {
        std::map<std::string, uintmax_t> out;
        std::error_code ec;
        const std::string dvr = mSb.Path("/mnt/sdcard/DVR");
        for (auto it = std::filesystem::recursive_directory_iterator(dvr, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (it->is_regular_file() && name.size() == 17 && name[6] == '_' && Has(name, ".mp4")) {
                out[it->path().string().substr(mSb.Root().size())] = it->file_size();
            }
        }
        return out;
    }
    Keepsakes Keep()
    {
        Keepsakes k;
        const int before = mCloud->LogCount(Rep("106", "\"2\""));
        mCloud->Command("dp 106 2");
        EXPECT_TRUE(mCloud->WaitLog(Rep("106", "\"2\""), before + 1, 20s)) << mCloud->Log();
        k.activations = mCloud->LogCount("activate");
        k.recordings = Recordings();
        return k;
    }
    // After a fault: the unit started again on its sandbox (unless `restarted` already) goes
    // online on its stored activation, reports the stored setting, and every earlier recording
    // is there whole and plays.
    void CheckKept(const Keepsakes& k, bool restarted)
    {
        const int reported = mCloud->LogCount(Rep("106", "\"2\""));
        if (!restarted) {
            StopUnit(SIGTERM);
            ASSERT_NO_FATAL_FAILURE(StartUnit({}));
        }
        EXPECT_EQ(k.activations, mCloud->LogCount("activate")) << "online without pairing again\n" << mCloud->Log();
        EXPECT_TRUE(mCloud->WaitLog(Rep("106", "\"2\""), restarted ? reported : reported + 1, 20s))
            << "the stored setting in the full state\n" << mCloud->Log();
        const auto now = Recordings();
        for (const auto& [path, size] : k.recordings) {
            auto it = now.find(path);
            ASSERT_TRUE(it != now.end()) << path << " is gone";
            EXPECT_EQ(size, it->second) << path;
            const Probe p = ProbeRecording(mSb.Path(path));
            EXPECT_EQ(0, p.rc) << path << ": " << p.text;
            EXPECT_EQ("", p.errors) << path << ": " << p.text;
            EXPECT_GT(p.frames, 0) << path << ": " << p.text;
        }
    }

    std::vector<int16_t> mVisitor;
    TimeStamp mPushStamp;  // the time stamp on the last push's picture
};

}  // namespace door_road
