// Message queues, the message worker, timer messages and reference data.
#include "events.h"
#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_base/sys_serv/uni_msg_queue.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace {

using namespace std::chrono_literals;

std::mutex gSeenMutex;
std::vector<std::pair<MSG_ID, void*>> gSeen;
Events gEvents;

void RecordMsg(MESSAGE_S* msg)
{
    {
        std::lock_guard<std::mutex> lock(gSeenMutex);
        gSeen.emplace_back(msg->msgID, msg->pMsgData);
    }
    gEvents.Add("msg");
}

std::vector<std::pair<MSG_ID, void*>> Seen()
{
    std::lock_guard<std::mutex> lock(gSeenMutex);
    return gSeen;
}

std::vector<std::string> gLog;

void CaptureLog(const char* line)
{
    std::lock_guard<std::mutex> lock(gSeenMutex);
    gLog.emplace_back(line);
}

std::vector<std::string> LogLines()
{
    std::lock_guard<std::mutex> lock(gSeenMutex);
    return gLog;
}

void* Tag(uintptr_t n)
{
    return reinterpret_cast<void*>(n);
}

}  // namespace

TEST(MsgQueue, HeadMessagesJumpTheQueue)
{
    MSG_QUE_HANDLE q = nullptr;
    ASSERT_EQ(0, CreateMsgQueAndInit(&q));
    MSG_NODE_S* node = nullptr;
    EXPECT_EQ(UNI_MSG_LIST_EMPTY, GetFirstMsgFromQue(q, &node));
    ASSERT_EQ(0, PostMsgToQue(q, 1, Tag(1), 1));
    ASSERT_EQ(0, PostMsgToQue(q, 2, Tag(2), 2));
    ASSERT_EQ(0, PostInstancyMsgToQue(q, 9, Tag(9), 9));
    ASSERT_EQ(0, PostMsgToQue(q, 3, Tag(3), 3));
    std::vector<MSG_ID> order;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(0, WaitMsgFromQue(q, &node));
        order.push_back(node->msg.msgID);
        EXPECT_EQ(Tag(node->msg.msgID), node->msg.pMsgData);
        EXPECT_EQ(node->msg.msgID, node->msg.msgDataLen);
        ASSERT_EQ(0, DelAndFreeMsgNodeFromQue(q, node));
    }
    EXPECT_EQ((std::vector<MSG_ID>{9, 1, 2, 3}), order);
    EXPECT_EQ(UNI_MSG_LIST_EMPTY, GetFirstMsgFromQue(q, &node));
    // Pending nodes go with the queue (LeakSanitizer checks).
    ASSERT_EQ(0, PostMsgToQue(q, 4, nullptr, 0));
    EXPECT_EQ(0, ReleaseMsgQue(q));
}

TEST(MsgQueue, HandlerTableGrowsByFour)
{
    MSG_QUE_HANDLE q = nullptr;
    ASSERT_EQ(0, CreateMsgQueAndInit(&q));
    EXPECT_EQ(UNI_INVALID_PARM, RegMsgHandler(q, 0, RecordMsg)) << "capacity starts at 0";
    uint16_t id = 99;
    for (uint16_t want = 0; want < 4; ++want) {
        ASSERT_EQ(0, GetFreeMsgId(q, &id));
        EXPECT_EQ(want, id);
        ASSERT_EQ(0, RegMsgHandler(q, id, RecordMsg));
    }
    EXPECT_EQ(UNI_INVALID_PARM, RegMsgHandler(q, 4, RecordMsg)) << "id beyond the capacity of 4";
    ASSERT_EQ(0, GetFreeMsgId(q, &id));
    EXPECT_EQ(4, id);
    EXPECT_EQ(0, RegMsgHandler(q, 7, RecordMsg)) << "the capacity is 8 now";
    EXPECT_EQ(UNI_INVALID_PARM, RegMsgHandler(q, 8, RecordMsg));
    EXPECT_EQ(UNI_INVALID_PARM, RegMsgHandler(q, 5, nullptr));
    ASSERT_EQ(0, UnregMsgHandler(q, 2));
    ASSERT_EQ(0, GetFreeMsgId(q, &id));
    EXPECT_EQ(2, id);
    EXPECT_EQ(UNI_INVALID_PARM, UnregMsgHandler(q, 8));
    EXPECT_EQ(0, ReleaseMsgQue(q));
}

