#include "noxa_ipc_sdk/noxa_ipc_notification.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_secret.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_pic.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"
#include "noxa_iot_sdk/online_log/log_serv.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

extern LOG_SEQ_HANDLE noxa_ipc_notify_log_seq;

NOTIFICATION_CTL_S g_notification_ctl;
NOTIFICATION_OPS_S g_notification_ops = {
    cloud_get_detect_storage_config, cloud_require_new_ca,       cloud_put_data_to_file,
    cloud_encrypt_pic_with_random_iv, noxa_iot_raw_dp_report_sync, noxa_iot_raw_dp_report_sync_with_time,
};

namespace {

constexpr const char kNames[NOTIFICATION_NAME_COUNT][32] = {
    "ipc_motion",    "ipc_doorbell",     "ipc_dev_link",    "ipc_passby",   "ipc_linger",
    "ipc_leave_msg", "ipc_connected",    "ipc_unconnected", "ipc_refuse",   "ipc_human",
    "ipc_cat",       "ipc_car",          "ipc_baby_cry",    "ipc_bang",     "ipc_face",
    "ipc_antibreak", "",                 "ipc_io_alarm",    "ipc_low_battery", "ipc_doorbell_to_154",
    "cover",         "ipc_full_battery", "ipc_io_alarm_2",  "power",
};

constexpr uint32_t kNameMax = 32;         // "<time>.<suffix>"
constexpr uint32_t kContentTypeMax = 16;  // "image/<suffix>"
constexpr int kUploadTries = 3;
constexpr int kMessageTimeoutS = 5;
constexpr uint8_t kDpMotion = 115;
constexpr uint8_t kDpDoorbell = 154;
constexpr uint8_t kDpEvent = 185;

// Tags of the notification log sequence's entries.
enum : uint8_t { kSeqInit = 20, kSeqUpload, kSeqPack, kSeqType, kSeqMalloc, kSeqMsg, kSeqEnc };

// The configuration and the object path the last upload left in it belong together: an upload
// and its pack, and the snapshot URL, each hold this lock.
std::recursive_mutex s_lock;
std::mutex s_nameLock;
uint32_t s_lastNameTime = 0;  // under s_nameLock
constexpr uint32_t kClockBackS = 60;


struct MsgDeleter {
    void operator()(NOTIFICATION_MESSAGE_S* m) const { notification_message_free(m); }
};
using MsgPtr = std::unique_ptr<NOTIFICATION_MESSAGE_S, MsgDeleter>;

void AppendEscaped(std::string* out, const char* text)
{
    static const char kHex[] = "0123456789abcdef";
    for (const char* p = text != nullptr ? text : ""; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            *out += '\\';
            *out += static_cast<char>(c);
        } else if (c < 0x20) {
            *out += "\\u00";
            *out += kHex[c >> 4];
            *out += kHex[c & 15];
        } else {
            *out += static_cast<char>(c);
        }
    }
}

void AppendString(std::string* out, const char* text)
{
    *out += '"';
    AppendEscaped(out, text);
    *out += '"';
}

// `"files":[["path","key"],...]}`; the keys shown masked when `masked` (a text for the log).
void AppendFiles(std::string* out, const NOTIFICATION_MESSAGE_S* msg, bool masked)
{
    *out += "\"files\":[";
    for (uint32_t i = 0; i < msg->count; ++i) {
        *out += i == 0 ? "[" : ",[";
        AppendString(out, msg->files[i].path);
        *out += ',';
        AppendString(out, masked && msg->files[i].key[0] != '\0' ? uni_mask_secret(msg->files[i].key).text
                                                                   : msg->files[i].key);
        *out += ']';
    }
    *out += "]}";
}

std::string PlainText(const NOTIFICATION_MESSAGE_S* msg, bool masked)
{
    std::string out = "{\"v\":\"3.0\",\"bucket\":";
    AppendString(&out, msg->bucket);
    out += ',';
    AppendFiles(&out, msg, masked);
    return out;
}

