// Device records: the JSON serialiser and deserialiser over descriptor tables, and every record
// through the store and back.
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_base/kv_mem_fs.h"
#include "noxa_base/kv_storge/file/simplekv.h"
#include "noxa_base/kv_storge/kv_storge.h"
#include "noxa_iot_sdk/com_sdk/noxa_iot_com_api.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/noxa_ws_db.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const uint8_t kKey[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};

std::string Serialize(const std::vector<NQ_DB_RW_S>& rw, int* ret = nullptr)
{
    char* out = nullptr;
    uint32_t len = 0;
    int r = __nq_serialize(rw.data(), static_cast<uint32_t>(rw.size()), &out, &len);
    if (ret != nullptr) {
        *ret = r;
    }
    if (r != 0) {
        return "<" + std::to_string(r) + ">";
    }
    std::string s(out, len);
    EXPECT_EQ('\0', out[len]);
    wd_utils_free_outbuf(out);
    return s;
}

std::string Stored(const char* key)
{
    uint8_t* v = nullptr;
    uint32_t n = 0;
    if (kvs_read(key, &v, &n) != 0) {
        return "";
    }
    std::string s(reinterpret_cast<char*>(v), n);
    kvs_free_data(v);
    return s;
}

class WsDb : public testing::Test {
protected:
    void SetUp() override
    {
        simplekv_set_file_io(&mFs);
        ASSERT_EQ(0, ws_db_init("/DeviceInfo/noxa/", kKey, 16));
    }
    void TearDown() override { kvs_deinit(); }

    UniTestClock mClock;
    MemFs mFs;
};

}  // namespace

TEST(NqSerialize, WritesTheSystemsForm)
{
    int32_t f = 0;
    int32_t t = 7;
    int8_t i8 = -128;
    uint8_t u8 = 255;
    int16_t i16 = -32768;
    uint16_t u16 = 65535;
    int32_t i32 = -5;
    char empty[8] = "";
    char text[8] = "x";
    uint8_t raw[5] = {0, 1, 2, 0xFE, 0xFF};
    struct {
        std::vector<NQ_DB_RW_S> rw;
        const char* want;
    } rows[] = {
        {{{"prod_test", NQ_DB_BOOL, &f, 4}}, "{\"prod_test\":false }"},
        {{{"a", NQ_DB_BOOL, &t, 4}, {"b", NQ_DB_STR, text, 8}}, "{\"a\":true,\"b\":\"x\" }"},
        {{}, "{}"},
        {{{"s", NQ_DB_STR, empty, 8}}, "{\"s\":null }"},
        {{{"a", NQ_DB_INT8, &i8, 1}, {"b", NQ_DB_UINT8, &u8, 1}, {"c", NQ_DB_INT16, &i16, 2},
          {"d", NQ_DB_UINT16, &u16, 2}, {"e", NQ_DB_INT32, &i32, 4}},
         "{\"a\":-128,\"b\":255,\"c\":-32768,\"d\":65535,\"e\":-5 }"},
        {{{"r", NQ_DB_RAW, raw, 5}}, "{\"r\":\"AAEC/v8=\" }"},
        {{{"r", NQ_DB_RAW, raw, 0}}, "{\"r\":null }"},
        {{{"r", NQ_DB_RAW, raw, 0x10003}}, "{\"r\":\"AAEC\" }"},  // the low 16 bits count
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.want, Serialize(row.rw));
    }
    EXPECT_EQ(20u, Serialize(rows[0].rw).size());
    int ret = 0;
    EXPECT_EQ("<-1>", Serialize({{"a", NQ_DB_BOOL, &f, 4}, {"x", 8, &f, 4}}, &ret));
    char* out = nullptr;
    EXPECT_EQ(-2, __nq_serialize(nullptr, 1, &out, nullptr));
}

