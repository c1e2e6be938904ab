// The lock and gate icons: their regions on the main and sub streams, the transparent red, the
// countdowns the timer task runs, the unlock that shows the lock, and icons shown and hidden from
// several threads at once.
#include "Common/DoorPhone.h"
#include "Common/Peripheral.h"
#include "Common/TimeTask.h"
#include "osd_test_util.h"

#include <thread>

namespace {

bool Has(const std::string& s, const std::string& what)
{
    return s.find(what) != std::string::npos;
}

class IconTest : public OsdTest {
protected:
    void SetUp() override
    {
        OsdTest::SetUp();
        for (OSD_ICON_S& icon : gOsdIcon) {
            icon.FirstCountdown = kCountdownStopped;
            icon.DisplayCountdown = kCountdownStopped;
        }
        StartOsd();
    }
    static void Show(uint8_t icon, uint16_t first, uint16_t display)
    {
        testing::internal::CaptureStdout();
        ShowIconOsd(icon, first, display);
        testing::internal::GetCapturedStdout();
    }
    static void Tick(int n)
    {
        testing::internal::CaptureStdout();
        for (int i = 0; i < n; ++i) {
            TimeTaskTick();
        }
        testing::internal::GetCapturedStdout();
    }
};

}  // namespace

TEST_F(IconTest, IconBitmapsGoOnTheMainAndSubStreams)
{
    Show(0, 50, 400);
    EXPECT_EQ(1, gOsdIcon[0].Shown);
    EXPECT_EQ(50, gOsdIcon[0].FirstCountdown);
    EXPECT_EQ(400, gOsdIcon[0].DisplayCountdown);
    std::string graph = MiSimDumpGraph();
    EXPECT_TRUE(Has(graph, "region 0 fmt 1 100x100 on vpe.0.0.0 at 40,50 layer 100 shown\n")) << graph;
    EXPECT_TRUE(Has(graph, "region 1 fmt 1 50x50 on vpe.0.0.1 at 20,25 layer 100 shown\n")) << graph;

    // The gate hides the lock first and stops both of its countdowns.
    Show(1, 50, 400);
    graph = MiSimDumpGraph();
    EXPECT_FALSE(Has(graph, "region 0 ")) << graph;
    EXPECT_FALSE(Has(graph, "region 1 ")) << graph;
    EXPECT_TRUE(Has(graph, "region 2 fmt 1 100x100 on vpe.0.0.0 at 40,50")) << graph;
    EXPECT_TRUE(Has(graph, "region 3 fmt 1 50x50 on vpe.0.0.1 at 20,25")) << graph;
    EXPECT_EQ(0, gOsdIcon[0].Shown);
    EXPECT_EQ(kCountdownStopped, gOsdIcon[0].FirstCountdown);
    EXPECT_EQ(kCountdownStopped, gOsdIcon[0].DisplayCountdown);
    EXPECT_EQ(1u, gOsdCurrentIcon);

    // Shown already: nothing changes, zero countdowns are not stored.
    gOsdIcon[1].DisplayCountdown = 123;
    Show(1, 0, 0);
    EXPECT_EQ(123, gOsdIcon[1].DisplayCountdown);
    EXPECT_EQ(0, HideIconOsd(1));
    EXPECT_FALSE(Has(MiSimDumpGraph(), "region 2 "));
    EXPECT_NE(0, HideIconOsd(1)) << "nothing left to take down";
}

TEST_F(IconTest, PureRedIsTransparentInTheStream)
{
    BuildChain();
    MainStream stream;
    DecodedPicture before = stream.Next();
    Show(0, 0, 400);
    DecodedPicture with = stream.Next();
    ASSERT_EQ(before.y.size(), with.y.size());
    // The corner of the large lock (40, 50) is background red: the scene shows through. The
    // lock's dark keyhole (the icon's (50, 62)) covers it.
    auto luma = [](const DecodedPicture& p, int x, int y) { return static_cast<int>(p.y[y * p.width + x]); };
    EXPECT_NEAR(luma(before, 44, 54), luma(with, 44, 54), 12);
    EXPECT_LT(luma(with, 40 + 50, 50 + 62), 70);
    EXPECT_GT(luma(before, 40 + 50, 50 + 62) - luma(with, 40 + 50, 50 + 62), 25);
}

// The timer task's rows: the blink toggles the icon every 50 ticks, the display countdown hides
// it after 400 and stops the blink.
TEST_F(IconTest, BlinkingIconTogglesEvery50TicksUntilHidden)
{
    Show(0, kOsdIconBlinkTicks, kOsdIconShowTicks);
    std::vector<int> toggles;
    uint8_t last = gOsdIcon[0].Shown;
    for (int t = 1; t <= 500; ++t) {
        Tick(1);
        if (gOsdIcon[0].Shown != last) {
            last = gOsdIcon[0].Shown;
            toggles.push_back(t);
        }
    }
    EXPECT_EQ((std::vector<int>{50, 100, 150, 200, 250, 300, 350}), toggles);
    EXPECT_EQ(0, gOsdIcon[0].Shown) << "hidden at 400 (it was off from 350)";
    EXPECT_EQ(kCountdownStopped, gOsdIcon[0].FirstCountdown);
    EXPECT_EQ(kCountdownStopped, gOsdIcon[0].DisplayCountdown);
    EXPECT_FALSE(Has(MiSimDumpGraph(), "region 0 "));
}

