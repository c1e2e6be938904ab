// The smart frame: where received data-point commands and queries reach the application's
// callbacks (slots 4 to 6 of the gateway's table). The cloud and LAN links hand their decoded
// commands to these dispatchers.
#pragma once

#include "noxa_iot_sdk/com_sdk/noxa_iot_types.h"

int smart_frame_init(void);
// Each calls its slot with the record; -1 when the slot is empty, -2 for a NULL record.
int sf_obj_dp_dispatch(const RECV_OBJ_DP_S* dp);
int sf_raw_dp_dispatch(const RECV_RAW_DP_S* dp);
int sf_dp_query_dispatch(const DP_QUERY_S* query);
