// Register tables of the PR2000 decoder, in the families and sizes the decoder control writes.
//
// The start-up, line-detection, output-interface and clock-phase tables are complete. The common
// and standard tables (755 rows) are the decoder vendor's settings: here they hold the rows we
// know (the format selector and register 0x12 of every standard table, the first two rows of
// common table 1) and placeholder rows for the rest, which a product build replaces with the
// vendor's rows. A placeholder row writes 0 to a register of page 2 (common table 1: page 1 from
// 0x82 on, common table 2: page 1 from 0xC0 on), so it never touches a register the unit relies on.
#include "Pr2000Tables.h"

#include "Common/AppLog.h"

#include <array>
#include <initializer_list>

namespace {

// A table of `Rows` rows: the given ones first, then placeholders with keys counting up from
// `placeholderKey`, then the end row.
template <typename Row, size_t Rows>
constexpr std::array<Row, Rows + 1> __Table(std::initializer_list<Row> given, uint16_t placeholderKey)
{
    std::array<Row, Rows + 1> t{};
    size_t i = 0;
    for (const Row& r : given) {
        t[i++] = r;
    }
    for (uint16_t key = placeholderKey; i < Rows; ++i, ++key) {
        t[i] = Row{};
        t[i].Key = key;
    }
    t[Rows] = Row{};
    t[Rows].Key = kPr2000TableEnd;
    return t;
}

// A row whose columns all hold one value.
template <size_t N>
constexpr PR2000_REG_S<N> __Same(uint16_t key, uint8_t value)
{
    PR2000_REG_S<N> r{key, {}};
    for (size_t i = 0; i < N; ++i) {
        r.Data[i] = value;
    }
    return r;
}

// Format selector (page 0 register 0x10) of standards 1 to 5 for codes 4 to 9: the low bits pick
// the picture format, the high bits the standard.
constexpr uint8_t kSelectorLow[6] = {0x32, 0x22, 0x12, 0x02, 0x13, 0x03};
constexpr uint8_t kSelectorHigh[5] = {0x00, 0x40, 0x80, 0xC0, 0xC8};

constexpr PR2000_REG6_S __SelectorLo(int std)
{
    PR2000_REG6_S r{0x0010, {}};
    for (int i = 0; i < 6; ++i) {
        r.Data[i] = static_cast<uint8_t>(kSelectorLow[i] | kSelectorHigh[std - 1]);
    }
    return r;
}

// Codes 10 to 13: the vendor's selector values are not known here; the standard's high bits
// stand in for them.
constexpr PR2000_REG4_S __SelectorHi(int std)
{
    return __Same<4>(0x0010, kSelectorHigh[std - 1]);
}

constexpr uint16_t kStdPlaceholder = 0x0200;

template <size_t Rows>
constexpr auto __StdLo(int std)
{
    return __Table<PR2000_REG6_S, Rows>({__SelectorLo(std), __Same<6>(0x0012, 0)}, kStdPlaceholder);
}

template <size_t Rows>
constexpr auto __StdHi(int std)
{
    return __Table<PR2000_REG4_S, Rows>({__SelectorHi(std), __Same<4>(0x0012, 0)}, kStdPlaceholder);
}

constexpr auto kStartUp = __Table<PR2000_REG_ONE_S, 65>(
    {
        {0x0011, 0x00, 0}, {0x0013, 0x00, 0}, {0x0014, 0x21, 0}, {0x0015, 0x44, 0}, {0x0016, 0x0D, 0},
        {0x00E1, 0x00, 0}, {0x00E2, 0x18, 0}, {0x00E3, 0x00, 0}, {0x00E4, 0x00, 0}, {0x00D0, 0x30, 0},
        {0x00D1, 0x08, 0}, {0x00D2, 0x21, 0}, {0x00D3, 0x00, 0}, {0x00D8, 0x37, 0}, {0x00D9, 0x08, 0},
        {0x00DA, 0x21, 0}, {0x00F1, 0x44, 0}, {0x00F2, 0x01, 0}, {0x0100, 0xE4, 0}, {0x0101, 0x61, 0},
        {0x0102, 0x00, 0}, {0x0103, 0x56, 0}, {0x0104, 0x0C, 0}, {0x0105, 0x88, 0}, {0x0106, 0x04, 0},
        {0x0107, 0xB2, 0}, {0x0108, 0x44, 0}, {0x0109, 0x34, 0}, {0x010A, 0x02, 0}, {0x010B, 0x14, 0},
        {0x010C, 0x04, 0}, {0x010D, 0x08, 0}, {0x010E, 0x5E, 0}, {0x010F, 0x5E, 0}, {0x012C, 0x00, 0},
        {0x012D, 0x00, 0}, {0x012E, 0x00, 0}, {0x012F, 0x00, 0}, {0x0130, 0x00, 0}, {0x0131, 0x00, 0},
        {0x0132, 0xC0, 0}, {0x013B, 0x02, 0}, {0x013C, 0x01, 0}, {0x014F, 0x00, 0}, {0x0151, 0x28, 0},
        {0x0152, 0x40, 0}, {0x0153, 0x0C, 0}, {0x0154, 0x0F, 0}, {0x0155, 0x8D, 0}, {0x0170, 0x06, 0},
        {0x0171, 0x08, 0}, {0x0172, 0x0A, 0}, {0x0173, 0x0C, 0}, {0x0174, 0x0E, 0}, {0x0175, 0x10, 0},
        {0x0176, 0x12, 0}, {0x0177, 0x14, 0}, {0x0178, 0x06, 0}, {0x0179, 0x08, 0}, {0x017A, 0x0A, 0},
        {0x017B, 0x0C, 0}, {0x017C, 0x0E, 0}, {0x017D, 0x10, 0}, {0x017E, 0x12, 0}, {0x017F, 0x14, 0},
    },
    0);

constexpr auto kLineDetect = __Table<PR2000_REG_ONE_S, 12>(
    {
        {0x0080, 0x00, 0}, {0x0081, 0x0E, 0}, {0x0082, 0x0D, 0}, {0x0084, 0x30, 0},
        {0x008A, 0x00, 0}, {0x0090, 0xBF, 0}, {0x0091, 0xD8, 0}, {0x0092, 0x00, 0},
        {0x0094, 0xFF, 0}, {0x0095, 0xFF, 0}, {0x0096, 0xFF, 0}, {0x0087, 0x00, 0},
    },
    0);

constexpr auto kCommon1Lo = __Table<PR2000_REG10_S, 60>({__Same<10>(0x0180, 0x00), __Same<10>(0x0181, 0x09)}, 0x0182);
constexpr auto kCommon2Lo = __Table<PR2000_REG10_S, 7>({}, 0x01C0);
constexpr auto kCommon1Hi = __Table<PR2000_REG4_S, 60>({__Same<4>(0x0180, 0x00), __Same<4>(0x0181, 0x09)}, 0x0182);
constexpr auto kCommon2Hi = __Table<PR2000_REG4_S, 8>({}, 0x01C0);

constexpr auto kStd0 = __Table<PR2000_REG4_S, 63>(
    {PR2000_REG4_S{0x0010, {0x30, 0x21, 0x30, 0x21}}, __Same<4>(0x0012, 0)}, kStdPlaceholder);
constexpr auto kStd1Lo = __StdLo<62>(1);
constexpr auto kStd2Lo = __StdLo<62>(2);
constexpr auto kStd3Lo = __StdLo<62>(3);
constexpr auto kStd4Lo = __StdLo<63>(4);
constexpr auto kStd5Lo = __StdLo<63>(5);
constexpr auto kStd1Hi = __StdHi<61>(1);
constexpr auto kStd2Hi = __StdHi<61>(2);
constexpr auto kStd3Hi = __StdHi<61>(3);
constexpr auto kStd4Hi = __Table<PR2000_REG4_S, 0>({}, 0);  // standard 4 has no table for these codes
constexpr auto kStd5Hi = __StdHi<62>(5);

constexpr auto kOutStd0 = __Table<PR2000_REG4_S, 6>(
    {__Same<4>(0x0047, 0x36), __Same<4>(0x00EA, 0x01), __Same<4>(0x00EB, 0xFF), __Same<4>(0x0040, 0x00),
     __Same<4>(0x004E, 0x3F), __Same<4>(0x01BB, 0x10)},
    0);
constexpr auto kOutLo = __Table<PR2000_REG6_S, 6>(
    {__Same<6>(0x0047, 0x3A), __Same<6>(0x00EA, 0x01), __Same<6>(0x00EB, 0xFF), __Same<6>(0x0040, 0x00),
     __Same<6>(0x004E, 0x3F), __Same<6>(0x01BB, 0x00)},
    0);
constexpr auto kOutHi = __Table<PR2000_REG4_S, 8>(
    {__Same<4>(0x0047, 0x03), __Same<4>(0x0040, 0x00), __Same<4>(0x004E, 0x00), __Same<4>(0x00E8, 0x00),
     __Same<4>(0x00E9, 0x00), __Same<4>(0x00EA, 0x01), __Same<4>(0x00EB, 0xFF), __Same<4>(0x01BB, 0x00)},
    0);

// Row counts of the families, as the decoder's set-up expects them.
template <typename Row>
bool __Rows(const char* name, const Row* table, size_t rows)
{
    size_t n = Pr2000TableRows(table);
    if (n != rows) {
        APP_ERR("decoder table %s: %zu rows, expected %zu", name, n, rows);
        return false;
    }
    return true;
}

// The format selector and register 0x12 lead every standard table that has rows.
template <typename Row>
bool __Leads(const char* name, const Row* table)
{
    if (table[0].Key == kPr2000TableEnd) {
        return true;
    }
    if (table[0].Key != 0x0010 || table[1].Key != 0x0012) {
        APP_ERR("decoder table %s: starts with 0x%04x 0x%04x, expected 0x0010 0x0012", name, table[0].Key,
                table[1].Key);
        return false;
    }
    return true;
}

}  // namespace

