// The decoder control against the simulated PR2000: start-up, modes and clocks, the format watch
// with its restarts of the video chain, loss and reset, the door input and the page lock.
#include "Common/DeviceState.h"
#include "pr2000_test_util.h"

#include <atomic>
#include <thread>

namespace {

constexpr uint8_t kLock = 0x08;
// Status words: format bits 0-2, lock, rate bits 4-5, standard bits 6-7.
constexpr uint8_t Status(uint8_t format, uint8_t stdBits, bool lock = true, uint8_t rate = 0)
{
    return static_cast<uint8_t>(format | (lock ? kLock : 0) | rate << 4 | stdBits << 6);
}

int CountText(const std::string& s, const std::string& what)
{
    int n = 0;
    for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) {
        ++n;
    }
    return n;
}

std::string Poll(int times = 1)
{
    testing::internal::CaptureStdout();
    for (int i = 0; i < times; ++i) {
        SensorFmtPass();
    }
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST_F(DecoderTest, TablesHaveTheShapesTheDecoderNeeds)
{
    EXPECT_EQ(0, Pr2000TablesCheck());
    size_t vendorRows = 0;
    for (int t = 0; t < 2; ++t) {
        vendorRows += Pr2000TableRows(gPr2000CommonLo[t]) + Pr2000TableRows(gPr2000CommonHi[t]);
    }
    vendorRows += Pr2000TableRows(gPr2000Std0);
    for (int s = 0; s < 5; ++s) {
        vendorRows += Pr2000TableRows(gPr2000StdLo[s]) + Pr2000TableRows(gPr2000StdHi[s]);
    }
    EXPECT_EQ(755u, vendorRows);
    EXPECT_EQ(0u, Pr2000TableRows(gPr2000StdHi[3])) << "standard 4 has no table for codes 10 to 13";
}

TEST_F(DecoderTest, StartWritesTheTablesAndDetectsTheLines)
{
    BoardDecoderSetRegister(0, 0x99, 0x00);
    BoardDecoderSetRegister(0, 0x91, 0x10);  // bit 4 set: 0x99's bit decides
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, Pr2000Start());
    std::string out = testing::internal::GetCapturedStdout();
    std::vector<BoardDecoderWrite> w = BoardDecoderWrites();
    // The start-up table first, each row with its page select.
    ASSERT_GE(w.size(), 130u);
    EXPECT_EQ(0xFF, w[0].Reg);
    EXPECT_EQ(0, w[0].Value);
    EXPECT_EQ(0x11, w[1].Reg);
    EXPECT_EQ(0x14, w[5].Reg);
    EXPECT_EQ(0x21, w[5].Value);
    EXPECT_EQ(0x0F, BoardDecoderRegister(1, 0x54));
    EXPECT_EQ(0x14, BoardDecoderRegister(1, 0x7F));
    // Standard 3, code 9: the format selector of 1920x1080, the output table of codes 4 to 9,
    // the 148 MHz clock (select 0: bits 4-5 of 0xE1 clear) with phase 0 of type 0.
    EXPECT_NE(std::string::npos, out.find("Set VDEC Standard:3, videoResolution:9\n"));
    EXPECT_NE(std::string::npos, out.find("[Mipi(2|4)|Parallel(0)](0) Start Standard:3, videoResolution:9\n"));
    EXPECT_EQ(0x83, BoardDecoderRegister(0, 0x10));
    EXPECT_EQ(0x3A, BoardDecoderRegister(0, 0x47));
    EXPECT_EQ(0x00, BoardDecoderRegister(0, 0xE1) & 0x30);
    EXPECT_EQ(0x21, BoardDecoderRegister(0, 0xDA) & 0x3F);
    EXPECT_NE(std::string::npos, out.find("clkphase_148Mhz:0\n"));
    EXPECT_EQ(0x10, BoardDecoderRegister(0, 0xE2) & 0x30);
    // Line detection: three samples 10 ms apart agree at once; 0x86 then the table.
    EXPECT_EQ((std::vector<uint32_t>{10, 10}), gDecoderSleeps);
    EXPECT_EQ(std::vector<uint8_t>{0x30}, WritesTo(0, 0x86));
    EXPECT_EQ(0x00, BoardDecoderRegister(0, 0x87));
    EXPECT_EQ(0xBF, BoardDecoderRegister(0, 0x90));
    EXPECT_EQ(0x87, w.back().Reg) << "the line-detection table ends the start";

    // Register 0x91 without bit 4: the bit is taken as set.
    BoardDecoderSetRegister(0, 0x91, 0x00);
    BoardDecoderClearWrites();
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, Pr2000Start());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::vector<uint8_t>{0x20}, WritesTo(0, 0x86));
}

