// The bus link without a bus station: the receive state machine, the echo handling, the send
// ring, the port set-up on a pseudo-terminal and the command queue.
#include "AppState.h"
#include "TimeTask.h"
#include "platform/board_msgq.h"
#include "talk_test_util.h"

#include <atomic>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/msg.h>
#include <termios.h>
#include <thread>

using namespace std::chrono_literals;

namespace {

COM_PORT_REC_S& Port()
{
    return gDeviceState.ComPort[kComBusPort];
}

void Feed(const ByteVec& bytes)
{
    for (uint8_t b : bytes) {
        ComRecvByte(kComBusPort, b);
    }
}

// A station's talk order as it goes on the wire.
ByteVec StationFrame(uint8_t order, uint8_t value1, uint8_t source = 1)
{
    ComBody b = ComTalkOrderBody(order, value1, 0, 0, false, 0);
    b[8] = static_cast<uint8_t>(source + 16);
    b[9] = ComFrameChecksum(b.data());
    ByteVec f = {kComStart};
    f.insert(f.end(), b.begin(), b.end());
    f.push_back(kComEnd);
    return f;
}

std::vector<Frame12> FetchAll()
{
    std::vector<Frame12> out;
    Frame12 f;
    while (ComRecvFrame(f.data(), kComBusPort) == 1) {
        out.push_back(f);
    }
    return out;
}

class TalkLink : public testing::Test {
protected:
    void SetUp() override { ResetLink(); }
    void TearDown() override { ResetLink(); }
};

}  // namespace

// --- Receive state machine -------------------------------------------------------------------