TEST(NqSerialize, TextsWithQuotesAndBackslashesComeBackWhole)
{
    const char* texts[] = {"plain text", "a \"quoted\" word", "back\\slash\\", "\"", "\\\"\\", "tab\there\nnl",
                           "utf-8 \xC3\xA9t\xC3\xA9", "}{\":,"};
    for (const char* text : texts) {
        char in[40] = {};
        strncpy(in, text, sizeof(in) - 1);
        std::string json = Serialize({{"t", NQ_DB_STR, in, sizeof(in)}});
        char back[40];
        memset(back, 'Z', sizeof(back));
        NQ_DB_RW_S rw = {"t", NQ_DB_STR, back, sizeof(back)};
        ASSERT_EQ(0, __nq_deserialize(json.c_str(), &rw, 1)) << json;
        EXPECT_STREQ(text, back) << json;
    }
    // Plain texts are written exactly as they are.
    char plain[16] = "1.2.11";
    EXPECT_EQ("{\"v\":\"1.2.11\" }", Serialize({{"v", NQ_DB_STR, plain, 16}}));
    // A buffer without a NUL goes out up to its size, no further.
    char full[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ("{\"v\":\"abcd\" }", Serialize({{"v", NQ_DB_STR, full, 4}}));
}

TEST(NqDeserialize, ChecksTypesRangesAndSizes)
{
    uint8_t u8 = 9;
    int8_t i8 = 0;
    uint16_t u16 = 0;
    int32_t b = 5;
    char s4[4];
    uint8_t raw[3];
    struct {
        const char* json;
        NQ_DB_RW_S rw;
        int want;
    } rows[] = {
        {"{\"v\":300}", {"v", NQ_DB_UINT8, &u8, 1}, -1},
        {"{\"v\":-1}", {"v", NQ_DB_UINT8, &u8, 1}, -1},
        {"{\"v\":\"1\"}", {"v", NQ_DB_UINT8, &u8, 1}, -803},
        {"{\"v\":-129}", {"v", NQ_DB_INT8, &i8, 1}, -1},
        {"{\"v\":65536}", {"v", NQ_DB_UINT16, &u16, 2}, -1},
        {"{\"v\":1}", {"v", NQ_DB_BOOL, &b, 4}, -803},
        {"{\"v\":5}", {"v", NQ_DB_STR, s4, 4}, -803},
        {"{\"v\":\"abcd\"}", {"v", NQ_DB_STR, s4, 4}, -1},
        {"{\"v\":\"abc\"}", {"v", NQ_DB_STR, s4, 4}, 0},
        {"{\"v\":\"AAECAw==\"}", {"v", NQ_DB_RAW, raw, 3}, -1},  // four bytes for three
        {"{\"v\":\"AAEC\"}", {"v", NQ_DB_RAW, raw, 3}, 0},
        {"{\"v\":true}", {"v", NQ_DB_RAW, raw, 3}, -803},
        {"not json", {"v", NQ_DB_UINT8, &u8, 1}, -802},
        {"{\"v\":1", {"v", NQ_DB_UINT8, &u8, 1}, -802},
        {"{\"v\":1}", {"v", 9, &u8, 1}, -1},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.want, __nq_deserialize(row.json, &row.rw, 1)) << row.json;
    }
    EXPECT_EQ(0, memcmp(raw, "\x00\x01\x02", 3));
    EXPECT_EQ(-2, __nq_deserialize(nullptr, &rows[0].rw, 1));
    EXPECT_EQ(0, __nq_deserialize("[1]", nullptr, 0));
}

TEST(NqDeserialize, MissingAndNullMembersClearTheirFields)
{
    uint32_t sync = 0xFFFFFFFF;
    char text[8] = "old";
    uint8_t raw[4] = {1, 2, 3, 4};
    NQ_DB_RW_S rw[] = {
        {"sync", NQ_DB_UINT8, &sync, sizeof(sync)},
        {"text", NQ_DB_STR, text, sizeof(text)},
        {"raw", NQ_DB_RAW, raw, sizeof(raw)},
    };
    NQ_DB_RW_S copy[3];
    memcpy(copy, rw, sizeof(rw));
    ASSERT_EQ(0, __nq_deserialize("{\"text\":null,\"raw\":null}", rw, 3));
    EXPECT_EQ(0u, sync);
    EXPECT_STREQ("", text);
    EXPECT_EQ(0, raw[0] | raw[1] | raw[2] | raw[3]);
    // The caller's table is never changed.
    EXPECT_EQ(0, memcmp(copy, rw, sizeof(rw)));
}

