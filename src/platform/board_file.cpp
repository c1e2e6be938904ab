#include "platform/board_file.h"

#include "platform/board/devices.h"
#include "platform/board_file_model.h"
#include "platform/board_file_sim.h"
#include "platform/board_path.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct PendingRename {
    std::string to;
    std::string backup;  // the replaced file kept aside; "" when `to` was a new name
};

// The power-loss model; every member under `lock`.
struct PowerModel {
    std::mutex lock;
    std::set<std::string> dirty;  // host paths with unsynced data
    std::vector<PendingRename> renames;
    unsigned backups = 0;
    bool powerOff = false;
    bool faultArmed = false;
    std::string faultMatch;
    BoardFileStep faultStep = BoardFileStep::Open;
    bool faultCut = false;
};

// Never destroyed: unit threads may still write while the process exits.
PowerModel& gModel = *new PowerModel;
std::atomic<bool> gModelOn{false};

std::string Dirname(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// One spelling per file: the folder resolved, the name as it is.
std::string Canon(const std::string& hostPath)
{
    char dir[PATH_MAX];
    const size_t slash = hostPath.rfind('/');
    if (slash == std::string::npos || ::realpath(Dirname(hostPath).c_str(), dir) == nullptr) {
        return hostPath;
    }
    return std::string(dir) + hostPath.substr(slash);
}

std::string PathOfFd(int fd)
{
    char path[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), path, sizeof(path) - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : "";
}

void ForgetLocked()
{
    for (const PendingRename& r : gModel.renames) {
        if (!r.backup.empty()) {
            ::unlink(r.backup.c_str());
        }
    }
    gModel.renames.clear();
    gModel.dirty.clear();
}

void CutLocked()
{
    for (const std::string& path : gModel.dirty) {
        ::truncate(path.c_str(), 0);
    }
    for (auto r = gModel.renames.rbegin(); r != gModel.renames.rend(); ++r) {
        if (r->backup.empty()) {
            ::unlink(r->to.c_str());
        } else {
            ::rename(r->backup.c_str(), r->to.c_str());
        }
    }
    gModel.renames.clear();
    gModel.dirty.clear();
}

enum class Fault { None, Fail, Cut };

// The fault set for this write at this step, if any; a cut takes the power at once.
Fault FaultAt(const char* unitPath, BoardFileStep step)
{
    if (!gModelOn.load()) {
        return Fault::None;
    }
    std::lock_guard<std::mutex> lock(gModel.lock);
    if (!gModel.faultArmed || gModel.faultStep != step ||
        std::string(unitPath).find(gModel.faultMatch) == std::string::npos) {
        return Fault::None;
    }
    gModel.faultArmed = false;
    return gModel.faultCut ? Fault::Cut : Fault::Fail;
}

void CutNow()
{
    std::lock_guard<std::mutex> lock(gModel.lock);
    CutLocked();
    gModel.powerOff = true;
}

bool PowerOff()
{
    if (!gModelOn.load()) {
        return false;
    }
    std::lock_guard<std::mutex> lock(gModel.lock);
    return gModel.powerOff;
}

bool WriteAll(int fd, const uint8_t* p, size_t len)
{
    while (len > 0) {
        const ssize_t n = ::write(fd, p, len);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// The write's steps; false with errno at the first that fails. `cut` tells the caller that the
// power went (nothing more may happen then).
bool WriteSteps(const char* unitPath, const std::string& tmp, const uint8_t* data, size_t len, mode_t mode,
                bool* cut)
{
    auto fault = [&](BoardFileStep step) {
        const Fault f = FaultAt(unitPath, step);
        if (f == Fault::Cut) {
            *cut = true;
            CutNow();
        }
        if (f != Fault::None) {
            errno = EIO;
            return true;
        }
        return false;
    };
    if (fault(BoardFileStep::Open)) {
        return false;
    }
    // An aside file left by a power cut keeps the mode it was made with, whatever open(2) is
    // given: it goes, and the new one is made here with this mode (never chmod'ed later, so the
    // bytes are never readable under a wider one).
    if (BoardUnlink(tmp.c_str()) != 0 && errno != ENOENT) {
        return false;
    }
    const int fd = BoardOpen(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        return false;
    }
    bool ok = true;
    const Fault atWrite = FaultAt(unitPath, BoardFileStep::Write);
    if (atWrite == Fault::Cut) {
        WriteAll(fd, data, len / 2);
        *cut = true;
        CutNow();
    }
    if (atWrite != Fault::None) {
        errno = EIO;
        ok = false;
    }
    ok = ok && WriteAll(fd, data, len);
    ok = ok && !fault(BoardFileStep::Sync) && BoardFsync(fd) == 0;
    const int saved = errno;
    if (::close(fd) != 0 && ok) {
        return false;
    }
    errno = saved;
    if (!ok) {
        return false;
    }
    if (fault(BoardFileStep::Rename) || BoardRename(tmp.c_str(), unitPath) != 0) {
        return false;
    }
    // Renamed, the new content is in place; only the folder's sync is left to make it last.
    return !fault(BoardFileStep::SyncDir) && BoardSyncDir(Dirname(unitPath).c_str()) == 0;
}

// The files some thread holds (BoardFileLock), by their one spelling: an entry lives only
// while it is held, so the map is never larger than the writes under way.
struct FileLocks {
    std::mutex lock;
    std::condition_variable freed;
    struct Held {
        std::thread::id owner;
        unsigned depth = 0;
    };
    std::map<std::string, Held> held;
};

// Never destroyed, like the power model.
FileLocks& gFileLocks = *new FileLocks;

}  // namespace

// By the path's spelling alone ("a//b/../c" is "a/c"): a folder's spelling found on the disk could
// change while the lock is held (a missing settings folder made under it).
BoardFileLock::BoardFileLock(const char* unitPath)
    : mKey(std::filesystem::path(BoardPath(unitPath)).lexically_normal().string())
{
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(gFileLocks.lock);
    for (;;) {
        auto it = gFileLocks.held.find(mKey);
        if (it == gFileLocks.held.end()) {
            gFileLocks.held.emplace(mKey, FileLocks::Held{self, 1});
            return;
        }
        if (it->second.owner == self) {
            ++it->second.depth;
            return;
        }
        gFileLocks.freed.wait(lock);
    }
}

BoardFileLock::~BoardFileLock()
{
    std::lock_guard<std::mutex> lock(gFileLocks.lock);
    auto it = gFileLocks.held.find(mKey);
    if (it != gFileLocks.held.end() && --it->second.depth == 0) {
        gFileLocks.held.erase(it);
        gFileLocks.freed.notify_all();
    }
}

int BoardReadRegular(const char* unitPath, size_t max, std::string* text, bool* whole, mode_t* mode)
{
    if (unitPath == nullptr || text == nullptr) {
        errno = EINVAL;
        return -1;
    }
    const int fd = BoardOpen(unitPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return -1;
    }
    struct stat st = {};
    const bool statted = ::fstat(fd, &st) == 0;
    if (!statted || !S_ISREG(st.st_mode)) {
        const int saved = statted ? EINVAL : errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    // One byte past the bound tells a file of exactly `max` bytes from a longer one.
    text->assign(max + 1, '\0');
    size_t got = 0;
    while (got < text->size()) {
        const ssize_t n = ::read(fd, text->data() + got, text->size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int saved = errno;
            ::close(fd);
            text->clear();
            errno = saved;
            return -1;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    if (whole != nullptr) {
        *whole = got <= max;
    }
    if (mode != nullptr) {
        *mode = st.st_mode & 07777;
    }
    text->resize(std::min(got, max));
    return 0;
}

int BoardWriteFileWhole(const char* unitPath, const void* data, size_t len, mode_t mode)
{
    if (unitPath == nullptr || (data == nullptr && len != 0)) {
        errno = EINVAL;
        return -1;
    }
    if (PowerOff()) {
        errno = EIO;
        return -1;
    }
    // One writer at a time: another's unlink and rename of the same aside file would put a half
    // written one in place, or fail both.
    BoardFileLock held(unitPath);
    const std::string tmp = std::string(unitPath) + ".tmp";
    bool cut = false;
    if (WriteSteps(unitPath, tmp, static_cast<const uint8_t*>(data), len, mode, &cut)) {
        return 0;
    }
    const int saved = errno;
    if (!cut) {
        BoardUnlink(tmp.c_str());
    }
    errno = saved;
    return -1;
}

int BoardFsync(int fd)
{
    if (::fsync(fd) != 0) {
        return -1;
    }
    if (gModelOn.load()) {
        const std::string path = PathOfFd(fd);
        std::lock_guard<std::mutex> lock(gModel.lock);
        gModel.dirty.erase(path);
    }
    return 0;
}

int BoardSyncDir(const char* unitDir)
{
    const std::string dir = BoardPath(unitDir);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    const int rc = ::fsync(fd);
    const int saved = errno;
    ::close(fd);
    if (rc != 0) {
        errno = saved;
        return -1;
    }
    if (gModelOn.load()) {
        const std::string canon = Canon(dir + "/x");
        const std::string folder = Dirname(canon);
        std::lock_guard<std::mutex> lock(gModel.lock);
        auto& v = gModel.renames;
        for (auto r = v.begin(); r != v.end();) {
            if (Dirname(r->to) == folder) {
                if (!r->backup.empty()) {
                    ::unlink(r->backup.c_str());
                }
                r = v.erase(r);
            } else {
                ++r;
            }
        }
    }
    return 0;
}

void PowerModelOpened(int fd)
{
    if (!gModelOn.load() || fd < 0) {
        return;
    }
    const std::string path = PathOfFd(fd);
    std::lock_guard<std::mutex> lock(gModel.lock);
    gModel.dirty.insert(path);
}

int PowerModelRename(const std::string& from, const std::string& to)
{
    if (!gModelOn.load()) {
        return ::rename(from.c_str(), to.c_str());
    }
    const std::string src = Canon(from);
    const std::string dst = Canon(to);
    std::lock_guard<std::mutex> lock(gModel.lock);
    std::string backup;
    struct stat st;
    if (::lstat(dst.c_str(), &st) == 0) {
        const std::string dir = SimStateFile("powercut");
        ::mkdir(dir.c_str(), 0755);
        backup = dir + "/" + std::to_string(++gModel.backups);
        if (::link(dst.c_str(), backup.c_str()) != 0) {
            backup.clear();  // cannot be undone: taken as lasting
        }
    }
    if (::rename(from.c_str(), to.c_str()) != 0) {
        const int saved = errno;
        if (!backup.empty()) {
            ::unlink(backup.c_str());
        }
        errno = saved;
        return -1;
    }
    if (gModel.dirty.erase(src) > 0) {
        gModel.dirty.insert(dst);
    }
    gModel.renames.push_back({dst, backup});
    return 0;
}

void PowerModelUnlinked(const std::string& path)
{
    if (!gModelOn.load()) {
        return;
    }
    std::lock_guard<std::mutex> lock(gModel.lock);
    gModel.dirty.erase(Canon(path));
}

void BoardPowerModel(bool on)
{
    std::lock_guard<std::mutex> lock(gModel.lock);
    ForgetLocked();
    gModel.powerOff = false;
    gModel.faultArmed = false;
    gModelOn.store(on);
}

void BoardPowerCut()
{
    std::lock_guard<std::mutex> lock(gModel.lock);
    CutLocked();
}

void BoardPowerRestore()
{
    std::lock_guard<std::mutex> lock(gModel.lock);
    gModel.powerOff = false;
    gModel.faultArmed = false;
}

void BoardFileFault(const std::string& match, BoardFileStep step, bool cut)
{
    std::lock_guard<std::mutex> lock(gModel.lock);
    gModel.faultArmed = true;
    gModel.faultMatch = match;
    gModel.faultStep = step;
    gModel.faultCut = cut;
}
