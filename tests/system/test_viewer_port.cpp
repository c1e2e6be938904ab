// The viewers' port of the whole process as a second phone and an attacker on the host see it: the
// unit paired with the local cloud, the door-station simulator on its bus, and raw connections of
// the test's own that write the transfer records byte for byte (the table of docs/viewers.md) and prove
// themselves with OpenSSL's HMAC. Only a hello proven with the key the phone gets from the cloud
// is served; talk-back without its start never reaches the speaker; a viewer that never watched
// cannot end a ringing call, the last watcher's stop does even while another viewer stays
// connected; a client that dawdles over its hello holds up no other.
#include "cloud_peer.h"
#include "process.h"
#include "sandbox.h"
#include "silent_crowd.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

enum Kind : uint32_t {
    kHello = 1, kWelcome = 2, kEvent = 3, kRefused = 4, kTalk = 5, kAnswer = 6, kBye = 7, kChallenge = 18,
};

void Put32(std::vector<uint8_t>& b, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

uint32_t Get32(const uint8_t* p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

struct Rec {
    uint32_t kind = 0;  // 0: nothing came, or the connection ended
    uint32_t client = 0;
    std::vector<uint8_t> payload;
    uint32_t Word(size_t i) const { return payload.size() >= 4 * i + 4 ? Get32(payload.data() + 4 * i) : 0; }
};

// One connection to the unit's port, records written and read by the test itself; the unit's
// challenge is read as soon as it is connected.
class RawViewer {
public:
    RawViewer(const TestSandbox& sb, uint32_t client) : mClient(client)
    {
        mFd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(std::atoi(sb.Read("/.board/p2p.port").c_str())));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        mConnected = connect(mFd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        const Rec c = Next(5s);
        EXPECT_EQ(kChallenge, c.kind);
        mChallenge = c.payload;
    }
    ~RawViewer() { close(mFd); }

    bool Connected() const { return mConnected; }
    void Bytes(const std::vector<uint8_t>& b) { send(mFd, b.data(), b.size(), MSG_NOSIGNAL); }
    void Send(uint32_t kind, const std::vector<uint8_t>& payload)
    {
        std::vector<uint8_t> rec;
        Put32(rec, kind);
        Put32(rec, mClient);
        Put32(rec, static_cast<uint32_t>(payload.size()));
        rec.insert(rec.end(), payload.begin(), payload.end());
        Bytes(rec);
    }
    // The hello proven with `key` (HMAC-SHA256 over the challenge and the client number); the
    // unit's answer to it.
    Rec Hello(const std::string& key)
    {
        std::vector<uint8_t> msg = mChallenge;
        Put32(msg, mClient);
        uint8_t mac[EVP_MAX_MD_SIZE];
        unsigned len = 0;
        HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), msg.data(), msg.size(), mac, &len);
        std::vector<uint8_t> p;
        Put32(p, 0);
        p.insert(p.end(), mac, mac + len);
        Send(kHello, p);
        return Next(5s);
    }
    // One event; its answer (other records skipped).
    Rec Event(uint32_t code)
    {
        std::vector<uint8_t> p;
        Put32(p, code);
        Put32(p, 1);
        Put32(p, mClient);
        Send(kEvent, p);
        for (;;) {
            Rec r = Next(5s);
            if (r.kind == 0 || (r.kind == kAnswer && r.Word(0) == code)) {
                return r;
            }
        }
    }
    Rec Next(std::chrono::milliseconds limit)
    {
        Rec r;
        uint8_t head[12];
        const auto end = Clock::now() + limit;
        if (!Read(head, 12, end)) {
            return r;
        }
        r.payload.resize(Get32(head + 8));
        if (!Read(r.payload.data(), r.payload.size(), end)) {
            return r;
        }
        r.kind = Get32(head);
        r.client = Get32(head + 4);
        return r;
    }

private:
    bool Read(uint8_t* p, size_t n, Clock::time_point end)
    {
        while (n > 0) {
            const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
            pollfd pf{mFd, POLLIN, 0};
            if (left <= 0 || poll(&pf, 1, left) <= 0) {
                return false;
            }
            const ssize_t got = recv(mFd, p, n, 0);
            if (got <= 0) {
                return false;
            }
            p += got;
            n -= static_cast<size_t>(got);
        }
        return true;
    }

    int mFd = -1;
    bool mConnected = false;
    uint32_t mClient;
    std::vector<uint8_t> mChallenge;
};

