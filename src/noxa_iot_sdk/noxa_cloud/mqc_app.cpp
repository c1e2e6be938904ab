#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/hash_crc32.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_digest.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_base/sys_serv/nq_work_queue.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_ca.h"
#include "noxa_iot_sdk/noxa_cloud/com_protocol.h"
#include "noxa_iot_sdk/noxa_cloud/dp_schema.h"
#include "noxa_iot_sdk/noxa_cloud/gw_active.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app_internal.h"
#include "noxa_iot_sdk/noxa_cloud/smart_frame.h"
#include "noxa_middleware/mqtt/mqtt_client.h"
#include "noxa_middleware/tls/noxa_tls_ca.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

namespace {

struct Handler {
    uint32_t protocol = 0;
    MQC_PROT_CB cb = nullptr;
};

std::mutex s_handlerMutex;
std::array<Handler, MQC_HANDLER_MAX> s_handlers;
uint32_t s_handlerCnt = 0;

// The link: written by start and stop under the unique lock; publishers hold it shared for as long
// as they use the handle, so a stop never frees it under them.
std::shared_mutex s_linkMutex;
MQ_HANDLE s_mq = nullptr;
std::string s_devId;
std::array<uint8_t, MQ_ENV_KEY_LEN> s_key{};

// The next sequence is taken and its packet handed to the client's send order under one lock
// (after the shared link lock): the wire carries the sequences in their order whatever the
// threads, or the cloud drops the one that comes late.
std::mutex s_pubOrderMutex;
uint32_t s_seqOut = 0;
// The cloud's sequence in this connection; MQTT task only.
uint32_t s_lastSeqIn = 0;
bool s_seqInSeen = false;

// An envelope this far from the synced clock is stale or replayed.
constexpr uint32_t kMaxClockSkewS = 300;

// The ordered worker: one thread, jobs in the order posted.
constexpr uint32_t kWorkerStack = 4096;
constexpr uint32_t kWorkerPriority = 3;
std::once_flag s_workerOnce;
WORK_THRD_POOL_HANDLE s_worker = nullptr;
int s_workerRet = UNI_OK;

std::mutex s_topicMutex;
std::array<std::string, MQC_ADDITIONAL_TOPIC_MAX> s_topics;
// One booking at a time, from its slot to its SUBSCRIBE: a failed one frees only what it took.
std::mutex s_bookMutex;

std::once_flag s_initOnce;
std::atomic<MQC_EXTRA_REG_HOOK> s_extraRegHook{nullptr};

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

void OnConnected(void)
{
    // A new connection starts the cloud's sequence anew.
    s_seqInSeen = false;
    std::vector<std::string> topics;
    {
        std::lock_guard<std::mutex> lock(s_topicMutex);
        for (const auto& t : s_topics) {
            if (!t.empty()) {
                topics.push_back(t);
            }
        }
    }
    {
        std::shared_lock<std::shared_mutex> lock(s_linkMutex);
        for (const auto& t : topics) {
            if (s_mq != nullptr && mqtt_subscribe_topic(s_mq, t.c_str()) != UNI_OK) {
                PR_ERR("resubscribe %s fails", t.c_str());
            }
        }
    }
    PR_NOTICE("mqtt online");
    gw_set_nw_stat(STAT_CLOUD_CONN);
}

// Runs with the client's state lock held: only flags here.
void OnDisconnected(void)
{
    gw_set_nw_stat(STAT_MQTT_OFFLINE);
}

// Messages of the booked topics are the unit's too.
int AcceptBooked(const char* topic, uint32_t len)
{
    std::lock_guard<std::mutex> lock(s_topicMutex);
    for (const auto& t : s_topics) {
        if (!t.empty() && t.size() == len && memcmp(t.data(), topic, len) == 0) {
            return 1;
        }
    }
    return 0;
}

void OnDenied(uint8_t times)
{
    PR_ERR("mqtt connect refused %u times", times);
}

// ---- data points and queries on the work queue ----------------------------------------------

struct DpJob {
    cJSON* dps;
    uint32_t t;
};

void DpCmdWork(void* data)
{
    std::unique_ptr<DpJob> job(static_cast<DpJob*>(data));
    JsonPtr dps(job->dps, cJSON_Delete);
    RECV_OBJ_DP_S* obj = nullptr;
    std::vector<DP_RAW_ENTRY_S> raw;
    if (dp_schema_convert(dps.get(), job->t, &obj, &raw) != UNI_OK) {
        return;
    }
    if (obj != nullptr) {
        sf_obj_dp_dispatch(obj);
        Free(obj);
    }
    for (const auto& r : raw) {
        auto* rec = static_cast<RECV_RAW_DP_S*>(Malloc(sizeof(RECV_RAW_DP_S) + r.data.size() + 1));
        if (rec == nullptr) {
            continue;
        }
        rec->cmd_tp = 1;
        rec->cid = nullptr;
        rec->dpid = r.id;
        rec->len = static_cast<uint32_t>(r.data.size());
        memcpy(rec->data, r.data.data(), r.data.size());
        sf_raw_dp_dispatch(rec);
        Free(rec);
    }
}

void DpQueryWork(void* data)
{
    auto* query = static_cast<DP_QUERY_S*>(data);
    sf_dp_query_dispatch(query);
    Free(query);
}

void HandleDpCmd(const MQ_ENV_MSG_S& msg)
{
    cJSON* dps = cJSON_GetObjectItemCaseSensitive(msg.data, "dps");
    if (!cJSON_IsObject(dps)) {
        PR_ERR("dp command without dps, dropped");
        return;
    }
    auto* job = new DpJob{cJSON_Duplicate(dps, 1), msg.t};
    if (job->dps == nullptr || mqc_work_post(DpCmdWork, job) != UNI_OK) {
        PR_ERR("dp command not queued");
        cJSON_Delete(job->dps);
        delete job;
    }
}

void HandleDpQuery(const MQ_ENV_MSG_S& msg)
{
    const cJSON* ids = cJSON_GetObjectItemCaseSensitive(msg.data, "dpId");
    if (!cJSON_IsArray(ids)) {
        PR_ERR("dp query without dpId, dropped");
        return;
    }
    uint32_t cnt = static_cast<uint32_t>(cJSON_GetArraySize(ids));
    auto* query = static_cast<DP_QUERY_S*>(Malloc(sizeof(DP_QUERY_S) + cnt + 1));
    if (query == nullptr) {
        return;
    }
    query->cid = nullptr;
    query->cnt = 0;
    const cJSON* id = nullptr;
    cJSON_ArrayForEach(id, ids)
    {
        int64_t v = 0;
        if (dp_json_integer(id, &v) && v >= 1 && v <= 255) {
            query->dpid[query->cnt++] = static_cast<uint8_t>(v);
        } else {
            PR_ERR("dp query: bad id dropped");
        }
    }
    if (mqc_work_post(DpQueryWork, query) != UNI_OK) {
        PR_ERR("dp query not queued");
        Free(query);
    }
}

void StopWork(void*)
{
    mqc_app_stop();
    // Unactivated: the unit waits for a new pairing, which brings it back without a restart.
    gw_active_restart();
}

void HandleReset(const MQ_ENV_MSG_S& msg)
{
    int64_t type = -1;
    if (!dp_json_integer(cJSON_GetObjectItemCaseSensitive(msg.data, "type"), &type) || (type != 0 && type != 1)) {
        PR_ERR("reset of unknown type, dropped");
        return;
    }
    PR_NOTICE("cloud reset type %d", static_cast<int>(type));
    // The record goes first: a unit that restarts in the reset callback must come up unactivated.
    gw_active_clear();
    // The link ends off this thread: deleting it waits for the task that runs us.
    if (nq_work_queue_add(StopWork, nullptr) != UNI_OK) {
        PR_ERR("link stop not queued");
    }
    gw_call_reset(type == 0 ? GW_REMOTE_UNACTIVE : GW_REMOTE_RESET_FACTORY);
}

template <size_t N>
bool CopyText(char (&dst)[N], const cJSON* item)
{
    if (!cJSON_IsString(item) || strlen(item->valuestring) >= N) {
        return false;
    }
    strcpy(dst, item->valuestring);
    return true;
}

void HandleUpgrade(const MQ_ENV_MSG_S& msg)
{
    NOXA_FW_INFO_S fw = {};
    int64_t size = 0;
    if (!CopyText(fw.fw_url, cJSON_GetObjectItemCaseSensitive(msg.data, "url")) ||
        !CopyText(fw.fw_md5, cJSON_GetObjectItemCaseSensitive(msg.data, "md5")) ||
        !CopyText(fw.sw_ver, cJSON_GetObjectItemCaseSensitive(msg.data, "version")) ||
        !dp_json_integer(cJSON_GetObjectItemCaseSensitive(msg.data, "size"), &size) || size < 0 || size > UINT32_MAX) {
        PR_ERR("upgrade notice malformed, dropped");
        return;
    }
    fw.tp = 0;
    fw.file_size = static_cast<uint32_t>(size);
    PR_NOTICE("upgrade offered: version %s, %u bytes", fw.sw_ver, fw.file_size);
    gw_call_ug_inform(&fw);
}

void HandleSummerTable(const MQ_ENV_MSG_S& msg)
{
    const cJSON* rows = cJSON_GetObjectItemCaseSensitive(msg.data, "dst");
    if (!cJSON_IsArray(rows)) {
        PR_ERR("summer table malformed, dropped");
        return;
    }
    gw_apply_summer_table(rows);
}

MQC_PROT_CB FindHandler(int32_t protocol)
{
    std::lock_guard<std::mutex> lock(s_handlerMutex);
    for (uint32_t i = 0; i < s_handlerCnt; ++i) {
        if (static_cast<int32_t>(s_handlers[i].protocol) == protocol) {
            return s_handlers[i].cb;
        }
    }
    return nullptr;
}

void Dispatch(const MQ_ENV_MSG_S& msg)
{
    switch (msg.protocol) {
    case PRO_CMD:
        HandleDpCmd(msg);
        return;
    case PRO_QUERY_DP:
        HandleDpQuery(msg);
        return;
    case PRO_GW_RESET:
        HandleReset(msg);
        return;
    case PRO_UPGD_REQ:
        HandleUpgrade(msg);
        return;
    case PRO_UG_SUMMER_TABLE:
        HandleSummerTable(msg);
        return;
    default:
        break;
    }
    MQC_PROT_CB cb = FindHandler(msg.protocol);
    if (cb == nullptr) {
        // Worth seeing: the cloud speaks a protocol this build does not know.
        PR_NOTICE("protocol %d has no handler", msg.protocol);
        return;
    }
    int ret = cb(msg.root);
    if (ret != 0) {
        PR_ERR("protocol %d handler returns %d", msg.protocol, ret);
    }
}

bool ParseMqUrl(const char* url, std::string* host, uint16_t* port, uint8_t* tls)
{
    if (url == nullptr) {
        return false;
    }
    std::string u(url);
    if (u.rfind("ssl://", 0) == 0) {
        *tls = 1;
    } else if (u.rfind("tcp://", 0) == 0) {
        *tls = 0;
    } else {
        return false;
    }
    u = u.substr(6);
    size_t colon = u.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    char* end = nullptr;
    long p = strtol(u.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || p < 1 || p > 65535) {
        return false;
    }
    *host = u.substr(0, colon);
    *port = static_cast<uint16_t>(p);
    return true;
}

}  // namespace

