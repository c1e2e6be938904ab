#include "DpTable.h"

#include "AppLog.h"
#include "AppState.h"
#include "AppWorker.h"
#include "ConfigFileParse.h"
#include "DeviceState.h"
#include "DoorPhone.h"
#include "DoorPhoneLinks.h"
#include "Media/osd.h"
#include "NoxaApp.h"
#include "NoxaSettings.h"
#include "Peripheral.h"
#include "SDCard.h"
#include "noxa_ipc_sdk/noxa_ipc_api.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

int (*gDpReport)(const char* devId, uint8_t dpid, uint8_t type, const void* value, uint32_t cnt) =
    noxa_ipc_dp_report;

namespace {

void DefaultSleep(uint32_t ms)
{
    usleep(ms * 1000);
}

// Each door's lock as last reported: open from the unlock until its hold or session ends.
std::atomic<uint8_t> sLockOpen[2] = {0, 0};

bool Online()
{
    return gAppState.Online.load() == 1;
}

// The gate's second report waits a second; the cloud thread never waits for it.
AppWorker& GateWorker()
{
    static AppWorker* worker = new AppWorker("dp_gate", 2);
    return *worker;
}

// Reports the stored value of a bool setting.
void BoolRow(const OBJ_DP_S* dp, int query, uint8_t id, int (*get)(), void (*set)(int))
{
    if (query == 0) {
        const int v = DpValueToBool(dp);
        // A refused value leaves the setting as it was; the phone sees the stored one.
        if (v >= 0) {
            set(v);
        }
    }
    ReportDpBool(id, static_cast<uint32_t>(get()));
}

// Plain number settings: one key each; some print their stored and read-back values.
template <uint8_t Id>
struct PlainBool;

void SayPlain(const char* key, const char* fmt, int v)
{
    if (fmt != nullptr) {
        AppLogPrint(APP_LOG_BLUE, key, fmt, v);
    }
}

#define PLAIN_BOOL(ID, KEY, SET_TEXT, CURR_TEXT)                                                   \
    template <>                                                                                    \
    struct PlainBool<ID> {                                                                         \
        static int Get()                                                                           \
        {                                                                                          \
            const int v = GetCfgInt(KEY);                                                          \
            SayPlain(KEY, CURR_TEXT, v);                                                           \
            return v;                                                                              \
        }                                                                                          \
        static void Set(int v)                                                                     \
        {                                                                                          \
            SayPlain(KEY, SET_TEXT, v);                                                            \
            SetCfgInt(KEY, v);                                                                     \
        }                                                                                          \
        static void Handle(const OBJ_DP_S* dp, int query) { BoolRow(dp, query, ID, Get, Set); }   \
    };
PLAIN_BOOL(105, "noxa_sleep_mode", nullptr, nullptr)
PLAIN_BOOL(101, "noxa_light_onoff", nullptr, nullptr)
PLAIN_BOOL(103, "noxa_flip_onoff", "set flip_on_off:%d", "curr flip_on_off:%d")
// Its read-back line names the watermark, as night mode's does: logs are searched for these texts.
PLAIN_BOOL(107, "noxa_wdr_onoff", "set wdr_on_off:%d", "curr watermark_on_off:%d")
PLAIN_BOOL(138, "noxa_blub_on_off", "set blub_on_off:%d", "curr blub_on_off:%d")
#undef PLAIN_BOOL

void HandleWatermark(const OBJ_DP_S* dp, int query)
{
    BoolRow(dp, query, 104, [] { return static_cast<int>(IPC_APP_get_watermark_onoff()); },
            IPC_APP_set_watermark_onoff);
}

void HandleAlarm(const OBJ_DP_S* dp, int query)
{
    BoolRow(dp, query, 134, [] { return static_cast<int>(IPC_APP_get_alarm_function_onoff()); },
            IPC_APP_set_alarm_function_onoff);
}

void HandleZoneOnOff(const OBJ_DP_S* dp, int query)
{
    if (query == 0 && dp == nullptr) {
        APP_ERR("Error!! type invalid %p ", static_cast<const void*>(dp));
        return;
    }
    BoolRow(dp, query, 168, IPC_APP_get_alarm_zone_onoff, IPC_APP_set_alarm_zone_onoff);
}

void HandleSdRecord(const OBJ_DP_S* dp, int query)
{
    if (query != 0) {
        ReportDpBool(150, gDeviceState.SdRecordSetting.load());
        return;
    }
    BoolRow(dp, query, 150, [] { return static_cast<int>(IPC_APP_get_sd_record_onoff()); },
            IPC_APP_set_sd_record_onoff);
}

void HandleHumanFilter(const OBJ_DP_S* dp, int query)
{
    if (query == 0) {
        const int v = DpValueToBool(dp);
        APP_DBG("filter_enable %d", v);
        if (v >= 0) {
            IPC_APP_set_human_filter(v);
        }
    }
    ReportDpBool(170, static_cast<uint32_t>(IPC_APP_get_human_filter()));
}

// Enum rows take type 3 only.
bool EnumOk(const OBJ_DP_S* dp)
{
    if (dp == nullptr || dp->type != PROP_ENUM) {
        APP_ERR("Error!! type invalid %d ", dp != nullptr ? dp->type : -1);
        return false;
    }
    return true;
}

std::string Digit(uint32_t v)
{
    return std::to_string(v);
}

void HandleNightMode(const OBJ_DP_S* dp, int query)
{
    if (query == 0) {
        if (!EnumOk(dp)) {
            return;
        }
        IPC_APP_set_night_mode(Digit(dp->value.dp_enum).c_str());
    }
    ReportDpEnum(108, IPC_APP_get_night_mode());
}

void HandleSensitivity(const OBJ_DP_S* dp, int query)
{
    if (query == 0) {
        if (!EnumOk(dp)) {
            return;
        }
        IPC_APP_set_alarm_sensitivity(Digit(dp->value.dp_enum).c_str());
    }
    ReportDpEnum(106, IPC_APP_get_alarm_sensitivity());
}

void HandleSdRecordMode(const OBJ_DP_S* dp, int query)
{
    if (query == 0) {
        if (!EnumOk(dp)) {
            return;
        }
        IPC_APP_set_sd_record_mode(static_cast<int>(dp->value.dp_enum));
    }
    ReportDpEnum(151, Digit(static_cast<uint32_t>(IPC_APP_get_sd_record_mode())).c_str());
}

void HandleZoneDraw(const OBJ_DP_S* dp, int query)
{
    if (query == 0) {
        if (dp == nullptr || dp->type != PROP_STR || dp->value.dp_str == nullptr) {
            APP_ERR("Error!! type invalid");
            return;
        }
        IPC_APP_set_alarm_zone_draw(dp->value.dp_str);
    }
    ReportDpString(169, IPC_APP_get_alarm_zone_draw());
}

void HandleSdStatus(const OBJ_DP_S*, int)
{
    ReportDpValue(110, GetSdStatus());
}

void HandleSdCapacity(const OBJ_DP_S*, int)
{
    ReportSdCapacity();
}

void HandleUnmount(const OBJ_DP_S*, int query)
{
    if (query == 0) {
        SdUnmount();
    }
    ReportDpBool(112, 1);
}

void HandleFormat(const OBJ_DP_S*, int query)
{
    if (query != 0) {
        ReportDpBool(111, static_cast<uint32_t>(SdFormatRunning()));
        return;
    }
    // A second format on one card is refused while the first runs.
    ReportDpBool(111, StartSdFormat() == 0 ? 1 : 0);
}

void HandleFormatProgress(const OBJ_DP_S*, int)
{
    ReportDpValue(117, GetSdFormatProgress());
}

void HandlePtzMove(const OBJ_DP_S* dp, int query)
{
    if (query != 0) {
        return;
    }
    if (!EnumOk(dp)) {
        return;
    }
    static const char* const kMove[8] = {"1", "2", "3", "4", "5", "6", "7", "0"};
    if (dp->value.dp_enum > 7) {
        APP_ERR("ptz move %u out of range", dp->value.dp_enum);
        return;
    }
    const char* text = kMove[dp->value.dp_enum];
    APP_DBG("ptz start move:%s", text);
    ReportDpEnum(119, text);
}

void HandlePtzStop(const OBJ_DP_S*, int query)
{
    if (query == 0) {
        APP_DBG("ptz stop move");
    }
    ReportDpBool(116, 1);
}

void HandlePtzCheck(const OBJ_DP_S*, int query)
{
    if (query == 0) {
        APP_DBG("ptz check");
    }
    ReportDpBool(132, 1);
}

void HandleTracking(const OBJ_DP_S* dp, int query)
{
    if (query != 0) {
        ReportDpBool(161, 0);
        return;
    }
    const int v = DpValueToBool(dp);
    APP_DBG("track_enable %d", v);
    if (v >= 0) {
        ReportDpBool(161, static_cast<uint32_t>(v));
    }
}

void HandlePatrolMode(const OBJ_DP_S* dp, int query)
{
    uint32_t v = 0;
    if (query == 0) {
        if (!EnumOk(dp)) {
            return;
        }
        v = dp->value.dp_enum;
        APP_DBG("patrol_mode %d", v);
    }
    ReportDpEnum(175, Digit(v).c_str());
}

void HandlePatrolSwitch(const OBJ_DP_S* dp, int query)
{
    int v = 0;
    if (query == 0) {
        v = DpValueToBool(dp);
        APP_DBG("patrol_switch %d", v);
        if (v < 0) {
            return;
        }
    }
    ReportDpBool(174, static_cast<uint32_t>(v));
}

void HandlePatrolTimeMode(const OBJ_DP_S* dp, int query)
{
    uint32_t v = 0;
    if (query == 0) {
        if (!EnumOk(dp)) {
            return;
        }
        v = dp->value.dp_enum;
        APP_DBG("patrol_tmode %d", v);
    }
    ReportDpEnum(176, Digit(v).c_str());
}

void HandlePatrolTime(const OBJ_DP_S* dp, int query)
{
    if (query == 0 && dp != nullptr && dp->type == PROP_STR && dp->value.dp_str != nullptr) {
        APP_DBG("---%s---", dp->value.dp_str);
    }
}

void HandlePatrolState(const OBJ_DP_S*, int)
{
    APP_DBG("---get_patrol_state:%d", 0);
    ReportDpEnum(179, "0");
}

void HandlePreset(const OBJ_DP_S*, int) {}

void HandleBindMove(const OBJ_DP_S* dp, int query)
{
    uint32_t v = 0;
    if (query == 0) {
        if (!EnumOk(dp)) {
            return;
        }
        v = dp->value.dp_enum;
        APP_DBG("IPC_APP_set_bind_move:%d", v);
    }
    ReportDpEnum(190, Digit(v).c_str());
}

void HandleBindPos(const OBJ_DP_S* dp, int query)
{
    uint32_t v = 0;
    if (query == 0) {
        if (!EnumOk(dp)) {
            return;
        }
        v = dp->value.dp_enum;
        APP_DBG("IPC_APP_set_bind_pos:%d", v);
    }
    ReportDpEnum(199, Digit(v).c_str());
}

void HandleDoorbell(const OBJ_DP_S*, int query)
{
    if (query == 0) {
        APP_ERR("error! door bell can only trigged by IPC side.");
    }
    ReportDpString(136, "-1");
}

void HandleNotSupported(const OBJ_DP_S*, int query)
{
    if (query == 0) {
        APP_ERR("error! not implememt yet.");
    }
}

void HandleBattery(const OBJ_DP_S*, int)
{
    APP_DBG("current battery percent:%d", kBatteryLevel);
    ReportDpValue(145, kBatteryLevel);
}

void HandlePowerMode(const OBJ_DP_S*, int)
{
    APP_DBG("current power mode:%s", kPowerModeText);
    ReportDpEnum(146, kPowerModeText);
}

void HandleValueEcho(const OBJ_DP_S* dp, int query)
{
    if (query != 0) {
        return;
    }
    if (dp == nullptr || dp->type != PROP_VALUE) {
        APP_ERR("Error!! type invalid %d ", dp != nullptr ? dp->type : -1);
        return;
    }
    ReportDpValue(147, static_cast<uint32_t>(dp->value.dp_value));
}

uint32_t Word(const OBJ_DP_S* dp)
{
    return dp != nullptr ? dp->value.dp_bitmap : 0;
}

void HandleLock(const OBJ_DP_S* dp, int query)
{
    if (query != 0) {
        ReportDpBool(148, 0);
        return;
    }
    const uint8_t door = gCurrentDoor;
    ReportDoorLockState(door, 1);
    UnlockCurrentDoor();
    ShowIconOsd(0, kOsdIconBlinkTicks, kOsdIconShowTicks);
    APP_DBG("DP LOCK %d.", Word(dp));
    ReportDpBool(148, 1);
}

void HandleGate(const OBJ_DP_S* dp, int query)
{
    if (query != 0) {
        ReportDpBool(232, 0);
        return;
    }
    GateOpen();
    ShowIconOsd(1, kOsdIconBlinkTicks, kOsdIconShowTicks);
    APP_DBG("DP GATE_LOCK %d.", Word(dp));
    ReportDpBool(232, 1);
    const bool queued = GateWorker().Post([] {
        gDpSleep(1000);
        ReportDpBool(232, 0);
    });
    if (!queued) {
        // Gate commands faster than their second reports: the phone still sees the gate closed.
        ReportDpBool(232, 0);
    }
}

void HandleChannel(const OBJ_DP_S* dp, int query)
{
    if (query != 0) {
        ReportChannels(gCurrentDoor);
        return;
    }
    if (dp == nullptr || dp->type != PROP_STR || dp->value.dp_str == nullptr) {
        APP_ERR("Error!! type invalid %d ", dp != nullptr ? dp->type : -1);
        return;
    }
    APP_DBG("DP SWITCH_CHANNEL %s.", dp->value.dp_str);
    ChannelCommand(dp->value.dp_str);
}

void HandleDoorUnlock(uint8_t door, uint8_t id, const OBJ_DP_S* dp, int query)
{
    if (query != 0) {
        ReportDpValue(id, sLockOpen[door].load());
        return;
    }
    APP_DBG(door == 0 ? "DP handle_DP_DOOR1_UNLOCK %d." : "DP handle_DP_DOOR2_UNLOCK %d.", Word(dp));
    // The phone is told the door opened only once the order is on its way to the bus.
    if (DoorUnlock(door) != 0) {
        APP_ERR("Door%u unlock not sent to the bus: the lock stays %s", door + 1U,
                sLockOpen[door] != 0 ? "open" : "closed");
        ReportDpValue(id, sLockOpen[door].load());
        return;
    }
    ReportDoorLockState(door, 1);
    // The bus gives no word when the station's lock closes: it is reported closed after a hold.
    gDeviceState.BusUnlockTimer[door] = kUnlockHoldTicks;
}

void HandleDoor1(const OBJ_DP_S* dp, int query)
{
    HandleDoorUnlock(0, 241, dp, query);
}

void HandleDoor2(const OBJ_DP_S* dp, int query)
{
    HandleDoorUnlock(1, 242, dp, query);
}

const DP_ROW_S* FindRow(uint8_t id)
{
    for (const DP_ROW_S& row : gDpTable) {
        if (static_cast<uint8_t>(row.DpId) == id) {
            return &row;
        }
    }
    return nullptr;
}

int Report(uint8_t id, uint8_t type, const void* value)
{
    if (!Online()) {
        return 0;
    }
    return gDpReport(nullptr, id, type, value, 1);
}

void ReportChannelListLink(const char* text)
{
    ReportDpString(231, text);
}

void NotifyDoorbellLink(const uint8_t* jpeg, uint32_t length)
{
    // Without a picture the press goes out as the event alone.
    const int mode = length != 0 ? 0 : 1;
    APP_DBG("doorbell picture of %u bytes", length);
    noxa_ipc_notify_door_bell_press_generic(mode, const_cast<uint8_t*>(jpeg), length, length != 0 ? 1 : 0);
}

}  // namespace