TEST_F(DecoderTest, FirstPollOfTheStartFormatKeepsTheStartsProgramming)
{
    BuildChain();
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, Pr2000Start());
    testing::internal::GetCapturedStdout();
    // The camera sends what the start programmed (1920x1080, standard 3): nothing is written again.
    BoardDecoderSetSignal(Status(3, 2), 0, 0x04);
    BoardDecoderClearWrites();
    std::string out = Poll(2);
    EXPECT_EQ(std::string::npos, out.find("Set VDEC Standard")) << out;
    EXPECT_EQ(std::string::npos, out.find("Change fmt start"));
    EXPECT_TRUE(WritesTo(0, 0x10).empty()) << "the format selector was written again";
    EXPECT_EQ(0, Restarts());
    // Another standard at the same size is still programmed, once.
    BoardDecoderSetSignal(Status(3, 0));
    out = Poll(2);
    EXPECT_EQ(1, CountText(out, "Set VDEC Standard:1, videoResolution:9"));
    EXPECT_EQ(0x03, BoardDecoderRegister(0, 0x10));
    EXPECT_EQ(0, Restarts());
}

TEST_F(DecoderTest, StartStopsAtTheFirstFailure)
{
    BoardI2cSetNack(1, kBoardDecoderAddress, true);
    testing::internal::CaptureStdout();
    EXPECT_GT(0, Pr2000Start());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(1, CountText(out, "invalid page write"));
    EXPECT_EQ(std::string::npos, out.find("Set VDEC")) << "nothing after the start-up table";
}

TEST_F(DecoderTest, From720To1080AppliesTheClockAndRestartsOnce)
{
    BuildChain();
    BoardDecoderSetSignal(Status(2, 0));  // 1280x720, standard 1
    std::string out = Poll();
    EXPECT_NE(std::string::npos, out.find("[SetPr2000Mode]vidOutResolution is 7\n"));
    EXPECT_NE(std::string::npos, out.find("Change fmt start"));
    EXPECT_EQ(0x02, BoardDecoderRegister(0, 0x10));
    EXPECT_EQ(0x10, BoardDecoderRegister(0, 0xE1) & 0x30) << "74 MHz";
    EXPECT_EQ(0x19, BoardDecoderRegister(0, 0xE3) & 0x3F) << "phase 0 of type 1";
    EXPECT_EQ(1, Restarts());
    EXPECT_EQ(1280, gVideoDynamicsInfo.SensorWidth);
    EXPECT_NE(std::string::npos, MiSimDumpGraph().find("vpe chn 0 max 1280x720"));
    EXPECT_EQ(0, GetVideoFmtChanging());

    Poll(3);  // the same signal: nothing more
    EXPECT_EQ(1, Restarts());

    BoardDecoderClearWrites();
    BoardDecoderSetSignal(Status(3, 0));  // 1920x1080, standard 1
    out = Poll();
    EXPECT_NE(std::string::npos, out.find("[SetPr2000Mode]vidOutResolution is 9\n"));
    EXPECT_NE(std::string::npos, out.find("clkphase_148Mhz:0\n"));
    EXPECT_EQ(0x03, BoardDecoderRegister(0, 0x10));
    EXPECT_EQ(0x00, BoardDecoderRegister(0, 0xE1) & 0x30);
    EXPECT_EQ(0x00, BoardDecoderRegister(0, 0xE3) & 0x3F);
    EXPECT_EQ(0x21, BoardDecoderRegister(0, 0xDA) & 0x3F);
    EXPECT_EQ(2, Restarts());
    EXPECT_NE(std::string::npos, MiSimDumpGraph().find("vpe chn 0 max 1920x1080"));
    EXPECT_EQ(0u, gVideoDynamicsInfo.Type);
}

TEST_F(DecoderTest, ChangedStandardAloneReprogramsWithoutRestart)
{
    BuildChain();
    BoardDecoderSetSignal(Status(3, 0));
    Poll();
    EXPECT_EQ(0x03, BoardDecoderRegister(0, 0x10));
    BoardDecoderSetSignal(Status(3, 1));  // standard 2, same size
    std::string out = Poll();
    EXPECT_NE(std::string::npos, out.find("Set VDEC Standard:2, videoResolution:9"));
    EXPECT_EQ(0x43, BoardDecoderRegister(0, 0x10));
    EXPECT_EQ(0x04, BoardDecoderRegister(0, 0x11) & 0x04) << "standard 2 at 148 MHz";
    EXPECT_EQ(0, Restarts());
    // Standard bits 2 tell standards 3 and 2 apart by bit 2 of register 0x02.
    BoardDecoderSetSignal(Status(3, 2), 0, 0x04);
    Poll();
    EXPECT_EQ(0x83, BoardDecoderRegister(0, 0x10));
    BoardDecoderSetSignal(Status(3, 2), 0, 0x00);
    Poll();
    EXPECT_EQ(0x43, BoardDecoderRegister(0, 0x10));
    EXPECT_EQ(0, Restarts());
}