TEST_F(TalkLink, BytesHeardAndTheFramesHandedOn)
{
    ByteVec badSum = StationFrame(8, 0);
    badSum[10] ^= 0x01;
    ByteVec junk;  // twelve bytes without a start; then an end byte in the eleventh place
    for (uint8_t i = 0; i < 12; ++i) {
        junk.push_back(static_cast<uint8_t>(0x40 + i));
    }
    junk.push_back(0x77);
    junk.insert(junk.end(), 9, 0x10);
    junk.insert(junk.end(), {0x90, kComEnd});
    ByteVec stray = StationFrame(8, 3);  // noise behind a frame whose bytes are still in the window
    stray.insert(stray.end(), {kComStart, kComEnd, kComStart, 0x18, kComEnd});
    // 0x02, 22 bytes, 0x03: the end byte lands in the last place again after the window went
    // round once, behind the ten bytes of a good frame.
    ByteVec overLong = {kComStart};
    overLong.insert(overLong.end(), 12, 0x40);
    ByteVec good = StationFrame(8, 3);
    overLong.insert(overLong.end(), good.begin() + 1, good.end());
    ByteVec three = StationFrame(0, 0);
    for (const ByteVec& f : {StationFrame(0, 1), StationFrame(14, 3)}) {
        three.insert(three.end(), f.begin(), f.end());
    }
    const struct {
        const char* what;
        ByteVec bytes;
        const char* frames;  // order.value of each frame handed on
    } rows[] = {
        {"bad checksum", badSum, ""},
        {"no start byte", junk, ""},
        {"stray end bytes", stray, "8.3 "},
        {"over-long run", overLong, ""},
        {"three frames", three, "0.0 0.1 14.3 "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ResetLink();
        Feed(row.bytes);
        std::string got;
        TalkLinkPass(0, [&got](const uint8_t* f) { got += std::to_string(f[1]) + "." + std::to_string(f[2]) + " "; });
        EXPECT_EQ(row.frames, got) << "every frame in the ring in one pass";
    }
    // Stored decoded: byte 0 cleared, 16 off every byte of 16 or more, the end byte kept.
    Feed(StationFrame(0, 1, 1));
    auto frames = FetchAll();
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ("00 00 01 00 00 00 00 00 00 01 82 03", ToHex(frames[0].data(), 12));
}

TEST_F(TalkLink, TenUndeliveredFramesFillTheRingAndTheEleventhIsDropped)
{
    for (uint8_t i = 0; i < 11; ++i) {
        Feed(StationFrame(8, i));
    }
    auto frames = FetchAll();
    ASSERT_EQ(10u, frames.size());
    for (uint8_t i = 0; i < 10; ++i) {
        EXPECT_EQ(i, frames[i][2]) << "frame " << int(i);
    }
    // Room again once fetched.
    Feed(StationFrame(8, 42));
    frames = FetchAll();
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ(42, frames[0][2]);
}

TEST_F(TalkLink, FrameSplitAcrossManyReadsIsAssembledOnce)
{
    ByteVec f = StationFrame(13, 1, 2);
    std::vector<Frame12> got;
    for (uint8_t b : f) {
        Feed({b});
        ComLinkTick(kComBusPort);
        TalkLinkPass(0, [&got](const uint8_t* fr) {
            Frame12 a;
            std::memcpy(a.data(), fr, 12);
            got.push_back(a);
        });
    }
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(13, got[0][1]);
    EXPECT_EQ(1, got[0][2]);
    EXPECT_EQ(2, got[0][9]);
}

TEST_F(TalkLink, BytesDuringEchoWaitAreStillAssembled)
{
    ASSERT_EQ(255, SendTalkOrder(8, 0, 1, 0));  // no port: written nowhere, but in the ring
    for (int i = 0; i < 4 && !Port().EchoWait; ++i) {
        ComLinkTick(kComBusPort);
    }
    ASSERT_EQ(1, Port().EchoWait) << "the echo check starts after the send delay";
    Feed(StationFrame(0, 1));
    auto frames = FetchAll();
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ(0, frames[0][1]);
    EXPECT_EQ(1, frames[0][2]);
}

TEST_F(TalkLink, LevelFrameRunsTheLevelHandlerOnce)
{
    static int calls;
    static uint8_t seen[12];
    calls = 0;
    gComLevelHandler = [](const uint8_t* w) {
        ++calls;
        std::memcpy(seen, w, 12);
    };
    ComBody level = ComAnnounceBody(1, 3);  // level 2000
    ByteVec f = {kComStart};
    f.insert(f.end(), level.begin(), level.end());
    f.push_back(kComEnd);
    Feed(f);
    EXPECT_EQ(1, calls);
    EXPECT_EQ(ToHex(f.data(), 12), ToHex(seen, 12));
    EXPECT_TRUE(FetchAll().empty()) << "a level frame has no checksum and is not delivered";

    Feed(HexBytes("02 01 33 00 00 33 55 10 10 10 10 03"));  // the announce: no level
    EXPECT_EQ(1, calls);
    // A garbled over-long run ending in a level frame's last ten bytes pulses nothing.
    ByteVec run = {kComStart};
    run.insert(run.end(), 12, 0x40);
    run.insert(run.end(), f.begin() + 1, f.end());
    Feed(run);
    EXPECT_EQ(1, calls);
    gComLevelHandler = nullptr;
}

// --- Echo drop -------------------------------------------------------------------------------

TEST_F(TalkLink, OwnFramesHeardBackAreDroppedOnce)
{
    const ByteVec talkEcho = HexBytes("02 18 10 11 10 10 10 10 10 15 9E 03");
    const struct {
        const char* what;
        std::function<void()> send;
        std::vector<ByteVec> heard;
        const char* handedOn;  // order.source of each frame handed on
    } rows[] = {
        // A second copy is no echo any more.
        {"echo twice", [] { SendTalkOrder(8, 0, 1, 0); }, {talkEcho, talkEcho}, "8.5 "},
        // A station's call ahead of the echo keeps the echo marked.
        {"station first", [] { SendTalkOrder(6, 1, 0, 0); },
         {StationFrame(0, 1), HexBytes("02 16 11 10 10 10 10 10 10 15 9C 03")}, "0.1 "},
        // Two frames sent back to back: the coding echo goes, a station's source-0 frame does not,
        // the talk-order echo with the unit's source 5 goes too.
        {"two sent", [] {
             SendCodingOrder(42, 10000001, 1234, kComBusPort);
             SendTalkOrder(5, 0, 0, 0);
         },
         {HexBytes("02 3A B1 A2 BD 10 32 15 10 10 C1 03"), StationFrame(5, 0, 0), StationFrame(5, 0, 5)}, "5.0 "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ResetLink();
        row.send();
        for (const ByteVec& f : row.heard) {
            Feed(f);
        }
        std::string got;
        TalkLinkPass(0, [&got](const uint8_t* f) { got += std::to_string(f[1]) + "." + std::to_string(f[9]) + " "; });
        EXPECT_EQ(row.handedOn, got);
    }
}

// --- Send ring and echo check ----------------------------------------------------------------

TEST_F(TalkLink, SendFillsTheRingAndTheEchoCheckFreesIt)
{
    SendTalkOrder(8, 0, 1, 0);
    EXPECT_EQ("02 18 10 11 10 10 10 10 10 15 9E 03", ToHex(Port().SendRing[0], 12));
    EXPECT_EQ(1, Port().SendWriteIndex);
    EXPECT_EQ("02 08 00 01 00 00 00 00 00 05 8E 03", ToHex(gDeviceState.LastSent[0], 12));

    for (int i = 0; i < 3; ++i) {
        ComLinkTick(kComBusPort);
        EXPECT_EQ(0, Port().EchoWait) << "send delay pass " << i;
    }
    ComLinkTick(kComBusPort);
    ASSERT_EQ(1, Port().EchoWait);
    // The echo heard from its start byte completes the check.
    Feed(HexBytes("02 18 10 11 10 10 10 10 10 15 9E 03"));
    EXPECT_EQ(0, Port().EchoWait);
    EXPECT_EQ(0, Port().SendRing[0][0]);
    EXPECT_EQ(1, Port().SendEchoIndex);
}

TEST_F(TalkLink, ThreeEchoErrorsFreeTheSlot)
{
    SendTalkOrder(8, 0, 1, 0);
    for (int err = 0; err < 3; ++err) {
        for (int i = 0; i < 4 && !Port().EchoWait; ++i) {
            ComLinkTick(kComBusPort);
        }
        ASSERT_EQ(1, Port().EchoWait) << "error " << err;
        EXPECT_EQ(0x02, Port().SendRing[0][0]);
        Feed({0x55});
        ComLinkTick(kComBusPort);
        EXPECT_EQ(0, Port().EchoWait);
    }
    EXPECT_EQ(0, Port().SendRing[0][0]);
    EXPECT_EQ(1, Port().SendEchoIndex);
    EXPECT_EQ(0, Port().EchoErrorCount);
}

TEST_F(TalkLink, SilentEchoTimesOutAfter900Passes)
{
    SendTalkOrder(8, 0, 1, 0);
    int passes = 0;
    while (!Port().EchoWait && passes < 10) {
        ComLinkTick(kComBusPort);
        ++passes;
    }
    ASSERT_EQ(1, Port().EchoWait);
    for (int i = 0; i < 900; ++i) {
        ComLinkTick(kComBusPort);
    }
    EXPECT_EQ(1, Port().EchoWait);
    ComLinkTick(kComBusPort);
    EXPECT_EQ(0, Port().EchoWait);
    EXPECT_EQ(0, Port().SendRing[0][0]);
}

// --- Port ------------------------------------------------------------------------------------

TEST_F(TalkLink, PortIsSetUpRawAt9600)
{
    TestSandbox sb;
    PtyPeer bus(sb);
    ASSERT_EQ(0, InitTalkSerial());
    struct termios t = {};
    ASSERT_EQ(0, tcgetattr(TalkSerialFd(), &t));
    EXPECT_EQ(B9600, cfgetispeed(&t));
    EXPECT_EQ(B9600, cfgetospeed(&t));
    EXPECT_EQ(CS8, t.c_cflag & CSIZE);
    EXPECT_EQ(0u, t.c_cflag & (PARENB | CSTOPB | CRTSCTS));
    EXPECT_NE(0u, t.c_cflag & CREAD);
    EXPECT_NE(0u, t.c_iflag & IGNPAR);
    EXPECT_EQ(0u, t.c_iflag & (INPCK | INLCR | ICRNL | IXON | IXOFF | IXANY));
    EXPECT_EQ(0u, t.c_lflag);
    EXPECT_EQ(0u, t.c_oflag);
    EXPECT_NE(0, fcntl(TalkSerialFd(), F_GETFL) & O_NONBLOCK);

    // Bytes that a cooked line would change (CR, XON/XOFF) pass both ways untouched.
    ByteVec raw = {0x0D, 0x11, 0x13, 0x0A, 0x7F, 0x03};
    bus.Write(raw);
    uint8_t buf[12] = {};
    ByteVec in;
    for (int i = 0; i < 100 && in.size() < raw.size(); ++i) {
        struct pollfd p = {TalkSerialFd(), POLLIN, 0};
        poll(&p, 1, 20);
        int n = SerialRead(kComBusPort, buf);
        in.insert(in.end(), buf, buf + std::max(n, 0));
    }
    EXPECT_EQ(raw, in);
    ASSERT_EQ(0, SendTalkOrder(8, 0, 1, 0));
    ByteVec out = bus.Read(12);
    EXPECT_EQ("02 18 10 11 10 10 10 10 10 15 9E 03", ToHex(out.data(), out.size()));
}

TEST_F(TalkLink, MissingPortDoesNoIo)
{
    TestSandbox sb;
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, InitTalkSerial());
    EXPECT_EQ(-1, TalkSerialFd());
    EXPECT_EQ(255, SendTalkOrder(8, 0, 1, 0));
    uint8_t buf[12];
    EXPECT_EQ(-1, SerialRead(kComBusPort, buf));
    Feed(StationFrame(0, 1));
    EXPECT_EQ(1, TalkLinkPass(0, [](const uint8_t*) {})) << "frames already heard still go on";
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("HiSerial Can't Open Serial HiSerDevice"));
    EXPECT_NE(std::string::npos, out.find("s32Ret=0xffffffff,fuc:SerialWrite"));
}

