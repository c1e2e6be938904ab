// Inside of the simulated board's device layer: the driver models behind the device nodes.
#pragma once

#include "platform/board_sim.h"

#include <memory>
#include <string>

// A driver of the simulated board: answers the ioctls of its device node. Thread-safe.
class SimDevice {
public:
    virtual ~SimDevice() = default;
    // Like ioctl(2): a result >= 0, or -1 with errno set.
    virtual int Ioctl(unsigned long request, void* arg) = 0;
};

std::shared_ptr<SimDevice> SimMakeHc595();
std::shared_ptr<SimDevice> SimMakeSar();
std::shared_ptr<SimDevice> SimMakeI2cBus(int bus);
std::shared_ptr<BoardI2cDevice> SimMakePcf8563();
std::shared_ptr<BoardI2cDevice> SimMakePr2000();

// The model of a node ("/dev/sar", ...), nullptr for a path that is no simulated device.
std::shared_ptr<SimDevice> SimDeviceFor(const std::string& unitPath);
// The I2C bus model `bus` (0 or 1), made with its default devices on first use.
std::shared_ptr<SimDevice> SimI2cBus(int bus);

// "<root>/.board/<name>", or "" when there is no sandbox (nothing is then written).
std::string SimStateFile(const char* name);
// Replaces a file in one step (written aside and renamed), so a reader never sees half of it.
bool SimWriteFileAtomic(const std::string& path, const std::string& content);
// The file's content, or "" when it cannot be read.
std::string SimReadFile(const std::string& path);