TEST_F(DecoderTest, Undecided720StandardsAlternateEveryPoll)
{
    BuildChain();
    BoardDecoderSetSignal(Status(2, 2), 0xF8);
    std::vector<uint8_t> selectors;
    for (int i = 0; i < 3; ++i) {
        BoardDecoderClearWrites();
        Poll();
        std::vector<uint8_t> w = WritesTo(0, 0x10);
        ASSERT_EQ(1u, w.size()) << "poll " << i << " programs the decoder";
        selectors.push_back(w[0]);
    }
    EXPECT_EQ((std::vector<uint8_t>{0x42, 0x82, 0x42}), selectors) << "standards 2, 3, 2";
    EXPECT_EQ(1, Restarts()) << "only the size change from 1080 rebuilds";
    // Without 0xF8 it is standard 3.
    BoardDecoderSetSignal(Status(2, 2), 0x00);
    Poll();
    EXPECT_EQ(0x82, BoardDecoderRegister(0, 0x10));
}

TEST_F(DecoderTest, ElevenUnlockedPollsResetTheDecoderOnce)
{
    BoardDecoderSetSignal(Status(3, 0, false));
    Poll(10);
    EXPECT_EQ(10, GetVideoLoss());
    EXPECT_TRUE(WritesTo(0, 0xF8).empty());
    Poll();
    EXPECT_EQ((std::vector<uint8_t>{0x7F, 0x00}), WritesTo(0, 0xF8));
    EXPECT_EQ(std::vector<uint32_t>{150}, gDecoderSleeps);
    EXPECT_EQ(0, GetVideoLoss()) << "the count starts again";
    Poll(10);
    EXPECT_EQ(2u, WritesTo(0, 0xF8).size());
    // Lock comes back: the count is cleared.
    BoardDecoderSetSignal(Status(3, 0));
    Poll();
    EXPECT_EQ(0, GetVideoLoss());
    // The rate follows the status bits on every poll, locked or not.
    for (auto [bits, rate] : {std::pair<uint8_t, uint8_t>{1, 30}, {2, 50}, {3, 60}, {0, 25}}) {
        BoardDecoderSetSignal(Status(3, 0, false, bits));
        Poll();
        EXPECT_EQ(rate, gVideoDynamicsInfo.FrameRate);
    }
    BoardDecoderSetSignal(Status(3, 0, true, 1));
    Poll();
    EXPECT_EQ(0, GetVideoLoss());
    // A status that cannot be read counts as loss (and reads 1: rate bits 0).
    BoardI2cSetNack(1, kBoardDecoderAddress, true);
    Poll(2);
    EXPECT_EQ(2, GetVideoLoss());
    EXPECT_EQ(25, gVideoDynamicsInfo.FrameRate);
}

TEST_F(DecoderTest, FormatBitsAboveThreeKeepThePreviousFormat)
{
    BuildChain();
    BoardDecoderSetSignal(Status(5, 0));
    Poll();
    EXPECT_TRUE(WritesTo(0, 0x10).empty()) << "no format seen yet: nothing applied";
    EXPECT_EQ(0, GetVideoLoss());
    BoardDecoderSetSignal(Status(2, 0));
    Poll();
    BoardDecoderClearWrites();
    BoardDecoderSetSignal(Status(5, 0));
    Poll(2);
    EXPECT_TRUE(WritesTo(0, 0x10).empty()) << "the 1280x720 format stays";
    EXPECT_EQ(1280, gVideoDynamicsInfo.SensorWidth);
    EXPECT_EQ(1, Restarts());
}

TEST_F(DecoderTest, StandardDefinitionUsesStandardZeroAnd36MHz)
{
    BuildChain();
    BoardDecoderSetSignal(Status(1, 0));
    std::string out = Poll();
    EXPECT_NE(std::string::npos, out.find("Set VDEC Standard:0, videoResolution:1"));
    EXPECT_EQ(0x21, BoardDecoderRegister(0, 0x10));
    EXPECT_EQ(0x36, BoardDecoderRegister(0, 0x47)) << "output table of standard 0";
    EXPECT_EQ(0x20, BoardDecoderRegister(0, 0xE1) & 0x30) << "36 MHz";
    EXPECT_EQ(0x34, BoardDecoderRegister(0, 0xE3) & 0x3F) << "phase 0 of type 2";
    EXPECT_NE(std::string::npos, MiSimDumpGraph().find("vif chn 0 port 0 cap 20,0 694x288"));
}

