// The simulated SD card slot: the sandbox's mount table, and the card's space as statfs shows it.
// The simulated mount tools (src/platform/sim/bin/.cardlib) edit the same table under the same
// lock file, in the same line format.
#include "devices.h"

#include "platform/board_card.h"
#include "platform/board_path.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <initializer_list>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kMountTable = "/proc/mounts";
constexpr const char* kCardFolder = "/mnt/sdcard";
constexpr const char* kCardNodePrefix = "/dev/mmcblk";
// As the kernel lists a vfat mount; the first option is "rw" or "ro".
constexpr const char* kVfatOptions = "relatime,fmask=0022,dmask=0022,codepage=437,iocharset=iso8859-1,shortname=mixed,errors=remount-ro";
constexpr long kMsdosSuperMagic = 0x4d44;
constexpr long kVfatNameMax = 1530;

// Holds the lock of the card's state against the simulated tools of other processes.
class CardLock {
public:
    CardLock()
    {
        const std::string path = SimStateFile("sdcard.lock");
        mFd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (mFd >= 0) {
            while (::flock(mFd, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~CardLock()
    {
        if (mFd >= 0) {
            ::close(mFd);
        }
    }
    CardLock(const CardLock&) = delete;
    CardLock& operator=(const CardLock&) = delete;

private:
    int mFd = -1;
};

struct MountLine {
    std::string Device;
    std::string Dir;
    std::string Text;
};

std::vector<MountLine> __ReadTable()
{
    std::vector<MountLine> lines;
    std::istringstream in(SimReadFile(BoardPath(kMountTable)));
    for (std::string text; std::getline(in, text);) {
        MountLine l;
        std::istringstream fields(text);
        fields >> l.Device >> l.Dir;
        l.Text = text;
        lines.push_back(l);
    }
    return lines;
}

bool __WriteTable(const std::vector<MountLine>& lines)
{
    std::string content;
    for (const auto& l : lines) {
        content += l.Text + "\n";
    }
    return SimWriteFileAtomic(BoardPath(kMountTable), content);
}

bool __StartsWith(const std::string& s, const char* prefix)
{
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

bool __BelowCard(const std::string& unitPath)
{
    const std::string folder = kCardFolder;
    return unitPath == folder || __StartsWith(unitPath, (folder + "/").c_str());
}

uint64_t __ReadKib(const char* name, uint64_t fallback)
{
    const std::string text = SimReadFile(SimStateFile(name));
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    return end == text.c_str() ? fallback : v;
}

uint64_t __Clusters(uint64_t bytes)
{
    return (bytes + kBoardCardClusterBytes - 1) / kBoardCardClusterBytes;
}

// Clusters the files in the card's folder take.
uint64_t __FileClusters()
{
    namespace fs = std::filesystem;
    uint64_t clusters = 0;
    std::error_code ec;
    fs::recursive_directory_iterator it(BoardPath(kCardFolder), fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code fileEc;
        if (it->symlink_status(fileEc).type() == fs::file_type::regular) {
            uintmax_t size = it->file_size(fileEc);
            if (!fileEc) {
                clusters += __Clusters(size);
            }
        }
    }
    return clusters;
}

bool __NullArgument(std::initializer_list<const void*> args)
{
    for (const void* a : args) {
        if (a == nullptr) {
            errno = EFAULT;
            return true;
        }
    }
    return false;
}

// Without a sandbox the host would be mounted: refused.
bool __MountRefused(std::initializer_list<const void*> args)
{
    if (__NullArgument(args)) {
        return true;
    }
    if (BoardRoot() == "/") {
        errno = EPERM;
        return true;
    }
    return false;
}

}  // namespace

int BoardMount(const char* source, const char* target, const char* fstype, unsigned long flags, const void*)
{
    if (__MountRefused({source, target, fstype})) {
        return -1;
    }
    if (!__StartsWith(source, kCardNodePrefix)) {
        errno = ENODEV;
        return -1;
    }
    if (std::strcmp(fstype, "vfat") != 0) {
        errno = EINVAL;
        return -1;
    }
    CardLock lock;
    struct stat st;
    if (::stat(BoardPath(source).c_str(), &st) != 0 || ::stat(BoardPath(target).c_str(), &st) != 0) {
        return -1;  // errno from stat: ENOENT
    }
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    std::vector<MountLine> table = __ReadTable();
    for (const auto& l : table) {
        if (l.Dir == target) {
            errno = EBUSY;
            return -1;
        }
    }
    const bool readOnly = (flags & MS_RDONLY) != 0 || __ReadKib("sdcard_protect", 0) == 1;
    MountLine line;
    line.Device = source;
    line.Dir = target;
    line.Text = std::string(source) + " " + target + " vfat " + (readOnly ? "ro," : "rw,") + kVfatOptions + " 0 0";
    table.push_back(line);
    if (!__WriteTable(table)) {
        errno = EIO;
        return -1;
    }
    return 0;
}

int BoardUmount(const char* target)
{
    if (__MountRefused({target})) {
        return -1;
    }
    CardLock lock;
    std::vector<MountLine> table = __ReadTable();
    std::vector<MountLine> kept;
    for (const auto& l : table) {
        if (l.Dir != target) {
            kept.push_back(l);
        }
    }
    if (kept.size() == table.size()) {
        errno = EINVAL;
        return -1;
    }
    if (!__WriteTable(kept)) {
        errno = EIO;
        return -1;
    }
    return 0;
}

int BoardStatfs(const char* unitPath, struct statfs* buf)
{
    if (__NullArgument({unitPath, buf})) {
        return -1;
    }
    if (BoardRoot() == "/" || !__BelowCard(unitPath)) {
        return ::statfs(BoardPath(unitPath).c_str(), buf);
    }
    std::string device;
    {
        CardLock lock;
        for (const auto& l : __ReadTable()) {
            if (l.Dir == kCardFolder) {
                device = l.Device;
            }
        }
    }
    if (device.empty()) {
        return ::statfs(BoardPath(unitPath).c_str(), buf);  // the bare mount point
    }
    if (::access(BoardPath(device).c_str(), F_OK) != 0) {
        errno = EIO;  // pulled out under its mount
        return -1;
    }
    if (::access(BoardPath(unitPath).c_str(), F_OK) != 0) {
        return -1;
    }
    const uint64_t blocks = __ReadKib("sdcard_size", kBoardCardDefaultSizeKib) * 1024 / kBoardCardClusterBytes;
    const uint64_t used = __Clusters(__ReadKib("sdcard_fill", 0) * 1024) + __FileClusters();
    std::memset(buf, 0, sizeof(*buf));
    buf->f_type = kMsdosSuperMagic;
    buf->f_bsize = kBoardCardClusterBytes;
    buf->f_frsize = kBoardCardClusterBytes;
    buf->f_blocks = blocks;
    buf->f_bfree = used >= blocks ? 0 : blocks - used;
    buf->f_bavail = buf->f_bfree;
    buf->f_namelen = kVfatNameMax;
    return 0;
}
