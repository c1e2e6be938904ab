// The simulated board's ioctl devices: the device layer, the 74HC595 and SAR drivers, the I2C
// buses with their devices, and the PCF8563 model.
#include "platform/board_dev.h"
#include "platform/board_path.h"
#include "platform/board_sim.h"
#include "sandbox.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <vector>

namespace {

class BoardDev : public testing::Test {
protected:
    void SetUp() override
    {
        BoardDevReset();
        BoardRtcSetHostClock([this] { return mHostNow; });
    }
    void TearDown() override { BoardRtcSetHostClock(nullptr); }

    // Opens, runs one ioctl, closes; the ioctl's result, errno in mErrno.
    int Ioctl(const char* node, unsigned long request, void* arg)
    {
        int fd = BoardDevOpen(node, O_RDWR);
        if (fd < 0) {
            mErrno = errno;
            return -2;
        }
        errno = 0;
        int rc = BoardDevIoctl(fd, request, arg);
        mErrno = errno;
        EXPECT_EQ(0, BoardDevClose(fd));
        return rc;
    }

    int Transfer(int bus, std::vector<i2c_msg> msgs)
    {
        i2c_rdwr_ioctl_data data = {msgs.data(), static_cast<uint32_t>(msgs.size())};
        return Ioctl(bus == 0 ? "/dev/i2c-0" : "/dev/i2c-1", I2C_RDWR, &data);
    }

    int WriteRegs(int bus, uint16_t addr, std::vector<uint8_t> bytes)
    {
        return Transfer(bus, {{addr, 0, static_cast<uint16_t>(bytes.size()), bytes.data()}});
    }

    std::vector<uint8_t> ReadRegs(int bus, uint16_t addr, uint8_t reg, size_t count)
    {
        std::vector<uint8_t> out(count, 0xEE);
        int rc = Transfer(bus, {{addr, 0, 1, &reg}, {addr, I2C_M_RD, static_cast<uint16_t>(count), out.data()}});
        EXPECT_EQ(2, rc);
        return out;
    }

    TestSandbox mSb;
    time_t mHostNow = 1700000000;  // 2023-11-14 22:13:20 UTC, a Tuesday
    int mErrno = 0;
};

}  // namespace

TEST_F(BoardDev, NodesDecideWhetherADeviceIsThere)
{
    ASSERT_EQ(0, unlink(mSb.Path("/dev/sar").c_str()));
    EXPECT_EQ(-1, BoardDevOpen("/dev/sar", O_RDWR));
    EXPECT_EQ(ENOENT, errno);

    // A device path that has no driver model behaves like a plain file.
    mSb.Write("/dev/plain", "");
    int arg = 0;
    EXPECT_EQ(-1, Ioctl("/dev/plain", 0x1234, &arg));
    EXPECT_EQ(ENOTTY, mErrno);

}

TEST_F(BoardDev, Hc595KeepsTheImageAndItsHistoryInTheSandbox)
{
    uint8_t image = 0x25;
    EXPECT_EQ(-1, Ioctl("/dev/74HC595", kHc595IoctlWrite, &image)) << "a write before the set-up";
    EXPECT_EQ(EIO, mErrno);
    EXPECT_EQ(-1, BoardHc595LastImage());

    uint8_t lines[3] = {47, 45, 44};
    EXPECT_EQ(0, Ioctl("/dev/74HC595", kHc595IoctlSetup, lines));
    for (uint8_t v : {0x00, 0x25, 0x25, 0xC2}) {
        image = v;
        EXPECT_EQ(0, Ioctl("/dev/74HC595", kHc595IoctlWrite, &image));
    }
    EXPECT_EQ(0xC2, BoardHc595LastImage());
    EXPECT_EQ(BoardHc595Describe(0xC2) + "\n", mSb.Read("/.board/74HC595"));
    EXPECT_EQ("0xC2 led0=0 led1=1 led2=0 monitor0=0 monitor1=0 lock0=0 lock1=1 video=door0", BoardHc595Describe(0xC2));
    EXPECT_EQ("0x25 led0=1 led1=0 led2=1 monitor0=0 monitor1=0 lock0=1 lock1=0 video=door1", BoardHc595Describe(0x25));

    // One history line for the set-up and one per change: the repeated 0x25 is not a change.
    std::string log = mSb.Read("/.board/74HC595.log");
    std::vector<std::string> lines2;
    for (size_t at = 0, nl; (nl = log.find('\n', at)) != std::string::npos; at = nl + 1) {
        lines2.push_back(log.substr(at + 13, nl - at - 13));  // past "HH:MM:SS.mmm "
    }
    ASSERT_EQ(4u, lines2.size()) << log;
    EXPECT_EQ("set-up: data/clock/latch lines 47 45 44", lines2[0]);
    EXPECT_EQ(BoardHc595Describe(0x00), lines2[1]);
    EXPECT_EQ(BoardHc595Describe(0x25), lines2[2]);
    EXPECT_EQ(BoardHc595Describe(0xC2), lines2[3]);

    EXPECT_EQ(-1, Ioctl("/dev/74HC595", 0xC0014899, &image));
    EXPECT_EQ(ENOTTY, mErrno);
}

