// Inside the MQTT client: the handle's record and what its two files share. The task and the
// public operations are in mqtt_client.cpp, the receive buffer and the packets that come in
// (framing, PUBACK, PINGRESP, PUBLISH delivery) in mqtt_client_rx.cpp.
#pragma once

#include "noxa_adapter/system/uni_mutex.h"
#include "noxa_adapter/system/uni_thread.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_base/sys_serv/sys_timer.h"
#include "noxa_base/sys_serv/uni_msg_queue.h"
#include "noxa_middleware/mqtt/libemqtt.h"
#include "noxa_middleware/mqtt/mqtt_client.h"
#include "noxa_middleware/tls/noxa_tls.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

// A QoS 1 publish waiting for its PUBACK.
struct MQ_PUB_SLOT_S {
    uint16_t msg_id;
    MQ_PUB_CB cb;
    void* prv_data;
    uint64_t send_ms;  // monotonic
    uint32_t timeout_ms;
};

// Publishes of other threads that come in a burst wait here until the task thread writes them:
// it wakes for the first one and writes all that have come meanwhile in one call, so a burst
// costs a few large sends instead of one per packet. Larger than any burst the cloud link makes
// between two wake-ups.
constexpr uint32_t MQ_TX_QUEUE_LEN = 4096;

// How long the task sleeps before it waits on an empty socket. A thread that waits on the socket
// is woken by each message as it comes, and the broker pays for every such wake-up (on loopback
// the larger part of its cost per message in a stream); what comes during the sleep is read at
// once behind it. The first sleep is shorter than a round trip through a broker on loopback, so
// that a lone message (or a PUBACK with the echo of its publish) is not held back by it. While
// each sleep gathers a stream's packets (MQ_RX_STREAM_PKTS or more) the next one lasts twice as
// long, up to MQ_RX_COALESCE_MAX_US; one that gathers fewer starts over.
constexpr uint32_t MQ_RX_COALESCE_US = 50;
constexpr uint32_t MQ_RX_COALESCE_MAX_US = 200;
constexpr uint32_t MQ_RX_STREAM_PKTS = 3;

// One Malloc block. The task thread alone opens and closes the socket and the TLS session; it
// changes them with both the send and the fd lock held, so a sender (send lock) or a timer that
// shuts the link down (fd lock) never meets a closed or reused descriptor.
struct MQ_CNTL_S {
    mqtt_broker_handle_t broker;  // send hook __mq_send; its texts and next id under the send lock
    NOXA_TLS_HANDLER* tls = nullptr;
    uint8_t enable_tls = 0;
    int sockfd = -1;
    uint32_t serv_ip = 0;
    uint16_t serv_port = 0;
    MQ_RECV_CB recv_cb = nullptr;
    MQ_CALLBACKS_S cbs = {};  // state lock
    THRD_HANDLE thrd = nullptr;
    MUTEX_HANDLE state_mutex = nullptr;
    MUTEX_HANDLE pub_ack_mutex = nullptr;
    TM_MSG_S* alive_tm_msg = nullptr;
    TIMER_ID resp_timer = 0;
    std::atomic<bool> resp_armed{false};  // so that a receive need not ask the timer service
    std::atomic<uint64_t> last_recv_ms{0};  // monotonic
    std::atomic<int> stat{MQ_GET_SERVER_IP};
    std::atomic<int> online{0};
    MUTEX_HANDLE send_mutex = nullptr;
    std::atomic<int> send_open{0};
    char** hosts = nullptr;
    uint8_t host_num = 0;
    uint8_t host_idx = 0;
    uint8_t retry_cnt = 0;
    uint8_t deny_cnt = 0;
    char* subcribe_topic = nullptr;
    std::atomic<char*> extra_topic{nullptr};
    // Further topics the owner subscribed itself (mqtt_subscribe_topic) and takes messages of.
    std::atomic<MQ_TOPIC_ACCEPT_CB> topic_accept_cb{nullptr};
    // One byte more than is ever received: a payload that ends the buffer gets its NUL there.
    uint8_t recv_buf[MQ_RECV_BUF_LEN + 1] = {};
    uint16_t recv_len = 0;
    uint16_t consumed = 0;
    // The task's sleep before its next wait on an empty socket, and the packets handled since the
    // last one (task thread).
    uint32_t rx_sleep_us = MQ_RX_COALESCE_US;
    uint32_t rx_pkts = 0;
    uint32_t ack_timeout_cnt = 0;  // publish-ack lock
    TIMER_ID ack_timer = 0;
    uint8_t in_flight = 0;  // publish-ack lock, one bit per slot
    MQ_PUB_SLOT_S slots[MQ_PUB_SLOT_NUM] = {};
    // Publishes refused since a slot was last free (publish-ack lock): a caller that retries
    // makes thousands of them, logged once a run with their count.
    uint32_t refused_run = 0;
    uint32_t fail_cnt = 0;  // drives the back-off