// ---- shared with the publishes -------------------------------------------------------------

int mqc_publish(const char* topic, int32_t protocol, const char* data_json, uint8_t qos, uint32_t timeout_s,
                bool wait)
{
    if (data_json == nullptr) {
        return UNI_INVALID_PARM;
    }
    std::shared_lock<std::shared_mutex> lock(s_linkMutex);
    if (s_mq == nullptr || mqtt_get_conn_stat(s_mq) != 1) {
        PR_DEBUG("offline: protocol %d not sent", protocol);
        return MQC_ERR_OFFLINE;
    }
    std::string out = topic != nullptr ? std::string(topic) : "smart/device/out/" + s_devId;
    std::vector<uint8_t> env;
    std::unique_lock<std::mutex> order(s_pubOrderMutex);
    int ret = mq_env_pack(++s_seqOut, protocol, static_cast<uint32_t>(uni_time_get_posix()), data_json, s_key.data(),
                          &env);
    if (ret != MQ_ENV_OK) {
        PR_ERR("pack protocol %d fails %d", protocol, ret);
        return ret;
    }
    if (!wait) {
        return mqtt_publish_async(s_mq, out.c_str(), qos, env.data(), static_cast<uint32_t>(env.size()), timeout_s,
                                  nullptr, nullptr);
    }
    // The client always calls back once the publish went out (PUBACK, time-out, reset or delete).
    struct Waiter {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
        int result = 0;
    } waiter;
    auto done = [](int op_ret, void* prv) {
        auto* w = static_cast<Waiter*>(prv);
        std::lock_guard<std::mutex> l(w->m);
        w->result = op_ret;
        w->done = true;
        w->cv.notify_all();
    };
    ret = mqtt_publish_async(s_mq, out.c_str(), 1, env.data(), static_cast<uint32_t>(env.size()), timeout_s, done,
                             &waiter);
    order.unlock();
    if (ret != UNI_OK) {
        return ret;
    }
    std::unique_lock<std::mutex> l(waiter.m);
    waiter.cv.wait(l, [&] { return waiter.done; });
    return waiter.result;
}

