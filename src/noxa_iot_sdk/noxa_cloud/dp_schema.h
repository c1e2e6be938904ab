// The data-point schema the cloud hands out at activation: what each data point's commands may
// carry. Commands are checked and converted against it entry by entry; a wrong entry is dropped
// alone.
#pragma once

#include "noxa_iot_sdk/com_sdk/noxa_iot_types.h"

#include <cjson/cJSON.h>
#include <cstdint>
#include <string>
#include <vector>

typedef enum {
    DP_SCHEMA_BOOL = 0,
    DP_SCHEMA_VALUE = 1,
    DP_SCHEMA_STR = 2,
    DP_SCHEMA_ENUM = 3,
    DP_SCHEMA_BITMAP = 4,
    DP_SCHEMA_RAW = 5,
} DP_SCHEMA_TP_E;

struct DP_SCHEMA_ENTRY_S {
    uint8_t id = 0;
    DP_SCHEMA_TP_E type = DP_SCHEMA_BOOL;
    int64_t min = INT32_MIN;  // value
    int64_t max = INT32_MAX;
    uint32_t maxlen = 255;    // string and raw (bytes), bitmap (bits, 32 at most)
    std::vector<std::string> range;  // enum texts, index = value
    bool acceptBool = false;         // a value row whose "accept" names "bool" too (0/1 switches)
};

// A JSON number that is a whole number within +-9e15 (exact in a double): true and its value.
bool dp_json_integer(const cJSON* item, int64_t* v);

// Replaces the schema in force with the one of the text (a JSON array). 0; -1 when the text is
// no array (the old schema stays). Entries of an unknown type or an id outside 1..255 are skipped.
int dp_schema_load(const char* text);
void dp_schema_clear(void);
// A copy of one entry: true when the id is known.
bool dp_schema_get(uint8_t id, DP_SCHEMA_ENTRY_S* entry);

// Converts a command's "dps" object into a record for the object data-point slot (entries
// pointing into `dps` for texts; free with Free) and the raw entries, in the order given. Each
// entry that is not a known id, has the wrong JSON type, is out of range or too long is logged and
// left out. *obj is NULL when no object entry is left.
struct DP_RAW_ENTRY_S {
    uint8_t id;
    std::vector<uint8_t> data;
};
int dp_schema_convert(const cJSON* dps, uint32_t time_stamp, RECV_OBJ_DP_S** obj, std::vector<DP_RAW_ENTRY_S>* raw);

// A reported value as its JSON item: bool, number, text, enum text (from its index), bitmap, or
// NULL for a type the record cannot carry.
cJSON* dp_schema_report_item(const OBJ_DP_S* dp);
