#include "NoxaSettings.h"

#include "AppLog.h"
#include "DeviceState.h"
#include "DoorPhoneLinks.h"
#include "ConfigFileParse.h"
#include "SDCard.h"
#include "platform/board.h"
#include "platform/board_file.h"
#include "platform/board_card.h"
#include "platform/board_path.h"

#include <cjson/cJSON.h>
#include <pthread.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>

NOXA_SETTINGS_LINKS_S gNoxaSettingsLinks;

namespace {

void DefaultSleep(uint32_t ms)
{
    usleep(ms * 1000);
}

// Module-wide values (written by the cloud thread, read by others).
std::mutex s_textLock;
char s_nightMode[4];
char s_sensitivity[4] = "0";
char s_zoneText[kZoneTextMax + 2];
std::atomic<uint8_t> s_sensLevel{0};
std::atomic<uint32_t> s_zone{0};  // x, y, xlen, ylen packed
std::atomic<uint8_t> s_zoneOn{0};
std::atomic<uint8_t> s_humanFilter{0};
std::atomic<int> s_sdRecordMode{0};
std::atomic<uint32_t> s_capTotal{0}, s_capUsed{0}, s_capFree{0};
std::atomic<uint32_t> s_formatProgress{0};
std::atomic<bool> s_formatting{false};

std::string CfgPath(const char* key)
{
    return std::string(kCfgDir) + "/" + key;
}

// Keys whose missing or unreadable file was logged already: once a key, until it is written.
std::mutex s_notedLock;
std::set<std::string> s_noted;

void NoteDefault(const char* key, const char* why, const std::string& def)
{
    {
        std::lock_guard<std::mutex> lock(s_notedLock);
        if (!s_noted.insert(key).second) {
            return;
        }
    }
    // A missing file is a setting never changed (every new unit has some); only a damaged one is
    // an error.
    if (strcmp(why, "is missing") == 0) {
        APP_DBG("%s/%s %s: the setting reads \"%s\"", kCfgDir, key, why, def.c_str());
    } else {
        APP_ERR("%s/%s %s: the setting reads \"%s\"", kCfgDir, key, why, def.c_str());
    }
}

void ForgetNoted(const char* key)
{
    std::lock_guard<std::mutex> lock(s_notedLock);
    s_noted.erase(key);
}

// Up to `max` bytes of a setting file; false when it cannot be opened or is no regular file (a
// FIFO there would hold the reader for ever).
bool ReadRaw(const char* key, size_t max, std::string* out)
{
    return BoardReadRegular(CfgPath(key).c_str(), max, out) == 0;
}

// Every write of a setting is a device file written whole (WriteDeviceFile), so a power cut
// leaves the old value or the new one; an unchanged value is not written at all.
int WriteFile(const char* key, const char* data, size_t len)
{
    const std::string path = CfgPath(key);
    // From the look at the file to the write: a setter beside this one must not write between
    // them, or the value that answered 0 might not be the one kept.
    BoardFileLock file(path.c_str());
    std::string now;
    if (ReadRaw(key, len + 1, &now) && now.size() == len && memcmp(now.data(), data, len) == 0) {
        return 0;
    }
    // Once a reset has begun not even the folder is made again.
    if (MakeDeviceDir("/DeviceInfo") != 0 || MakeDeviceDir(kCfgDir) != 0 ||
        WriteDeviceFile(path.c_str(), data, len) != 0) {
        return -1;
    }
    ForgetNoted(key);
    return 0;
}

// A whole decimal number, blanks around it allowed ("%d\n" as written, or edited by hand).
bool ParseInt(const std::string& text, int* v)
{
    const char* p = text.c_str();
    if (text.size() != strlen(p)) {
        return false;  // a NUL inside
    }
    char* end = nullptr;
    errno = 0;
    const long n = strtol(p, &end, 10);
    if (end == p || errno != 0 || n < INT_MIN || n > INT_MAX) {
        return false;
    }
    while (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n') {
        ++end;
    }
    *v = static_cast<int>(n);
    return *end == '\0';
}

// A number setting; a missing, empty or garbled file reads as the setting's default (logged once).
int ReadInt(const char* key, int def)
{
    std::string text;
    if (!ReadRaw(key, 64, &text)) {
        NoteDefault(key, "is missing", std::to_string(def));
        return def;
    }
    int v = 0;
    if (!ParseInt(text, &v)) {
        NoteDefault(key, text.empty() ? "is empty" : "is garbled", std::to_string(def));
        return def;
    }
    return v;
}

// The first line of a text setting, without its end, when it is a valid value (UTF-8, no control
// characters, within `max`, and `valid` when given); else the default (logged once).
std::string ReadText(const char* key, size_t max, bool (*valid)(const std::string&), const char* def)
{
    std::string text;
    if (!ReadRaw(key, max + 2, &text)) {
        NoteDefault(key, "is missing", def);
        return def;
    }
    const size_t end = text.find('\n');
    const bool whole = end != std::string::npos || text.size() <= max;
    text.resize(std::min(end, text.size()));
    bool ok = whole && text.size() <= max && IsUtf8(text.data(), text.size()) && (valid == nullptr || valid(text));
    for (const char c : text) {
        ok = ok && (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    }
    if (!ok) {
        NoteDefault(key, "is garbled", def);
        return def;
    }
    return text;
}

bool Digits(const std::string& text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

bool SensitivityText(const std::string& text)
{
    return text == "0" || text == "1" || text == "2";
}

int EmptyLink(const char* what)
{
    APP_ERR("wiring fault: link gNoxaSettingsLinks.%s is empty", what);
    return -1;
}

template <typename Fn, typename... Args>
int Link(Fn fn, const char* what, Args... args)
{
    return fn != nullptr ? fn(args...) : EmptyLink(what);
}

void ApplyZone()
{
    const uint32_t z = s_zone;
    Link(gNoxaSettingsLinks.MotionDetectSetZone, "MotionDetectSetZone", s_zoneOn.load(),
         static_cast<uint8_t>(z >> 24), static_cast<uint8_t>(z >> 16), static_cast<uint8_t>(z >> 8),
         static_cast<uint8_t>(z));
}

void NoReport(uint32_t) {}
void NoCapacity() {}

}  // namespace

void (*gSettingsSleep)(uint32_t ms) = DefaultSleep;
void (*gSdFormatProgressReport)(uint32_t progress) = NoReport;
void (*gSdCapacityReport)() = NoCapacity;
void (*gSdStatusReport)(uint32_t status) = NoReport;

int SetCfgInt(const char* key, int value)
{
    char text[16];
    const int n = snprintf(text, sizeof(text), "%d\n", value);
    return WriteFile(key, text, static_cast<size_t>(n));
}

int GetCfgInt(const char* key)
{
    return ReadInt(key, 0);
}

void CfgEchoForm(const char* text, char* out, size_t size)
{
    size_t n = 0;
    bool blank = false;
    for (const char* p = text; *p != '\0' && n + 1 < size; ++p) {
        if (*p == '"') {
            continue;
        }
        if (*p == ' ' || *p == '\t' || *p == '\n') {
            blank = n > 0;
            continue;
        }
        if (blank && n + 2 < size) {
            out[n++] = ' ';
        }
        blank = false;
        out[n++] = *p;
    }
    out[n] = '\0';
}

int SetCfgText(const char* key, const char* text)
{
    std::string form(strlen(text) + 2, '\0');
    CfgEchoForm(text, form.data(), form.size());
    form.resize(strlen(form.c_str()));
    form += '\n';
    return WriteFile(key, form.data(), form.size());
}

int GetCfgText(const char* key, char* buf, size_t size)
{
    memset(buf, 0, size);
    if (size > 0) {
        snprintf(buf, size, "%s", ReadText(key, size - 1, nullptr, "").c_str());
    }
    return 0;
}

void IPC_APP_set_watermark_onoff(int on)
{
    APP_DBG("set watermark_on_off:%d", on);
    gDeviceState.WatermarkSetting = static_cast<uint32_t>(on);
    SetCfgInt("noxa_watermark_onoff", on);
}

uint32_t IPC_APP_get_watermark_onoff()
{
    const int v = ReadInt("noxa_watermark_onoff", 1);
    APP_DBG("curr watermark_on_off:%d", v);
    gDeviceState.WatermarkSetting = static_cast<uint32_t>(v);
    return static_cast<uint32_t>(v);
}

void IPC_APP_set_alarm_function_onoff(int on)
{
    APP_DBG("set alarm_on_off:%d", on);
    gDeviceState.AlarmSetting = static_cast<uint8_t>(on);
    SetCfgInt("noxa_alarm_on_off", on);
}

uint8_t IPC_APP_get_alarm_function_onoff()
{
    const uint8_t v = static_cast<uint8_t>(GetCfgInt("noxa_alarm_on_off"));
    gDeviceState.AlarmSetting = v;
    return v;
}

void IPC_APP_set_sd_record_onoff(int on)
{
    APP_DBG("set sd_record_on_off:%d", on);
    gDeviceState.SdRecordSetting = static_cast<uint8_t>(on);
    SetCfgInt("noxa_sd_record_on_off", on);
}

uint8_t IPC_APP_get_sd_record_onoff()
{
    const uint8_t v = static_cast<uint8_t>(GetCfgInt("noxa_sd_record_on_off"));
    gDeviceState.SdRecordSetting = v;
    if (v == 0) {
        DoorPhoneLink(gDoorPhoneLinks.RecordStop);
    }
    return v;
}

void IPC_APP_set_sd_record_mode(int mode)
{
    APP_DBG("set sd_record_mode:%d", mode);
    s_sdRecordMode = mode;
    SetCfgInt("noxa_sd_record_mode", mode);
}

int IPC_APP_get_sd_record_mode()
{
    const int v = GetCfgInt("noxa_sd_record_mode");
    APP_DBG("curr sd_record_mode:%d", v);
    s_sdRecordMode = v;
    return v;
}

void IPC_APP_set_alarm_zone_onoff(int on)
{
    APP_DBG("set alarm_zone_onoff:%d", on);
    s_zoneOn = static_cast<uint8_t>(on);
    SetCfgInt("alarm_zone_on_off", on);
    ApplyZone();
}

int IPC_APP_get_alarm_zone_onoff()
{
    const int v = GetCfgInt("alarm_zone_on_off");
    APP_DBG("curr alarm_on_off:%d", v);
    s_zoneOn = static_cast<uint8_t>(v);
    return v;
}

void IPC_APP_set_human_filter(int on)
{
    s_humanFilter = static_cast<uint8_t>(on);
    SetCfgInt("noxa_human_fliter", on);
}

int IPC_APP_get_human_filter()
{
    const int v = GetCfgInt("noxa_human_fliter");
    s_humanFilter = static_cast<uint8_t>(v);
    return v;
}

void IPC_APP_set_night_mode(const char* text)
{
    APP_DBG("set night_mode:%s", text);
    SetCfgText("noxa_night_mode", text);
}

const char* IPC_APP_get_night_mode()
{
    std::lock_guard<std::mutex> lock(s_textLock);
    snprintf(s_nightMode, sizeof(s_nightMode), "%s",
             ReadText("noxa_night_mode", sizeof(s_nightMode) - 1, Digits, "").c_str());
    APP_DBG("curr watermark_on_off:%s", s_nightMode);
    return s_nightMode;
}

void IPC_APP_set_alarm_sensitivity(const char* text)
{
    uint8_t level = 0;
    if (text != nullptr && strchr(text, '0') != nullptr) {
        level = 0;
    } else if (text != nullptr && strchr(text, '1') != nullptr) {
        level = 1;
    } else if (text != nullptr && strchr(text, '2') != nullptr) {
        level = 2;
    } else {
        // Unknown text: level 0, the caller's buffer is left alone.
        level = 3;
    }
    if (level < 3) {
        APP_ERR("%c", '1' + level);
    } else {
        level = 0;
    }
    s_sensLevel = level;
    const char digit[2] = {static_cast<char>('0' + level), '\0'};
    SetCfgText("noxa_alarm_sen", digit);
    Link(gNoxaSettingsLinks.SetMotionSensitivity, "SetMotionSensitivity", level);
}

const char* IPC_APP_get_alarm_sensitivity()
{
    std::lock_guard<std::mutex> lock(s_textLock);
    snprintf(s_sensitivity, sizeof(s_sensitivity), "%s",
             ReadText("noxa_alarm_sen", sizeof(s_sensitivity) - 1, SensitivityText, "0").c_str());
    s_sensLevel = static_cast<uint8_t>(s_sensitivity[0] - '0');
    return s_sensitivity;
}

uint8_t GetAlarmSensitivityLevel()
{
    return s_sensLevel;
}

namespace {

// The zone of a zone text: the last region's x, y, xlen, ylen packed. A region is in percent of
// the picture, so every value lies in 0..100 and no region reaches past the picture's edge (the
// motion detection crops its picture with them). False (logged) when the text is refused.
bool ParseZone(const char* text, uint32_t* zone)
{
    cJSON* root = cJSON_Parse(text);
    if (root == nullptr) {
        APP_ERR("%s %d step error %s", "IPC_APP_set_alarm_zone_draw", 376, cJSON_GetErrorPtr());
        return false;
    }
    std::unique_ptr<cJSON, void (*)(cJSON*)> hold(root, cJSON_Delete);
    const cJSON* num = cJSON_GetObjectItemCaseSensitive(root, "num");
    if (!cJSON_IsNumber(num)) {
        APP_ERR("%s %d step error", "IPC_APP_set_alarm_zone_draw", 382);
        return false;
    }
    if (num->valueint >= 7 || num->valueint < 0) {
        APP_ERR("#####error zone num too big[%d]", num->valueint);
        return false;
    }
    for (int i = 0; i < num->valueint; ++i) {
        char name[16];
        snprintf(name, sizeof(name), "region%d", i);
        const cJSON* r = cJSON_GetObjectItemCaseSensitive(root, name);
        if (!cJSON_IsObject(r)) {
            APP_ERR("#####[%s][%d]error", "IPC_APP_set_alarm_zone_draw", 402);
            return false;
        }
        int v[4];
        const char* keys[4] = {"x", "y", "xlen", "ylen"};
        for (int k = 0; k < 4; ++k) {
            const cJSON* item = cJSON_GetObjectItemCaseSensitive(r, keys[k]);
            const double d = cJSON_IsNumber(item) ? item->valuedouble : 0;
            v[k] = d >= 0 && d <= kZonePercentMax ? static_cast<int>(d) : -1;
        }
        if (v[0] < 0 || v[1] < 0 || v[2] < 0 || v[3] < 0 || v[0] + v[2] > kZonePercentMax ||
            v[1] + v[3] > kZonePercentMax) {
            APP_ERR("#####error zone %s outside the picture", name);
            return false;
        }
        APP_DBG("#####[%s][%d][%d,%d,%d,%d]", "IPC_APP_set_alarm_zone_draw", 411, v[0], v[1], v[2], v[3]);
        *zone = static_cast<uint32_t>(v[0]) << 24 | static_cast<uint32_t>(v[1]) << 16 |
                static_cast<uint32_t>(v[2]) << 8 | static_cast<uint32_t>(v[3]);
    }
    return true;
}

// Start: the stored zone applied again, nothing written.
void RestoreAlarmZone()
{
    std::string raw;
    if (!ReadRaw("alarm_zone", kZoneTextMax + 1, &raw) || raw.empty()) {
        return;
    }
    raw.resize(strnlen(raw.c_str(), raw.size()));
    uint32_t zone = s_zone;
    if (raw.size() > kZoneTextMax || !IsUtf8(raw.data(), raw.size()) || !ParseZone(raw.c_str(), &zone)) {
        NoteDefault("alarm_zone", "is garbled", "");
        return;
    }
    s_zone = zone;
    ApplyZone();
}

}  // namespace

int IPC_APP_set_alarm_zone_draw(const char* text)
{
    if (text == nullptr) {
        return -1;
    }
    APP_DBG("%s %d set alarm_zone_set:%s", "IPC_APP_set_alarm_zone_draw", 370, text);
    // The text is read back into a fixed buffer at start; a longer one would come back cut. It is
    // reported to the cloud as it is, so it must be UTF-8.
    if (strlen(text) > kZoneTextMax) {
        APP_ERR("zone text too long: %zu", strlen(text));
        return -1;
    }
    if (!IsUtf8(text, strlen(text))) {
        APP_ERR("zone text is no UTF-8");
        return -1;
    }
    uint32_t zone = s_zone;
    if (!ParseZone(text, &zone)) {
        return -1;
    }
    s_zone = zone;
    ApplyZone();
    // "alarm_zone" keeps the text byte for byte with its NUL; the cloud form goes through echo.
    WriteFile("alarm_zone", text, strlen(text) + 1);
    SetCfgText("alarm_zone_cloud", text);
    return 0;
}

const char* IPC_APP_get_alarm_zone_draw()
{
    std::lock_guard<std::mutex> lock(s_textLock);
    GetCfgText("alarm_zone_cloud", s_zoneText, kZoneTextMax + 1);
    return s_zoneText;
}

ALARM_ZONE_S GetAlarmZone()
{
    const uint32_t z = s_zone;
    return {static_cast<uint8_t>(z >> 24), static_cast<uint8_t>(z >> 16), static_cast<uint8_t>(z >> 8),
            static_cast<uint8_t>(z)};
}

void GetSdCapacity(uint32_t* total, uint32_t* used, uint32_t* free)
{
    *total = s_capTotal;
    *used = s_capUsed;
    *free = s_capFree;
    struct statfs st = {};
    if (BoardStatfs(kSdMountPoint, &st) != 0) {
        return;
    }
    const uint64_t frag = static_cast<uint64_t>(st.f_frsize != 0 ? st.f_frsize : st.f_bsize);
    const uint64_t t = static_cast<uint64_t>(st.f_blocks) * frag / 1024;
    const uint64_t f = static_cast<uint64_t>(st.f_bfree) * frag / 1024;
    *total = static_cast<uint32_t>(t);
    *free = static_cast<uint32_t>(f);
    *used = static_cast<uint32_t>(t - f);
    s_capTotal = *total;
    s_capUsed = *used;
    s_capFree = *free;
    APP_DBG("curr sd total:%u used:%u empty:%u", *total, *used, *free);
}

uint32_t GetSdStatus()
{
    const uint32_t s = GetSDCardState();
    APP_DBG("curr sd_status:%d", s);
    return s;
}

int SdUnmount()
{
    // The phone takes the card out after this answer: nothing may still be written to it.
    DoorPhoneLink(gDoorPhoneLinks.RecordStop);
    BoardSync();
    APP_DBG("unmount result:%d", 1);
    return 1;
}

int StartSdFormat()
{
    bool idle = false;
    if (!s_formatting.compare_exchange_strong(idle, true)) {
        APP_ERR("a format runs already");
        return -1;
    }
    APP_DBG("start to format sd_card");
    pthread_t tid;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    const int rc = pthread_create(&tid, &attr, SdFormatThread, nullptr);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        s_formatting = false;
        return -1;
    }
    return 0;
}

int SdFormatRunning()
{
    return s_formatting ? 1 : 0;
}

uint32_t GetSdFormatProgress()
{
    return s_formatProgress;
}

int FormatSdCardStep()
{
    APP_DBG("sd format begin");
    Link(gNoxaSettingsLinks.StopSdPlayback, "StopSdPlayback");
    DoorPhoneLink(gDoorPhoneLinks.RecordStop);
    const int rc = SDCardFormat();
    APP_DBG("sd format end");
    return rc;
}

void SdFormatRun()
{
    auto progress = [](uint32_t p) {
        s_formatProgress = p;
        gSdFormatProgressReport(p);
    };
    progress(0);
    gSettingsSleep(1000);
    progress(10);
    Link(gNoxaSettingsLinks.SdWriteMode, "SdWriteMode", 0);
    Link(gNoxaSettingsLinks.StopAllPlayback, "StopAllPlayback");
    gSettingsSleep(1000);
    progress(30);
    gSettingsSleep(1000);
    const int rc = FormatSdCardStep();
    if (rc != 0) {
        // No card or a failed format: the phone sees the card's real state, never a 100.
        APP_ERR("sd format failed %d", rc);
        gSdStatusReport(GetSDCardState());
        s_formatting = false;
        return;
    }
    progress(80);
    Link(gNoxaSettingsLinks.SdWriteMode, "SdWriteMode", 2);
    gSettingsSleep(1000);
    gSdCapacityReport();
    progress(100);
    s_formatting = false;
}

void* SdFormatThread(void*)
{
    SdFormatRun();
    return nullptr;
}

uint8_t CachedHumanFilter()
{
    return s_humanFilter;
}

uint8_t CachedAlarmZoneOn()
{
    return s_zoneOn;
}

int CachedSdRecordMode()
{
    return s_sdRecordMode;
}

void RestoreNoxaSettings()
{
    IPC_APP_get_alarm_function_onoff();
    IPC_APP_get_sd_record_onoff();
    IPC_APP_get_watermark_onoff();
    IPC_APP_get_alarm_zone_onoff();
    IPC_APP_get_human_filter();
    IPC_APP_get_sd_record_mode();
    const char* sens = IPC_APP_get_alarm_sensitivity();
    // The getter lets only "0", "1" or "2" through.
    Link(gNoxaSettingsLinks.SetMotionSensitivity, "SetMotionSensitivity", static_cast<uint8_t>(sens[0] - '0'));
    RestoreAlarmZone();
}
