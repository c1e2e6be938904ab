// Door-station simulator: plays the rest of the intercom bus for the simulated unit.
//
// It owns a pseudo-terminal and links the slave side at <root>/dev/ttyS2, where the unit opens
// its serial port. Like a two-wire bus it sends every byte the unit writes straight back (the
// echo), prints every frame it hears from the unit, decoded, and puts door-station and handset
// frames on the bus on command. It also stands at the unit's board: it presses the key, rings
// the analogue doors through the SAR level, and shows the unit's outputs.
//
// Usage: doorstation [--root DIR] [--script FILE] [--fifo PATH] [--log FILE] [--stamp 1] [--die-with-parent]
//   --root    board root (default $DOORPHONE_ROOT)
//   --script  commands to run first ("sleep N" waits); then commands come from the FIFO or stdin
//   --fifo    read commands from this FIFO (made if missing) instead of stdin
//   --log     also append every output line to this file
//   --die-with-parent  end when the process that started it ends (run.sh: a run killed hard
//             leaves no station reading the root's command FIFO)
#include "board_io.h"
#include "bus_codec.h"
#include "commands.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <sys/prctl.h>
#include <unistd.h>

using namespace doorstation;
using Clock = std::chrono::steady_clock;

namespace {

volatile std::sig_atomic_t gStop = 0;

void OnSignal(int)
{
    gStop = 1;
}

FILE* gLog = nullptr;
bool gStamp = false;  // --stamp 1: each line begins with "[mono US] " (CLOCK_MONOTONIC, microseconds)

void Say(const std::string& line)
{
    std::string l = line + "\n";
    if (gStamp) {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        l = "[mono " + std::to_string(static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000) + "] " + l;
    }
    std::fwrite(l.data(), 1, l.size(), stdout);
    std::fflush(stdout);
    if (gLog != nullptr) {
        std::fwrite(l.data(), 1, l.size(), gLog);
        std::fflush(gLog);
    }
}

void Usage()
{
    std::fprintf(stderr, "usage: doorstation [--root DIR] [--script FILE] [--fifo PATH] [--log FILE] [--stamp 1] "
                 "[--die-with-parent]\n");
}

// Writes all of `bytes`; the unit not reading for a while must not stall the bus.
bool WriteAll(int fd, const Bytes& bytes)
{
    size_t done = 0;
    int tries = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN && ++tries < 50) {
            struct pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, 10);
            continue;
        }
        return false;
    }
    return true;
}

struct Bus {
    int master = -1;
    int slave = -1;  // kept open so that the line stays up while the unit has it closed
    std::string slaveName;
    std::string link;
};