TEST(MsgQueue, LoopRunsHandlersAndConsumesUnhandled)
{
    ASSERT_EQ(0, uni_log_init(LOG_LEVEL_DEBUG, 256, CaptureLog));
    MSG_QUE_HANDLE q = nullptr;
    ASSERT_EQ(0, CreateMsgQueAndInit(&q));
    uint16_t id = 0;
    ASSERT_EQ(0, GetFreeMsgId(q, &id));
    ASSERT_EQ(0, RegMsgHandler(q, id, RecordMsg));
    std::thread loop([q] { MsgQueDispatchLoop(q); });
    // Nobody takes id 3 (beyond the table) or id 2 (inside it, empty): their data is the
    // queue's to free (LeakSanitizer checks), and the ids are logged.
    void* lost3 = Malloc(40);
    void* lost2 = Malloc(8);
    ASSERT_EQ(0, PostMsgToQue(q, 3, lost3, 40));
    ASSERT_EQ(0, PostMsgToQue(q, 2, lost2, 8));
    ASSERT_EQ(0, PostMsgToQue(q, 0x10000 + id, Tag(2), 0));  // only the low 16 bits choose
    ASSERT_EQ(0, PostMsgToQue(q, id, Tag(1), 0));
    ASSERT_TRUE(gEvents.WaitFor("msg", 2));
    auto seen = Seen();
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ(Tag(2), seen[0].second);
    EXPECT_EQ(Tag(1), seen[1].second);
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_TRUE(__asan_address_is_poisoned(lost3)) << "data of an unhandled message not freed";
    EXPECT_TRUE(__asan_address_is_poisoned(lost2));
#endif
    // Release while the loop waits: the loop ends and the thread comes back.
    EXPECT_EQ(0, ReleaseMsgQue(q));
    loop.join();
    EXPECT_EQ(2u, Seen().size());
    std::vector<std::string> lines = LogLines();
    for (MSG_ID lost : {3u, 2u}) {
        std::string tail = "no handler for msg " + std::to_string(lost) + ", data dropped\r\n";
        EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
                      return l.size() >= tail.size() && l.compare(l.size() - tail.size(), tail.size(), tail) == 0;
                  })) << tail;
    }
    uni_log_release();
}

TEST(MsgQueue, ReleaseWaitsForARunningHandlerAndDropsPending)
{
    MSG_QUE_HANDLE q = nullptr;
    ASSERT_EQ(0, CreateMsgQueAndInit(&q));
    static Gate gate;
    static std::atomic<bool> handlerDone{false};
    uint16_t id = 0;
    ASSERT_EQ(0, GetFreeMsgId(q, &id));
    ASSERT_EQ(0, RegMsgHandler(q, id, [](MESSAGE_S*) {
        gEvents.Add("blocked");
        gate.Pass();
        handlerDone = true;
    }));
    std::thread loop([q] { MsgQueDispatchLoop(q); });
    ASSERT_EQ(0, PostMsgToQue(q, id, nullptr, 0));
    ASSERT_TRUE(gEvents.WaitFor("blocked"));
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(0, PostMsgToQue(q, id, nullptr, 0));
    }
    auto released = std::async(std::launch::async, [q] { return ReleaseMsgQue(q) == 0 && handlerDone.load(); });
    EXPECT_EQ(std::future_status::timeout, released.wait_for(150ms)) << "queue freed under a running handler";
    gate.Open();
    EXPECT_TRUE(released.get());
    loop.join();
    EXPECT_EQ(1, gEvents.Count("blocked")) << "pending messages ran after the release";
}

TEST(MsgQueue, ReleaseFromItsOwnHandler)
{
    static MSG_QUE_HANDLE q = nullptr;
    ASSERT_EQ(0, CreateMsgQueAndInit(&q));
    uint16_t id = 0;
    ASSERT_EQ(0, GetFreeMsgId(q, &id));
    ASSERT_EQ(0, RegMsgHandler(q, id, [](MESSAGE_S*) { EXPECT_EQ(0, ReleaseMsgQue(q)); }));
    ASSERT_EQ(0, PostMsgToQue(q, id, nullptr, 0));
    ASSERT_EQ(0, PostMsgToQue(q, id, nullptr, 0));
    // The loop returns once the handler is over, and the queue is gone (AddressSanitizer and
    // LeakSanitizer check both).
    EXPECT_EQ(0, MsgQueDispatchLoop(q));
}

