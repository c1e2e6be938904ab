// The events inside a cloud-storage group, their reports, and the cloud's orders (protocols 300
// and 307).
#include "cloud_storage_internal.h"
#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/system/uni_thread.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_iot_sdk/noxa_cloud/iot_httpc.h"
#include "noxa_ipc_sdk/noxa_ipc_api.h"

#include <cjson/cJSON.h>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

using cs::gM;

namespace {

constexpr uint32_t kMaxTriggerSecs = 1800;
constexpr uint32_t kStopPolls = 300;
constexpr uint32_t kStopPollMs = 100;
constexpr uint32_t kTriggerNotifyName = 2;

std::atomic<uint32_t> gEventCount{0};
std::atomic<CS_SNAPSHOT_READER> gSnapshotReader{nullptr};

void Clear(cs::Event& e)
{
    e = cs::Event{};
}

// The entry's stop report (when it reports at stop), then the entry freed. Event lock held.
void StopEntry(int index, uint32_t end)
{
    cs::Event& e = gM.events[index];
    if (e.notify == 2 || e.notify == 3) {
        char body[96];
        snprintf(body, sizeof(body), "{\"v\":2,\"startTime\":%u,\"endTime\":%u,\"eventType\":%u}", e.start, end, e.type);
        cs::PostStorageNotice(2, body);
    }
    Clear(e);
}

cs::Event* ActiveById(int id)
{
    for (cs::Event& e : gM.events) {
        if (e.id == id && id != -1 && e.state != 0) {
            return &e;
        }
    }
    return nullptr;
}

uint32_t Now()
{
    return uni_time_get_posix();
}

struct TriggerTask {
    std::string action;
    std::string ext;
    int duration;
    THRD_HANDLE self = nullptr;  // set by CreateAndStart before the thread runs
};

void HandleTrigger(TriggerTask* task)
{
    std::unique_ptr<TriggerTask> hold(task);
    if (gM.inited == 0) {
        PR_ERR("not inited, just return");
        return;
    }
    if (task->duration < 0 || static_cast<uint32_t>(task->duration) > kMaxTriggerSecs) {
        PR_ERR("duration too big %d", task->duration);
        return;
    }
    if (gM.enable == 0) {
        PR_ERR("cloud storage is disabled now");
        return;
    }
    const bool pic = task->action == "pic" || task->action == "pic_v";
    const bool record = task->action == "record" || task->action == "pic_v";
    if (!pic && !record) {
        PR_ERR("unsupported action");
        return;
    }
    std::unique_ptr<uint8_t[]> snap(new (std::nothrow) uint8_t[CS_SNAPSHOT_MAX]);
    int snapSize = 0;
    if (!snap) {
        PR_ERR("fail to malloc buffer");
        return;
    }
    CS_SNAPSHOT_READER reader = gSnapshotReader.load();
    snapSize = CS_SNAPSHOT_MAX;
    const int got = reader != nullptr ? reader(snap.get(), &snapSize) : -1;
    if (reader == nullptr) {
        PR_ERR("cloud storage: the snapshot reader link is empty");
        snapSize = 0;
    } else if (snapSize > CS_SNAPSHOT_MAX || (got != 0 && snapSize > 0)) {
        PR_ERR("fail to get snap or oversize %d", snapSize);
        snapSize = 0;
    } else if (got != 0 || snapSize <= 0) {
        // No motion picture taken yet: the event goes without one, as it should.
        PR_NOTICE("no snapshot yet, the event goes without a picture");
        snapSize = 0;
    }
    const uint32_t now = Now();
    if (record) {
        if (gM.type > CS_TYPE_EVENT) {
            PR_ERR("cloud storage type error %u", gM.type.load());
        } else if (cs::AddEvent(CS_EVENT_TYPE_MQTT, now, now + static_cast<uint32_t>(task->duration),
                                task->ext.c_str()) < 0) {
            PR_ERR("fail to add event");
        }
    }
    if (pic && snapSize > 0) {
        NOXA_NOTIFICATION_S n{};
        n.file_count = 1;
        n.name = kTriggerNotifyName;
        n.extra = "\"ext\":" + task->ext;
        snprintf(n.kind, sizeof(n.kind), "image");
        snprintf(n.resource, sizeof(n.resource), "resources");
        n.files[0].data = reinterpret_cast<const char*>(snap.get());
        n.files[0].size = static_cast<uint32_t>(snapSize);
        n.files[0].type = 1;
        noxa_ipc_notify_generic(&n);
    }
    if (record && snapSize > 0) {
        cs::UploadEventPicture(snap.get(), static_cast<uint32_t>(snapSize), now);
    }
    PR_DEBUG("free cloud_storage_iot_event");
}

// The task's thread asks for its own stop when the work is done: nothing else holds its handle,
// and without the request the wrapper would keep it polling for the life of the process.
void TriggerThread(void* arg)
{
    auto* task = static_cast<TriggerTask*>(arg);
    THRD_HANDLE self = task->self;
    HandleTrigger(task);
    DeleteThrdHandle(self);
}

}  // namespace