std::string GenericText(const NOTIFICATION_MESSAGE_S* msg, const char* cmd, const char* with, const char* type,
                        const char* extra, bool masked)
{
    std::string out = "{\"v\":\"3.0\",\"bucket\":";
    AppendString(&out, msg->bucket);
    out += ',';
    if (extra != nullptr && extra[0] != '\0') {
        out += extra;
        out += ',';
    }
    out += "\"cmd\":";
    AppendString(&out, cmd);
    out += ",\"type\":";
    AppendString(&out, type);
    out += ",\"with\":";
    AppendString(&out, with);
    out += ',';
    AppendFiles(&out, msg, masked);
    return out;
}

// "<time>.<suffix>" and "image/<suffix>"; false when either does not fit.
bool ObjectName(int name_time, const char* suffix, char (&name)[kNameMax + 1], char (&type)[kContentTypeMax + 1])
{
    const int n = snprintf(name, sizeof(name), "%d.%s", name_time, suffix);
    const int t = snprintf(type, sizeof(type), "image/%s", suffix);
    return n > 0 && static_cast<size_t>(n) < sizeof(name) && t > 0 && static_cast<size_t>(t) < sizeof(type);
}

// PUT of the bytes as they are, and the file packed with `key` (NULL: none).
int PutAndPack(const char* func, const char* name, const char* type, const uint8_t* data, uint32_t len,
               const char* key, NOTIFICATION_MESSAGE_S* msg)
{
    int ret = g_notification_ops.put(&g_notification_ctl.cfg, "https", CLOUD_STORAGE_KIND_DETECT, name, type, data,
                                     len);
    if (ret != UNI_OK) {
        PR_ERR("%s put failed:%d\n", func, ret);
        notify_seq_error(kSeqUpload, "upload_err");
        return NOTIFICATION_ERR_PUT;
    }
    ret = __message_pack(key, msg);
    if (ret != UNI_OK) {
        PR_ERR("__message_pack error:%d", ret);
        notify_seq_error(kSeqPack, "pack_err");
        return NOTIFICATION_ERR_PACK;
    }
    return UNI_OK;
}

// A picture encrypted under a fresh IV (which becomes its key), then put and packed.
int PutPicture(const char* func, const char* name, const char* type, const uint8_t* data, uint32_t len,
               NOTIFICATION_MESSAGE_S* msg)
{
    // From the kernel's generator: a clock-seeded IV repeats within a second under one key.
    char iv[CLOUD_PIC_IV_LEN + 1] = {};
    if (uni_random_string(iv, CLOUD_PIC_IV_LEN) != UNI_OK) {
        return UNI_COM_ERROR;
    }
    uint8_t* enc = nullptr;
    uint32_t encLen = 0;
    const int ret = g_notification_ops.encrypt_pic(data, len, &enc, &encLen, iv);
    if (ret == CLOUD_PIC_KEY_ERR) {
        // Without the media key at hand the picture cannot go (the key is asked for apart).
        PR_ERR("%s: picture not sent without the media key", func);
        notify_seq_error(kSeqEnc, "enc_err");
        return ret;
    }
    if (ret != UNI_OK) {
        PR_ERR("%s encrypt failed:%d", func, ret);
        notify_seq_error(kSeqEnc, "enc_err");
        return ret;
    }
    const int put = PutAndPack(func, name, type, enc, encLen, iv, msg);
    free(enc);
    return put;
}

int Report(int dp, const std::string& text, int timeout_s, bool withTime, uint32_t time)
{
    if (dp < 0 || dp > 255) {
        return UNI_INVALID_PARM;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto len = static_cast<uint32_t>(text.size());
    const auto timeout = static_cast<uint32_t>(timeout_s < 0 ? 0 : timeout_s);
    const int ret = withTime
                        ? g_notification_ops.report_with_time(nullptr, static_cast<uint8_t>(dp), bytes, len, timeout, 1,
                                                              time)
                        : g_notification_ops.report(nullptr, static_cast<uint8_t>(dp), bytes, len, timeout, 1);
    if (ret != UNI_OK) {
        PR_ERR("notification_message_upload failed:%d\n", ret);
        notify_seq_error(kSeqMsg, "up_msg_err");
    }
    return ret;
}

const char* SuffixOf(uint32_t type)
{
    static const char* const kSuffix[] = {"media", "jpeg", "png", "pcm"};
    return type < 4 ? kSuffix[type] : nullptr;
}

}  // namespace

