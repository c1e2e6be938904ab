#include "DoorbellCall.h"

#include "AppLog.h"
#include "AppThread.h"
#include "AppWorker.h"
#include "DeviceState.h"
#include "DoorPhoneLinks.h"
#include "NoxaApp.h"
#include "NoxaSettings.h"
#include "Media/VencStream.h"
#include "noxa_ipc_sdk/noxa_ipc_api.h"
#include "noxa_ipc_sdk/noxa_ipc_notification.h"
#include "noxa_ipc_sdk/video_msg/noxa_ipc_video_msg.h"
#include "platform/board_path.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

void (*gMdSleep)(uint32_t ms) = [](uint32_t ms) { usleep(ms * 1000); };
uint32_t gCallTimerSpeedup = 1;

namespace {

constexpr uint64_t kUnansweredMs = 25000;  // a press nobody answers
constexpr uint64_t kMessageMs = 6000;      // waiting for, then recording, a message
constexpr uint64_t kTalkMs = 30000;        // a talk the phone's heartbeat keeps alive
constexpr int kMdSnapshotTries = 6;
constexpr uint32_t kMdSnapshotWaitMs = 1000;
constexpr uint32_t kMdPassWaitMs = 100;

// The call record. Timer threads, the MQTT task and the caller of DoorbellPress share it: every
// field is read and written under the lock.
struct DOORBELL_CALL_S {
    uint32_t state = DOORBELL_IDLE;
    uint32_t pressed = 0;
    uint32_t pressTime = 0;
    uint8_t snapshot[kCallSnapshotMax] = {};
    uint32_t snapshotSize = 0;
    timer_t timer{};
    bool hasTimer = false;
    bool armed = false;  // the timer runs for the state it was armed in
};

std::mutex s_callLock;
DOORBELL_CALL_S s_call;

void ArmLocked(uint64_t ms)
{
    s_call.armed = true;
    ArmCallTimer(s_call.timer, ms, 0);
}

void StopLocked()
{
    s_call.armed = false;
    StopCallTimer(s_call.timer);
}

void ReadPressSnapshotLocked()
{
    char path[96];
    snprintf(path, sizeof(path), kPressSnapshotFmt, gDemoResourceDir);
    s_call.snapshotSize = ReadSnapshotFile(path, s_call.snapshot, kCallSnapshotMax);
}

// Notifications wait for the cloud (uploads, a PUBACK): they run on the door-phone worker, never
// on the thread of the timer, the caller or the MQTT task.
void Hand(const char* what, std::function<void()> job)
{
    if (!DoorPhoneWorker().Post(std::move(job))) {
        APP_ERR("%s not sent: the worker took no job", what);
    }
}

void HandEventLocked(uint32_t name)
{
    std::vector<uint8_t> pic(s_call.snapshot, s_call.snapshot + s_call.snapshotSize);
    Hand(notification_name_text(name), [pic = std::move(pic), name] {
        // Without a picture the service refuses the event: nothing goes out.
        noxa_ipc_notify_with_event(reinterpret_cast<const char*>(pic.data()), static_cast<uint32_t>(pic.size()), 1,
                                   name);
    });
}

// The timer ran out in the call's present state.
void ExpiredLocked()
{
    switch (s_call.state) {
    case DOORBELL_IDLE:
        s_call.state = DOORBELL_WAIT_MSG;
        s_call.pressed = 0;
        printf("##############LEAVE msg?\n");
        ArmLocked(kMessageMs);
        HandEventLocked(NOTIFICATION_NAME_UNCONNECTED);
        break;
    case DOORBELL_WAIT_MSG:
        printf("no message leave\n");
        s_call.state = DOORBELL_IDLE;
        break;
    case DOORBELL_RECORDING:
        printf("upload message\n");
        s_call.state = DOORBELL_IDLE;
        break;
    default:
        printf("talking timeout ,reset doorbell ms\n");
        s_call.pressed = 0;
        s_call.state = DOORBELL_IDLE;
        break;
    }
    fflush(stdout);
}

}  // namespace

bool IsCloudOnline()
{
    return NoxaIsOnline();
}

int CreateCallTimer(void (*callback)(union sigval), timer_t* out)
{
    struct sigevent ev = {};
    ev.sigev_notify = SIGEV_THREAD;
    ev.sigev_notify_function = callback;
    ev.sigev_value.sival_ptr = nullptr;
    if (out == nullptr || timer_create(CLOCK_REALTIME, &ev, out) != 0) {
        printf(" fail to timer create\n");
        return -1;
    }
    return 0;
}

