#include "noxa_middleware/mqtt/mqtt_client.h"
#include "noxa_middleware/mqtt/mqtt_client_internal.h"

#include "noxa_adapter/network/uni_network.h"
#include "noxa_adapter/system/uni_mutex.h"
#include "noxa_adapter/system/uni_thread.h"
#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_string.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_base/sys_serv/sys_timer.h"
#include "noxa_base/sys_serv/uni_msg_queue.h"
#include "noxa_iot_sdk/com_sdk/com_mmod.h"
#include "noxa_middleware/mqtt/libemqtt.h"
#include "noxa_middleware/tls/noxa_tls.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mbedtls/ssl.h>
#include <memory>
#include <mutex>
#include <new>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr uint32_t kAckTickMs = 500;
constexpr uint32_t kTlsTimeoutS = 10;
constexpr uint32_t kKeepIdleS = 102;
constexpr uint32_t kKeepIntvlS = 5;
constexpr uint32_t kKeepCnt = 1;
constexpr uint32_t kStackPlain = 2560;
constexpr uint32_t kStackTls = 3584;
constexpr uint32_t kTaskPriority = 3;
constexpr uint32_t kBackoffBaseMs = 5000;
constexpr uint32_t kBackoffMinMs = 1000;
constexpr uint32_t kBackoffMaxMs = 300000;
constexpr uint32_t kStepSleepMs = 1000;
// How often a wait on the runtime clock looks at it again (the system timer's own pass).
constexpr uint32_t kWaitSliceMs = 10;
constexpr int kPingSends = 3;
constexpr int kAckTimeoutsToClose = 3;
constexpr uint8_t kConnectRetryWrap = 4;
constexpr uint32_t kDisconnectWaitMs = 500;
// The task's short sleep before it waits on an empty socket must end on time: with the default
// slack (50 us) it lasts up to twice as long, and a lone message coming meanwhile waits for it.
constexpr unsigned long kTimerSlackNs = 1000;

// The handle whose task runs on this thread, and the handle whose send lock this thread holds
// (the codec's builders send through the hook while a caller holds the lock for the next id).
thread_local MQ_CNTL_S* t_task = nullptr;
thread_local MQ_CNTL_S* t_send_held = nullptr;

class SendLock {
public:
    explicit SendLock(MQ_CNTL_S* h) : mH(h), mPrev(t_send_held)
    {
        if (mPrev != mH) {
            MutexLock(mH->send_mutex);
        }
        t_send_held = mH;
    }
    ~SendLock()
    {
        t_send_held = mPrev;
        if (mPrev != mH) {
            MutexUnLock(mH->send_mutex);
        }
    }
    SendLock(const SendLock&) = delete;
    SendLock& operator=(const SendLock&) = delete;

private:
    MQ_CNTL_S* mH;
    MQ_CNTL_S* mPrev;
};

}  // namespace

bool mq_stopping(MQ_CNTL_S* h)
{
    return h->quit.load() || GetThrdSta(h->thrd) != THRD_STA_RUNNING;
}

void mq_resp_stop(MQ_CNTL_S* h)
{
    h->resp_armed.store(false);
    sys_stop_timer(h->resp_timer);
}

namespace {
int __mq_flush(MQ_CNTL_S* h);
}

int mq_recv_ready(MQ_CNTL_S* h, uint8_t* buf, uint32_t len)
{
    if (h->wake_fd < 0) {
        return 0;
    }
    ssize_t n = recv(h->sockfd, buf, len, MSG_DONTWAIT);
    return n > 0 ? static_cast<int>(n) : 0;
}

