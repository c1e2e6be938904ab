// Controls of the simulated board's device models, for tests, simulators and further device
// models (the video decoder attaches itself to I2C bus 1 here). Not used by the application.
//
// State the models keep in the sandbox:
//   "<root>/.board/74HC595"      the output image as last written, decoded on one line
//   "<root>/.board/74HC595.log"  one line per change of the image (older lines in ".log.old")
//   "<root>/.board/sar_ch2"      the level of SAR channel 2 (decimal; other channels sar_chN)
//   "<root>/.board/rtc"          the real-time clock's distance to the host clock
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

// Forgets every model's state, as if the board had been powered up anew (tests call it first).
void BoardDevReset();

// The image last written to the 74HC595, or -1 before the first write.
int BoardHc595LastImage();
// Called with every image written to the 74HC595, in the order the driver took them (nullptr: none).
void BoardHc595OnWrite(std::function<void(uint8_t)> hook);
// The image decoded as the sandbox file shows it: "0x46 led0=1 led1=1 led2=0 ...".
std::string BoardHc595Describe(uint8_t image);

// One device on a simulated I2C bus. The bus hands it the messages of an I2C_RDWR transfer that
// are addressed to it, one by one, under the bus's lock.
class BoardI2cDevice {
public:
    virtual ~BoardI2cDevice() = default;
    // A write message of `len` bytes (len >= 1). 0, or -1 when the device refuses it.
    virtual int Write(const uint8_t* data, size_t len) = 0;
    // A read message: fills `len` bytes. 0, or -1.
    virtual int Read(uint8_t* data, size_t len) = 0;
};

// A register-file device: 256 registers and a register pointer. The first byte of a write
// message sets the pointer and further bytes are stored from there on; a read message reads from
// the pointer on. The pointer advances after every byte.
class BoardI2cRegisterDevice : public BoardI2cDevice {
public:
    int Write(const uint8_t* data, size_t len) override;
    int Read(uint8_t* data, size_t len) override;

protected:
    virtual uint8_t ReadRegister(uint8_t reg) { return mRegs[reg]; }
    virtual void WriteRegister(uint8_t reg, uint8_t value) { mRegs[reg] = value; }

    std::array<uint8_t, 256> mRegs{};
    uint8_t mPointer = 0;
};

constexpr int kBoardI2cBusCount = 2;

// Puts `device` on the bus at the 7-bit address (replacing what was there); nullptr removes it.
// Bus 1 starts with the PCF8563 real-time clock at 0x51.
void BoardI2cAttach(int bus, uint16_t address, std::shared_ptr<BoardI2cDevice> device);
// While set, the address does not acknowledge: every transfer to it fails with ENXIO.
void BoardI2cSetNack(int bus, uint16_t address, bool nack);

// The host clock the real-time clock model runs from (default: the host's time()).
void BoardRtcSetHostClock(std::function<time_t()> now);

// Hands one captured frame (radiotap header first) to the packet socket the sniffer of `ifname`
// opened (BoardPacketSocket). 0, or -1 with errno (ECONNREFUSED: nobody sniffs).
int BoardPacketInject(const char* ifname, const uint8_t* frame, size_t len);
