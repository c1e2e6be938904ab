// Board operations: GPIO lines, the 74HC595 image, unlock, gate and ring pulses, the ring level.
#include "board_io_util.h"

#include "TalkSerial.h"

#include <cstring>
#include <thread>
#include <unistd.h>

using BoardIo = BoardIoTest;

TEST_F(BoardIo, SarBandsPickTheRingingDoor)
{
    struct {
        int level;
        int door0;
        int door1;
    } rows[] = {{0, 0, 0},   {400, 0, 0}, {401, 1, 0}, {599, 1, 0}, {600, 0, 0},
                {900, 0, 0}, {901, 0, 1}, {1023, 0, 1}};
    for (const auto& r : rows) {
        SetSar(r.level);
        EXPECT_EQ(r.door0, Per_GetRingStatus(0)) << r.level;
        EXPECT_EQ(r.door1, Per_GetRingStatus(1)) << r.level;
        EXPECT_EQ(0, Per_GetRingStatus(2)) << r.level;
    }
    ASSERT_EQ(0, unlink(mSb.Path("/dev/sar").c_str()));
    SetSar(500);
    EXPECT_EQ(0, Per_GetRingStatus(0)) << "a SAR error counts as not ringing";
}

TEST_F(BoardIo, OutputsLandInTheirBitsAndLeaveTheOthers)
{
    struct {
        std::function<void()> op;
        uint8_t before;
        uint8_t after;
    } rows[] = {
        {[] { SetLed(0, 1); }, 0x00, kHc595Led0},
        {[] { SetLed(1, 1); }, 0x00, kHc595Led1},
        {[] { SetLed(2, 1); }, 0x00, kHc595Led2},
        {[] { SetLed(0, kLedToggle); }, 0xFF, 0xFB},
        {[] { SetLed(1, 0); }, 0xFF, 0xFD},
        {[] { SetLed(3, 1); }, 0x00, 0x00},
        {[] { SetLed(0, 7); }, 0x00, 0x00},
        {[] { LockOutput(0, 1); }, 0x00, kHc595Lock0},
        {[] { LockOutput(1, 1); }, 0x00, kHc595Lock1},
        {[] { LockOutput(1, 0); }, 0xFF, 0x7F},
        {[] { VideoSelect(0); }, 0x00, kHc595VideoDoor0},
        {[] { VideoSelect(1); }, 0xFF, 0xBF},
        {[] { MonitorPower(0, 1); }, 0x00, kHc595Monitor0},
        {[] { MonitorPower(1, 0); }, 0xFF, 0xEF},
        // Monitor paths: on selects the door's video and switches the other door's path off.
        {[] { DoorMonitorHw(0, 1); }, kHc595Monitor1 | kHc595Lock1, kHc595Monitor0 | kHc595VideoDoor0 | kHc595Lock1},
        {[] { DoorMonitorHw(1, 1); }, kHc595Monitor0 | kHc595VideoDoor0, kHc595Monitor1},
        {[] { DoorMonitorHw(0, 0); }, kHc595Monitor0 | kHc595Monitor1, kHc595VideoDoor0 | kHc595Monitor1},
        {[] { DoorMonitorHw(1, 0); }, kHc595Monitor1 | kHc595VideoDoor0 | kHc595Led0, kHc595Led0},
    };
    int i = 0;
    for (const auto& r : rows) {
        // The image is set bit by bit through the outputs themselves.
        for (int led = 0; led < 3; ++led) {
            SetLed(led, (r.before & (kHc595Led0 >> led)) != 0);
        }
        LockOutput(0, (r.before & kHc595Lock0) != 0);
        LockOutput(1, (r.before & kHc595Lock1) != 0);
        MonitorPower(0, (r.before & kHc595Monitor0) != 0);
        MonitorPower(1, (r.before & kHc595Monitor1) != 0);
        VideoSelect((r.before & kHc595VideoDoor0) != 0 ? 0 : 1);
        ASSERT_EQ(r.before, Hc595Image()) << "row " << i;
        r.op();
        EXPECT_EQ(r.after, Hc595Image()) << "row " << i;
        EXPECT_EQ(r.after, BoardHc595LastImage()) << "row " << i << ": not written to the register";
        ++i;
    }
}