TEST_F(TalkLink, DeviceStateReplyFollowsTheMainState)
{
    TestSandbox sb;
    PtyPeer bus(sb);
    ASSERT_EQ(0, InitTalkSerial());
    gDeviceState.SystemMainState = 0x0302;
    gCurrentDoor = 1;
    SendDeviceState(0);
    gDeviceState.SystemMainState = 0x0101;
    SendDeviceState(3);
    gDeviceState.SystemMainState = 0;
    gCurrentDoor = 0;
    ByteVec out = bus.Read(24);
    EXPECT_EQ("02 21 10 15 10 12 10 10 10 15 AD 03 02 21 10 12 10 10 10 13 10 15 AB 03", ToHex(out.data(), out.size()));
}

TEST_F(TalkLink, CodingReplyCountdownSendsCodingAndTalkOrder)
{
    TestSandbox sb;
    PtyPeer bus(sb);
    ASSERT_EQ(0, InitTalkSerial());
    gDeviceState.DoorAddress = 10000001;
    gDeviceState.CodingAddress = 1234;
    gDeviceState.CodingReplyTimer = 2;
    TimeTaskTick();
    EXPECT_TRUE(bus.Read(1, 50ms).empty());
    TimeTaskTick();
    ByteVec out = bus.Read(24);
    EXPECT_EQ("02 36 B1 A2 BD 10 32 15 10 10 BD 03 02 18 10 11 10 10 10 10 10 15 9E 03", ToHex(out.data(), out.size()));
    EXPECT_EQ(kCountdownStopped, gDeviceState.CodingReplyTimer);
    TimeTaskTick();
    EXPECT_TRUE(bus.Read(1, 50ms).empty()) << "fires once";
    gDeviceState.DoorAddress = 0;
    gDeviceState.CodingAddress = 0;
}

