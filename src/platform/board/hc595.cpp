// The 74HC595 driver and the SAR converter of the simulated board.
#include "devices.h"

#include "platform/board_dev.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <mutex>
#include <sys/time.h>

namespace {

// The history is kept to a few thousand lines; a unit left running blinks for ever.
constexpr long kHistoryMaxBytes = 256 * 1024;

class Hc595 : public SimDevice {
public:
    int Ioctl(unsigned long request, void* arg) override
    {
        if (arg == nullptr) {
            errno = EFAULT;
            return -1;
        }
        std::lock_guard<std::mutex> lock(mMutex);
        if (request == kHc595IoctlSetup) {
            const uint8_t* lines = static_cast<const uint8_t*>(arg);
            char text[64];
            std::snprintf(text, sizeof(text), "set-up: data/clock/latch lines %u %u %u", lines[0], lines[1], lines[2]);
            __History(text);
            mSetUp = true;
            return 0;
        }
        if (request == kHc595IoctlWrite) {
            if (!mSetUp) {
                errno = EIO;  // the driver has no lines to shift on yet
                return -1;
            }
            uint8_t image = *static_cast<const uint8_t*>(arg);
            if (image != mLast) {
                std::string line = BoardHc595Describe(image);
                SimWriteFileAtomic(SimStateFile("74HC595"), line + "\n");
                __History(line);
            }
            mLast = image;
            gLastImage = image;
            std::lock_guard<std::mutex> hookLock(gHookMutex);
            if (*gOnWrite) {
                (*gOnWrite)(image);
            }
            return 0;
        }
        errno = ENOTTY;
        return -1;
    }

    static std::atomic<int> gLastImage;
    static std::mutex gHookMutex;
    static std::function<void(uint8_t)>* gOnWrite;  // never destroyed: writes go on during exit

private:
    void __History(const std::string& line)
    {
        std::string path = SimStateFile("74HC595.log");
        if (path.empty()) {
            return;
        }
        FILE* f = std::fopen(path.c_str(), "a");
        if (f == nullptr) {
            return;
        }
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        struct tm tm;
        localtime_r(&tv.tv_sec, &tm);
        std::fprintf(f, "%02d:%02d:%02d.%03ld %s\n", tm.tm_hour, tm.tm_min, tm.tm_sec,
                     static_cast<long>(tv.tv_usec / 1000), line.c_str());
        long size = std::ftell(f);
        std::fclose(f);
        if (size > kHistoryMaxBytes) {
            std::rename(path.c_str(), (path + ".old").c_str());
        }
    }

    std::mutex mMutex;
    bool mSetUp = false;
    int mLast = -1;
};

std::atomic<int> Hc595::gLastImage{-1};
std::mutex Hc595::gHookMutex;
std::function<void(uint8_t)>* Hc595::gOnWrite = new std::function<void(uint8_t)>;

class Sar : public SimDevice {
public:
    int Ioctl(unsigned long request, void* arg) override
    {
        if (request == kSarIoctlInit) {
            return 0;
        }
        if (request != IOCTL_SAR_SET_CHANNEL_READ_VALUE) {
            errno = ENOTTY;
            return -1;
        }
        auto* read = static_cast<SAR_CHANNEL_READ_S*>(arg);
        if (read == nullptr) {
            errno = EFAULT;
            return -1;
        }
        if (read->Channel >= kChannels) {
            errno = EINVAL;
            return -1;
        }
        char name[16];
        std::snprintf(name, sizeof(name), "sar_ch%u", read->Channel);
        // No level file reads as a quiet input.
        long level = std::strtol(SimReadFile(SimStateFile(name)).c_str(), nullptr, 10);
        read->Value = static_cast<uint32_t>(level < 0 ? 0 : level > kFullScale ? kFullScale : level);
        return 0;
    }

private:
    static constexpr uint32_t kChannels = 8;
    static constexpr long kFullScale = 1023;  // 10-bit converter
};

}  // namespace

std::shared_ptr<SimDevice> SimMakeHc595()
{
    Hc595::gLastImage = -1;
    return std::make_shared<Hc595>();
}

std::shared_ptr<SimDevice> SimMakeSar()
{
    return std::make_shared<Sar>();
}

int BoardHc595LastImage()
{
    return Hc595::gLastImage;
}

void BoardHc595OnWrite(std::function<void(uint8_t)> hook)
{
    std::lock_guard<std::mutex> lock(Hc595::gHookMutex);
    *Hc595::gOnWrite = std::move(hook);
}

std::string BoardHc595Describe(uint8_t image)
{
    auto bit = [image](int n) { return (image >> n) & 1; };
    char text[160];
    std::snprintf(text, sizeof(text),
                  "0x%02X led0=%d led1=%d led2=%d monitor0=%d monitor1=%d lock0=%d lock1=%d video=door%d",
                  image, bit(2), bit(1), bit(0), bit(3), bit(4), bit(5), bit(7), bit(6) ? 0 : 1);
    return text;
}
