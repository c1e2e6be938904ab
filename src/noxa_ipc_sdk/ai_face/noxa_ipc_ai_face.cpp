// The cloud side of faces: the face-picture storage, the signed and new face reports and the
// pictures of the known faces.
#include "ai_face_internal.h"
#include "noxa_ipc_sdk/ai_face/noxa_ipc_ai_face.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_secret.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_iot_sdk/com_sdk/com_mmod.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_operation.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_pic.h"
#include "noxa_iot_sdk/noxa_cloud/iot_httpc.h"
#include "noxa_iot_sdk/online_log/log_serv.h"
#include "noxa_ipc_sdk/noxa_ipc_mqt_proccess.h"
#include "noxa_ipc_sdk/noxa_ipc_notification.h"
#include "platform/board_file.h"
#include "platform/board_path.h"

#include <cjson/cJSON.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

namespace {

constexpr int kCaTries = 8;
constexpr size_t kMessageMax = 511;
constexpr int kNewFaceFeature = 10;
constexpr int kReportSigned = 1;
constexpr int kReportNew = 2;

// Tags of the "ai_face" log sequence.
enum : uint8_t { kSeqOp = 1, kSeqStep = 2, kSeqResult = 3 };
// Steps of a report and of the download of the known faces.
enum : uint32_t { kStepPath = 1, kStepFacePic = 2, kStepScenePic = 3, kStepMessage = 4, kStepList = 5, kStepPic = 6 };

std::atomic<NOXA_AI_FACE_ID_CB> s_idCb{nullptr};
std::mutex s_seqLock;
LOG_SEQ_HANDLE s_seq = nullptr;

// One report or download at a time: the object-storage uploads are serialised by their callers,
// and the configuration they use is the one this caller fetched.
std::mutex s_opLock;
std::mutex s_cfgLock;
NOXA_AI_FACE_STORAGE_CFG_S s_cfg;

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

void SeqBegin(const char* op)
{
    std::lock_guard<std::mutex> lock(s_seqLock);
    if (s_seq == nullptr) {
        return;
    }
    clear_log_seq(s_seq);
    LOG_SEQ_ENTRY_S e = log_seq_str(kSeqOp, op);
    insert_log_seq(s_seq, &e);
}

void SeqStep(uint32_t step)
{
    std::lock_guard<std::mutex> lock(s_seqLock);
    if (s_seq != nullptr) {
        LOG_SEQ_ENTRY_S e = log_seq_uint(kSeqStep, step);
        insert_log_seq(s_seq, &e);
    }
}

// An error freezes the sequence and sends it to the online log.
int SeqError(int code)
{
    std::lock_guard<std::mutex> lock(s_seqLock);
    if (s_seq != nullptr) {
        LOG_SEQ_ENTRY_S e = log_seq_int(kSeqResult, code);
        insert_error_log_seq(s_seq, &e);
    }
    return code;
}

// A text of the reply into a field; a missing key, another type or a text too long leaves it
// empty. A number (an expiration time) is kept as its decimal text.
bool TakeText(const cJSON* obj, const char* key, char* out, size_t size)
{
    out[0] = '\0';
    const cJSON* v = cJSON_GetObjectItemCaseSensitive(obj, key);
    if (cJSON_IsString(v) && strlen(v->valuestring) < size) {
        snprintf(out, size, "%s", v->valuestring);
        return true;
    }
    if (cJSON_IsNumber(v) && std::isfinite(v->valuedouble) && std::fabs(v->valuedouble) < 1e15) {
        snprintf(out, size, "%lld", static_cast<long long>(v->valuedouble));
        return true;
    }
    PR_ERR("fail to get value for key %s", key);
    return false;
}

// The host the pictures go to (S3: the bucket's host; Azure: the account's), as "https://host".
std::string UploadUrl(const NOXA_AI_FACE_STORAGE_CFG_S& c)
{
    const bool azure = strcmp(c.provider, "azure") == 0;
    return std::string("https://") + (azure ? std::string(c.ak) + c.endpoint : std::string(c.bucket) + "." + c.endpoint);
}

// "scheme://host[:port]" of a URL: what the CA is stored under.
std::string HostUrl(const std::string& url)
{
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos) {
        return "";
    }
    const size_t end = url.find_first_of("/?#", scheme + 3);
    return url.substr(0, end);
}