TEST_F(BoardIo, GpioLinesTakeTheirValues)
{
    SetSpeakerPower(1);
    EXPECT_EQ('0', Gpio(kGpioSpeaker)) << "the amplifier is on at 0";
    SetSpeakerPower(0);
    EXPECT_EQ('1', Gpio(kGpioSpeaker));
    Per_CtrComData(1);
    EXPECT_EQ('1', Gpio(kGpioDecoderCtl));
    Per_CtrComData(0);
    EXPECT_EQ('0', Gpio(kGpioDecoderCtl));
    // Written as the driver wants it: the digit and two NULs.
    EXPECT_EQ(std::string("0\0\0", 3), mSb.Read("/sys/class/gpio/gpio46/value"));

    Key(true);
    EXPECT_EQ(0, GpioRead(kGpioKey));
    Key(false);
    EXPECT_EQ(1, GpioRead(kGpioKey));
    mSb.Write("/sys/class/gpio/gpio66/value", "");
    EXPECT_EQ(255, GpioRead(kGpioKey)) << "an empty value file is a failed read, not a press";
    ASSERT_EQ(0, unlink(mSb.Path("/sys/class/gpio/gpio66/value").c_str()));
    EXPECT_EQ(255, GpioRead(kGpioKey));
    EXPECT_EQ(-1, GpioWrite(kGpioKey, 1)) << "a missing line is not made";
}

TEST_F(BoardIo, UnlockPulseHoldsTheLockAndRefusesASecondPulse)
{
    gCurrentDoor = 1;
    DoorUnlockPulse();
    EXPECT_EQ(kHc595Lock1, Hc595Image());
    EXPECT_EQ(kUnlockHoldTicks, gDeviceState.UnlockHoldTimer);
    EXPECT_EQ(1, gAppState.UnlockedDoor);

    Ticks(1);
    gCurrentDoor = 0;
    DoorUnlockPulse();  // the hold runs: nothing
    EXPECT_EQ(kHc595Lock1, Hc595Image());
    EXPECT_EQ(kUnlockHoldTicks - 1, gDeviceState.UnlockHoldTimer);
    EXPECT_EQ(1, gAppState.UnlockedDoor);

    Ticks(kUnlockHoldTicks - 2);
    EXPECT_EQ(kHc595Lock1, Hc595Image()) << "released early";
    Ticks(1);
    EXPECT_EQ(0, Hc595Image()) << "the hold is over, the lock must drop";
    EXPECT_EQ(kCountdownStopped, gDeviceState.UnlockHoldTimer);

    DoorUnlockPulse();
    EXPECT_EQ(kHc595Lock0, Hc595Image());
    EXPECT_EQ(0, gAppState.UnlockedDoor);
    Ticks(kUnlockHoldTicks);
    EXPECT_EQ(0, Hc595Image());
}

TEST_F(BoardIo, GatePulsesOnALevelFrameOnlyWhileItsGuardIsStopped)
{
    gComLevelHandler = [](const uint8_t*) { GatePulse(); };
    std::vector<char> during;
    gDuringSleep = [&](uint32_t) { during.push_back(Gpio(kGpioGate)); };
    auto levelFrame = [] {
        for (uint8_t b : {0x02, 0x01, 0x33, 0x04, 0xE8, 0x1F, 0x55, 0x10, 0x10, 0x10, 0x10, 0x03}) {
            ComRecvByte(kComBusPort, b);
        }
    };
    levelFrame();
    EXPECT_EQ((std::vector<uint32_t>{kOutputPulseMs}), gSleeps);
    EXPECT_EQ((std::vector<char>{'1'}), during);
    EXPECT_EQ('0', Gpio(kGpioGate));
    EXPECT_EQ(kLevelGuardTicks, gDeviceState.LevelGuardTimer);

    levelFrame();
    EXPECT_EQ(1u, gSleeps.size()) << "pulsed again within the guard";
    Ticks(kLevelGuardTicks);
    levelFrame();
    EXPECT_EQ(2u, gSleeps.size());
    gComLevelHandler = nullptr;
}

