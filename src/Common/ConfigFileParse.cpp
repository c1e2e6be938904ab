#include "ConfigFileParse.h"

#include "AppLog.h"
#include "AppState.h"
#include "Countdown.h"
#include "DeviceState.h"
#include "DoorPhone.h"
#include "DoorPhoneLinks.h"
#include "Media/VencStream.h"
#include "Peripheral.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"
#include "platform/board_file.h"
#include "platform/board_path.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cjson/cJSON.h>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>

// The identity records are DES; mbedcrypto is the cloud side's already, so no second crypto library.
#include <mbedtls/aes.h>
#include <mbedtls/des.h>

namespace {

constexpr const char* kDefaultChannelName[2] = {"Door 1", "Door 2"};
constexpr size_t kIniLineMax = 100;  // 99 characters and the NUL
constexpr uint32_t kPushDelayDefault = 100;

constexpr uint8_t kDesKey[8] = {0x5c, 0x1e, 0x9a, 0x07, 0xd3, 0xb4, 0xf2, 0x68};
constexpr char kDesIv[] = "qplmvbtz";

// Channel names in gDeviceState: written by the cloud side's data points, read by the start
// and the reports.
std::mutex gChannelMutex;

// Set once a factory reset has begun; never cleared (the unit restarts). Writers hold the lock
// shared from their look at the flag to the end of their write, the reset takes it alone to set
// the flag: a write that saw it clear is over before the reset removes anything.
std::atomic<bool> s_deviceFilesStopped{false};
std::shared_mutex s_deviceFilesLock;

struct JsonDeleter {
    void operator()(cJSON* j) const { cJSON_Delete(j); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

// A trim with a missing or shared buffer is a fault of its caller, not of the file.
void __TrimCheck(bool ok, const char* condition)
{
    if (!ok) {
        std::fprintf(stderr, "ConfigFileParse: Assertion `%s' failed.\n", condition);
        std::abort();
    }
}

void __TrimArgs(char* out, const char* in)
{
    __TrimCheck(in != nullptr, "szInput != ((void *)0)");
    __TrimCheck(out != nullptr, "szOutput != ((void *)0)");
    __TrimCheck(out != in, "szOutput != szInput");
}

bool __Blank(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// The first character of `s` that is not blank (its end when all are).
const char* SkipBlanks(const char* s)
{
    while (*s != '\0' && __Blank(*s)) {
        ++s;
    }
    return s;
}

// The length of `s` without its trailing blanks.
size_t LengthBeforeBlanks(const char* s)
{
    size_t len = std::strlen(s);
    while (len > 0 && __Blank(s[len - 1])) {
        --len;
    }
    return len;
}

int __WriteText(const char* unitPath, const std::string& text)
{
    return WriteDeviceFile(unitPath, text.data(), text.size());
}

// Up to `max` bytes of a file as text; false without the file (or with anything but a regular
// file at the path).
bool __ReadText(const char* unitPath, size_t max, std::string* text)
{
    return BoardReadRegular(unitPath, max, text) == 0;
}

// A whole device file of at most kDeviceFileReadMax bytes, and its permission bits; false (an
// error line) when it cannot be read, is no regular file or is larger than any the unit writes.
bool __ReadWhole(const char* unitPath, std::string* text, mode_t* mode = nullptr)
{
    bool whole = false;
    if (BoardReadRegular(unitPath, kDeviceFileReadMax, text, &whole, mode) != 0) {
        APP_ERR("openfile [%s] error [%s]", unitPath, std::strerror(errno));
        return false;
    }
    if (!whole) {
        APP_ERR("%s: larger than %zu bytes", unitPath, kDeviceFileReadMax);
        return false;
    }
    return true;
}

uint32_t __Decimal(const std::string& text)
{
    long long v = std::strtoll(text.c_str(), nullptr, 10);
    return v <= 0 ? 0 : static_cast<uint32_t>(std::min<long long>(v, UINT32_MAX));
}

// At most the characters a rename allows, never ending inside a UTF-8 character; line breaks and
// other control characters become blanks, since each name is one line of the channel file. A name
// that is no UTF-8 would make the channel list's JSON unreadable to the phone: the door's default
// name stands in for it.
std::string __ChannelName(std::string name, int door)
{
    if (!IsUtf8(name.data(), name.size())) {
        APP_ERR("door %d name is no UTF-8 text: \"%s\" stands for it", door + 1, kDefaultChannelName[door]);
        name = kDefaultChannelName[door];
    }
    if (name.size() > kChannelNameMax) {
        size_t cut = kChannelNameMax;
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        name.resize(cut);
    }
    for (char& c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = ' ';
        }
    }
    return name;
}

void __SetNamesLocked(const std::string& name1, const std::string& name2)
{
    const std::string* names[2] = {&name1, &name2};
    for (int i = 0; i < 2; ++i) {
        char* field = gDeviceState.ChannelName[i];
        std::snprintf(field, sizeof(gDeviceState.ChannelName[i]), "%s", names[i]->c_str());
    }
}

int __WriteChannelFileLocked()
{
    std::string text = std::string(gDeviceState.ChannelName[0]) + "\n" + gDeviceState.ChannelName[1] + "\n";
    return __WriteText(kChannelFile, text);
}

// Whole line without its end ("\n" or "\r\n"); false when there is no line left.
bool __NextLine(const std::string& text, size_t* at, std::string* line)
{
    if (*at >= text.size()) {
        return false;
    }
    size_t end = text.find('\n', *at);
    if (end == std::string::npos) {
        end = text.size();
    }
    *line = text.substr(*at, end - *at);
    if (!line->empty() && line->back() == '\r') {
        line->pop_back();
    }
    *at = end + 1;
    return true;
}

// The JSON text as a JSON string's content: every '"' and '\' behind a backslash.
std::string __EscapeOnce(const char* json)
{
    std::string out;
    for (const char* p = json; *p != '\0'; ++p) {
        if (*p == '"' || *p == '\\') {
            out += '\\';
        }
        out += *p;
    }
    return out;
}

int __ChangeChannel(const cJSON* root)
{
    const cJSON* cc = cJSON_GetObjectItemCaseSensitive(root, "cc");
    if (!cJSON_IsNumber(cc) || cc->valuedouble != cc->valueint || cc->valueint < 1 || cc->valueint > 2) {
        APP_ERR("error:%s", "cc must be 1 or 2");
        return -1;
    }
    const uint8_t door = static_cast<uint8_t>(cc->valueint - 1);
    DEVICE_STATE_S& s = gDeviceState;
    APP_DBG("cc: %d", cc->valueint);
    s.ViewingTimer = kViewingTicks;
    DoorMonitorControl(door, 1);
    SetSystemMainState(static_cast<uint16_t>(SYS_STATE_MONITOR | (door + 1)));
    ReportChannels(door);
    // A lock held open for the door left behind is closed now, not at the end of its hold.
    uint16_t hold = s.UnlockHoldTimer;
    while (CountdownRunning(hold) && !s.UnlockHoldTimer.compare_exchange_weak(hold, kCountdownStopped)) {
    }
    if (CountdownRunning(hold)) {
        LockOutput(gAppState.UnlockedDoor, 0);
    }
    // The frames of the door left behind are not shown any more; with a key frame next, viewers
    // see the new door at once.
    // Before the cloud side made the buffers there is nothing to clear, and every call on a
    // missing channel pauses like a polling reader: a switch would take seconds.
    for (int channel = 0; channel <= 1 && noxa_ipc_ring_buffer_video_channel_num() > 0; ++channel) {
        for (int user = 0; user < 16; ++user) {
            noxa_ipc_ring_buffer_clean_user_state_and_buffer(channel, user);
        }
    }
    RequestVideoIdr();
    gCurrentDoor = door;
    return 0;
}

int __RenameChannels(const cJSON* root)
{
    const cJSON* chs = cJSON_GetObjectItemCaseSensitive(root, "chs");
    std::string names[2];
    for (int i = 0; i < 2; ++i) {
        const cJSON* item = cJSON_IsArray(chs) ? cJSON_GetArrayItem(chs, i) : nullptr;
        const cJSON* n = item != nullptr ? cJSON_GetObjectItemCaseSensitive(item, "n") : nullptr;
        if (!cJSON_IsString(n)) {
            APP_ERR("error:%s", "chs needs two items with a name n");
            return -1;
        }
        names[i] = __ChannelName(n->valuestring, i);
    }
    {
        std::lock_guard<std::mutex> lock(gChannelMutex);
        __SetNamesLocked(names[0], names[1]);
        APP_DBG("chn1 %s chn2 %s", gDeviceState.ChannelName[0], gDeviceState.ChannelName[1]);
        if (__WriteChannelFileLocked() != 0) {
            APP_ERR("%s not written", kChannelFile);
        }
    }
    ReportChannels(gCurrentDoor);
    return 0;
}

}  // namespace

int WriteDeviceFile(const char* unitPath, const void* data, size_t len, mode_t mode)
{
    if (unitPath == nullptr) {
        return -1;
    }
    // The file's lock before the reset's: a read-modify-write holds the file's across its own
    // WriteDeviceFile, so both take them in one order.
    BoardFileLock file(unitPath);
    std::shared_lock<std::shared_mutex> lock(s_deviceFilesLock);
    if (s_deviceFilesStopped.load()) {
        APP_ERR("%s not written: the unit is being reset", unitPath);
        return -1;
    }
    if (BoardWriteFileWhole(unitPath, data, len, mode) != 0) {
        APP_ERR("%s not written: %s", unitPath, std::strerror(errno));
        return -1;
    }
    return 0;
}

int MakeDeviceDir(const char* unitPath)
{
    std::shared_lock<std::shared_mutex> lock(s_deviceFilesLock);
    // Checked before the mkdir: a folder the reset emptied must not come back either.
    if (s_deviceFilesStopped.load()) {
        APP_ERR("%s not made: the unit is being reset", unitPath);
        return -1;
    }
    if (BoardMkdir(unitPath, 0755) != 0) {
        if (errno == EEXIST) {
            return 0;
        }
        APP_ERR("%s not made: %s", unitPath, std::strerror(errno));
        return -1;
    }
    const std::string path = unitPath;
    const size_t slash = path.find_last_of('/');
    const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    BoardSyncDir(parent.c_str());  // the new folder itself must survive a power cut
    return 0;
}

void StopDeviceFileWrites()
{
    std::unique_lock<std::shared_mutex> lock(s_deviceFilesLock);
    s_deviceFilesStopped = true;
}

void ResumeDeviceFileWritesForTest()
{
    s_deviceFilesStopped = false;
}

bool IsUtf8(const char* text, size_t len)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    size_t i = 0;
    while (i < len) {
        const unsigned char c = p[i];
        size_t n = 0;
        uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            n = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;  // a continuation byte first, an overlong lead, or beyond U+10FFFF
        }
        if (len - i <= n) {
            return false;
        }
        for (size_t k = 1; k <= n; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) {
                return false;
            }
            cp = cp << 6 | (p[i + k] & 0x3F);
        }
        // Shortest form only; no surrogates; nothing above U+10FFFF.
        const uint32_t least[4] = {0, 0x80, 0x800, 0x10000};
        if (cp < least[n] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
            return false;
        }
        i += n + 1;
    }
    return true;
}

