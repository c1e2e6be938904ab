// The cloud side of the application: one detached thread builds the camera service's start
// record, starts the cloud side, waits until the cloud link is online and then starts the
// services that need it, once and in a fixed order.
#pragma once

#include "noxa_iot_sdk/com_sdk/noxa_iot_types.h"
#include "noxa_ipc_sdk/noxa_ipc_api.h"
#include "noxa_ipc_sdk/noxa_ipc_media.h"

#include <cstdint>

// The cloud configuration block, zeroed at the start of NoxaSdkStart.
struct NOXA_CLOUD_CFG_S {
    char StoragePath[65];  // "/DeviceInfo/noxa/"
    char UpgradePath[65];  // "/dev/VN204QH_APP.bin"
    char SdPath[65];       // "/mnt/sdcard/"
    char ProductKey[17];
    char Uuid[26];
    char AuthKey[59];
    char FwVersion[23];    // "1.2.11"
    uint32_t MaxViewers;   // 6
};

extern NOXA_CLOUD_CFG_S gNoxaCloudCfg;
extern NOXA_MEDIA_INFO_S gNoxaMediaInfo;
extern NOXA_HW_AES_CBS_S gNoxaAesCbs;
// Where demo resources ("resource/media/...") are looked up: "." once the thread runs.
extern char gDemoResourceDir[16];

// The start options of the command line: mode (WIFI_INIT_*, -1 when not given) and token.
struct NOXA_START_OPTS_S {
    int Mode;
    char Token[32];
    char RawPath[128];
};
extern NOXA_START_OPTS_S gNoxaStartOpts;
// "-m mode -t token -r raw path -h": 0 to go on, 1 when the usage was printed (-h), -1 for a bad
// option (usage printed).
int ParseStartOptions(int argc, char** argv);

// The seam through which the cloud-side start reaches the rooms that answer its steps and
// callbacks, filled at start-up. Every entry is filled in the unit; an empty one is a wiring fault
// and is skipped (a callback slot is then left empty in the start record).
struct NOXA_APP_LINKS_S {
    void (*SetIndicatorEvent)(int event);
    void (*RestoreSettings)(void);     // settings store into the door-phone state
    void (*PrepareSdDevName)(void);    // SD-card device name for the storage hooks
    int (*InitNoxaP2p)(int maxClients);
    void (*ReportAllState)(void);      // full state report
    int (*CloudStorageInit)(const NOXA_MEDIA_INFO_S* media, const NOXA_HW_AES_CBS_S* aes);
    int (*VideoMsgInit)(const NOXA_MEDIA_INFO_S* media, int type, int seconds);
    void (*SyncUtcTime)(void);
    int (*UploadSkills)(void);
    void* (*MdProcThread)(void* arg);
    int (*AesCbc128Encrypt)(const uint8_t* in, uint32_t len, uint8_t* out, uint32_t* out_len, const uint8_t* key,
                            const uint8_t* iv);
    DEV_OBJ_DP_CMD_CB DispatchObjDp;
    DEV_DP_QUERY_CB DispatchDpQuery;
    GW_UG_INFORM_CB UpgradeInform;
    GW_RESET_IFM_CB OnReset;
    IPC_RESTART_REQ_CB OnRestartRequest;
    int (*LocalTimeOffset)(void);  // seconds east of UTC (signed); an empty link means 0
};
extern NOXA_APP_LINKS_S gNoxaAppLinks;

// Start-up step 18: creates NoxaAppThread detached; the thread-creation result.
int StartNoxaAppThread();
void* NoxaAppThread(void* arg);
// The thread's parts, for tests: before the wait (steps 2 to 5, the start retried every 10 s
// while the cloud core cannot start), one pass of the wait (1 when online), after the wait (whose
// full state report waits for the cloud's first clock answer, at most 5 s).
void NoxaAppBeforeOnline();
int NoxaAppOnlinePass();
void NoxaAppAfterOnline();
// Every wait of the thread; tests replace it.
extern void (*gNoxaAppSleep)(uint32_t ms);

// The start: 0, or the cloud core's code when noxa_ipc_init_sdk failed (nothing else started).
int NoxaSdkStart(uint32_t mode, const char* token);
void NoxaNetStatusCb(uint8_t status);
void FillMediaInfo();
int InitRingBuffers();
int InitCloudStorage();
void WriteFirmwareVersionFile();
// True once the cloud link has been up (the flag is never cleared).
bool NoxaIsOnline();