TEST_F(TalkLink, AnnounceStartsTheGuard)
{
    gDeviceState.AnnounceGuardTimer = kCountdownStopped;
    SendAnnounceFrame(0, 255);
    EXPECT_EQ(100, gDeviceState.AnnounceGuardTimer);
    EXPECT_EQ("02 01 33 00 00 33 55 10 10 10 10 03", ToHex(Port().SendRing[0], 12));
}

// --- Command queue ---------------------------------------------------------------------------

TEST_F(TalkLink, ANewRunStartsWithoutTheOrdersOfAnEarlierOne)
{
    TestSandbox sb;
    QueueGuard q;
    ASSERT_EQ(0, PostTalkCommand(13, 1, 0, 0));  // an unlock the killed run never sent
    // The new run's process knows no queue yet; the killed run's is still in the kernel.
    gDeviceState.CmdQueueId = -1;
    gDeviceState.MsgQueueId2 = -1;
    ASSERT_EQ(0, TalkQueueInit());
    EXPECT_TRUE(TakePostedOrders().empty());
    struct msqid_ds ds = {};
    ASSERT_EQ(0, msgctl(gDeviceState.CmdQueueId, IPC_STAT, &ds));
    EXPECT_EQ(0600u, ds.msg_perm.mode & 0777) << "no other user posts orders";
    EXPECT_EQ(BoardMsgQueueKeyBase(sb.Root()) | 127, ds.msg_perm.__key);
    EXPECT_EQ(2, BoardMsgQueueCountBoard(sb.Root()));
}

