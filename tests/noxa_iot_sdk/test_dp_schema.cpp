// Data-point commands checked and converted per schema: one row per type and fault, a wrong
// entry dropped alone, and reported values rendered back as the cloud expects them.
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_iot_sdk/noxa_cloud/dp_schema.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

const char* kSchema = R"([
 {"id":101,"code":"switch","mode":"rw","type":"obj","property":{"type":"bool"}},
 {"id":102,"code":"level","mode":"rw","type":"obj","property":{"type":"value","min":0,"max":10,"step":1,"scale":0}},
 {"id":103,"code":"mode","mode":"rw","type":"obj","property":{"type":"enum","range":["off","day","night"]}},
 {"id":104,"code":"name","mode":"rw","type":"obj","property":{"type":"string","maxlen":5}},
 {"id":105,"code":"mask","mode":"rw","type":"obj","property":{"type":"bitmap","maxlen":4}},
 {"id":106,"code":"blob","mode":"rw","type":"obj","property":{"type":"raw","maxlen":3}},
 {"id":300,"code":"too big","mode":"rw","type":"obj","property":{"type":"bool"}},
 {"id":107,"code":"odd","mode":"rw","type":"obj","property":{"type":"any"}},
 {"id":241,"code":"unlock","mode":"rw","type":"obj","property":{"type":"value","min":0,"max":1,"accept":["bool","value"]}}
])";

struct Converted {
    std::unique_ptr<RECV_OBJ_DP_S, void (*)(void*)> obj{nullptr, Free};
    std::vector<DP_RAW_ENTRY_S> raw;
    cJSON* dps = nullptr;
    ~Converted() { cJSON_Delete(dps); }
};

void Convert(const char* json, Converted* c)
{
    c->dps = cJSON_Parse(json);
    RECV_OBJ_DP_S* obj = nullptr;
    ASSERT_EQ(0, dp_schema_convert(c->dps, 77, &obj, &c->raw)) << json;
    c->obj.reset(obj);
}

class DpSchema : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, dp_schema_load(kSchema)); }
};

TEST_F(DpSchema, EachTypeConvertsOrDropsItsEntryAlone)
{
    const struct {
        const char* json;
        bool kept;
        uint8_t type;
        int64_t value;  // for the word types
    } rows[] = {
        {R"({"101":true})", true, PROP_BOOL, 1},
        {R"({"101":false})", true, PROP_BOOL, 0},
        {R"({"101":1})", true, PROP_BOOL, 1},
        {R"({"101":2})", false, 0, 0},
        {R"({"101":"true"})", false, 0, 0},
        {R"({"102":10})", true, PROP_VALUE, 10},
        {R"({"102":0})", true, PROP_VALUE, 0},
        {R"({"102":11})", false, 0, 0},
        {R"({"102":-1})", false, 0, 0},
        {R"({"102":2.5})", false, 0, 0},
        {R"({"102":"3"})", false, 0, 0},
        {R"({"103":"night"})", true, PROP_ENUM, 2},
        {R"({"103":"off"})", true, PROP_ENUM, 0},
        {R"({"103":"dusk"})", false, 0, 0},
        {R"({"103":1})", false, 0, 0},
        {R"({"105":15})", true, PROP_BITMAP, 15},
        {R"({"105":16})", false, 0, 0},
        {R"({"105":-1})", false, 0, 0},
        {R"({"108":true})", false, 0, 0},  // not in the schema
        {R"({"abc":true})", false, 0, 0},
        {R"({"300":true})", false, 0, 0},  // an id no record can carry
        {R"({"107":true})", false, 0, 0},  // a row of an unknown type was skipped
        {R"({"241":true})", true, PROP_BOOL, 1},  // a value row that accepts switches
        {R"({"241":1})", true, PROP_VALUE, 1},
        {R"({"241":2})", false, 0, 0},
        {R"({"102":true})", false, 0, 0},  // a plain value row does not
    };
    for (const auto& r : rows) {
        Converted c;
        Convert(r.json, &c);
        if (!r.kept) {
            EXPECT_EQ(nullptr, c.obj) << r.json;
            continue;
        }
        ASSERT_NE(nullptr, c.obj) << r.json;
        ASSERT_EQ(1u, c.obj->dps_cnt);
        EXPECT_EQ(r.type, c.obj->dps[0].type) << r.json;
        EXPECT_EQ(r.value, c.obj->dps[0].value.dp_value) << r.json;
        EXPECT_EQ(77u, c.obj->dps[0].time_stamp);
        EXPECT_EQ(1u, c.obj->cmd_tp);
    }
}

