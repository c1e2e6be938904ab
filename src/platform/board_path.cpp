#include "platform/board_path.h"

#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {
std::mutex gRootMutex;
// Never destroyed: threads of the unit (the LED thread among them) still map paths while the
// process exits.
std::string& gRoot = *new std::string;
bool gRootLoaded = false;

std::string __ReadRoot()
{
    const char* env = std::getenv("DOORPHONE_ROOT");
    std::string root = (env != nullptr && env[0] != '\0') ? env : "/";
    while (root.size() > 1 && root.back() == '/') {
        root.pop_back();
    }
    return root;
}
}  // namespace

std::string BoardRoot()
{
    std::lock_guard<std::mutex> lock(gRootMutex);
    if (!gRootLoaded) {
        gRoot = __ReadRoot();
        gRootLoaded = true;
    }
    return gRoot;
}

void BoardReloadRoot()
{
    std::lock_guard<std::mutex> lock(gRootMutex);
    gRoot = __ReadRoot();
    gRootLoaded = true;
}

std::string BoardPath(const std::string& unitPath)
{
    const std::string root = BoardRoot();
    if (unitPath.empty() || unitPath[0] != '/' || root == "/") {
        return unitPath;
    }
    return root + unitPath;
}

FILE* BoardFopen(const char* unitPath, const char* mode)
{
    return std::fopen(BoardPath(unitPath).c_str(), mode);
}

int BoardOpen(const char* unitPath, int flags, mode_t mode)
{
    return ::open(BoardPath(unitPath).c_str(), flags, mode);
}

int BoardAccess(const char* unitPath, int how)
{
    return ::access(BoardPath(unitPath).c_str(), how);
}

int BoardMkdir(const char* unitPath, mode_t mode)
{
    return ::mkdir(BoardPath(unitPath).c_str(), mode);
}

int BoardUnlink(const char* unitPath)
{
    return ::unlink(BoardPath(unitPath).c_str());
}

int BoardRename(const char* fromUnitPath, const char* toUnitPath)
{
    return ::rename(BoardPath(fromUnitPath).c_str(), BoardPath(toUnitPath).c_str());
}
