// Firmware download: one thread fetches the image in byte ranges, hands every piece to the data
// callback and ends with the finish callback. The image is checked against the size and MD5 the
// cloud announced: a cut, altered or short image finishes with a non-zero result, never 0.
#pragma once

#include "noxa_iot_sdk/com_sdk/noxa_iot_types.h"

#include <cstdint>

#define GW_UPGRADE_RANGE_LEN (64u * 1024u)  // bytes per ranged GET
#define GW_UPGRADE_PIECE_LEN 4096u          // bytes per data callback at most
#define GW_UPGRADE_ERR_MD5 (-6)

// Returns 0 to go on; *remain is the count of this piece's last bytes it did not take (they come
// again at the front of the next piece); it starts at 0.
typedef int (*GET_FILE_DATA_CB)(const NOXA_FW_INFO_S* fw, uint32_t total_len, uint32_t offset, const uint8_t* data,
                                uint32_t len, uint32_t* remain, void* priv);
// result 0: the whole image arrived with its size and MD5.
typedef void (*UPGRADE_NOTIFY_CB)(const NOXA_FW_INFO_S* fw, int result, void* priv);

// 0 when the download thread started; -2 NULL arguments or size 0; -1 a download is running or
// the thread did not start.
int noxa_iot_upgrade_gw(const NOXA_FW_INFO_S* fw, GET_FILE_DATA_CB data_cb, UPGRADE_NOTIFY_CB finish_cb, void* priv,
                        uint32_t reserved1, uint32_t reserved2);
// The cloud's module type of a local firmware channel (the cloud numbers them as the unit does).
uint32_t gw_fw_tp_to_cloud_tp(uint8_t tp);
// The download as the thread runs it, on the calling thread: the finish result.
int gw_upgrade_download(const NOXA_FW_INFO_S* fw, GET_FILE_DATA_CB data_cb, void* priv);