TEST_F(DecoderTest, ModesWithoutAColumnAreRefusedBeforeAnyWrite)
{
    const struct {
        uint32_t standard;
        uint32_t code;
        const char* message;
    } rows[] = {
        {0, 4, "Invalid video resolution:4\n"}, {0, 13, "Invalid video resolution:13\n"},
        {1, 3, "Invalid video resolution:3\n"}, {5, 0, "Invalid video resolution:0\n"},
        {2, 14, "Invalid video resolution:14\n"}, {6, 9, "Invalid standard:6\n"},
    };
    for (const auto& r : rows) {
        BoardDecoderClearWrites();
        testing::internal::CaptureStdout();
        EXPECT_EQ(-1, Pr2000SetStandard(r.standard, r.code));
        EXPECT_EQ(-1, Pr2000SetOutput(0, 1, r.standard, r.code));
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(2, CountText(out, r.message)) << r.standard << "/" << r.code;
        EXPECT_TRUE(BoardDecoderWrites().empty()) << r.standard << "/" << r.code;
    }
    // Standard 4 with codes 10 to 13 has an empty standard table: no format selector written.
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, Pr2000SetStandard(4, 11));
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(WritesTo(0, 0x10).empty());
    EXPECT_EQ(0x03, BoardDecoderRegister(0, 0x47)) << "output table of codes 10 to 13";
    // The output stop only prints.
    BoardDecoderClearWrites();
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, Pr2000SetOutput(0, 0, 9, 99));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find(" Stop Standard:9"));
    EXPECT_TRUE(WritesTo(0, 0x10).empty()) << "the format selector was written again";
}

TEST_F(DecoderTest, ClockPhasesAndMaskedWrites)
{
    const struct {
        uint32_t type, phase;
        int rc;
        uint8_t e3, e2, d8;
    } rows[] = {
        {0, 9, 0, 0x08, 0x10, 0x01}, {1, 15, 0, 0x11, 0x20, 0x07}, {3, 3, 0, 0x37, 0xFF, 0xFF},
        {0, 16, -1, 0, 0, 0},        {2, 4, -1, 0, 0, 0},           {4, 0, -1, 0, 0, 0},
    };
    for (const auto& r : rows) {
        BoardDecoderSetRegister(0, 0xE2, 0xC0);
        BoardDecoderSetRegister(0, 0xD8, 0xF8);
        testing::internal::CaptureStdout();
        EXPECT_EQ(r.rc, Pr2000SetClockPhase(r.type, r.phase));
        std::string out = testing::internal::GetCapturedStdout();
        if (r.rc != 0) {
            EXPECT_NE(std::string::npos, out.find("Invalid clkphase:" + std::to_string(r.phase)));
            continue;
        }
        EXPECT_EQ(r.e3, BoardDecoderRegister(0, 0xE3) & 0x3F);
        EXPECT_EQ(r.e3, BoardDecoderRegister(0, 0xE4) & 0x3F);
        if (r.type <= 1) {
            EXPECT_EQ(0xC0 | r.e2, BoardDecoderRegister(0, 0xE2)) << "only bits 4-5 change";
            EXPECT_EQ(0xF8 | r.d8, BoardDecoderRegister(0, 0xD8));
        } else {
            EXPECT_EQ(0xC0, BoardDecoderRegister(0, 0xE2)) << "types 2 and 3 leave 0xE2 alone";
        }
    }
    BoardDecoderSetRegister(0, 0xE0, 0xA0);
    EXPECT_EQ(0, Pr2000PageMaskWrite(0, 0xE0, 0x0F, 0x35));
    EXPECT_EQ(0xA5, BoardDecoderRegister(0, 0xE0));
    uint8_t v = 0;
    EXPECT_EQ(-1, Pr2000PageRead(0, 0x00, nullptr));
    EXPECT_EQ(0, Pr2000PageRead(1, 0xE0, &v));
    EXPECT_EQ(1, BoardDecoderRegister(0, 0xFF)) << "the page latch moved";

    // The masked read, in the order of the rows (each leaves the page latch to the next), then
    // the page select alone and the second plain write on the page selected last.
    const struct {
        int page;       // negative: the latch stays
        uint8_t latch;  // the page read
        uint8_t stored, mask, read;
        bool nack;
    } reads[] = {
        {0, 0, 0xA5, 0x0F, 0x05, false}, {1, 1, 0x3C, 0xF0, 0x30, false}, {-1, 1, 0x42, 0xFF, 0x42, false},
        {0, 0, 0xFF, 0x0F, 0x01, true},  // a failed read reads 1
    };
    for (const auto& r : reads) {
        BoardDecoderSetRegister(r.latch, 0x30, r.stored);
        BoardI2cSetNack(1, kBoardDecoderAddress, r.nack);
        uint8_t out = 0xEE;
        EXPECT_EQ(0, Pr2000PageMaskRead(r.page, 0x30, r.mask, &out));
        BoardI2cSetNack(1, kBoardDecoderAddress, false);
        EXPECT_EQ(r.read, out) << r.page << " " << int(r.mask);
    }
    EXPECT_EQ(-1, Pr2000PageMaskRead(0, 0x30, 0xFF, nullptr));
    for (int page : {1, -1, 0}) {
        const uint8_t latch = page == 0 ? 0 : 1;
        BoardDecoderSetRegister(latch ^ 1, 0x31, 0x00);
        EXPECT_EQ(0, Pr2000PageSelect(page));
        EXPECT_EQ(0, Pr2000PlainWrite(0x31, static_cast<uint8_t>(0x50 + page)));
        EXPECT_EQ(0x50 + page, BoardDecoderRegister(latch, 0x31)) << page;
        EXPECT_EQ(0x00, BoardDecoderRegister(latch ^ 1, 0x31)) << page << ": the other page";
    }
}

