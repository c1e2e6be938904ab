#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_log_floor.h"

#include "noxa_adapter/system/uni_list.h"
#include "noxa_adapter/system/uni_mutex.h"
#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_time.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

namespace {

constexpr uint32_t kMaxLevel = LOG_LEVEL_TRACE;
// "\r\n" and the NUL: the smallest buffer that can hold a line.
constexpr uint32_t kLineEndSize = 3;

const char* const kLevelNames[] = {"Err", "Warn", "Notice", "Info", "Debug", "Trace"};

struct LOG_MODULE_S {
    LIST_HEAD node;
    uint32_t level;
    char* name;
};

struct LOG_OUTPUT_S {
    LIST_HEAD node;
    char* name;
    LOG_OUTPUT output;
    LOG_USR_OUTPUT usrOutput;
};

struct LOG_MANAGER_S {
    uint32_t level;
    LIST_HEAD modules;
    LIST_HEAD outputs;
    MUTEX_HANDLE mutex;
    FILE* stream;
    uint32_t bufSize;
    uint32_t msFlag;
    // The line buffer (bufSize + 1 bytes) follows in the same block.
    char* Buf() { return reinterpret_cast<char*>(this + 1); }
};

std::atomic<LOG_MANAGER_S*> s_logMgr{nullptr};
// Serialises creation and release of the manager itself.
std::mutex s_lifeMutex;
// Callers inside the logger right now. A caller counts itself before it looks for the manager,
// so once the manager is unpublished, a count of zero means nobody can still reach it.
std::atomic<int> s_users{0};
// The highest of the global level and every module's level: a line above it cannot print, and
// is turned away before the reference count and the mutex, which every thread's calls would
// otherwise bounce between cores. The top level while there is no manager, so such calls go on
// to be refused as before.
std::atomic<uint32_t> s_printable{kMaxLevel};

// The manager for the span of one call.
class MgrRef {
public:
    MgrRef()
    {
        s_users.fetch_add(1);
        mMgr = s_logMgr.load();
    }
    ~MgrRef() { s_users.fetch_sub(1); }
    MgrRef(const MgrRef&) = delete;
    MgrRef& operator=(const MgrRef&) = delete;
    LOG_MANAGER_S* Get() const { return mMgr; }

private:
    LOG_MANAGER_S* mMgr;
};

char* __dup_name(const char* name)
{
    size_t len = strlen(name) + 1;
    auto* copy = static_cast<char*>(Malloc(len));
    if (copy != nullptr) {
        memcpy(copy, name, len);
    }
    return copy;
}

// The first entry of a module or output list with that exact name.
template <typename Entry>
Entry* __find_by_name(LIST_HEAD* head, const char* name)
{
    UNI_LIST_FOR_EACH(pos, head) {
        auto* e = UNI_LIST_ENTRY(pos, Entry, node);
        if (strcmp(e->name, name) == 0) {
            return e;
        }
    }
    return nullptr;
}

LOG_MODULE_S* __find_module(LOG_MANAGER_S* mgr, const char* name)
{
    return __find_by_name<LOG_MODULE_S>(&mgr->modules, name);
}

LOG_OUTPUT_S* __find_output(LOG_MANAGER_S* mgr, const char* name)
{
    return __find_by_name<LOG_OUTPUT_S>(&mgr->outputs, name);
}

// Called with the manager mutex held, after any change of a level or of the module list.
void __update_printable(LOG_MANAGER_S* mgr)
{
    uint32_t highest = mgr->level;
    UNI_LIST_FOR_EACH(pos, &mgr->modules) {
        highest = std::max(highest, UNI_LIST_ENTRY(pos, LOG_MODULE_S, node)->level);
    }
    s_printable.store(highest, std::memory_order_relaxed);
}

// Memory is taken before the manager mutex and given back after it, so the logger never holds
// its mutex while the pool takes its own (the pool prints through the logger).
int __add_output(const char* name, LOG_OUTPUT output, LOG_USR_OUTPUT usrOutput, FILE* stream, bool setStream)
{
    MgrRef ref;
    LOG_MANAGER_S* mgr = ref.Get();
    if (mgr == nullptr || name == nullptr) {
        return UNI_INVALID_PARM;
    }
    auto* entry = static_cast<LOG_OUTPUT_S*>(Malloc(sizeof(LOG_OUTPUT_S)));
    char* copy = __dup_name(name);
    if (entry == nullptr || copy == nullptr) {
        Free(entry);
        Free(copy);
        return UNI_MALLOC_FAILED;
    }
    bool used = false;
    {
        UniMutexGuard lock(mgr->mutex);
        if (setStream) {
            mgr->stream = stream;
        }
        LOG_OUTPUT_S* old = __find_output(mgr, name);
        if (old != nullptr) {
            old->output = output;
            old->usrOutput = usrOutput;
        } else {
            entry->name = copy;
            entry->output = output;
            entry->usrOutput = usrOutput;
            uni_list_add(&entry->node, &mgr->outputs);
            used = true;
        }
    }
    if (!used) {
        Free(entry);
        Free(copy);
    }
    return UNI_OK;
}

void __free_lists(LOG_MANAGER_S* mgr)
{
    UNI_LIST_FOR_EACH_SAFE(pos, nxt, &mgr->modules) {
        auto* m = UNI_LIST_ENTRY(pos, LOG_MODULE_S, node);
        uni_list_del(pos);
        Free(m->name);
        Free(m);
    }
    UNI_LIST_FOR_EACH_SAFE(pos, nxt, &mgr->outputs) {
        auto* o = UNI_LIST_ENTRY(pos, LOG_OUTPUT_S, node);
        uni_list_del(pos);
        Free(o->name);
        Free(o);
    }
}

// Frees an unpublished manager once no caller can still hold it: a print that found it may be
// waiting for its mutex or running the outputs.
void __retire(LOG_MANAGER_S* mgr)
{
    while (s_users.load() != 0) {
        std::this_thread::yield();
    }
    __free_lists(mgr);
    ReleaseMutex(mgr->mutex);
    Free(mgr);
}

const char* __file_base(const char* file)
{
    if (file == nullptr) {
        return "Null";
    }
    const char* sep = strrchr(file, '/');
    if (sep == nullptr) {
        sep = strrchr(file, '\\');
    }
    return sep != nullptr ? sep + 1 : file;
}

// Calls the outputs in list order. `all` also calls outputs of other names (the raw print).
void __call_outputs(LOG_MANAGER_S* mgr, const char* text, bool all)
{
    UNI_LIST_FOR_EACH(pos, &mgr->outputs) {
        auto* o = UNI_LIST_ENTRY(pos, LOG_OUTPUT_S, node);
        bool isUsr = strcmp(o->name, LOG_USR_OUTPUT_NAME) == 0;
        if (!all && !isUsr && strcmp(o->name, LOG_DEF_OUTPUT_NAME) != 0) {
            continue;
        }
        if (isUsr && o->usrOutput != nullptr) {
            o->usrOutput(text, mgr->stream);
        } else if (o->output != nullptr) {
            o->output(text);
        }
    }
}

}  // namespace

