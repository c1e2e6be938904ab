// The gateway's Wi-Fi: the network it keeps ("gw_wsm": name and pass phrase) is joined at start;
// without one, a unit that offers the access point first starts "Lumavo-XXXX" (the last two bytes
// of its MAC address) for the phone's provisioning. A network the user hands over
// (gw_wifi_user_cfg) ends the access point, is joined, and is kept once the join was taken.
#pragma once

#define GW_AP_SSID_PREFIX "Lumavo"

// At the gateway's start, after noxa_iot_wf_soc_dev_init: the join's or the access point's code
// (-2 from the access point on a wired unit, which has none).
int gw_wifi_start(void);
// The access point stopped and the network joined; kept in "gw_wsm" when the join was taken. The
// join's code.
int gw_wifi_join(const char* ssid, const char* passwd);