void (*gDpSleep)(uint32_t ms) = DefaultSleep;

const DP_ROW_S gDpTable[kDpRowCount] = {
    {105, PlainBool<105>::Handle}, {101, PlainBool<101>::Handle}, {103, PlainBool<103>::Handle},
    {104, HandleWatermark},        {107, PlainBool<107>::Handle}, {108, HandleNightMode},
    {134, HandleAlarm},            {106, HandleSensitivity},      {168, HandleZoneOnOff},
    {169, HandleZoneDraw},         {110, HandleSdStatus},         {109, HandleSdCapacity},
    {150, HandleSdRecord},         {151, HandleSdRecordMode},     {112, HandleUnmount},
    {111, HandleFormat},           {117, HandleFormatProgress},   {119, HandlePtzMove},
    {116, HandlePtzStop},          {132, HandlePtzCheck},         {161, HandleTracking},
    {170, HandleHumanFilter},      {175, HandlePatrolMode},       {174, HandlePatrolSwitch},
    {176, HandlePatrolTimeMode},   {177, HandlePatrolTime},       {179, HandlePatrolState},
    {178, HandlePreset},           {190, HandleBindMove},         {199, HandleBindPos},
    {136, HandleDoorbell},         {138, PlainBool<138>::Handle}, {139, HandleNotSupported},
    {140, HandleNotSupported},     {141, HandleNotSupported},     {142, HandleNotSupported},
    {143, HandleNotSupported},     {145, HandleBattery},          {146, HandlePowerMode},
    {147, HandleValueEcho},        {148, HandleLock},             {232, HandleGate},
    {231, HandleChannel},          {241, HandleDoor1},            {242, HandleDoor2},
};

