#include "platform/board_path.h"

#include "platform/board_file_model.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
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

#ifdef DOORPHONE_UNIT_BOARD
constexpr bool kUnitBoard = true;
#else
constexpr bool kUnitBoard = false;
#endif

// "" when no root is given.
std::string __ReadRoot()
{
    const char* env = std::getenv("DOORPHONE_ROOT");
    std::string root = (env != nullptr && env[0] != '\0') ? env : (kUnitBoard ? "/" : "");
    while (root.size() > 1 && root.back() == '/') {
        root.pop_back();
    }
    return root;
}

// On the simulated board "/" would be the host's own file system: the unit would write the
// host's "/etc/wpa.conf" and friends. Nothing of the board runs without a sandbox.
[[noreturn]] void __RefuseWithoutRoot(const std::string& root)
{
    std::fflush(stdout);
    std::fprintf(stderr,
                 "doorphone: the simulated board needs a sandbox as its root, got DOORPHONE_ROOT=\"%s\".\n"
                 "Start the unit with ./run.sh, or lay a sandbox out with tools/mksandbox DIR and set\n"
                 "DOORPHONE_ROOT=DIR (an existing folder other than \"/\").\n",
                 root.c_str());
    _exit(kBoardNoRootExitStatus);
}

bool __Usable(const std::string& root)
{
    if (kUnitBoard && root == "/") {
        return true;
    }
    struct stat st;
    return !root.empty() && root != "/" && root[0] == '/' && ::stat(root.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
}  // namespace

std::string BoardRoot()
{
    std::lock_guard<std::mutex> lock(gRootMutex);
    if (!gRootLoaded) {
        gRoot = __ReadRoot();
        if (!__Usable(gRoot)) {
            __RefuseWithoutRoot(gRoot);
        }
        gRootLoaded = true;
    }
    return gRoot;
}

void BoardReloadRoot()
{
    // Read again at the next use: a test between two sandboxes has none.
    std::lock_guard<std::mutex> lock(gRootMutex);
    gRootLoaded = false;
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
    FILE* f = std::fopen(BoardPath(unitPath).c_str(), mode);
    if (f != nullptr && mode != nullptr && std::strpbrk(mode, "wa+") != nullptr) {
        PowerModelOpened(fileno(f));
    }
    return f;
}

int BoardOpen(const char* unitPath, int flags, mode_t mode)
{
    const int fd = ::open(BoardPath(unitPath).c_str(), flags, mode);
    if ((flags & O_ACCMODE) != O_RDONLY) {
        PowerModelOpened(fd);
    }
    return fd;
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
    const std::string path = BoardPath(unitPath);
    PowerModelUnlinked(path);
    return ::unlink(path.c_str());
}

int BoardRename(const char* fromUnitPath, const char* toUnitPath)
{
    return PowerModelRename(BoardPath(fromUnitPath), BoardPath(toUnitPath));
}