std::string mqc_in_topic(void)
{
    char devId[GW_ID_LEN + 1];
    gw_get_dev_id(devId);
    return std::string("smart/device/in/") + devId;
}

std::string mqc_out_topic(void)
{
    char devId[GW_ID_LEN + 1];
    gw_get_dev_id(devId);
    return std::string("smart/device/out/") + devId;
}

std::string mqc_passwd(const char* local_key, const char* dev_id)
{
    std::string text = std::string(local_key != nullptr ? local_key : "") + (dev_id != nullptr ? dev_id : "");
    UNI_MD5_CTX_S ctx;
    uint8_t digest[UNI_MD5_DIGEST_LEN];
    uni_md5_init(&ctx);
    uni_md5_update(&ctx, reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()));
    uni_md5_final(&ctx, digest);
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (uint8_t b : digest) {
        hex += kHex[b >> 4];
        hex += kHex[b & 15];
    }
    return hex.substr(8, 16);
}

int mqc_app_init(void)
{
    std::call_once(s_initOnce, [] {
        int ret = iot_register_extra_mqt_cb();
        if (ret != UNI_OK) {
            PR_ERR("extra mqtt protocols not registered %d", ret);
        }
    });
    return UNI_OK;
}

int mqc_app_start(const char* mq_url)
{
    mqc_app_init();
    char devId[GW_ID_LEN + 1];
    char localKey[GW_LOCAL_KEY_LEN + 1];
    gw_get_active_ids(devId, localKey);
    std::string host;
    uint16_t port = 0;
    uint8_t tls = 0;
    if (devId[0] == '\0' || strlen(localKey) != MQ_ENV_KEY_LEN || !ParseMqUrl(mq_url, &host, &port, &tls)) {
        PR_ERR("no activation record or bad mqtt url");
        return UNI_INVALID_PARM;
    }
    std::unique_lock<std::shared_mutex> lock(s_linkMutex);
    if (s_mq != nullptr) {
        PR_ERR("mqtt link runs already");
        return UNI_COM_ERROR;
    }
    s_devId = devId;
    memcpy(s_key.data(), localKey, MQ_ENV_KEY_LEN);
    if (tls != 0 && !cloud_has_ca(host.c_str())) {
        cloud_store_ca(host.c_str(), g_noxa_tls_builtin_ca, g_noxa_tls_builtin_ca_len);
    }
    std::string inTopic = "smart/device/in/" + s_devId;
    std::string passwd = mqc_passwd(localKey, devId);
    MQ_CLIENT_INFO_S info = {inTopic.c_str(), s_devId.c_str(), s_devId.c_str(), passwd.c_str()};
    const char* hosts[1] = {host.c_str()};
    MQ_HANDLE h = nullptr;
    int ret = create_mqtt_hand(hosts, 1, port, tls, &info, 0, mqc_app_recv, &h);
    if (ret != UNI_OK) {
        PR_ERR("create_mqtt_hand fails %d", ret);
        return ret;
    }
    mqtt_register_cb(h, OnConnected, OnDisconnected, OnDenied, nullptr, nullptr);
    mqtt_set_topic_accept_cb(h, AcceptBooked);
    s_mq = h;
    ret = mqtt_client_start(h, "mqtt_app");
    if (ret != UNI_OK) {
        PR_ERR("mqtt_client_start fails %d", ret);
        delete_mqtt_hand(h);
        s_mq = nullptr;
        return ret;
    }
    PR_NOTICE("mqtt link to %s:%u (%s) as %s", host.c_str(), port, tls ? "tls" : "tcp", s_devId.c_str());
    return UNI_OK;
}

