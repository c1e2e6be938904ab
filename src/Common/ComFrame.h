// Frame codec of the intercom bus: the bodies of the unit's frames and the decoding of received
// bytes. Bytes in, bytes out; the port, its rings and the echo handling are in TalkSerial.
//
// A frame is 0x02, nine body bytes, a checksum, 0x03. In orders and state replies every body
// value v goes out as v + 16, so no body byte can be taken for the start or end byte; the
// checksum is the sum of the nine body bytes as sent, OR 0x80.
#pragma once

#include <array>
#include <cstdint>

// Frame bytes 1..10: the nine body bytes as sent and the checksum.
using ComBody = std::array<uint8_t, 10>;

constexpr uint8_t kComOffset = 16;
constexpr uint8_t kComUnitSource = 5;       // the unit's source number on the bus
constexpr uint8_t kComStateReplyOrder = 17;
constexpr uint8_t kComCodingOrderMin = 32;  // orders above 31 are coding orders

uint8_t ComFrameChecksum(const uint8_t* body9);

// Received bytes are kept decoded: 16 off every byte of 16 or more.
inline uint8_t ComDecodeByte(uint8_t b)
{
    return b >= kComOffset ? static_cast<uint8_t>(b - kComOffset) : b;
}

// Four base-240 digits, lowest first (a digit + 16 still fits a byte and stays off 0x02/0x03).
std::array<uint8_t, 4> ComBase240Split(uint32_t n);
// The address of four decoded digits b0..b3.
uint32_t ComBase240Join(const uint8_t* digits);

// Talk order from the unit (source 5). In floor model the room digits of the unit's coding
// address ride in the high nibbles of bytes 7..9.
ComBody ComTalkOrderBody(uint8_t order, uint8_t value1, uint8_t value2, uint8_t target,
                         bool floorModel, uint32_t codingAddress);
// Coding order: order, then addresses A and B as base-240 digits.
ComBody ComCodingOrderBody(uint8_t order, uint32_t addressA, uint32_t addressB);
// Reply word of the device-state query: 0x0200 unless talking, 0x0501 + door while talking.
uint16_t ComDeviceStateWord(uint16_t systemMainState, uint8_t currentDoor);
// Device-state reply (order 17) to `source`, the word's four nibbles in bytes 2..5.
ComBody ComDeviceStateBody(uint16_t word, uint8_t source, bool floorModel, uint32_t codingAddress);
// Announce frame: raw bytes (no offset), kind 0 (0x33) or 1 (0x22), level by index 0..6 (any
// other index: level 0); byte 10 is 0x10 in place of a checksum.
ComBody ComAnnounceBody(uint8_t kind, uint8_t levelIndex);
