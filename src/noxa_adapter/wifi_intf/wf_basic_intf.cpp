#include "noxa_adapter/wifi_intf/wf_basic_intf.h"

#include "noxa_adapter/system/uni_mutex.h"
#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_log.h"

#include <atomic>

WF_HWL_OPS_S gWfHwlOps;

namespace {

// The callback of the last successful wf_sniffer_set (none after a switch-off): a one-network
// scan gives it back afterwards.
std::atomic<WF_SNIFFER_CB> s_snifferCb{nullptr};

// Made once, on the first use: the initialisation of a function-local static is thread-safe, so
// two threads arriving together can never end up with a mutex each.
MUTEX_HANDLE AdapterMutex()
{
    static MUTEX_HANDLE mutex = [] {
        MUTEX_HANDLE m = nullptr;
        if (CreateMutexAndInit(&m) != UNI_OK) {
            m = nullptr;
        }
        return m;
    }();
    if (mutex == nullptr) {
        PR_ERR("create mutex fail");
    }
    return mutex;
}

template <typename Fn, typename... Args>
int Call(const char* name, Fn fn, Args... args)
{
    if (fn == nullptr) {
        PR_ERR("wiring fault: link gWfHwlOps (%s) is empty", name);
        return UNI_COM_ERROR;
    }
    return fn(args...);
}

// A call under the adapter mutex.
template <typename Fn, typename... Args>
int Locked(const char* name, Fn fn, Args... args)
{
    MUTEX_HANDLE m = AdapterMutex();
    if (m == nullptr) {
        return UNI_MUTEX_INIT_FAILED;
    }
    UniMutexGuard guard(m);
    return Call(name, fn, args...);
}

}  // namespace

int wf_all_ap_scan(WF_AP_INFO_S** ap_ary, uint32_t* num)
{
    if (ap_ary == nullptr || num == nullptr) {
        return UNI_INVALID_PARM;
    }
    return Locked("hwl_wf_all_ap_scan", gWfHwlOps.all_ap_scan, ap_ary, num);
}

int wf_assign_ap_scan(const char* ssid, WF_AP_INFO_S** ap)
{
    if (ssid == nullptr || ap == nullptr) {
        return UNI_INVALID_PARM;
    }
    MUTEX_HANDLE m = AdapterMutex();
    if (m == nullptr) {
        return UNI_MUTEX_INIT_FAILED;
    }
    UniMutexGuard guard(m);
    const WF_HWL_OPS_S& hwl = gWfHwlOps;
    // The radio scans in station mode only.
    WF_WK_MODE_E mode = WWM_STATION;
    Call("hwl_wf_wk_mode_get", hwl.wk_mode_get, &mode);
    if (mode == WWM_SNIFFER) {
        Call("hwl_wf_sniffer_enable", hwl.sniffer_enable, 0, static_cast<WF_SNIFFER_CB>(nullptr));
        Call("hwl_wf_wk_mode_set", hwl.wk_mode_set, WWM_STATION);
    } else if (mode == WWM_NONE) {
        Call("hwl_wf_wk_mode_set", hwl.wk_mode_set, WWM_STATION);
    }
    int ret = Call("hwl_wf_assign_ap_scan", hwl.assign_ap_scan, ssid, ap);
    if (mode == WWM_NONE) {
        Call("hwl_wf_wk_mode_set", hwl.wk_mode_set, WWM_NONE);
    } else if (mode == WWM_SNIFFER) {
        // Sniffing without a callback would capture for nobody: without a kept one the radio
        // stays a station.
        WF_SNIFFER_CB cb = s_snifferCb.load();
        if (cb != nullptr) {
            Call("hwl_wf_wk_mode_set", hwl.wk_mode_set, WWM_SNIFFER);
            Call("hwl_wf_sniffer_enable", hwl.sniffer_enable, 1, cb);
        } else {
            PR_ERR("no sniffer callback kept: the radio stays a station");
        }
    }
    return ret;
}

int wf_release_ap(WF_AP_INFO_S* ap)
{
    if (ap == nullptr) {
        return UNI_INVALID_PARM;
    }
    return Call("hwl_wf_scan_free", gWfHwlOps.scan_free, ap);
}

int wf_set_cur_channel(uint8_t chan)
{
    return Call("hwl_wf_channel_set", gWfHwlOps.channel_set, chan);
}

int wf_get_cur_channel(uint8_t* chan)
{
    if (chan == nullptr) {
        return UNI_INVALID_PARM;
    }
    return Call("hwl_wf_channel_get", gWfHwlOps.channel_get, chan);
}

int wf_sniffer_set(int on, WF_SNIFFER_CB cb)
{
    int ret = Call("hwl_wf_sniffer_enable", gWfHwlOps.sniffer_enable, on, cb);
    if (ret == UNI_OK) {
        // A switch-off passes none: a scan must not later revive a finished sniffing session.
        s_snifferCb.store(cb);
    }
    return ret;
}

int wf_get_ip(WF_IF_E wf, WF_IP_INFO_S* ip)
{
    if (ip == nullptr) {
        return UNI_INVALID_PARM;
    }
    return Call("hwl_wf_ip_get", gWfHwlOps.ip_get, wf, ip);
}

int wf_get_mac(WF_IF_E wf, uint8_t mac[6])
{
    if (mac == nullptr) {
        return UNI_INVALID_PARM;
    }
    return Call("hwl_wf_mac_get", gWfHwlOps.mac_get, wf, mac);
}

int wf_wk_mode_set(WF_WK_MODE_E mode)
{
    return Locked("hwl_wf_wk_mode_set", gWfHwlOps.wk_mode_set, mode);
}

int wf_wk_mode_get(WF_WK_MODE_E* mode)
{
    if (mode == nullptr) {
        return UNI_INVALID_PARM;
    }
    return Call("hwl_wf_wk_mode_get", gWfHwlOps.wk_mode_get, mode);
}

int wf_station_connect(const char* ssid, const char* passwd)
{
    return Call("hwl_wf_sta_connect", gWfHwlOps.sta_connect, ssid, passwd);
}

int wf_station_disconnect(void)
{
    return Call("hwl_wf_sta_disconnect", gWfHwlOps.sta_disconnect);
}

int wf_station_get_conn_ap_rssi(int8_t* rssi)
{
    if (rssi == nullptr) {
        return UNI_INVALID_PARM;
    }
    return Call("hwl_wf_sta_rssi_get", gWfHwlOps.sta_rssi_get, rssi);
}

int wf_station_stat_get(uint32_t* stat)
{
    if (stat == nullptr) {
        return UNI_INVALID_PARM;
    }
    return Call("hwl_wf_sta_status_get", gWfHwlOps.sta_status_get, stat);
}

int wf_ap_start(const WF_AP_CFG_IF_S* cfg)
{
    if (cfg == nullptr) {
        return UNI_INVALID_PARM;
    }
    return Call("hwl_wf_ap_start", gWfHwlOps.ap_start, cfg);
}

int wf_ap_stop(void)
{
    return Call("hwl_wf_ap_stop", gWfHwlOps.ap_stop);
}

int wf_set_country_code(const char* code)
{
    return Call("hwl_wf_country_code_set", gWfHwlOps.country_code_set, code);
}
