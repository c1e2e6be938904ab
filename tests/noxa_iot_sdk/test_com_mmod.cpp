// The common worker "cmmod" and the online-log service on it.
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_base/events.h"
#include "noxa_iot_sdk/com_sdk/com_mmod.h"
#include "noxa_iot_sdk/online_log/log_serv.h"

#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <vector>

namespace {

Events gEvents;
std::mutex gMutex;
std::vector<std::string> gSeen;  // what handlers saw, with their thread

void Remember(const std::string& what)
{
    {
        std::lock_guard<std::mutex> lock(gMutex);
        gSeen.push_back(what);
    }
    gEvents.Add("seen");
}

std::string SeenAt(size_t i)
{
    std::lock_guard<std::mutex> lock(gMutex);
    return i < gSeen.size() ? gSeen[i] : "";
}

// Owns what it receives, as every cmmod handler does.
void TextHandler(MESSAGE_S* msg)
{
    Remember(ThreadName() + ":" + std::string(static_cast<const char*>(msg->pMsgData), msg->msgDataLen));
    Free(msg->pMsgData);
}

void CaptureLog(const char* line)
{
    if (strstr(line, "online log:") != nullptr) {
        Remember(line);
    }
}

}  // namespace

TEST(Cmmod, BeforeTheWorkerNothingIsQueuedAndNothingLeaks)
{
    TM_MSG_S* tm = nullptr;
    EXPECT_EQ(-2, cmmod_cr_tm_msg_hand([](TM_MSG_S*) {}, nullptr, &tm));
    EXPECT_EQ(nullptr, tm);
    uint16_t id = 0;
    EXPECT_EQ(-2, cmmod_reg_msg_hand(TextHandler, &id));
    // Handed over and refused: freed here (LeakSanitizer checks).
    EXPECT_EQ(-2, cmmod_post_msg(1, Malloc(32), 32));
    EXPECT_EQ(-2, cmmod_post_msg_copy(1, "abc", 3));
    EXPECT_EQ(LOG_SERV_NO_MSG_ID, log_serv_get_msg_id());
}

TEST(Cmmod, TimerMessageRunsOnTheCmmodThread)
{
    UniTestClock clock;
    ASSERT_EQ(0, cmmod_init());
    ASSERT_EQ(0, cmmod_init()) << "a second start is harmless";
    TM_MSG_S* tm = nullptr;
    int arg = 42;
    ASSERT_EQ(0, cmmod_cr_tm_msg_hand(
                     [](TM_MSG_S* m) { Remember(ThreadName() + ":" + std::to_string(*static_cast<int*>(m->data))); },
                     &arg, &tm));
    ASSERT_EQ(0, cmmod_start_tm_msg(tm, 3000, TIMER_ONCE));
    clock.Advance(3000);
    ASSERT_TRUE(gEvents.WaitFor("seen"));
    EXPECT_EQ("cmmod:42", SeenAt(0));
    EXPECT_EQ(0, cmmod_release_tm_msg(tm));
}

TEST(Cmmod, PostedDataBelongsToTheReceiver)
{
    ASSERT_EQ(0, cmmod_init());
    uint16_t id = 0;
    ASSERT_EQ(0, cmmod_reg_msg_hand(TextHandler, &id));
    uint16_t other = 0;
    ASSERT_EQ(0, cmmod_reg_msg_hand(TextHandler, &other));
    EXPECT_NE(id, other);

    auto* owned = static_cast<char*>(Malloc(5));
    memcpy(owned, "hello", 5);
    ASSERT_EQ(0, cmmod_post_msg(id, owned, 5));
    char local[] = {'c', 'o', 'p', 'y'};
    ASSERT_EQ(0, cmmod_post_msg_copy(other, local, sizeof(local)));
    memset(local, 'x', sizeof(local));  // the receiver has its own copy
    ASSERT_TRUE(gEvents.WaitFor("seen", 2));
    EXPECT_EQ("cmmod:hello", SeenAt(0));
    EXPECT_EQ("cmmod:copy", SeenAt(1));
}

TEST(LogServ, FrozenSequenceReachesTheServiceOnCmmod)
{
    ASSERT_EQ(0, uni_log_init(LOG_LEVEL_DEBUG, 1024, CaptureLog));
    ASSERT_EQ(0, cmmod_init());
    ASSERT_EQ(0, log_serv_init());
    uint16_t id = log_serv_get_msg_id();
    EXPECT_NE(LOG_SERV_NO_MSG_ID, id);
    EXPECT_EQ(0, log_serv_init());
    EXPECT_EQ(id, log_serv_get_msg_id());

    LOG_SEQ_HANDLE seq = nullptr;
    ASSERT_EQ(0, create_log_seq("cloud_storage", log_serv_handle_err_log_seq_cb, &seq));
    LOG_SEQ_ENTRY_S step = log_seq_uint(1, 7);
    ASSERT_EQ(0, insert_log_seq(seq, &step));
    LOG_SEQ_ENTRY_S err = log_seq_int(2, -5);
    ASSERT_EQ(0, insert_error_log_seq(seq, &err));
    ASSERT_TRUE(gEvents.WaitFor("seen"));
    EXPECT_NE(std::string::npos, SeenAt(0).find("online log: cloud_storage 1:7 2:-5")) << SeenAt(0);
    EXPECT_EQ(0, release_log_seq(seq));
}

TEST(LogServ, UploadBufferIsReservedOnce)
{
    EXPECT_EQ(nullptr, httpc_ipc_log_up_buf());
    ASSERT_EQ(0, httpc_ipc_log_up_init());
    char* buf = httpc_ipc_log_up_buf();
    ASSERT_NE(nullptr, buf);
    buf[HTTPC_LOG_UP_BUF_LEN - 1] = 'x';  // the whole block is there (AddressSanitizer checks)
    ASSERT_EQ(0, httpc_ipc_log_up_init());
    EXPECT_EQ(buf, httpc_ipc_log_up_buf());
}