template <size_t N>
bool Fits(char (&dst)[N], const char* src)
{
    if (strlen(src) >= N) {
        return false;
    }
    snprintf(dst, N, "%s", src);
    return true;
}

// The object-storage record of the face configuration; false when a field does not fit it.
bool StorageCfg(const NOXA_AI_FACE_STORAGE_CFG_S& c, CLOUD_STORAGE_CFG_S* out)
{
    *out = CLOUD_STORAGE_CFG_S{};
    return Fits(out->provider, c.provider) && Fits(out->ak, c.ak) && Fits(out->sk, c.sk) &&
           Fits(out->bucket, c.bucket) && Fits(out->endpoint, c.endpoint) && Fits(out->region, c.region) &&
           Fits(out->token, c.token) && Fits(out->media_path, c.path);
}

// Encrypted under the media key with a random IV, then uploaded.
int noxa_ipc_ai_face_upload_pic(CLOUD_STORAGE_CFG_S* cfg, const char* name, const uint8_t* data, uint32_t len)
{
    uint8_t* enc = nullptr;
    uint32_t encLen = 0;
    int ret = cloud_encrypt_pic_with_random_iv(data, len, &enc, &encLen, nullptr);
    if (ret == UNI_OK) {
        ret = cloud_put_data_to_file(cfg, "https", CLOUD_STORAGE_KIND_FACE, name, "image/jpeg", enc, encLen);
        free(enc);
    }
    if (ret != UNI_OK) {
        PR_ERR("fail to upload file %s", name);
        return AI_FACE_ERR_UPLOAD;
    }
    return UNI_OK;
}

// Both pictures, then the message of the kind (1 signed, 2 new); the new face's id for kind 2.
int Report(int kind, const NOXA_AI_FACE_REPORT_S* report, int* newId)
{
    const bool isNew = kind == kReportNew;
    if (report == nullptr) {
        PR_ERR("face_id param is null");
        return UNI_COM_ERROR;
    }
    if (report->face_data == nullptr || report->face_len == 0 || report->scene_data == nullptr ||
        report->scene_len == 0) {
        PR_ERR("face report without its pictures");
        return UNI_COM_ERROR;
    }
    std::lock_guard<std::mutex> op(s_opLock);
    SeqBegin(isNew ? "new" : "signed");
    // The pictures are named by the second: two reports of one second would take one name, the
    // second replacing the first in the store, so the next free second is taken.
    const TIME_T t = notification_name_time(uni_time_get_posix());
    SeqStep(kStepPath);
    int ret = noxa_ipc_ai_face_update_path();
    if (ret != UNI_OK) {
        PR_ERR("update_path_flag have not finish");
        return SeqError(ret);
    }
    NOXA_AI_FACE_STORAGE_CFG_S c;
    noxa_ipc_ai_face_get_storage_cfg(&c);
    CLOUD_STORAGE_CFG_S store;
    if (!StorageCfg(c, &store)) {
        PR_ERR("face storage configuration does not fit");
        return SeqError(UNI_COM_ERROR);
    }
    char face[32];
    char scene[32];
    snprintf(face, sizeof(face), "face_%u.jpg", static_cast<unsigned>(t));
    snprintf(scene, sizeof(scene), "scene_%u.jpg", static_cast<unsigned>(t));
    SeqStep(kStepFacePic);
    ret = noxa_ipc_ai_face_upload_pic(&store, face, report->face_data, report->face_len);
    if (ret == UNI_OK) {
        SeqStep(kStepScenePic);
        ret = noxa_ipc_ai_face_upload_pic(&store, scene, report->scene_data, report->scene_len);
    }
    if (ret != UNI_OK) {
        PR_ERR(isNew ? "new face picture upload failed  ret:%d\n" : " signed face picture upload failed ret:%d\n", ret);
        return SeqError(ret);
    }
    // The message is built as JSON, so a path the cloud handed out cannot break out of its text.
    JsonPtr msg(cJSON_CreateObject(), cJSON_Delete);
    const std::string facePath = std::string(c.path) + "/" + face;
    const std::string scenePath = std::string(c.path) + "/" + scene;
    if (isNew) {
        cJSON_AddNumberToObject(msg.get(), "angle", 0);
        cJSON_AddNumberToObject(msg.get(), "v", 0);
        cJSON_AddStringToObject(msg.get(), "face", facePath.c_str());
        cJSON_AddStringToObject(msg.get(), "scene", scenePath.c_str());
        cJSON_AddStringToObject(msg.get(), "scores", std::to_string(report->score).c_str());
        cJSON_AddStringToObject(msg.get(), "feature", std::to_string(kNewFaceFeature).c_str());
        cJSON_AddNumberToObject(msg.get(), "sampleVersion", 0);
    } else {
        cJSON_AddNumberToObject(msg.get(), "v", 0);
        cJSON_AddStringToObject(msg.get(), "face", facePath.c_str());
        cJSON_AddStringToObject(msg.get(), "scene", scenePath.c_str());
        cJSON_AddNumberToObject(msg.get(), "sampleVersion", report->sample_version);
        cJSON_AddNumberToObject(msg.get(), "faceId", report->face_id);
    }
    char* text = cJSON_PrintUnformatted(msg.get());
    if (text == nullptr || strlen(text) > kMessageMax) {
        PR_ERR("face message too long");
        cJSON_free(text);
        return SeqError(UNI_COM_ERROR);
    }
    SeqStep(kStepMessage);
    cJSON* reply = nullptr;
    ret = http_ipc_ai_face_report(kind, text, &reply);
    cJSON_free(text);
    JsonPtr answer(reply, cJSON_Delete);
    if (ret != UNI_OK) {
        PR_ERR(isNew ? "new face message upload failed ret:%d\n" : "signed face message upload failed ret:%d\n", ret);
        return SeqError(ret);
    }
    if (!isNew) {
        PR_NOTICE("face_signed_report end");
        return UNI_OK;
    }
    // The cloud's id, in a text or a number: a decimal number that fits an int.
    const cJSON* id = cJSON_GetObjectItemCaseSensitive(answer.get(), "faceId");
    long value = -1;
    if (cJSON_IsString(id) && id->valuestring[0] != '\0' && strlen(id->valuestring) <= 10) {
        char* end = nullptr;
        value = strtol(id->valuestring, &end, 10);
        if (*end != '\0' || id->valuestring[0] == '-' || id->valuestring[0] == '+' || value > INT_MAX) {
            value = -1;
        }
    } else if (cJSON_IsNumber(id) && id->valuedouble >= 0 && id->valuedouble <= INT_MAX &&
               id->valuedouble == std::floor(id->valuedouble)) {
        value = static_cast<long>(id->valuedouble);
    }
    if (value < 0) {
        PR_ERR("new face id is no number");
        return SeqError(AI_FACE_ERR_REPLY);
    }
    PR_NOTICE("noxa_ipc_ai_face_new_report id:%d\n", static_cast<int>(value));
    if (newId != nullptr) {
        *newId = static_cast<int>(value);
    }
    PR_NOTICE("face_new_report end");
    return UNI_OK;
}

