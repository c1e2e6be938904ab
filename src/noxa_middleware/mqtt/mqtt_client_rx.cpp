#include "noxa_middleware/mqtt/mqtt_client_internal.h"

#include "noxa_adapter/network/uni_network.h"
#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_string.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_iot_sdk/com_sdk/com_mmod.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <mbedtls/ssl.h>

namespace {

constexpr uint32_t kRecvRetryMs = 10;

// Reads at least one byte: the count, or a negative code (the peer closing is one too).
int __mq_read(MQ_CNTL_S* h, uint8_t* buf, uint32_t len)
{
    for (;;) {
        if (h->enable_tls != 0) {
            int ret = noxa_tls_read(h->tls, buf, len);
            if (ret > 0) {
                return ret;
            }
            if ((ret == MBEDTLS_ERR_SSL_WANT_READ || ret == MBEDTLS_ERR_SSL_WANT_WRITE) && !mq_stopping(h)) {
                continue;
            }
            PR_ERR("__mq_recv read fail %d", ret);
            return ret < 0 ? ret : UNI_COM_ERROR;
        }
        int ret = mq_recv_ready(h, buf, len);
        if (ret > 0) {
            return ret;
        }
        ret = mq_wait_readable(h);
        if (ret < 0) {
            return ret;
        }
        ret = unw_recv(h->sockfd, buf, len);
        if (ret > 0) {
            return ret;
        }
        if (ret == 0) {
            PR_DEBUG("mqtt peer closed");
            return UNI_COM_ERROR;
        }
        int err = unw_get_errno();
        PR_ERR("unw_recv err:%d errno:%d", ret, err);
        if ((err == UNW_EINTR || err == UNW_EAGAIN || err == UNW_EWOULDBLOCK) && !mq_stopping(h)) {
            uni_sleep_ms(kRecvRetryMs);
            continue;
        }
        return ret;
    }
}

}  // namespace

// Moves the unconsumed bytes to the buffer's start first.
int mq_recv(MQ_CNTL_S* h)
{
    if (h->consumed >= h->recv_len) {
        h->consumed = 0;
        h->recv_len = 0;
    } else if (h->consumed > 0) {
        memmove(h->recv_buf, h->recv_buf + h->consumed, h->recv_len - h->consumed);
        h->recv_len = static_cast<uint16_t>(h->recv_len - h->consumed);
        h->consumed = 0;
    }
    uint32_t space = MQ_RECV_BUF_LEN - h->recv_len;
    if (space == 0) {
        return UNI_COM_ERROR;  // never: a packet longer than the buffer leaves it at once
    }
    int ret = __mq_read(h, h->recv_buf + h->recv_len, space);
    if (ret > 0) {
        h->recv_len = static_cast<uint16_t>(h->recv_len + ret);
        h->last_recv_ms.store(uni_get_tick_ms());
    }
    return ret;
}

namespace {

int __mq_read_all(MQ_CNTL_S* h, uint8_t* buf, uint32_t len)
{
    uint32_t got = 0;
    while (got < len) {
        int ret = __mq_read(h, buf + got, len - got);
        if (ret < 0) {
            return ret;
        }
        got += static_cast<uint32_t>(ret);
        h->last_recv_ms.store(uni_get_tick_ms());
    }
    return 0;
}

// A packet above 16,384 bytes (its length bytes already whole in the buffer) is read and thrown
// away as it comes: one bad packet must not cost the link and every command behind it. The id of
// a QoS 1 PUBLISH is picked up on the way, so that it is still acknowledged and does not hold one
// of the broker's in-flight slots. 0, or a receive error.
int __mq_discard(MQ_CNTL_S* h, uint32_t total)
{
    const uint8_t* head = h->recv_buf + h->consumed;
    const uint8_t first = head[0];
    const uint32_t hdr = 1 + static_cast<uint32_t>(mqtt_num_rem_len_bytes(head, h->recv_len - h->consumed));
    const bool qos1 = MQTTParseMessageType(&first) == MQTT_MSG_PUBLISH && MQTTParseMessageQos(&first) == 1;
    // Variable header of a PUBLISH: topic length (2), topic, message id (2).
    uint32_t topicLen = 0;
    uint32_t idOff = UINT32_MAX;
    uint16_t id = 0;
    uint32_t pos = 0;
    while (pos < total) {
        if (h->consumed >= h->recv_len) {
            int ret = mq_recv(h);
            if (ret < 0) {
                PR_ERR("__mq_recv err op_ret:%d recv_len:%d", ret, h->recv_len);
                return ret;
            }
            continue;
        }
        uint32_t take = std::min<uint32_t>(h->recv_len - h->consumed, total - pos);
        for (uint32_t i = 0; i < take; ++i) {
            uint32_t off = pos + i;
            uint8_t b = h->recv_buf[h->consumed + i];
            if (off == hdr || off == hdr + 1) {
                topicLen = (topicLen << 8) | b;
                idOff = off == hdr + 1 ? hdr + 2 + topicLen : idOff;
            } else if (off == idOff || off == idOff + 1) {
                id = static_cast<uint16_t>((id << 8) | b);
            }
        }
        h->consumed = static_cast<uint16_t>(h->consumed + take);
        pos += take;
    }
    PR_ERR("mqtt packet type:0x%x of %u bytes above %d discarded", MQTTParseMessageType(&first), total,
           MQ_MAX_PACKET_LEN);
    if (qos1 && idOff + 2 <= total && mqtt_puback(&h->broker, id) != 1) {
        PR_ERR("send mqtt publish ack error");
    }
    return 0;
}

}  // namespace

