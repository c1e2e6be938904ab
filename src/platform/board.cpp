#include "platform/board.h"

#include "platform/board_msgq.h"
#include "platform/board_path.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {
std::mutex gClockMutex;
bool gClockLoaded = false;
long long gClockOffsetUs = 0;

// Simulation state lives in the sandbox; with no sandbox (root "/") nothing is written.
std::string __StateFile(const char* name)
{
    const std::string root = BoardRoot();
    if (root == "/") {
        return "/dev/null";
    }
    std::string dir = root + "/.board";
    ::mkdir(dir.c_str(), 0755);
    return dir + "/" + name;
}

void __LoadClockLocked()
{
    if (gClockLoaded) {
        return;
    }
    gClockLoaded = true;
    FILE* f = std::fopen(__StateFile("clock_offset").c_str(), "r");  // "/dev/null" reads nothing
    if (f != nullptr) {
        long long v = 0;
        if (std::fscanf(f, "%lld", &v) == 1) {
            gClockOffsetUs = v;
        }
        std::fclose(f);
    }
}

long long __HostNowUs()
{
    struct timeval tv;
    ::gettimeofday(&tv, nullptr);
    return static_cast<long long>(tv.tv_sec) * 1000000LL + tv.tv_usec;
}
}  // namespace

void BoardReboot()
{
    std::fflush(stdout);
    FILE* f = std::fopen(__StateFile("reboot").c_str(), "a");
    if (f != nullptr) {
        std::fprintf(f, "reboot at %ld\n", static_cast<long>(BoardTime(nullptr)));
        std::fclose(f);
    }
    // A reboot clears the kernel's queues; the simulated one must too.
    BoardMsgQueueRemoveOwned();
    std::_Exit(kBoardRebootExitStatus);
}

int BoardSetTimeOfDay(const struct timeval* tv)
{
    if (tv == nullptr || tv->tv_usec < 0 || tv->tv_usec >= 1000000) {
        errno = EINVAL;
        return -1;
    }
    std::lock_guard<std::mutex> lock(gClockMutex);
    __LoadClockLocked();
    gClockOffsetUs = static_cast<long long>(tv->tv_sec) * 1000000LL + tv->tv_usec - __HostNowUs();
    // Written to a temporary name and renamed, so a crash never leaves half a number.
    std::string path = __StateFile("clock_offset");
    if (path == "/dev/null") {
        return 0;
    }
    std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (f == nullptr) {
        return -1;
    }
    std::fprintf(f, "%lld\n", gClockOffsetUs);
    std::fclose(f);
    return std::rename(tmp.c_str(), path.c_str());
}

int BoardGetTimeOfDay(struct timeval* tv)
{
    if (tv == nullptr) {
        errno = EINVAL;
        return -1;
    }
    long long off;
    {
        std::lock_guard<std::mutex> lock(gClockMutex);
        __LoadClockLocked();
        off = gClockOffsetUs;
    }
    long long now = __HostNowUs() + off;
    tv->tv_sec = static_cast<time_t>(now / 1000000LL);
    tv->tv_usec = static_cast<suseconds_t>(now % 1000000LL);
    if (tv->tv_usec < 0) {
        tv->tv_usec += 1000000;
        tv->tv_sec -= 1;
    }
    return 0;
}

time_t BoardTime(time_t* out)
{
    struct timeval tv;
    BoardGetTimeOfDay(&tv);
    if (out != nullptr) {
        *out = tv.tv_sec;
    }
    return tv.tv_sec;
}

void BoardSync()
{
    // Only the sandbox's own file system is flushed.
    int fd = ::open(BoardRoot().c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::syncfs(fd);
        ::close(fd);
    }
}
