#include "noxa_ipc_sdk/noxa_ipc_api.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_iot_sdk/com_sdk/noxa_iot_com_api.h"
#include "noxa_iot_sdk/noxa_cloud/app_agent.h"
#include "noxa_iot_sdk/noxa_cloud/gw_active.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/gw_wifi.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"
#include "noxa_iot_sdk/online_log/log_seq.h"
#include "noxa_iot_sdk/online_log/log_serv.h"
#include "noxa_ipc_sdk/noxa_ipc_mqt_proccess.h"
#include "noxa_ipc_sdk/noxa_ipc_notification.h"

#include <cstring>

namespace {

constexpr char kPlatform[] = "arm-buildroot-linux-uclibcgnueabihf-ssc325";
constexpr uint32_t kNwStatPollSec = 5;
// The fixed network of the debug start.
constexpr char kDebugSsid[] = "noxa";
constexpr char kDebugPasswd[] = "kelp";

// Written once by noxa_ipc_init_sdk, read for the rest of the run.
NOXA_IPC_INIT_PARAM_S s_ipcParam;

template <size_t N>
void __terminate(char (&text)[N])
{
    text[N - 1] = '\0';
}

}  // namespace

// The notification log sequence; its error entries go to the online log.
LOG_SEQ_HANDLE noxa_ipc_notify_log_seq = nullptr;

int noxa_ipc_init_sdk(const NOXA_IPC_INIT_PARAM_S* param)
{
    if (param == nullptr) {
        PR_ERR("input is null");
        return UNI_INVALID_PARM;
    }
    s_ipcParam = *param;
    // Later readers treat the texts as texts, whatever the caller left in the last byte.
    __terminate(s_ipcParam.storage_path);
    __terminate(s_ipcParam.product_key);
    __terminate(s_ipcParam.dev_uuid);
    __terminate(s_ipcParam.dev_auth_key);
    __terminate(s_ipcParam.dev_sw_version);

    // The camera protocols register when the MQTT layer starts, which comes later.
    mqc_app_set_extra_reg_hook(noxa_ipc_register_extra_mqt_cb);

    // At most 63 characters of the path go on; the zeroed record keeps its last byte NUL.
    NOXA_IOT_INIT_PARAMS_S init = {};
    static_assert(sizeof(kPlatform) <= sizeof(init.platform));
    memcpy(init.platform, kPlatform, sizeof(kPlatform));
    static_assert(sizeof(s_ipcParam.storage_path) >= IOT_STORAGE_PATH_LEN);
    memcpy(init.storage_path, s_ipcParam.storage_path, IOT_STORAGE_PATH_LEN);
    int ret = noxa_iot_init_params(s_ipcParam.storage_path, &init);
    if (ret != UNI_OK) {
        PR_ERR("noxa_iot_init err %d", ret);
        return ret;
    }
    httpc_ipc_log_up_init();
    // A failed notification's steps go to the online log; the start goes on without them.
    notify_log_seq_init(&noxa_ipc_notify_log_seq);
    return UNI_OK;
}

int noxa_ipc_start_sdk(WIFI_INIT_MODE_E mode, const char* token)
{
    const NOXA_IOT_CBS_S cbs = {
        s_ipcParam.net_status_change_cb,
        s_ipcParam.upgrade_inform_cb,
        s_ipcParam.reset_cb,
        s_ipcParam.dp_cmd_obj_cb,
        s_ipcParam.dp_cmd_raw_cb,
        s_ipcParam.dp_query_cb,
        nullptr,
    };
    const GW_PROD_INFO_S prod = {s_ipcParam.dev_uuid, s_ipcParam.dev_auth_key, nullptr, nullptr};
    noxa_iot_set_gw_prod_info(&prod);

    if (mode != WIFI_INIT_AUTO && mode != WIFI_INIT_AP && mode != WIFI_INIT_DEBUG) {
        PR_ERR("noxa sdk wifi mode is err %d", mode);
        return UNI_INVALID_PARM;
    }
    GW_WF_START_MODE_E start = mode == WIFI_INIT_AUTO ? WF_START_SMART_FIRST : WF_START_AP_FIRST;
    int ret = noxa_iot_wf_soc_dev_init(0, start, &cbs, s_ipcParam.product_key, s_ipcParam.dev_sw_version);
    if (ret != UNI_OK) {
        PR_ERR("noxa_iot_wf_soc_dev_init err %d", ret);
        return ret;
    }
    ret = noxa_iot_reg_get_wf_nw_stat_cb_params(cbs.gw_status_cb, kNwStatPollSec);
    if (ret != UNI_OK) {
        PR_ERR("nw stat poll not started %d", ret);
    }
    ret = lan_pro_cntl_init(0);
    if (ret != UNI_OK) {
        PR_ERR("lan_pro_cntl_init error:%d", ret);
        return ret;
    }
    // The kept network, or the access point of an unprovisioned wireless unit.
    gw_wifi_start();
    if (mode == WIFI_INIT_DEBUG) {
        noxa_iot_gw_wf_user_cfg(kDebugSsid, kDebugPasswd, token);
    }
    // Online with the stored activation, or activation with the token once one is bound.
    ret = gw_active_start();
    if (ret != UNI_OK) {
        PR_ERR("gw_active_start error:%d", ret);
        return ret;
    }
    return UNI_OK;
}

const char* noxa_ipc_get_sdk_info(void)
{
    return noxa_iot_get_sdk_info();
}