// Within one run the start-up makes the queues before its first order and the bus thread finds
// them: what was posted meanwhile waits for it.
TEST_F(TalkLink, TheBusThreadKeepsTheQueueOfItsOwnStart)
{
    TestSandbox sb;
    QueueGuard q;
    ASSERT_EQ(0, PostTalkCommand(6, 0, 0, 0));
    ASSERT_EQ(0, TalkQueueInit());
    EXPECT_EQ(1u, TakePostedOrders().size());
}

TEST_F(TalkLink, PostFailsWithoutAQueue)
{
    TestSandbox sb;
    EXPECT_EQ(-1, PostTalkCommand(13, 0, 0, 0)) << "no queue yet";
    {
        QueueGuard q;
        EXPECT_EQ(0, PostTalkCommand(13, 0, 0, 0));
        int stale = gDeviceState.CmdQueueId;
        TalkQueueRemove();
        gDeviceState.CmdQueueId = stale;  // a queue removed under the unit
        EXPECT_EQ(-1, PostTalkCommand(13, 0, 0, 0));
        gDeviceState.CmdQueueId = -1;
    }
}

TEST_F(TalkLink, CommandMessageIsTypeAndFourBytes)
{
    TestSandbox sb;
    QueueGuard q;
    ASSERT_EQ(0, PostTalkCommand(12, 1, 2, 3));
    struct {
        long type;
        uint8_t body[16];
    } msg = {};
    ASSERT_EQ(4, msgrcv(gDeviceState.CmdQueueId, &msg, sizeof(msg.body), 0, IPC_NOWAIT));
    EXPECT_EQ(1239, msg.type);
    EXPECT_EQ("0C 01 02 03", ToHex(msg.body, 4));
}

