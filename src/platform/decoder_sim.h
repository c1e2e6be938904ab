// The simulated PR2000 video decoder on I2C bus 1 at 0x5C, and its controls for tests and
// simulators (the application only talks to it over the bus).
//
// Registers: 256 per page; writing register 0xFF (of any page) selects the page that later
// accesses go to. What the decoder detects on its input is the camera's signal: page 0 register
// 0x00 is the status (bits 0-2 format, 3 lock, 4-5 frame rate, 6-7 standard), registers 0x01 and
// 0x02 tell the standards apart. The signal is scripted with BoardDecoderSetSignal or by
// replacing "<root>/.board/decoder" ("STATUS REG01 REG02" in hexadecimal; the door-station
// simulator's `camera` command writes it); without either a locked 1920x1080 camera at 25 frames
// is connected ("8b 00 04").
//
// The picture the decoder puts out follows what the unit programs: the low two bits of the
// format selector (page 0 register 0x10) give 720x240, 720x288, 1280x720 or 1920x1080. Each
// change is handed to the output listener; the simulated media layer sizes its camera picture
// with it, so a format the unit applies really changes the picture.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

constexpr uint8_t kBoardDecoderAddress = 0x5C;
constexpr uint8_t kBoardDecoderDefaultStatus = 0x8B;  // 1920x1080, locked, 25 fps, standard bits 2
constexpr uint8_t kBoardDecoderDefaultReg02 = 0x04;   // with bits 2: the start-up standard 3

struct BoardDecoderWrite {
    uint8_t Page;
    uint8_t Reg;
    uint8_t Value;
};

// The camera's signal as the decoder detects it (also written to "<root>/.board/decoder").
void BoardDecoderSetSignal(uint8_t status, uint8_t reg01 = 0, uint8_t reg02 = kBoardDecoderDefaultReg02);
// Any register as the chip holds it now (e.g. the line-detection inputs 0x91 and 0x99 of page 0).
uint8_t BoardDecoderRegister(uint8_t page, uint8_t reg);
void BoardDecoderSetRegister(uint8_t page, uint8_t reg, uint8_t value);
// Register writes of the unit in order (the newest 8192), page latch writes included.
std::vector<BoardDecoderWrite> BoardDecoderWrites();
void BoardDecoderClearWrites();
// Called with every new output size (nullptr: none). Kept over BoardDevReset.
void BoardDecoderOnOutput(std::function<void(uint16_t width, uint16_t height)> listener);