// 40 ms of a loud 1 kHz tone in G.711 mu-law, from the companding law itself.
std::vector<uint8_t> ToneFrame()
{
    std::vector<uint8_t> frame(320);
    for (size_t i = 0; i < frame.size(); ++i) {
        const double x = 12000 * std::sin(2 * M_PI * 1000 * static_cast<double>(i) / 8000.0);
        const int sign = x < 0 ? 0 : 0x80;
        const double m = std::min(std::fabs(x), 32635.0) + 132;
        const int exp = std::max(0, static_cast<int>(std::floor(std::log2(m))) - 7);
        const int mant = (static_cast<int>(m) >> (exp + 3)) & 0x0F;
        frame[i] = static_cast<uint8_t>(~(sign | exp << 4 | mant));
    }
    return frame;
}

int Count(const std::string& text, const std::string& part)
{
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// CPU ticks (user + system) of each of the process's threads by name, from /proc/PID/task.
std::map<std::string, long long> TicksByThread(pid_t pid)
{
    std::map<std::string, long long> ticks;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return ticks;
    }
    while (const dirent* e = readdir(d)) {
        std::ifstream in(dir + "/" + e->d_name + "/stat");
        const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t open = stat.find('(');
        const size_t close = stat.rfind(')');
        if (e->d_name[0] == '.' || open == std::string::npos || close == std::string::npos) {
            continue;
        }
        // Fields after the name, from the state (3): utime is 14, stime 15.
        std::istringstream rest(stat.substr(close + 2));
        std::string field;
        long long sum = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i >= 14) {
                sum += std::atoll(field.c_str());
            }
        }
        ticks[stat.substr(open + 1, close - open - 1)] += sum;
    }
    closedir(d);
    return ticks;
}

// The simulated SoC's thread (capture, scaling, overlays, encoding: the hardware on the unit).
constexpr const char* kSimThread = "mi_sim_pump";

class ViewerPort : public testing::Test {
protected:
    void SetUp() override
    {
        mCloud = std::make_unique<CloudPeer>(mSb.Root());
        mStation = std::make_unique<ChildProcess>(
            std::vector<std::string>{BinaryDir() + "/tools/doorstation", "--root", mSb.Root()});
        ASSERT_TRUE(mStation->WaitForOutput("linked at " + mSb.Root() + "/dev/ttyS2", 10s)) << mStation->Output();
        mUnit = std::make_unique<ChildProcess>(std::vector<std::string>{Doorphone(), "-m", "2", "-t", mCloud->Pair()},
                                               std::vector<std::string>{"DOORPHONE_ROOT=" + mSb.Root()});
        ASSERT_TRUE(mUnit->WaitForOutput("Dbg:Init P2P With Max Users:6", 60s)) << mUnit->Output() << mCloud->Log();
        ASSERT_TRUE(Eventually([this] { return mSb.Exists("/.board/p2p.port"); }, 10s)) << mUnit->Output();
        mKey = mCloud->Command("viewer-key");
        ASSERT_EQ(16u, mKey.size()) << mKey;
    }
    void TearDown() override
    {
        if (HasFailure() && mUnit) {
            ADD_FAILURE() << "the unit's output:\n" << mUnit->Output();
        }
        if (mUnit) {
            mUnit->Kill(SIGTERM);
            mUnit->WaitExit(10s);
        }
    }
    size_t Heard() const { return SpeakerFile(mSb).size(); }

    TestSandbox mSb;
    std::string mKey;  // as the owner's phone has it from the cloud
    std::unique_ptr<CloudPeer> mCloud;
    std::unique_ptr<ChildProcess> mStation;
    std::unique_ptr<ChildProcess> mUnit;
};

}  // namespace

// Only the owner's viewers are served: a hello proven with another key is refused with its reason
// and logged; the key the phone has from the cloud opens the port; after a cloud reset the unit
// has no key and serves nobody.
TEST_F(ViewerPort, OnlyTheOwnersViewersAreServed)
{
    {
        RawViewer stranger(mSb, 0);
        std::string wrong = mKey;
        wrong[0] = wrong[0] == 'a' ? 'b' : 'a';
        const Rec r = stranger.Hello(wrong);
        ASSERT_EQ(kRefused, r.kind) << mUnit->Output();
        EXPECT_EQ(4u, r.Word(0));
        EXPECT_TRUE(mUnit->WaitForOutput("p2p client 0 refused: wrong proof", 5s)) << mUnit->Output();
    }
    {
        RawViewer owner(mSb, 0);
        EXPECT_EQ(kWelcome, owner.Hello(mKey).kind) << mUnit->Output();
    }
    // A cloud reset clears the key and restarts the unit; the unit that comes up is not activated
    // and serves nobody.
    mCloud->Command("reset");
    ASSERT_TRUE(mCloud->WaitLog("protocol 26")) << "the unit took the reset";
    const int status = mUnit->WaitExit(20s);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 86) << status << mUnit->Output();
    mUnit = std::make_unique<ChildProcess>(std::vector<std::string>{Doorphone()},
                                           std::vector<std::string>{"DOORPHONE_ROOT=" + mSb.Root()});
    ASSERT_TRUE(mUnit->WaitForOutput("gw_ai read fails", 30s)) << mUnit->Output();
    // Never online, it opens no viewer port: nothing answers where the old one was.
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(std::atoi(mSb.Read("/.board/p2p.port").c_str())));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_NE(0, connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a)) << mUnit->Output();
    close(fd);
}

