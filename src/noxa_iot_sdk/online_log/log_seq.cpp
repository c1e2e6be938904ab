#include "noxa_iot_sdk/online_log/log_seq.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/mem_pool.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

namespace {

// " 255:" and the longest value ("-2147483648" or 16 characters).
constexpr size_t kMaxEntryText = 5 + LOG_SEQ_VALUE_LEN;
static_assert(LOG_SEQ_NAME_LEN + LOG_SEQ_ENTRY_NUM * kMaxEntryText + 1 <= LOG_SEQ_STR_MAX,
              "a full ring always fits the rendered text");

LOG_SEQ_ENTRY_S __number_entry(uint8_t seq, uint8_t type, uint32_t bits)
{
    LOG_SEQ_ENTRY_S e{};
    e.seq = seq;
    e.type = type;
    e.len = sizeof(bits);
    memcpy(e.value, &bits, sizeof(bits));
    return e;
}

}  // namespace

struct LOG_SEQ_S {
    char name[LOG_SEQ_NAME_LEN + 1];
    LOG_SEQ_ERR_CB errCb;
    std::mutex mutex;
    std::array<LOG_SEQ_ENTRY_S, LOG_SEQ_ENTRY_NUM> ring;
    uint32_t head;   // the oldest entry
    uint32_t count;
    bool frozen;

    LOG_SEQ_ENTRY_S& Newest() { return ring[(head + count - 1) % LOG_SEQ_ENTRY_NUM]; }

    void Insert(const LOG_SEQ_ENTRY_S& e)
    {
        LOG_SEQ_ENTRY_S copy = e;
        copy.len = std::min<uint8_t>(copy.len, LOG_SEQ_VALUE_LEN);
        if (count != 0 && Newest().seq == copy.seq && Newest().type == copy.type) {
            Newest() = copy;  // a step repeated (a retry): keep only its latest value
        } else if (count < LOG_SEQ_ENTRY_NUM) {
            ring[(head + count) % LOG_SEQ_ENTRY_NUM] = copy;
            ++count;
        } else {
            ring[head] = copy;
            head = (head + 1) % LOG_SEQ_ENTRY_NUM;
        }
    }
};

namespace {

std::string __render_value(const LOG_SEQ_ENTRY_S& e)
{
    char buf[LOG_SEQ_VALUE_LEN + 1] = {};
    uint32_t bits = 0;
    memcpy(&bits, e.value, sizeof(bits));
    switch (e.type) {
    case LOG_SEQ_INT:
        snprintf(buf, sizeof(buf), "%" PRId32, static_cast<int32_t>(bits));
        break;
    case LOG_SEQ_UINT:
        snprintf(buf, sizeof(buf), "%" PRIu32, bits);
        break;
    default:
        // Texts come from callers; keep the line printable.
        for (uint8_t i = 0; i < e.len && e.value[i] != '\0'; ++i) {
            buf[i] = isprint(e.value[i]) ? static_cast<char>(e.value[i]) : '.';
        }
        break;
    }
    return buf;
}

int __insert(LOG_SEQ_HANDLE seq, const LOG_SEQ_ENTRY_S* entry, bool freeze)
{
    if (seq == nullptr || entry == nullptr) {
        return UNI_INVALID_PARM;
    }
    std::lock_guard<std::mutex> lock(seq->mutex);
    if (seq->frozen) {
        return LOG_SEQ_FROZEN;
    }
    seq->Insert(*entry);
    seq->frozen = freeze;
    return UNI_OK;
}

}  // namespace

LOG_SEQ_ENTRY_S log_seq_int(uint8_t seq, int32_t value)
{
    return __number_entry(seq, LOG_SEQ_INT, static_cast<uint32_t>(value));
}

LOG_SEQ_ENTRY_S log_seq_uint(uint8_t seq, uint32_t value)
{
    return __number_entry(seq, LOG_SEQ_UINT, value);
}

LOG_SEQ_ENTRY_S log_seq_str(uint8_t seq, const char* text)
{
    LOG_SEQ_ENTRY_S e{};
    e.seq = seq;
    e.type = LOG_SEQ_STR;
    if (text != nullptr) {
        e.len = static_cast<uint8_t>(strnlen(text, LOG_SEQ_VALUE_LEN));
        memcpy(e.value, text, e.len);
    }
    return e;
}

int create_log_seq(const char* name, LOG_SEQ_ERR_CB errCb, LOG_SEQ_HANDLE* seq)
{
    if (name == nullptr || seq == nullptr) {
        return UNI_INVALID_PARM;
    }
    size_t len = strnlen(name, LOG_SEQ_NAME_LEN + 1);
    if (len == 0 || len > LOG_SEQ_NAME_LEN) {
        return UNI_INVALID_PARM;
    }
    auto* s = new (std::nothrow) LOG_SEQ_S{};
    if (s == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    memcpy(s->name, name, len);
    s->errCb = errCb;
    *seq = s;
    return UNI_OK;
}

int insert_log_seq(LOG_SEQ_HANDLE seq, const LOG_SEQ_ENTRY_S* entry)
{
    return __insert(seq, entry, false);
}

int insert_error_log_seq(LOG_SEQ_HANDLE seq, const LOG_SEQ_ENTRY_S* entry)
{
    int ret = __insert(seq, entry, true);
    // Unlocked: the callback renders the sequence.
    if (ret == UNI_OK && seq->errCb != nullptr) {
        seq->errCb(seq);
    }
    return ret;
}

int clear_log_seq(LOG_SEQ_HANDLE seq)
{
    if (seq == nullptr) {
        return UNI_INVALID_PARM;
    }
    std::lock_guard<std::mutex> lock(seq->mutex);
    seq->head = 0;
    seq->count = 0;
    seq->frozen = false;
    return UNI_OK;
}

int release_log_seq(LOG_SEQ_HANDLE seq)
{
    if (seq == nullptr) {
        return UNI_INVALID_PARM;
    }
    delete seq;
    return UNI_OK;
}

int make_log_seq_string(LOG_SEQ_HANDLE seq, char** text)
{
    if (seq == nullptr || text == nullptr) {
        return UNI_INVALID_PARM;
    }
    std::string out;
    {
        std::lock_guard<std::mutex> lock(seq->mutex);
        if (!seq->frozen) {
            return LOG_SEQ_NOT_FROZEN;
        }
        out = seq->name;
        for (uint32_t i = 0; i < seq->count; ++i) {
            const LOG_SEQ_ENTRY_S& e = seq->ring[(seq->head + i) % LOG_SEQ_ENTRY_NUM];
            out += ' ';
            out += std::to_string(e.seq);
            out += ':';
            out += __render_value(e);
        }
    }
    auto* buf = static_cast<char*>(Malloc(out.size() + 1));
    if (buf == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    memcpy(buf, out.c_str(), out.size() + 1);
    *text = buf;
    return UNI_OK;
}
