// Motion detection on the simulated image engine: the measure of a pass by the sensitivity the
// settings store sets, the engine's memory given back on every road, and the motion alarm switch
// as the door-phone control sees it.
#include "Common/door_phone_util.h"
#include "DoorPhoneLinks.h"
#include "Media/MotionDetect.h"
#include "NoxaSettings.h"
#include "SDCard.h"
#include "detect_test_util.h"

#include <gtest/gtest.h>

namespace {

int gStops = 0;

class MotionDetect : public DoorPhoneTest {
protected:
    void SetUp() override
    {
        DoorPhoneTest::SetUp();
        MiSimReset();
        MotionDetectInstallLinks();
        gStops = 0;
        gDoorPhoneLinks.RecordStop = [] { ++gStops; };
        ASSERT_EQ(0, MotionDetectInit());
    }
    void TearDown() override
    {
        MotionDetectDeInit();
        gDoorPhoneLinks.RecordStop = nullptr;
        MiSimReset();
        DoorPhoneTest::TearDown();
    }
    // One pass on A and B; no media memory may stay taken after it.
    static int Pass(TestFrame& a, TestFrame& b)
    {
        MI_SYS_BufInfo_t ia = a.Info();
        MI_SYS_BufInfo_t ib = b.Info();
        const int measure = MotionDetectProc(&ia, &ib);
        EXPECT_EQ(0, MiSimMmaBlocks());
        return measure;
    }
};

}  // namespace

// Rows: the sensitivity text the phone sends, then blocks of 8x8 changed by a grey step; the
// measure counts 255 per changed block on each edge of their bounding box.
TEST_F(MotionDetect, MeasureFollowsTheSensitivitySetThroughTheStore)
{
    struct Row {
        const char* sensitivity;
        int delta;
        int blocks;  // a square of blocks x blocks
        int measure;
    };
    const Row rows[] = {
        {"2", 0, 1, 0},         {"2", 45, 1, 1020},   {"2", 44, 1, 0},     {"0", 128, 1, 1020},
        {"0", 127, 1, 0},       {"1", 105, 1, 1020},  {"1", 104, 1, 0},    {"2", 60, 3, 12 * 255},
        {"10", 128, 1, 1020},  // '0' is looked for first: level 0
    };
    for (const Row& r : rows) {
        IPC_APP_set_alarm_sensitivity(r.sensitivity);
        TestFrame a(480, 288);
        a.Fill(200, 96, 24, 24, 100);  // so each pixel of the blocks changes by exactly `delta`
        TestFrame b = a;
        b.Change(200, 96, 8 * r.blocks, 8 * r.blocks, r.delta);
        EXPECT_EQ(r.measure, Pass(a, b)) << r.sensitivity << " +" << r.delta << " in " << r.blocks << "x" << r.blocks;
    }
    // Two blocks apart on one row: 2 on the top and bottom rows, 1 on each side column.
    IPC_APP_set_alarm_sensitivity("2");
    TestFrame a(480, 288);
    TestFrame b = a;
    b.Change(16, 8, 8, 8, 90);
    b.Change(400, 8, 8, 8, 90);
    EXPECT_EQ(6 * 255, Pass(a, b));
    // A level above 2 changes nothing.
    EXPECT_EQ(0, SetMotionSensitivity(3));
    EXPECT_EQ(2880, GetMotionThreshold());
}

TEST_F(MotionDetect, FailuresReturnNonZeroAndGiveTheMemoryBack)
{
    TestFrame a(480, 288);
    TestFrame b = a;
    const MI_S32 nomem = MiErrCode(E_MI_MODULE_ID_SYS, E_MI_ERR_NOMEM);
    struct Row {
        const char* call;
        int after;  // calls that pass first
        MI_S32 code;
        int result;
        const char* printed;
    };
    const MI_S32 busy = MiErrCode(E_MI_MODULE_ID_IVE, E_MI_ERR_BUSY);
    const Row rows[] = {
        {"MI_SYS_MMA_Alloc", 0, nomem, -1, "Can't allocate output buffer 0"},
        {"MI_SYS_MMA_Alloc", 1, nomem, -1, "Can't allocate output buffer 1"},
        {"MI_SYS_Mmap", 1, nomem, -1, "can't map memory from MI SYS"},
        {"MI_IVE_Sad", 0, busy, busy, "MI_IVE_Sad() return ERROR 0xA0002012"},
    };
    for (const Row& r : rows) {
        MiSimFailCall(r.call, r.code, 1, r.after);
        testing::internal::CaptureStdout();
        EXPECT_EQ(r.result, Pass(a, b)) << r.call;
        EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find(r.printed)) << r.call;
        MiSimClearFailures();
    }
    // An image type the engine does not know.
    MI_IVE_Image_t img{};
    EXPECT_EQ(MI_S32(0xA0002003), IveImageCreate(&img, 4, 8, 8, 8));
    EXPECT_EQ(MI_S32(0xA0002003), IveImageCreate(&img, 16, 8, 8, 8));
    // Every plane of a three-plane type, all given back.
    ASSERT_EQ(0, IveImageCreate(&img, E_MI_IVE_IMAGE_TYPE_U8C3_PLANAR, 16, 16, 8));
    EXPECT_EQ(3, MiSimMmaBlocks());
    EXPECT_EQ(0, IveImageFree(&img));
    EXPECT_EQ(0, MiSimMmaBlocks());
    // The third plane missing: the two others go back, the record is cleared.
    MiSimFailCall("MI_SYS_MMA_Alloc", nomem, 1, 2);
    EXPECT_EQ(MI_S32(0xA000200C), IveImageCreate(&img, E_MI_IVE_IMAGE_TYPE_U8C3_PLANAR, 16, 16, 8));
    EXPECT_EQ(0, MiSimMmaBlocks());
    EXPECT_EQ(nullptr, img.virAddr[0]);
}

