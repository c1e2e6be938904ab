// The road of a door call through the whole process: the unit on a sandbox, the door-station
// simulator on its bus. The unit announces itself, a call from door 2 starts the call state and
// the doorbell push, a handset takes up and opens the door (the lock output pulses in the
// 74HC595), and a call nobody answers times out back to idle. Calls from either door leave a
// picture of that door on the card, and an unlock just before the call ends plays its tone whole.
#include "mi/decode_util.h"
#include "process.h"
#include "sandbox.h"
#include "tone_shapes.h"
#include "tone_spans.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

using namespace std::chrono_literals;

namespace {

class DoorCall : public testing::Test {
protected:
    void SetUp() override
    {
        mStation = std::make_unique<ChildProcess>(
            std::vector<std::string>{BinaryDir() + "/tools/doorstation", "--root", mSb.Root()});
        ASSERT_TRUE(mStation->WaitForOutput("linked at " + mSb.Root() + "/dev/ttyS2", 10s)) << mStation->Output();
        mUnit = std::make_unique<ChildProcess>(std::vector<std::string>{Doorphone()},
                                               std::vector<std::string>{"DOORPHONE_ROOT=" + mSb.Root()});
        ASSERT_TRUE(mStation->WaitForOutput("unit -> bus: announce kind 0 level 0", 20s))
            << mStation->Output() << mUnit->Output();
        ASSERT_TRUE(mStation->WaitForOutput("unit -> bus: coding order 46 addressA 0 addressB 0", 5s));
    }
    void TearDown() override
    {
        if (mUnit) {
            mUnit->Kill(SIGTERM);
        }
    }
    // The 74HC595's history, older lines first.
    std::string Hc595History() { return mSb.Read("/.board/74HC595.log.old") + mSb.Read("/.board/74HC595.log"); }
    // Polls what the unit's threads leave on the board until `cond` holds.
    bool UnitSaid(const std::string& text, std::chrono::milliseconds limit = 10s)
    {
        return mUnit->WaitForOutput(text, limit);
    }

    TestSandbox mSb;
    std::unique_ptr<ChildProcess> mStation;
    std::unique_ptr<ChildProcess> mUnit;
};

}  // namespace

TEST_F(DoorCall, CallTakeUpAndUnlock)
{
    mStation->WriteLine("call 2");
    EXPECT_TRUE(UnitSaid("Com Order ComOrder_DeviceTriger 1")) << mUnit->Output();
    // From watching door 1 for motion (since start-up) to the call.
    EXPECT_TRUE(UnitSaid("SystemMainState 0x201 -> 0x101")) << mUnit->Output();
    // The push has the encoder take a snapshot of the door; when the push delay runs out
    // SendImageThread sends that picture (a JPEG of some kilobytes, not the fallback logo).
    EXPECT_TRUE(UnitSaid("Capture /dev/demo_snapshot.jpg")) << mUnit->Output();
    const std::string sent = "doorbell picture of ";
    EXPECT_TRUE(UnitSaid(sent)) << mUnit->Output();
    std::string out = mUnit->Output();
    size_t at = out.find(sent);
    ASSERT_NE(std::string::npos, at);
    EXPECT_GT(std::atoi(out.c_str() + at + sent.size()), 2000) << out;
    EXPECT_TRUE(Eventually([this] { return !mSb.Exists("/dev/demo_snapshot.jpg"); }, 5s)) << "snapshot kept";

    // A handset takes the call up: the unit leaves the call to it, 2 s later.
    mStation->WriteLine("takeup");
    EXPECT_TRUE(UnitSaid("Com Order ComOrder_TakeUp 2")) << mUnit->Output();
    EXPECT_TRUE(UnitSaid("SystemMainState 0x101 -> 0")) << mUnit->Output();

    // The handset opens door 2: its lock output pulses for 5 s and the order goes on the bus.
    mStation->WriteLine("unlock 2");
    EXPECT_TRUE(UnitSaid("ComOrder_UnLock TakeUpRoom(2)  uSource(2)")) << mUnit->Output();
    EXPECT_TRUE(mStation->WaitForOutput("unit -> bus: talk order 13 value1 1 value2 0 target 0 source 5", 10s))
        << mStation->Output();
    auto openedAndClosed = [this] {
        std::string h = Hc595History();
        size_t open = h.find("lock1=1");
        return open != std::string::npos && h.find("lock1=0", open) != std::string::npos;
    };
    EXPECT_TRUE(Eventually(openedAndClosed, 10s)) << Hc595History();
    mStation->WriteLine("takeoff");
    EXPECT_TRUE(UnitSaid("ComOrder_TakeOff TakeUpRoom(2)  uSource(2)")) << mUnit->Output();
    EXPECT_EQ(-1, mUnit->WaitExit(100ms)) << "the unit must keep running";
}

