// The sandbox's SD card from a test: tools/sdcard, and card files of any length that take no disk.
#pragma once

#include "sandbox.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

// Runs "tools/sdcard ROOT ARGS" (remove, insert, fill FREE_MIB, ro, rw, ...); its exit status.
inline int SdCardTool(const TestSandbox& sb, const std::string& args)
{
    int rc = std::system((SourceDir() + "/tools/sdcard " + sb.Root() + " " + args + " > /dev/null").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// A file of `bytes` at the unit path, its folders made; sparse, so its length counts on the card
// while it takes no disk. False when it cannot be made.
inline bool SdCardFile(const TestSandbox& sb, const std::string& unitPath, off_t bytes = 1)
{
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(sb.Path(unitPath)).parent_path(), ec);
    int fd = ::open(sb.Path(unitPath).c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    bool ok = ::ftruncate(fd, bytes) == 0;
    ::close(fd);
    return ok;
}
