// The MQTT client's receive path over arbitrary bytes from the broker: the receive buffer (512
// bytes, refilled from the socket), packets longer than it read into a block of their own, and
// the handling of PUBLISH, PUBACK and PINGRESP. An independent reading of the same bytes says
// which payloads reach the receive callback, which PUBACKs go out and which waiting publishes
// complete; the run must agree with it exactly.
#include "fuzz_util.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_middleware/mqtt/mqtt_client_internal.h"

#include <cctype>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using fuzz::Check;
using Bytes = std::vector<uint8_t>;

const char kTopic[] = "smart/mb/in/fuzzdev";
const char kExtraTopic[] = "smart/wakeup/fuzzdev";

std::vector<Bytes> gDelivered;
std::vector<Bytes> gSent;
std::vector<int> gCompleted;  // slot numbers, in completion order
int gSlotTag[MQ_PUB_SLOT_NUM];

void OnPublish(uint8_t* data, uint32_t len)
{
    Check(data[len] == '\0');
    gDelivered.emplace_back(data, data + len);
}

int Capture(void*, const void* buf, unsigned int count)
{
    const auto* b = static_cast<const uint8_t*>(buf);
    gSent.emplace_back(b, b + count);
    return static_cast<int>(count);
}

void OnAck(int ret, void* prv)
{
    Check(ret == 0);
    gCompleted.push_back(static_cast<int>(static_cast<int*>(prv) - gSlotTag));
}

uint16_t U16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

bool SameTopic(const char* mine, const uint8_t* t, size_t n)
{
    if (strlen(mine) != n) {
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(mine[i])) != std::tolower(t[i])) {
            return false;
        }
    }
    return true;
}

// What the client must do with the stream: it reads whole packets until the stream ends, a
// length is malformed, or a packet is cut short. A packet above 16,384 bytes is thrown away, a
// QoS 1 PUBLISH among them still acknowledged.
struct Expect {
    std::vector<Bytes> delivered;
    std::vector<Bytes> sent;
    std::vector<int> completed;
};

Expect Model(const uint8_t* s, size_t n, uint8_t inFlight, const uint16_t* ids)
{
    Expect e;
    size_t pos = 0;
    while (pos < n) {
        const uint8_t* p = s + pos;
        size_t avail = n - pos;
        size_t lenBytes = 4;
        for (size_t i = 1; i < 4; ++i) {
            if (i >= avail) {
                return e;  // the length is not whole: the stream ends inside it
            }
            if ((p[i] & 0x80) == 0) {
                lenBytes = i;
                break;
            }
        }
        if (lenBytes + 1 > avail || (p[lenBytes] & 0x80) != 0) {
            return e;
        }
        size_t rem = 0;
        for (size_t i = lenBytes; i >= 1; --i) {
            rem = rem << 7 | (p[i] & 0x7F);
        }
        size_t hdr = 1 + lenBytes;
        size_t total = hdr + rem;
        if (total > avail) {
            return e;
        }
        uint8_t type = p[0] >> 4;
        uint8_t qos = (p[0] >> 1) & 3;
        if (total > MQ_MAX_PACKET_LEN) {
            if (type == 3 && qos == 1 && hdr + 2 + U16(p + hdr) + 2 <= total) {
                uint16_t id = U16(p + hdr + 2 + U16(p + hdr));
                e.sent.push_back({0x40, 0x02, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)});
            }
            pos += total;
            continue;
        }
        if (type == 3 && qos != 2) {
            // Topic, the id with QoS 1, then the payload to the end of the packet.
            bool ok = hdr + 2 <= total;
            size_t topicLen = ok ? U16(p + hdr) : 0;
            size_t after = hdr + 2 + topicLen + (qos != 0 ? 2 : 0);
            ok = ok && after <= total;
            if (qos == 1) {
                uint16_t id = ok ? U16(p + hdr + 2 + topicLen) : 0;
                e.sent.push_back({0x40, 0x02, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)});
            }
            if (ok && (SameTopic(kTopic, p + hdr + 2, topicLen) || SameTopic(kExtraTopic, p + hdr + 2, topicLen))) {
                e.delivered.emplace_back(p + after, p + total);
            }
        } else if (type == 4) {
            uint16_t id = hdr + 2 <= total ? U16(p + hdr) : 0;
            for (int i = 0; i < MQ_PUB_SLOT_NUM; ++i) {
                if ((inFlight & (1u << i)) != 0 && ids[i] == id) {
                    inFlight = static_cast<uint8_t>(inFlight & ~(1u << i));
                    e.completed.push_back(i);
                    break;
                }
            }
        }
        pos += total;
    }
    return e;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    MemPoolSetPassThrough(1);  // every block of its own, so that the sanitizer sees its bounds
    return 0;
}

// Input: a byte of in-flight slots (ids 1, 2, 0x0103, ... by slot), then the broker's bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 65536) {
        return 0;
    }
    uint8_t inFlight = data[0];
    const uint8_t* stream = data + 1;
    size_t streamLen = size - 1;
    static const uint16_t kIds[MQ_PUB_SLOT_NUM] = {1, 2, 0x0103, 0x0400, 0x7FFF, 0x8000, 0xFFFE, 0xFFFF};

    int fds[2];
    Check(socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
    int buf = 256 * 1024;
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &buf, sizeof(buf));
    setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &buf, sizeof(buf));
    size_t off = 0;
    while (off < streamLen) {
        ssize_t w = write(fds[1], stream + off, streamLen - off);
        Check(w > 0);
        off += static_cast<size_t>(w);
    }
    close(fds[1]);

    auto* h = new MQ_CNTL_S;
    mqtt_init(&h->broker, "fuzz");
    h->broker.send = Capture;
    Check(CreateMutexAndInit(&h->pub_ack_mutex) == 0);
    h->sockfd = fds[0];
    h->recv_cb = OnPublish;
    h->subcribe_topic = const_cast<char*>(kTopic);
    h->extra_topic.store(const_cast<char*>(kExtraTopic));
    h->in_flight = inFlight;
    for (int i = 0; i < MQ_PUB_SLOT_NUM; ++i) {
        h->slots[i] = MQ_PUB_SLOT_S{kIds[i], OnAck, &gSlotTag[i], 0, 0};
    }
    gDelivered.clear();
    gSent.clear();
    gCompleted.clear();

    // As the online state runs it: receive, then every whole packet in the buffer.
    for (;;) {
        if (mq_recv(h) < 0 || mq_dispatch_buffered(h) < 0) {
            break;
        }
        Check(h->consumed <= h->recv_len && h->recv_len <= MQ_RECV_BUF_LEN);
    }

    Expect e = Model(stream, streamLen, inFlight, kIds);
    Check(gDelivered == e.delivered);
    Check(gSent == e.sent);
    Check(gCompleted == e.completed);

    close(fds[0]);
    ReleaseMutex(h->pub_ack_mutex);
    delete h;
    return 0;
}
