// I2C buses of the simulated board, their register-file devices and the PCF8563 clock.
#include "devices.h"
#include "platform/decoder_sim.h"

#include <cerrno>
#include <cstdio>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <map>
#include <mutex>
#include <set>

namespace {

constexpr uint16_t kPcf8563Address = 0x51;

class I2cBus : public SimDevice {
public:
    explicit I2cBus(int bus)
    {
        if (bus == 1) {
            mDevices[kPcf8563Address] = SimMakePcf8563();
            mDevices[kBoardDecoderAddress] = SimMakePr2000();
        }
    }

    int Ioctl(unsigned long request, void* arg) override
    {
        if (request != I2C_RDWR) {
            errno = ENOTTY;
            return -1;
        }
        auto* data = static_cast<i2c_rdwr_ioctl_data*>(arg);
        if (data == nullptr) {
            errno = EFAULT;
            return -1;
        }
        if (data->nmsgs == 0 || data->nmsgs > I2C_RDWR_IOCTL_MAX_MSGS) {
            errno = EINVAL;
            return -1;
        }
        if (data->msgs == nullptr) {
            errno = EFAULT;
            return -1;
        }
        std::lock_guard<std::mutex> lock(mMutex);
        // The messages go out one after another with repeated starts; a device that does not
        // acknowledge ends the transfer there, as on the wire.
        for (uint32_t i = 0; i < data->nmsgs; ++i) {
            const i2c_msg& msg = data->msgs[i];
            if (msg.len > 0 && msg.buf == nullptr) {
                errno = EFAULT;
                return -1;
            }
            if ((msg.flags & I2C_M_TEN) != 0 || msg.addr > 0x7F) {
                errno = EINVAL;
                return -1;
            }
            auto it = mDevices.find(msg.addr);
            if (it == mDevices.end() || mNack.count(msg.addr) != 0) {
                errno = ENXIO;
                return -1;
            }
            int rc = 0;
            if ((msg.flags & I2C_M_RD) != 0) {
                rc = it->second->Read(msg.buf, msg.len);
            } else if (msg.len > 0) {
                rc = it->second->Write(msg.buf, msg.len);
            }
            if (rc < 0) {
                errno = EIO;
                return -1;
            }
        }
        return static_cast<int>(data->nmsgs);
    }

    void Attach(uint16_t address, std::shared_ptr<BoardI2cDevice> device)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (device == nullptr) {
            mDevices.erase(address);
        } else {
            mDevices[address] = std::move(device);
        }
    }

    void SetNack(uint16_t address, bool nack)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (nack) {
            mNack.insert(address);
        } else {
            mNack.erase(address);
        }
    }

private:
    std::mutex mMutex;
    std::map<uint16_t, std::shared_ptr<BoardI2cDevice>> mDevices;
    std::set<uint16_t> mNack;
};

uint8_t __Bcd(int v)
{
    return static_cast<uint8_t>(((v / 10) << 4) | (v % 10));
}

int __Bin(uint8_t v)
{
    return (v & 0x0F) + (v >> 4) * 10;
}

std::mutex gHostClockMutex;
std::function<time_t()> gHostClock;

time_t __HostNow()
{
    std::lock_guard<std::mutex> lock(gHostClockMutex);
    return gHostClock ? gHostClock() : time(nullptr);
}

// The PCF8563 keeps counting from what was set last, on the host's clock. While the stop bit of
// control register 0 is set the time registers hold still and take writes; clearing it starts
// the clock from them. The distance to the host clock is kept in the sandbox, as the chip keeps
// its time over a restart of the unit.
class Pcf8563 : public BoardI2cRegisterDevice {
public:
    Pcf8563()
    {
        long long offset = 0;
        int weekdayFix = 0;
        if (std::sscanf(SimReadFile(SimStateFile("rtc")).c_str(), "%lld %d", &offset, &weekdayFix) == 2) {
            mOffset = static_cast<time_t>(offset);
            mWeekdayFix = ((weekdayFix % 7) + 7) % 7;
        } else {
            mLowVoltage = true;  // never set: the chip reports that its time is not valid
        }
    }

