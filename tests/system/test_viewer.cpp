// A phone viewer on the whole process: the unit paired with the local cloud, the door-station
// simulator on its bus and tools/viewer as the phone. A door call is watched live (the viewer's
// H.264 decoded at the size its quality asks for, showing the calling door's scene), the phone
// talks (the call is taken up on the bus, the ring tone stops, the voice is in the speaker file)
// and opens the door.
#include "cloud_peer.h"
#include "media_check.h"
#include "process.h"
#include "voice_probe.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

std::string Viewer()
{
    return BinaryDir() + "/tools/viewer";
}

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// The H.264 NAL unit types of an Annex B stream up to and with its first picture slice (1 or 5).
std::vector<int> NalTypesToFirstSlice(const std::string& bytes)
{
    std::vector<int> types;
    for (size_t i = 0; i + 3 < bytes.size(); ++i) {
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) {
            const int type = static_cast<unsigned char>(bytes[i + 3]) & 0x1F;
            types.push_back(type);
            if (type == 1 || type == 5) {
                break;
            }
            i += 2;
        }
    }
    return types;
}


class ViewerRoad : public testing::Test {
protected:
    void SetUp() override
    {
        mCloud = std::make_unique<CloudPeer>(mSb.Root());
        mStation = std::make_unique<ChildProcess>(
            std::vector<std::string>{BinaryDir() + "/tools/doorstation", "--root", mSb.Root()});
        ASSERT_TRUE(mStation->WaitForOutput("linked at " + mSb.Root() + "/dev/ttyS2", 10s)) << mStation->Output();
        mUnit = std::make_unique<ChildProcess>(std::vector<std::string>{Doorphone(), "-m", "2", "-t", mCloud->Pair()},
                                               std::vector<std::string>{"DOORPHONE_ROOT=" + mSb.Root()});
        ASSERT_TRUE(mUnit->WaitForOutput("Dbg:Init P2P With Max Users:6", 60s)) << mUnit->Output() << mCloud->Log();
        ASSERT_TRUE(Eventually([this] { return mSb.Exists("/.board/p2p.port"); }, 10s)) << mUnit->Output();
    }
    void TearDown() override
    {
        if (mUnit) {
            mUnit->Kill(SIGTERM);
            mUnit->WaitExit(10s);
        }
    }
    // Runs the viewer to its end; its output.
    std::string RunViewer(const std::vector<std::string>& args, std::chrono::seconds limit)
    {
        std::vector<std::string> argv{Viewer(), mSb.Root()};
        argv.insert(argv.end(), args.begin(), args.end());
        ChildProcess v(argv);
        EXPECT_NE(-1, v.WaitExit(limit)) << v.Output();
        return v.Output();
    }

    TestSandbox mSb;
    std::unique_ptr<CloudPeer> mCloud;
    std::unique_ptr<ChildProcess> mStation;
    std::unique_ptr<ChildProcess> mUnit;
};

}  // namespace

TEST_F(ViewerRoad, RingWatchTalkAndUnlock)
{
    mStation->WriteLine("call 2");
    ASSERT_TRUE(mUnit->WaitForOutput("Com Order ComOrder_DeviceTriger 1", 10s)) << mUnit->Output();

    // Live view of the call: the main stream for quality 0, the sub stream for 1.
    const std::string video = mSb.Path("/live0.264");
    RunViewer({"--client", "0", "--live", "10", "--quality", "0", "--video", video}, 30s);
    std::ifstream in(video, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<DecodedPicture> pics = DecodeAnnexB(bytes);
    ASSERT_GT(pics.size(), 100u) << bytes.size() << " bytes\n" << mUnit->Output();
    // The view starts on a key frame that carries its parameter sets: SPS and PPS, then the IDR.
    const std::vector<int> first = NalTypesToFirstSlice(bytes);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(5, first.back());
    EXPECT_NE(first.end(), std::find(first.begin(), first.end(), 7));
    EXPECT_NE(first.end(), std::find(first.begin(), first.end(), 8));
    EXPECT_EQ(1280, pics.back().width);
    EXPECT_EQ(720, pics.back().height);
    // Door 2's scene is cool stone: more blue than red in its chroma.
    EXPECT_GT(pics.back().meanU, pics.back().meanV) << pics.back().meanU << " " << pics.back().meanV;

    const std::string sub = mSb.Path("/live1.264");
    RunViewer({"--client", "1", "--live", "3", "--quality", "1", "--video", sub}, 20s);
    std::ifstream in1(sub, std::ios::binary);
    std::string bytes1((std::istreambuf_iterator<char>(in1)), std::istreambuf_iterator<char>());
    std::vector<DecodedPicture> pics1 = DecodeAnnexB(bytes1);
    ASSERT_FALSE(pics1.empty()) << mUnit->Output();
    EXPECT_EQ(640, pics1.back().width);
    EXPECT_EQ(360, pics1.back().height);

    // An analogue doorbell rings door 2 with the ring tone; the phone talks: the call is taken up
    // on the bus, the ring tone stops (the speaker back at 8 kHz), the unit is in the talk state.
    // The bell rings for a second; the phone answers once it has stopped ringing, while the
    // 3.4 s chime still plays (a door still ringing would start the chime again).
    mStation->WriteLine("doorbell 2 1");
    ASSERT_TRUE(mUnit->WaitForOutput("Door2 xxxxxxx Monitor", 10s)) << mUnit->Output();
    ASSERT_TRUE(mUnit->WaitForOutput("[AudioDecodeInit] 97 ", 10s)) << mUnit->Output();
    std::this_thread::sleep_for(1200ms);
    const size_t heardBefore = SpeakerFile(mSb).size();
    std::vector<int16_t> voice = Voice(3.0);
    WriteWav(mSb.Path("/voice.wav"), voice, 8000);
    RunViewer({"--client", "0", "--talk", mSb.Path("/voice.wav")}, 30s);
    EXPECT_TRUE(mStation->WaitForOutput("unit -> bus: talk order 8 value1 1 value2 1 target 0", 10s))
        << mStation->Output();
    const std::string out = mUnit->Output();
    const size_t talk = out.find("enable speaker 1");
    ASSERT_NE(std::string::npos, talk) << out;
    // The chime is stopped (the speaker back at 8 kHz) before the talk state is set.
    const size_t stopped = out.find("[AudioDecodeInit] 0 8000", talk);
    const size_t talking = out.find("-> 0x302", talk);
    ASSERT_NE(std::string::npos, talking) << out;
    EXPECT_LT(stopped, talking) << "the ring tone plays on\n" << out;
    EXPECT_GE(VoiceInSpeaker(mSb, voice, heardBefore), 0.9) << mUnit->Output();

    // The phone opens the door it talks to: door 2's unlock order on the bus.
    mCloud->Command("dp 242 1");
    EXPECT_TRUE(mStation->WaitForOutput("unit -> bus: talk order 13 value1 1", 10s)) << mStation->Output();
}
