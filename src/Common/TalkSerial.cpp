#include "TalkSerial.h"

#include "AppLog.h"
#include "AppState.h"
#include "DeviceState.h"
#include "platform/board_msgq.h"
#include "platform/board_path.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <termios.h>
#include <unistd.h>

void (*gComLevelHandler)(const uint8_t* window12) = nullptr;

namespace {

constexpr char kComDevice[kComPortCount][15] = {"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2"};
// Board queue numbers of the bus thread (the unit's ftok project ids).
constexpr int kQueueNumber2 = 123;
constexpr int kQueueNumberCmd = 127;
constexpr uint16_t kAnnounceGuardTicks = 100;
constexpr uint32_t kCodingDoorBase = 10000001;

std::mutex gLinkMutex;         // port records and last-sent copies
std::atomic<int> gBusFd{-1};   // -1: not open, no I/O

// Rung by every queued order, watched by the bus thread beside the port: the order queue itself
// cannot be polled, and an order must not wait out the bus thread's wait for bytes. Made once and
// kept open, since a poster may hold its number at any time; -1 when it could not be made (orders
// then wait for the end of the pass, as the unit did before).
int __WakeFd()
{
    static const int fd = [] {
        int made = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (made < 0) {
            APP_ERR("eventfd: %s", std::strerror(errno));
        }
        return made;
    }();
    return fd;
}

COM_PORT_REC_S* __Port(int port)
{
    if (port < 0 || port >= kComPortCount) {
        return nullptr;
    }
    return &gDeviceState.ComPort[port];
}

void __Advance(uint8_t& index)
{
    index = static_cast<uint8_t>((index + 1) % kComRingSlots);
}

void __FreeEchoSlot(COM_PORT_REC_S& p)
{
    p.SendRing[p.SendEchoIndex][0] = 0;
    __Advance(p.SendEchoIndex);
}

void __EchoComplete(COM_PORT_REC_S& p)
{
    p.EchoErrorCount = 0;
    p.EchoWait = 0;
    p.EndEchoSeen = 0;
    __FreeEchoSlot(p);
}

// Follows the frame under check byte by byte; only bookkeeping of the send ring hangs on it,
// never the delivery of frames.
void __EchoCheck(COM_PORT_REC_S& p, uint8_t byte)
{
    if (byte == p.ExpectedEcho) {
        p.ByteMatched = 1;
        if (byte == kComEnd) {
            p.EndEchoSeen = 1;
            __EchoComplete(p);
            return;
        }
        if (p.EchoCount < p.EchoLen - 1 && p.ByteMatched) {
            p.ByteMatched = 0;
            ++p.EchoCount;
            p.ExpectedEcho = p.EchoFrame[p.EchoCount];
        }
    } else if (byte == kComStart) {
        // The echo heard from its start byte: match again from the first body byte.
        p.EchoCount = 1;
        p.ExpectedEcho = p.EchoFrame[1];
    } else {
        p.EchoError = 1;
    }
}

void __StoreFrame(COM_PORT_REC_S& p)
{
    uint8_t* slot = p.RecvRing[p.RecvWriteIndex];
    if (slot[0] == 2) {
        return;  // ring full: the frame is dropped
    }
    for (int i = 1; i < kComFrameLen; ++i) {
        slot[i] = ComDecodeByte(p.Window[i]);
    }
    slot[0] = 2;
    __Advance(p.RecvWriteIndex);
}

// Returns true when the byte closed a level frame (the window then holds it).
bool __RecvByte(COM_PORT_REC_S& p, uint8_t byte)
{
    // Every byte is assembled, also while an echo is awaited: a station's frame that follows
    // the unit's own on the bus must not be lost to the echo check.
    if (p.EchoWait) {
        __EchoCheck(p, byte);
    }
    bool level = false;
    if (byte == kComStart) {
        p.WindowIndex = 0;
        p.InFrame = 1;
    } else if (byte == kComEnd) {
        // Only an end byte in the last place of a frame begun by 0x02 closes it; any other
        // would check (and deliver) what an earlier frame left in the window. The start byte
        // still in place 0 tells a frame from an over-long run whose index came round again.
        bool whole = p.InFrame && p.WindowIndex == kComFrameLen - 1 && p.Window[0] == kComStart;
        p.InFrame = 0;
        p.EndReceived = 1;
        p.LineBusyTimeout = kComBusyTimeout;
        if (whole) {
            p.Window[kComFrameLen - 1] = byte;
            level = p.Window[1] == 1 && (p.Window[3] != 0 || p.Window[4] != 0);
            if (ComFrameChecksum(&p.Window[1]) == p.Window[10]) {
                __StoreFrame(p);
            }
        }
        p.LineBusy = 0;
    }
    if (p.InFrame) {
        p.LineBusy = 1;
        p.LineBusyTimeout = kComBusyTimeout;
    }
    p.Window[p.WindowIndex] = byte;
    p.WindowIndex = static_cast<uint8_t>((p.WindowIndex + 1) % kComFrameLen);
    return level;
}

void __SetupPort(int fd)
{
    struct termios t = {};
    if (tcgetattr(fd, &t) != 0) {
        APP_ERR("tcgetattr: %s", std::strerror(errno));
        return;
    }
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~PARENB;
    t.c_iflag &= ~INPCK;
    t.c_iflag |= IGNPAR;
    t.c_cflag &= ~CSIZE;
    t.c_cflag |= CS8;
    t.c_cflag &= ~CSTOPB;
    t.c_cflag &= ~CRTSCTS;
    t.c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
    t.c_iflag &= ~(INLCR | ICRNL | IXON | IXOFF | IXANY);
    t.c_oflag &= ~OPOST;
    t.c_oflag = 0;
    t.c_lflag = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        APP_ERR("tcsetattr: %s", std::strerror(errno));
    }
}