    // The chip copies its counters into the registers at the start of a read message and
    // holds them for the whole message, so one burst read never tears at a rollover.
    int Read(uint8_t* data, size_t len) override
    {
        if (!mStopped) {
            __Latch(__HostNow() + mOffset);
        }
        return BoardI2cRegisterDevice::Read(data, len);
    }

protected:
    void WriteRegister(uint8_t reg, uint8_t value) override
    {
        if (reg == 0) {
            bool stop = (value & kStop) != 0;
            if (stop && !mStopped) {
                __Latch(__HostNow() + mOffset);
            } else if (!stop && mStopped) {
                mStopped = false;
                __Rebase();
            }
            mStopped = stop;
            mRegs[0] = value;
            return;
        }
        if (!__IsTime(reg)) {
            mRegs[reg] = value;
            return;
        }
        if (!mStopped) {
            __Latch(__HostNow() + mOffset);
        }
        mRegs[reg] = value;
        if (reg == 2) {
            mLowVoltage = (value & 0x80) != 0;
        }
        if (!mStopped) {
            __Rebase();
        }
    }

private:
    static constexpr uint8_t kStop = 0x20;
    static bool __IsTime(uint8_t reg) { return reg >= 2 && reg <= 8; }

    void __Latch(time_t t)
    {
        struct tm tm = {};
        gmtime_r(&t, &tm);
        int year = tm.tm_year + 1900;
        mRegs[2] = static_cast<uint8_t>(__Bcd(tm.tm_sec) | (mLowVoltage ? 0x80 : 0));
        mRegs[3] = __Bcd(tm.tm_min);
        mRegs[4] = __Bcd(tm.tm_hour);
        mRegs[5] = __Bcd(tm.tm_mday);
        mRegs[6] = static_cast<uint8_t>((tm.tm_wday + mWeekdayFix) % 7);
        mRegs[7] = static_cast<uint8_t>(__Bcd(tm.tm_mon + 1) | (year < 2000 ? 0x80 : 0));
        mRegs[8] = __Bcd(year % 100);
    }

    // The time registers as they stand become the running time.
    void __Rebase()
    {
        struct tm tm = {};
        tm.tm_sec = __Bin(mRegs[2] & 0x7F);
        tm.tm_min = __Bin(mRegs[3] & 0x7F);
        tm.tm_hour = __Bin(mRegs[4] & 0x3F);
        tm.tm_mday = __Bin(mRegs[5] & 0x3F);
        tm.tm_mon = __Bin(mRegs[7] & 0x1F) - 1;
        tm.tm_year = ((mRegs[7] & 0x80) != 0 ? 0 : 100) + __Bin(mRegs[8]);
        time_t t = timegm(&tm);
        mOffset = t - __HostNow();
        mWeekdayFix = ((mRegs[6] & 0x07) - tm.tm_wday + 7) % 7;
        char text[48];
        std::snprintf(text, sizeof(text), "%lld %d\n", static_cast<long long>(mOffset), mWeekdayFix);
        SimWriteFileAtomic(SimStateFile("rtc"), text);
    }

    bool mStopped = false;
    bool mLowVoltage = false;
    time_t mOffset = 0;   // chip time minus host time
    int mWeekdayFix = 0;  // weekday register minus the calendar's weekday, modulo 7
};

}  // namespace

int BoardI2cRegisterDevice::Write(const uint8_t* data, size_t len)
{
    mPointer = data[0];
    for (size_t i = 1; i < len; ++i) {
        WriteRegister(mPointer++, data[i]);
    }
    return 0;
}

int BoardI2cRegisterDevice::Read(uint8_t* data, size_t len)
{
    for (size_t i = 0; i < len; ++i) {
        data[i] = ReadRegister(mPointer++);
    }
    return 0;
}

std::shared_ptr<SimDevice> SimMakeI2cBus(int bus)
{
    return std::make_shared<I2cBus>(bus);
}

std::shared_ptr<BoardI2cDevice> SimMakePcf8563()
{
    return std::make_shared<Pcf8563>();
}

void BoardI2cAttach(int bus, uint16_t address, std::shared_ptr<BoardI2cDevice> device)
{
    auto model = std::static_pointer_cast<I2cBus>(SimI2cBus(bus));
    if (model != nullptr) {
        model->Attach(address, std::move(device));
    }
}

void BoardI2cSetNack(int bus, uint16_t address, bool nack)
{
    auto model = std::static_pointer_cast<I2cBus>(SimI2cBus(bus));
    if (model != nullptr) {
        model->SetNack(address, nack);
    }
}

void BoardRtcSetHostClock(std::function<time_t()> now)
{
    std::lock_guard<std::mutex> lock(gHostClockMutex);
    gHostClock = std::move(now);
}
