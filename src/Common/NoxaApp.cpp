#include "NoxaApp.h"

#include "AppLog.h"
#include "AppState.h"
#include "AppThread.h"
#include "ConfigFileParse.h"
#include "Media/VencStream.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_secret.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_placeholders.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/iot_httpc.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"
#include "platform/board_file.h"
#include "platform/board_path.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <string>
#include <unistd.h>

// The cloud glue's own lines: "Dbg:" or "Err:" and "\r\n".
#define NOXA_DBG(fmt, ...) NoxaPrint("Dbg:" fmt "\r\n", ##__VA_ARGS__)
#define NOXA_ERR(fmt, ...) NoxaPrint("Err:" fmt "\r\n", ##__VA_ARGS__)

NOXA_CLOUD_CFG_S gNoxaCloudCfg;
NOXA_MEDIA_INFO_S gNoxaMediaInfo;
NOXA_HW_AES_CBS_S gNoxaAesCbs;
char gDemoResourceDir[16];
NOXA_START_OPTS_S gNoxaStartOpts = {-1, "", ""};
NOXA_APP_LINKS_S gNoxaAppLinks;

namespace {

constexpr char kStoragePath[] = "/DeviceInfo/noxa/";
constexpr char kUpgradePath[] = "/dev/VN204QH_APP.bin";
constexpr char kSdPath[] = "/mnt/sdcard/";
constexpr char kFwVersion[] = "1.2.11";
constexpr char kFwVersionFile[] = "/etc/Fw.conf";
constexpr char kDeviceConf[] = "/DeviceInfo/device.conf";
constexpr uint32_t kMaxViewers = 6;
constexpr uint32_t kStartRetryMs = 10000;
constexpr uint32_t kClockAnswerWaitMs = 5000;
constexpr uint32_t kClockPollMs = 100;

std::atomic<bool> s_ringBuffersCreated{false};

__attribute__((format(printf, 1, 2))) void NoxaPrint(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    fflush(stdout);
}

void DefaultSleep(uint32_t ms)
{
    usleep(ms * 1000);
}

// Cut to the field (the start record's fields are narrower than the block's).
template <size_t N>
void SetText(char (&dst)[N], const char* src)
{
    size_t len = std::min(strlen(src), N - 1);
    memcpy(dst, src, len);
    dst[len] = '\0';
}

void Indicator(int event)
{
    if (gNoxaAppLinks.SetIndicatorEvent != nullptr) {
        gNoxaAppLinks.SetIndicatorEvent(event);
    }
}

// "device.conf": each key found and fit for the cloud is taken; a missing key gives the built-in
// value (a UUID alone pairs with the built-in key), a key the cloud could not take gives it with
// an error line. False (with an error line) when the file holds neither key: a garbled file counts
// as missing.
bool LoadDeviceConf()
{
    NOXA_CLOUD_CFG_S& c = gNoxaCloudCfg;
    const struct {
        const char* key;
        const char* line;
        const char* builtin;
        char* dst;
        size_t size;
        const char* (*problem)(const char*);
        bool secret;
    } keys[] = {
        {"UUID", "UUID is %s", NOXA_CLOUD_BUILTIN_UUID, c.Uuid, sizeof(c.Uuid), IdentityUuidProblem, false},
        {"AUTHKEY", "AUTHKEY is %s", NOXA_CLOUD_BUILTIN_AUTHKEY, c.AuthKey, sizeof(c.AuthKey), IdentityAuthKeyProblem,
         true},
    };
    char values[2][64] = {};
    bool found[2] = {};
    for (size_t i = 0; i < 2; ++i) {
        found[i] = GetProfileString(kDeviceConf, "Noxa", keys[i].key, values[i], sizeof(values[i])) == 0 &&
                   values[i][0] != '\0';
    }
    if (!found[0] && !found[1]) {
        APP_ERR("%s holds no UUID or AUTHKEY in [Noxa]: taken as missing", kDeviceConf);
        return false;
    }
    for (size_t i = 0; i < 2; ++i) {
        const auto& k = keys[i];
        const char* v = k.builtin;
        if (found[i]) {
            if (const char* problem = k.problem(values[i])) {
                APP_ERR("%s: %s, the built-in one is used", kDeviceConf, problem);
            } else {
                v = values[i];
            }
        }
        std::string shown = k.secret ? std::string(uni_mask_secret(v).text) : std::string(v);
        printf(k.line, shown.c_str());
        printf("\n");
        snprintf(k.dst, k.size, "%s", v);
    }
    fflush(stdout);
    return true;
}

// The identity: device.conf, else device.bin, else the built-in one.
void LoadIdentity()
{
    NOXA_CLOUD_CFG_S& c = gNoxaCloudCfg;
    // Read only when a regular file is there (a FIFO would hold the start for ever).
    std::string conf;
    if (BoardReadRegular(kDeviceConf, kDeviceFileReadMax, &conf) == 0) {
        if (LoadDeviceConf()) {
            return;
        }
    }
    char uuid[kUuidMaxLen + 1];
    char authKey[kAuthKeyMaxLen + 1];
    if (FILE* f = BoardFopen("/DeviceInfo/device.bin", "rb")) {
        fclose(f);
        if (ReadDeviceBinIdentity(uuid, authKey) == 0) {
            SetText(c.Uuid, uuid);
            SetText(c.AuthKey, authKey);
            return;
        }
        APP_ERR("device.bin unusable: built-in identity");
    }
    printf("UUID is %s\n", NOXA_CLOUD_BUILTIN_UUID);
    printf("AUTHKEY is %s\n", uni_mask_secret(NOXA_CLOUD_BUILTIN_AUTHKEY).text);
    fflush(stdout);
    SetText(c.Uuid, NOXA_CLOUD_BUILTIN_UUID);
    SetText(c.AuthKey, NOXA_CLOUD_BUILTIN_AUTHKEY);
}

int NoxaAesCreateCb(void)
{
    return 0;
}

int NoxaAesEncryptCb(const uint8_t* in, uint32_t len, uint8_t* out, uint32_t* out_len, const uint8_t* key,
                     const uint8_t* iv)
{
    if (gNoxaAppLinks.AesCbc128Encrypt == nullptr) {
        return -1;
    }
    return gNoxaAppLinks.AesCbc128Encrypt(in, len, out, out_len, key, iv);
}

int NoxaAesDestroyCb(void)
{
    return 0;
}

// Start hook of the online steps: nothing to do on this unit.
int NoxaStartHook()
{
    return 0;
}

}  // namespace

