// Provisioning of other devices: the unit broadcasts a network's credentials and a token, and the
// sniffer's dwell time per channel.
#pragma once

#include <cstdint>
#include <string>

// Stores the request; the broadcast itself comes with the provisioning services. -2 for a NULL
// or empty network name.
int thing_config_start(const char* ssid, const char* passwd, const char* token, uint32_t timeout_s);
void wf_nw_wifi_switch_signal_channel_time_set(uint32_t ms);
uint32_t wf_nw_wifi_switch_signal_channel_time_get(void);

// The last request stored (tests).
struct THING_CFG_REQ_S {
    std::string ssid;
    std::string passwd;
    std::string token;
    uint32_t timeout_s = 0;
};
THING_CFG_REQ_S thing_config_last_request(void);
