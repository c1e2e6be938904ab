// Start of the cloud core: the runtime under it, the settings store, the smart frame, the
// online-log service, the work queue and TLS, once per process.
#pragma once

#include <cstdint>

#define IOT_PLATFORM_LEN 47
#define IOT_STORAGE_PATH_LEN 63
#define IOT_STORE_KEY_LEN 16

typedef struct {
    char platform[IOT_PLATFORM_LEN + 1];          // target platform text
    char storage_path[IOT_STORAGE_PATH_LEN + 1];  // directory of the settings store, ending in "/"
} NOXA_IOT_INIT_PARAMS_S;

// The platform step of the start, first of all: pre-init, logger (level 4, 1,024-byte lines),
// DNS cache, memory pools, cJSON through Malloc/Free, clock. 0 or the first failing step's code;
// a second call fails in the DNS cache's start (-1).
int adapter_platform_init(void);
// 0, or the code of the first failing step (the later steps are not run): -2 for a NULL path or
// record. A call after a failure goes on from the failed step (a store unreadable now may be
// readable later); a call after a complete start fails (-1).
int noxa_iot_init_params(const char* fs_storge_path, const NOXA_IOT_INIT_PARAMS_S* param);
// The record as the core keeps it; zeros before noxa_iot_init_params.
const NOXA_IOT_INIT_PARAMS_S* noxa_iot_get_init_params(void);
// The constant build text: versions of the core and its protocols, target.
const char* noxa_iot_get_sdk_info(void);
// The 16-byte key of the settings store: the same bytes at every start of the unit.
int noxa_iot_build_store_key(uint8_t key[IOT_STORE_KEY_LEN]);