TEST_F(BoardDev, SarReadsTheLevelFileOfTheChannel)
{
    struct {
        const char* file;
        uint32_t level;
    } rows[] = {{"950\n", 950}, {"0", 0}, {"5000", 1023}, {"-3", 0}, {"junk", 0}};
    for (const auto& r : rows) {
        mSb.Write("/.board/sar_ch2", r.file);
        SAR_CHANNEL_READ_S read = {2, 77};
        EXPECT_EQ(0, Ioctl("/dev/sar", IOCTL_SAR_SET_CHANNEL_READ_VALUE, &read));
        EXPECT_EQ(r.level, read.Value) << r.file;
    }
    SAR_CHANNEL_READ_S other = {3, 77};
    EXPECT_EQ(0, Ioctl("/dev/sar", IOCTL_SAR_SET_CHANNEL_READ_VALUE, &other));
    EXPECT_EQ(0u, other.Value) << "a channel without a level file is quiet";
    other.Channel = 8;
    EXPECT_EQ(-1, Ioctl("/dev/sar", IOCTL_SAR_SET_CHANNEL_READ_VALUE, &other));
    EXPECT_EQ(EINVAL, mErrno);
    EXPECT_EQ(0, Ioctl("/dev/sar", kSarIoctlInit, nullptr));
}

TEST_F(BoardDev, I2cTransfersReachRegisterDevices)
{
    BoardI2cAttach(0, 0x30, std::make_shared<BoardI2cRegisterDevice>());
    // A write message sets the register pointer and fills on from there; reads follow the pointer.
    EXPECT_EQ(1, WriteRegs(0, 0x30, {0x10, 0xA1, 0xA2, 0xA3}));
    EXPECT_EQ((std::vector<uint8_t>{0xA2, 0xA3, 0x00}), ReadRegs(0, 0x30, 0x11, 3));

    // Nobody at the address, a NACK, or a broken request: the transfer fails.
    EXPECT_EQ(-1, WriteRegs(0, 0x31, {0x00, 0x01}));
    EXPECT_EQ(ENXIO, mErrno);
    EXPECT_EQ(-1, WriteRegs(1, 0x30, {0x00, 0x01})) << "bus 1 has its own devices";
    BoardI2cSetNack(0, 0x30, true);
    EXPECT_EQ(-1, WriteRegs(0, 0x30, {0x10, 0x55}));
    EXPECT_EQ(ENXIO, mErrno);
    BoardI2cSetNack(0, 0x30, false);
    EXPECT_EQ((std::vector<uint8_t>{0xA1}), ReadRegs(0, 0x30, 0x10, 1)) << "the NACKed write changed a register";
    EXPECT_EQ(-1, Transfer(0, {}));
    EXPECT_EQ(EINVAL, mErrno);
    uint8_t b = 0;
    EXPECT_EQ(-1, Transfer(0, {{0x30, I2C_M_TEN, 1, &b}}));
    EXPECT_EQ(EINVAL, mErrno);
    EXPECT_EQ(-1, Ioctl("/dev/i2c-0", I2C_SLAVE, nullptr));
    EXPECT_EQ(ENOTTY, mErrno);

    // Messages go out in order: a write before a NACKed message stands.
    BoardI2cAttach(0, 0x31, std::make_shared<BoardI2cRegisterDevice>());
    BoardI2cSetNack(0, 0x31, true);
    uint8_t w[2] = {0x20, 0x77};
    uint8_t w2[2] = {0x20, 0x66};
    EXPECT_EQ(-1, Transfer(0, {{0x30, 0, 2, w}, {0x31, 0, 2, w2}}));
    EXPECT_EQ((std::vector<uint8_t>{0x77}), ReadRegs(0, 0x30, 0x20, 1));
}

TEST_F(BoardDev, Pcf8563RunsFromTheHostClockAndHoldsWhileStopped)
{
    // A chip that was never set flags its time as not valid (bit 7 of the seconds).
    std::vector<uint8_t> regs = ReadRegs(1, 0x51, 2, 7);
    EXPECT_EQ((std::vector<uint8_t>{0x80 | 0x20, 0x13, 0x22, 0x14, 2, 0x11, 0x23}), regs);

    // Stopped: the time holds and takes the writes; started: it runs on from them.
    EXPECT_EQ(1, WriteRegs(1, 0x51, {0x00, 0x20}));
    mHostNow += 100;
    EXPECT_EQ(regs, ReadRegs(1, 0x51, 2, 7));
    // 1999-12-31 23:59:58, a Friday (5), century bit set.
    EXPECT_EQ(1, WriteRegs(1, 0x51, {0x02, 0x58, 0x59, 0x23, 0x31, 5, 0x92, 0x99}));
    mHostNow += 100;
    EXPECT_EQ((std::vector<uint8_t>{0x58, 0x59, 0x23, 0x31, 5, 0x92, 0x99}), ReadRegs(1, 0x51, 2, 7));
    EXPECT_EQ(1, WriteRegs(1, 0x51, {0x00, 0x00}));
    mHostNow += 3;
    EXPECT_EQ((std::vector<uint8_t>{0x01, 0x00, 0x00, 0x01, 6, 0x01, 0x00}), ReadRegs(1, 0x51, 2, 7))
        << "the new century, a Saturday";

    // The chip keeps its time over a restart of the unit.
    BoardDevReset();
    mHostNow += 60;
    EXPECT_EQ((std::vector<uint8_t>{0x01, 0x01, 0x00, 0x01, 6, 0x01, 0x00}), ReadRegs(1, 0x51, 2, 7));

    // A single register written while running moves the time from there on.
    EXPECT_EQ(1, WriteRegs(1, 0x51, {0x04, 0x12}));
    EXPECT_EQ((std::vector<uint8_t>{0x01, 0x01, 0x12}), ReadRegs(1, 0x51, 2, 3));
}
