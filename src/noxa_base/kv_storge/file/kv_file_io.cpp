#include "noxa_base/kv_storge/file/kv_file_io.h"

#include "noxa_adapter/utilities/uni_time.h"
#include "platform/board_path.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

FILE* __stream(KV_FILE_S* f)
{
    return reinterpret_cast<FILE*>(f);
}

constexpr mode_t kFileMode = 0600;

// The open(2) flags of an fopen mode ("r", "w", "a", each with "b" and "+"); -1 for another.
int OpenFlags(const char* mode)
{
    if (mode == nullptr) {
        return -1;
    }
    const bool update = std::strchr(mode, '+') != nullptr;
    switch (mode[0]) {
    case 'r':
        return update ? O_RDWR : O_RDONLY;
    case 'w':
        return (update ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
    case 'a':
        return (update ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
    default:
        return -1;
    }
}

class BoardFileIo : public KvFileIo {
public:
    // The store holds the device's keys and tokens: every file of it is the owner's only, also
    // one an older build made readable to all (put right at its first writing open).
    KV_FILE_S* Open(const char* path, const char* mode) override
    {
        const int flags = OpenFlags(mode);
        if (flags < 0) {
            errno = EINVAL;
            return nullptr;
        }
        const int fd = BoardOpen(path, flags | O_CLOEXEC, kFileMode);
        if (fd < 0) {
            return nullptr;
        }
        if ((flags & O_ACCMODE) != O_RDONLY) {
            (void)fchmod(fd, kFileMode);
        }
        FILE* f = fdopen(fd, mode);
        if (f == nullptr) {
            close(fd);
        }
        return reinterpret_cast<KV_FILE_S*>(f);
    }
    int Close(KV_FILE_S* f) override { return fclose(__stream(f)); }
    int64_t Read(KV_FILE_S* f, void* buf, uint32_t len) override
    {
        size_t n = fread(buf, 1, len, __stream(f));
        return n == 0 && ferror(__stream(f)) ? -1 : static_cast<int64_t>(n);
    }
    int64_t Write(KV_FILE_S* f, const void* buf, uint32_t len) override
    {
        size_t n = fwrite(buf, 1, len, __stream(f));
        return n == 0 && len != 0 ? -1 : static_cast<int64_t>(n);
    }
    int64_t Seek(KV_FILE_S* f, int64_t offset, int whence) override
    {
        if (fseeko(__stream(f), static_cast<off_t>(offset), whence) != 0) {
            return -1;
        }
        return ftello(__stream(f));
    }
    int Flush(KV_FILE_S* f) override { return fflush(__stream(f)); }
    int Fsync(KV_FILE_S* f) override { return fsync(fileno(__stream(f))); }
    int Rename(const char* from, const char* to) override { return BoardRename(from, to); }
    int Remove(const char* path) override { return BoardUnlink(path); }
    int Access(const char* path) override { return BoardAccess(path, R_OK | W_OK); }
    int Exists(const char* path) override
    {
        if (BoardAccess(path, F_OK) == 0) {
            return 1;
        }
        return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
    }
    int SyncDir(const char* dir) override
    {
        int fd = BoardOpen(dir, O_RDONLY | O_DIRECTORY);
        if (fd < 0) {
            return -1;
        }
        int ret = fsync(fd);
        close(fd);
        return ret;
    }
    int MakeDirs(const char* dir) override
    {
        const std::string path(dir);
        for (size_t at = 0; at != std::string::npos;) {
            at = path.find('/', at + 1);
            const std::string part = path.substr(0, at);
            if (part != "/" && BoardMkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
                return -1;
            }
        }
        return 0;
    }
};

}  // namespace

int KvFileIo::Exists(const char* path)
{
    return Access(path) == 0 ? 1 : 0;
}

int KvFileIo::MakeDirs(const char*)
{
    return 0;
}

void KvFileIo::Pause(uint32_t ms)
{
    uni_sleep_ms(ms);
}

KvFileIo* kv_board_file_io(void)
{
    static BoardFileIo io;
    return &io;
}
