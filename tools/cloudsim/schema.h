// The door-phone's data points as the cloud knows them: handed out at activation, used to turn
// the phone's words into typed values and to check what the unit reports.
#pragma once

#include <string>
#include <vector>

struct cJSON;

namespace cloudsim {

struct DpDef {
    int id;
    const char* code;
    const char* mode;  // "rw", "ro" (reported only), "wr" (a command only)
    const char* type;  // "bool", "value", "enum", "string", "raw", "bitmap"
    int min = 0;       // value
    int max = 0;
    int enumCount = 0;  // enum: the range is the texts "0" .. "<enumCount-1>"
    int maxlen = 0;     // string, raw
    bool alsoBool = false;  // a value that takes true/false as well
};

const std::vector<DpDef>& Schema();
const DpDef* FindDp(int id);
// The schema as the JSON text activation hands out.
std::string SchemaJson();

// A phone's word for a data point as the JSON value the cloud sends: "true"/"1" for a bool,
// a number for a value, the text for an enum or string. A word that does not fit the data
// point is sent as written (a JSON literal when it parses as one, else a text) and *offSchema
// says so: the unit must drop it.
cJSON* PhoneValue(const DpDef* dp, const std::string& word, bool* offSchema);
// Checks a reported value against the data point; "" when it fits, else what is wrong.
std::string CheckReport(const DpDef* dp, const cJSON* value);

}  // namespace cloudsim