int ArmCallTimer(timer_t timer, uint64_t value_ms, uint64_t interval_ms)
{
    const uint32_t speedup = gCallTimerSpeedup == 0 ? 1 : gCallTimerSpeedup;
    auto scaled = [speedup](uint64_t ms) { return ms == 0 ? 0 : (ms / speedup == 0 ? 1 : ms / speedup); };
    value_ms = scaled(value_ms);
    interval_ms = scaled(interval_ms);
    struct itimerspec when = {};
    when.it_value.tv_sec = static_cast<time_t>(value_ms / 1000);
    when.it_value.tv_nsec = static_cast<long>(value_ms % 1000 * 1000000);
    when.it_interval.tv_sec = static_cast<time_t>(interval_ms / 1000);
    when.it_interval.tv_nsec = static_cast<long>(interval_ms % 1000 * 1000000);
    if (timer_settime(timer, 0, &when, nullptr) != 0) {
        printf("fail to timer settime\n");
        return -1;
    }
    return 0;
}

int StopCallTimer(timer_t timer)
{
    struct itimerspec when = {};
    timer_settime(timer, 0, &when, nullptr);
    return 0;
}

int DeleteCallTimer(timer_t timer)
{
    timer_delete(timer);
    return 0;
}

void DoorbellPress()
{
    std::lock_guard<std::mutex> lock(s_callLock);
    switch (s_call.state) {
    case DOORBELL_IDLE:
        if (!s_call.hasTimer) {
            if (CreateCallTimer(DoorbellTimerCb, &s_call.timer) != 0) {
                return;
            }
            s_call.hasTimer = true;
        }
        if (s_call.pressed == 0) {
            s_call.pressTime = static_cast<uint32_t>(time(nullptr));
            ReadPressSnapshotLocked();
            // Mode 1: the press event alone; the picture goes with a later event.
            Hand("doorbell press", [] { noxa_ipc_notify_door_bell_press_generic(1, nullptr, 0, 1); });
            ArmLocked(kUnansweredMs);
            s_call.pressed = 1;
        }
        break;
    case DOORBELL_WAIT_MSG:
        ReadPressSnapshotLocked();
        if (noxa_ipc_leave_video_msg(s_call.snapshot, s_call.snapshotSize) == 0) {
            s_call.state = DOORBELL_RECORDING;
            ArmLocked(kMessageMs);
        } else {
            printf("#####noxa_ipc_doorbell_record_start failed \n");
        }
        break;
    default:
        printf("recording...ignore!\n");
        break;
    }
    fflush(stdout);
}

void DoorbellTimerCb(union sigval)
{
    std::lock_guard<std::mutex> lock(s_callLock);
    // An expiry that raced with a stop or a new arming is not the call's any more.
    if (!s_call.armed || !s_call.hasTimer) {
        return;
    }
    struct itimerspec left = {};
    if (timer_gettime(s_call.timer, &left) == 0 && (left.it_value.tv_sec != 0 || left.it_value.tv_nsec != 0)) {
        return;
    }
    s_call.armed = false;
    ExpiredLocked();
}

void DoorbellTimerExpired()
{
    std::lock_guard<std::mutex> lock(s_callLock);
    if (!s_call.hasTimer) {
        return;
    }
    StopLocked();
    ExpiredLocked();
}

void DoorbellStatus(int code)
{
    std::lock_guard<std::mutex> lock(s_callLock);
    switch (code) {
    case 0:
        if (s_call.pressed != 0 && s_call.state == DOORBELL_IDLE) {
            HandEventLocked(NOTIFICATION_NAME_CONNECTED);
            s_call.state = DOORBELL_TALKING;
            ArmLocked(kTalkMs);
        }
        break;
    case 2:
        if (s_call.state == DOORBELL_TALKING) {
            ArmLocked(kTalkMs);
        }
        break;
    case 1:
        if (s_call.state == DOORBELL_TALKING) {
            s_call.pressed = 0;
            s_call.state = DOORBELL_IDLE;
            StopLocked();
        }
        break;
    default:
        break;
    }
}

void DoorbellStatusHandle(const char* status)
{
    int code = 0;  // any other text counts as an answer
    if (status != nullptr && strncmp(status, "stop", 4) == 0) {
        code = 1;
    } else if (status != nullptr && strncmp(status, "heartbeat", 9) == 0) {
        code = 2;
    }
    DoorbellStatus(code);
}