void notify_seq_error(uint8_t tag, const char* text)
{
    if (noxa_ipc_notify_log_seq == nullptr) {
        return;
    }
    LOG_SEQ_ENTRY_S e = log_seq_str(tag, text);
    insert_error_log_seq(noxa_ipc_notify_log_seq, &e);
    clear_log_seq(noxa_ipc_notify_log_seq);
}

uint32_t notification_name_time(uint32_t now)
{
    std::lock_guard<std::mutex> lock(s_nameLock);
    const uint32_t last = s_lastNameTime;
    if (now <= last && last - now < kClockBackS) {
        now = last + 1;
    }
    s_lastNameTime = now;
    return now;
}

const char* notification_name_text(uint32_t index)
{
    return index < NOTIFICATION_NAME_COUNT ? kNames[index] : "";
}

NOTIFICATION_MESSAGE_S* notification_message_malloc(uint32_t count)
{
    auto* msg = new (std::nothrow) NOTIFICATION_MESSAGE_S{};
    if (msg == nullptr) {
        return nullptr;
    }
    msg->capacity = count == 0 ? 1 : count;
    try {
        msg->files.resize(msg->capacity);
    } catch (const std::bad_alloc&) {
        delete msg;
        return nullptr;
    }
    return msg;
}

void notification_message_free(NOTIFICATION_MESSAGE_S* msg)
{
    delete msg;
}

int __content_check_init(void)
{
    std::lock_guard<std::recursive_mutex> lock(s_lock);
    NOTIFICATION_CTL_S& c = g_notification_ctl;
    const uint64_t now = uni_get_tick_ms();
    if (c.inited != 0 && now - c.init_ms < NOTIFICATION_CONFIG_REUSE_MS) {
        return UNI_OK;
    }
    PR_NOTICE("cloud config Not Inited");
    c.inited = 0;
    int ret = g_notification_ops.get_config(&c.cfg);
    if (ret != UNI_OK) {
        PR_ERR("cloud_get_detect_storage_config fail, ret %d", ret);
        return ret;
    }
    char url[CLOUD_CA_URL_MAX + 1];
    const bool azure = strcmp(c.cfg.provider, "azure") == 0;
    const int n = azure ? snprintf(url, sizeof(url), "%s%s", c.cfg.ak, c.cfg.endpoint)
                        : snprintf(url, sizeof(url), "%s.%s", c.cfg.bucket, c.cfg.endpoint);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(url)) {
        PR_ERR("require ca fail, ret %d", UNI_INVALID_PARM);
        return UNI_INVALID_PARM;
    }
    ret = g_notification_ops.require_ca(url, CLOUD_CA_KIND_DETECT);
    if (ret != UNI_OK) {
        PR_ERR("require ca fail, ret %d", ret);
        return ret;
    }
    c.init_ms = now;
    c.inited = 1;
    PR_NOTICE("cloud config Init Success");
    return UNI_OK;
}

int notification_config_copy(CLOUD_DETECT_STORAGE_CFG_S* cfg)
{
    std::lock_guard<std::recursive_mutex> lock(s_lock);
    const int ret = __content_check_init();
    if (ret == UNI_OK) {
        *cfg = g_notification_ctl.cfg;
    }
    return ret;
}

