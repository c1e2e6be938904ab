#include "noxa_iot_sdk/noxa_cloud/gw_wifi.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/wifi_intf/wf_basic_intf.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/noxa_ws_db.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t kApChannel = 1;

bool Kept(GW_WORK_STAT_MAG_S* kept)
{
    return wd_gw_wsm_read(kept) == UNI_OK && kept->ssid[0] != '\0';
}

// The provisioning access point of a unit that offers it first; -2 on a wired unit.
int StartAccessPoint()
{
    const GW_CNTL_S* gw = get_gw_cntl();
    if (gw->gw_wsm.md != WF_START_AP_FIRST && gw->gw_wsm.md != WF_START_AP_FIRST_2) {
        return UNI_OK;
    }
    uint8_t mac[6] = {};
    if (wf_get_mac(WF_STATION, mac) != UNI_OK) {
        PR_ERR("no MAC address for the access point's name");
    }
    WF_AP_CFG_IF_S cfg = {};
    const char* prefix = gw->gw_base.ap_ssid[0] != '\0' ? gw->gw_base.ap_ssid : GW_AP_SSID_PREFIX;
    snprintf(cfg.ssid, sizeof(cfg.ssid), "%.25s-%02X%02X", prefix, mac[4], mac[5]);
    snprintf(cfg.passwd, sizeof(cfg.passwd), "%s", gw->gw_base.ap_passwd);
    cfg.chan = kApChannel;
    int ret = wf_ap_start(&cfg);
    if (ret == UNI_INVALID_PARM) {
        PR_DEBUG("no access point: the unit is wired");
    } else if (ret != UNI_OK) {
        PR_ERR("access point %s not started: %d", cfg.ssid, ret);
    } else {
        PR_NOTICE("access point %s", cfg.ssid);
    }
    return ret;
}

}  // namespace

int gw_wifi_start(void)
{
    GW_WORK_STAT_MAG_S kept = {};
    if (!Kept(&kept)) {
        return StartAccessPoint();
    }
    PR_NOTICE("join the kept network %s", kept.ssid);
    gw_set_network(kept.ssid, kept.passwd);
    int ret = wf_station_connect(kept.ssid, kept.passwd);
    if (ret != UNI_OK) {
        PR_ERR("kept network not joined: %d", ret);
    }
    return ret;
}

int gw_wifi_join(const char* ssid, const char* passwd)
{
    // A wired unit has no access point to end (-2).
    wf_ap_stop();
    int ret = wf_station_connect(ssid, passwd != nullptr ? passwd : "");
    if (ret != UNI_OK) {
        // The adapter logged why (an error where it cost the unit its network).
        PR_WARN("join of %s refused: %d", ssid, ret);
        // A unit with no network to fall back on stays reachable for the next try.
        GW_WORK_STAT_MAG_S kept = {};
        if (!Kept(&kept)) {
            StartAccessPoint();
        }
        return ret;
    }
    const GW_CNTL_S* gw = get_gw_cntl();
    GW_WORK_STAT_MAG_S keep = {};
    keep.nc_tp = gw->gw_wsm.nc_tp;
    keep.md = gw->gw_wsm.md;
    snprintf(keep.ssid, sizeof(keep.ssid), "%s", ssid);
    snprintf(keep.passwd, sizeof(keep.passwd), "%s", passwd != nullptr ? passwd : "");
    ret = wd_gw_wsm_write(&keep);
    if (ret != UNI_OK) {
        PR_ERR("network not kept: %d", ret);
    }
    return ret;
}
