#include "ComFrame.h"

namespace {

constexpr uint8_t kAnnounceMark = 0x55;
constexpr uint16_t kLevelTable[] = {50, 350, 850, 1850, 2850, 3850, 4850};
constexpr uint16_t kLevelBase = 150;

uint8_t __Off(unsigned v)
{
    return static_cast<uint8_t>(v + kComOffset);
}

void __SetChecksum(ComBody& body)
{
    body[9] = ComFrameChecksum(body.data());
}

// Bytes 7..9 of a talk order or state reply: target and source, with the room digits of the
// coding address in the high nibbles on a floor-model bus.
void __PackAddressing(ComBody& body, uint8_t target, bool floorModel, uint32_t codingAddress)
{
    unsigned d1000 = 0, d100 = 0, d10 = 0, d1 = 0;
    if (floorModel) {
        unsigned room = codingAddress % 10000;
        d1000 = room / 1000;
        d100 = room / 100 % 10;
        d10 = room / 10 % 10;
        d1 = room % 10;
    }
    body[6] = static_cast<uint8_t>((d1000 << 4) + target + kComOffset);
    body[7] = static_cast<uint8_t>((d100 << 4) + d10 + kComOffset);
    body[8] = static_cast<uint8_t>((d1 << 4) + kComUnitSource + kComOffset);
}

}  // namespace

uint8_t ComFrameChecksum(const uint8_t* body9)
{
    unsigned sum = 0;
    for (int i = 0; i < 9; ++i) {
        sum += body9[i];
    }
    return static_cast<uint8_t>((sum & 0xFF) | 0x80);
}

std::array<uint8_t, 4> ComBase240Split(uint32_t n)
{
    std::array<uint8_t, 4> digits{};
    for (uint8_t& d : digits) {
        d = static_cast<uint8_t>(n % 240);
        n /= 240;
    }
    return digits;
}

uint32_t ComBase240Join(const uint8_t* digits)
{
    return ((static_cast<uint32_t>(digits[3]) * 240 + digits[2]) * 240 + digits[1]) * 240 + digits[0];
}

ComBody ComTalkOrderBody(uint8_t order, uint8_t value1, uint8_t value2, uint8_t target,
                         bool floorModel, uint32_t codingAddress)
{
    ComBody body{};
    body.fill(kComOffset);
    body[0] = __Off(order);
    body[1] = __Off(value1);
    body[2] = __Off(value2);
    __PackAddressing(body, target, floorModel, codingAddress);
    __SetChecksum(body);
    return body;
}

ComBody ComCodingOrderBody(uint8_t order, uint32_t addressA, uint32_t addressB)
{
    ComBody body{};
    body[0] = __Off(order);
    auto a = ComBase240Split(addressA);
    auto b = ComBase240Split(addressB);
    for (int i = 0; i < 4; ++i) {
        body[1 + i] = __Off(a[i]);
        body[5 + i] = __Off(b[i]);
    }
    __SetChecksum(body);
    return body;
}

uint16_t ComDeviceStateWord(uint16_t systemMainState, uint8_t currentDoor)
{
    constexpr uint16_t kTalk = 0x0300;
    if ((systemMainState & 0xFF00) != kTalk) {
        return 0x0200;
    }
    return static_cast<uint16_t>(0x0501 + currentDoor);
}

ComBody ComDeviceStateBody(uint16_t word, uint8_t source, bool floorModel, uint32_t codingAddress)
{
    ComBody body{};
    body[0] = __Off(kComStateReplyOrder);
    body[1] = __Off(word >> 12 & 0x0F);
    body[2] = __Off(word >> 8 & 0x0F);
    body[3] = __Off(word >> 4 & 0x0F);
    body[4] = __Off(word & 0x0F);
    body[5] = kComOffset;
    __PackAddressing(body, source, floorModel, codingAddress);
    __SetChecksum(body);
    return body;
}

ComBody ComAnnounceBody(uint8_t kind, uint8_t levelIndex)
{
    unsigned level = 0;
    if (levelIndex < sizeof(kLevelTable) / sizeof(kLevelTable[0])) {
        level = kLevelTable[levelIndex] + kLevelBase;
    }
    uint8_t high = static_cast<uint8_t>(level >> 8);
    if (high == 0x03) {
        high = 0x04;  // 0x03 on the wire would end the frame early
    }
    ComBody body{};
    body[0] = 1;
    body[1] = kind == 0 ? 0x33 : 0x22;
    body[2] = high;
    body[3] = static_cast<uint8_t>(level & 0xFF);
    body[4] = static_cast<uint8_t>(body[1] + body[2] + body[3]);
    body[5] = kAnnounceMark;
    for (int i = 6; i < 10; ++i) {
        body[i] = kComOffset;
    }
    return body;
}