// One known face's picture into the store's picture folder, decrypted with the entry's key.
int noxa_ipc_ai_face_download_pic(const char* url, bool encrypted, const char* key, const std::string& local)
{
    const std::string host = HostUrl(url);
    if (host.rfind("https://", 0) == 0) {
        int ret = cloud_require_new_ca(host.c_str(), CLOUD_CA_KIND_CLOUD);
        if (ret != UNI_OK) {
            PR_ERR("no CA for %s: %d", host.c_str(), ret);
            return ret;
        }
    }
    HTTPC_PIC_BUF_S pic = {};
    int ret = httpc_get_pic(url, &pic);
    if (ret != UNI_OK) {
        if (ret == UNI_MALLOC_FAILED) {
            PR_ERR("Malloc failed!");
        }
        PR_ERR("download file fails %d %s", ret, host.c_str());
        return ret;
    }
    std::unique_ptr<uint8_t, decltype(&free)> raw(pic.data, free);
    uint8_t* data = pic.data;
    uint32_t len = pic.len;
    std::unique_ptr<uint8_t, decltype(&free)> plain(nullptr, free);
    if (encrypted) {
        uint8_t* out = nullptr;
        uint32_t outLen = 0;
        ret = cloud_decrypt_pic_with_random_iv(pic.data, pic.len, &out, &outLen, key);
        if (ret != UNI_OK) {
            PR_ERR("downlaod file fails %d %s", ret, host.c_str());
            return ret;
        }
        plain.reset(out);
        data = out;
        len = outLen;
    }
    if (BoardWriteFileWhole(local.c_str(), data, len) != 0) {
        PR_ERR("open fail\n");
        return AI_FACE_ERR_FILE;
    }
    return UNI_OK;
}

}  // namespace