// Each thread owns one output bit and changes it 1001 times; all end up set, and the register
// takes the changes one by one. A change made outside the register's lock loses other threads'
// bits, or reaches the register in the write of another change.
TEST_F(BoardIo, ConcurrentChangesNeverLoseABit)
{
    std::vector<uint8_t> written;
    BoardHc595OnWrite([&written](uint8_t image) { written.push_back(image); });
    constexpr int kChanges = 1001;
    std::vector<std::function<void(int)>> owners = {
        [](int) { SetLed(0, kLedToggle); },
        [](int) { SetLed(1, kLedToggle); },
        [](int) { SetLed(2, kLedToggle); },
        [](int i) { LockOutput(0, i % 2 == 0); },
        [](int i) { LockOutput(1, i % 2 == 0); },
        [](int i) { MonitorPower(0, i % 2 == 0); },
        [](int i) { MonitorPower(1, i % 2 == 0); },
        [](int i) { VideoSelect(i % 2 == 0 ? 0 : 1); },
    };
    std::vector<std::thread> threads;
    for (auto& owner : owners) {
        threads.emplace_back([&owner] {
            for (int i = 0; i < kChanges; ++i) {
                owner(i);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    BoardHc595OnWrite(nullptr);
    EXPECT_EQ(0xFF, Hc595Image());
    EXPECT_EQ(0xFF, BoardHc595LastImage()) << "the register holds another image than the unit";
    ASSERT_EQ(owners.size() * kChanges, written.size());
    int notOneChange = 0;
    for (size_t i = 1; i < written.size(); ++i) {
        notOneChange += __builtin_popcount(written[i] ^ written[i - 1]) != 1;
    }
    EXPECT_EQ(0, notOneChange) << "writes that carried no change or several";
}

TEST_F(BoardIo, RingProbeMeasuresWithSenseOffAndLocksReleased)
{
    LockOutput(0, 1);
    SetSar(500);
    std::vector<std::string> during;
    gDuringSleep = [&](uint32_t) { during.push_back(std::string(1, Gpio(kGpioRingSense)) + std::to_string(Hc595Image())); };
    EXPECT_EQ(1, RingProbe(0));
    EXPECT_EQ((std::vector<uint32_t>{kRingProbeMs}), gSleeps);
    EXPECT_EQ((std::vector<std::string>{"00"}), during);
    EXPECT_EQ('1', Gpio(kGpioRingSense));
    EXPECT_EQ(0, Hc595Image());
    EXPECT_EQ(0, RingProbe(1));

    gDeviceState.Hc595ImagePtr = nullptr;
    EXPECT_EQ(0, RingProbe(0)) << "no probe without the shift register";
    LockOutput(0, 1);
    EXPECT_EQ(0, BoardHc595LastImage()) << "written without the shift register";
}

TEST_F(BoardIo, BoardInitSetsUpLinesRegisterAndBus)
{
    // The LED thread started here keeps its real waits; only this thread's are recorded.
    const std::thread::id self = std::this_thread::get_id();
    static std::thread::id sSelf;
    sSelf = self;
    gBoardIoSleep = [](uint32_t ms) {
        if (std::this_thread::get_id() == sSelf) {
            RecordSleep(ms);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        }
    };
    gDeviceState.Hc595ImagePtr = nullptr;
    std::memset(gDeviceState.I2cBus[1].DevPath, 0, sizeof(gDeviceState.I2cBus[1].DevPath));
    gComLevelHandler = nullptr;
    BoardInit();

    struct {
        int line;
        const char* direction;
        char value;
    } rows[] = {{16, "out", '1'}, {52, "out", '1'}, {78, "out", '0'}, {79, "out", '0'}, {46, "out", '0'}, {66, "in", '1'}};
    for (const auto& r : rows) {
        EXPECT_EQ(std::string(r.direction) + "\n", mSb.Read("/sys/class/gpio/gpio" + std::to_string(r.line) + "/direction"))
            << r.line;
        EXPECT_EQ(r.value, Gpio(r.line)) << r.line;
    }
    EXPECT_EQ("46\n", mSb.Read("/sys/class/gpio/export")) << "the last line exported";
    EXPECT_NE(std::string::npos, mSb.Read("/.board/74HC595.log").find("lines 47 45 44"));
    EXPECT_NE(nullptr, gDeviceState.Hc595ImagePtr.load());
    EXPECT_STREQ("/dev/i2c-1", gDeviceState.I2cBus[1].DevPath);
    EXPECT_STREQ("/dev/i2c-0", gDeviceState.I2cBus[0].DevPath);
    ASSERT_NE(nullptr, gComLevelHandler);
    uint8_t window[12] = {};
    gComLevelHandler(window);
    EXPECT_EQ((std::vector<uint32_t>{kOutputPulseMs}), gSleeps) << "a level frame pulses the gate";
}
