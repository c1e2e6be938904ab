#include "I2C.h"

#include "AppLog.h"
#include "DeviceState.h"
#include "platform/board_dev.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>

namespace {

constexpr const char* kI2cDevice[kI2cBusCount] = {"/dev/i2c-0", "/dev/i2c-1"};

// One I2C_RDWR transfer on `bus` under the bus's lock.
int __Transfer(int bus, i2c_msg* msgs, uint32_t count)
{
    if (bus < 0 || bus >= kI2cBusCount) {
        return -1;
    }
    I2C_BUS_S& row = gDeviceState.I2cBus[bus];
    std::lock_guard<std::mutex> lock(row.Mutex);
    if (row.DevPath[0] == '\0') {
        std::snprintf(row.DevPath, sizeof(row.DevPath), "%s", kI2cDevice[bus]);
    }
    int fd = BoardDevOpen(row.DevPath, O_RDWR);
    if (fd < 0) {
        APP_ERR("can not open file %s", row.DevPath);
        return -1;
    }
    i2c_rdwr_ioctl_data data = {msgs, count};
    int rc = BoardDevIoctl(fd, I2C_RDWR, &data);
    int err = errno;
    BoardDevClose(fd);
    if (rc < 0) {
        errno = err;
        std::perror("Unable to send data");
        return -1;
    }
    return 0;
}

}  // namespace

void I2cBusTableInit()
{
    for (int bus = 0; bus < kI2cBusCount; ++bus) {
        I2C_BUS_S& row = gDeviceState.I2cBus[bus];
        std::lock_guard<std::mutex> lock(row.Mutex);
        std::memset(row.DevPath, 0, sizeof(row.DevPath));
        std::snprintf(row.DevPath, sizeof(row.DevPath), "%s", kI2cDevice[bus]);
    }
}

int I2C_WriteReg(int bus, uint8_t address, uint8_t reg, uint8_t value)
{
    uint8_t bytes[2] = {reg, value};
    i2c_msg msg = {address, 0, 2, bytes};
    return __Transfer(bus, &msg, 1);
}

int I2C_ReadReg(int bus, uint8_t address, uint8_t reg, uint8_t* out)
{
    return I2C_ReadRegs(bus, address, reg, out, 1);
}

int I2C_ReadRegs(int bus, uint8_t address, uint8_t reg, uint8_t* out, uint16_t count)
{
    constexpr uint16_t kMaxRegs = 16;
    if (out == nullptr || count == 0 || count > kMaxRegs) {
        return -1;
    }
    uint8_t values[kMaxRegs] = {};
    i2c_msg msgs[2] = {{address, 0, 1, &reg}, {address, I2C_M_RD, count, values}};
    if (__Transfer(bus, msgs, 2) != 0) {
        return -1;
    }
    std::memcpy(out, values, count);
    return 0;
}