bool OpenBus(Bus& bus, const std::string& root)
{
    bus.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (bus.master < 0 || grantpt(bus.master) != 0 || unlockpt(bus.master) != 0) {
        std::fprintf(stderr, "doorstation: no pseudo-terminal: %s\n", std::strerror(errno));
        return false;
    }
    const char* name = ptsname(bus.master);
    if (name == nullptr) {
        return false;
    }
    bus.slaveName = name;
    bus.slave = open(name, O_RDWR | O_NOCTTY);
    if (bus.slave < 0) {
        std::fprintf(stderr, "doorstation: cannot open %s: %s\n", name, std::strerror(errno));
        return false;
    }
    // Raw from the start, so that nothing the line discipline does gets between the unit and
    // the bus before the unit sets the port up itself.
    struct termios t = {};
    tcgetattr(bus.slave, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(bus.slave, TCSANOW, &t);
    fcntl(bus.master, F_SETFL, fcntl(bus.master, F_GETFL) | O_NONBLOCK);

    std::string dev = root + "/dev";
    mkdir(dev.c_str(), 0755);
    bus.link = dev + "/ttyS2";
    struct stat st = {};
    if (lstat(bus.link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            std::fprintf(stderr, "doorstation: %s exists and is not a link; left alone\n", bus.link.c_str());
            return false;
        }
        unlink(bus.link.c_str());
    }
    if (symlink(name, bus.link.c_str()) != 0) {
        std::fprintf(stderr, "doorstation: cannot link %s: %s\n", bus.link.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

void CloseBus(Bus& bus)
{
    // The link goes only if it is still ours (another simulator may have taken the root over).
    char target[256];
    ssize_t n = bus.link.empty() ? -1 : readlink(bus.link.c_str(), target, sizeof(target) - 1);
    if (n > 0) {
        target[n] = '\0';
        if (bus.slaveName == target) {
            unlink(bus.link.c_str());
        }
    }
    if (bus.slave >= 0) {
        close(bus.slave);
    }
    if (bus.master >= 0) {
        close(bus.master);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::string root = std::getenv("DOORPHONE_ROOT") != nullptr ? std::getenv("DOORPHONE_ROOT") : "";
    std::string script, fifo, logPath;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--die-with-parent") {
            // The parent may have ended before this line: then the station ends at once.
            const pid_t parent = getppid();
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (parent == 1 || getppid() != parent) {
                return 1;
            }
            continue;
        }
        if (i + 1 >= argc) {
            Usage();
            return 2;
        }
        if (a == "--root") {
            root = argv[++i];
        } else if (a == "--script") {
            script = argv[++i];
        } else if (a == "--fifo") {
            fifo = argv[++i];
        } else if (a == "--log") {
            logPath = argv[++i];
        } else if (a == "--stamp") {
            gStamp = std::string(argv[++i]) == "1";
        } else {
            Usage();
            return 2;
        }
    }
    if (root.empty()) {
        std::fprintf(stderr, "doorstation: no board root (--root or DOORPHONE_ROOT)\n");
        return 2;
    }
    std::deque<std::string> pending;  // command lines not run yet
    if (!script.empty()) {
        std::ifstream in(script);
        if (!in) {
            std::fprintf(stderr, "doorstation: cannot read %s\n", script.c_str());
            return 2;
        }
        for (std::string line; std::getline(in, line);) {
            pending.push_back(line);
        }
    }
    if (!logPath.empty()) {
        gLog = std::fopen(logPath.c_str(), "a");
    }

    int input = STDIN_FILENO;
    bool madeFifo = false;
    if (!fifo.empty()) {
        // A plain file there was made by a command written while no station ran: its lines are
        // stale, and reading it would replay them at every start.
        struct stat st = {};
        if (lstat(fifo.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            std::fprintf(stderr, "doorstation: %s was a plain file (commands written while no station ran): dropped\n",
                         fifo.c_str());
            unlink(fifo.c_str());
        }
        madeFifo = mkfifo(fifo.c_str(), 0600) == 0;
        if (!madeFifo && errno != EEXIST) {
            std::fprintf(stderr, "doorstation: cannot make %s: %s\n", fifo.c_str(), std::strerror(errno));
            return 2;
        }
        // Opened for writing too, so that the FIFO never reads as ended between writers.
        input = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
        if (input < 0) {
            std::fprintf(stderr, "doorstation: cannot open %s: %s\n", fifo.c_str(), std::strerror(errno));
            return 2;
        }
    }

    // The stop signals stay blocked except inside ppoll, so that one arriving between the check
    // of gStop and the wait cannot be missed.
    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    sigset_t stopSignals, waitMask;
    sigemptyset(&stopSignals);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(sig, &sa, nullptr);
        sigaddset(&stopSignals, sig);
    }
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    signal(SIGPIPE, SIG_IGN);

    Bus bus;
    if (!OpenBus(bus, root)) {
        CloseBus(bus);
        return 1;
    }
    Say("doorstation: bus on " + bus.slaveName + " linked at " + bus.link + " (type help for commands)");

    FrameSplitter fromUnit;
    std::string inputLine;
    bool inputOpen = true;
    Clock::time_point resume = Clock::now();
    bool quit = false;
    bool heardAnnounce = false;    // the unit has announced itself on the bus
    bool waitingAnnounce = false;  // a "wait announce" holds the commands after it

    while (!gStop && !quit) {
        if (waitingAnnounce && Clock::now() >= resume) {
            Say("doorstation: no announce frame from the unit: going on");
            waitingAnnounce = false;
        }
        // Run what is due: commands up to the next sleep.
        while (!pending.empty() && Clock::now() >= resume && !quit) {
            std::string line = pending.front();
            pending.pop_front();
            Command c = ParseCommand(line);
            switch (c.kind) {
            case Command::None:
                break;
            case Command::Send:
                Say("bus -> unit: " + DescribeFrame(c.frame));
                if (!WriteAll(bus.master, c.frame)) {
                    Say("doorstation: the unit does not read; frame lost");
                }
                break;
            case Command::Sleep:
                resume = Clock::now() + std::chrono::microseconds(static_cast<long long>(c.seconds * 1e6));
                break;
            case Command::WaitAnnounce:
                if (!heardAnnounce) {
                    waitingAnnounce = true;
                    resume = Clock::now() + std::chrono::microseconds(static_cast<long long>(c.seconds * 1e6));
                }
                break;
            case Command::Help:
                Say(HelpText());
                break;
            case Command::Quit:
                quit = true;
                break;
            case Command::Error:
                Say("doorstation: " + c.message);
                break;
            case Command::Board: {
                std::string value = c.content.substr(0, c.content.find('\n'));
                if (WriteBoardFile(root, c.file, c.content)) {
                    Say("board: " + c.file + " := " + value);
                } else {
                    Say("doorstation: cannot write " + root + c.file + ": " + std::strerror(errno));
                }
                break;
            }
            case Command::Show:
                Say(DescribeBoard(root));
                break;
            case Command::Expand:
                pending.insert(pending.begin(), c.lines.begin(), c.lines.end());
                break;
            }
        }
        if (quit) {
            break;
        }

        struct timespec wait = {};
        struct timespec* timeout = nullptr;
        if (!pending.empty()) {
            auto left = std::chrono::duration_cast<std::chrono::microseconds>(resume - Clock::now()).count();
            left = left < 0 ? 0 : left;
            wait.tv_sec = left / 1000000;
            wait.tv_nsec = left % 1000000 * 1000;
            timeout = &wait;
        }
        struct pollfd fds[2] = {{bus.master, POLLIN, 0}, {input, POLLIN, 0}};
        // Commands typed during a script wait behind it.
        nfds_t n = inputOpen ? 2 : 1;
        if (ppoll(fds, n, timeout, &waitMask) < 0) {
            continue;  // a signal
        }
        if (fds[0].revents & POLLIN) {
            uint8_t buf[256];
            ssize_t got = read(bus.master, buf, sizeof(buf));
            if (got > 0) {
                Bytes bytes(buf, buf + got);
                WriteAll(bus.master, bytes);  // the bus echo
                for (uint8_t b : bytes) {
                    if (auto frame = fromUnit.Push(b)) {
                        std::string said = DescribeFrame(*frame);
                        Say("unit -> bus: " + said);
                        if (said.rfind("announce ", 0) == 0) {
                            heardAnnounce = true;
                            if (waitingAnnounce) {
                                waitingAnnounce = false;
                                resume = Clock::now();
                            }
                        }
                    }
                }
            }
        }
        if (n == 2 && (fds[1].revents & (POLLIN | POLLHUP))) {
            char buf[512];
            ssize_t got = read(input, buf, sizeof(buf));
            if (got > 0) {
                inputLine.append(buf, static_cast<size_t>(got));
                for (size_t nl; (nl = inputLine.find('\n')) != std::string::npos;) {
                    pending.push_back(inputLine.substr(0, nl));
                    inputLine.erase(0, nl + 1);
                }
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                inputOpen = false;  // end of input: the bus stays up until a signal
            }
        }
    }
    Say("doorstation: stopped");
    CloseBus(bus);
    if (!fifo.empty()) {
        close(input);
        if (madeFifo) {
            unlink(fifo.c_str());
        }
    }
    if (gLog != nullptr) {
        std::fclose(gLog);
    }
    return 0;
}
