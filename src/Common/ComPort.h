// Records of the intercom bus link: one per serial port, and the copies of the frames the unit
// sent last (byte 0: 2 while the frame's echo is awaited, else 0; bytes 1..10 decoded like a
// received frame; byte 11 the end byte). They live in gDeviceState; only the link's functions
// (TalkSerial.h) touch them, under the link's own lock.
#pragma once

#include <cstdint>

constexpr int kComFrameLen = 12;     // 0x02, nine body bytes, checksum, 0x03
constexpr int kComRingSlots = 10;    // slots of the send and receive rings
constexpr int kComPortCount = 3;     // "/dev/ttyS0" .. "/dev/ttyS2"
constexpr int kComBusPort = 2;       // the bus is on "/dev/ttyS2"
constexpr uint32_t kComBusyTimeout = 900;  // passes
constexpr uint32_t kComEchoTimeout = 900;  // passes
constexpr uint32_t kComSendDelay = 3;      // passes before the first echo check
// Own frames whose echo may still be on its way: at 9600 baud a frame takes 12.5 ms on the
// wire, so the next order can go out before the echo of the previous one is back.
constexpr int kComEchoPending = 4;

constexpr uint8_t kComStart = 0x02;
constexpr uint8_t kComEnd = 0x03;

struct COM_PORT_REC_S {
    uint8_t SendRing[kComRingSlots][kComFrameLen] = {};  // byte 0 == 0x02: slot occupied
    uint8_t RecvRing[kComRingSlots][kComFrameLen] = {};  // byte 0 == 2: filled, 1..11 decoded

    // Echo check of the frame at the send echo index.
    uint8_t EchoWait = 0;
    uint8_t EndEchoSeen = 0;
    uint8_t EchoError = 0;
    uint8_t EchoCount = 0;     // bytes of the frame matched so far (the start byte counts)
    uint8_t EchoLen = 0;
    uint8_t EchoFrame[kComFrameLen] = {};
    uint8_t ByteMatched = 0;
    uint8_t EchoErrorCount = 0;
    uint32_t EchoTimeout = kComEchoTimeout;
    uint8_t ExpectedEcho = 0;

    uint8_t LineBusy = 0;
    uint8_t EndReceived = 0;

    uint8_t Window[kComFrameLen] = {};  // bytes as heard, 0x02 at index 0
    uint8_t WindowIndex = 0;

    uint32_t LineBusyTimeout = kComBusyTimeout;

    uint8_t RecvWriteIndex = 0;
    uint8_t RecvReadIndex = 0;
    uint8_t SendEchoIndex = 0;
    uint8_t SendWriteIndex = 0;

    uint8_t InFrame = 0;
    uint32_t SendDelay = kComSendDelay;
};