namespace cs {

int PostStorageNotice(int type, const char* body)
{
    cJSON* reply = nullptr;
    int ret = http_ipc_cloud_storage_event_notify_v10(type, body, &reply);
    cJSON_Delete(reply);
    if (ret != UNI_OK) {
        PR_ERR("storage notice %d fails %d", type, ret);
    }
    return ret;
}

int AddEvent(uint32_t type, uint32_t start, uint32_t end, const char* source)
{
    std::lock_guard<std::mutex> lock(gM.eventLock);
    for (int i = 0; i < CS_EVENT_NUM; ++i) {
        Event& e = gM.events[i];
        if (e.id != -1) {
            continue;
        }
        Event n;
        if (type == CS_EVENT_TYPE_MQTT) {
            if (source == nullptr) {
                PR_ERR("no data for iot event");
                return -1;
            }
            // The source goes into the report as it came; one that does not fit would reach the
            // cloud cut into invalid JSON.
            int len = snprintf(n.text, sizeof(n.text), "{\"v\":2,\"startTime\":%u,\"endTime\":%u,\"eventType\":%u,"
                                                         "\"sourceId\":%s}",
                               start, end, type, source);
            if (len < 0 || static_cast<size_t>(len) >= sizeof(n.text)) {
                PR_ERR("event source too long for its report: %d", len);
                SeqError(6, "ext_too_long");
                return -1;
            }
            n.notify = 1;
        } else {
            n.notify = type == CS_EVENT_TYPE_SILENT ? 0 : 2;
        }
        n.id = static_cast<int32_t>(gEventCount.fetch_add(1) & 0x7FFFFFFF);
        n.state = 2;
        n.type = type;
        n.start = start;
        n.end = end;
        e = n;
        PR_NOTICE("new event index %d, id: %u, added: type %u,notify type %u[%u-%u]", i, n.id, type, n.notify, start,
                  end);
        return n.id;
    }
    return -1;
}

void StartNewEvents()
{
    std::lock_guard<std::mutex> lock(gM.eventLock);
    for (Event& e : gM.events) {
        if (e.state == 2) {
            e.state = 1;
            if (e.notify == 1 || e.notify == 3) {
                PostStorageNotice(2, e.text);
            }
            return;
        }
    }
}

void StopEndedEvents(uint32_t end)
{
    std::lock_guard<std::mutex> lock(gM.eventLock);
    for (int i = 0; i < CS_EVENT_NUM; ++i) {
        Event& e = gM.events[i];
        if ((e.state == 1 || e.state == 2) && e.end <= end) {
            StopEntry(i, end);
            PR_NOTICE("event index %d stop", i);
        }
    }
}

void ForceStopEvents(uint32_t now)
{
    std::lock_guard<std::mutex> lock(gM.eventLock);
    for (int i = 0; i < CS_EVENT_NUM; ++i) {
        if (gM.events[i].id != -1) {
            StopEntry(i, now);
            PR_NOTICE("force event %d stop done", i);
        }
    }
}

bool AnyEventActive()
{
    std::lock_guard<std::mutex> lock(gM.eventLock);
    for (const Event& e : gM.events) {
        if (e.state != 0) {
            return true;
        }
    }
    return false;
}

void ResetEvents()
{
    std::lock_guard<std::mutex> lock(gM.eventLock);
    for (Event& e : gM.events) {
        Clear(e);
    }
}

}  // namespace cs

void noxa_ipc_cloud_storage_set_snapshot_reader(CS_SNAPSHOT_READER reader)
{
    gSnapshotReader = reader;
}

