#include "schema.h"

#include <cjson/cJSON.h>
#include <cmath>
#include <cstdlib>

namespace cloudsim {

namespace {

DpDef B(int id, const char* code, const char* mode = "rw")
{
    return DpDef{id, code, mode, "bool"};
}
DpDef V(int id, const char* code, int min, int max, const char* mode = "rw")
{
    DpDef d{id, code, mode, "value"};
    d.min = min;
    d.max = max;
    return d;
}
DpDef E(int id, const char* code, int count, const char* mode = "rw")
{
    DpDef d{id, code, mode, "enum"};
    d.enumCount = count;
    return d;
}
DpDef S(int id, const char* code, int maxlen, const char* mode = "rw", const char* type = "string")
{
    DpDef d{id, code, mode, type};
    d.maxlen = maxlen;
    return d;
}

std::vector<DpDef> MakeSchema()
{
    DpDef lock1 = V(241, "door1_unlock", 0, 1);
    lock1.alsoBool = true;
    DpDef lock2 = V(242, "door2_unlock", 0, 1);
    lock2.alsoBool = true;
    return {
        B(105, "sleep_mode"),
        B(101, "status_light"),
        B(103, "image_flip"),
        B(104, "watermark"),
        B(107, "wdr"),
        E(108, "night_mode", 3),
        B(134, "motion_alarm"),
        E(106, "alarm_sensitivity", 3),
        B(168, "alarm_zone_onoff"),
        S(169, "alarm_zone_draw", 255),
        V(110, "sd_status", 1, 5, "ro"),
        S(109, "sd_capacity", 64, "ro"),
        B(150, "sd_record_onoff"),
        E(151, "sd_record_mode", 3),
        B(112, "sd_umount"),
        B(111, "sd_format"),
        V(117, "sd_format_progress", 0, 100, "ro"),
        E(119, "ptz_control", 8, "wr"),
        B(116, "ptz_stop", "wr"),
        B(132, "ptz_check", "wr"),
        B(161, "motion_tracking"),
        B(170, "human_filter"),
        E(175, "patrol_mode", 2),
        B(174, "patrol_switch"),
        E(176, "patrol_time_mode", 2),
        S(177, "patrol_time", 255),
        E(179, "patrol_state", 3, "ro"),
        S(178, "ptz_preset", 255, "wr"),
        E(190, "bind_move", 2),
        E(199, "bind_position", 10),
        S(136, "doorbell", 255, "ro"),
        B(138, "light_bulb"),
        B(139, "unsupported_139"),
        B(140, "unsupported_140"),
        B(141, "unsupported_141"),
        B(142, "unsupported_142"),
        B(143, "unsupported_143"),
        V(145, "battery_percent", 0, 100, "ro"),
        E(146, "power_mode", 2, "ro"),
        V(147, "value_echo", 0, 2147483647),
        B(148, "unlock_current_door", "wr"),
        B(232, "gate_lock"),
        S(231, "channel", 255),
        lock1,
        lock2,
        // Reported only: the doors' ring state and the notifications with pictures.
        E(239, "door1_ring_state", 2, "ro"),
        E(240, "door2_ring_state", 2, "ro"),
        S(115, "motion_message", 4096, "ro", "raw"),
        S(154, "doorbell_picture", 4096, "ro", "raw"),
        S(185, "event_message", 4096, "ro", "raw"),
    };
}

bool ParseLong(const std::string& word, long long* v)
{
    if (word.empty()) {
        return false;
    }
    char* end = nullptr;
    *v = std::strtoll(word.c_str(), &end, 10);
    return *end == '\0';
}

}  // namespace

const std::vector<DpDef>& Schema()
{
    static const std::vector<DpDef> schema = MakeSchema();
    return schema;
}

const DpDef* FindDp(int id)
{
    for (const DpDef& d : Schema()) {
        if (d.id == id) {
            return &d;
        }
    }
    return nullptr;
}

std::string SchemaJson()
{
    cJSON* arr = cJSON_CreateArray();
    for (const DpDef& d : Schema()) {
        cJSON* o = cJSON_CreateObject();
        cJSON_AddNumberToObject(o, "id", d.id);
        cJSON_AddStringToObject(o, "code", d.code);
        cJSON_AddStringToObject(o, "mode", d.mode);
        cJSON_AddStringToObject(o, "type", "obj");
        cJSON* p = cJSON_AddObjectToObject(o, "property");
        cJSON_AddStringToObject(p, "type", d.type);
        std::string t = d.type;
        if (t == "value") {
            cJSON_AddNumberToObject(p, "min", d.min);
            cJSON_AddNumberToObject(p, "max", d.max);
            cJSON_AddNumberToObject(p, "step", 1);
            cJSON_AddNumberToObject(p, "scale", 0);
            if (d.alsoBool) {
                cJSON* acc = cJSON_AddArrayToObject(p, "accept");
                cJSON_AddItemToArray(acc, cJSON_CreateString("bool"));
                cJSON_AddItemToArray(acc, cJSON_CreateString("value"));
            }
        } else if (t == "enum") {
            cJSON* r = cJSON_AddArrayToObject(p, "range");
            for (int i = 0; i < d.enumCount; ++i) {
                cJSON_AddItemToArray(r, cJSON_CreateString(std::to_string(i).c_str()));
            }
        } else if (t == "string" || t == "raw") {
            cJSON_AddNumberToObject(p, "maxlen", d.maxlen);
        }
        cJSON_AddItemToArray(arr, o);
    }
    char* text = cJSON_PrintUnformatted(arr);
    std::string out = text;
    cJSON_free(text);
    cJSON_Delete(arr);
    return out;
}

cJSON* PhoneValue(const DpDef* dp, const std::string& word, bool* offSchema)
{
    *offSchema = false;
    std::string t = dp != nullptr ? dp->type : "";
    long long v = 0;
    if (t == "bool" || (dp != nullptr && dp->alsoBool)) {
        if (word == "true" || word == "false") {
            return cJSON_CreateBool(word == "true");
        }
        if (t == "bool" && (word == "1" || word == "0")) {
            return cJSON_CreateBool(word == "1");
        }
    }
    if ((t == "value" || t == "bitmap") && ParseLong(word, &v)) {
        if (t == "bitmap" || (v >= dp->min && v <= dp->max)) {
            return cJSON_CreateNumber(static_cast<double>(v));
        }
    }
    if (t == "enum" && ParseLong(word, &v) && v >= 0 && v < dp->enumCount && word == std::to_string(v)) {
        return cJSON_CreateString(word.c_str());
    }
    if ((t == "string" || t == "raw") && word.size() <= static_cast<size_t>(dp->maxlen) &&
        (word.empty() || word.front() != '"')) {
        return cJSON_CreateString(word.c_str());
    }
    *offSchema = true;
    cJSON* literal = cJSON_Parse(word.c_str());
    return literal != nullptr ? literal : cJSON_CreateString(word.c_str());
}

std::string CheckReport(const DpDef* dp, const cJSON* value)
{
    if (dp == nullptr) {
        return "not in the schema";
    }
    std::string t = dp->type;
    if (t == "bool" || (dp->alsoBool && cJSON_IsBool(value))) {
        return cJSON_IsBool(value) ? "" : "not a bool";
    }
    if (t == "value" || t == "bitmap") {
        if (!cJSON_IsNumber(value) || value->valuedouble != std::floor(value->valuedouble)) {
            return "not an integer";
        }
        if (t == "value" && (value->valuedouble < dp->min || value->valuedouble > dp->max)) {
            return "out of range " + std::to_string(dp->min) + ".." + std::to_string(dp->max);
        }
        return "";
    }
    if (!cJSON_IsString(value)) {
        return "not a text";
    }
    std::string s = value->valuestring;
    if (t == "enum") {
        long long v = 0;
        return ParseLong(s, &v) && v >= 0 && v < dp->enumCount && s == std::to_string(v) ? "" : "not in the range";
    }
    return s.size() <= static_cast<size_t>(dp->maxlen) * (t == "raw" ? 2 : 1) ? "" : "too long";
}

}  // namespace cloudsim