void IPC_APP_dispatch_obj_dp(const RECV_OBJ_DP_S* cmd)
{
    if (cmd == nullptr) {
        return;
    }
    for (uint32_t i = 0; i < cmd->dps_cnt; ++i) {
        if (const DP_ROW_S* row = FindRow(cmd->dps[i].dpid)) {
            row->Handler(&cmd->dps[i], 0);
        }
    }
}

void IPC_APP_dispatch_dp_query(const DP_QUERY_S* query)
{
    if (query == nullptr) {
        return;
    }
    for (uint32_t i = 0; i < query->cnt; ++i) {
        if (const DP_ROW_S* row = FindRow(query->dpid[i])) {
            row->Handler(nullptr, 1);
        }
    }
}

int ReportDpValue(uint8_t id, uint32_t value)
{
    return Report(id, PROP_VALUE, &value);
}

int ReportDpBool(uint8_t id, uint32_t value)
{
    return Report(id, PROP_BOOL, &value);
}

int ReportDpEnum(uint8_t id, const char* text)
{
    return Report(id, PROP_ENUM, text);
}

int ReportDpString(uint8_t id, const char* text)
{
    return Report(id, PROP_STR, text);
}

int DpValueToBool(const OBJ_DP_S* dp)
{
    if (dp == nullptr) {
        APP_ERR("error! input is null ");
        return -1;
    }
    if (dp->type != PROP_BOOL) {
        APP_ERR("error! input is not bool %d ", dp->type);
        return -2;
    }
    if (dp->value.dp_bool == 0 || dp->value.dp_bool == 1) {
        return dp->value.dp_bool;
    }
    APP_ERR("Error!! type invalid %d ", dp->value.dp_bool);
    return -2;
}