int notification_content_upload_from_buffer(int name_time, const char* suffix, const uint8_t* data, uint32_t len,
                                            int encrypt, NOTIFICATION_MESSAGE_S* msg)
{
    if (suffix == nullptr || data == nullptr || msg == nullptr || len == 0) {
        PR_ERR("notification_content_upload_from_buffer illegal input\n");
        return UNI_INVALID_PARM;
    }
    PR_NOTICE("notification from buffer. suffix:%s data_len:%d", suffix, static_cast<int>(len));
    char name[kNameMax + 1];
    char type[kContentTypeMax + 1];
    if (!ObjectName(name_time, suffix, name, type)) {
        PR_ERR("notification_content_upload_from_buffer illegal input\n");
        return UNI_INVALID_PARM;
    }
    std::lock_guard<std::recursive_mutex> lock(s_lock);
    int ret = __content_check_init();
    if (ret != UNI_OK) {
        PR_ERR("notification_content_upload_from_buffer init failed:%d\n", ret);
        notify_seq_error(kSeqInit, "init_err");
        return NOTIFICATION_ERR_INIT;
    }
    ret = encrypt != 0 ? PutPicture(__func__, name, type, data, len, msg)
                       : PutAndPack(__func__, name, type, data, len, nullptr, msg);
    if (ret == UNI_OK) {
        PR_NOTICE("notification_content_upload_from_buffer success\n");
    }
    return ret;
}

int notification_content_upload_from_buffer_generic(int name_time, const char* suffix, const uint8_t* data,
                                                    uint32_t len, const char* key16,
                                                    NOTIFICATION_MESSAGE_S* msg)
{
    if (suffix == nullptr || data == nullptr || msg == nullptr || len == 0) {
        PR_ERR("%s illegal input\n", __func__);
        return UNI_INVALID_PARM;
    }
    PR_NOTICE("notification from buffer. suffix:%s data_len:%d", suffix, static_cast<int>(len));
    char name[kNameMax + 1];
    char type[kContentTypeMax + 1];
    if (!ObjectName(name_time, suffix, name, type)) {
        PR_ERR("%s illegal input\n", __func__);
        return UNI_INVALID_PARM;
    }
    std::lock_guard<std::recursive_mutex> lock(s_lock);
    int ret = __content_check_init();
    if (ret != UNI_OK) {
        PR_ERR("notification_content_upload_from_buffer init failed:%d\n", ret);
        notify_seq_error(kSeqInit, "init_err");
        return NOTIFICATION_ERR_INIT;
    }
    const uint32_t flags = g_notification_ctl.cfg.flags;
    const bool picture = strcmp(suffix, "jpeg") == 0 || strcmp(suffix, "png") == 0;
    const bool media = strcmp(suffix, "media") == 0;
    const bool pcm = strcmp(suffix, "pcm") == 0;
    if (picture && (flags & CLOUD_CONTENT_PIC) == 0) {
        PR_ERR("picture not support");
        notify_seq_error(kSeqType, "type_err");
        return NOTIFICATION_ERR_REFUSED;
    }
    if ((media && (flags & CLOUD_CONTENT_VIDEO) == 0) || (pcm && (flags & CLOUD_CONTENT_AUDIO) == 0)) {
        PR_ERR(media ? "video not support" : "audio not support");
        notify_seq_error(kSeqType, "type_err");
        return NOTIFICATION_ERR_REFUSED;
    }
    if (!picture && !media && !pcm) {
        PR_ERR("unsupported type %s", suffix);
        notify_seq_error(kSeqType, "type_err");
        return NOTIFICATION_ERR_REFUSED;
    }
    if (picture) {
        ret = PutPicture(__func__, name, type, data, len, msg);
    } else {
        // Encrypted by the caller under its own key, which the phone needs: exactly 16 characters.
        char key[CLOUD_PIC_IV_LEN + 1] = {};
        if (key16 == nullptr || strnlen(key16, CLOUD_PIC_IV_LEN) != CLOUD_PIC_IV_LEN) {
            PR_ERR("%s illegal input\n", __func__);
            return UNI_INVALID_PARM;
        }
        memcpy(key, key16, CLOUD_PIC_IV_LEN);
        ret = PutAndPack(__func__, name, "", data, len, key, msg);
    }
    if (ret == UNI_OK) {
        PR_NOTICE("notification_content_upload_from_buffer_generic success\n");
    }
    return ret;
}