void (*gNoxaAppSleep)(uint32_t ms) = DefaultSleep;

int ParseStartOptions(int argc, char** argv)
{
    auto usage = [&] {
        printf("%s -m mode -t token -r raw path -h\n", argc > 0 ? argv[0] : "doorphone");
        printf("\t-m: 0 WIFI_INIT_AUTO, 1 WIFI_INIT_AP, 2 WIFI_INIT_DEBUG\n");
        printf("\t-t: token from the QR code (with -m 2 on a wired network)\n");
        printf("\t-r: raw source file path\n");
        printf("\t-h: this help\n");
    };
    optind = 1;
    int opt;
    while ((opt = getopt(argc, argv, "m:t:r:h")) != -1) {
        switch (opt) {
        case 'm': {
            char* end = nullptr;
            long m = strtol(optarg, &end, 10);
            if (*end != '\0' || m < WIFI_INIT_AUTO || m > WIFI_INIT_DEBUG) {
                usage();
                return -1;
            }
            gNoxaStartOpts.Mode = static_cast<int>(m);
            break;
        }
        case 't':
            if (strlen(optarg) >= sizeof(gNoxaStartOpts.Token)) {
                usage();
                return -1;
            }
            SetText(gNoxaStartOpts.Token, optarg);
            break;
        case 'r':
            SetText(gNoxaStartOpts.RawPath, optarg);
            break;
        case 'h':
            usage();
            return 1;
        default:
            usage();
            return -1;
        }
    }
    return 0;
}

void WriteFirmwareVersionFile()
{
    FILE* f = BoardFopen(kFwVersionFile, "w");
    if (f == nullptr) {
        return;
    }
    fwrite(kFwVersion, 1, sizeof(kFwVersion), f);
    fclose(f);
}