int uni_log_init(uint32_t level, uint32_t bufSize, LOG_OUTPUT defOutput)
{
    if (level > kMaxLevel || bufSize < kLineEndSize || defOutput == nullptr) {
        return UNI_INVALID_PARM;
    }
    std::lock_guard<std::mutex> life(s_lifeMutex);
    LOG_MANAGER_S* mgr = s_logMgr.load();
    if (mgr != nullptr) {
        UniMutexGuard lock(mgr->mutex);
        mgr->level = level;
        __update_printable(mgr);
        return UNI_OK;
    }
    void* block = Malloc(sizeof(LOG_MANAGER_S) + bufSize + 1);
    if (block == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    mgr = new (block) LOG_MANAGER_S{};
    int ret = CreateMutexAndInit(&mgr->mutex);
    if (ret != UNI_OK) {
        Free(block);
        return ret;
    }
    uni_list_init(&mgr->modules);
    uni_list_init(&mgr->outputs);
    mgr->level = level;
    mgr->bufSize = bufSize;
    mgr->Buf()[0] = '\0';
    __update_printable(mgr);
    s_logMgr.store(mgr);
    ret = __add_output(LOG_DEF_OUTPUT_NAME, defOutput, nullptr, nullptr, false);
    if (ret != UNI_OK) {
        s_logMgr.store(nullptr);
        __retire(mgr);
        s_printable.store(kMaxLevel, std::memory_order_relaxed);
    }
    return ret;
}

int uni_log_add_output(const char* name, LOG_OUTPUT output)
{
    return __add_output(name, output, nullptr, nullptr, false);
}

int uni_log_add_usr_output(LOG_USR_OUTPUT output)
{
    return __add_output(LOG_USR_OUTPUT_NAME, nullptr, output, nullptr, false);
}

int uni_log_del_output(const char* name)
{
    MgrRef ref;
    LOG_MANAGER_S* mgr = ref.Get();
    if (mgr == nullptr || name == nullptr) {
        return UNI_INVALID_PARM;
    }
    LOG_OUTPUT_S* found = nullptr;
    {
        UniMutexGuard lock(mgr->mutex);
        found = __find_output(mgr, name);
        if (found != nullptr) {
            uni_list_del(&found->node);
        }
    }
    if (found != nullptr) {
        Free(found->name);
        Free(found);
    }
    return UNI_OK;
}

int uni_log_set_level(uint32_t level)
{
    MgrRef ref;
    LOG_MANAGER_S* mgr = ref.Get();
    if (mgr == nullptr || level > kMaxLevel) {
        return UNI_INVALID_PARM;
    }
    UniMutexGuard lock(mgr->mutex);
    mgr->level = level;
    __update_printable(mgr);
    return UNI_OK;
}

int uni_log_get_level(uint32_t* level)
{
    MgrRef ref;
    LOG_MANAGER_S* mgr = ref.Get();
    if (mgr == nullptr || level == nullptr) {
        return UNI_INVALID_PARM;
    }
    UniMutexGuard lock(mgr->mutex);
    *level = mgr->level;
    return UNI_OK;
}

int uni_log_set_usr_stream(FILE* stream)
{
    return __add_output(LOG_USR_OUTPUT_NAME, nullptr, uni_usr_log_output, stream, true);
}

int uni_log_set_ms_flag(uint32_t flag)
{
    MgrRef ref;
    LOG_MANAGER_S* mgr = ref.Get();
    if (mgr == nullptr) {
        return UNI_INVALID_PARM;
    }
    UniMutexGuard lock(mgr->mutex);
    mgr->msFlag = flag;
    return UNI_OK;
}

int uni_log_set_module_level(const char* module, uint32_t level)
{
    MgrRef ref;
    LOG_MANAGER_S* mgr = ref.Get();
    if (mgr == nullptr || module == nullptr || level > kMaxLevel) {
        return UNI_INVALID_PARM;
    }
    auto* entry = static_cast<LOG_MODULE_S*>(Malloc(sizeof(LOG_MODULE_S)));
    char* copy = __dup_name(module);
    if (entry == nullptr || copy == nullptr) {
        Free(entry);
        Free(copy);
        return UNI_MALLOC_FAILED;
    }
    bool used = false;
    {
        UniMutexGuard lock(mgr->mutex);
        LOG_MODULE_S* old = __find_module(mgr, module);
        if (old != nullptr) {
            old->level = level;
        } else {
            entry->name = copy;
            entry->level = level;
            uni_list_add(&entry->node, &mgr->modules);
            used = true;
        }
        __update_printable(mgr);
    }
    if (!used) {
        Free(entry);
        Free(copy);
    }
    return UNI_OK;
}

int uni_log_update_module_level(const char* module, uint32_t level)
{
    MgrRef ref;
    LOG_MANAGER_S* mgr = ref.Get();
    if (mgr == nullptr || module == nullptr || level > kMaxLevel) {
        return UNI_INVALID_PARM;
    }
    UniMutexGuard lock(mgr->mutex);
    LOG_MODULE_S* m = __find_module(mgr, module);
    if (m == nullptr) {
        return UNI_LOG_MODULE_NOT_FOUND;
    }
    m->level = level;
    __update_printable(mgr);
    return UNI_OK;
}

int uni_log_get_module_level(const char* module, uint32_t* level)
{
    MgrRef ref;
    LOG_MANAGER_S* mgr = ref.Get();
    if (mgr == nullptr || module == nullptr || level == nullptr) {
        return UNI_INVALID_PARM;
    }
    UniMutexGuard lock(mgr->mutex);
    LOG_MODULE_S* m = __find_module(mgr, module);
    if (m == nullptr) {
        return UNI_LOG_MODULE_NOT_FOUND;
    }
    *level = m->level;
    return UNI_OK;
}

int uni_log_del_module(const char* module)
{
    MgrRef ref;
    LOG_MANAGER_S* mgr = ref.Get();
    if (mgr == nullptr || module == nullptr) {
        return UNI_INVALID_PARM;
    }
    LOG_MODULE_S* m = nullptr;
    {
        UniMutexGuard lock(mgr->mutex);
        m = __find_module(mgr, module);
        if (m == nullptr) {
            return UNI_LOG_MODULE_NOT_FOUND;
        }
        uni_list_del(&m->node);
        __update_printable(mgr);
    }
    Free(m->name);
    Free(m);
    return UNI_OK;
}

namespace {

// The calling thread's floor: its lines are logged at no higher importance than this.
thread_local uint32_t t_floor = LOG_LEVEL_ERR;

}  // namespace

uint32_t uni_log_set_thread_floor(uint32_t level)
{
    uint32_t before = t_floor;
    t_floor = level > kMaxLevel ? kMaxLevel : level;
    return before;
}

int uni_log_print(const char* module, uint32_t level, const char* file, int line, const char* func,
                  const char* fmt, ...)
{
    (void)func;
    if (level > kMaxLevel || fmt == nullptr) {
        return UNI_INVALID_PARM;
    }
    if (level < t_floor) {
        level = t_floor;
    }
    // The ring buffer and the media threads make filtered calls for every frame.
    if (level > s_printable.load(std::memory_order_relaxed)) {
        return UNI_LOG_FILTERED;
    }
    MgrRef ref;
    LOG_MANAGER_S* mgr = ref.Get();
    if (mgr == nullptr) {
        return UNI_INVALID_PARM;
    }
    UniMutexGuard lock(mgr->mutex);

    const char* moduleField = "NOXA";
    uint32_t limit = mgr->level;
    if (module != nullptr) {
        LOG_MODULE_S* m = __find_module(mgr, module);
        if (m != nullptr) {
            limit = m->level;
            moduleField = module;
        }
    }
    if (level > limit) {
        return UNI_LOG_FILTERED;
    }

    uint64_t nowMs = uni_time_get_posix_ms();
    POSIX_TM_S tm = {};
    uni_local_time_get(static_cast<TIME_T>(nowMs / 1000), &tm);

    char* buf = mgr->Buf();
    const uint32_t size = mgr->bufSize;
    int header;
    if (mgr->msFlag != 0) {
        header = snprintf(buf, size, "[%02d-%02d %02d:%02d:%02d:%d %s %s][%s:%d] ", tm.tm_mon + 1, tm.tm_mday,
                          tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(nowMs % 1000), moduleField,
                          kLevelNames[level], __file_base(file), line);
    } else {
        header = snprintf(buf, size, "[%02d-%02d %02d:%02d:%02d-- %s %s][%s:%d] ", tm.tm_mon + 1, tm.tm_mday,
                          tm.tm_hour, tm.tm_min, tm.tm_sec, moduleField, kLevelNames[level], __file_base(file),
                          line);
    }
    if (header < 1) {
        return UNI_LOG_FORMAT_FAILED;
    }
    // A header that filled the buffer leaves room for the body's NUL only; the body must not
    // start past the buffer.
    const uint32_t written = std::min<uint32_t>(static_cast<uint32_t>(header), size - 1);
    va_list ap;
    va_start(ap, fmt);
    int body = vsnprintf(buf + written, size - written, fmt, ap);
    va_end(ap);
    if (body < 1) {
        return UNI_LOG_FORMAT_FAILED;
    }
    uint64_t n = static_cast<uint64_t>(header) + static_cast<uint64_t>(body);
    size_t end = n < size - 2 ? static_cast<size_t>(n) : size - kLineEndSize;
    memcpy(buf + end, "\r\n", kLineEndSize);

    __call_outputs(mgr, buf, false);
    return UNI_OK;
}

int uni_log_print_raw(const char* fmt, ...)
{
    MgrRef ref;
    LOG_MANAGER_S* mgr = ref.Get();
    if (mgr == nullptr || fmt == nullptr) {
        return UNI_INVALID_PARM;
    }
    UniMutexGuard lock(mgr->mutex);
    va_list ap;
    va_start(ap, fmt);
    int len = vsnprintf(mgr->Buf(), mgr->bufSize, fmt, ap);
    va_end(ap);
    if (len < 1) {
        return UNI_LOG_FORMAT_FAILED;
    }
    __call_outputs(mgr, mgr->Buf(), true);
    return UNI_OK;
}

int uni_log_release(void)
{
    std::lock_guard<std::mutex> life(s_lifeMutex);
    LOG_MANAGER_S* mgr = s_logMgr.exchange(nullptr);
    if (mgr == nullptr) {
        return UNI_OK;
    }
    __retire(mgr);
    // After the retire: a level change still running on the old manager has stored its value.
    s_printable.store(kMaxLevel, std::memory_order_relaxed);
    return UNI_OK;
}

void uni_log_output(const char* str)
{
    printf("%s", str);
    fflush(stdout);
}

void uni_usr_log_output(const char* str, FILE* stream)
{
    if (stream != nullptr && str != nullptr) {
        fputs(str, stream);
    }
}
