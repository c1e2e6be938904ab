// The door station's own view of the intercom bus frames: built and checked here independently
// of the unit's link code, so that a fault on either side shows as a disagreement.
//
// Frame: 0x02, nine body bytes, checksum, 0x03. Orders and state replies carry every body value
// plus 16; the checksum is the sum of the nine body bytes as sent, OR 0x80. Announce and level
// frames carry raw bytes (body byte 1 is 1) and 0x10 in place of the checksum.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace doorstation {

using Bytes = std::vector<uint8_t>;

constexpr size_t kFrameLen = 12;

// Talk order from a bus station with the given source number.
Bytes TalkFrame(unsigned order, unsigned value1, unsigned value2, unsigned target, unsigned source);
// Coding order: addresses A and B as four base-240 digits each, lowest first.
Bytes CodingFrame(unsigned order, uint32_t addressA, uint32_t addressB);
// Level (announce) frame: kind 0 or 1 and a level value.
Bytes LevelFrame(unsigned kind, unsigned level);

// One line for a frame: decoded when it is well formed ("talk order 8 value1 0 value2 1
// target 0 source 5"), else what is wrong with it; the bytes follow in brackets.
std::string DescribeFrame(const Bytes& frame);
std::string Hex(const Bytes& bytes);

// Cuts the byte stream of the bus into frames: a frame starts at 0x02 and ends after 12 bytes;
// bytes outside a frame, or a frame cut short by a new 0x02, come out as they are.
class FrameSplitter {
public:
    std::optional<Bytes> Push(uint8_t byte);

private:
    Bytes mBuf;
};

}  // namespace doorstation