uint32_t ReadSnapshotFile(const char* path, uint8_t* buf, uint32_t capacity)
{
    FILE* f = BoardFopen(path, "rb");
    if (f == nullptr) {
        return 0;
    }
    uint32_t n = 0;
    while (n < capacity) {
        const size_t got = fread(buf + n, 1, capacity - n, f);
        if (got == 0) {
            break;
        }
        n += static_cast<uint32_t>(got);
    }
    const bool more = n == capacity && fgetc(f) != EOF;
    fclose(f);
    if (more) {
        APP_ERR("%s is larger than %u bytes: taken as no picture", path, capacity);
        return 0;
    }
    return n;
}

int IPC_APP_read_snapshot(void* buf, int* size)
{
    printf("get one motion snapshot\n");
    fflush(stdout);
    if (buf == nullptr || size == nullptr) {
        return -1;
    }
    FILE* f = BoardFopen(kMdSnapshotFile, "rb");
    if (f == nullptr) {
        printf("fail to open snap.jpg\n");
        fflush(stdout);
        *size = 0;
        return -1;
    }
    fclose(f);
    // Pictures below 102400 bytes only: a bigger one is none, never a size without its bytes.
    *size = static_cast<int>(ReadSnapshotFile(kMdSnapshotFile, static_cast<uint8_t*>(buf), kCallSnapshotMax - 1));
    return *size > 0 ? 0 : -1;
}

int MdProcPass()
{
    gMdSleep(kMdPassWaitMs);
    const int flag = gDoorPhoneLinks.TakeMotionFlag != nullptr ? gDoorPhoneLinks.TakeMotionFlag() : 0;
    if (flag == 0 || CountdownRunning(gDeviceState.MotionCooldownTimer.load())) {
        return 0;  // read and cleared: an alarm in the cool-down is dropped
    }
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[kMdSnapshotMax]);
    if (!buf) {
        return 0;
    }
    // The previous picture goes first: a capture that never comes must not push it again. The
    // new one stays after the push (the cloud's picture trigger reads the latest one).
    if (BoardUnlink(kMdSnapshotFile) != 0 && errno != ENOENT) {
        APP_ERR("%s not removed: %s", kMdSnapshotFile, strerror(errno));
    }
    CapturePicture(0);
    uint32_t size = 0;
    for (int i = 0; i < kMdSnapshotTries && size == 0; ++i) {
        gMdSleep(kMdSnapshotWaitMs);
        size = ReadSnapshotFile(kMdSnapshotFile, buf.get(), kMdSnapshotMax);
    }
    AppLogPrint(APP_LOG_BLUE, "thread_md_proc", "%d", static_cast<int>(size));
    if (size >= 1 && gDeviceState.AlarmSetting != 0) {
        const char* pic = reinterpret_cast<const char*>(buf.get());
        const int ret = IPC_APP_get_human_filter() != 0
                            ? noxa_ipc_notify_with_event(pic, size, 1, NOTIFICATION_NAME_HUMAN)
                            : noxa_ipc_notify_motion_detect(pic, size, 1);
        AppLogPrint(APP_LOG_BLUE, "thread_md_proc", "Send Msg to cloud %d", ret);
    }
    // Also after a snapshot that never came: the next alarm waits its minute.
    gDeviceState.MotionCooldownTimer = kMdCooldownTicks;
    return 1;
}

void* thread_md_proc(void*)
{
    prctl(PR_SET_NAME, "thread_md_proc");
    for (;;) {
        MdProcPass();
    }
    return nullptr;
}

DOORBELL_CALL_VIEW_S DoorbellCallView()
{
    std::lock_guard<std::mutex> lock(s_callLock);
    DOORBELL_CALL_VIEW_S v{s_call.state, s_call.pressed, s_call.snapshotSize, 0};
    struct itimerspec left = {};
    if (s_call.hasTimer && timer_gettime(s_call.timer, &left) == 0) {
        v.remainingMs = static_cast<uint64_t>(left.it_value.tv_sec) * 1000 +
                        static_cast<uint64_t>(left.it_value.tv_nsec) / 1000000;
    }
    return v;
}

void DoorbellCallWaitIdle()
{
    DoorPhoneWorker().WaitIdle();
}

void DoorbellCallInstall()
{
    gNoxaAppLinks.MdProcThread = thread_md_proc;
    // The video-message service: started by the cloud-side start, recording the second press of
    // an unanswered call, and handing the phone's answers (protocol 308) back here.
    gNoxaAppLinks.VideoMsgInit = noxa_ipc_video_msg_init;
    gNoxaIpcOps.leave_video_msg = noxa_ipc_video_msg_leave;
    gVideoMsgLinks.DoorbellStatusHandle = DoorbellStatusHandle;
}