int __OpenPort()
{
    return BoardOpen(kComDevice[kComBusPort], O_RDWR | O_NOCTTY | O_NONBLOCK);
}

// Waits up to waitMs for bytes on the port (fd < 0: none) or, when wakeFd is not -1, for a
// queued order: true when the port became readable.
bool __Wait(int fd, int wakeFd, int waitMs)
{
    struct pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};  // poll skips a negative fd
    if (poll(fds, 2, waitMs) <= 0) {
        return false;
    }
    if (fds[1].revents & POLLIN) {
        uint64_t rings = 0;
        ssize_t n = read(wakeFd, &rings, sizeof(rings));  // the queue, not the count, says what to send
        (void)n;
    }
    return fds[0].revents != 0;  // a hang-up or an error too: the read below tells
}

void __TraceRoom(const ComBody& body, uint32_t codingAddress)
{
    APP_DBG("CodingAddress(%d)  uTempOrderArray[6](%#x)  uTempOrderArray[7](%#x)  uTempOrderArray[8](%#x)",
            static_cast<int>(codingAddress), body[6], body[7], body[8]);
}

int __SendBody(const ComBody& body)
{
    return ComFrameSend(body.data(), kComBusPort);
}

}  // namespace

int InitTalkSerial()
{
    CloseTalkSerial();
    int fd = __OpenPort();
    if (fd < 0) {
        APP_ERR("HiSerial Can't Open Serial HiSerDevice");
        return -1;
    }
    __SetupPort(fd);
    close(fd);
    fd = __OpenPort();
    if (fd < 0) {
        APP_ERR("HiSerial Can't Open Serial HiSerDevice");
        return -1;
    }
    std::lock_guard<std::mutex> lock(gLinkMutex);
    gDeviceState.ComPort[kComBusPort] = COM_PORT_REC_S{};
    std::memset(gDeviceState.LastSent, 0, sizeof(gDeviceState.LastSent));
    gBusFd = fd;
    return 0;
}