int mq_wait_readable(MQ_CNTL_S* h)
{
    if (h->wake_fd < 0) {
        return 0;
    }
    // A moment away from the socket first: what the broker sends meanwhile is queued without
    // waking this thread, and is read in one piece. Publishes queued meanwhile end the moment.
    h->rx_sleep_us = h->rx_pkts >= MQ_RX_STREAM_PKTS ? std::min(h->rx_sleep_us * 2, MQ_RX_COALESCE_MAX_US)
                                                     : MQ_RX_COALESCE_US;
    h->rx_pkts = 0;
    pollfd wake = {h->wake_fd, POLLIN, 0};
    const timespec moment = {0, static_cast<long>(h->rx_sleep_us) * 1000};
    if (ppoll(&wake, 1, &moment, nullptr) > 0 && (wake.revents & POLLIN) != 0) {
        uint64_t count = 0;
        (void)!read(h->wake_fd, &count, sizeof(count));
        int ret = __mq_flush(h);
        if (ret < 0) {
            return ret;
        }
    }
    for (;;) {
        pollfd fds[2] = {{h->sockfd, POLLIN, 0}, {h->wake_fd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return 0;  // the receive reports the socket's state
        }
        if ((fds[1].revents & POLLIN) != 0) {
            uint64_t count = 0;
            (void)!read(h->wake_fd, &count, sizeof(count));
            int ret = __mq_flush(h);
            if (ret < 0) {
                return ret;
            }
        }
        if (fds[0].revents != 0) {
            return 0;
        }
    }
}

namespace {

MQ_CALLBACKS_S __cbs(MQ_CNTL_S* h)
{
    UniMutexGuard lock(h->state_mutex);
    return h->cbs;
}

void __set_online(MQ_CNTL_S* h, int on)
{
    UniMutexGuard lock(h->state_mutex);
    h->online.store(on);
}

uint64_t __deadline(uint64_t ms)
{
    return uni_get_tick_ms() + ms;
}

// Waits until `end` on the runtime clock; a stop request ends the wait at once. Waits take their
// deadline before they log, so whoever reads the line and moves a test clock moves it past them.
void __mq_sleep_until(MQ_CNTL_S* h, uint64_t end)
{
    std::unique_lock<std::mutex> lock(h->life_mutex);
    while (!mq_stopping(h)) {
        uint64_t now = uni_get_tick_ms();
        if (now >= end) {
            break;
        }
        h->life_cv.wait_for(lock, std::chrono::milliseconds(std::min<uint64_t>(end - now, kWaitSliceMs)));
    }
}

void __resp_start(MQ_CNTL_S* h)
{
    h->resp_armed.store(true);
    sys_start_timer(h->resp_timer, MQ_RESP_TIMEOUT_MS, TIMER_ONCE);
}

void __wake(MQ_CNTL_S* h)
{
    std::lock_guard<std::mutex> lock(h->life_mutex);
    h->life_cv.notify_all();
}

// One packet or batch on the wire; the caller holds the wire lock.
int __mq_wire_write(MQ_CNTL_S* h, const uint8_t* buf, uint32_t count)
{
    if (h->enable_tls != 0) {
        return noxa_tls_write(h->tls, buf, count);
    }
    uint32_t sent = 0;
    while (sent < count) {
        int ret = unw_send(h->sockfd, buf + sent, count - sent);
        if (ret < 0) {
            int err = unw_get_errno();
            if (err == UNW_EINTR) {
                continue;
            }
            PR_ERR("unw_send err:%d errno:%d", ret, err);
            return ret;
        }
        sent += static_cast<uint32_t>(ret);
    }
    return static_cast<int>(sent);
}

uint64_t __mono_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// The codec's send hook. A PUBLISH of another thread in a burst joins the queue (the task writes
// it); everything else, a lone publish and one that finds the queue full, is written at once by
// its caller, behind the packets already queued.
int __mq_send(void* socket_info, const void* buf, unsigned int count)
{
    auto* h = static_cast<MQ_CNTL_S*>(socket_info);
    const auto* p = static_cast<const uint8_t*>(buf);
    SendLock lock(h);
    if (h->send_open.load() == 0) {
        PR_ERR("mqtt is close. should not be here....");
        return -1;
    }
    bool publish = h->wake_fd >= 0 && t_task != h && count != 0 && MQTTParseMessageType(p) == MQTT_MSG_PUBLISH;
    uint64_t now = publish ? __mono_ns() : 0;
    bool lone = publish && h->tx_len == 0 && now - h->last_pub_ns > h->write_ns;
    if (publish && !lone && count <= MQ_TX_QUEUE_LEN - h->tx_len) {
        h->last_pub_ns = now;
        bool wake = h->tx_len == 0;
        memcpy(h->tx_fill + h->tx_len, p, count);
        h->tx_len += count;
        if (wake) {
            uint64_t one = 1;
            (void)!write(h->wake_fd, &one, sizeof(one));
        }
        return static_cast<int>(count);
    }
    std::lock_guard<std::mutex> wire(h->wire_mutex);
    if (h->tx_len != 0) {
        uint32_t n = h->tx_len;
        h->tx_len = 0;
        int ret = __mq_wire_write(h, h->tx_fill, n);
        if (ret < 0 || static_cast<uint32_t>(ret) != n) {
            return ret < 0 ? ret : UNI_COM_ERROR;
        }
    }
    int ret = __mq_wire_write(h, p, count);
    if (publish) {
        h->last_pub_ns = __mono_ns();
        h->write_ns = h->last_pub_ns - now;
    }
    return ret;
}

// Task thread: writes the queued publishes as one batch. Publishers go on filling the other
// buffer meanwhile; the wire lock, taken before the send lock is let go, keeps a packet written
// directly behind this batch.
int __mq_flush(MQ_CNTL_S* h)
{
    MutexLock(h->send_mutex);
    uint32_t n = h->tx_len;
    if (n == 0 || h->send_open.load() == 0) {
        MutexUnLock(h->send_mutex);
        return 0;
    }
    std::unique_lock<std::mutex> wire(h->wire_mutex);
    std::swap(h->tx_fill, h->tx_out);
    h->tx_len = 0;
    MutexUnLock(h->send_mutex);
    int ret = __mq_wire_write(h, h->tx_out, n);
    if (ret < 0 || static_cast<uint32_t>(ret) != n) {
        PR_ERR("mqtt queued publish write err:%d len:%u", ret, n);
        return ret < 0 ? ret : UNI_COM_ERROR;
    }
    return 0;
}

// The TLS session's transport after the handshake.
int __mq_tls_send(void* ctx, const unsigned char* buf, size_t len)
{
    auto* h = static_cast<MQ_CNTL_S*>(ctx);
    int ret = unw_send(h->sockfd, buf, static_cast<uint32_t>(len));
    return ret < 0 && unw_get_errno() == UNW_EINTR ? MBEDTLS_ERR_SSL_WANT_WRITE : ret;
}

int __mq_tls_recv(void* ctx, unsigned char* buf, size_t len)
{
    auto* h = static_cast<MQ_CNTL_S*>(ctx);
    int ret = mq_recv_ready(h, buf, static_cast<uint32_t>(len));
    if (ret > 0) {
        return ret;
    }
    ret = mq_wait_readable(h);
    if (ret < 0) {
        return ret;
    }
    ret = unw_recv(h->sockfd, buf, static_cast<uint32_t>(len));
    return ret < 0 && unw_get_errno() == UNW_EINTR ? MBEDTLS_ERR_SSL_WANT_READ : ret;
}

// From the timer threads, quit and delete: the link is shut down and no more is sent; the task,
// whose receive then fails, closes the descriptor and frees the session itself.
void __mq_close_req(MQ_CNTL_S* h)
{
    PR_DEBUG("close mqtt");
    h->send_open.store(0);
    std::lock_guard<std::mutex> lock(h->fd_mutex);
    if (h->sockfd >= 0) {
        PR_DEBUG("shutdown fd is enabled");
        shutdown(h->sockfd, SHUT_RDWR);
    }
}

// Task thread: takes the socket and the session out of the handle and closes them. A sender
// blocked on a full socket holds the send lock, so the socket is shut down first to free it.
// True when there was a socket.
bool __mq_drop_socket(MQ_CNTL_S* h)
{
    {
        std::lock_guard<std::mutex> lock(h->fd_mutex);
        if (h->sockfd >= 0) {
            shutdown(h->sockfd, SHUT_RDWR);
        }
    }
    int fd = -1;
    NOXA_TLS_HANDLER* tls = nullptr;
    {
        SendLock send(h);
        h->send_open.store(0);
        h->tx_len = 0;  // publishes of this link do not go out on the next one
        std::lock_guard<std::mutex> lock(h->fd_mutex);
        fd = h->sockfd;
        tls = h->tls;
        h->sockfd = -1;
        h->tls = nullptr;
    }
    if (fd >= 0) {
        PR_DEBUG("shutdown fd is enabled");
        close(fd);
    }
    if (tls != nullptr) {
        noxa_tls_disconnect(tls);
    }
    return fd >= 0;
}

// Task thread. True when the socket was open (the next connect may reuse the address).
bool __mq_close(MQ_CNTL_S* h)
{
    PR_DEBUG("close mqtt");
    bool wasOpen = __mq_drop_socket(h);
    h->recv_len = 0;
    h->consumed = 0;
    cmmod_stop_tm_msg(h->alive_tm_msg);
    // A response timer of this link must not close the next one.
    mq_resp_stop(h);
    UniMutexGuard lock(h->state_mutex);
    if (h->online.exchange(0) != 0 && h->cbs.disconn_cb != nullptr) {
        h->cbs.disconn_cb();
    }
    return wasOpen;
}

// Every QoS 1 publish still waiting gets -926.
void __mq_reset_slots(MQ_CNTL_S* h)
{
    UniMutexGuard lock(h->pub_ack_mutex);
    for (int i = 0; i < MQ_PUB_SLOT_NUM; ++i) {
        if ((h->in_flight & (1u << i)) != 0) {
            PR_DEBUG("reset use table:%d", i);
            MQ_PUB_SLOT_S slot = h->slots[i];
            h->slots[i] = MQ_PUB_SLOT_S{};
            if (slot.cb != nullptr) {
                slot.cb(MQ_PUB_TIMEOUT_ERR, slot.prv_data);
            }
        }
    }
    h->in_flight = 0;
}

void __mq_backoff(MQ_CNTL_S* h)
{
    ++h->fail_cnt;
    uint64_t range = static_cast<uint64_t>(h->fail_cnt) * 1000 + kBackoffBaseMs;
    uint64_t ms = std::min<uint64_t>(static_cast<uint64_t>(rand()) % range + kBackoffMinMs, kBackoffMaxMs);
    uint64_t end = __deadline(ms);
    PR_NOTICE("mqtt fail_cnt:%u and sleeptime:%d ms", h->fail_cnt, static_cast<int>(ms));
    __mq_sleep_until(h, end);
}

int __mq_permit(MQ_CNTL_S* h)
{
    MQ_PERMIT_CONN_CB permit = __cbs(h).permit_conn_cb;
    return permit != nullptr ? permit() : 1;
}

// State 0.
int __mq_resolve(MQ_CNTL_S* h)
{
    for (uint8_t i = h->host_idx; i < h->host_num && !mq_stopping(h); ++i) {
        uint32_t ip = 0;
        int ret = unw_gethostbyname(h->hosts[i], &ip, nullptr);
        if (ret == 0) {
            h->host_idx = i;
            h->serv_ip = ip;
            PR_NOTICE("select mqtt host:%s", h->hosts[i]);
            PR_DEBUG("mqtt get serve ip success");
            h->stat.store(MQ_SOCK_CONN);
            return 0;
        }
        uint64_t end = __deadline(kStepSleepMs);
        PR_ERR("resolve mqtt host Fail:%s erro:%d", h->hosts[i], ret);
        __mq_sleep_until(h, end);
    }
    h->host_idx = 0;
    return 0;
}

// Socket options and connect on a socket the handle already holds; 0 or the step's code.
int __mq_sock_setup(MQ_CNTL_S* h, int fd)
{
    if (unw_set_reuse(fd) != 0) {
        PR_ERR("unw_set_reuse failed, errno:%d", unw_get_errno());
        return MQ_SOCK_OPT_ERR;
    }
    if (unw_disable_nagle(fd) != 0) {
        PR_ERR("unw_disable_nagle failed, errno:%d", unw_get_errno());
        return MQ_SOCK_OPT_ERR;
    }
    if (unw_set_keepalive(fd, 1, kKeepIdleS, kKeepIntvlS, kKeepCnt) != 0) {
        PR_ERR("fail to setsockopt keepalive, errno:%d", unw_get_errno());
        return MQ_SOCK_OPT_ERR;
    }
    PR_DEBUG("serverIP %d port:%d", static_cast<int>(h->serv_ip), h->serv_port);
    if (unw_connect(fd, h->serv_ip, h->serv_port) != 0) {
        return MQ_SOCK_CONN_ERR;
    }
    if (h->enable_tls == 0) {
        return 0;
    }
    const char* host = h->hosts[h->host_idx];
    PR_DEBUG("mqtt over TLS is enabled. Host:%s Port:%d", host, h->serv_port);
    NOXA_TLS_HANDLER* tls = nullptr;
    int ret = noxa_tls_connect(&tls, host, h->serv_port, 1, h, __mq_tls_send, __mq_tls_recv, fd, kTlsTimeoutS);
    {
        std::lock_guard<std::mutex> lock(h->fd_mutex);
        h->tls = tls;  // a failed handshake's session is freed with the socket
    }
    if (ret != 0) {
        PR_ERR("noxa_tls_connect error:%d", ret);
    }
    return ret;
}

// State 1.
int __mq_sock_connect(MQ_CNTL_S* h)
{
    __mq_reset_slots(h);
    __set_online(h, 0);
    int op_ret = 0;
    int fd = unw_socket_create(PROTOCOL_TCP);
    if (fd < 0) {
        PR_ERR("unw_socket_create failed, errno:%d", unw_get_errno());
        op_ret = MQ_SOCK_CREATE_ERR;
    } else {
        unw_set_cloexec(fd);
        // Published before connecting, so that a quit can shut a slow connect or handshake down.
        std::lock_guard<std::mutex> lock(h->fd_mutex);
        h->sockfd = fd;
        if (h->quit.load()) {
            op_ret = UNI_COM_ERROR;
        }
    }
    if (op_ret == 0) {
        op_ret = __mq_sock_setup(h, fd);
    }
    if (op_ret == 0) {
        h->send_open.store(1);
        h->retry_cnt = 0;
        PR_DEBUG("mqtt socket create success. begin to connect");
        h->stat.store(MQ_MQTT_CONN);
        return 0;
    }
    int err = unw_get_errno();
    __mq_drop_socket(h);
    uint64_t end = __deadline(kStepSleepMs);
    PR_ERR("mqtt socket connect fail. retry_cnt:%d op_ret:%d errno:%d", h->retry_cnt, op_ret, err);
    __mq_sleep_until(h, end);
    if (++h->retry_cnt >= kConnectRetryWrap || err == UNW_ETIMEDOUT) {
        h->retry_cnt = 0;
    }
    return op_ret;
}

// State 2.
int __mq_send_connect(MQ_CNTL_S* h)
{
    __resp_start(h);
    MQ_UPDATE_AUTH_CB update = __cbs(h).update_auth_cb;
    if (update != nullptr) {
        update();
    }
    int ret = 0;
    {
        SendLock lock(h);
        ret = mqtt_connect(&h->broker);
    }
    if (ret != 1) {
        PR_ERR("mqtt_connect err:%d", ret);
        return ret;
    }
    h->stat.store(MQ_MQTT_CONN_VERIFY);
    return 0;
}

// State 3.
int __mq_connack(MQ_CNTL_S* h)
{
    RxPacket pkt;
    int ret = mq_next_packet(h, &pkt, true);
    if (ret > 0) {
        uint8_t type = MQTTParseMessageType(pkt.data);
        if (type != MQTT_MSG_CONNACK || pkt.len < 4) {
            PR_ERR("msg_ack_type:%d.recv:%d", MQTT_MSG_CONNACK, type);
            ret = UNI_COM_ERROR;
        } else if (pkt.data[3] != 0) {
            PR_ERR("mqtt connect respond err data:%d", pkt.data[3]);
            MQ_CONN_DENY_CB deny = __cbs(h).conn_deny_cb;
            if (deny != nullptr) {
                deny(++h->deny_cnt);
            }
            ret = UNI_COM_ERROR;
        }
    }
    if (ret < 0) {
        PR_ERR("__mq_logic_conn_proc err:%d", ret);
        return ret;
    }
    h->deny_cnt = 0;
    mq_resp_stop(h);
    h->stat.store(MQ_SUB);
    return 0;
}

// State 4. The response timer keeps running until the SUBACK: a broker that never answers the
// SUBSCRIBE must not hold the task forever.
int __mq_subscribe(MQ_CNTL_S* h)
{
    __resp_start(h);
    PR_DEBUG("mqtt socket connect success. begin to subscribe \n");
    const char* topics[2] = {h->subcribe_topic, h->extra_topic.load()};
    int ret = 0;
    {
        SendLock lock(h);
        ret = mqtt_multi_topics_subscribe(&h->broker, topics[1] != nullptr ? 2 : 1, topics, nullptr);
    }
    if (ret != 1) {
        PR_ERR("ret:%d.", ret);
        mq_resp_stop(h);
        return ret < 0 ? ret : UNI_COM_ERROR;
    }
    h->stat.store(MQ_SUB_VERIFY);
    return 0;
}

// State 6. PUBACKs and PUBLISHes may come before the SUBACK (publishes made while subscribing):
// they are handled as online.
int __mq_suback(MQ_CNTL_S* h)
{
    for (;;) {
        RxPacket pkt;
        int ret = mq_next_packet(h, &pkt, true);
        if (ret < 0) {
            PR_ERR("__mq_logic_conn_proc err:%d", ret);
            return ret;
        }
        uint8_t type = MQTTParseMessageType(pkt.data);
        if (type == MQTT_MSG_SUBACK) {
            break;
        }
        if (type != MQTT_MSG_PUBACK && type != MQTT_MSG_PUBLISH) {
            PR_ERR("msg_ack_type:%d.recv:%d", MQTT_MSG_SUBACK, type);
            PR_ERR("__mq_logic_conn_proc err:%d", UNI_COM_ERROR);
            return UNI_COM_ERROR;
        }
        mq_handle_packet(h, pkt);
    }
    mq_resp_stop(h);
    h->stat.store(MQ_CONN_SUCCESS);
    int ret = cmmod_start_tm_msg(h->alive_tm_msg, h->broker.alive * 1000u, TIMER_ONCE);
    if (ret != 0) {
        PR_ERR("module_start_tm_msg err op_ret:%d", ret);
        return ret;
    }
    PR_NOTICE("mqtt subscribe success");
    if (IsThisSysTimerRun(h->ack_timer) == 0) {
        sys_start_timer(h->ack_timer, kAckTickMs, TIMER_CYCLE);
    }
    __set_online(h, 1);
    MQ_CONNED_CB conn = __cbs(h).conn_cb;
    if (conn != nullptr) {
        conn();
    }
    // Packets behind the SUBACK (retained messages) are not left waiting for the next receive.
    ret = mq_dispatch_buffered(h);
    if (ret < 0) {
        PR_ERR("__mq_conn_recv err:%d", ret);
    }
    return ret;
}

// State 7.
int __mq_online_recv(MQ_CNTL_S* h)
{
    int ret = mq_recv(h);
    if (ret < 0) {
        PR_ERR("__mq_recv err op_ret:%d recv_len:%d", ret, h->recv_len);
        return ret;
    }
    if (h->resp_armed.exchange(false)) {
        sys_stop_timer(h->resp_timer);
    }
    ret = mq_dispatch_buffered(h);
    if (ret < 0) {
        PR_ERR("__mq_conn_recv err:%d", ret);
    }
    return ret;
}

// Any failure: close, then back off. The next connect reuses the address when the socket was
// open, else it resolves again.
void __mq_fail(MQ_CNTL_S* h)
{
    unw_clear_all_dns_cache();
    PR_ERR("MQ_EXIT_ERR : mqtt close");
    bool wasOpen = __mq_close(h);
    if (h->quit.load()) {
        h->stat.store(MQ_EXIT);
        return;
    }
    h->stat.store(wasOpen ? MQ_SOCK_CONN : MQ_GET_SERVER_IP);
    __mq_backoff(h);
}

// The task's steps by state; after a receiving step the permit callback is not asked.
struct MqStep {
    int state;
    int (*fn)(MQ_CNTL_S* h);
    bool receives;
};

constexpr MqStep kSteps[] = {
    {MQ_GET_SERVER_IP, __mq_resolve, false},   {MQ_SOCK_CONN, __mq_sock_connect, false},
    {MQ_MQTT_CONN, __mq_send_connect, false},   {MQ_MQTT_CONN_VERIFY, __mq_connack, true},
    {MQ_SUB, __mq_subscribe, false},            {MQ_SUB_VERIFY, __mq_suback, true},
    {MQ_CONN_SUCCESS, __mq_online_recv, true},
};

const MqStep* __find_step(int state)
{
    for (const MqStep& s : kSteps) {
        if (s.state == state) {
            return &s;
        }
    }
    return nullptr;
}

void __mq_release(MQ_CNTL_S* h);

void __mq_ctrl_task(void* arg)
{
    auto* h = static_cast<MQ_CNTL_S*>(arg);
    t_task = h;
    prctl(PR_SET_TIMERSLACK, kTimerSlackNs);
    PR_DEBUG("%s start", h->thrd_name);
    bool askPermit = true;
    while (GetThrdSta(h->thrd) == THRD_STA_RUNNING) {
        if (h->quit.load()) {
            h->stat.store(MQ_EXIT);
        }
        int st = h->stat.load();
        if (st == MQ_EXIT) {
            PR_NOTICE("mqtt quit begin....");
            break;
        }
        if (st == MQ_EXIT_FINISH) {
            PR_ERR("SHOULD NOT ENTER HERE ..");
            h->stat.store(MQ_EXIT);
            continue;
        }
        if (askPermit) {
            int permit = __mq_permit(h);
            if (permit == 0) {
                PR_NOTICE("mqtt task is not permit to execute. random sleep..");
                if (!h->quit.load()) {
                    __mq_backoff(h);
                }
                continue;
            }
            if (permit == -1) {
                uint64_t end = __deadline(kStepSleepMs);
                PR_NOTICE("mqtt task is not permit to execute. short sleep..");
                __mq_sleep_until(h, end);
                continue;
            }
        }
        const MqStep* step = __find_step(st);
        if (step == nullptr) {
            h->stat.store(MQ_GET_SERVER_IP);
            continue;
        }
        int ret = step->fn(h);
        askPermit = !step->receives;
        if (ret != 0) {
            __mq_fail(h);
            askPermit = true;  // the next connect is a new start
        }
    }
    __mq_close(h);
    h->stat.store(MQ_EXIT_FINISH);
    PR_NOTICE("quit mqtt while loop.");
    t_task = nullptr;
    if (h->free_on_exit) {
        __mq_release(h);
        return;
    }
    std::lock_guard<std::mutex> lock(h->life_mutex);
    h->task_done = true;
    h->life_cv.notify_all();
}

// Stop request for the task: no more sends, the link shut down, waits cut short.
void __mq_stop_task(MQ_CNTL_S* h)
{
    h->quit.store(true);
    __mq_close_req(h);
    __wake(h);
}

void __mq_wait_task(MQ_CNTL_S* h)
{
    std::unique_lock<std::mutex> lock(h->life_mutex);
    if (h->started) {
        h->life_cv.wait(lock, [h] { return h->task_done; });
    }
}

// The keepalive timer message, on "cmmod".
void __alive_tm_msg_cb(TM_MSG_S* tmMsg)
{
    auto* h = static_cast<MQ_CNTL_S*>(tmMsg->data);
    PR_DEBUG("mqtt_ping -->>");
    if (h->send_open.load() != 0) {
        __resp_start(h);
        for (int i = 0; i < kPingSends; ++i) {
            if (mqtt_ping(&h->broker) == 1) {
                break;
            }
            int err = unw_get_errno();
            PR_ERR("mqtt_ping error,errno:%d", err);
            if (err != UNW_ENOMEM) {
                break;
            }
        }
    }
    PR_DEBUG("mqtt_ping <<--");
}

// On "sys_timer": no answer to CONNECT, SUBSCRIBE or PINGREQ in time.
void __resp_tm_cb(TIMER_ID timerID, void* arg)
{
    (void)timerID;
    auto* h = static_cast<MQ_CNTL_S*>(arg);
    PR_ERR("respond timeout -->>");
    __mq_close_req(h);
    PR_ERR("respond timeout <<--");
}

// On "sys_timer" every 500 ms: at most one QoS 1 publish times out per tick.
void __pub_ack_timeout_proc(TIMER_ID timerID, void* arg)
{
    (void)timerID;
    auto* h = static_cast<MQ_CNTL_S*>(arg);
    bool closeLink = false;
    {
        UniMutexGuard lock(h->pub_ack_mutex);
        uint64_t now = uni_get_tick_ms();
        for (int i = 0; i < MQ_PUB_SLOT_NUM; ++i) {
            MQ_PUB_SLOT_S& s = h->slots[i];
            if ((h->in_flight & (1u << i)) == 0 || now - s.send_ms < s.timeout_ms) {
                continue;
            }
            ++h->ack_timeout_cnt;
            PR_ERR("qos1 package timeout. cnt:%d", h->ack_timeout_cnt);
            MQ_PUB_SLOT_S slot = s;
            s = MQ_PUB_SLOT_S{};
            h->in_flight = static_cast<uint8_t>(h->in_flight & ~(1u << i));
            slot.cb(MQ_PUB_TIMEOUT_ERR, slot.prv_data);
            if (h->ack_timeout_cnt >= kAckTimeoutsToClose) {
                h->ack_timeout_cnt = 0;
                closeLink = true;
            }
            break;
        }
    }
    if (closeLink) {
        __mq_close_req(h);
    }
}

void __mq_release(MQ_CNTL_S* h)
{
    if (h->pub_ack_mutex != nullptr) {
        // Their arguments are theirs to free.
        __mq_reset_slots(h);
    }
    // Timer callbacks may still run until their timers are gone; the handle outlives them.
    if (h->alive_tm_msg != nullptr) {
        cmmod_release_tm_msg(h->alive_tm_msg);
    }
    if (h->resp_timer != 0) {
        sys_delete_timer(h->resp_timer);
    }
    if (h->ack_timer != 0) {
        sys_delete_timer(h->ack_timer);
    }
    if (h->started) {
        DeleteThrdHandle(h->thrd);
    }
    for (MUTEX_HANDLE m : {h->state_mutex, h->pub_ack_mutex, h->send_mutex}) {
        if (m != nullptr) {
            ReleaseMutex(m);
        }
    }
    if (h->wake_fd >= 0) {
        close(h->wake_fd);
    }
    if (h->hosts != nullptr) {
        for (uint8_t i = 0; i < h->host_num; ++i) {
            Free(h->hosts[i]);
        }
        Free(h->hosts);
    }
    Free(h->subcribe_topic);
    Free(h->extra_topic.load());
    h->~MQ_CNTL_S();
    Free(h);
}

// The handle's copies and locks; 0 or the failing step's code.
int __mq_setup(MQ_CNTL_S* h, const char* const* hosts, uint8_t host_num, const MQ_CLIENT_INFO_S* info)
{
    h->hosts = static_cast<char**>(Malloc(sizeof(char*) * host_num));
    if (h->hosts == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    for (uint8_t i = 0; i < host_num; ++i) {
        h->hosts[i] = uni_strdup(hosts[i]);
        if (h->hosts[i] == nullptr) {
            h->host_num = i;
            return UNI_MALLOC_FAILED;
        }
    }
    h->host_num = host_num;
    h->subcribe_topic = uni_strdup(info->subcribe_topic);
    if (h->subcribe_topic == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    for (MUTEX_HANDLE* m : {&h->state_mutex, &h->pub_ack_mutex, &h->send_mutex}) {
        int ret = CreateMutexAndInit(m);
        if (ret != UNI_OK) {
            return ret;
        }
    }
    h->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (h->wake_fd < 0) {
        PR_ERR("mqtt publish queue off, eventfd errno:%d", errno);  // each caller writes its own
    }
    int ret = cmmod_cr_tm_msg_hand(__alive_tm_msg_cb, h, &h->alive_tm_msg);
    if (ret != UNI_OK) {
        return ret;
    }
    ret = sys_add_timer(__resp_tm_cb, h, &h->resp_timer);
    if (ret != UNI_OK) {
        return ret;
    }
    return sys_add_timer(__pub_ack_timeout_proc, h, &h->ack_timer);
}

}  // namespace

int create_mqtt_hand(const char* const* hosts, uint8_t host_num, uint16_t port, uint8_t enable_tls,
                     const MQ_CLIENT_INFO_S* info, uint16_t keepalive, MQ_RECV_CB recv_cb, MQ_HANDLE* handle)
{
    bool bad = hosts == nullptr || host_num == 0 || info == nullptr || info->subcribe_topic == nullptr ||
               info->client_id == nullptr || info->user_name == nullptr || recv_cb == nullptr || handle == nullptr;
    for (uint8_t i = 0; !bad && i < host_num; ++i) {
        bad = hosts[i] == nullptr;
    }
    if (bad) {
        PR_ERR("Input in invalid");
        return UNI_INVALID_PARM;
    }
    PR_DEBUG("subcribe_topic:%s", info->subcribe_topic);
    PR_DEBUG("client_id:%s", info->client_id);
    PR_DEBUG("user_name:%s", info->user_name);
    // A password never reaches the log: its length says whether one was given.
    PR_DEBUG("passwd:%s (%zu characters)", info->passwd != nullptr && info->passwd[0] != '\0' ? "***" : "",
             info->passwd != nullptr ? strlen(info->passwd) : 0);
    void* block = Malloc(sizeof(MQ_CNTL_S));
    if (block == nullptr) {
        PR_ERR("malloc fail");
        return UNI_MALLOC_FAILED;
    }
    auto* h = new (block) MQ_CNTL_S();
    h->enable_tls = enable_tls != 0 ? 1 : 0;
    h->serv_port = port;
    h->recv_cb = recv_cb;
    int ret = __mq_setup(h, hosts, host_num, info);
    if (ret != UNI_OK) {
        if (ret == UNI_MALLOC_FAILED) {
            PR_ERR("malloc fail");
        }
        __mq_release(h);
        return ret;
    }
    mqtt_init(&h->broker, info->client_id);
    h->broker.socket_info = h;
    h->broker.send = __mq_send;
    mqtt_init_auth(&h->broker, info->user_name, info->passwd);
    mqtt_set_alive(&h->broker, keepalive != 0 ? keepalive : MQ_DEF_KEEPALIVE_S);
    *handle = h;
    return UNI_OK;
}

int mqtt_register_cb(MQ_HANDLE handle, MQ_CONNED_CB conn_cb, MQ_DISCONN_CB disconn_cb,
                     MQ_CONN_DENY_CB conn_deny_cb, MQ_PERMIT_CONN_CB permit_conn_cb,
                     MQ_UPDATE_AUTH_CB update_auth_cb)
{
    if (handle == nullptr) {
        return UNI_INVALID_PARM;
    }
    UniMutexGuard lock(handle->state_mutex);
    handle->cbs = MQ_CALLBACKS_S{conn_cb, disconn_cb, conn_deny_cb, permit_conn_cb, update_auth_cb};
    return UNI_OK;
}

int mqtt_update_auth(MQ_HANDLE handle, const char* user_name, const char* passwd)
{
    if (handle == nullptr) {
        return UNI_INVALID_PARM;
    }
    SendLock lock(handle);
    mqtt_init_auth(&handle->broker, user_name, passwd);
    return UNI_OK;
}

int mqtt_client_start(MQ_HANDLE handle, const char* thrd_name)
{
    if (handle == nullptr) {
        return UNI_INVALID_PARM;
    }
    {
        std::lock_guard<std::mutex> lock(handle->life_mutex);
        if (handle->started) {
            return UNI_COM_ERROR;
        }
        handle->started = true;
    }
    if (thrd_name != nullptr) {
        strncpy(handle->thrd_name, thrd_name, THRD_NAME_LEN);
    }
    const THRD_PARAM_S param = {handle->enable_tls != 0 ? kStackTls : kStackPlain, kTaskPriority, thrd_name};
    int ret = CreateAndStart(&handle->thrd, nullptr, nullptr, __mq_ctrl_task, handle, &param);
    if (ret != UNI_OK) {
        PR_ERR("create mqtt task fails %d", ret);
        std::lock_guard<std::mutex> lock(handle->life_mutex);
        handle->started = false;
    }
    return ret;
}

int mqtt_get_conn_stat(MQ_HANDLE handle)
{
    if (handle == nullptr) {
        return 0;
    }
    UniMutexGuard lock(handle->state_mutex);
    return handle->online.load();
}

int mqtt_publish_async(MQ_HANDLE handle, const char* topic, uint8_t qos, const uint8_t* data, uint32_t len,
                       uint32_t to_lmt, MQ_PUB_CB cb, void* prv_data)
{
    if (handle == nullptr || topic == nullptr || data == nullptr || len == 0 || qos > 1) {
        return UNI_INVALID_PARM;
    }
    if (qos == 0) {
        int ret = mqtt_pub_msg_with_qos(&handle->broker, topic, data, len, 0, 0, 0);
        if (ret != 1) {
            PR_ERR("mqtt_pub_msg_with_qos ret:%d", ret);
            return UNI_COM_ERROR;
        }
        return UNI_OK;
    }
    uint16_t id = 0;
    {
        SendLock lock(handle);
        mqtt_next_msg_id(&handle->broker, 1, &id);
    }
    // The slot is taken before the packet goes out: on loopback the PUBACK can come back before
    // the send call has returned.
    int slot = -1;
    if (cb != nullptr) {
        UniMutexGuard lock(handle->pub_ack_mutex);
        for (int i = 0; i < MQ_PUB_SLOT_NUM && slot < 0; ++i) {
            if ((handle->in_flight & (1u << i)) == 0) {
                slot = i;
            }
        }
        if (slot < 0) {
            if (handle->refused_run++ == 0) {
                PR_ERR("can't find  free mqmde");
            }
            return UNI_COM_ERROR;
        }
        if (handle->refused_run > 1) {
            PR_ERR("%u publishes refused, all %d in-flight slots taken", handle->refused_run, MQ_PUB_SLOT_NUM);
        }
        handle->refused_run = 0;
        uint32_t timeoutS = to_lmt != 0 ? to_lmt : MQ_DEF_PUB_TIMEOUT_S;
        handle->slots[slot] = MQ_PUB_SLOT_S{id, cb, prv_data, uni_get_tick_ms(), timeoutS * 1000u};
        handle->in_flight = static_cast<uint8_t>(handle->in_flight | (1u << slot));
    }
    int ret = mqtt_pub_msg_with_qos(&handle->broker, topic, data, len, 0, 1, id);
    if (ret != 1) {
        PR_ERR("mqtt_pub_msg_with_qos ret:%d errno:%d", ret, unw_get_errno());
        if (slot >= 0) {
            UniMutexGuard lock(handle->pub_ack_mutex);
            MQ_PUB_SLOT_S& s = handle->slots[slot];
            // Unless a link reset has completed it meanwhile.
            if ((handle->in_flight & (1u << slot)) != 0 && s.msg_id == id && s.cb == cb) {
                s = MQ_PUB_SLOT_S{};
                handle->in_flight = static_cast<uint8_t>(handle->in_flight & ~(1u << slot));
            }
        }
        return ret;
    }
    return UNI_OK;
}

int mq_disconnect(MQ_HANDLE handle)
{
    if (handle == nullptr) {
        return UNI_INVALID_PARM;
    }
    PR_NOTICE("disconnect mqtt");
    if (handle->send_open.load() != 0 && mqtt_disconnect(&handle->broker) != 1) {
        PR_ERR("mqtt_disconnect error");
        return UNI_COM_ERROR;
    }
    __set_online(handle, 0);
    uni_sleep_ms(kDisconnectWaitMs);
    return UNI_OK;
}

int mqtt_client_quit(MQ_HANDLE handle)
{
    if (handle == nullptr) {
        return UNI_INVALID_PARM;
    }
    handle->stat.store(MQ_EXIT);
    PR_NOTICE("mqtt_client_quit quit : mqtt close");
    __mq_stop_task(handle);
    if (t_task != handle) {
        __mq_wait_task(handle);
    }
    PR_NOTICE("mqtt real status:%d", handle->stat.load());
    return UNI_OK;
}

int mqtt_get_socket_fd(MQ_HANDLE handle)
{
    if (handle == nullptr) {
        PR_ERR("NULL input");
        return -1;
    }
    std::lock_guard<std::mutex> lock(handle->fd_mutex);
    return handle->sockfd;
}

int mqtt_book_wakeup_topic(MQ_HANDLE handle, const char* topic)
{
    if (handle == nullptr || topic == nullptr) {
        PR_ERR("NULL input");
        return UNI_INVALID_PARM;
    }
    SendLock lock(handle);
    PR_DEBUG("unscribe:%s", handle->subcribe_topic);
    int ret = mqtt_unsubscribe(&handle->broker, handle->subcribe_topic, nullptr);
    if (ret != 1) {
        PR_ERR("unsubscribe %s err %d ", handle->subcribe_topic, ret);
    }
    ret = mqtt_subscribe(&handle->broker, topic, nullptr);
    PR_DEBUG("subscribe %s return %d ", topic, ret);
    return ret == 1 ? UNI_OK : UNI_COM_ERROR;
}

namespace {

// Takes the extra-topic slot with a copy of the topic; false when it is taken.
bool __mq_store_extra(MQ_HANDLE handle, const char* topic)
{
    char* copy = uni_strdup(topic);
    char* empty = nullptr;
    if (copy == nullptr || !handle->extra_topic.compare_exchange_strong(empty, copy)) {
        Free(copy);
        return false;
    }
    return true;
}

}  // namespace

int mqtt_book_additional_topic(MQ_HANDLE handle, const char* topic)
{
    if (handle == nullptr || topic == nullptr) {
        PR_ERR("NULL input");
        return UNI_COM_ERROR;
    }
    if (!__mq_store_extra(handle, topic)) {
        return UNI_COM_ERROR;
    }
    SendLock lock(handle);
    int ret = mqtt_subscribe(&handle->broker, topic, nullptr);
    PR_DEBUG("subscribe new topic %s return %d ", topic, ret);
    return ret == 1 ? UNI_OK : UNI_COM_ERROR;
}

int mqtt_set_topic_accept_cb(MQ_HANDLE handle, MQ_TOPIC_ACCEPT_CB cb)
{
    if (handle == nullptr) {
        return UNI_INVALID_PARM;
    }
    handle->topic_accept_cb.store(cb);
    return UNI_OK;
}

int mqtt_subscribe_topic(MQ_HANDLE handle, const char* topic)
{
    if (handle == nullptr || topic == nullptr) {
        PR_ERR("NULL input");
        return UNI_INVALID_PARM;
    }
    SendLock lock(handle);
    int ret = mqtt_subscribe(&handle->broker, topic, nullptr);
    PR_DEBUG("subscribe %s return %d ", topic, ret);
    return ret == 1 ? UNI_OK : UNI_COM_ERROR;
}

int mqtt_add_topic_without_subcribe(MQ_HANDLE handle, const char* topic)
{
    if (handle == nullptr || topic == nullptr || !__mq_store_extra(handle, topic)) {
        return UNI_COM_ERROR;
    }
    PR_DEBUG("add new topic %s ", topic);
    return UNI_OK;
}

int delete_mqtt_hand(MQ_HANDLE handle)
{
    if (handle == nullptr) {
        return UNI_INVALID_PARM;
    }
    __mq_stop_task(handle);
    if (t_task == handle) {
        // Called from one of the task's own callbacks: the task frees the handle as it ends.
        handle->free_on_exit = true;
        return UNI_OK;
    }
    __mq_wait_task(handle);
    __mq_release(handle);
    return UNI_OK;
}