int RoomFileExist()
{
    std::string none;
    return BoardReadRegular(kRoomInfoFile, 0, &none) == 0 ? 0 : -1;
}

int SaveRoomAddress(uint32_t address)
{
    std::string text = std::to_string(address);
    APP_DBG("addr is %s", text.c_str());
    return __WriteText(kRoomInfoFile, text);
}

int ReadRoomAddress(uint32_t* address)
{
    std::string text;
    if (address == nullptr || !__ReadText(kRoomInfoFile, 32, &text)) {
        return -1;
    }
    *address = __Decimal(text);
    return 0;
}

int SavePushDelay(uint32_t delay)
{
    std::string text = std::to_string(delay);
    APP_DBG("Set delay is %s", text.c_str());
    return __WriteText(kPushInfoFile, text);
}

int ReadPushDelay(uint32_t* delay)
{
    if (delay == nullptr) {
        return -1;
    }
    std::string text;
    if (!__ReadText(kPushInfoFile, 10, &text)) {
        SavePushDelay(kPushDelayDefault);
        *delay = kPushDelayDefault;
        return -1;
    }
    APP_DBG("Get delay is %s", text.c_str());
    *delay = __Decimal(text);
    return 0;
}

int LoadChannelNames()
{
    std::lock_guard<std::mutex> lock(gChannelMutex);
    std::string text;
    if (!__ReadText(kChannelFile, 4096, &text)) {
        __SetNamesLocked(kDefaultChannelName[0], kDefaultChannelName[1]);
        return __WriteChannelFileLocked();
    }
    // Each whole line is a name: a name renamed to its full length and a last line without a
    // newline come back as they were.
    std::string names[2];
    size_t at = 0;
    for (int i = 0; i < 2; ++i) {
        if (!__NextLine(text, &at, &names[i])) {
            names[i] = kDefaultChannelName[i];  // a file cut short keeps the default
        }
        names[i] = __ChannelName(names[i], i);
    }
    __SetNamesLocked(names[0], names[1]);
    return 0;
}