int noxa_ipc_cloud_storage_event_add(const uint8_t* snapshot, uint32_t snapshot_size, uint32_t type,
                                     uint32_t duration)
{
    if (gM.inited == 0) {
        PR_ERR("cloud storage not inited");
        return -1;
    }
    if (snapshot == nullptr || snapshot_size == 0 || snapshot_size > CS_SNAPSHOT_MAX || type >= CS_EVENT_TYPE_MAX) {
        PR_ERR("invalid input snapshot_size %u type %u(%d)", snapshot_size, type, CS_EVENT_TYPE_MAX);
        return -1;
    }
    uint32_t longest;
    {
        std::lock_guard<std::mutex> lock(gM.lock);
        longest = gM.cfg.video_longest_time;
    }
    if (longest != 0 && duration > longest) {
        PR_NOTICE("change duration from %u to %u because of order config", duration, longest);
        duration = longest;
    }
    if (gM.enable == 0) {
        PR_ERR("cloud storage is disabled now");
        return -1;
    }
    if (gM.type > CS_TYPE_EVENT) {
        PR_ERR("cloud storage type error %u", gM.type.load());
        return -1;
    }
    const uint32_t now = Now();
    int id = cs::AddEvent(type, now, now + duration, nullptr);
    if (id < 0) {
        PR_ERR("fail to add event");
        return -1;
    }
    cs::UploadEventPicture(snapshot, snapshot_size, now);
    PR_NOTICE("add event start done, event_id %d time %u-%u", id, now, now + duration);
    return id;
}

int noxa_ipc_cloud_storage_event_start(const uint8_t* snapshot, uint32_t snapshot_size, uint32_t type)
{
    if (snapshot == nullptr || snapshot_size == 0 || snapshot_size > CS_SNAPSHOT_MAX) {
        PR_ERR("invalid input snapshot_size %u", snapshot_size);
        return UNI_INVALID_PARM;
    }
    if (type > 1) {
        PR_ERR("noxa_ipc_cloud_storage_event_start support only type md and doorbell, use "
               "noxa_ipc_cloud_storage_event_add instead");
        return UNI_INVALID_PARM;
    }
    if (gM.inited == 0) {
        return UNI_COM_ERROR;
    }
    if (gM.enable == 0 || gM.type > CS_TYPE_EVENT) {
        return CS_ERR_DISABLED;
    }
    if (noxa_ipc_cloud_storage_get_event_status(type) == 1) {
        PR_ERR("event type %u on going now, stop it first", type);
        return CS_ERR_DISABLED;
    }
    uint32_t longest;
    {
        std::lock_guard<std::mutex> lock(gM.lock);
        longest = gM.cfg.video_longest_time;
    }
    const uint32_t now = Now();
    if (cs::AddEvent(type, now, now + longest, nullptr) < 0) {
        PR_ERR("fail to add event");
        return CS_ERR_DISABLED;
    }
    PR_NOTICE("new event added to list, time %u", now);
    int ret = cs::UploadEventPicture(snapshot, snapshot_size, now);
    PR_NOTICE("new event start done, time %u-%u", now, now + longest);
    return ret;
}

int noxa_ipc_cloud_storage_event_stop(void)
{
    PR_NOTICE("stop event MD");
    const uint32_t now = Now();
    {
        std::lock_guard<std::mutex> lock(gM.eventLock);
        for (cs::Event& e : gM.events) {
            if (e.state == 1 && e.type <= 1) {
                e.end = now;
            }
        }
    }
    for (uint32_t i = 0; i < kStopPolls; ++i) {
        if (noxa_ipc_cloud_storage_get_event_status(0) == 0 && noxa_ipc_cloud_storage_get_event_status(1) == 0) {
            PR_NOTICE("stop event done");
            return UNI_OK;
        }
        uni_sleep_ms(kStopPollMs);
    }
    PR_ERR("stop event timeout, force return");
    return UNI_COM_ERROR;
}

int noxa_ipc_cloud_storage_event_delete(int id)
{
    PR_NOTICE("delete event %d", id);
    std::lock_guard<std::mutex> lock(gM.eventLock);
    if (cs::Event* e = ActiveById(id)) {
        e->end = Now();
    }
    PR_NOTICE("delete event done");
    return UNI_OK;
}

int noxa_ipc_cloud_storage_event_notify(int id, uint32_t type)
{
    if (gM.inited == 0) {
        return UNI_COM_ERROR;
    }
    if (gM.enable == 0 || gM.type > CS_TYPE_EVENT) {
        return CS_ERR_DISABLED;
    }
    if (type >= CS_EVENT_TYPE_MAX) {
        PR_ERR("invalid event type");
        return UNI_INVALID_PARM;
    }
    PR_NOTICE("event notify for type %u id %d", type, id);
    uint32_t start = 0;
    {
        // The thread changes the list meanwhile: the lookup holds the lock.
        std::lock_guard<std::mutex> lock(gM.eventLock);
        const cs::Event* e = ActiveById(id);
        if (e == nullptr) {
            PR_NOTICE("event notify done");
            return UNI_OK;
        }
        start = e->start;
    }
    char body[96];
    snprintf(body, sizeof(body), "{\"v\":2,\"startTime\":%u,\"endTime\":%u,\"eventType\":%u}", start, Now(), type);
    if (cs::PostStorageNotice(2, body) != UNI_OK) {
        return CS_ERR_DISABLED;
    }
    PR_NOTICE("event notify done");
    return UNI_OK;
}