int mqc_app_stop(void)
{
    MQ_HANDLE h = nullptr;
    {
        std::unique_lock<std::shared_mutex> lock(s_linkMutex);
        h = s_mq;
        s_mq = nullptr;
    }
    if (h != nullptr) {
        delete_mqtt_hand(h);
        gw_set_nw_stat(STAT_MQTT_OFFLINE);
    }
    return UNI_OK;
}

int mqc_app_online(void)
{
    std::shared_lock<std::shared_mutex> lock(s_linkMutex);
    return s_mq != nullptr && mqtt_get_conn_stat(s_mq) == 1 ? 1 : 0;
}

int mqc_app_register_cb(uint32_t protocol, MQC_PROT_CB cb)
{
    if (cb == nullptr) {
        return UNI_INVALID_PARM;
    }
    std::lock_guard<std::mutex> lock(s_handlerMutex);
    for (uint32_t i = 0; i < s_handlerCnt; ++i) {
        if (s_handlers[i].protocol == protocol) {
            s_handlers[i].cb = cb;
            return UNI_OK;
        }
    }
    if (s_handlerCnt >= MQC_HANDLER_MAX) {
        PR_ERR("cannot register cbs. reach max %d", MQC_HANDLER_MAX);
        return UNI_COM_ERROR;
    }
    s_handlers[s_handlerCnt++] = Handler{protocol, cb};
    return UNI_OK;
}

