// The face store: one file per face id in the store's folder, holding the feature encrypted
// with AES-128-ECB (PKCS#7) under the first 16 bytes of the local key.
#include "ai_face_internal.h"
#include "noxa_ipc_sdk/ai_face/noxa_ipc_ai_face.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_aes.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_iot_sdk/noxa_cloud/noxa_ws_db.h"
#include "platform/board_file.h"
#include "platform/board_path.h"

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr size_t kKeyLen = 16;
constexpr size_t kAesBlock = 16;

struct Store {
    std::mutex lock;
    bool inited = false;
    std::string path;
    uint8_t key[kKeyLen] = {};
    size_t featureLen = 0;
};

Store& S()
{
    static Store s;
    return s;
}

std::string FileOf(const Store& s, const char* id)
{
    return s.path + "/" + id;
}

struct AesBuf {
    uint8_t* p = nullptr;
    ~AesBuf()
    {
        if (p != nullptr) {
            uni_aes_free(p);
        }
    }
};

}  // namespace

namespace ai_face {

bool ValidId(const char* id)
{
    if (id == nullptr) {
        return false;
    }
    const size_t n = strnlen(id, AI_FACE_ID_MAX + 1);
    if (n == 0 || n > AI_FACE_ID_MAX) {
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        const char c = id[i];
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                        c == '-';
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool StorePath(std::string* path)
{
    Store& s = S();
    std::lock_guard<std::mutex> lock(s.lock);
    if (!s.inited) {
        return false;
    }
    *path = s.path;
    return true;
}

}  // namespace ai_face

int noxa_ipc_ai_face_db_init(const char* path, int feature_len)
{
    if (path == nullptr || feature_len <= 0) {
        PR_ERR("pPath error");
        return UNI_COM_ERROR;
    }
    if (strnlen(path, AI_FACE_PATH_MAX + 1) > AI_FACE_PATH_MAX) {
        PR_ERR("path %.*s featureLen %d invalid", AI_FACE_PATH_MAX, path, feature_len);
        return UNI_COM_ERROR;
    }
    Store& s = S();
    std::lock_guard<std::mutex> lock(s.lock);
    DIR* dir = opendir(BoardPath(path).c_str());
    if (dir != nullptr) {
        closedir(dir);
    } else {
        PR_NOTICE("Open dir failed...mkdir %s", path);
        if (BoardMkdir(path, 0755) != 0) {
            PR_ERR("mkdir error");
            return AI_FACE_ERR_FILE;
        }
        PR_NOTICE("mkdir ok");
    }
    GW_ACTV_IF_S ai = {};
    int ret = wd_gw_actv_if_read(&ai);
    if (ret != UNI_OK) {
        PR_ERR("wd_gw_actv_if_read fail:%d", ret);
        return ret;
    }
    // A unit without its local key would keep every face under a key of zeros.
    if (strnlen(ai.lckey, sizeof(ai.lckey)) < kKeyLen) {
        PR_ERR("no local key for the face store");
        return UNI_COM_ERROR;
    }
    memcpy(s.key, ai.lckey, kKeyLen);
    s.path = path;
    while (s.path.size() > 1 && s.path.back() == '/') {
        s.path.pop_back();
    }
    s.featureLen = static_cast<size_t>(feature_len);
    s.inited = true;
    return UNI_OK;
}

void noxa_ipc_ai_face_db_close(void)
{
    Store& s = S();
    std::lock_guard<std::mutex> lock(s.lock);
    s.inited = false;
    memset(s.key, 0, sizeof(s.key));
}

int noxa_ipc_ai_face_db_add(const char* face_id, const uint8_t* feature)
{
    Store& s = S();
    std::lock_guard<std::mutex> lock(s.lock);
    if (!s.inited) {
        return OPRT_LOCAL_AI_FACE_NOT_INIT;
    }
    if (!ai_face::ValidId(face_id) || feature == nullptr) {
        PR_ERR("pFace_id pData error");
        return UNI_COM_ERROR;
    }
    AesBuf enc;
    uint32_t encLen = 0;
    int ret = uni_aes128_ecb_encode(feature, static_cast<uint32_t>(s.featureLen), &enc.p, &encLen, s.key);
    if (ret != UNI_OK) {
        PR_ERR("aes128_ecb_encode fail:%d", ret);
        return ret;
    }
    if (BoardWriteFileWhole(FileOf(s, face_id).c_str(), enc.p, encLen) != 0) {
        PR_ERR("open fail\n");
        return AI_FACE_ERR_FILE;
    }
    return UNI_OK;
}

int noxa_ipc_ai_face_db_delete(const char* face_id)
{
    Store& s = S();
    std::lock_guard<std::mutex> lock(s.lock);
    if (!s.inited) {
        return OPRT_LOCAL_AI_FACE_NOT_INIT;
    }
    if (!ai_face::ValidId(face_id)) {
        PR_ERR("pFace_id error");
        return UNI_COM_ERROR;
    }
    const std::string base = FileOf(s, face_id);
    if (BoardAccess(base.c_str(), F_OK) != 0) {
        PR_NOTICE("(access(base,F_OK)) != 0 \n");
        return UNI_OK;
    }
    if (BoardUnlink(base.c_str()) == 0) {
        PR_NOTICE("nqcam_ai_face_cfg_func delete ok face_id = %s \n", face_id);
    } else {
        PR_ERR("nqcam_ai_face_cfg_func delete failed, face_id = %s \n", face_id);
    }
    return UNI_OK;
}

int noxa_ipc_ai_face_db_read(const char* face_id, uint8_t* out)
{
    Store& s = S();
    std::lock_guard<std::mutex> lock(s.lock);
    if (!s.inited) {
        return OPRT_LOCAL_AI_FACE_NOT_INIT;
    }
    if (!ai_face::ValidId(face_id) || out == nullptr) {
        PR_ERR("pFace_id pData error");
        return UNI_COM_ERROR;
    }
    const std::string base = FileOf(s, face_id);
    std::unique_ptr<FILE, int (*)(FILE*)> f(BoardFopen(base.c_str(), "rb"), fclose);
    if (!f) {
        PR_ERR("open %s fail\n", base.c_str());
        return AI_FACE_ERR_FILE;
    }
    // A face file is the feature and 1 to 16 bytes of padding; anything longer is not one of
    // ours and is not read whole.
    const size_t most = s.featureLen + kAesBlock;
    std::vector<uint8_t> data(most + 1);
    const size_t n = fread(data.data(), 1, data.size(), f.get());
    if (n > most) {
        PR_ERR("decode feature len error");
        return OPRT_LOCAL_AI_FACE_LEN_ERR;
    }
    AesBuf dec;
    uint32_t decLen = 0;
    int ret = uni_aes128_ecb_decode(data.data(), static_cast<uint32_t>(n), &dec.p, &decLen, s.key);
    if (ret != UNI_OK) {
        PR_ERR("aes128_ecb_decode fail. %d", ret);
        return OPRT_LOCAL_AI_FACE_LEN_ERR;
    }
    const int plain = uni_pkcs7_unpad_len(dec.p, decLen);
    if (plain < 0 || static_cast<size_t>(plain) != s.featureLen) {
        PR_ERR("decode feature len error");
        return OPRT_LOCAL_AI_FACE_LEN_ERR;
    }
    memcpy(out, dec.p, s.featureLen);
    return UNI_OK;
}

int noxa_ipc_ai_face_get_db_path(char* out)
{
    Store& s = S();
    std::lock_guard<std::mutex> lock(s.lock);
    if (!s.inited) {
        return OPRT_LOCAL_AI_FACE_NOT_INIT;
    }
    if (out == nullptr) {
        PR_ERR("pPath error");
        return UNI_COM_ERROR;
    }
    snprintf(out, AI_FACE_CFG_TEXT_LEN, "%s", s.path.c_str());
    return UNI_OK;
}