void log_ai_face_detect_err_log_seq_cb(LOG_SEQ_HANDLE seq)
{
    char* text = nullptr;
    if (make_log_seq_string(seq, &text) != UNI_OK || text == nullptr || text[0] == '\0') {
        PR_ERR("err log is NULL");
        Free(text);
        return;
    }
    const uint16_t id = log_serv_get_msg_id();
    if (id == LOG_SERV_NO_MSG_ID) {
        PR_ERR("log service not inited, drop: %s", text);
        Free(text);
        return;
    }
    // The service owns the text (with its NUL) from here.
    int ret = cmmod_post_msg(id, text, static_cast<uint32_t>(strlen(text) + 1));
    if (ret != UNI_OK) {
        PR_ERR("post log seq fails %d", ret);
    }
}

int noxa_ipc_ai_face_detect_storage_init(NOXA_AI_FACE_CFG_CB cfg_cb, NOXA_AI_FACE_ID_CB face_id_cb)
{
    {
        std::lock_guard<std::mutex> lock(s_seqLock);
        if (s_seq == nullptr) {
            int ret = create_log_seq("ai_face", log_ai_face_detect_err_log_seq_cb, &s_seq);
            if (ret != UNI_OK) {
                PR_ERR("create log seq <http> fail..%d", ret);
                s_seq = nullptr;
                return ret;
            }
        }
    }
    // Face-data changes come as MQTT protocol 304.
    noxa_ipc_mqt_set_ai_data_sync_cb(cfg_cb);
    s_idCb = face_id_cb;
    return UNI_OK;
}

int noxa_ipc_ai_face_id_notify(int face_id)
{
    NOXA_AI_FACE_ID_CB cb = s_idCb.load();
    if (cb == nullptr) {
        return UNI_COM_ERROR;
    }
    cb(face_id);
    return UNI_OK;
}

int noxa_ipc_ai_face_update_path(void)
{
    cJSON* reply = nullptr;
    int ret = http_ipc_ai_face_storage_config_get_v3(&reply);
    JsonPtr r(reply, cJSON_Delete);
    if (ret != UNI_OK) {
        if (ret != IOT_API_ERR_NO_CONFIG) {
            PR_ERR("fail to get ai detect config ret %d", ret);
        }
        return ret;
    }
    auto c = std::make_unique<NOXA_AI_FACE_STORAGE_CFG_S>();
    *c = NOXA_AI_FACE_STORAGE_CFG_S{};
    const struct {
        const char* key;
        char* field;
    } texts[] = {{"ak", c->ak},           {"sk", c->sk},         {"expiration", c->expiration},
                 {"bucket", c->bucket},   {"endpoint", c->endpoint}, {"region", c->region},
                 {"provider", c->provider}, {"mode", c->mode}};
    for (const auto& t : texts) {
        TakeText(r.get(), t.key, t.field, AI_FACE_CFG_TEXT_LEN);
    }
    const cJSON* paths = cJSON_GetObjectItemCaseSensitive(r.get(), "pathConfig");
    if (!TakeText(r.get(), "token", c->token, sizeof(c->token)) ||
        !TakeText(paths, "face", c->path, sizeof(c->path)) || c->bucket[0] == '\0' || c->endpoint[0] == '\0') {
        return AI_FACE_ERR_REPLY;
    }
    // The CA of the host the pictures go to.
    const std::string url = UploadUrl(*c);
    ret = UNI_COM_ERROR;
    for (int i = 0; i < kCaTries && ret != UNI_OK; ++i) {
        ret = cloud_require_new_ca(url.c_str(), CLOUD_CA_KIND_CLOUD);
    }
    if (ret != UNI_OK) {
        PR_ERR("update ai detect config fail");
        return ret;
    }
    std::lock_guard<std::mutex> lock(s_cfgLock);
    s_cfg = *c;
    return UNI_OK;
}

int noxa_ipc_ai_face_get_storage_cfg(NOXA_AI_FACE_STORAGE_CFG_S* cfg)
{
    if (cfg == nullptr) {
        return UNI_INVALID_PARM;
    }
    std::lock_guard<std::mutex> lock(s_cfgLock);
    *cfg = s_cfg;
    return UNI_OK;
}

int noxa_ipc_ai_face_signed_report(const NOXA_AI_FACE_REPORT_S* report)
{
    return Report(kReportSigned, report, nullptr);
}