TEST_F(TalkLink, QueuedOrdersGoOutOnePerPass)
{
    TestSandbox sb;
    PtyPeer bus(sb);
    ASSERT_EQ(0, InitTalkSerial());
    QueueGuard q;
    gDeviceState.DoorAddress = 20000001;
    gDeviceState.CodingAddress = 31234;
    std::thread poster([] {
        EXPECT_EQ(0, PostTalkCommand(13, 1, 0, 0));
        EXPECT_EQ(0, PostCodingCommand(42, 1));  // to the calling station
        EXPECT_EQ(0, PostCodingCommand(58, 0));  // to the door base of the unit's floor
    });
    poster.join();
    struct Row {
        const char* frame;
        const char* what;
    } rows[] = {
        {"02 1D 11 10 10 10 10 10 10 15 A3 03", "talk order 13 for door 1"},
        // 20000001 = 81 53 107 1; 31234 = 34 130 0 0 (base 240, lowest first)
        {"02 3A 61 45 7B 11 32 92 10 10 D0 03", "coding 42 with the door address"},
        // 10000001 + 3 * 10000 = 10030001 = 161 31 174 0
        {"02 4A B1 2F BE 10 32 92 10 10 DC 03", "coding 58 with the floor's door base"},
    };
    for (const Row& r : rows) {
        TalkLinkPass(0, nullptr);
        ByteVec out = bus.Read(12);
        EXPECT_EQ(r.frame, ToHex(out.data(), out.size())) << r.what;
    }
    EXPECT_EQ(0, TalkCommandStep()) << "the queue is empty";
    gDeviceState.DoorAddress = 0;
    gDeviceState.CodingAddress = 0;
}

TEST_F(TalkLink, QueuedOrderWakesTheBusThreadWaitingOnASilentPort)
{
    TestSandbox sb;
    PtyPeer bus(sb);
    ASSERT_EQ(0, InitTalkSerial());
    QueueGuard q;
    // The bus thread waits a minute for bytes in each pass: only the wake-up by the queued order
    // can make it send within the few seconds the test reads for.
    constexpr int kSilentWaitMs = 60000;
    std::promise<pid_t> started;
    std::atomic<bool> stop{false};
    std::atomic<int> handed{0};
    std::thread busThread([&] {
        started.set_value(gettid());
        while (!stop) {
            handed += TalkLinkPass(kSilentWaitMs, [](const uint8_t*) {});
        }
    });
    struct Joiner {
        std::thread& t;
        std::atomic<bool>& stop;
        const PtyPeer& bus;
        ~Joiner()
        {
            if (t.joinable()) {
                stop = true;
                bus.Write({0x00});  // any byte ends the pass the thread is waiting in
                t.join();
            }
        }
    } joiner{busThread, stop, bus};
    const pid_t tid = started.get_future().get();
    auto pending = [&bus] {
        struct pollfd p = {bus.Fd(), POLLIN, 0};
        return poll(&p, 1, 0) > 0;
    };

    const std::string unlock = "02 1D 11 10 10 10 10 10 10 15 A3 03";  // talk order 13, door 1
    const std::string monitor = "02 1C 10 10 10 10 10 10 10 15 A1 03";  // talk order 12, door 0
    const std::string takeOff = "02 19 10 10 10 10 10 10 10 15 9E 03";  // talk order 9
    ASSERT_TRUE(WaitInPoll(tid)) << "the bus thread never waited for bytes";
    ASSERT_EQ(0, PostTalkCommand(13, 1, 0, 0));
    ByteVec out = bus.Read(12);
    ASSERT_EQ(unlock, ToHex(out.data(), out.size())) << "the order waited for the pass to end";

    // Orders queued together keep their pace: the pass that sent the unlock still waits for the
    // bus, and each further order goes out only after the echo of the one before.
    ASSERT_TRUE(WaitInPoll(tid));
    ASSERT_EQ(0, PostTalkCommand(12, 0, 0, 0));
    ASSERT_EQ(0, PostTalkCommand(9, 0, 0, 0));
    ASSERT_TRUE(WaitInPoll(tid));
    EXPECT_FALSE(pending()) << "an order went out while the unit's frame was still on the bus";
    const std::pair<std::string, std::string> next[] = {{unlock, monitor}, {monitor, takeOff}};
    for (const auto& [echo, expected] : next) {
        bus.Write(HexBytes(echo));
        out = bus.Read(12);
        EXPECT_EQ(expected, ToHex(out.data(), out.size()));
        ASSERT_TRUE(WaitInPoll(tid));
        EXPECT_FALSE(pending()) << "two orders in one pass after " << expected;
    }
    stop = true;
    bus.Write(HexBytes(takeOff));  // ends the last pass
    busThread.join();
    EXPECT_EQ(0, handed.load()) << "the echoes of the unit's own frames are not orders";
}
