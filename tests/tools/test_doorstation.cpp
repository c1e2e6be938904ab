// The door-station simulator: its own frame code, its commands, and the program on a sandbox
// (link, echo, decoded output, script and FIFO input).
#include "bus_codec.h"
#include "commands.h"
#include "process.h"
#include "read_bytes.h"
#include "sandbox.h"

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace doorstation;
using namespace std::chrono_literals;

namespace {

Bytes FromHex(const std::string& hex)
{
    Bytes out;
    for (size_t i = 0; i < hex.size(); i += 3) {
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string Station()
{
    return BinaryDir() + "/tools/doorstation";
}

// The unit's side of the simulator's bus: the sandbox's "/dev/ttyS2", raw.
class UnitSide {
public:
    explicit UnitSide(const TestSandbox& sb)
    {
        mFd = open(sb.Path("/dev/ttyS2").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_GE(mFd, 0);
    }
    ~UnitSide()
    {
        if (mFd >= 0) {
            close(mFd);
        }
    }
    void Write(const Bytes& b) { EXPECT_EQ(static_cast<ssize_t>(b.size()), write(mFd, b.data(), b.size())); }
    Bytes Read(size_t count) { return ReadBytes(mFd, count, 3s); }

private:
    int mFd = -1;
};

}  // namespace

TEST(DoorStationCodec, FramesOfTheStation)
{
    struct {
        Bytes frame;
        const char* hex;
    } rows[] = {
        {TalkFrame(0, 0, 0, 0, 1), "02 10 10 10 10 10 10 10 10 11 91 03"},
        {TalkFrame(8, 0, 1, 0, 5), "02 18 10 11 10 10 10 10 10 15 9E 03"},
        {CodingFrame(42, 10000001, 1234), "02 3A B1 A2 BD 10 32 15 10 10 C1 03"},
        {LevelFrame(0, 0), "02 01 33 00 00 33 55 10 10 10 10 03"},
        {LevelFrame(0, 1000), "02 01 33 04 E8 1F 55 10 10 10 10 03"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.hex, Hex(r.frame));
    }
}

TEST(DoorStationCodec, DescribesWhatItHears)
{
    struct {
        const char* hex;
        const char* text;
    } rows[] = {
        {"02 18 10 11 10 10 10 10 10 15 9E 03", "talk order 8 value1 0 value2 1 target 0 source 5"},
        {"02 18 10 11 10 10 10 20 33 55 91 03", "talk order 8 value1 0 value2 1 target 0 source 5 room 1234"},
        {"02 21 10 15 10 12 10 10 10 15 AD 03", "state reply 0x0502 target 0 source 5"},
        {"02 3A B1 A2 BD 10 32 15 10 10 C1 03", "coding order 42 addressA 10000001 addressB 1234"},
        {"02 01 33 04 E8 1F 55 10 10 10 10 03", "announce kind 0 level 1000"},
        {"02 18 10 11 10 10 10 10 10 15 9F 03", "bad frame: checksum 0x9F, expected 0x9E"},
        {"02 18 10 11 10 10 10 10 10 15 9E 04", "bad frame: no end byte"},
        {"02 18 10 01 10 10 10 10 10 15 8E 03", "bad frame: body byte below 0x10"},
        {"02 01 33 00 00 34 55 10 10 10 10 03", "bad announce frame"},
        {"02 18 03", "frame cut short after 3 bytes"},
        {"AA BB", "stray bytes"},
    };
    for (const auto& r : rows) {
        std::string text = DescribeFrame(FromHex(r.hex));
        EXPECT_EQ(std::string(r.text) + " [" + r.hex + "]", text);
    }
}

TEST(DoorStationCodec, SplitterCutsTheStreamIntoFrames)
{
    Bytes stream = FromHex("AA 02 18 03 02 18 10 11 10 10 10 10 10 15 9E 03 02 10");
    FrameSplitter s;
    std::vector<std::string> chunks;
    for (uint8_t b : stream) {
        if (auto f = s.Push(b)) {
            chunks.push_back(Hex(*f));
        }
    }
    EXPECT_EQ((std::vector<std::string>{"AA", "02 18 03", "02 18 10 11 10 10 10 10 10 15 9E 03"}), chunks);
}

TEST(DoorStationCommands, LinesBecomeFrames)
{
    struct {
        const char* line;
        const char* hex;
    } rows[] = {
        {"call 1", "02 10 10 10 10 10 10 10 10 11 91 03"},
        {"call 2 4", "02 10 11 10 10 10 10 10 10 14 95 03"},
        {"  takeup   # a handset", "02 18 10 10 10 10 10 10 10 12 9A 03"},
        {"takeoff 3", "02 15 10 10 10 10 10 10 10 13 98 03"},
        {"unlock 2 3", "02 1D 11 10 10 10 10 10 10 13 A1 03"},
        {"feedback 5", "02 1E 15 10 10 10 10 10 10 11 A4 03"},
        {"query", "02 13 10 10 10 10 10 10 10 12 95 03"},
        {"busy 1234", "02 33 32 15 10 10 10 10 10 10 DA 03"},
        {"ring 1234", "02 34 32 15 10 10 B1 A2 BD 10 BB 03"},
        {"config 2 3", "02 3F 12 13 10 10 10 10 10 10 C4 03"},
        {"assign 1234", "02 3C 10 10 10 10 32 15 10 10 E3 03"},
        {"coding 46 0 0", "02 3E 10 10 10 10 10 10 10 10 BE 03"},
        {"talk 3 0 0 5 2", "02 13 10 10 10 10 10 15 10 12 9A 03"},
        {"level 1 200", "02 01 22 00 C8 EA 55 10 10 10 10 03"},
        {"raw 02 18 03", "02 18 03"},
    };
    for (const auto& r : rows) {
        Command c = ParseCommand(r.line);
        ASSERT_EQ(Command::Send, c.kind) << r.line << ": " << c.message;
        EXPECT_EQ(r.hex, Hex(c.frame)) << r.line;
    }
}

TEST(DoorStationCommands, OtherLines)
{
    EXPECT_EQ(Command::None, ParseCommand("").kind);
    EXPECT_EQ(Command::None, ParseCommand("   # only a comment").kind);
    EXPECT_EQ(Command::Help, ParseCommand("help").kind);
    EXPECT_EQ(Command::Quit, ParseCommand("quit").kind);
    Command s = ParseCommand("sleep 2");
    ASSERT_EQ(Command::Sleep, s.kind);
    EXPECT_DOUBLE_EQ(2.0, s.seconds);
    EXPECT_DOUBLE_EQ(0.25, ParseCommand("sleep 0.25").seconds);
    Command w = ParseCommand("wait announce");
    ASSERT_EQ(Command::WaitAnnounce, w.kind);
    EXPECT_DOUBLE_EQ(30.0, w.seconds);
    EXPECT_DOUBLE_EQ(5.0, ParseCommand("wait announce 5").seconds);
    for (const char* bad : {"call", "call 3", "call 0", "call x", "sleep", "sleep -1", "sleep 1x", "talk 32",
                            "coding 31 0 0", "raw 2G", "raw 100", "takeup -1", "config 240 0", "dance",
                            "wait", "wait call", "wait announce 0", "wait announce x", "wait announce 1 2"}) {
        Command c = ParseCommand(bad);
        EXPECT_EQ(Command::Error, c.kind) << bad;
        EXPECT_FALSE(c.message.empty()) << bad;
    }
}

TEST(DoorStationProgram, EchoesTheUnitAndDecodesItsFrames)
{
    TestSandbox sb;
    ChildProcess station({Station(), "--root", sb.Root(), "--log", sb.Path("/.board/doorstation.log")});
    ASSERT_TRUE(station.WaitForOutput("linked at", 10s)) << station.Output();
    UnitSide unit(sb);
    Bytes frame = FromHex("02 18 10 11 10 10 10 10 10 15 9E 03");
    unit.Write(frame);
    EXPECT_EQ(Hex(frame), Hex(unit.Read(12))) << "the bus echo";
    ASSERT_TRUE(station.WaitForOutput("unit -> bus: talk order 8 value1 0 value2 1 target 0 source 5", 5s));

    station.WriteLine("call 2");
    EXPECT_EQ("02 10 11 10 10 10 10 10 10 11 92 03", Hex(unit.Read(12)));
    EXPECT_TRUE(station.WaitForOutput("bus -> unit: talk order 0 value1 1", 5s));
    station.WriteLine("nonsense");
    EXPECT_TRUE(station.WaitForOutput("doorstation: unknown command 'nonsense'", 5s));

    station.Kill(SIGTERM);
    int status = station.WaitExit(5s);
    ASSERT_TRUE(WIFEXITED(status)) << station.Output();
    EXPECT_EQ(0, WEXITSTATUS(status));
    struct stat st;
    EXPECT_NE(0, lstat(sb.Path("/dev/ttyS2").c_str(), &st)) << "the link goes with the simulator";
    std::string log = sb.Read("/.board/doorstation.log");
    EXPECT_NE(std::string::npos, log.find("unit -> bus: talk order 8"));
    EXPECT_NE(std::string::npos, log.find("bus -> unit: talk order 0 value1 1"));
}

TEST(DoorStationProgram, ScriptRunsInOrderThenTheFifoTakesOver)
{
    TestSandbox sb;
    std::string script = sb.Path("/tmp/call.txt");
    {
        std::ofstream out(script);
        out << "# a call from door 1, taken up\ncall 1\nsleep 0.2\ntakeup 3\n";
    }
    std::string fifo = sb.Path("/tmp/station.cmd");
    ChildProcess station({Station(), "--root", sb.Root(), "--script", script, "--fifo", fifo});
    ASSERT_TRUE(station.WaitForOutput("bus -> unit: talk order 8 value1 0 value2 0 target 0 source 3", 10s))
        << station.Output();
    std::string out = station.Output();
    EXPECT_LT(out.find("talk order 0 value1 0"), out.find("talk order 8")) << out;
    UnitSide unit(sb);
    // Frames put on the bus before the unit opened its port wait in the line.
    EXPECT_EQ("02 10 10 10 10 10 10 10 10 11 91 03 02 18 10 10 10 10 10 10 10 13 9B 03", Hex(unit.Read(24)));

    // Two writers one after the other: the FIFO never reads as ended.
    for (const char* line : {"feedback 3\n", "quit\n"}) {
        int fd = open(fifo.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(static_cast<ssize_t>(strlen(line)), write(fd, line, strlen(line)));
        close(fd);
    }
    int status = station.WaitExit(10s);
    ASSERT_TRUE(WIFEXITED(status)) << station.Output();
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_NE(std::string::npos, station.Output().find("bus -> unit: talk order 14 value1 3"));
    EXPECT_FALSE(sb.Exists("/tmp/station.cmd")) << "the FIFO it made is removed";
}

TEST(DoorStationProgram, AStaleCommandFileIsNotReplayed)
{
    // "echo 'doorbell 1' > CMD" while no station ran leaves a plain file in the FIFO's place.
    TestSandbox sb;
    sb.Write("/tmp/station.cmd", "doorbell 1\n");
    std::string fifo = sb.Path("/tmp/station.cmd");
    ChildProcess station({Station(), "--root", sb.Root(), "--fifo", fifo});
    ASSERT_TRUE(station.WaitForOutput("linked at", 10s)) << station.Output();
    struct stat st = {};
    ASSERT_TRUE(Eventually([&] { return lstat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode); }, 5s));
    int fd = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const char line[] = "sar 700\n";
    ASSERT_EQ(static_cast<ssize_t>(strlen(line)), write(fd, line, strlen(line)));
    close(fd);
    ASSERT_TRUE(station.WaitForOutput("sar_ch2 := 700", 5s)) << station.Output();
    EXPECT_EQ(std::string::npos, station.Output().find("sar_ch2 := 500")) << "the stale ring was replayed";
    station.Kill(SIGTERM);
    EXPECT_NE(-1, station.WaitExit(5s));
}

// Started to die with its parent (run.sh), the station ends when the parent is killed hard: no
// station of a killed run reads the root's command FIFO and takes the next run's commands.
TEST(DoorStationProgram, EndsWithItsParentWhenAskedTo)
{
    TestSandbox sb;
    const std::string fifo = sb.Path("/.board/doorstation.cmd");
    // The shell becomes the sleep (the same process): the station's parent, killed below.
    ChildProcess parent({"/bin/sh", "-c",
                         Station() + " --root " + sb.Root() + " --fifo " + fifo +
                             " --die-with-parent > /dev/null 2>&1 & echo station $!; exec sleep 300"});
    ASSERT_TRUE(parent.WaitForOutput("station ", 10s));
    ASSERT_TRUE(Eventually([&] { return sb.Exists("/.board/doorstation.cmd"); }, 10s)) << "the station did not start";
    const std::string out = parent.Output();
    const pid_t station = std::stoi(out.substr(out.find("station ") + 8));
    const auto ended = [station] {
        std::ifstream in("/proc/" + std::to_string(station) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t close = stat.rfind(") ");
        return close == std::string::npos || stat.compare(close + 2, 1, "Z") == 0;
    };
    ASSERT_FALSE(ended());
    parent.Kill(SIGKILL);
    ASSERT_NE(-1, parent.WaitExit(5s));
    EXPECT_TRUE(Eventually(ended, 10s)) << "the station outlived its parent";
    if (!ended()) {
        kill(station, SIGKILL);
    }
    EXPECT_TRUE(Eventually([&] { return !sb.Exists("/.board/doorstation.cmd"); }, 5s)) << "the FIFO it made stays";
}

TEST(DoorStationProgram, LeavesAForeignTtyS2Alone)
{
    TestSandbox sb;
    sb.Write("/dev/ttyS2", "not a link");
    ChildProcess station({Station(), "--root", sb.Root()});
    int status = station.WaitExit(10s);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_NE(0, WEXITSTATUS(status));
    EXPECT_EQ("not a link", sb.Read("/dev/ttyS2"));
}

TEST(DoorStationCommands, BoardLines)
{
    struct {
        const char* line;
        const char* file;
        const char* content;
    } writes[] = {
        {"key down", "/sys/class/gpio/gpio66/value", "0\n"},
        {"key up", "/sys/class/gpio/gpio66/value", "1\n"},
        {"sar 950", "/.board/sar_ch2", "950\n"},
        {"sar 0", "/.board/sar_ch2", "0\n"},
        // The camera the video decoder sees: status (format, lock, standard bits), 0x01, 0x02.
        {"camera 720p", "/.board/decoder", "8a 00 04\n"},
        {"camera 1080p 0", "/.board/decoder", "0b 00 04\n"},
        {"camera pal", "/.board/decoder", "89 00 04\n"},
        {"camera off", "/.board/decoder", "83 00 04\n"},
        {"camera raw 8a f8", "/.board/decoder", "8a f8 04\n"},
    };
    for (const auto& w : writes) {
        Command c = ParseCommand(w.line);
        ASSERT_EQ(Command::Board, c.kind) << w.line << ": " << c.message;
        EXPECT_EQ(w.file, c.file) << w.line;
        EXPECT_EQ(w.content, c.content) << w.line;
    }
    struct {
        const char* line;
        std::vector<std::string> lines;
    } expands[] = {
        {"key", {"key down", "sleep 0.300000", "key up"}},
        {"key 4", {"key down", "sleep 4.000000", "key up"}},
        {"doorbell 1", {"sar 500", "sleep 3.000000", "sar 0"}},
        {"doorbell 2 1.5", {"sar 950", "sleep 1.500000", "sar 0"}},
    };
    for (const auto& e : expands) {
        Command c = ParseCommand(e.line);
        ASSERT_EQ(Command::Expand, c.kind) << e.line << ": " << c.message;
        EXPECT_EQ(e.lines, c.lines) << e.line;
        for (const auto& l : c.lines) {
            EXPECT_NE(Command::Error, ParseCommand(l).kind) << l;
        }
    }
    EXPECT_EQ(Command::Show, ParseCommand("show").kind);
    for (const char* bad : {"key sideways", "key 0", "key 1 2", "sar", "sar 1024", "sar -1", "doorbell",
                            "doorbell 3", "doorbell 1 x", "doorbell 1 0", "camera", "camera 4k", "camera 720p 4",
                            "camera raw", "camera raw 1ff", "camera off 1"}) {
        EXPECT_EQ(Command::Error, ParseCommand(bad).kind) << bad;
    }
}

TEST(DoorStationProgram, PressesTheKeyRingsTheSarAndShowsTheBoard)
{
    TestSandbox sb;
    sb.Write("/.board/74HC595", "0x44 led0=1 led1=0 led2=0 monitor0=0 monitor1=0 lock0=0 lock1=0 video=door0\n");
    ChildProcess station({Station(), "--root", sb.Root()});
    ASSERT_TRUE(station.WaitForOutput("linked at", 10s)) << station.Output();
    station.WriteLine("key down");
    ASSERT_TRUE(station.WaitForOutput("board: /sys/class/gpio/gpio66/value := 0", 5s)) << station.Output();
    EXPECT_EQ("0\n", sb.Read("/sys/class/gpio/gpio66/value"));
    station.WriteLine("sar 950");
    station.WriteLine("show");
    ASSERT_TRUE(station.WaitForOutput("sar ch2: 950", 5s)) << station.Output();
    // A ring of door 1 for 0.2 s: the level goes up into its band and back to quiet.
    station.WriteLine("doorbell 1 0.2");
    ASSERT_TRUE(station.WaitForOutput("board: /.board/sar_ch2 := 500", 5s)) << station.Output();
    ASSERT_TRUE(station.WaitForOutput("board: /.board/sar_ch2 := 0", 5s)) << station.Output();
    EXPECT_EQ("0\n", sb.Read("/.board/sar_ch2"));
    std::string out = station.Output();
    EXPECT_NE(std::string::npos, out.find("74HC595: 0x44 led0=1")) << out;
    EXPECT_NE(std::string::npos, out.find("66 key(0=pressed)=0/in")) << out;
    station.WriteLine("key up");
    ASSERT_TRUE(station.WaitForOutput("gpio66/value := 1", 5s));
    EXPECT_EQ("1\n", sb.Read("/sys/class/gpio/gpio66/value"));
    station.Kill(SIGTERM);
    EXPECT_NE(-1, station.WaitExit(5s));
}

// A script's "wait announce" holds the call until the unit has announced itself on the bus.
TEST(DoorStationProgram, ScriptWaitsForTheUnitsAnnounce)
{
    TestSandbox sb;
    std::string script = sb.Path("/tmp/call.txt");
    {
        std::ofstream out(script);
        out << "wait announce 20\ncall 1\n";
    }
    ChildProcess station({Station(), "--root", sb.Root(), "--script", script});
    ASSERT_TRUE(station.WaitForOutput("linked at", 10s)) << station.Output();
    UnitSide unit(sb);
    EXPECT_FALSE(station.WaitForOutput("bus -> unit:", 1s)) << "the call went out before the announce";
    unit.Write(FromHex("02 01 33 00 00 33 55 10 10 10 10 03"));
    ASSERT_TRUE(station.WaitForOutput("unit -> bus: announce", 5s)) << station.Output();
    EXPECT_TRUE(station.WaitForOutput("bus -> unit: talk order 0 value1 0", 5s)) << station.Output();
}