// Talk records on an idle unit without a talk start never reach the speaker (they are counted in
// the log); after its start they do.
TEST_F(ViewerPort, TalkWithoutItsStartIsDropped)
{
    const std::vector<uint8_t> tone = ToneFrame();
    const size_t before = Heard();
    {
        RawViewer v(mSb, 2);
        ASSERT_EQ(kWelcome, v.Hello(mKey).kind) << mUnit->Output();
        v.Send(kTalk, tone);
        v.Send(kTalk, tone);
        v.Send(kBye, {});
        EXPECT_TRUE(mUnit->WaitForOutput("p2p client 2: 2 talk frames without a talk start dropped", 10s))
            << mUnit->Output();
    }
    // Frames played would be in the speaker file well within this.
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(before, Heard()) << "talk-back played without a talk start";
    EXPECT_EQ(std::string::npos, mUnit->Output().find("enable speaker 1"));

    RawViewer talker(mSb, 2);
    ASSERT_EQ(kWelcome, talker.Hello(mKey).kind) << mUnit->Output();
    ASSERT_EQ(kAnswer, talker.Event(16).kind);
    // In real time, as a phone talks: the first half second after the start is not played.
    const auto end = Clock::now() + 10s;
    while (Heard() == before && Clock::now() < end) {
        talker.Send(kTalk, tone);
        std::this_thread::sleep_for(40ms);
    }
    EXPECT_GT(Heard(), before) << "talk-back after its start is played";
}

// A talk-only session that drops (no talk stop, no bye) ends its talk: the unit leaves talk at
// once, not at the talk's time-out a minute and a half later, and takes the next bus call.
TEST_F(ViewerPort, ADroppedTalkLeavesTheUnitToTheBus)
{
    {
        RawViewer talker(mSb, 2);
        ASSERT_EQ(kWelcome, talker.Hello(mKey).kind) << mUnit->Output();
        ASSERT_EQ(kAnswer, talker.Event(16).kind);
        ASSERT_TRUE(mUnit->WaitForOutput("-> 0x301", 5s)) << mUnit->Output();
    }
    EXPECT_TRUE(mUnit->WaitForOutput("SystemMainState 0x301 -> ", 5s)) << "the unit stays in talk";
    mStation->WriteLine("call 1");
    EXPECT_TRUE(mUnit->WaitForOutput("Door1 To Ring", 10s)) << "the bus call is ignored";
}

// During a ring a viewer that never watched cannot end the call with a stop; the last watcher's
// stop resets the ring, though another viewer stays connected.
TEST_F(ViewerPort, OnlyTheLastWatcherEndsTheRing)
{
    mStation->WriteLine("call 1");
    ASSERT_TRUE(mUnit->WaitForOutput("Door1 To Ring", 10s)) << mUnit->Output();
    // The state report at start told the cloud "normal" once already.
    auto normals = [this] {
        const std::string out = mUnit->Output();
        return Count(out.substr(out.find("Door1 To Ring")), "Door1 To Normal");
    };
    RawViewer idle(mSb, 1);
    ASSERT_EQ(kWelcome, idle.Hello(mKey).kind) << mUnit->Output();
    const Rec stop = idle.Event(1);
    ASSERT_EQ(kAnswer, stop.kind);
    EXPECT_EQ(static_cast<uint32_t>(-1), stop.Word(1)) << "a stop of nothing is answered as not done";
    EXPECT_TRUE(mUnit->WaitForOutput("p2p client 1: event 1 without its start: ignored", 5s));
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(0, normals()) << "the ring was reset by a stranger's stop";

    RawViewer watcher(mSb, 0);
    ASSERT_EQ(kWelcome, watcher.Hello(mKey).kind);
    ASSERT_EQ(kAnswer, watcher.Event(0).kind);
    ASSERT_EQ(kAnswer, watcher.Event(1).kind);
    EXPECT_TRUE(Eventually([&] { return normals() == 1; }, 5s)) << "the last watcher left, the call rings on";
}

// A client sending its hello a byte at a time (or never) does not delay another viewer's welcome.
TEST_F(ViewerPort, SlowClientDelaysNoWelcome)
{
    RawViewer slow(mSb, 3);
    ASSERT_TRUE(slow.Connected());
    slow.Bytes({kHello});
    std::this_thread::sleep_for(100ms);
    const auto t0 = Clock::now();
    RawViewer v(mSb, 0);  // connected, its challenge read
    const Rec r = v.Hello(mKey);
    const auto waited = Clock::now() - t0;
    ASSERT_EQ(kWelcome, r.kind) << mUnit->Output();
    EXPECT_LT(waited, 200ms);
    // The slow one is turned away once its two seconds are over.
    const Rec refused = slow.Next(5s);
    EXPECT_EQ(kRefused, refused.kind);
    EXPECT_EQ(3u, refused.Word(0));
}

