// The card layout of the event storage: names, paths, ".info", record heads, and the threads.
// Everything read from the card is outside data: names are checked digit by digit, ".info" is
// read with a bound, and nothing here follows a name it did not check.
#include "ss_internal.h"

#include "noxa_adapter/utilities/uni_bytes.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "platform/board_path.h"

#include <cjson/cJSON.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>

namespace ss {

namespace {

constexpr size_t kInfoMax = 512;

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

constexpr auto& Put32 = uni_put_le32;
constexpr auto& Put64 = uni_put_le64;
constexpr auto& Get32 = uni_get_le32;
constexpr auto& Get64 = uni_get_le64;

uint32_t InfoNumber(const cJSON* root, const char* key, uint32_t missing)
{
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(root, key);
    if (!cJSON_IsNumber(item) || item->valuedouble < 0 || item->valuedouble > UINT32_MAX) {
        return missing;
    }
    return static_cast<uint32_t>(item->valuedouble);
}

void* ThreadMain(void* arg)
{
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
    (*body)();
    return nullptr;
}

}  // namespace

bool Fmt(char* buf, size_t size, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        PR_ERR("path too long for its field (%d of %zu), refused: %s", n, size, fmt);
        buf[0] = '\0';
        return false;
    }
    return true;
}

uint32_t LocalDay(uint32_t t)
{
    POSIX_TM_S tm{};
    uni_local_time_get(t, &tm);
    return static_cast<uint32_t>((tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday);
}

bool DayPath(char (&out)[kPathMax], const char* dcim, uint32_t t)
{
    POSIX_TM_S tm{};
    uni_local_time_get(t, &tm);
    return FmtPath(out, "%s/%04d/%02d/%02d", dcim, tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
}

bool DigitsName(const char* name, size_t digits, uint32_t* value)
{
    uint64_t v = 0;
    size_t i = 0;
    for (; name[i] != '\0'; ++i) {
        if (i >= digits || name[i] < '0' || name[i] > '9') {
            return false;
        }
        v = v * 10 + static_cast<uint32_t>(name[i] - '0');
    }
    if (i != digits || v > UINT32_MAX) {
        return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

bool ParseEventName(const char* name, uint32_t* start, uint32_t* duration)
{
    if (strlen(name) != kEventNameLen || name[10] != '_') {
        return false;
    }
    char head[11];
    memcpy(head, name, 10);
    head[10] = '\0';
    return DigitsName(head, 10, start) && DigitsName(name + 11, 4, duration);
}

bool SliceName(const char* name, uint32_t* number)
{
    if (strlen(name) != 10 || strcmp(name + 4, ".media") != 0) {
        return false;
    }
    char digits[5];
    memcpy(digits, name, 4);
    digits[4] = '\0';
    return DigitsName(digits, 4, number);
}

bool ListDir(const char* unitPath, std::vector<std::string>& names)
{
    names.clear();
    std::unique_ptr<DIR, DirCloser> d(opendir(BoardPath(unitPath).c_str()));
    if (!d) {
        return false;
    }
    while (struct dirent* e = readdir(d.get())) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
            names.emplace_back(e->d_name);
        }
    }
    return true;
}

int LargestSlice(const char* eventPath)
{
    std::vector<std::string> names;
    ListDir(eventPath, names);
    int largest = -1;
    for (const std::string& n : names) {
        uint32_t number = 0;
        if (SliceName(n.c_str(), &number) && static_cast<int>(number) > largest) {
            largest = static_cast<int>(number);
        }
    }
    return largest;
}

bool FindEventDir(const char* dayPath, uint32_t start, char (&name)[kNameMax])
{
    std::vector<std::string> names;
    if (!ListDir(dayPath, names)) {
        return false;
    }
    for (const std::string& n : names) {
        uint32_t s = 0;
        uint32_t d = 0;
        if (ParseEventName(n.c_str(), &s, &d) && s == start) {
            return FmtPath(name, "%s", n.c_str());
        }
    }
    return false;
}

void ReadInfo(const char* eventPath, uint32_t* type, uint32_t* version, uint32_t* codec)
{
    *type = 0;
    *version = 1;
    *codec = NOXA_CODEC_VIDEO_H264;
    char path[kPathMax];
    if (!FmtPath(path, "%s/.info", eventPath)) {
        return;
    }
    FILE* f = OpenFile(path, "rb");
    if (f == nullptr) {
        return;
    }
    char text[kInfoMax];
    size_t n = fread(text, 1, sizeof(text), f);
    fclose(f);
    cJSON* root = cJSON_ParseWithLength(text, n);
    if (root == nullptr) {
        return;
    }
    *type = InfoNumber(root, "eventType", 0);
    *version = InfoNumber(root, "version", 1);
    *codec = InfoNumber(root, "codec", NOXA_CODEC_VIDEO_H264);
    cJSON_Delete(root);
}

bool IsDir(const char* unitPath)
{
    struct stat st {};
    return ::stat(BoardPath(unitPath).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool WritableMode(const char* unitPath)
{
    struct stat st {};
    return ::stat(BoardPath(unitPath).c_str(), &st) == 0 && (st.st_mode & S_IWUSR) != 0;
}

bool MakeDirs(const char* unitPath)
{
    std::string path = unitPath;
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') {
            continue;
        }
        std::string part = BoardPath(path.substr(0, at));
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            PR_ERR("mkdir %s failed, errno %d", path.substr(0, at).c_str(), errno);
            CountIoError();
            return false;
        }
    }
    return true;
}

FILE* OpenFile(const char* unitPath, const char* mode)
{
    return fopen(BoardPath(unitPath).c_str(), mode);
}

void PutHead(uint8_t* out, const STORAGE_FRAME_HEAD_S& head)
{
    Put32(out, head.type);
    Put32(out + 4, head.size);
    Put64(out + 8, head.timestamp);
    Put64(out + 16, head.pts);
}

void GetHead(const uint8_t* in, STORAGE_FRAME_HEAD_S* head)
{
    head->type = Get32(in);
    head->size = Get32(in + 4);
    head->timestamp = Get64(in + 8);
    head->pts = Get64(in + 16);
}

bool ReadHead(FILE* f, STORAGE_FRAME_HEAD_S* head)
{
    uint8_t raw[STORAGE_FRAME_HEAD_SIZE];
    if (fread(raw, 1, sizeof(raw), f) != sizeof(raw)) {
        return false;
    }
    GetHead(raw, head);
    return true;
}

Thread::~Thread()
{
    Join();
}

bool Thread::Start(const char* name, size_t stackBytes, std::function<void()> body)
{
    Join();
    auto* fn = new std::function<void()>(std::move(body));
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (stackBytes != 0) {
        pthread_attr_setstacksize(&attr, stackBytes);
    }
    int rc = pthread_create(&mThread, &attr, ThreadMain, fn);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete fn;
        PR_ERR("thread %s create failed ret[%d]", name, rc);
        return false;
    }
    pthread_setname_np(mThread, name);
    mStarted = true;
    return true;
}

void Thread::Join()
{
    if (mStarted) {
        pthread_join(mThread, nullptr);
        mStarted = false;
    }
}

}  // namespace ss