namespace {

// The pictures on the card, by name (HHMMSS.jpg in day folders: oldest first).
std::vector<std::string> CardPictures(const TestSandbox& sb)
{
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& e : std::filesystem::recursive_directory_iterator(sb.Path("/mnt/sdcard/DCIM"), ec)) {
        if (e.is_regular_file() && e.path().extension() == ".jpg") {
            found.push_back(e.path().string());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

}  // namespace

// A bus call from each door: the doorbell picture kept on the card is of the calling door (the
// simulated scenes: door 1 warm wood, door 2 cool stone). The first call is taken up and its door
// opened 100 ms before the take-up ends the call: the unlock tone is heard whole all the same.
TEST_F(DoorCall, EachDoorsPictureAndAnUnlockToneThatOutlivesTheCall)
{
    DecodedPicture pictures[2];
    for (int door : {1, 2}) {
        SCOPED_TRACE(door);
        const size_t before = CardPictures(mSb).size();
        mStation->WriteLine("call " + std::to_string(door));
        ASSERT_TRUE(Eventually([&] { return CardPictures(mSb).size() > before; }, 20s)) << mUnit->Output();
        auto decoded = [&] {  // once the encoder thread has written it whole
            std::string jpeg = mSb.Read(CardPictures(mSb).back().substr(mSb.Root().size()));
            TestDecoder dec(AV_CODEC_ID_MJPEG);
            return dec.Decode(reinterpret_cast<const uint8_t*>(jpeg.data()), jpeg.size(), &pictures[door - 1]);
        };
        ASSERT_TRUE(Eventually(decoded, 5s));
        if (door == 2) {
            break;
        }
        mStation->WriteLine("takeup");
        ASSERT_TRUE(UnitSaid("Com Order ComOrder_TakeUp 2")) << mUnit->Output();
        std::this_thread::sleep_for(1900ms);  // the take-up ends the call 2 s after it
        mStation->WriteLine("unlock 1");
        ASSERT_TRUE(UnitSaid("call/monitor time-out")) << mUnit->Output();
        std::string out = mUnit->Output();
        ASSERT_LT(out.find("ComOrder_UnLock TakeUpRoom(2)"), out.find("call/monitor time-out"))
            << "the unlock came after the call's end: nothing tested\n" << out;
        // Heard once the speaker file stops growing (it leaves silence out).
        std::vector<int16_t> heard;
        Eventually(
            [&] {
                std::vector<int16_t> now = SpeakerFile(mSb);
                std::this_thread::sleep_for(300ms);
                heard = SpeakerFile(mSb);
                return !heard.empty() && heard.size() == now.size();
            },
            10s);
        std::vector<ToneSpan> beeps = ToneSpans(heard, tones::kRate);
        ASSERT_EQ(std::size(tones::kUnlockBeeps), beeps.size()) << "the unlock tone was cut";
        for (size_t i = 0; i < beeps.size(); ++i) {
            EXPECT_NEAR(tones::kUnlockBeeps[i].length - 0.004, static_cast<double>(beeps[i].length) / tones::kRate,
                        0.008)
                << "beep " << i;
        }
        ASSERT_TRUE(UnitSaid("SystemMainState 0x101 -> 0")) << mUnit->Output();
    }
    EXPECT_LT(pictures[0].meanU + 20, pictures[1].meanU) << "door 1's picture is not of door 1";
    EXPECT_GT(pictures[0].meanV, pictures[1].meanV + 20);
}

TEST_F(DoorCall, UnansweredCallTimesOutToIdle)
{
    mStation->WriteLine("call 1");
    ASSERT_TRUE(UnitSaid("SystemMainState 0x201 -> 0x101")) << mUnit->Output();
    // 30 s and the push delay; nobody answers.
    EXPECT_TRUE(UnitSaid("call/monitor time-out", 45s)) << mUnit->Output();
    EXPECT_TRUE(UnitSaid("SystemMainState 0x101 -> 0", 1s)) << mUnit->Output();
    // The call did not end on its own before that.
    std::string out = mUnit->Output();
    EXPECT_EQ(out.find("call/monitor time-out"), out.rfind("call/monitor time-out"));
}