    // The publish queue: packets in order in tx_fill (send lock); the batch the task is writing
    // in tx_out (wire lock). wake_fd (an eventfd) wakes the task when the queue stops being
    // empty; without it every packet is written by its own caller.
    int wake_fd = -1;
    uint32_t tx_len = 0;
    // A publish that finds the queue empty and the link idle for longer than the last direct
    // write took is written at once by its caller (no wake-up of the task on its way); one that
    // comes sooner is part of a burst and queues. Monotonic ns, send lock.
    uint64_t last_pub_ns = 0;
    uint64_t write_ns = 0;
    uint8_t tx_bufs[2][MQ_TX_QUEUE_LEN] = {};
    uint8_t* tx_fill = tx_bufs[0];
    uint8_t* tx_out = tx_bufs[1];
    // One writer on the socket at a time, taken after the send lock: a batch written with only
    // this lock held cannot be overtaken by a packet written directly.
    std::mutex wire_mutex;

    // Guards sockfd and tls against the shutdown of another thread; held only briefly.
    std::mutex fd_mutex;
    // The task's end and the wake-up of its waits.
    std::mutex life_mutex;
    std::condition_variable life_cv;
    std::atomic<bool> quit{false};
    bool started = false;       // life lock
    bool task_done = false;     // life lock
    bool free_on_exit = false;  // task thread
    char thrd_name[THRD_NAME_LEN + 1] = {};
};

struct FreeDeleter {
    void operator()(uint8_t* p) const { Free(p); }
};

// One received packet: in the receive buffer, or in a block of its own when it is longer.
struct RxPacket {
    uint8_t* data = nullptr;
    uint32_t len = 0;
    std::unique_ptr<uint8_t, FreeDeleter> block;
};

// From mqtt_client.cpp.
// True once a quit or delete asked the task to end.
bool mq_stopping(MQ_CNTL_S* h);
void mq_resp_stop(MQ_CNTL_S* h);
// Task thread: what the socket holds already, taken without waiting: the count, or 0 when there
// was nothing (or no publish queue, or an error the blocking receive will report).
int mq_recv_ready(MQ_CNTL_S* h, uint8_t* buf, uint32_t len);
// Task thread, before a blocking receive, once the socket was found empty: sleeps away from the
// socket (MQ_RX_COALESCE_US, longer in a stream), then waits until it has something to read (or is shut down), writing the
// queued publishes whenever they wake it. 0, or the code of a failed write (the link is then to
// be closed).
int mq_wait_readable(MQ_CNTL_S* h);

// From mqtt_client_rx.cpp (task thread only).
// One receive into the free end of the buffer: the count, or a negative code (also when the
// peer closed).
int mq_recv(MQ_CNTL_S* h);
// The next whole packet, consumed from the buffer. A packet longer than the buffer is read whole
// into a block of its own (with room for a NUL behind it). 1 with a packet; 0 when none is whole
// yet and receiving is not allowed; a negative code on a receive error or a length that is
// malformed or above 16,384.
int mq_next_packet(MQ_CNTL_S* h, RxPacket* pkt, bool mayRecv);
// PUBACK, PINGRESP and PUBLISH are handled; other packets are skipped.
void mq_handle_packet(MQ_CNTL_S* h, RxPacket& pkt);
// Every whole packet already in the buffer, in order: 0 or a negative code.
int mq_dispatch_buffered(MQ_CNTL_S* h);