std::string GetChannelName(int door)
{
    if (door != 0 && door != 1) {
        return "";
    }
    std::lock_guard<std::mutex> lock(gChannelMutex);
    return gDeviceState.ChannelName[door];
}

std::string ChannelsReportText(int cc)
{
    JsonPtr root(cJSON_CreateObject());
    cJSON_AddNumberToObject(root.get(), "res", 1);
    cJSON_AddNumberToObject(root.get(), "err", 0);
    cJSON_AddNumberToObject(root.get(), "cc", cc);
    cJSON* chs = cJSON_AddArrayToObject(root.get(), "chs");
    for (int i = 0; i < 2; ++i) {
        cJSON* ch = cJSON_CreateObject();
        cJSON_AddNumberToObject(ch, "id", i + 1);
        cJSON_AddStringToObject(ch, "n", GetChannelName(i).c_str());
        cJSON_AddItemToArray(chs, ch);
    }
    char* json = cJSON_PrintUnformatted(root.get());
    if (json == nullptr) {
        return "";
    }
    std::string text = __EscapeOnce(json);
    cJSON_free(json);
    return text;
}

int ReportChannels(int cc)
{
    std::string text = ChannelsReportText(cc);
    DoorPhoneLink(gDoorPhoneLinks.ReportChannelList, text.c_str());
    APP_DBG("%s", text.c_str());
    return 0;
}