void IPC_APP_report_sd_status_changed(uint32_t status)
{
    APP_DBG("status is %d", status);
    ReportDpValue(110, status);
}

void ReportSdFormatStatus(uint32_t progress)
{
    ReportDpValue(117, progress);
}

void ReportSdCapacity()
{
    uint32_t total = 0;
    uint32_t used = 0;
    uint32_t free = 0;
    GetSdCapacity(&total, &used, &free);
    char text[40];
    snprintf(text, sizeof(text), "%u|%u|%u", total, used, free);
    ReportDpString(109, text);
}

void ResponedDoorbell(uint8_t door, uint8_t state)
{
    if (door > 1 || !Online()) {
        return;
    }
    if (state == 0) {
        APP_DBG("[%s] Door%d To Ring", "ResponedDoorbell", door + 1);
    } else {
        APP_DBG("[%s] Door%d To Normal", "ResponedDoorbell", door + 1);
    }
    const int ret = ReportDpEnum(door == 0 ? 239 : 240, state == 0 ? "0" : "1");
    // A lost ring is a call the phone never hears of; a lost "normal" is set right by the full
    // state the next connection reports.
    if (ret != 0 && state == 0) {
        APP_ERR("Door%d ring report not sent: %d", door + 1, ret);
    }
}

void ReportDoorLockState(uint8_t door, uint8_t open)
{
    if (door > 1) {
        return;
    }
    // A value, as the command's answer on the same data points.
    sLockOpen[door] = open != 0 ? 1 : 0;
    ReportDpValue(door == 0 ? 241 : 242, sLockOpen[door].load());
}