TEST(MsgWorker, PostsCopiesAndTimerMessagesRunOnTheWorker)
{
    UniTestClock clock;
    MSG_WORKER_HANDLE worker = nullptr;
    THRD_PARAM_S param = {4096, 3, "cmmod"};
    ASSERT_EQ(0, CreateMsgWorker(&worker, nullptr, nullptr, &param));

    static std::string copyThread;
    static std::string copied;
    uint16_t id = 0;
    ASSERT_EQ(0, MsgWorkerGetFreeMsgId(worker, &id));
    ASSERT_EQ(0, MsgWorkerRegHandler(worker, id, [](MESSAGE_S* msg) {
        copyThread = ThreadName();
        copied.assign(static_cast<char*>(msg->pMsgData), msg->msgDataLen);
        Free(msg->pMsgData);
        gEvents.Add("copy");
    }));
    char text[] = "door open";
    ASSERT_EQ(0, MsgWorkerPostCopy(worker, id, text, sizeof(text)));
    memset(text, 0, sizeof(text));  // the handler sees the copy
    ASSERT_TRUE(gEvents.WaitFor("copy"));
    EXPECT_EQ(std::string("door open", sizeof(text)), copied);
    EXPECT_EQ("cmmod", copyThread);

    static std::string tmThread;
    static void* tmData = nullptr;
    TM_MSG_S* tm = nullptr;
    int arg = 5;
    ASSERT_EQ(0, MsgWorkerCreateTmMsg(worker, &arg, [](TM_MSG_S* m) {
        tmThread = ThreadName();
        tmData = m->data;
        gEvents.Add("tm");
    }, &tm));
    EXPECT_NE(id, tm->msgID);
    ASSERT_EQ(0, cmmod_start_tm_msg(tm, 120000, TIMER_ONCE));
    clock.Advance(119990);
    clock.Advance(10);
    ASSERT_TRUE(gEvents.WaitFor("tm"));
    EXPECT_EQ("cmmod", tmThread) << "a timer message ran off the worker";
    EXPECT_EQ(&arg, tmData);
    EXPECT_EQ(0, cmmod_stop_tm_msg(tm));
    EXPECT_EQ(0, cmmod_release_tm_msg(tm));
    ASSERT_EQ(0, MsgWorkerUnregHandler(worker, id));
}

TEST(MsgWorker, CyclicTimerMessageReleasesItself)
{
    UniTestClock clock;
    MSG_WORKER_HANDLE worker = nullptr;
    THRD_PARAM_S param = {4096, 3, "cmmod"};
    ASSERT_EQ(0, CreateMsgWorker(&worker, nullptr, nullptr, &param));
    static std::atomic<int> calls{0};
    TM_MSG_S* tm = nullptr;
    ASSERT_EQ(0, MsgWorkerCreateTmMsg(worker, nullptr, [](TM_MSG_S* m) {
        if (++calls == 3) {
            EXPECT_EQ(0, cmmod_release_tm_msg(m));
        }
        gEvents.Add("tick");
    }, &tm));
    ASSERT_EQ(0, cmmod_start_tm_msg(tm, 100, TIMER_CYCLE));
    for (int i = 1; i <= 3; ++i) {
        clock.Advance(100);
        ASSERT_TRUE(gEvents.WaitFor("tick", i));
    }
    // Another timer message on the worker shows that later passes ran.
    TM_MSG_S* probe = nullptr;
    ASSERT_EQ(0, MsgWorkerCreateTmMsg(worker, nullptr, [](TM_MSG_S*) { gEvents.Add("probe"); }, &probe));
    ASSERT_EQ(0, cmmod_start_tm_msg(probe, 500, TIMER_ONCE));
    clock.Advance(500);
    ASSERT_TRUE(gEvents.WaitFor("probe"));
    EXPECT_EQ(3, calls.load()) << "a released timer message ran again";
}