int ChannelCommand(const char* json)
{
    if (json == nullptr) {
        APP_ERR("error:%s", "(no text)");
        return -1;
    }
    // The parse end of this call, not the parser's shared error pointer: data points arrive on
    // more than one thread.
    const char* at = nullptr;
    JsonPtr root(cJSON_ParseWithOpts(json, &at, 0));
    if (!root) {
        APP_ERR("error:%s", at != nullptr && *at != '\0' ? at : "(end of text)");
        return -1;
    }
    const cJSON* cmd = cJSON_GetObjectItemCaseSensitive(root.get(), "cmd");
    if (!cJSON_IsNumber(cmd)) {
        APP_ERR("error:%s", "no cmd");
        return -1;
    }
    switch (cmd->valueint) {
    case 1:  // Change Channel
        return __ChangeChannel(root.get());
    case 2:  // Rename Channel
        return __RenameChannels(root.get());
    default:
        APP_ERR("error:cmd %d", cmd->valueint);
        return -1;
    }
}

char* l_trim(char* szOutput, const char* szInput)
{
    __TrimArgs(szOutput, szInput);
    return std::strcpy(szOutput, SkipBlanks(szInput));
}

char* r_trim(char* szOutput, const char* szInput)
{
    __TrimArgs(szOutput, szInput);
    const size_t len = LengthBeforeBlanks(szInput);
    std::memcpy(szOutput, szInput, len);
    szOutput[len] = '\0';
    return szOutput;
}

char* a_trim(char* szOutput, const char* szInput)
{
    __TrimArgs(szOutput, szInput);
    return r_trim(szOutput, SkipBlanks(szInput));
}

char* TrimRight(char* s)
{
    if (s == nullptr) {
        return nullptr;
    }
    s[LengthBeforeBlanks(s)] = '\0';
    return s;
}

char* TrimLeft(char* s)
{
    if (s == nullptr) {
        return nullptr;
    }
    const char* first = SkipBlanks(s);
    std::memmove(s, first, std::strlen(first) + 1);
    return s;
}

char* TrimBoth(char* s)
{
    return TrimLeft(TrimRight(s));
}