void CloseTalkSerial()
{
    int fd = gBusFd.exchange(-1);
    if (fd >= 0) {
        close(fd);
    }
}

int TalkSerialFd()
{
    return gBusFd;
}

int SerialWrite(int, const uint8_t* frame12)
{
    int fd = gBusFd;
    ssize_t ret = -1;
    if (fd >= 0) {
        do {
            ret = write(fd, frame12, kComFrameLen);
        } while (ret < 0 && errno == EINTR);
    }
    if (ret == kComFrameLen) {
        APP_DBG("SerialWrite 0x%x", frame12[1]);
        return 0;
    }
    APP_ERR("s32Ret=%#x,fuc:%s,line:%d", static_cast<unsigned>(ret), __func__, __LINE__);
    return 255;
}

int SerialRead(int, uint8_t* buf12)
{
    int fd = gBusFd;
    if (fd < 0) {
        return -1;
    }
    ssize_t n = read(fd, buf12, kComFrameLen);
    return n < 0 ? -1 : static_cast<int>(n);
}

int ComFrameSend(const uint8_t* body10, int port)
{
    std::lock_guard<std::mutex> lock(gLinkMutex);
    COM_PORT_REC_S* p = __Port(port);
    if (p == nullptr) {
        return 255;
    }
    uint8_t* slot = p->SendRing[p->SendWriteIndex];
    slot[0] = kComStart;
    std::memcpy(slot + 1, body10, 10);
    slot[kComFrameLen - 1] = kComEnd;

    // Decoded like a received frame, so that the echo compares byte for byte.
    uint8_t* copy = gDeviceState.LastSent[gDeviceState.LastSentIndex];
    gDeviceState.LastSentIndex = static_cast<uint8_t>((gDeviceState.LastSentIndex + 1) % kComEchoPending);
    for (int i = 1; i < kComFrameLen - 1; ++i) {
        copy[i] = ComDecodeByte(slot[i]);
    }
    copy[kComFrameLen - 1] = kComEnd;
    // A frame the receiver rejects (the announce has no checksum) never comes back as one.
    copy[0] = ComFrameChecksum(body10) == body10[9] ? 2 : 0;

    int ret = SerialWrite(kComBusPort, slot);
    __Advance(p->SendWriteIndex);
    return ret;
}

int SendTalkOrder(uint8_t order, uint8_t value1, uint8_t value2, uint8_t target)
{
    bool floor = gAppState.FloorModel != 0;
    uint32_t coding = gDeviceState.CodingAddress;
    ComBody body = ComTalkOrderBody(order, value1, value2, target, floor, coding);
    if (floor) {
        __TraceRoom(body, coding);
    }
    APP_DBG("uOrder(%#x)  uVal1(%#x) uVal2(%#x) uTarget(%d)", order, value1, value2, target);
    return __SendBody(body);
}

int SendCodingOrder(uint8_t order, uint32_t addressA, uint32_t addressB, int port)
{
    ComBody body = ComCodingOrderBody(order, addressA, addressB);
    return ComFrameSend(body.data(), port);
}

int SendDeviceState(uint8_t source)
{
    bool floor = gAppState.FloorModel != 0;
    uint32_t coding = gDeviceState.CodingAddress;
    uint16_t word = ComDeviceStateWord(gDeviceState.SystemMainState, gCurrentDoor);
    ComBody body = ComDeviceStateBody(word, source, floor, coding);
    if (floor) {
        __TraceRoom(body, coding);
    }
    return __SendBody(body);
}

int SendAnnounceFrame(uint8_t kind, uint8_t levelIndex)
{
    int ret = __SendBody(ComAnnounceBody(kind, levelIndex));
    gDeviceState.AnnounceGuardTimer = kAnnounceGuardTicks;
    return ret;
}