TEST_F(WsDb, GatewayRecordsRoundTrip)
{
    GW_BASE_IF_S bi = {};
    strcpy(bi.uuid, "noxa0123456789abcdef");
    strcpy(bi.auth_key, "0123456789abcdef0123456789abcdef");
    strcpy(bi.country_code, "DE");
    bi.prod_test = 1;
    ASSERT_EQ(0, wd_gw_base_if_write(&bi));
    EXPECT_EQ("{\"uuid\":\"noxa0123456789abcdef\",\"auth_key\":\"0123456789abcdef0123456789abcdef\","
              "\"ap_ssid\":null,\"ap_passwd\":null,\"country_code\":\"DE\",\"prod_test\":true }",
              Stored("gw_bi"));
    GW_BASE_IF_S bi2;
    memset(&bi2, 0, sizeof(bi2));
    ASSERT_EQ(0, wd_gw_base_if_read(&bi2));
    EXPECT_EQ(0, memcmp(&bi, &bi2, sizeof(bi)));

    GW_DESC_IF_S di = {};
    di.abi = 3;
    strcpy(di.id, "devid0123");
    strcpy(di.swv, "1.2.11");
    strcpy(di.dev_swv, "2.0");
    strcpy(di.pk, "abcdefghijklmnop");
    di.dtp = 9;
    di.sync = 1;
    di.attr_num = 2;
    di.attr[0].mst_tp = 1;
    strcpy(di.attr[0].mst_ver, "1.0.0");
    di.attr[3].mst_tp = 4;
    ASSERT_EQ(0, wd_gw_desc_if_write(&di));
    GW_DESC_IF_S di2;
    memset(&di2, 0, sizeof(di2));
    ASSERT_EQ(0, wd_gw_desc_if_read(&di2));
    EXPECT_EQ(0, memcmp(&di, &di2, sizeof(di)));
    EXPECT_NE(std::string::npos,
              Stored("gw_di").find("\"sync\":1,\"attr_num\":2,\"mst_tp_0\":1,\"mst_ver_0\":\"1.0.0\""));

    GW_ACTV_IF_S ai = {};
    strcpy(ai.key, "6c1234567890abcd");
    strcpy(ai.lckey, "0123456789abcdef");
    strcpy(ai.mq_url, "mqtt://m1.example.com:1883");
    strcpy(ai.s_time_z, std::string(256, 'z').c_str());
    strcpy(ai.wx_uuid, "wx");
    ASSERT_EQ(0, wd_gw_actv_if_write(&ai));
    EXPECT_EQ(std::string::npos, Stored("gw_ai").find("dls_time"));
    GW_ACTV_IF_S ai2;
    memset(&ai2, 0, sizeof(ai2));
    ASSERT_EQ(0, wd_gw_actv_if_read(&ai2));
    EXPECT_EQ(0, memcmp(&ai, &ai2, sizeof(ai)));
}

TEST_F(WsDb, WifiStateIsStoredInBase64AndOldRecordsAsTheyAre)
{
    GW_WORK_STAT_MAG_S w = {};
    w.nc_tp = 2;
    w.md = 1;
    strcpy(w.ssid, "my \"home\" \\ net");
    strcpy(w.passwd, std::string(64, 'p').c_str());
    w.stat = 5;
    strcpy(w.token, "tok12345");
    strcpy(w.region, "EU");
    strcpy(w.reg_key, "rk01");
    ASSERT_EQ(0, wd_gw_wsm_write(&w));
    std::string stored = Stored("gw_wsm");
    EXPECT_NE(std::string::npos, stored.find("\"ssid\":\"bXkgImhvbWUiIFwgbmV0\""));
    EXPECT_NE(std::string::npos, stored.find("\"wfb64\":1"));
    GW_WORK_STAT_MAG_S w2;
    memset(&w2, 0x55, sizeof(w2));
    ASSERT_EQ(0, wd_gw_wsm_read(&w2));
    EXPECT_EQ(0, memcmp(&w, &w2, sizeof(w)));

    // Before Base64: the texts as they stand.
    const char old[] = "{\"nc_tp\":1,\"ssid\":\"plainnet\",\"passwd\":\"secret\",\"md\":0,\"stat\":2 }";
    ASSERT_EQ(0, kvs_write("gw_wsm", old, sizeof(old) - 1));
    ASSERT_EQ(0, wd_gw_wsm_read(&w2));
    EXPECT_STREQ("plainnet", w2.ssid);
    EXPECT_STREQ("secret", w2.passwd);
    EXPECT_EQ(2, w2.stat);

    // A Base64 text too long for its field is refused, never decoded past it.
    std::string longSsid = "{\"ssid\":\"" + std::string(56, 'Q') + "\",\"wfb64\":1 }";
    ASSERT_EQ(0, kvs_write("gw_wsm", longSsid.data(), static_cast<uint32_t>(longSsid.size())));
    EXPECT_EQ(-1, wd_gw_wsm_read(&w2));
    EXPECT_STREQ("", w2.ssid);
}