namespace {

enum class ConfigLine { End, Pair, Skip };

// The next line of a key=value file's text into `buf` (its end, "\n" or "\r\n", dropped). A line
// longer than kConfigLineMax characters, or with a NUL in it, is skipped whole: cut short it would
// name another key or hold another value.
ConfigLine NextConfigLine(const std::string& text, size_t* at, char (&buf)[kConfigLineMax + 2])
{
    if (*at >= text.size()) {
        return ConfigLine::End;
    }
    size_t end = text.find('\n', *at);
    if (end == std::string::npos) {
        end = text.size();
    }
    size_t n = end - *at;
    const char* line = text.data() + *at;
    *at = end + 1;
    if (n > 0 && line[n - 1] == '\r') {
        --n;
    }
    if (n > kConfigLineMax || std::memchr(line, '\0', n) != nullptr) {
        return ConfigLine::Skip;
    }
    std::memcpy(buf, line, n);
    buf[n] = '\0';
    return ConfigLine::Pair;
}

// The pairs of a key=value file's text; false (an error line) for more than kConfigPairMax.
bool __ParsePairs(const char* unitPath, const std::string& text, std::vector<CONFIG_PAIR_S>* pairs)
{
    pairs->clear();
    char line[kConfigLineMax + 2];
    size_t at = 0;
    for (ConfigLine got; (got = NextConfigLine(text, &at, line)) != ConfigLine::End;) {
        if (got == ConfigLine::Skip) {
            continue;
        }
        TrimBoth(line);
        char* eq = std::strchr(line, '=');
        if (line[0] == '#' || eq == nullptr) {
            continue;
        }
        *eq = '\0';
        if (TrimRight(line)[0] == '\0') {
            continue;  // "=value" names nothing
        }
        if (pairs->size() == kConfigPairMax) {
            APP_ERR("%s: more than %zu pairs", unitPath, kConfigPairMax);
            pairs->clear();
            return false;
        }
        pairs->push_back({line, TrimLeft(eq + 1)});
    }
    return true;
}

// Whether a value is read back as given: the reader trims blanks around it.
bool __ReadsBackAsGiven(const char* value)
{
    return *value == '\0' || (!__Blank(value[0]) && !__Blank(value[std::strlen(value) - 1]));
}

}  // namespace

int ReadConfigPairs(const char* unitPath, std::vector<CONFIG_PAIR_S>* pairs)
{
    if (unitPath == nullptr || pairs == nullptr) {
        return -1;
    }
    std::string text;
    if (!__ReadWhole(unitPath, &text) || !__ParsePairs(unitPath, text, pairs)) {
        return -1;
    }
    return static_cast<int>(pairs->size());
}

int ReadConfigValue(const char* unitPath, const char* key, char* value, size_t valueSize)
{
    if (key == nullptr || value == nullptr || valueSize == 0) {
        return -1;
    }
    std::vector<CONFIG_PAIR_S> pairs;
    if (ReadConfigPairs(unitPath, &pairs) < 0) {
        return -1;
    }
    for (const CONFIG_PAIR_S& p : pairs) {
        if (p.Key == key) {
            std::snprintf(value, valueSize, "%s", p.Value.c_str());
            return 0;
        }
    }
    return -1;
}

int WriteConfigValue(const char* unitPath, const char* key, const char* value)
{
    if (unitPath == nullptr || key == nullptr || value == nullptr) {
        return -1;
    }
    // A line break would add a pair of the caller's making; a line too long would be skipped at
    // the next read, and the key lost with it; blanks around the value would be trimmed from it.
    if (std::strpbrk(value, "\r\n") != nullptr || std::strlen(key) + 1 + std::strlen(value) > kConfigLineMax ||
        !__ReadsBackAsGiven(value)) {
        APP_ERR("%s: value of %s refused", unitPath, key);
        return -1;
    }
    // Held from the read to the write: another rewrite of the file in between would be lost.
    BoardFileLock file(unitPath);
    std::string text;
    mode_t mode = kDeviceFileMode;
    std::vector<CONFIG_PAIR_S> pairs;
    if (!__ReadWhole(unitPath, &text, &mode) || !__ParsePairs(unitPath, text, &pairs)) {
        return -1;
    }
    auto it = std::find_if(pairs.begin(), pairs.end(), [key](const CONFIG_PAIR_S& p) { return p.Key == key; });
    if (it == pairs.end()) {
        return -1;
    }
    it->Value = value;
    text.clear();
    for (const CONFIG_PAIR_S& p : pairs) {
        text += p.Key + "=" + p.Value + "\n";
    }
    if (text.size() > kDeviceFileReadMax) {
        APP_ERR("%s: value of %s refused (the file would be too large to be read)", unitPath, key);
        return -1;
    }
    // The file keeps its mode: a secret's stays readable by the unit alone.
    return WriteDeviceFile(unitPath, text.data(), text.size(), mode & 0777);
}

