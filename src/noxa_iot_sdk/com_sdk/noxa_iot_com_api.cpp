#include "noxa_iot_sdk/com_sdk/noxa_iot_com_api.h"

#include "noxa_adapter/network/uni_network.h"
#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_digest.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_base/sys_serv/nq_work_queue.h"
#include "noxa_iot_sdk/com_sdk/com_mmod.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_operation.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/noxa_ws_db.h"
#include "noxa_iot_sdk/noxa_cloud/smart_frame.h"
#include "noxa_iot_sdk/online_log/log_serv.h"
#include "noxa_middleware/tls/noxa_tls.h"

#include <atomic>
#include <cjson/cJSON.h>
#include <cstring>

#ifndef NOXA_IOT_TARGET
#define NOXA_IOT_TARGET "unknown"
#endif

namespace {

constexpr uint32_t kLogLevel = LOG_LEVEL_DEBUG;
constexpr uint32_t kLogBufSize = 1024;
constexpr char kStoreKeyLabel[] = "noxa-kv-store-key";

NOXA_IOT_INIT_PARAMS_S s_initParams;
// Steps of the start done so far: platform, cmmod, store, then the four services.
constexpr int kStepsAll = 7;
std::atomic<int> s_stepsDone{0};

template <size_t N>
void __copy_cut(char (&dst)[N], const char* src)
{
    memset(dst, 0, N);
    if (src != nullptr) {
        memcpy(dst, src, strnlen(src, N - 1));
    }
}

}  // namespace

// Everything the rest of the runtime takes for granted: logger, DNS cache, pools, JSON
// allocation, clock. The DNS cache refuses a second start, so a second init fails here.
int adapter_platform_init(void)
{
    int ret = uni_platform_pre_init();
    if (ret == UNI_OK) {
        ret = uni_log_init(kLogLevel, kLogBufSize, uni_log_output);
    }
    if (ret == UNI_OK) {
        ret = unw_dns_cache_init();
    }
    if (ret == UNI_OK) {
        ret = MemPoolInit();
    }
    if (ret == UNI_OK) {
        cJSON_Hooks hooks = {Malloc, Free};
        cJSON_InitHooks(&hooks);
        ret = uni_time_init();
    }
    return ret;
}

int noxa_iot_init_params(const char* fs_storge_path, const NOXA_IOT_INIT_PARAMS_S* param)
{
    // A start that failed midway (a store that could not be read yet) may be called again: it
    // goes on from the failed step. A completed start is not run twice.
    int done = s_stepsDone.load();
    if (done == kStepsAll) {
        PR_ERR("platform init fails %d", UNI_COM_ERROR);
        return UNI_COM_ERROR;
    }
    int ret = UNI_OK;
    if (done < 1) {
        ret = adapter_platform_init();
        if (ret != UNI_OK) {
            PR_ERR("platform init fails %d", ret);
            return ret;
        }
        s_stepsDone.store(done = 1);
    }
    // Timer messages and posted work of every later service run on "cmmod".
    if (done < 2) {
        ret = cmmod_init();
        if (ret != UNI_OK) {
            return ret;
        }
        s_stepsDone.store(done = 2);
    }
    if (param == nullptr) {
        PR_ERR("input is null");
        return UNI_INVALID_PARM;
    }
    __copy_cut(s_initParams.platform, param->platform);
    __copy_cut(s_initParams.storage_path, param->storage_path);
    PR_NOTICE("platform:%s", s_initParams.platform);

    if (fs_storge_path == nullptr) {
        PR_ERR("NULL fs_storge_path");
        return UNI_INVALID_PARM;
    }
    if (done < 3) {
        PR_NOTICE("init fs. Path: %s ", fs_storge_path);
        uint8_t key[IOT_STORE_KEY_LEN];
        noxa_iot_build_store_key(key);
        ret = ws_db_init(fs_storge_path, key, sizeof(key));
        if (ret != UNI_OK) {
            PR_ERR("db init fails %d", ret);
            return ret;
        }
        s_stepsDone.store(done = 3);
    }
    // The rest, in this order; the first failure ends the start.
    const struct {
        const char* name;
        int (*init)();
    } steps[] = {
        {"smart frame init", smart_frame_init},
        {"log service init", log_serv_init},
        {"work queue init", nq_work_queue_init},
        {"noxa tls init", noxa_tls_init},
    };
    static_assert(3 + sizeof(steps) / sizeof(steps[0]) == kStepsAll);
    for (int i = done - 3; i < static_cast<int>(sizeof(steps) / sizeof(steps[0])); ++i) {
        ret = steps[i].init();
        if (ret != UNI_OK) {
            PR_ERR("%s fails %d", steps[i].name, ret);
            return ret;
        }
        s_stepsDone.store(done = 4 + i);
    }
    // The stores' certificates are fetched through the API.
    cloud_operation_init();
    PR_NOTICE("noxa iot init success");
    return UNI_OK;
}

const NOXA_IOT_INIT_PARAMS_S* noxa_iot_get_init_params(void)
{
    return &s_initParams;
}

const char* noxa_iot_get_sdk_info(void)
{
    return "< NOXA IOT SDK V:1.0.0 MQTT:" MQ_PRO_VER " LAN:" LAN_PRO_VER " TARGET:" NOXA_IOT_TARGET " >";
}

int noxa_iot_build_store_key(uint8_t key[IOT_STORE_KEY_LEN])
{
    if (key == nullptr) {
        return UNI_INVALID_PARM;
    }
    // Nothing random: the key must come out the same after every restart of the unit. The
    // serial number, where the platform has one, makes it the unit's own.
    const char* serial = uni_get_serial_no();
    UNI_MD5_CTX_S ctx;
    uni_md5_init(&ctx);
    uni_md5_update(&ctx, reinterpret_cast<const uint8_t*>(kStoreKeyLabel), sizeof(kStoreKeyLabel));
    if (serial != nullptr) {
        uni_md5_update(&ctx, reinterpret_cast<const uint8_t*>(serial), static_cast<uint32_t>(strlen(serial)));
    }
    uint8_t digest[UNI_MD5_DIGEST_LEN];
    uni_md5_final(&ctx, digest);
    // The store's own keys are bytes 0..254; this one follows suit.
    for (size_t i = 0; i < IOT_STORE_KEY_LEN; ++i) {
        key[i] = static_cast<uint8_t>(digest[i] % 255);
    }
    return UNI_OK;
}