int __message_pack(const char* key, NOTIFICATION_MESSAGE_S* msg)
{
    if (msg == nullptr) {
        PR_ERR("input is null");
        return UNI_COM_ERROR;
    }
    // A message takes the files it was made for: a retry into a used one would write past it.
    if (msg->count >= msg->capacity || msg->count >= msg->files.size()) {
        PR_ERR("message full: %u of %u files", msg->count, msg->capacity);
        return UNI_COM_ERROR;
    }
    std::lock_guard<std::recursive_mutex> lock(s_lock);
    const CLOUD_DETECT_STORAGE_CFG_S& cfg = g_notification_ctl.cfg;
    snprintf(msg->bucket, sizeof(msg->bucket), "%s", cfg.bucket);
    PR_DEBUG("Bucket:%s", msg->bucket);
    NOTIFICATION_FILE_S& f = msg->files[msg->count];
    memset(&f, 0, sizeof(f));
    if (key != nullptr) {
        snprintf(f.key, sizeof(f.key), "%.32s", key);
        PR_DEBUG("Add Key %s To Msg[%u]", uni_mask_secret(f.key).text, msg->count);
    }
    snprintf(f.path, sizeof(f.path), "%s", cfg.path);
    PR_DEBUG("Add Obj %s To Msg[%u]", f.path, msg->count);
    ++msg->count;
    return UNI_OK;
}

std::string notification_message_text(const NOTIFICATION_MESSAGE_S* msg)
{
    return msg != nullptr ? PlainText(msg, false) : std::string();
}

std::string notification_message_text_generic(const NOTIFICATION_MESSAGE_S* msg, const char* cmd, const char* with,
                                              const char* type, const char* extra)
{
    return msg != nullptr ? GenericText(msg, cmd, with, type, extra, false) : std::string();
}

int notification_message_upload(int dp, const NOTIFICATION_MESSAGE_S* msg, int timeout_s)
{
    return notification_message_upload_with_time(dp, msg, timeout_s, 0);
}

int notification_message_upload_with_time(int dp, const NOTIFICATION_MESSAGE_S* msg, int timeout_s, uint32_t time)
{
    if (msg == nullptr) {
        PR_ERR("notification_message_upload hava nothing to report\n");
        return UNI_COM_ERROR;
    }
    PR_NOTICE("notify DP:%d timeout:%u", dp, static_cast<unsigned>(timeout_s));
    std::string text;
    try {
        text = PlainText(msg, false);
    } catch (const std::bad_alloc&) {
        PR_ERR("notification_message_upload malloc failed\n");
        return UNI_MALLOC_FAILED;
    }
    PR_NOTICE("count:%u and len:%u", msg->count, static_cast<unsigned>(text.size()));
    PR_NOTICE("final:%s", PlainText(msg, true).c_str());
    return Report(dp, text, timeout_s, true, time);
}

int notification_message_upload_generic(int dp, const NOTIFICATION_MESSAGE_S* msg, int timeout_s, const char* cmd,
                                        const char* with, const char* type, const char* extra)
{
    if (msg == nullptr) {
        PR_ERR("notification_message_upload hava nothing to report\n");
        return UNI_COM_ERROR;
    }
    PR_NOTICE("notify DP:%d timeout:%u", dp, static_cast<unsigned>(timeout_s));
    std::string text;
    try {
        text = GenericText(msg, cmd, with, type, extra, false);
    } catch (const std::bad_alloc&) {
        PR_ERR("notification_message_upload malloc failed\n");
        return UNI_MALLOC_FAILED;
    }
    PR_NOTICE("count:%u and len:%u", msg->count, static_cast<unsigned>(text.size()));
    PR_NOTICE("final:%s", GenericText(msg, cmd, with, type, extra, true).c_str());
    return Report(dp, text, timeout_s, false, 0);
}

int notify_log_seq_init(LOG_SEQ_HANDLE* seq)
{
    const int ret = create_log_seq("notify", log_notify_err_log_seq_cb, seq);
    if (ret != UNI_OK) {
        PR_ERR("create log seq <notify> fail..%d", ret);
    }
    return ret;
}