namespace {

// The next piece of an INI file's text as fgets(3) gives it into a buffer of kIniLineMax: up to
// its line end (kept) or kIniLineMax - 1 characters; false at the end of the text.
bool __NextIniPiece(const std::string& text, size_t* at, char (&raw)[kIniLineMax])
{
    if (*at >= text.size()) {
        return false;
    }
    size_t n = 0;
    while (n < kIniLineMax - 1 && *at < text.size()) {
        raw[n] = text[(*at)++];
        if (raw[n++] == '\n') {
            break;
        }
    }
    raw[n] = '\0';
    return true;
}

}  // namespace

int GetProfileString(const char* profile, const char* section, const char* key, char* value, size_t valueSize)
{
    if (profile == nullptr || section == nullptr || key == nullptr || value == nullptr || valueSize == 0) {
        return -1;
    }
    std::string text;
    if (!__ReadWhole(profile, &text)) {
        return -1;
    }
    const std::string head = "[" + std::string(section) + "]";
    char raw[kIniLineMax];
    char line[kIniLineMax];
    bool inSection = false;
    for (size_t at = 0; __NextIniPiece(text, &at, raw);) {
        l_trim(line, raw);
        if (line[0] == '\0') {
            continue;
        }
        if (!inSection) {
            inSection = std::strncmp(line, head.c_str(), head.size()) == 0;
            continue;
        }
        if (line[0] == '#') {
            continue;
        }
        if (line[0] == '[') {
            break;  // the section is over
        }
        const char* eq = std::strchr(line, '=');
        if (eq == nullptr) {
            continue;
        }
        char name[kIniLineMax] = {};
        if (std::sscanf(line, "%99[^=|^ \t]", name) != 1 || std::strcmp(name, key) != 0) {
            continue;
        }
        char scanned[kIniLineMax] = {};
        std::sscanf(eq + 1, "%99[^\n]", scanned);
        char trimmed[kIniLineMax];
        a_trim(trimmed, scanned);
        std::snprintf(value, valueSize, "%s", trimmed[0] != '\0' ? trimmed : scanned);
        return 0;
    }
    return -1;
}

namespace {

int __DesCbc(const uint8_t* in, uint8_t* out, size_t length, int mode)
{
    if (in == nullptr || out == nullptr || length % 8 != 0) {
        return 0;
    }
    mbedtls_des_context des;
    mbedtls_des_init(&des);
    int rc = mode == MBEDTLS_DES_ENCRYPT ? mbedtls_des_setkey_enc(&des, kDesKey) : mbedtls_des_setkey_dec(&des, kDesKey);
    unsigned char iv[8];
    std::memcpy(iv, kDesIv, sizeof(iv));
    if (rc == 0) {
        rc = mbedtls_des_crypt_cbc(&des, mode, length, iv, in, out);
    }
    mbedtls_des_free(&des);
    return rc == 0 ? 1 : 0;
}

int __AesCbc128(const uint8_t* in, const uint8_t* key, uint8_t* out, size_t length, int mode)
{
    if (in == nullptr || key == nullptr || out == nullptr || length % 16 != 0) {
        return 0;
    }
    mbedtls_aes_context aes;
    mbedtls_aes_init(&aes);
    int rc = mode == MBEDTLS_AES_ENCRYPT ? mbedtls_aes_setkey_enc(&aes, key, 128) : mbedtls_aes_setkey_dec(&aes, key, 128);
    unsigned char iv[16] = {};
    if (rc == 0) {
        rc = mbedtls_aes_crypt_cbc(&aes, mode, length, iv, in, out);
    }
    mbedtls_aes_free(&aes);
    return rc == 0 ? 1 : 0;
}

// A record's text: up to its NUL, printable, not empty, at most `max` characters. False for
// anything else (a wrong key gives bytes, not text).
bool __RecordText(const uint8_t* plain, size_t max, char* out)
{
    size_t len = 0;
    while (len < kDeviceBinRecord && plain[len] != 0) {
        if (plain[len] < 0x20 || plain[len] > 0x7E) {
            return false;
        }
        ++len;
    }
    if (len == 0 || len > max) {
        return false;
    }
    std::memcpy(out, plain, len);
    out[len] = '\0';
    return true;
}

const char* IdentityTextProblem(const char* text, size_t maxLen, const char* tooShort, const char* tooLong,
                              const char* badChar)
{
    size_t len = text != nullptr ? std::strlen(text) : 0;
    if (len < kIdentityMinLen) {
        return tooShort;
    }
    if (len > maxLen) {
        return tooLong;
    }
    for (size_t i = 0; i < len; ++i) {
        if (!std::isalnum(static_cast<unsigned char>(text[i]))) {
            return badChar;
        }
    }
    return nullptr;
}

}  // namespace

