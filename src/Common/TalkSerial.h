// The intercom bus link: the serial port "/dev/ttyS2", the send path with its ring and echo
// check, the byte-wise receive state machine, and the System V queue through which any thread
// hands an order to the bus thread.
//
// Only the bus thread reads the port; it drives the link with TalkLinkPass. Frames may also be
// sent from the timer task (coding reply), so every function that touches the port records
// takes the link's lock.
#pragma once

#include "ComFrame.h"
#include "ComPort.h"

#include <cstdint>
#include <functional>

constexpr long kDoorCmdMsgType = 1239;

// The queue message: type 1239 and a 4-byte body (order, value 1, value 2, target).
struct DOOR_CMD_MSG_S {
    long MsgType;
    uint8_t Body[4];
};

// Sets up "/dev/ttyS2" (9600 8N1, raw) and keeps it open, and resets the port record.
// 0, or -1 when the port cannot be opened (the link then does no I/O).
int InitTalkSerial();
// Closes the port (tests, and a restart of the link).
void CloseTalkSerial();
// The open descriptor of the bus port, -1 when it is not open.
int TalkSerialFd();

// Writes the 12 bytes of a frame on the bus: 0, or 255 on failure.
int SerialWrite(int port, const uint8_t* frame12);
// Reads up to 12 bytes: the count, or -1 on error.
int SerialRead(int port, uint8_t* buf12);

// Sends frame bytes 1..10 (body and checksum): fills the next send-ring slot, keeps the copy
// for the echo drop and writes the frame once. The SerialWrite result.
int ComFrameSend(const uint8_t* body10, int port);
int SendTalkOrder(uint8_t order, uint8_t value1, uint8_t value2, uint8_t target);
int SendCodingOrder(uint8_t order, uint32_t addressA, uint32_t addressB, int port);
// Reply to a device-state query from `source`.
int SendDeviceState(uint8_t source);
// Announce frame (kind 0 or 1, level index, 255 = no level); starts the announce guard.
int SendAnnounceFrame(uint8_t kind, uint8_t levelIndex);

// Receive step for one byte heard on the bus.
void ComRecvByte(int port, uint8_t byte);
// Echo and line-busy bookkeeping, once per pass of the bus thread.
void ComLinkTick(int port);
// Takes the next frame of the receive ring: 1 and the decoded frame (byte 0 = 0), or 0.
int ComRecvFrame(uint8_t* frame12, int port);
// True when a fetched frame is the bus echo of one of the unit's own frames; each sent frame
// is dropped once.
bool ComEchoDrop(const uint8_t* frame12);

// Called by the receive step for a level frame from the bus (whole window, as heard); set by
// the board I/O. Runs outside the link's lock.
extern void (*gComLevelHandler)(const uint8_t* window12);

// Creates the bus thread's two queues (the second is the command queue). 0 or -1.
int TalkQueueInit();
// Removes both queues.
void TalkQueueRemove();
// Any thread: hands an order to the bus thread and wakes it. 0, or -1 when it could not be queued.
int PostTalkCommand(uint8_t order, uint8_t value1, uint8_t value2, uint8_t target);
// Any thread: a coding order; flag non-zero sends it to the calling station's address.
int PostCodingCommand(uint8_t order, uint8_t flag);
// Takes one queued order without waiting and sends it: 1 when one was sent, else 0.
int TalkCommandStep();

// One pass of the bus thread's link work: one queued order, a wait of up to `waitMs` for bytes
// (cut short by an order queued meanwhile, unless this pass has sent one), the receive step for
// what was read, the echo tick, then every frame in the receive ring that is not an echo of the
// unit's own is handed to `handle`. Returns the number handed on.
int TalkLinkPass(int waitMs, const std::function<void(const uint8_t* frame12)>& handle);