// Local connections that never send a hello, opened again as soon as the unit closes one, or
// connects retried every 100 ms, keep the owner out for no time: its clients are welcomed within
// 3 s, a hello 1.5 s after its challenge too; every one of the crowd gets its challenge and keeps
// its place until its two seconds are over.
TEST_F(ViewerPort, SilentConnectionsKeepNoOwnerOut)
{
    const uint16_t port = static_cast<uint16_t>(std::atoi(mSb.Read("/.board/p2p.port").c_str()));
    const struct {
        const char* what;
        size_t count;
        std::chrono::milliseconds retry;
    } crowds[] = {
        {"300 reopened at once", 300, 0ms},
        {"600 retried every 100 ms", 600, 100ms},
    };
    for (const auto& c : crowds) {
        SilentCrowd crowd(port, c.count, c.retry);
        EXPECT_TRUE(Eventually([&] { return crowd.Taken() >= c.count; }, 5s))
            << c.what << ": " << crowd.Taken() << " taken";
        for (uint32_t client = 0; client < 3; ++client) {
            const auto t0 = Clock::now();
            RawViewer owner(mSb, client);
            const Rec r = owner.Hello(mKey);
            const auto waited = Clock::now() - t0;
            ASSERT_EQ(kWelcome, r.kind) << c.what << ", client " << client << ", refusal "
                                        << (r.payload.size() >= 4 ? r.Word(0) : 0) << "\n" << mUnit->Output();
            EXPECT_LT(waited, 3s) << c.what << ", client " << client;
            std::this_thread::sleep_for(300ms);
        }
        RawViewer late(mSb, 3);
        std::this_thread::sleep_for(1500ms);
        const Rec r = late.Hello(mKey);
        EXPECT_EQ(kWelcome, r.kind) << c.what << ": a hello 1.5 s after its challenge, refusal "
                                    << (r.payload.size() >= 4 ? r.Word(0) : 0);
        EXPECT_TRUE(Eventually([&] { return crowd.Opened() > c.count + c.count / 2; }, 5s))
            << c.what << ": the idle ones are turned away at their time-out and come again";
    }
    EXPECT_TRUE(mUnit->WaitForOutput("p2p connection refused: no hello within 2000 ms", 5s));
}

// The idle unit (online, nothing happening) sleeps: its own threads, the simulated SoC's left out,
// use at most a fifth of a core. They need 3 % in a Release build and 7 to 9 % under the
// sanitizers with the machine loaded; one thread that spins takes a whole core on its own, and
// still 40 % or more of one on a machine loaded three times over.
TEST_F(ViewerPort, IdleUnitSleeps)
{
    constexpr double kIdleBound = 0.2;  // CPU seconds per wall second
    std::this_thread::sleep_for(3s);      // the start's reports and uploads are over
    const auto t0 = Clock::now();
    const std::map<std::string, long long> before = TicksByThread(mUnit->Pid());
    std::this_thread::sleep_for(4s);
    const std::map<std::string, long long> after = TicksByThread(mUnit->Pid());
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    double own = 0;
    std::string threads;
    for (const auto& [name, ticks] : after) {
        const auto was = before.find(name);
        const double used = static_cast<double>(ticks - (was == before.end() ? 0 : was->second)) / tick / seconds;
        if (name != kSimThread) {
            own += used;
        }
        threads += " " + name + " " + std::to_string(used);
    }
    ASSERT_FALSE(after.empty());
    std::fprintf(stderr, "the idle unit's own threads: %.3f CPU seconds per second\n", own);
    EXPECT_LT(own, kIdleBound) << "CPU seconds per second by thread:" << threads;
}

// A download asked for while the event storage is not running starts nothing and is answered as
// not done.
TEST_F(ViewerPort, RefusedDownloadIsAnsweredAsNotDone)
{
    RawViewer v(mSb, 1);
    ASSERT_EQ(kWelcome, v.Hello(mKey).kind) << mUnit->Output();
    const Rec r = v.Event(19);
    ASSERT_EQ(kAnswer, r.kind) << mUnit->Output();
    EXPECT_EQ(static_cast<uint32_t>(-1), r.Word(1));
    EXPECT_TRUE(mUnit->WaitForOutput("stream storage not inited", 5s)) << mUnit->Output();
    EXPECT_EQ(kAnswer, v.Event(18).kind) << "the session goes on";
}
