// The simulated PR2000 decoder on I2C bus 1: page latch, the scripted camera signal, and the
// output size that follows the programmed format selector.
#include "platform/board_dev.h"
#include "platform/board_sim.h"
#include "platform/decoder_sim.h"
#include "sandbox.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <utility>
#include <vector>

namespace {

class DecoderSim : public testing::Test {
protected:
    void SetUp() override { BoardDevReset(); }
    void TearDown() override { BoardDecoderOnOutput(nullptr); }
    // One transfer on "/dev/i2c-1" as the unit's I2C access makes it.
    static int Transfer(i2c_msg* msgs, uint32_t n)
    {
        int fd = BoardDevOpen("/dev/i2c-1", O_RDWR);
        i2c_rdwr_ioctl_data data{msgs, n};
        int rc = BoardDevIoctl(fd, I2C_RDWR, &data);
        BoardDevClose(fd);
        return rc;
    }
    static uint8_t Read(uint8_t reg)
    {
        uint8_t v = 0xEE;
        i2c_msg msgs[2] = {{kBoardDecoderAddress, 0, 1, &reg}, {kBoardDecoderAddress, I2C_M_RD, 1, &v}};
        EXPECT_EQ(2, Transfer(msgs, 2));
        return v;
    }
    static void Write(uint8_t reg, uint8_t v)
    {
        uint8_t buf[2] = {reg, v};
        i2c_msg msg = {kBoardDecoderAddress, 0, 2, buf};
        ASSERT_EQ(1, Transfer(&msg, 1));
    }

    TestSandbox mSandbox;
};

}  // namespace

TEST_F(DecoderSim, PagesAndTheDefaultCamera)
{
    EXPECT_EQ(kBoardDecoderDefaultStatus, Read(0x00)) << "a locked 1080p camera";
    Write(0xFF, 1);
    Write(0x54, 0x0E);
    EXPECT_EQ(1, Read(0xFF));
    Write(0xFF, 0);
    EXPECT_EQ(0, Read(0x54)) << "page 0 has its own register 0x54";
    Write(0x00, 0x00);
    EXPECT_EQ(kBoardDecoderDefaultStatus, Read(0x00)) << "the status is the decoder's";
    EXPECT_EQ(0x0E, BoardDecoderRegister(1, 0x54));
    std::vector<BoardDecoderWrite> w = BoardDecoderWrites();
    ASSERT_EQ(4u, w.size());
    EXPECT_EQ(1, w[1].Page);
    EXPECT_EQ(0x54, w[1].Reg);
}

TEST_F(DecoderSim, SignalFromTheSandboxFile)
{
    mSandbox.Write("/.board/decoder", "0a f8 00\n");
    EXPECT_EQ(0x0A, Read(0x00));
    EXPECT_EQ(0xF8, Read(0x01));
    BoardDecoderSetSignal(0x03, 0, 0);
    EXPECT_EQ("03 00 00\n", mSandbox.Read("/.board/decoder"));
    EXPECT_EQ(0x03, Read(0x00));
}

TEST_F(DecoderSim, OutputSizeFollowsTheFormatSelector)
{
    std::vector<std::pair<int, int>> sizes;
    BoardDecoderOnOutput([&sizes](uint16_t w, uint16_t h) { sizes.emplace_back(w, h); });
    Write(0x10, 0x83);
    Write(0x10, 0x43);  // another standard, the same picture
    Write(0x10, 0x02);
    Write(0x10, 0x21);
    Write(0x10, 0x30);
    Write(0xFF, 1);
    Write(0x10, 0x03);  // page 1: no format selector
    EXPECT_EQ((std::vector<std::pair<int, int>>{{1920, 1080}, {1280, 720}, {720, 288}, {720, 240}}), sizes);
}
