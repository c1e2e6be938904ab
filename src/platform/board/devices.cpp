// The device layer of the simulated board: descriptors of device nodes are mapped to the models
// that answer their ioctls.
#include "devices.h"

#include "platform/board_dev.h"
#include "platform/board_path.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Models {
    std::mutex Mutex;
    std::shared_ptr<SimDevice> Hc595;
    std::shared_ptr<SimDevice> Sar;
    std::shared_ptr<SimDevice> I2c[kBoardI2cBusCount];
    std::map<int, std::shared_ptr<SimDevice>> Open;  // descriptor -> model
};

// Never destroyed: threads of the unit may still drive a device while the process exits.
Models& __Models()
{
    static Models* models = new Models;
    return *models;
}

template <typename Make>
std::shared_ptr<SimDevice> __Get(std::shared_ptr<SimDevice>& slot, Make make)
{
    if (slot == nullptr) {
        slot = make();
    }
    return slot;
}

}  // namespace

std::shared_ptr<SimDevice> SimI2cBus(int bus)
{
    if (bus < 0 || bus >= kBoardI2cBusCount) {
        return nullptr;
    }
    Models& m = __Models();
    std::lock_guard<std::mutex> lock(m.Mutex);
    return __Get(m.I2c[bus], [bus] { return SimMakeI2cBus(bus); });
}

std::shared_ptr<SimDevice> SimDeviceFor(const std::string& unitPath)
{
    if (unitPath == "/dev/i2c-0") {
        return SimI2cBus(0);
    }
    if (unitPath == "/dev/i2c-1") {
        return SimI2cBus(1);
    }
    Models& m = __Models();
    std::lock_guard<std::mutex> lock(m.Mutex);
    if (unitPath == "/dev/74HC595") {
        return __Get(m.Hc595, SimMakeHc595);
    }
    if (unitPath == "/dev/sar") {
        return __Get(m.Sar, SimMakeSar);
    }
    return nullptr;
}

void BoardDevReset()
{
    Models& m = __Models();
    std::lock_guard<std::mutex> lock(m.Mutex);
    m.Hc595.reset();
    m.Sar.reset();
    for (auto& bus : m.I2c) {
        bus.reset();
    }
}

int BoardDevOpen(const char* unitPath, int flags)
{
    if (unitPath == nullptr) {
        errno = EINVAL;
        return -1;
    }
    // Without a sandbox there is no simulated device, and the host's own are never touched.
    if (BoardRoot() == "/") {
        errno = ENODEV;
        return -1;
    }
    std::shared_ptr<SimDevice> model = SimDeviceFor(unitPath);
    int fd = ::open(BoardPath(unitPath).c_str(), flags | O_CLOEXEC);
    if (fd < 0 || model == nullptr) {
        return fd;
    }
    Models& m = __Models();
    std::lock_guard<std::mutex> lock(m.Mutex);
    m.Open[fd] = std::move(model);
    return fd;
}

int BoardDevIoctl(int fd, unsigned long request, void* arg)
{
    std::shared_ptr<SimDevice> model;
    {
        Models& m = __Models();
        std::lock_guard<std::mutex> lock(m.Mutex);
        auto it = m.Open.find(fd);
        if (it != m.Open.end()) {
            model = it->second;
        }
    }
    if (model == nullptr) {
        return ::ioctl(fd, request, arg);
    }
    return model->Ioctl(request, arg);
}

int BoardDevClose(int fd)
{
    {
        Models& m = __Models();
        std::lock_guard<std::mutex> lock(m.Mutex);
        m.Open.erase(fd);
    }
    return ::close(fd);
}

std::string SimStateFile(const char* name)
{
    const std::string root = BoardRoot();
    if (root == "/") {
        return "";
    }
    std::string dir = root + "/.board";
    ::mkdir(dir.c_str(), 0755);
    return dir + "/" + name;
}

bool SimWriteFileAtomic(const std::string& path, const std::string& content)
{
    if (path.empty()) {
        return false;
    }
    std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (f == nullptr) {
        return false;
    }
    bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    ok = std::fclose(f) == 0 && ok;
    return ok && std::rename(tmp.c_str(), path.c_str()) == 0;
}

std::string SimReadFile(const std::string& path)
{
    std::string out;
    FILE* f = path.empty() ? nullptr : std::fopen(path.c_str(), "r");
    if (f == nullptr) {
        return out;
    }
    char buf[256];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) {
        out.append(buf, n);
    }
    std::fclose(f);
    return out;
}