// Rows: the state before the switch; after it the state, the door watched, the countdowns, the
// orders to the bus and the flag.
TEST_F(MotionDetect, AlarmSwitchTable)
{
    struct Row {
        uint16_t state;
        uint8_t on;
        uint16_t after;
        bool watch;  // door 0 switched on for the detection
        int stops;
    };
    const Row rows[] = {
        {SYS_STATE_TALK | 2, 1, SYS_STATE_TALK | 2, false, 0},  // door 2 in a talk: the flag only
        {SYS_STATE_CALL | 2, 1, SYS_STATE_CALL | 2, false, 0},
        {SYS_STATE_MONITOR | 2, 1, SYS_STATE_MONITOR | 2, false, 0},
        {SYS_STATE_IDLE, 1, SYS_STATE_MONITOR | 1, true, 0},
        {SYS_STATE_MONITOR | 1, 1, SYS_STATE_MONITOR | 1, true, 0},
        {SYS_STATE_CODING_BUSY, 1, SYS_STATE_CODING_BUSY, false, 0},
        {SYS_STATE_MONITOR | 1, 0, SYS_STATE_MONITOR | 1, false, 1},
    };
    for (const Row& r : rows) {
        DEVICE_STATE_S& s = gDeviceState;
        s.SystemMainState = r.state;
        gCurrentDoor = static_cast<uint8_t>((r.state & 0xFF) == 2 ? 1 : 0);
        s.MotionResumeTimer = 100;
        s.RecordTimer = 200;
        s.VideoSettleTimer = kCountdownStopped;
        s.CallTimeoutTimer = 50;
        s.ViewingMark = 0;
        gStops = 0;
        Posted();
        NoxaMDMsgHandle(r.on);
        EXPECT_EQ(r.after, s.SystemMainState.load()) << std::hex << r.state;
        EXPECT_EQ(kCountdownStopped, s.MotionResumeTimer);
        EXPECT_EQ(r.on, GetMDMsgState());
        EXPECT_EQ(r.stops, gStops);
        EXPECT_EQ(r.on ? 200 : kCountdownStopped, s.RecordTimer);
        std::vector<Order4> orders = Posted();
        if (r.watch) {
            EXPECT_EQ(0, gCurrentDoor);
            EXPECT_EQ(300, s.VideoSettleTimer);
            EXPECT_EQ(kCountdownStopped, s.CallTimeoutTimer) << "a watch for the detection has no time-out";
            EXPECT_EQ(1, s.ViewingMark);
            ASSERT_EQ(1u, orders.size());
            EXPECT_EQ((Order4{ComOrder_MonitorOn, 0, 0, 0}), orders[0]);
            EXPECT_NE(std::string::npos, mSb.Read("/.board/74HC595").find("monitor0=1"));
            EXPECT_NE(std::string::npos, mSb.Read("/.board/74HC595").find("video=door0"));
        } else {
            EXPECT_EQ(kCountdownStopped, s.VideoSettleTimer) << std::hex << r.state;
            EXPECT_EQ(50, s.CallTimeoutTimer);
            EXPECT_TRUE(orders.empty());
        }
    }
    // The door-phone control, the card thread and the settings store reach it through their links.
    EXPECT_EQ(NoxaMDMsgHandle, gDoorPhoneLinks.MotionAlarmSwitch);
    EXPECT_EQ(GetMDMsgState, gSdCardLinks.MotionAlarmState);
    EXPECT_EQ(SetMotionSensitivity, gNoxaSettingsLinks.SetMotionSensitivity);
}