const PR2000_REG_ONE_S* const gPr2000StartUpTable = kStartUp.data();
const PR2000_REG_ONE_S* const gPr2000LineDetectTable = kLineDetect.data();
const PR2000_REG10_S* const gPr2000CommonLo[2] = {kCommon1Lo.data(), kCommon2Lo.data()};
const PR2000_REG4_S* const gPr2000CommonHi[2] = {kCommon1Hi.data(), kCommon2Hi.data()};
const PR2000_REG4_S* const gPr2000Std0 = kStd0.data();
const PR2000_REG6_S* const gPr2000StdLo[5] = {kStd1Lo.data(), kStd2Lo.data(), kStd3Lo.data(), kStd4Lo.data(),
                                              kStd5Lo.data()};
const PR2000_REG4_S* const gPr2000StdHi[5] = {kStd1Hi.data(), kStd2Hi.data(), kStd3Hi.data(), kStd4Hi.data(),
                                              kStd5Hi.data()};
const PR2000_REG4_S* const gPr2000OutStd0 = kOutStd0.data();
const PR2000_REG6_S* const gPr2000OutLo = kOutLo.data();
const PR2000_REG4_S* const gPr2000OutHi = kOutHi.data();

const uint8_t gPr2000ClockPhase01[2][16][3] = {
    {
        {0x00, 0x10, 0x00}, {0x00, 0x10, 0x01}, {0x00, 0x10, 0x02}, {0x00, 0x10, 0x03},
        {0x00, 0x00, 0x04}, {0x00, 0x00, 0x05}, {0x00, 0x00, 0x06}, {0x00, 0x00, 0x07},
        {0x08, 0x10, 0x00}, {0x08, 0x10, 0x01}, {0x08, 0x10, 0x02}, {0x08, 0x10, 0x03},
        {0x08, 0x00, 0x04}, {0x08, 0x00, 0x05}, {0x08, 0x00, 0x06}, {0x08, 0x00, 0x07},
    },
    {
        {0x19, 0x30, 0x01}, {0x19, 0x30, 0x03}, {0x19, 0x20, 0x05}, {0x19, 0x20, 0x07},
        {0x10, 0x30, 0x01}, {0x10, 0x30, 0x03}, {0x10, 0x20, 0x05}, {0x10, 0x20, 0x07},
        {0x18, 0x30, 0x01}, {0x18, 0x30, 0x03}, {0x18, 0x20, 0x05}, {0x18, 0x20, 0x07},
        {0x11, 0x30, 0x01}, {0x11, 0x30, 0x03}, {0x11, 0x20, 0x05}, {0x11, 0x20, 0x07},
    },
};
const uint8_t gPr2000ClockPhase23[4] = {0x34, 0x35, 0x36, 0x37};