void FillMediaInfo()
{
    NOXA_MEDIA_INFO_S& m = gNoxaMediaInfo;
    m = NOXA_MEDIA_INFO_S{};
    m.channel_enable[MEDIA_CHANNEL_MAIN] = 1;
    m.channel_enable[MEDIA_CHANNEL_SUB] = 1;
    m.channel_enable[MEDIA_CHANNEL_AUDIO] = 1;
    const struct {
        int ch;
        uint32_t kbps;
        uint32_t w;
        uint32_t h;
    } video[] = {{MEDIA_CHANNEL_MAIN, 1024, 1280, 720}, {MEDIA_CHANNEL_SUB, 512, 640, 360}};
    for (const auto& v : video) {
        m.video_fps[v.ch] = 25;
        m.video_gop[v.ch] = 25;
        m.video_bitrate[v.ch] = v.kbps;
        m.video_width[v.ch] = v.w;
        m.video_height[v.ch] = v.h;
        m.video_freq[v.ch] = 90000;
        m.video_codec[v.ch] = NOXA_CODEC_VIDEO_H264;
    }
    m.audio_codec[MEDIA_CHANNEL_AUDIO] = NOXA_CODEC_AUDIO_PCM;
    m.audio_fps[MEDIA_CHANNEL_AUDIO] = 25;
    m.audio_sample[MEDIA_CHANNEL_AUDIO] = 8000;
    m.audio_databits[MEDIA_CHANNEL_AUDIO] = 16;
    m.audio_channel[MEDIA_CHANNEL_AUDIO] = 0;
}

int InitRingBuffers()
{
    if (s_ringBuffersCreated.load()) {
        NOXA_DBG("The Ring Buffer Is Already Inited");
        return 0;
    }
    const NOXA_MEDIA_INFO_S& m = gNoxaMediaInfo;
    for (int ch = 0; ch < MAX_MEDIA_CHANNEL_NUM; ++ch) {
        NOXA_DBG("init ring buffer Channel:%d Enable:%u", ch, m.channel_enable[ch]);
        if (m.channel_enable[ch] == 0) {
            continue;
        }
        uint32_t bitrate;
        uint32_t fps;
        if (ch == MEDIA_CHANNEL_AUDIO) {
            bitrate = m.audio_databits[ch] * m.audio_sample[ch] / 1024;
            fps = m.audio_fps[ch];
            NOXA_DBG("audio_sample %u, audio_databits %u, audio_fps %u", m.audio_sample[ch], m.audio_databits[ch], fps);
        } else {
            bitrate = m.video_bitrate[ch];
            fps = m.video_fps[ch];
            NOXA_DBG("video_bitrate %u, video_fps %u", bitrate, fps);
        }
        int ret = noxa_ipc_ring_buffer_init(ch, bitrate, fps, 0, nullptr);
        if (ret != 0) {
            NOXA_ERR("init ring buffer fails. %d %d", ch, ret);
            return -3;
        }
        NOXA_DBG("init ring buffer success. channel:%d", ch);
    }
    s_ringBuffersCreated.store(true);
    return 0;
}

int InitCloudStorage()
{
    gNoxaAesCbs.create = NoxaAesCreateCb;
    gNoxaAesCbs.encrypt = NoxaAesEncryptCb;
    gNoxaAesCbs.decrypt = nullptr;
    gNoxaAesCbs.destroy = NoxaAesDestroyCb;
    if (gNoxaAppLinks.CloudStorageInit != nullptr) {
        gNoxaAppLinks.CloudStorageInit(&gNoxaMediaInfo, &gNoxaAesCbs);
    }
    return 0;
}

void NoxaNetStatusCb(uint8_t status)
{
    NOXA_DBG("Net status change to:%d", status);
    if (status == STAT_CLOUD_CONN) {
        Indicator(4);
        NOXA_DBG("mqtt is online");
        gAppState.Online.store(1);
    } else if (status == STAT_MQTT_OFFLINE) {
        NOXA_DBG("\r\n----mqtt is offline\r\n\r");
    }
}

bool NoxaIsOnline()
{
    return gAppState.Online.load() == 1;
}