void ComRecvByte(int port, uint8_t byte)
{
    uint8_t window[kComFrameLen];
    bool level = false;
    {
        std::lock_guard<std::mutex> lock(gLinkMutex);
        COM_PORT_REC_S* p = __Port(port);
        if (p == nullptr) {
            return;
        }
        level = __RecvByte(*p, byte);
        if (level) {
            std::memcpy(window, p->Window, sizeof(window));
        }
    }
    // The level handler pulses an output and waits; the link is not held meanwhile.
    if (level && gComLevelHandler != nullptr) {
        gComLevelHandler(window);
    }
}

void ComLinkTick(int port)
{
    std::lock_guard<std::mutex> lock(gLinkMutex);
    COM_PORT_REC_S* rec = __Port(port);
    if (rec == nullptr) {
        return;
    }
    COM_PORT_REC_S& p = *rec;
    gDeviceState.BusFree = 1;  // the bus is always taken as free
    if (p.EchoWait) {
        if (p.EchoTimeout == 0) {
            p.EchoWait = 0;
            p.EchoErrorCount = 0;
            __FreeEchoSlot(p);
        } else {
            --p.EchoTimeout;
        }
    }
    if (p.LineBusy) {
        if (p.LineBusyTimeout == 0) {
            p.LineBusy = 0;
        } else {
            --p.LineBusyTimeout;
        }
    }
    const uint8_t* slot = p.SendRing[p.SendEchoIndex];
    if (slot[0] == kComStart && !p.LineBusy && !p.EchoWait && gDeviceState.BusFree) {
        if (p.SendDelay == 0) {
            std::memcpy(p.EchoFrame, slot, kComFrameLen);
            p.EchoLen = kComFrameLen;
            p.EchoCount = 1;
            p.ByteMatched = 1;
            p.ExpectedEcho = p.EchoFrame[1];
            p.EchoTimeout = kComEchoTimeout;
            p.EchoWait = 1;
        } else {
            --p.SendDelay;
        }
    }
    if (p.EchoWait && p.EchoError) {
        // Another frame arriving while the echo is awaited is usual on a busy bus: the frame is
        // sent again.
        APP_DBG("error 0x%x 0x%x", p.EchoError, p.EchoWait);
        ++p.EchoErrorCount;
        p.EchoError = 0;
        p.EchoWait = 0;
        p.LineBusy = 0;
        if (p.EchoErrorCount > 2) {
            p.EchoErrorCount = 0;
            __FreeEchoSlot(p);
        }
    }
}

int ComRecvFrame(uint8_t* frame12, int port)
{
    std::lock_guard<std::mutex> lock(gLinkMutex);
    COM_PORT_REC_S* p = __Port(port);
    if (p == nullptr) {
        return 0;
    }
    uint8_t* slot = p->RecvRing[p->RecvReadIndex];
    if (slot[0] != 2) {
        return 0;
    }
    std::memcpy(frame12, slot, kComFrameLen);
    frame12[0] = 0;
    slot[0] = 0;
    __Advance(p->RecvReadIndex);
    return 1;
}

bool ComEchoDrop(const uint8_t* frame12)
{
    std::lock_guard<std::mutex> lock(gLinkMutex);
    for (auto& copy : gDeviceState.LastSent) {
        // The mark goes only with the echo it stands for: a station's frame fetched first must
        // not make the unit take its own echo for an order.
        if (copy[0] == 2 && frame12[0] == 0 && std::memcmp(copy + 1, frame12 + 1, 10) == 0) {
            copy[0] = 0;
            return true;
        }
    }
    return false;
}

int TalkQueueInit()
{
    // Once per start: the start-up makes the queues before its first order (the motion switch
    // at step 13 posts one before the bus thread runs), and the bus thread then finds them.
    if (gDeviceState.CmdQueueId >= 0) {
        return 0;
    }
    // Made anew: orders a killed run left in the queue must not reach this one.
    int q2 = BoardMsgQueueCreate(kQueueNumber2);
    int qCmd = BoardMsgQueueCreate(kQueueNumberCmd);
    if (q2 < 0 || qCmd < 0) {
        APP_ERR("msgget: %s", std::strerror(errno));
    }
    gDeviceState.MsgQueueId2 = q2;
    gDeviceState.CmdQueueId = qCmd;
    return qCmd < 0 ? -1 : 0;
}

