// Control of the PR2000 analogue-HD video decoder (I2C bus 1, address 0x5C): register pages,
// the register tables per standard and resolution, output interface and clock, the door camera
// input, reset, and the format watch that follows the camera's signal.
#pragma once

#include <cstdint>

constexpr int kPr2000Bus = 1;
constexpr uint8_t kPr2000Address = 0x5C;

// What SetPr2000Mode programs.
struct PR2000_MODE_S {
    uint32_t Standard;       // 0 to 5
    uint32_t Resolution;     // written by the format watch, not read by SetPr2000Mode
    uint32_t OutResolution;  // the mode index used for the tables (resolution code 0 to 13)
};

// Output configuration of the decoder, one per pixel clock.
struct PR2000_OUT_CFG_S {
    uint8_t Tag;          // 0xBE
    uint8_t Enable;       // 1
    uint8_t Interface;    // 0 parallel, 2 or 4 MIPI lanes
    uint8_t DataMode;     // 0
    uint8_t MuxOutput;    // multiplexed output (0)
    uint8_t ClockDrive;   // 1: low two bits of page 0 register 0xE2
    uint8_t ClockInvert;  // 1
    uint8_t ClockSelect;  // 0 148 MHz, 1 74 MHz, 2 36 MHz, 3 27 MHz
    uint8_t PhaseMux;
    uint8_t Phase148;
    uint8_t Phase74;
    uint8_t Phase36;
    uint8_t Phase27;
};

extern const PR2000_OUT_CFG_S gPr2000Out148;  // output codes 8, 9 and the start
extern const PR2000_OUT_CFG_S gPr2000Out74;   // codes 6, 7
extern const PR2000_OUT_CFG_S gPr2000Out36;   // codes 0, 1
constexpr uint32_t kPr2000StartStandard = 3;

// Every wait of the decoder control (reset, line detection, the watch's 500 ms); tests put their
// own in (it is given the milliseconds).
extern void (*gPr2000Sleep)(uint32_t ms);

// Chip access. One decoder lock is held across a page select and the access that follows it (and
// across the read and write of a masked write), so another thread never moves the page between.
// A negative page leaves the page as it is.
uint8_t Pr2000ReadReg(uint8_t reg);  // the value, or 1 when the read fails
int Pr2000WriteReg(uint8_t reg, uint8_t value);
// 0, or -1 when out is null. A failed page select or read gives 1 in `out` (and still 0).
int Pr2000PageRead(int page, uint8_t reg, uint8_t* out);
int Pr2000PageWrite(int page, uint8_t reg, uint8_t value);
// Only the bits of `mask` change; a failed read writes nothing (-1).
int Pr2000PageMaskWrite(int page, uint8_t reg, uint8_t mask, uint8_t value);
// The page select alone (0 for a negative page, which selects nothing), or the write's result.
int Pr2000PageSelect(int page);
// A second plain write, as Pr2000WriteReg: on the page selected last.
int Pr2000PlainWrite(uint8_t reg, uint8_t value);
// A paged read of the bits of `mask` only: *out = value & mask (a failed read gives 1 & mask).
// 0, or -1 when out is null.
int Pr2000PageMaskRead(int page, uint8_t reg, uint8_t mask, uint8_t* out);

// Common and standard tables, output interface and the 0x54 latch for a standard (0 to 5) and
// resolution code (0 to 13). A standard and code whose table has no column for the code (standard
// 0 takes codes 0 to 3 only, standards 1 to 5 codes 4 to 13) is refused before anything is
// written. 0, or the first failure.
int Pr2000SetStandard(uint32_t standard, uint32_t resolution);
// Output interface table for the standard and code; with start 0 only the message. 0 or failure.
int Pr2000SetOutput(uint8_t interface, int start, uint32_t standard, uint32_t resolution);
int Pr2000SetOutputClock(const PR2000_OUT_CFG_S* cfg);
// type 0 and 1 take phases 0 to 15, types 2 and 3 phases 0 to 3; anything else -1.
int Pr2000SetClockPhase(uint32_t type, uint32_t phase);
// Page 0 register 0xF8 := 0x7F, 150 ms, := 0x00.
int Pr2000Reset();
// Start-up table, standard 3 with code 9, the 148 MHz output, line detection. 0 or the first
// negative result; -1 when the tables are not as the decoder needs them.
int Pr2000Start();

// Programs the decoder for m->Standard and m->OutResolution (codes 0, 1, 6 to 9; other codes do
// nothing). Results are not reported: a failed mode is retried when the format changes again.
void SetPr2000Mode(const PR2000_MODE_S* m);
// Door camera 0 or 1: control line 46 := !door, page 0 register 0x14 bits 0-1 := 3 (door 1) or 1.
void SetPr2000Input(uint32_t door);

// The format watch: decoder start, then a poll every 500 ms until it is stopped.
void* SensorFmtThread(void* arg);
// Starts the watch's thread unless it runs already (SysInit): 0 or the thread-creation error.
int SensorFmtStart();
// Ends the watch and waits for its thread (the media tests, which drive the record themselves);
// nothing when it does not run.
void SensorFmtStop();
// One poll: frame rate, format and lock from the status register; a new format re-programs the
// decoder and reports the size to the video chain (VideoApplyInputSize), which rebuilds when it
// changed; more than 10 polls in a row without lock reset the decoder.
void SensorFmtPass();
// 1 while a new format is being applied.
uint8_t GetVideoFmtChanging();
// Polls in a row without lock (0: video present).
uint8_t GetVideoLoss();
