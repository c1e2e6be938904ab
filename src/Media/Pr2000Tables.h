// Register tables of the PR2000 analogue-HD decoder (constant data in Pr2000Tables.cpp).
//
// A register is named by a 16-bit key: page in the high byte, register in the low byte. A table
// is a run of rows ended by the key kPr2000TableEnd; writing it for mode index m writes each
// row's value for m to the row's register.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint16_t kPr2000TableEnd = 0xFFFF;
// Written with mask 0x0F in the standard and output tables: only its low four bits change.
constexpr uint16_t kPr2000MaskedKey = 0x00E0;

// A row of a table indexed by nothing: one value (the pad byte keeps the row's layout).
struct PR2000_REG_ONE_S {
    uint16_t Key;
    uint8_t Data;
    uint8_t Pad;
};

// A row with one value per mode index.
template <size_t N>
struct PR2000_REG_S {
    uint16_t Key;
    uint8_t Data[N];
};

using PR2000_REG4_S = PR2000_REG_S<4>;    // resolution codes 10 to 13, or 0 to 3 (standard 0)
using PR2000_REG6_S = PR2000_REG_S<6>;    // resolution codes 4 to 9
using PR2000_REG10_S = PR2000_REG_S<10>;  // resolution codes 0 to 9

constexpr int kPr2000StandardCount = 6;   // 0 to 5
constexpr int kPr2000ResolutionMax = 13;  // codes 0 to 13

extern const PR2000_REG_ONE_S* const gPr2000StartUpTable;
extern const PR2000_REG_ONE_S* const gPr2000LineDetectTable;
// Common tables 1 and 2: codes 0 to 9 (10 columns) and codes 10 to 13 (4 columns).
extern const PR2000_REG10_S* const gPr2000CommonLo[2];
extern const PR2000_REG4_S* const gPr2000CommonHi[2];
// Standard tables: standard 0 (codes 0 to 3); standards 1 to 5 (index standard - 1) for codes
// 4 to 9 and 10 to 13.
extern const PR2000_REG4_S* const gPr2000Std0;
extern const PR2000_REG6_S* const gPr2000StdLo[5];
extern const PR2000_REG4_S* const gPr2000StdHi[5];
// Output interface tables: standard 0; standards 1 to 5 with codes up to 9; with codes 10 to 13.
extern const PR2000_REG4_S* const gPr2000OutStd0;
extern const PR2000_REG6_S* const gPr2000OutLo;
extern const PR2000_REG4_S* const gPr2000OutHi;

// Clock phase tables: types 0 and 1 hold the values of registers 0xE3/0xE4, 0xE2 and 0xD8 for
// phases 0 to 15; types 2 and 3 one value (0xE3/0xE4) for phases 0 to 3.
extern const uint8_t gPr2000ClockPhase01[2][16][3];
extern const uint8_t gPr2000ClockPhase23[4];

// Rows of a table up to its end key (the end row not counted).
template <typename Row>
size_t Pr2000TableRows(const Row* table)
{
    size_t n = 0;
    while (table[n].Key != kPr2000TableEnd) {
        ++n;
    }
    return n;
}

// The tables' shapes as the decoder needs them: each family's row count, the end keys, and the
// format selector (page 0 register 0x10) and register 0x12 as the first two rows of every
// standard table that has rows. 0, or -1 with the first difference printed.
int Pr2000TablesCheck();
