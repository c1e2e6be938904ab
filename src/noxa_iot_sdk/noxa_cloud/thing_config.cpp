#include "noxa_iot_sdk/noxa_cloud/thing_config.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_secret.h"

#include <atomic>
#include <mutex>
#include <string>

namespace {

std::mutex s_thingMutex;
THING_CFG_REQ_S s_thingReq;
// The provisioning sniffer's dwell per channel, as noxa_ipc_set_channel_time gave it. No sniffer
// of provisioning runs in this build: the value is only kept and read back.
std::atomic<uint32_t> s_channelTimeMs{0};

}  // namespace

int thing_config_start(const char* ssid, const char* passwd, const char* token, uint32_t timeout_s)
{
    if (ssid == nullptr || ssid[0] == '\0') {
        PR_ERR("input is null");
        return UNI_INVALID_PARM;
    }
    std::lock_guard<std::mutex> lock(s_thingMutex);
    s_thingReq.ssid = ssid;
    s_thingReq.passwd = passwd != nullptr ? passwd : "";
    s_thingReq.token = token != nullptr ? token : "";
    s_thingReq.timeout_s = timeout_s;
    PR_NOTICE("thing config ssid:%s token:%s timeout:%u stored; no broadcast in this build", ssid,
              uni_mask_secret(s_thingReq.token.c_str()).text, timeout_s);
    return UNI_OK;
}

THING_CFG_REQ_S thing_config_last_request(void)
{
    std::lock_guard<std::mutex> lock(s_thingMutex);
    return s_thingReq;
}

void wf_nw_wifi_switch_signal_channel_time_set(uint32_t ms)
{
    s_channelTimeMs.store(ms);
    PR_DEBUG("channel time %u ms", ms);
}

uint32_t wf_nw_wifi_switch_signal_channel_time_get(void)
{
    return s_channelTimeMs.load();
}