int noxa_ipc_ai_face_new_report(const NOXA_AI_FACE_REPORT_S* report, int* new_id)
{
    return Report(kReportNew, report, new_id);
}

int noxa_ipc_ai_face_update_cloud_face(void)
{
    std::string store;
    if (!ai_face::StorePath(&store)) {
        return OPRT_LOCAL_AI_FACE_NOT_INIT;
    }
    std::lock_guard<std::mutex> op(s_opLock);
    SeqBegin("update");
    PR_NOTICE("noxa_ipc_ai_face_get_all_url\n");
    SeqStep(kStepList);
    cJSON* reply = nullptr;
    int ret = http_ipc_ai_face_report(0, nullptr, &reply);
    JsonPtr r(reply, cJSON_Delete);
    if (ret != UNI_OK) {
        PR_ERR("http fail");
        PR_ERR("noxa_ipc_ai_face_get_all_url fail\n");
        return SeqError(ret);
    }
    const cJSON* list = cJSON_GetObjectItemCaseSensitive(r.get(), "acquaintance");
    if (!cJSON_IsArray(list)) {
        PR_ERR("acquaintance is error\n");
        return SeqError(AI_FACE_ERR_REPLY);
    }
    const int n = cJSON_GetArraySize(list);
    if (n == 0) {
        PR_NOTICE("client_list = NULL");
        return UNI_OK;
    }
    PR_NOTICE("get child seq:%d", n);
    // Pictures are kept apart from the feature files: a picture under a face id's name would
    // read as a damaged feature for good.
    const std::string dir = store + "/" + AI_FACE_PICTURE_DIR;
    if (BoardAccess(dir.c_str(), F_OK) != 0 && BoardMkdir(dir.c_str(), 0755) != 0) {
        PR_ERR("mkdir error");
        return SeqError(AI_FACE_ERR_FILE);
    }
    const cJSON* e = nullptr;
    cJSON_ArrayForEach(e, list)
    {
        const cJSON* path = cJSON_GetObjectItemCaseSensitive(e, "path");
        const cJSON* id = cJSON_GetObjectItemCaseSensitive(e, "id");
        const cJSON* enc = cJSON_GetObjectItemCaseSensitive(e, "encryption");
        const cJSON* key = cJSON_GetObjectItemCaseSensitive(e, "key");
        if (!cJSON_IsString(path) || path->valuestring[0] == '\0') {
            PR_ERR("cur path error");
            continue;
        }
        PR_NOTICE("path: %s len:%d", path->valuestring, static_cast<int>(strlen(path->valuestring)));
        // The id names a file: a whole number that fits an int, nothing else.
        if (!cJSON_IsNumber(id) || id->valuedouble < 0 || id->valuedouble > INT_MAX ||
            id->valuedouble != std::floor(id->valuedouble)) {
            PR_ERR("cur id error");
            continue;
        }
        const int faceId = static_cast<int>(id->valuedouble);
        PR_NOTICE("id: %d", faceId);
        if (!cJSON_IsBool(enc) && !cJSON_IsNumber(enc)) {
            PR_ERR("cur encryption error\n");
            continue;
        }
        const bool encrypted = cJSON_IsTrue(enc) || (cJSON_IsNumber(enc) && enc->valuedouble != 0);
        if (encrypted && (!cJSON_IsString(key) || strlen(key->valuestring) != CLOUD_PIC_IV_LEN)) {
            PR_ERR("cur key error\n");
            continue;
        }
        if (cJSON_IsString(key)) {
            PR_NOTICE("key: %s len:%d\n", uni_mask_secret(key->valuestring).text,
                      static_cast<int>(strlen(key->valuestring)));
        }
        PR_NOTICE("face_download_para.encrypt %d", encrypted ? 1 : 0);
        const std::string local = dir + "/" + std::to_string(faceId);
        if (BoardAccess(local.c_str(), F_OK) == 0) {
            PR_NOTICE("(access(base,F_OK)) == 0  face_id = %d \n", faceId);
            continue;
        }
        PR_NOTICE("(access(base,F_OK)) != 0  face_id = %d \n", faceId);
        SeqStep(kStepPic);
        const int got =
            noxa_ipc_ai_face_download_pic(path->valuestring, encrypted, encrypted ? key->valuestring : nullptr, local);
        if (got != UNI_OK) {
            PR_ERR("noxa_ipc_ai_face_pic_download failed!\n");
            SeqError(got);
        }
    }
    return UNI_OK;
}
