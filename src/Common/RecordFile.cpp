#include "RecordFile.h"

#include "platform/board.h"
#include "platform/board_path.h"
#include "platform/shell.h"

#include <cstdio>
#include <dirent.h>
#include <mutex>

namespace {
pthread_rwlock_t gRecordLock;
std::once_flag gRecordLockOnce;
int gRecordLockInitResult = 0;
}  // namespace

int MP4RecordLockInit()
{
    // Initialising a lock twice is undefined; start-up calls this once, tests may call it again.
    std::call_once(gRecordLockOnce, [] { gRecordLockInitResult = pthread_rwlock_init(&gRecordLock, nullptr); });
    return gRecordLockInitResult;
}

MP4RecordWriteLock::MP4RecordWriteLock()
{
    MP4RecordLockInit();  // a writer that comes before start-up step 5 finds the lock ready
    pthread_rwlock_wrlock(&gRecordLock);
}

MP4RecordWriteLock::~MP4RecordWriteLock()
{
    pthread_rwlock_unlock(&gRecordLock);
}

struct tm RecordLocalTimeNow()
{
    time_t now = BoardTime(nullptr);
    struct tm local = {};
    localtime_r(&now, &local);
    return local;
}

int MakeRecordFileNameAt(uint32_t mode, const struct tm& local, char* directory, size_t directorySize, char* name,
                         size_t nameSize, char* extension, size_t extensionSize)
{
    const char* base = nullptr;
    const char* ext = nullptr;
    if (mode == kRecordNameVideo) {
        base = kRecordBaseDir;
        ext = kRecordExtension;
    } else if (mode == kRecordNamePicture) {
        base = kPictureBaseDir;
        ext = kPictureExtension;
    } else {
        return -1;
    }
    std::snprintf(extension, extensionSize, "%s", ext);
    std::snprintf(directory, directorySize, "%s/%04d%02d%02d", base, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    std::snprintf(name, nameSize, "%02d%02d%02d.%s", local.tm_hour, local.tm_min, local.tm_sec, ext);
    return 0;
}

void MakePictureRecord(PICTURE_RECORD_S* pic)
{
    MakeRecordFileName(kRecordNamePicture, pic);
    if (DIR* d = opendir(BoardPath(pic->Directory).c_str())) {
        closedir(d);
        return;
    }
    char cmd[sizeof(pic->Directory) + 16];
    std::snprintf(cmd, sizeof(cmd), "mkdir -p %s", pic->Directory);
    BoardSystem(cmd);
}
