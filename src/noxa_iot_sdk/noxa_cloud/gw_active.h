// Activation of the gateway with the cloud: the stored record ("gw_ai") brings the unit online
// without a token; otherwise the token bound by gw_wifi_user_cfg is sent to "noxa.device.active"
// until the cloud takes it (tries spaced 1, 2, 4 ... 60 s); a token the cloud refuses as invalid
// or expired is forgotten, and the unit waits for a new pairing. The record and the data-point
// schema are stored, then the MQTT link starts.
#pragma once

#include <cjson/cJSON.h>
#include <cstdint>

#define GW_ACTV_BACKOFF_MIN_MS 1000u
#define GW_ACTV_BACKOFF_MAX_MS 60000u

// Installs the board's name lookup for the cloud hosts and the API host's CA entry, then either
// goes online with the stored record or starts the activation thread. 0; -1 when started before.
// The thread logs why it waits (no token yet, a refusal, a failure) once per reason.
int gw_active_start(void);
// Loads "gw_ai" (and the schema) into the gateway: 0, or the store's code (nothing changed).
int gw_active_load(void);
// One activation try with the bound token: 0 activated (record and schema stored); -2 no token;
// else the API's result.
int gw_active_once(void);
// Takes an activation result: checks it, fills the gateway, stores "gw_ai" and the schema. 0; -1
// for a result without device id, a 16-character local key or an MQTT URL, or one that does not
// fit the record.
int gw_active_apply(const cJSON* result);
// Unactivation: the record, the schema and the gateway's id and key go; state 0. 0, or -1 when
// the stored record could not be deleted (it may still be there).
int gw_active_clear(void);
// After an unactivation (a cloud reset, the link stopped): the activation thread runs again and
// waits for a new pairing's token. Nothing when it runs already or gw_active_start never ran.
void gw_active_restart(void);
// A summer-time table from the cloud ([[start,end,...],...], posix seconds) put in force. A row
// that is no interval of 32-bit times is left out; a table whose rows are all bad changes
// nothing (-1), an empty one clears the table in force. 0 or -1 (logged).
int gw_apply_summer_table(const cJSON* rows);
// Wait before try n + 1 after n failures (n >= 1).
uint32_t gw_active_backoff_ms(uint32_t failures);
// The schema's key in the store.
#define GW_SCHEMA_KEY "gw_schema"
