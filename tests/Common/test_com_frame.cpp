// The bus frame codec: golden frames of the unit's orders, replies and announce frames.
#include "ComFrame.h"
#include "talk_test_util.h"

#include <gtest/gtest.h>

namespace {

std::string FrameHex(const ComBody& body)
{
    ByteVec f = {kComStart};
    f.insert(f.end(), body.begin(), body.end());
    f.push_back(kComEnd);
    return ToHex(f.data(), f.size());
}

struct GoldenRow {
    const char* what;
    ComBody body;
    const char* frame;
};

}  // namespace

TEST(ComFrame, GoldenFrames)
{
    const GoldenRow rows[] = {
        {"talk order 8, value2 1, target 0", ComTalkOrderBody(8, 0, 1, 0, false, 0),
         "02 18 10 11 10 10 10 10 10 15 9E 03"},
        {"outside floor model the coding address stays off the frame", ComTalkOrderBody(8, 0, 1, 0, false, 1234),
         "02 18 10 11 10 10 10 10 10 15 9E 03"},
        {"floor model packs room 1234 into bytes 7..9", ComTalkOrderBody(8, 0, 1, 0, true, 51234),
         "02 18 10 11 10 10 10 20 33 55 91 03"},
        {"coding order 46, addresses 0 and 0", ComCodingOrderBody(46, 0, 0), "02 3E 10 10 10 10 10 10 10 10 BE 03"},
        {"coding order 42 to the door base of room 1234", ComCodingOrderBody(42, 10000001, 1234),
         "02 3A B1 A2 BD 10 32 15 10 10 C1 03"},
        {"state reply, not talking, to source 3", ComDeviceStateBody(0x0200, 3, false, 0),
         "02 21 10 12 10 10 10 13 10 15 AB 03"},
        {"state reply, talking on door 1", ComDeviceStateBody(0x0502, 0, false, 0),
         "02 21 10 15 10 12 10 10 10 15 AD 03"},
        {"state reply in floor model, room 9009, source 3", ComDeviceStateBody(0x0200, 3, true, 9009),
         "02 21 10 12 10 10 10 A3 10 A5 CB 03"},
        {"announce at start: kind 0, no level", ComAnnounceBody(0, 255), "02 01 33 00 00 33 55 10 10 10 10 03"},
        {"announce level index 7 is level 0", ComAnnounceBody(0, 7), "02 01 33 00 00 33 55 10 10 10 10 03"},
        {"announce kind 1, level 200", ComAnnounceBody(1, 0), "02 01 22 00 C8 EA 55 10 10 10 10 03"},
        {"level 1000 goes out with high byte 4", ComAnnounceBody(0, 2), "02 01 33 04 E8 1F 55 10 10 10 10 03"},
        {"level 5000", ComAnnounceBody(0, 6), "02 01 33 13 88 CE 55 10 10 10 10 03"},
    };
    for (const GoldenRow& r : rows) {
        EXPECT_EQ(r.frame, FrameHex(r.body)) << r.what;
    }
}

TEST(ComFrame, Base240Digits)
{
    struct {
        uint32_t n;
        std::array<uint8_t, 4> digits;
    } rows[] = {
        {10000001, {161, 146, 173, 0}},
        {0, {0, 0, 0, 0}},
        {239, {239, 0, 0, 0}},
        {240, {0, 1, 0, 0}},
        {1234, {34, 5, 0, 0}},
        {240u * 240 * 240 * 240 - 1, {239, 239, 239, 239}},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.digits, ComBase240Split(r.n)) << r.n;
        EXPECT_EQ(r.n, ComBase240Join(r.digits.data())) << r.n;
    }
}

TEST(ComFrame, StateWordFollowsTheTalkState)
{
    struct {
        uint16_t state;
        uint8_t door;
        uint16_t word;
    } rows[] = {
        {0x0000, 0, 0x0200}, {0x0101, 0, 0x0200}, {0x0202, 1, 0x0200}, {0x0500, 0, 0x0200},
        {0x0301, 0, 0x0501}, {0x0302, 1, 0x0502},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.word, ComDeviceStateWord(r.state, r.door)) << std::hex << r.state;
    }
}

TEST(ComFrame, BodyBytesNeverLookLikeStartOrEnd)
{
    // Every talk order with every value and floor room keeps its body off 0x02/0x03.
    for (unsigned order = 0; order < 32; ++order) {
        for (unsigned v = 0; v < 240; v += 7) {
            for (uint32_t room : {0u, 9999u, 1090u}) {
                ComBody b = ComTalkOrderBody(order, v, v, 5, room != 0, room);
                for (uint8_t byte : b) {
                    ASSERT_GE(byte, 0x10) << order << " " << v << " " << room;
                }
            }
        }
    }
}