int NoxaSdkStart(uint32_t mode, const char* token)
{
    NOXA_DBG("SDK Version:%s", noxa_ipc_get_sdk_info());
    NOXA_CLOUD_CFG_S& c = gNoxaCloudCfg;
    c = NOXA_CLOUD_CFG_S{};
    SetText(c.StoragePath, kStoragePath);
    SetText(c.UpgradePath, kUpgradePath);
    SetText(c.SdPath, kSdPath);
    SetText(c.ProductKey, NOXA_CLOUD_PRODUCT_KEY);
    LoadIdentity();
    SetText(c.FwVersion, kFwVersion);
    c.MaxViewers = kMaxViewers;
    FillMediaInfo();
    InitRingBuffers();
    Indicator(0);

    NOXA_IPC_INIT_PARAM_S p = {};
    SetText(p.storage_path, c.StoragePath);
    SetText(p.product_key, c.ProductKey);
    SetText(p.dev_uuid, c.Uuid);
    SetText(p.dev_auth_key, c.AuthKey);
    SetText(p.dev_sw_version, c.FwVersion);
    SetText(p.unused_name, "noxa_ipc");
    p.dp_cmd_obj_cb = gNoxaAppLinks.DispatchObjDp;
    p.dp_cmd_raw_cb = nullptr;
    p.dp_query_cb = gNoxaAppLinks.DispatchDpQuery;
    p.net_status_change_cb = NoxaNetStatusCb;
    p.upgrade_inform_cb = gNoxaAppLinks.UpgradeInform;
    p.reset_cb = gNoxaAppLinks.OnReset;
    p.restart_req_cb = gNoxaAppLinks.OnRestartRequest;
    int ret = noxa_ipc_init_sdk(&p);
    if (ret != 0) {
        // Nothing started: the caller tries the whole start again later.
        NOXA_ERR("noxa_ipc_init_sdk fails %d", ret);
        return ret;
    }
    // The unit starts in access-point mode; a debug start (-m 2 -t TOKEN) takes the QR token on
    // the wired network.
    WIFI_INIT_MODE_E start = mode == WIFI_INIT_DEBUG ? WIFI_INIT_DEBUG : WIFI_INIT_AP;
    ret = noxa_ipc_start_sdk(start, token != nullptr ? token : "");
    if (ret != 0) {
        NOXA_ERR("noxa_ipc_start_sdk fails %d", ret);
    }
    uni_log_set_level(0);
    return 0;
}

void NoxaAppBeforeOnline()
{
    WriteFirmwareVersionFile();
    SetText(gDemoResourceDir, "/tmp");
    SetText(gDemoResourceDir, ".");
    uint32_t mode = gNoxaStartOpts.Mode < 0 ? static_cast<uint32_t>(WIFI_INIT_AP) : static_cast<uint32_t>(gNoxaStartOpts.Mode);
    while (NoxaSdkStart(mode, gNoxaStartOpts.Token) != 0) {
        NOXA_ERR("cloud start skipped, again in %u s", kStartRetryMs / 1000);
        gNoxaAppSleep(kStartRetryMs);
    }
    if (gNoxaAppLinks.RestoreSettings != nullptr) {
        gNoxaAppLinks.RestoreSettings();
    }
}

int NoxaAppOnlinePass()
{
    if (NoxaIsOnline()) {
        return 1;
    }
    gNoxaAppSleep(1000);
    return NoxaIsOnline() ? 1 : 0;
}

void NoxaAppAfterOnline()
{
    const NOXA_APP_LINKS_S& l = gNoxaAppLinks;
    LoadChannelNames();
    if (l.PrepareSdDevName != nullptr) {
        l.PrepareSdDevName();
    }
    if (l.InitNoxaP2p != nullptr) {
        l.InitNoxaP2p(static_cast<int>(gNoxaCloudCfg.MaxViewers));
    }
    if (l.ReportAllState != nullptr) {
        // Sent before the cloud's first clock answer, the reports would carry the seconds since
        // start as their time: give the answer a moment, not more.
        for (uint32_t waited = 0; gw_time_answered() == 0 && waited < kClockAnswerWaitMs; waited += kClockPollMs) {
            gNoxaAppSleep(kClockPollMs);
        }
        l.ReportAllState();
    }
    InitCloudStorage();
    NoxaStartHook();
    if (l.VideoMsgInit != nullptr) {
        l.VideoMsgInit(&gNoxaMediaInfo, 0, 10);
    }
    if (l.SyncUtcTime != nullptr) {
        l.SyncUtcTime();
    }
    if (l.UploadSkills != nullptr) {
        l.UploadSkills();
    }
    if (l.MdProcThread != nullptr) {
        AppStartDetachedThread(l.MdProcThread);
    }
}

void* NoxaAppThread(void*)
{
    pthread_detach(pthread_self());
    NoxaAppBeforeOnline();
    while (NoxaAppOnlinePass() == 0) {
    }
    NoxaAppAfterOnline();
    for (;;) {
        gNoxaAppSleep(10000);
    }
    return nullptr;
}

int StartNoxaAppThread()
{
    pthread_t tid;
    return pthread_create(&tid, nullptr, NoxaAppThread, nullptr);
}
