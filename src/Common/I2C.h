// Register access on the board's two I2C buses ("/dev/i2c-0", "/dev/i2c-1"): one lock per bus,
// held from the open of the bus device to its close.
#pragma once

#include <cstdint>
#include <mutex>

constexpr int kI2cBusCount = 2;

struct I2C_BUS_S {
    char DevPath[16] = {};
    std::mutex Mutex;
};

// Fills the bus table in gDeviceState (BoardInit).
void I2cBusTableInit();

// One register write: a single message {address, register, value}. 0, or -1 when the bus
// cannot be opened or the transfer fails.
int I2C_WriteReg(int bus, uint8_t address, uint8_t reg, uint8_t value);
// One register read: the register number written, the value read, in one transfer. 0 and the
// value in `out`, or -1 (then `out` is left alone).
int I2C_ReadReg(int bus, uint8_t address, uint8_t reg, uint8_t* out);
// `count` registers from `reg` on, in one transfer (the device advances its register pointer):
// 0 and the values in `out`, or -1 (then `out` is left alone).
int I2C_ReadRegs(int bus, uint8_t address, uint8_t reg, uint8_t* out, uint16_t count);

inline uint8_t BcdToBin(uint8_t v)
{
    return static_cast<uint8_t>((v & 0x0F) + (v >> 4) * 10);
}

inline uint8_t BinToBcd(uint8_t v)
{
    return static_cast<uint8_t>(((v / 10) << 4) | (v % 10));
}