TEST_F(DpSchema, WrongEntryAmongGoodOnesIsDroppedAlone)
{
    Converted c;
    Convert(R"({"101":true,"102":99,"104":"abcde","104x":1,"103":"day","106":"AQID","105":3})", &c);
    ASSERT_NE(nullptr, c.obj);
    ASSERT_EQ(4u, c.obj->dps_cnt);
    EXPECT_EQ(101, c.obj->dps[0].dpid);
    EXPECT_EQ(104, c.obj->dps[1].dpid);
    EXPECT_EQ(PROP_STR, c.obj->dps[1].type);
    EXPECT_STREQ("abcde", c.obj->dps[1].value.dp_str);
    EXPECT_EQ(103, c.obj->dps[2].dpid);
    EXPECT_EQ(1u, c.obj->dps[2].value.dp_enum);
    EXPECT_EQ(105, c.obj->dps[3].dpid);
    ASSERT_EQ(1u, c.raw.size());
    EXPECT_EQ(106, c.raw[0].id);
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), c.raw[0].data);
}

TEST_F(DpSchema, TextsAndRawBytesKeepTheirLimits)
{
    Converted longText;
    Convert(R"({"104":"abcdef"})", &longText);
    EXPECT_EQ(nullptr, longText.obj);
    Converted longRaw;
    Convert(R"({"106":"AQIDBA=="})", &longRaw);
    EXPECT_TRUE(longRaw.raw.empty()) << "4 bytes above maxlen 3";
    Converted notText;
    Convert(R"({"106":12})", &notText);
    EXPECT_TRUE(notText.raw.empty());
}

TEST_F(DpSchema, ABadSchemaTextKeepsTheOldOne)
{
    EXPECT_EQ(-1, dp_schema_load("{\"id\":1}"));
    EXPECT_EQ(-1, dp_schema_load(nullptr));
    EXPECT_TRUE(dp_schema_get(101, nullptr));
    dp_schema_clear();
    EXPECT_FALSE(dp_schema_get(101, nullptr));
    Converted c;
    Convert(R"({"101":true})", &c);
    EXPECT_EQ(nullptr, c.obj) << "no schema, no command";
}

TEST_F(DpSchema, ReportedValuesAsTheCloudReadsThem)
{
    char text[] = "door";
    const struct {
        OBJ_DP_S dp;
        const char* json;
    } rows[] = {
        {{101, PROP_BOOL, {.dp_bool = 1}, 0}, "true"},
        {{102, PROP_VALUE, {.dp_value = -5}, 0}, "-5"},
        {{103, PROP_ENUM, {.dp_enum = 2}, 0}, "\"night\""},
        {{103, PROP_ENUM, {.dp_enum = 9}, 0}, "9"},  // outside the range: the index itself
        {{104, PROP_STR, {.dp_str = text}, 0}, "\"door\""},
        {{105, PROP_BITMAP, {.dp_bitmap = 6}, 0}, "6"},
    };
    for (const auto& r : rows) {
        cJSON* item = dp_schema_report_item(&r.dp);
        ASSERT_NE(nullptr, item);
        char* printed = cJSON_PrintUnformatted(item);
        EXPECT_STREQ(r.json, printed);
        cJSON_free(printed);
        cJSON_Delete(item);
    }
    OBJ_DP_S bad = {1, 9, {0}, 0};
    EXPECT_EQ(nullptr, dp_schema_report_item(&bad));
}

}  // namespace