void mqc_app_recv(uint8_t* data, uint32_t len)
{
    MQ_ENV_MSG_S msg;
    int ret = mq_env_unpack(data, len, s_key.data(), &msg);
    if (ret != MQ_ENV_OK) {
        PR_ERR("mqtt message dropped: %s (%u bytes)", mq_env_err_text(ret), len);
        return;
    }
    JsonPtr root(msg.root, cJSON_Delete);
    // A captured command sent again must not act again: its sequence is not above the last one
    // of this connection, and after a reconnect its time gives it away.
    if (s_seqInSeen && msg.seq <= s_lastSeqIn) {
        PR_ERR("mqtt message dropped: sequence %u not above %u", msg.seq, s_lastSeqIn);
        return;
    }
    if (uni_time_check_sync() == UNI_OK) {
        int64_t skew = static_cast<int64_t>(msg.t) - static_cast<int64_t>(uni_time_get_posix());
        if (skew > kMaxClockSkewS || skew < -static_cast<int64_t>(kMaxClockSkewS)) {
            PR_ERR("mqtt message dropped: time %u is %lld s from the clock", msg.t, static_cast<long long>(skew));
            return;
        }
    }
    s_lastSeqIn = msg.seq;
    s_seqInSeen = true;
    PR_DEBUG("mqtt protocol %d seq %u", msg.protocol, msg.seq);
    // The acknowledgement says the message was taken, so it goes before the message acts: a
    // reset restarts the unit from its handler, and commands run later on the ordered worker.
    int64_t ackId = 0;
    if (cJSON_IsObject(msg.data) && dp_json_integer(cJSON_GetObjectItemCaseSensitive(msg.data, "ackId"), &ackId)) {
        char ack[48];
        snprintf(ack, sizeof(ack), "{\"ackId\":%lld}", static_cast<long long>(ackId));
        ret = mqc_publish(nullptr, PRO_MQ_ACK, ack, 0, 0, false);
        if (ret != UNI_OK) {
            PR_ERR("ack %lld not sent %d", static_cast<long long>(ackId), ret);
        }
    }
    Dispatch(msg);
}