void log_notify_err_log_seq_cb(LOG_SEQ_HANDLE seq)
{
    // The frozen steps of a failed notification go to the online log, as other jobs' do.
    log_serv_handle_err_log_seq_cb(seq);
}

int notification_motion_send(const char* data, uint32_t size, const char* type)
{
    MsgPtr msg(notification_message_malloc(1));
    if (!msg) {
        PR_ERR("malloc notification message failed");
        notify_seq_error(kSeqMalloc, "malloc_err");
        return UNI_COM_ERROR;
    }
    const auto name = static_cast<int>(notification_name_time(uni_time_get_posix()));
    int ret = notification_content_upload_from_buffer(name, type, reinterpret_cast<const uint8_t*>(data), size, 1,
                                                      msg.get());
    if (ret == UNI_OK) {
        ret = notification_message_upload(kDpMotion, msg.get(), kMessageTimeoutS);
    }
    return ret;
}

int notification_doorbell_send(const uint8_t* data, uint32_t size, const char* type, uint32_t time)
{
    MsgPtr msg(notification_message_malloc(1));
    if (!msg) {
        PR_ERR("malloc notification message failed");
        notify_seq_error(kSeqMalloc, "malloc_err");
        return UNI_COM_ERROR;
    }
    int ret = UNI_COM_ERROR;
    for (int i = 0; i < kUploadTries && ret != UNI_OK; ++i) {
        msg->count = 0;  // a retry starts empty
        ret = notification_content_upload_from_buffer(static_cast<int>(time), type, data, size, 1, msg.get());
        if (ret == CLOUD_PIC_KEY_ERR) {
            break;  // no key now is no key a moment later: the push goes on
        }
    }
    if (ret != UNI_OK) {
        // No message without its picture: the press event has told the phone already.
        return ret;
    }
    PR_NOTICE("send snap done");
    return notification_message_upload(kDpDoorbell, msg.get(), kMessageTimeoutS);
}

int notification_generic_send(const NOXA_NOTIFICATION_S* n)
{
    MsgPtr msg(notification_message_malloc(n->file_count));
    if (!msg) {
        PR_ERR("notification_message_malloc failed");
        notify_seq_error(kSeqMalloc, "malloc_err");
        return UNI_COM_ERROR;
    }
    int last = UNI_OK;
    for (uint32_t i = 0; i < n->file_count && i < NOXA_NOTIFY_MAX_FILES; ++i) {
        const NOXA_NOTIFY_FILE_S& f = n->files[i];
        const char* suffix = SuffixOf(f.type);
        if (suffix == nullptr) {
            PR_ERR("type is invalid.%u", f.type);
            notify_seq_error(kSeqType, "type_err");
            return UNI_INVALID_PARM;
        }
        char key[sizeof(f.key) + 1] = {};
        memcpy(key, f.key, sizeof(f.key));
        const auto name = static_cast<int>(notification_name_time(uni_time_get_posix()));
        int ret = UNI_COM_ERROR;
        for (int t = 0; t < kUploadTries && ret != UNI_OK; ++t) {
            ret = notification_content_upload_from_buffer_generic(name, suffix, reinterpret_cast<const uint8_t*>(f.data),
                                                                  f.size, key, msg.get());
            if (ret == NOTIFICATION_ERR_REFUSED || ret == UNI_INVALID_PARM || ret == CLOUD_PIC_KEY_ERR) {
                break;  // the same file is refused again, or no media key is at hand
            }
        }
        if (ret != UNI_OK) {
            last = ret;
        }
    }
    // The event itself still reaches the phone when a file could not go up.
    const int ret = notification_message_upload_generic(kDpEvent, msg.get(), kMessageTimeoutS,
                                                        notification_name_text(n->name), n->resource, n->kind,
                                                        n->extra.c_str());
    return ret != UNI_OK ? ret : last;
}

void notification_reset(void)
{
    std::lock_guard<std::recursive_mutex> lock(s_lock);
    g_notification_ctl = NOTIFICATION_CTL_S{};
    std::lock_guard<std::mutex> names(s_nameLock);
    s_lastNameTime = 0;
}