TEST_F(IconTest, DisplayCountdownHidesAShownIcon)
{
    Show(1, 0, 30);
    Tick(29);
    EXPECT_EQ(1, gOsdIcon[1].Shown);
    Tick(1);
    EXPECT_EQ(0, gOsdIcon[1].Shown);
    EXPECT_FALSE(Has(MiSimDumpGraph(), "region 2 "));
    EXPECT_EQ(kCountdownStopped, gOsdIcon[1].DisplayCountdown);
}

TEST_F(IconTest, FailedShowLeavesNothingBehind)
{
    std::string saved = mSandbox.Read("/customer/res/LOCK_S.bmp");
    std::remove(mSandbox.Path("/customer/res/LOCK_S.bmp").c_str());
    Show(0, 50, 400);
    EXPECT_EQ(0, gOsdIcon[0].Shown);
    EXPECT_EQ(kCountdownStopped, gOsdIcon[0].DisplayCountdown);
    std::string graph = MiSimDumpGraph();
    EXPECT_FALSE(Has(graph, "region 0 ")) << graph;
    EXPECT_FALSE(Has(graph, "region 1 ")) << graph;
    // With the file back the icon shows.
    mSandbox.Write("/customer/res/LOCK_S.bmp", saved);
    Show(0, 50, 400);
    EXPECT_EQ(1, gOsdIcon[0].Shown);
    // A bitmap larger than its region is refused the same way.
    HideIconOsd(0);
    mSandbox.Write("/customer/res/LOCK_S.bmp", mSandbox.Read("/customer/res/LOCK_L.bmp"));
    Show(0, 50, 400);
    EXPECT_EQ(0, gOsdIcon[0].Shown);
    EXPECT_FALSE(Has(MiSimDumpGraph(), "region 0 "));
}

// The rebuilt scaler has no regions on its ports (the media layer drops them with the channel):
// the icon on show and the time stamp go back on, and the encoded picture shows the lock again.
TEST_F(IconTest, ChainRestartKeepsAnIconOnShow)
{
    BuildChain();
    Show(0, 0, 400);
    testing::internal::CaptureStdout();
    int rc = VideoApplyInputSize(1280, 720);  // a new camera format rebuilds the chain
    std::string log = testing::internal::GetCapturedStdout();
    ASSERT_EQ(1, rc) << log;
    ASSERT_EQ(1280, gVideoDynamicsInfo.SensorWidth);
    EXPECT_EQ(1, gOsdIcon[0].Shown);
    EXPECT_EQ(400, gOsdIcon[0].DisplayCountdown);
    std::string graph = MiSimDumpGraph();
    EXPECT_TRUE(Has(graph, "region 0 fmt 1 100x100 on vpe.0.0.0")) << graph;
    EXPECT_TRUE(Has(graph, "region 4 fmt 1 600x40 on vpe.0.0.0")) << graph;
    EXPECT_TRUE(Has(graph, "region 5 fmt 1 200x40 on vpe.0.0.2")) << graph;
    MainStream stream;
    DecodedPicture with = stream.Next();
    ASSERT_EQ(1280, with.width);
    EXPECT_LT(static_cast<int>(with.y[(50 + 62) * with.width + 40 + 50]), 70) << "the lock's keyhole";

    testing::internal::CaptureStdout();
    MediaSystemDeInit();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(0, gOsdIcon[0].Shown);
    EXPECT_FALSE(Has(MiSimDumpGraph(), "region 0 "));
}

TEST_F(IconTest, UnlockFromTheRoomWithTheCallShowsTheLockBlinking)
{
    gBoardIoSleep = [](uint32_t) {};
    gDeviceState.TakeUpRoom = 3;
    gCurrentDoor = 0;
    uint8_t frame[12] = {};
    frame[1] = 13;  // ComOrder_UnLock
    frame[9] = 4;   // another room: nothing
    testing::internal::CaptureStdout();
    HandleTalkFrame(frame);
    EXPECT_EQ(0, gOsdIcon[0].Shown);
    frame[9] = 3;
    HandleTalkFrame(frame);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(1, gOsdIcon[0].Shown);
    EXPECT_EQ(kOsdIconBlinkTicks, gOsdIcon[0].FirstCountdown);
    EXPECT_EQ(kOsdIconShowTicks, gOsdIcon[0].DisplayCountdown);
}

// Icons shown and hidden from the timer task, viewer events and data points at once: an icon is
// never made twice, and what the flags say is what the streams carry.
TEST_F(IconTest, ShowAndHideFromSeveralThreads)
{
    testing::internal::CaptureStdout();
    auto worker = [](uint8_t icon) {
        for (int i = 0; i < 60; ++i) {
            ShowIconOsd(icon, 0, 0);
            if (i % 3 == 0) {
                HideIconOsd(icon);
            }
        }
    };
    std::thread a(worker, 0);
    std::thread b(worker, 1);
    std::thread c(worker, 0);
    a.join();
    b.join();
    c.join();
    testing::internal::GetCapturedStdout();
    std::string graph = MiSimDumpGraph();
    EXPECT_LE(gOsdIcon[0].Shown + gOsdIcon[1].Shown, 1);
    for (uint8_t i = 0; i < 2; ++i) {
        bool on = gOsdIcon[i].Shown != 0;
        EXPECT_EQ(on, Has(graph, "region " + std::to_string(2 * i) + " ")) << graph;
        EXPECT_EQ(on, Has(graph, "region " + std::to_string(2 * i + 1) + " ")) << graph;
    }
}