int DesCbcDecryptFile(const uint8_t* in, uint8_t* out, size_t length)
{
    return __DesCbc(in, out, length, MBEDTLS_DES_DECRYPT);
}

int DesCbcEncryptFile(const uint8_t* in, uint8_t* out, size_t length)
{
    return __DesCbc(in, out, length, MBEDTLS_DES_ENCRYPT);
}

int AesCbc128EncryptFile(const uint8_t* in, const uint8_t* key, uint8_t* out, size_t length)
{
    return __AesCbc128(in, key, out, length, MBEDTLS_AES_ENCRYPT);
}

int AesCbc128DecryptFile(const uint8_t* in, const uint8_t* key, uint8_t* out, size_t length)
{
    return __AesCbc128(in, key, out, length, MBEDTLS_AES_DECRYPT);
}

int ReadDeviceBinIdentity(char uuid[kUuidMaxLen + 1], char authKey[kAuthKeyMaxLen + 1])
{
    if (uuid == nullptr || authKey == nullptr) {
        return -1;
    }
    std::string bytes;
    if (BoardReadRegular(kDeviceBinFile, 2 * kDeviceBinRecord, &bytes) != 0) {
        return -1;
    }
    uint8_t records[2 * kDeviceBinRecord];
    const size_t got = bytes.size();
    std::memcpy(records, bytes.data(), std::min(got, sizeof(records)));
    if (got != sizeof(records)) {
        APP_ERR("%s holds %zu of %zu bytes", kDeviceBinFile, got, sizeof(records));
        return -1;
    }
    uint8_t plain[2][kDeviceBinRecord] = {};
    // Whole records first: a text too long for its field is refused below, never cut.
    char u[kDeviceBinRecord + 1];
    char k[kDeviceBinRecord + 1];
    if (DesCbcDecryptFile(records, plain[0], kDeviceBinRecord) != 1 ||
        DesCbcDecryptFile(records + kDeviceBinRecord, plain[1], kDeviceBinRecord) != 1 ||
        !__RecordText(plain[0], kDeviceBinRecord, u) || !__RecordText(plain[1], kDeviceBinRecord, k)) {
        APP_ERR("%s does not decrypt to an identity", kDeviceBinFile);
        return -1;
    }
    const char* problem = IdentityUuidProblem(u);
    if (problem == nullptr) {
        problem = IdentityAuthKeyProblem(k);
    }
    if (problem != nullptr) {
        APP_ERR("%s: %s", kDeviceBinFile, problem);
        return -1;
    }
    std::memcpy(uuid, u, std::strlen(u) + 1);
    std::memcpy(authKey, k, std::strlen(k) + 1);
    return 0;
}

const char* IdentityUuidProblem(const char* uuid)
{
    return IdentityTextProblem(uuid, kUuidMaxLen, "UUID shorter than 16 characters", "UUID longer than 25 characters",
                             "UUID holds a character other than a letter or digit");
}

const char* IdentityAuthKeyProblem(const char* key)
{
    return IdentityTextProblem(key, kAuthKeyMaxLen, "AUTHKEY shorter than 16 characters",
                             "AUTHKEY longer than 32 characters",
                             "AUTHKEY holds a character other than a letter or digit");
}
