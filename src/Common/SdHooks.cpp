#include "SdHooks.h"

#include "DeviceState.h"
#include "NoxaApp.h"
#include "NoxaSettings.h"
#include "SDCard.h"
#include "noxa_ipc_sdk/skill/noxa_ipc_skill.h"
#include "noxa_ipc_sdk/stream_storage/noxa_ipc_stream_storage.h"
#include "platform/board_card.h"
#include "platform/shell.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/statfs.h>

namespace {

// The line the remount prints of its commands' output.
constexpr size_t kRemountLineMax = 511;

// The cloud glue's own lines: "Dbg:" or "Err:" and "\r\n".
__attribute__((format(printf, 1, 2))) void GluePrint(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    fflush(stdout);
}
#define GLUE_DBG(fmt, ...) GluePrint("Dbg:" fmt "\r\n", ##__VA_ARGS__)
#define GLUE_ERR(fmt, ...) GluePrint("Err:" fmt "\r\n", ##__VA_ARGS__)

// Never set in this unit: the SD event storage is not started here.
bool s_storagePrepared = false;

uint32_t Kb(uint64_t blocks, uint64_t blockSize)
{
    return static_cast<uint32_t>(blocks * blockSize / 1024);
}

}  // namespace

int get_sd_card_status(void)
{
    return static_cast<int>(GetSDCardState());
}

void remount_sd_card(void)
{
    if (get_sd_card_status() == SD_STATUS_NORMAL) {
        GLUE_DBG("sd don't need to remount!");
        return;
    }
    GLUE_DBG("remount_sd_card ..... ");
    const std::string dev = GetSDCardDeviceName();
    char cmd[160];
    snprintf(cmd, sizeof(cmd), "umount %s;sleep 1;mount -t auto %s /mnt/sdcard;", dev.c_str(), dev.c_str());
    FILE* pipe = BoardPopen(cmd, "r");
    if (pipe == nullptr) {
        GLUE_ERR("remount_sd_card failed");
        return;
    }
    char line[kRemountLineMax + 1] = {};
    if (fgets(line, sizeof(line), pipe) != nullptr) {
        line[strcspn(line, "\n")] = '\0';
        GLUE_DBG("%s", line);
    }
    BoardPclose(pipe);
}

int get_sd_record_mode(void)
{
    if (gDeviceState.SdRecordSetting == 0) {
        return 0;
    }
    return CachedSdRecordMode() != 0 ? 2 : 1;
}

void get_sd_card_capacity(uint32_t* total, uint32_t* used, uint32_t* free)
{
    uint32_t t = 0;
    uint32_t u = 0;
    uint32_t f = 0;
    struct statfs st = {};
    if (BoardStatfs(kSdMountPoint, &st) != 0) {
        GLUE_ERR("statfs failed!/n");
    } else {
        const uint64_t bs = static_cast<uint64_t>(st.f_bsize);
        t = Kb(st.f_blocks, bs);
        u = Kb(st.f_blocks - st.f_bfree, bs);
        f = Kb(st.f_bavail, bs);
        GLUE_DBG("sd capacity: total: %u KB, used %u KB, free %u KB", t, u, f);
    }
    if (total != nullptr) {
        *total = t;
    }
    if (used != nullptr) {
        *used = u;
    }
    if (free != nullptr) {
        *free = f;
    }
}

const char* get_sd_card_mount_path(void)
{
    return kSdMountPoint;
}

int PrepareSdDevice(const char*)
{
    if (s_storagePrepared) {
        GLUE_DBG("The Stream Storage Is Already Inited");
        return 0;
    }
    SetSDCardDeviceName(kSdPartition);
    return 0;
}

void SdHooksInstallLinks()
{
    NOXA_SS_SD_HOOKS_S& h = gNoxaSsSdHooks;
    h.CardStatus = get_sd_card_status;
    h.MountPath = get_sd_card_mount_path;
    h.Capacity = get_sd_card_capacity;
    h.RecordMode = get_sd_record_mode;
    h.Remount = remount_sd_card;
    NOXA_APP_LINKS_S& l = gNoxaAppLinks;
    l.PrepareSdDevName = [] { PrepareSdDevice(gNoxaCloudCfg.SdPath); };
    l.UploadSkills = noxa_ipc_upload_skills;
}
