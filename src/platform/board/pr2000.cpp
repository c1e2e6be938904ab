// The PR2000 video decoder of the simulated board: paged registers, the camera's signal in the
// status registers, and the output size that follows the programmed format selector.
#include "devices.h"
#include "platform/decoder_sim.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace {

constexpr size_t kWriteLogMax = 8192;
constexpr uint8_t kPageSelect = 0xFF;
constexpr uint8_t kFormatSelector = 0x10;

std::mutex gListenerMutex;
std::function<void(uint16_t, uint16_t)> gListener;

class Pr2000 : public BoardI2cRegisterDevice {
public:
    void SetSignal(uint8_t status, uint8_t reg01, uint8_t reg02)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        __Apply(status, reg01, reg02);
    }

    uint8_t Get(uint8_t page, uint8_t reg)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return reg == kPageSelect ? mPage : mPages[page][reg];
    }

    void Set(uint8_t page, uint8_t reg, uint8_t value)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mPages[page][reg] = value;
    }

    std::vector<BoardDecoderWrite> Writes()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return std::vector<BoardDecoderWrite>(mLog.begin(), mLog.end());
    }

    void ClearWrites()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mLog.clear();
    }

protected:
    uint8_t ReadRegister(uint8_t reg) override
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (reg == kPageSelect) {
            return mPage;
        }
        if (mPage == 0 && reg <= 0x02) {
            __Rescan();
        }
        return mPages[mPage][reg];
    }

    void WriteRegister(uint8_t reg, uint8_t value) override
    {
        int width = 0;
        int height = 0;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            if (mLog.size() == kWriteLogMax) {
                mLog.pop_front();
            }
            mLog.push_back(BoardDecoderWrite{mPage, reg, value});
            if (reg == kPageSelect) {
                mPage = value;
                return;
            }
            if (mPage == 0 && reg <= 0x02) {
                return;  // what the decoder detects: not the unit's to change
            }
            mPages[mPage][reg] = value;
            if (mPage == 0 && reg == kFormatSelector) {
                static const int kSizes[4][2] = {{720, 240}, {720, 288}, {1280, 720}, {1920, 1080}};
                int format = value & 3;
                if (format != mOutput) {
                    mOutput = format;
                    width = kSizes[format][0];
                    height = kSizes[format][1];
                }
            }
        }
        if (width != 0) {
            std::function<void(uint16_t, uint16_t)> listener;
            {
                std::lock_guard<std::mutex> lock(gListenerMutex);
                listener = gListener;
            }
            if (listener) {
                listener(static_cast<uint16_t>(width), static_cast<uint16_t>(height));
            }
        }
    }

private:
    void __Apply(uint8_t status, uint8_t reg01, uint8_t reg02)
    {
        mPages[0][0x00] = status;
        mPages[0][0x01] = reg01;
        mPages[0][0x02] = reg02;
    }

    // The scripted signal file, when it changed since it was last taken.
    void __Rescan()
    {
        std::string text = SimReadFile(SimStateFile("decoder"));
        if (text.empty() || text == mLastScript) {
            return;
        }
        mLastScript = text;
        const char* p = text.c_str();
        char* end = nullptr;
        unsigned long v[3] = {kBoardDecoderDefaultStatus, 0, kBoardDecoderDefaultReg02};
        for (unsigned long& x : v) {
            unsigned long n = std::strtoul(p, &end, 16);
            if (end == p) {
                break;
            }
            x = n & 0xFF;
            p = end;
        }
        __Apply(static_cast<uint8_t>(v[0]), static_cast<uint8_t>(v[1]), static_cast<uint8_t>(v[2]));
    }

    std::mutex mMutex;
    std::map<uint8_t, std::array<uint8_t, 256>> mPages{
        {0, std::array<uint8_t, 256>{kBoardDecoderDefaultStatus, 0, kBoardDecoderDefaultReg02}}};
    uint8_t mPage = 0;
    int mOutput = -1;  // format the output was last sized for
    std::deque<BoardDecoderWrite> mLog;
    std::string mLastScript;
};

std::mutex gCurrentMutex;
std::weak_ptr<Pr2000> gCurrent;

std::shared_ptr<Pr2000> __Decoder()
{
    {
        std::lock_guard<std::mutex> lock(gCurrentMutex);
        if (auto d = gCurrent.lock()) {
            return d;
        }
    }
    SimI2cBus(1);  // makes the bus with its decoder
    std::lock_guard<std::mutex> lock(gCurrentMutex);
    return gCurrent.lock();
}

}  // namespace

std::shared_ptr<BoardI2cDevice> SimMakePr2000()
{
    auto d = std::make_shared<Pr2000>();
    std::lock_guard<std::mutex> lock(gCurrentMutex);
    gCurrent = d;
    return d;
}

void BoardDecoderSetSignal(uint8_t status, uint8_t reg01, uint8_t reg02)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%02x %02x %02x\n", status, reg01, reg02);
    SimWriteFileAtomic(SimStateFile("decoder"), text);
    if (auto d = __Decoder()) {
        d->SetSignal(status, reg01, reg02);
    }
}

uint8_t BoardDecoderRegister(uint8_t page, uint8_t reg)
{
    auto d = __Decoder();
    return d ? d->Get(page, reg) : 0;
}

void BoardDecoderSetRegister(uint8_t page, uint8_t reg, uint8_t value)
{
    if (auto d = __Decoder()) {
        d->Set(page, reg, value);
    }
}

std::vector<BoardDecoderWrite> BoardDecoderWrites()
{
    auto d = __Decoder();
    return d ? d->Writes() : std::vector<BoardDecoderWrite>{};
}

void BoardDecoderClearWrites()
{
    if (auto d = __Decoder()) {
        d->ClearWrites();
    }
}

void BoardDecoderOnOutput(std::function<void(uint16_t, uint16_t)> listener)
{
    std::lock_guard<std::mutex> lock(gListenerMutex);
    gListener = std::move(listener);
}
