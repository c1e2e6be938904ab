// What the MQTT application layer's files share.
#pragma once

#include <cstdint>

// Packs data_json under the protocol with the next sequence number and publishes it on the topic
// (NULL: the out-topic). wait: QoS 1 and back only after the PUBACK or the time-out (0: 15 s).
// MQC_ERR_OFFLINE at once while the link is down.
int mqc_publish(const char* topic, int32_t protocol, const char* data_json, uint8_t qos, uint32_t timeout_s,
                bool wait);