int mqc_book_additional_topic(const char* topic)
{
    if (topic == nullptr || topic[0] == '\0') {
        return UNI_INVALID_PARM;
    }
    std::lock_guard<std::mutex> booking(s_bookMutex);
    {
        std::lock_guard<std::mutex> lock(s_topicMutex);
        auto slot = std::find(s_topics.begin(), s_topics.end(), topic);
        if (slot == s_topics.end()) {
            slot = std::find_if(s_topics.begin(), s_topics.end(), [](const std::string& t) { return t.empty(); });
            if (slot == s_topics.end()) {
                PR_ERR("no slot for topic %s", topic);
                return UNI_COM_ERROR;
            }
            *slot = topic;
        }
    }
    int ret = UNI_OK;
    {
        std::shared_lock<std::shared_mutex> lock(s_linkMutex);
        if (s_mq == nullptr || mqtt_get_conn_stat(s_mq) != 1) {
            return UNI_OK;  // subscribed when the link comes up
        }
        ret = mqtt_subscribe_topic(s_mq, topic);
    }
    if (ret != UNI_OK) {
        // Not subscribed: the caller books again, and the slot stays free meanwhile.
        PR_ERR("subscribe %s fails %d, not booked", topic, ret);
        std::lock_guard<std::mutex> lock(s_topicMutex);
        auto slot = std::find(s_topics.begin(), s_topics.end(), topic);
        if (slot != s_topics.end()) {
            slot->clear();
        }
        return UNI_COM_ERROR;
    }
    return UNI_OK;
}

int mqc_book_wakeup_topic(void)
{
    std::shared_lock<std::shared_mutex> lock(s_linkMutex);
    if (s_mq == nullptr) {
        return UNI_INVALID_PARM;
    }
    std::string topic = "smart/device/wakeup/" + s_devId;
    return mqtt_book_wakeup_topic(s_mq, topic.c_str());
}

int mqc_get_wakeup_data(uint8_t* buf, uint32_t* len)
{
    if (buf == nullptr || len == nullptr || *len < MQC_WAKEUP_DATA_LEN) {
        if (len != nullptr) {
            *len = MQC_WAKEUP_DATA_LEN;
        }
        return UNI_INVALID_PARM;
    }
    char devId[GW_ID_LEN + 1];
    gw_get_dev_id(devId);
    uint32_t crc = hash_crc32(reinterpret_cast<const uint8_t*>(devId), static_cast<uint32_t>(strlen(devId)));
    memcpy(buf, NOXA_MQTT_VERSION, 3);
    buf[3] = static_cast<uint8_t>(crc >> 24);
    buf[4] = static_cast<uint8_t>(crc >> 16);
    buf[5] = static_cast<uint8_t>(crc >> 8);
    buf[6] = static_cast<uint8_t>(crc);
    buf[7] = 'W';
    buf[8] = 'K';
    *len = MQC_WAKEUP_DATA_LEN;
    return UNI_OK;
}

int mqc_get_mqtt_socket_fd(void)
{
    std::shared_lock<std::shared_mutex> lock(s_linkMutex);
    return s_mq != nullptr ? mqtt_get_socket_fd(s_mq) : -1;
}

int mqc_work_post(MQC_WORK_FUNC fn, void* data)
{
    if (fn == nullptr) {
        return UNI_INVALID_PARM;
    }
    std::call_once(s_workerOnce, [] {
        s_workerRet = CreateWorkThrdPool(&s_worker, kWorkerStack, kWorkerPriority, 1);
        if (s_workerRet != UNI_OK) {
            PR_ERR("mqtt worker not created %d", s_workerRet);
            s_worker = nullptr;
        }
    });
    if (s_worker == nullptr) {
        return s_workerRet != UNI_OK ? s_workerRet : UNI_COM_ERROR;
    }
    return AddWorkToThrdPool(s_worker, fn, data);
}

void mqc_app_set_extra_reg_hook(MQC_EXTRA_REG_HOOK hook)
{
    s_extraRegHook.store(hook);
}

int iot_register_extra_mqt_cb(void)
{
    MQC_EXTRA_REG_HOOK hook = s_extraRegHook.load();
    if (hook == nullptr) {
        PR_DEBUG("extra mqtt protocols: none registered");
        return UNI_OK;
    }
    PR_DEBUG("extra mqtt protocols: registering");
    return hook();
}