void ReportFullState()
{
    ReportChannels(0);
    ResponedDoorbell(0, 1);
    ResponedDoorbell(1, 1);
    ReportDoorLockState(0, sLockOpen[0]);
    ReportDoorLockState(1, sLockOpen[1]);
    ReportDpBool(134, IPC_APP_get_alarm_function_onoff());
    ReportDpBool(150, IPC_APP_get_sd_record_onoff());
    ReportDpEnum(106, IPC_APP_get_alarm_sensitivity());
    ReportDpBool(170, static_cast<uint32_t>(IPC_APP_get_human_filter()));
    ReportDpBool(168, static_cast<uint32_t>(IPC_APP_get_alarm_zone_onoff()));
    // The door-phone busy test of this unit never holds the state back.
    IPC_APP_report_sd_status_changed(GetSDCardState());
    const std::string mode = Digit(static_cast<uint32_t>(IPC_APP_get_sd_record_mode()));
    ReportDpEnum(151, mode.c_str());
    // These two go out whatever the online flag says.
    gDpReport(nullptr, 151, PROP_ENUM, mode.c_str(), 1);
    const uint32_t watermark = gDeviceState.WatermarkSetting;
    gDpReport(nullptr, 104, PROP_BOOL, &watermark, 1);
}

void DpTableInstall()
{
    DOOR_PHONE_LINKS_S& d = gDoorPhoneLinks;
    d.RespondDoorbell = ResponedDoorbell;
    d.ReportDoorLockState = ReportDoorLockState;
    d.ReportChannelList = ReportChannelListLink;
    d.NotifyDoorbell = NotifyDoorbellLink;
    d.AlarmSetting = IPC_APP_get_alarm_function_onoff;
    d.SdRecordSetting = [] {
        // At start no recording runs yet: only the setting is read.
        return static_cast<uint8_t>(GetCfgInt("noxa_sd_record_on_off"));
    };
    d.WatermarkSetting = IPC_APP_get_watermark_onoff;
    gSdCardLinks.ReportState = IPC_APP_report_sd_status_changed;
    gSdFormatProgressReport = ReportSdFormatStatus;
    gSdCapacityReport = ReportSdCapacity;
    gSdStatusReport = IPC_APP_report_sd_status_changed;
    NOXA_APP_LINKS_S& n = gNoxaAppLinks;
    n.DispatchObjDp = IPC_APP_dispatch_obj_dp;
    n.DispatchDpQuery = IPC_APP_dispatch_dp_query;
    n.RestoreSettings = RestoreNoxaSettings;
    n.ReportAllState = ReportFullState;
}