void TalkQueueRemove()
{
    for (std::atomic<int>* id : {&gDeviceState.MsgQueueId2, &gDeviceState.CmdQueueId}) {
        int q = id->exchange(-1);
        if (q >= 0) {
            BoardMsgQueueRemove(q);
        }
    }
}

int PostTalkCommand(uint8_t order, uint8_t value1, uint8_t value2, uint8_t target)
{
    int id = gDeviceState.CmdQueueId;
    DOOR_CMD_MSG_S msg = {kDoorCmdMsgType, {order, value1, value2, target}};
    // Never blocks: a caller on a cloud or key thread must not hang on a stalled bus thread.
    if (id < 0 || BoardMsgQueueSend(id, &msg, sizeof(msg.Body), IPC_NOWAIT) != 0) {
        APP_ERR("order %u not queued: %s", order, id < 0 ? "no queue" : std::strerror(errno));
        return -1;
    }
    // After the message: a bus thread woken by the ring finds the order in the queue.
    int wake = __WakeFd();
    if (wake >= 0) {
        const uint64_t one = 1;
        ssize_t n = write(wake, &one, sizeof(one));
        (void)n;  // fails only when the count is full, and the bus thread is then awake anyway
    }
    return 0;
}

int PostCodingCommand(uint8_t order, uint8_t flag)
{
    return PostTalkCommand(order, 0, 0, flag);
}

int TalkCommandStep()
{
    int id = gDeviceState.CmdQueueId;
    if (id < 0) {
        return 0;
    }
    DOOR_CMD_MSG_S msg = {};
    // MSG_NOERROR: a longer message from elsewhere is cut to its body instead of blocking the
    // head of the queue for ever.
    if (BoardMsgQueueReceive(id, &msg, sizeof(msg.Body), 0, IPC_NOWAIT | MSG_NOERROR) < 0) {
        return 0;
    }
    uint8_t order = msg.Body[0];
    uint8_t target = msg.Body[3];
    if (order >= kComCodingOrderMin) {
        uint32_t coding = gDeviceState.CodingAddress;
        if (target != 0) {
            SendCodingOrder(order, gDeviceState.DoorAddress, coding, kComBusPort);
        } else {
            SendCodingOrder(order, kCodingDoorBase + coding / 10000 * 10000, coding, kComBusPort);
        }
    } else {
        SendTalkOrder(order, msg.Body[1], msg.Body[2], target);
    }
    return 1;
}

int TalkLinkPass(int waitMs, const std::function<void(const uint8_t* frame12)>& handle)
{
    // An order queued while the port is silent ends the wait, so it goes out at the start of the
    // next pass. A pass that has just sent one waits as before (for bytes or the time-out), so
    // orders queued together keep one pass between them on the bus.
    const int wake = TalkCommandStep() != 0 ? -1 : __WakeFd();
    int fd = gBusFd;
    if (__Wait(fd, wake, waitMs)) {
        uint8_t buf[kComFrameLen];
        int n = SerialRead(kComBusPort, buf);
        for (int i = 0; i < n; ++i) {
            ComRecvByte(kComBusPort, buf[i]);
        }
        if (n <= 0) {
            __Wait(-1, wake, waitMs);  // a hung-up line stays readable: do not spin on it
        }
    }
    ComLinkTick(kComBusPort);

    // Every frame already in the ring, not just one: a second frame must not wait for more
    // bytes to arrive.
    int handed = 0;
    uint8_t frame[kComFrameLen];
    while (ComRecvFrame(frame, kComBusPort) == 1) {
        if (ComEchoDrop(frame)) {
            continue;
        }
        if (handle) {
            handle(frame);
        }
        ++handed;
    }
    return handed;
}