int noxa_ipc_cloud_storage_set_event_type(int id, uint32_t type)
{
    if (gM.inited == 0) {
        return UNI_COM_ERROR;
    }
    if (gM.enable == 0 || gM.type > CS_TYPE_EVENT) {
        return CS_ERR_DISABLED;
    }
    if (type >= CS_EVENT_TYPE_MAX || type == CS_EVENT_TYPE_SILENT) {
        PR_ERR("invalid event type");
        return UNI_INVALID_PARM;
    }
    int ret = UNI_INVALID_PARM;
    {
        std::lock_guard<std::mutex> lock(gM.eventLock);
        if (cs::Event* e = ActiveById(id)) {
            e->type = type;
            if (e->notify == 0) {
                e->notify = 2;
            }
            PR_NOTICE("event[%d] type set to %u", id, type);
            ret = UNI_OK;
        }
    }
    PR_NOTICE("event type set done, ret:%d", ret);
    return ret;
}

int noxa_ipc_cloud_storage_get_event_status(uint32_t type)
{
    if (gM.inited == 0) {
        return 3;
    }
    std::lock_guard<std::mutex> lock(gM.eventLock);
    for (const cs::Event& e : gM.events) {
        if (e.id != -1 && e.type == type) {
            return static_cast<int>(e.state);
        }
    }
    return 0;
}

int noxa_ipc_cloud_storage_get_event_status_by_id(int id)
{
    if (id == -1) {
        return 3;
    }
    std::lock_guard<std::mutex> lock(gM.eventLock);
    for (const cs::Event& e : gM.events) {
        if (e.id == id) {
            return static_cast<int>(e.state);
        }
    }
    return 0;
}

int __cloud_storage_order_change_callback(const char* action, const char* store_mode)
{
    PR_NOTICE("receive cloud storage message from server[action:%s store_mode:%s]", action != nullptr ? action : "",
              store_mode != nullptr ? store_mode : "");
    if (gM.inited == 0) {
        PR_NOTICE("not inited, just return");
        return UNI_OK;
    }
    if (action != nullptr && strcmp(action, "store") == 0 && store_mode != nullptr) {
        bool same;
        {
            std::lock_guard<std::mutex> lock(gM.lock);
            same = strcmp(store_mode, gM.cfg.store_mode) == 0;
        }
        if (same) {
            PR_NOTICE("keep going");
        } else {
            cs::UpdateConfig();
            PR_NOTICE("new cloud type -> %u", gM.type.load());
        }
    } else {
        std::lock_guard<std::mutex> lock(gM.lock);
        snprintf(gM.cfg.store_mode, sizeof(gM.cfg.store_mode), "max");
        // The hourly retry counts from the abort, or it would undo the abort at once.
        gM.failMs = uni_get_tick_ms();
        gM.type = CS_TYPE_NONE;
    }
    PR_NOTICE("order change done");
    return UNI_OK;
}

int __cloud_storage_iot_event_trigger_callback(const char* action, int duration, const char* ext)
{
    PR_NOTICE("receive cloud storage event trigger via mqtt action %s durantion %d", action != nullptr ? action : "",
              duration);
    if (action == nullptr || ext == nullptr) {
        PR_ERR("null input");
        return UNI_INVALID_PARM;
    }
    auto* task = new (std::nothrow) TriggerTask{action, ext, duration};
    if (task == nullptr) {
        PR_ERR("cloud_storage_iot_event null ");
        return UNI_MALLOC_FAILED;
    }
    if (!cs::gThreadsOn) {
        HandleTrigger(task);
        return UNI_OK;
    }
    THRD_PARAM_S p = {4096, 4, "cloud_storage_iot_event_task"};
    if (CreateAndStart(&task->self, nullptr, nullptr, TriggerThread, task, &p) != 0) {
        PR_ERR("cloud_storage_iot_event_task CreateAndStart error ");
        delete task;
        return UNI_COM_ERROR;
    }
    return UNI_OK;
}
