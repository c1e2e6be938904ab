// Device files of the board that are driven by ioctl: "/dev/74HC595", "/dev/sar", "/dev/i2c-0",
// "/dev/i2c-1". An ioctl cannot be answered by a plain file, so the application opens, drives and
// closes these devices through here. On the simulated board each device node is a plain file in
// the sandbox (remove it and the device is missing) and the driver is a model in this process.
#pragma once

#include <cstdint>

// 74HC595 shift-register driver: set-up with the three GPIO lines that drive the register (a
// 3-byte argument), and a write of the 8 output bits (a 1-byte argument).
constexpr unsigned long kHc595IoctlSetup = 0xC0034801;
constexpr unsigned long kHc595IoctlWrite = 0xC0014802;

// SAR (ADC) driver: 0x6100 initialises the converter (argument 0); the channel read takes a
// SAR_CHANNEL_READ_S whose value the driver fills.
constexpr unsigned long kSarIoctlInit = 0x6100;
constexpr unsigned long IOCTL_SAR_SET_CHANNEL_READ_VALUE = 0x6101;

struct SAR_CHANNEL_READ_S {
    uint32_t Channel;
    uint32_t Value;
};

// Like open(2), ioctl(2) and close(2) on a unit path. Descriptors from BoardDevOpen must be
// closed with BoardDevClose. Errors return -1 with errno set (ENOENT for a missing node).
int BoardDevOpen(const char* unitPath, int flags);
int BoardDevIoctl(int fd, unsigned long request, void* arg);
int BoardDevClose(int fd);