TEST_F(WsDb, ReadFailuresKeepOrFillAsDocumented)
{
    GW_BASE_IF_S bi;
    memset(&bi, 0x55, sizeof(bi));
    GW_BASE_IF_S before = bi;
    EXPECT_EQ(-901, wd_gw_base_if_read(&bi));
    EXPECT_EQ(0, memcmp(&before, &bi, sizeof(bi)));

    ASSERT_EQ(0, kvs_write("gw_bi", "no json", 7));
    EXPECT_EQ(-802, wd_gw_base_if_read(&bi));

    // A bad version text fails after the fields were filled.
    const char di[] = "{\"abi\":1,\"swv\":\"1..2\",\"dtp\":4 }";
    ASSERT_EQ(0, kvs_write("gw_di", di, sizeof(di) - 1));
    GW_DESC_IF_S d = {};
    EXPECT_EQ(-1, wd_gw_desc_if_read(&d));
    EXPECT_STREQ("1..2", d.swv);
    EXPECT_EQ(4, d.dtp);
    EXPECT_EQ(0u, d.sync);
    const char di2[] = "{\"dev_swv\":\"v1\"}";
    ASSERT_EQ(0, kvs_write("gw_di", di2, sizeof(di2) - 1));
    EXPECT_EQ(-1, wd_gw_desc_if_read(&d));

    // A stored "dls_time" is read and dropped.
    const char ai[] = "{\"key\":\"k\",\"dls_time\":\"AAAA\"}";
    ASSERT_EQ(0, kvs_write("gw_ai", ai, sizeof(ai) - 1));
    GW_ACTV_IF_S a = {};
    EXPECT_EQ(0, wd_gw_actv_if_read(&a));
    EXPECT_STREQ("k", a.key);

    EXPECT_EQ(-2, wd_gw_base_if_read(nullptr));
    EXPECT_EQ(-2, __nq_db_serialize_save("k", nullptr, 1));
    EXPECT_EQ(-2, __nq_db_deserialize_restore("k", nullptr, 1));
}

TEST_F(WsDb, SubDevicesAreReadInStoreOrderAndDeleted)
{
    for (const char* id : {"dev-a", "dev-b", "dev-c"}) {
        DEV_DESC_IF_S d = {};
        strcpy(d.id, id);
        strcpy(d.sw_ver, "1.0");
        d.uddd = 0x80000001u;
        d.tp = 3;
        d.bind = 1;
        d.attr_num = 1;
        strcpy(d.attr[1].mst_ver, "9.9");
        ASSERT_EQ(0, wd_dev_if_write(&d));
    }
    ASSERT_EQ(0, kvs_write("gw_bi", "x", 1));
    ASSERT_EQ(0, wd_dev_if_delete("dev-b"));
    std::vector<std::string> ids;
    uint32_t index = 0;
    DEV_DESC_IF_S d;
    int ret;
    while ((ret = wd_dev_if_read(&index, &d)) == 0) {
        ids.push_back(d.id);
        EXPECT_EQ(0x80000001u, d.uddd);
        EXPECT_EQ(1, d.bind);
        EXPECT_EQ(0, d.sync);
        EXPECT_STREQ("9.9", d.attr[1].mst_ver);
    }
    EXPECT_EQ(-901, ret);
    EXPECT_EQ((std::vector<std::string>{"dev-a", "dev-c"}), ids);
    DEV_DESC_IF_S zero = {};
    EXPECT_EQ(0, memcmp(&zero, &d, sizeof(d)));  // zero-filled, then nothing found

    ASSERT_EQ(0, wd_dev_if_delete_all());
    index = 0;
    EXPECT_EQ(-901, wd_dev_if_read(&index, &d));
    EXPECT_EQ("x", Stored("gw_bi"));
}

TEST_F(WsDb, SchemasUserParametersAndForwarders)
{
    const char schema[] = "[{\"id\":1,\"type\":\"obj\"}]";
    ASSERT_EQ(0, wd_dev_schema_write("sch-1", schema));
    char* text = nullptr;
    ASSERT_EQ(0, wd_dev_schema_read("sch-1", &text));
    EXPECT_STREQ(schema, text);
    wd_common_free_data(reinterpret_cast<uint8_t*>(text));
    ASSERT_EQ(0, wd_dev_schema_delete("sch-1"));
    EXPECT_EQ(-934, wd_dev_schema_read("sch-1", &text));

    const uint8_t blob[] = {0, 1, 2, 3, 0xFF};
    EXPECT_EQ(-2, ws_db_user_param_write(blob, 0));
    ASSERT_EQ(0, ws_db_user_param_write(blob, sizeof(blob)));
    uint8_t* back = nullptr;
    uint32_t n = 0;
    ASSERT_EQ(0, ws_db_user_param_read(&back, &n));
    ASSERT_EQ(sizeof(blob), n);
    EXPECT_EQ(0, memcmp(blob, back, n));
    wd_common_free_data(back);

    ASSERT_EQ(0, wd_common_write("plain", blob, sizeof(blob)));
    ASSERT_EQ(0, wd_common_read("plain", &back, &n));
    EXPECT_EQ(sizeof(blob), n);
    wd_common_free_data(back);
    EXPECT_EQ(-2, wd_common_free_data(nullptr));

    // A second opening changes nothing.
    EXPECT_EQ(0, ws_db_init("/DeviceInfo/noxa/", kKey, 16));
    ASSERT_EQ(0, wd_common_read("plain", &back, &n));
    wd_common_free_data(back);
}