TEST_F(DecoderTest, DoorInputSwitchesControlLineAndRegister)
{
    BoardDecoderSetRegister(0, 0x14, 0x20);
    SetPr2000Input(1);
    EXPECT_EQ('0', mSandbox.Read("/sys/class/gpio/gpio46/value")[0]);
    EXPECT_EQ(0x23, BoardDecoderRegister(0, 0x14));
    SetPr2000Input(0);
    EXPECT_EQ('1', mSandbox.Read("/sys/class/gpio/gpio46/value")[0]);
    EXPECT_EQ(0x21, BoardDecoderRegister(0, 0x14));
}

// The door switch and the format watch on two threads: every write lands on the page its select
// named. Register 0x14 exists on both pages, so a write on the wrong page would show.
TEST_F(DecoderTest, PageSelectAndAccessAreNeverSplit)
{
    constexpr int kRounds = 1500;
    std::thread watch([] {
        for (int i = 0; i < kRounds; ++i) {
            Pr2000PageWrite(1, 0x14, 0xAA);
        }
    });
    std::thread door([] {
        for (int i = 0; i < kRounds; ++i) {
            SetPr2000Input(static_cast<uint32_t>(i & 1));
        }
    });
    watch.join();
    door.join();
    int page1 = 0;
    int page0 = 0;
    for (const BoardDecoderWrite& w : BoardDecoderWrites()) {
        if (w.Reg != 0x14) {
            continue;
        }
        if (w.Page == 1) {
            EXPECT_EQ(0xAA, w.Value);
            ++page1;
        } else {
            EXPECT_NE(0xAA, w.Value);
            EXPECT_TRUE((w.Value & 3) == 1 || (w.Value & 3) == 3);
            ++page0;
        }
    }
    EXPECT_EQ(kRounds, page1);
    EXPECT_EQ(kRounds, page0);
}

// The watch started by the media start-up: the decoder is started, the first poll applies the
// camera's format, and a door-phone thread reads the loss counter meanwhile.
TEST_F(DecoderTest, WatchThreadStartsTheDecoderAndFollowsTheCamera)
{
    gPr2000Sleep = [](uint32_t ms) { usleep(ms * 1000 / 50); };  // the watch runs 50 times faster
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, StartUp());
    ASSERT_EQ(0, SensorFmtStart()) << "the fixture stopped the one of the start-up: it runs again";
    for (int i = 0; i < 200 && WritesTo(0, 0x86).empty(); ++i) {
        usleep(5000);
    }
    BoardDecoderSetSignal(Status(2, 0));
    for (int i = 0; i < 400 && gVideoDynamicsInfo.SensorWidth != 1280; ++i) {
        usleep(5000);
        GetVideoLoss();
    }
    EXPECT_EQ(1280, gVideoDynamicsInfo.SensorWidth);
    EXPECT_FALSE(WritesTo(0, 0x86).empty()) << "the decoder was started";
    SensorFmtStop();
    testing::internal::GetCapturedStdout();
}
