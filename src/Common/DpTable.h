// The data points of the phone app: the table of handled ids, the command and query
// dispatchers the cloud connection calls, the four typed reporters every part of the unit
// reports through (only once the cloud link has been up), and the full-state report.
#pragma once

#include "noxa_iot_sdk/com_sdk/noxa_iot_types.h"

#include <cstddef>
#include <cstdint>

// A handler gets the received record, or a query (record NULL, query 1): a query only reports
// the current value; it never acts and never stores.
typedef void (*DP_HANDLER)(const OBJ_DP_S* dp, int query);
struct DP_ROW_S {
    uint32_t DpId;
    DP_HANDLER Handler;
};
constexpr size_t kDpRowCount = 45;
extern const DP_ROW_S gDpTable[kDpRowCount];

void IPC_APP_dispatch_obj_dp(const RECV_OBJ_DP_S* cmd);
void IPC_APP_dispatch_dp_query(const DP_QUERY_S* query);

// 0 without sending while the link has never been up; else the report's result.
int ReportDpValue(uint8_t id, uint32_t value);
int ReportDpBool(uint8_t id, uint32_t value);
int ReportDpEnum(uint8_t id, const char* text);
int ReportDpString(uint8_t id, const char* text);

// 0 or 1; -1 for no record, -2 for another type or value.
int DpValueToBool(const OBJ_DP_S* dp);

void IPC_APP_report_sd_status_changed(uint32_t status);
void ReportSdFormatStatus(uint32_t progress);
void ReportSdCapacity();
// Ring state of door 0 (DP 239) or 1 (240): state 0 ringing, 1 normal.
void ResponedDoorbell(uint8_t door, uint8_t state);
// Lock of door 0 (DP 241) or 1 (242) open (1) or closed (0), reported as a value like the unlock
// command's answer; kept as the state a query of 241 or 242 answers.
void ReportDoorLockState(uint8_t door, uint8_t open);
// Sent once the cloud link is online.
void ReportFullState();

// Fills the named links of the door-phone control, the card, the settings store and the
// cloud-side start with the operations of this module. Called once at start-up.
void DpTableInstall();

// How a report leaves (noxa_ipc_dp_report); tests replace it.
extern int (*gDpReport)(const char* devId, uint8_t dpid, uint8_t type, const void* value, uint32_t cnt);
// The wait between the gate's two reports; tests replace it.
extern void (*gDpSleep)(uint32_t ms);