TEST(MsgWorker, ReleaseDropsQueuedExpiries)
{
    UniTestClock clock;
    ASSERT_EQ(0, system_timer_init());
    MSG_QUE_HANDLE q = nullptr;  // no loop: expiries stay queued
    ASSERT_EQ(0, CreateMsgQueAndInit(&q));
    TM_MSG_S* tm = nullptr;
    ASSERT_EQ(0, CreateTmMsgHand(q, nullptr, [](TM_MSG_S*) { gEvents.Add("late"); }, &tm));
    const uint16_t msgId = tm->msgID;
    ASSERT_EQ(0, StartTmMsgHand(tm, 10, TIMER_CYCLE));
    MSG_NODE_S* node = nullptr;
    clock.Advance(10);
    for (auto deadline = std::chrono::steady_clock::now() + kEventWait;
         GetFirstMsgFromQue(q, &node) != 0 && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::yield();
    }
    ASSERT_EQ(0, GetFirstMsgFromQue(q, &node)) << "the timer posted nothing";
    EXPECT_EQ(msgId, node->msg.msgID);
    ASSERT_EQ(0, ReleaseTmMsgHand(tm));
    EXPECT_EQ(UNI_MSG_LIST_EMPTY, GetFirstMsgFromQue(q, &node)) << "an expiry of a released timer message is queued";

    // The id goes to the next timer message; the loop runs only its messages.
    TM_MSG_S* next = nullptr;
    ASSERT_EQ(0, CreateTmMsgHand(q, nullptr, [](TM_MSG_S*) { gEvents.Add("next"); }, &next));
    EXPECT_EQ(msgId, next->msgID);
    std::thread loop([q] { MsgQueDispatchLoop(q); });
    ASSERT_EQ(0, StartTmMsgHand(next, 10, TIMER_ONCE));
    clock.Advance(10);
    ASSERT_TRUE(gEvents.WaitFor("next"));
    EXPECT_EQ(0, gEvents.Count("late"));
    EXPECT_EQ(0, ReleaseTmMsgHand(next));
    EXPECT_EQ(0, ReleaseMsgQue(q));
    loop.join();
}

TEST(RefData, LastPutReleases)
{
    // Copy mode: the bytes live in the holder.
    char text[] = "snapshot";
    UNI_REF_DATA_S* copy = uni_ref_data_create(text, sizeof(text), 1, 2);
    ASSERT_NE(nullptr, copy);
    EXPECT_NE(static_cast<void*>(text), copy->data);
    EXPECT_EQ(0, memcmp(text, copy->data, sizeof(text)));
    EXPECT_EQ(2u, copy->refCount);
    EXPECT_EQ(0, uni_ref_data_get(copy));
    EXPECT_EQ(3u, copy->refCount);
    EXPECT_EQ(0, uni_ref_data_put(copy));
    EXPECT_EQ(0, uni_ref_data_put(copy));
    EXPECT_EQ(1u, copy->refCount);
    EXPECT_EQ(0, uni_ref_data_put(copy));  // released here; LeakSanitizer checks

    // Reference mode: the caller's Malloc'd block goes with the holder.
    void* block = Malloc(100);
    UNI_REF_DATA_S* ref = uni_ref_data_create(block, 100, 0, 1);
    ASSERT_NE(nullptr, ref);
    EXPECT_EQ(block, ref->data);
    EXPECT_EQ(0, uni_ref_data_free(ref));
    EXPECT_EQ(UNI_INVALID_PARM, uni_ref_data_put(nullptr));
    EXPECT_EQ(UNI_INVALID_PARM, uni_ref_data_get(nullptr));

    // Shared by threads: exactly one of them releases it.
    UNI_REF_DATA_S* shared = uni_ref_data_create(text, sizeof(text), 1, 8);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([shared] { uni_ref_data_put(shared); });
    }
    for (auto& t : threads) {
        t.join();
    }
}

// Timer messages released from another thread while the loop picks up their expiries: the loop
// must never reach a purged node, nor take a released record for data of nobody's to free.
TEST(MsgWorker, ReleaseRacesTheLoopPickingAnExpiry)
{
    UniTestClock clock;
    ASSERT_EQ(0, system_timer_init());
    MSG_QUE_HANDLE q = nullptr;
    ASSERT_EQ(0, CreateMsgQueAndInit(&q));
    std::thread loop([q] { MsgQueDispatchLoop(q); });
    for (int i = 0; i < 20000; ++i) {
        TM_MSG_S* tm = nullptr;
        ASSERT_EQ(0, CreateTmMsgHand(q, nullptr, [](TM_MSG_S*) {}, &tm));
        // An expiry as the timer posts it.
        ASSERT_EQ(0, PostMsgToQue(q, tm->msgID, tm, sizeof(uint32_t)));
        if (i % 2 == 0) {
            std::this_thread::yield();
        }
        ASSERT_EQ(0, ReleaseTmMsgHand(tm));
    }
    EXPECT_EQ(0, ReleaseMsgQue(q));
    loop.join();
}