int Pr2000TablesCheck()
{
    static const size_t kStdLoRows[5] = {62, 62, 62, 63, 63};
    static const size_t kStdHiRows[5] = {61, 61, 61, 0, 62};
    bool ok = __Rows("start-up", gPr2000StartUpTable, 65) && __Rows("line detection", gPr2000LineDetectTable, 12) &&
              __Rows("common 1 (codes 0-9)", gPr2000CommonLo[0], 60) &&
              __Rows("common 2 (codes 0-9)", gPr2000CommonLo[1], 7) &&
              __Rows("common 1 (codes 10-13)", gPr2000CommonHi[0], 60) &&
              __Rows("common 2 (codes 10-13)", gPr2000CommonHi[1], 8) && __Rows("standard 0", gPr2000Std0, 63) &&
              __Leads("standard 0", gPr2000Std0) && __Rows("output standard 0", gPr2000OutStd0, 6) &&
              __Rows("output codes 0-9", gPr2000OutLo, 6) && __Rows("output codes 10-13", gPr2000OutHi, 8);
    for (int i = 0; ok && i < 5; ++i) {
        ok = __Rows("standard (codes 4-9)", gPr2000StdLo[i], kStdLoRows[i]) &&
             __Rows("standard (codes 10-13)", gPr2000StdHi[i], kStdHiRows[i]) &&
             __Leads("standard (codes 4-9)", gPr2000StdLo[i]) && __Leads("standard (codes 10-13)", gPr2000StdHi[i]);
    }
    return ok ? 0 : -1;
}