TEST_F(WsDb, ANewProductionIdentityReplacesTheStoredStateOnly)
{
    GW_PROD_INFO_S first = {"uuid-1", "key-1", nullptr, nullptr};
    ASSERT_EQ(0, noxa_iot_set_gw_prod_info(&first));
    GW_BASE_IF_S bi = {};
    ASSERT_EQ(0, wd_gw_base_if_read(&bi));
    EXPECT_STREQ("uuid-1", bi.uuid);
    EXPECT_STREQ("key-1", bi.auth_key);

    GW_WORK_STAT_MAG_S w = {};
    strcpy(w.ssid, "home");
    ASSERT_EQ(0, wd_gw_wsm_write(&w));
    DEV_DESC_IF_S d = {};
    strcpy(d.id, "dev-1");
    ASSERT_EQ(0, wd_dev_if_write(&d));

    // The same identity, as at every start: the stored state stays.
    ASSERT_EQ(0, noxa_iot_set_gw_prod_info(&first));
    GW_WORK_STAT_MAG_S w2 = {};
    ASSERT_EQ(0, wd_gw_wsm_read(&w2));
    EXPECT_STREQ("home", w2.ssid);

    GW_PROD_INFO_S second = {"uuid-2", "key-1", nullptr, nullptr};
    ASSERT_EQ(0, noxa_iot_set_gw_prod_info(&second));
    ASSERT_EQ(0, wd_gw_base_if_read(&bi));
    EXPECT_STREQ("uuid-2", bi.uuid);
    ASSERT_EQ(0, wd_gw_wsm_read(&w2));
    EXPECT_STREQ("", w2.ssid);
    uint32_t index = 0;
    EXPECT_EQ(-901, wd_dev_if_read(&index, &d));
}

TEST_F(WsDb, AtStartTheStoredIdentityIsTheOneCompared)
{
    // What an earlier run left: its identity and Wi-Fi state. This process has neither in memory.
    GW_BASE_IF_S bi = {};
    strcpy(bi.uuid, "uuid-1");
    strcpy(bi.auth_key, "key-1");
    strcpy(bi.country_code, "DE");
    ASSERT_EQ(0, wd_gw_base_if_write(&bi));
    GW_WORK_STAT_MAG_S w = {};
    strcpy(w.ssid, "home");
    ASSERT_EQ(0, wd_gw_wsm_write(&w));

    GW_PROD_INFO_S same = {"uuid-1", "key-1", nullptr, nullptr};
    ASSERT_EQ(0, noxa_iot_set_gw_prod_info(&same));
    GW_WORK_STAT_MAG_S w2 = {};
    ASSERT_EQ(0, wd_gw_wsm_read(&w2));
    EXPECT_STREQ("home", w2.ssid);
    EXPECT_STREQ("uuid-1", get_gw_cntl()->gw_base.uuid);
    EXPECT_STREQ("DE", get_gw_cntl()->gw_base.country_code);
}

TEST(WsDbStart, CloudStartOpensTheStoreInItsFolder)
{
    TestSandbox board;
    NOXA_IOT_INIT_PARAMS_S p = {};
    strcpy(p.platform, "sim");
    strcpy(p.storage_path, "/DeviceInfo/noxa/");
    ASSERT_EQ(0, noxa_iot_init_params("/DeviceInfo/noxa/", &p));
    GW_ACTV_IF_S ai = {};
    strcpy(ai.key, "devid");
    ASSERT_EQ(0, wd_gw_actv_if_write(&ai));
    EXPECT_TRUE(board.Exists("/DeviceInfo/noxa/noxa_user.db"));
    EXPECT_EQ(16u, board.Read("/DeviceInfo/noxa/noxa_enckey.db").size());
    // The store keeps the key it made itself, not the one the start built.
    uint8_t built[IOT_STORE_KEY_LEN];
    noxa_iot_build_store_key(built);
    EXPECT_NE(std::string(reinterpret_cast<char*>(built), 16), board.Read("/DeviceInfo/noxa/noxa_enckey.db"));
    kvs_deinit();
}