int mq_next_packet(MQ_CNTL_S* h, RxPacket* pkt, bool mayRecv)
{
    for (;;) {
        uint8_t* p = h->recv_buf + h->consumed;
        uint32_t avail = h->recv_len - h->consumed;
        int32_t total = avail != 0 ? mqtt_packet_len(p, avail) : 0;
        if (total < 0) {
            PR_ERR("mqtt packet length err:%d", total);
            return UNI_COM_ERROR;
        }
        if (total > MQ_MAX_PACKET_LEN) {
            int ret = __mq_discard(h, static_cast<uint32_t>(total));
            if (ret < 0) {
                return ret;
            }
            continue;
        }
        if (total > 0 && static_cast<uint32_t>(total) <= avail) {
            pkt->data = p;
            pkt->len = static_cast<uint32_t>(total);
            h->consumed = static_cast<uint16_t>(h->consumed + total);
            return 1;
        }
        if (total > MQ_RECV_BUF_LEN) {
            pkt->block.reset(static_cast<uint8_t*>(Malloc(static_cast<size_t>(total) + 1)));
            if (!pkt->block) {
                return UNI_MALLOC_FAILED;
            }
            memcpy(pkt->block.get(), p, avail);
            h->consumed = 0;
            h->recv_len = 0;
            int ret = __mq_read_all(h, pkt->block.get() + avail, static_cast<uint32_t>(total) - avail);
            if (ret < 0) {
                return ret;
            }
            pkt->data = pkt->block.get();
            pkt->len = static_cast<uint32_t>(total);
            return 1;
        }
        if (!mayRecv) {
            return 0;
        }
        int ret = mq_recv(h);
        if (ret < 0) {
            PR_ERR("__mq_recv err op_ret:%d recv_len:%d", ret, h->recv_len);
            return ret;
        }
    }
}

namespace {

bool __topic_match(const char* mine, const uint8_t* topic, uint16_t len)
{
    return mine != nullptr && strlen(mine) == len && uni_strncasecmp(mine, reinterpret_cast<const char*>(topic), len) == 0;
}

void __mq_on_publish(MQ_CNTL_S* h, uint8_t* pkt, uint32_t len)
{
    uint8_t qos = MQTTParseMessageQos(pkt);
    if (qos == 2) {
        PR_ERR("do't support qos == 2 publish message");
        return;
    }
    if (qos == 1 && mqtt_puback(&h->broker, mqtt_parse_msg_id(pkt, len)) != 1) {
        PR_ERR("send mqtt publish ack error");
        return;
    }
    const uint8_t* topic = nullptr;
    uint16_t topicLen = mqtt_parse_pub_topic_ptr(pkt, len, &topic);
    MQ_TOPIC_ACCEPT_CB accept = h->topic_accept_cb.load();
    if (topic == nullptr ||
        (!__topic_match(h->subcribe_topic, topic, topicLen) && !__topic_match(h->extra_topic.load(), topic, topicLen) &&
         (accept == nullptr || accept(reinterpret_cast<const char*>(topic), topicLen) == 0))) {
        PR_DEBUG("mqtt drop publish of another topic");
        return;
    }
    const uint8_t* msg = nullptr;
    uint32_t msgLen = mqtt_parse_pub_msg_ptr(pkt, len, &msg);
    if (msg == nullptr) {
        return;
    }
    // The payload ends the packet: the buffer and the block keep one byte more for the NUL.
    uint8_t* end = pkt + len;
    uint8_t keep = *end;
    *end = '\0';
    h->recv_cb(const_cast<uint8_t*>(msg), msgLen);
    *end = keep;
}

void __mq_on_puback(MQ_CNTL_S* h, uint16_t id)
{
    UniMutexGuard lock(h->pub_ack_mutex);
    for (int i = 0; i < MQ_PUB_SLOT_NUM; ++i) {
        if ((h->in_flight & (1u << i)) != 0 && h->slots[i].msg_id == id) {
            MQ_PUB_SLOT_S slot = h->slots[i];
            h->slots[i] = MQ_PUB_SLOT_S{};
            h->in_flight = static_cast<uint8_t>(h->in_flight & ~(1u << i));
            h->ack_timeout_cnt = 0;
            slot.cb(0, slot.prv_data);
            return;
        }
    }
}

}  // namespace

void mq_handle_packet(MQ_CNTL_S* h, RxPacket& pkt)
{
    ++h->rx_pkts;
    uint8_t type = MQTTParseMessageType(pkt.data);
    switch (type) {
    case MQTT_MSG_PUBACK:
        __mq_on_puback(h, mqtt_parse_msg_id(pkt.data, pkt.len));
        break;
    case MQTT_MSG_PINGRESP:
        // Timers first, then the line: whoever reads it may move the clock.
        h->fail_cnt >>= 2;
        mq_resp_stop(h);
        cmmod_start_tm_msg(h->alive_tm_msg, h->broker.alive * 1000u, TIMER_ONCE);
        PR_DEBUG("ping respond. update fail_cnt:%d time %d", h->fail_cnt,
                 static_cast<int>(h->last_recv_ms.load() / 1000));
        break;
    case MQTT_MSG_PUBLISH:
        __mq_on_publish(h, pkt.data, pkt.len);
        break;
    default:
        // SUBACK and UNSUBACK of topics booked while online: nothing waits for them.
        PR_DEBUG("mqtt skip packet type:0x%x len:%u", type, pkt.len);
        break;
    }
}

int mq_dispatch_buffered(MQ_CNTL_S* h)
{
    for (;;) {
        RxPacket pkt;
        int ret = mq_next_packet(h, &pkt, false);
        if (ret <= 0) {
            return ret;
        }
        mq_handle_packet(h, pkt);
    }
}
