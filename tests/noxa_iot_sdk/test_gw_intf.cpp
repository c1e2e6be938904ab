// The gateway control block: identity, start, callback slots, Wi-Fi user configuration and the
// network-status poll.
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_base/events.h"
#include "noxa_base/sys_serv/sys_timer.h"
#include "noxa_base/kv_mem_fs.h"
#include "noxa_base/kv_storge/file/simplekv.h"
#include "noxa_base/kv_storge/kv_storge.h"
#include "noxa_iot_sdk/noxa_cloud/gw_active.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/noxa_ws_db.h"
#include "noxa_iot_sdk/noxa_cloud/smart_frame.h"
#include "noxa_iot_sdk/noxa_cloud/thing_config.h"
#include "noxa_adapter/utilities/uni_secret.h"
#include "log_capture.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

Events gEvents;
std::mutex gMutex;
std::vector<int> gStatuses;

void StatusCb(uint8_t status)
{
    {
        std::lock_guard<std::mutex> lock(gMutex);
        gStatuses.push_back(status);
    }
    gEvents.Add("status");
}

std::vector<int> Statuses()
{
    std::lock_guard<std::mutex> lock(gMutex);
    return gStatuses;
}

GW_RESET_TYPE_E gResetType = GW_LOCAL_RESET_FACTORY;
uint32_t gObjCount = 0;

const NOXA_IOT_CBS_S kCbs = {
    StatusCb,
    [](const NOXA_FW_INFO_S* fw) { return static_cast<int>(fw->file_size); },
    [](GW_RESET_TYPE_E type) { gResetType = type; },
    [](const RECV_OBJ_DP_S* dp) { gObjCount = dp->dps_cnt; },
    nullptr,  // raw data points: not wanted
    nullptr,  // data-point query: not wanted
    nullptr,  // sub-devices: none
};

GW_PROD_INFO_S Prod(const char* uuid, const char* key)
{
    return GW_PROD_INFO_S{uuid, key, nullptr, nullptr};
}

}  // namespace

TEST(GwProdInfo, ArgumentsAndLengths)
{
    const std::string uuid25(25, 'u');
    const std::string uuid26(26, 'u');
    const std::string key32(32, 'k');
    const std::string key33(33, 'k');
    const std::string ssid32(32, 's');
    const std::string ssid33(33, 's');
    const std::string pass64(64, 'p');
    const std::string pass65(65, 'p');
    const struct {
        GW_PROD_INFO_S prod;
        int ret;
    } rows[] = {
        {Prod(nullptr, "k"), -2},
        {Prod("u", nullptr), -2},
        {Prod(uuid26.c_str(), "k"), -2},
        {Prod("u", key33.c_str()), -2},
        {{"u", "k", ssid33.c_str(), nullptr}, -2},
        {{"u", "k", nullptr, pass65.c_str()}, -2},
        {{uuid25.c_str(), key32.c_str(), ssid32.c_str(), pass64.c_str()}, 0},
    };
    for (size_t i = 0; i < sizeof(rows) / sizeof(rows[0]); ++i) {
        EXPECT_EQ(rows[i].ret, noxa_iot_set_gw_prod_info(&rows[i].prod)) << "row " << i;
    }
    EXPECT_EQ(-2, noxa_iot_set_gw_prod_info(nullptr));
    EXPECT_EQ(uuid25, get_gw_cntl()->gw_base.uuid) << "refused rows change nothing";
    EXPECT_EQ(pass64, get_gw_cntl()->gw_base.ap_passwd);
}

TEST(GwProdInfo, NewIdentityClearsTheWifiState)
{
    GW_PROD_INFO_S first = Prod("uuid-1", "key-1");
    ASSERT_EQ(0, noxa_iot_set_gw_prod_info(&first));
    ASSERT_EQ(0, noxa_iot_wf_soc_dev_init(0, WF_START_SMART_FIRST, &kCbs, "pk", "1.2.11"));
    ASSERT_EQ(0, gw_wifi_user_cfg("home", "secret", "EUabcdefgh1234"));

    ASSERT_EQ(0, noxa_iot_set_gw_prod_info(&first));
    EXPECT_STREQ("home", get_gw_cntl()->gw_wsm.ssid) << "the same identity keeps it";

    GW_PROD_INFO_S second = Prod("uuid-2", "key-1");
    ASSERT_EQ(0, noxa_iot_set_gw_prod_info(&second));
    const GW_CNTL_S* gw = get_gw_cntl();
    EXPECT_STREQ("uuid-2", gw->gw_base.uuid);
    EXPECT_STREQ("", gw->gw_wsm.ssid);
    EXPECT_STREQ("", gw->gw_wsm.passwd);
    EXPECT_STREQ("", gw->gw_wsm.token);
    EXPECT_STREQ("", gw->gw_wsm.region);
    EXPECT_EQ(WF_START_SMART_FIRST, gw->gw_wsm.md) << "start parameters are not Wi-Fi state";
}

// A changed identity also drops the activation stored for the one before: the unit starts
// unactivated (logged), never online with another device's id and key; the same identity keeps it.
TEST(GwProdInfo, NewIdentityClearsTheStoredActivation)
{
    LogCapture::Install();
    MemFs fs;
    simplekv_set_file_io(&fs);
    const uint8_t storeKey[16] = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3};
    ASSERT_EQ(0, ws_db_init("/DeviceInfo/noxa/", storeKey, 16));
    GW_PROD_INFO_S first = Prod("uuid-1", "key-1");
    ASSERT_EQ(0, noxa_iot_set_gw_prod_info(&first));
    GW_ACTV_IF_S ai = {};
    strcpy(ai.key, "devOfUnitOne");
    strcpy(ai.lckey, "0123456789abcdef");
    strcpy(ai.mq_url, "mqtts://m.example:8883");
    ASSERT_EQ(0, wd_gw_actv_if_write(&ai));
    const uint8_t mediaKey[16] = {'m', 'e', 'd', 'i', 'a', 'K', 'e', 'y', '0', '1', '2', '3', '4', '5', '6', '7'};
    ASSERT_EQ(0, wd_common_write("cloud_enc_key", mediaKey, sizeof mediaKey));

    ASSERT_EQ(0, noxa_iot_set_gw_prod_info(&first));
    ASSERT_EQ(0, gw_active_load()) << "the same identity keeps its activation";
    {
        uint8_t* kept = nullptr;
        uint32_t keptLen = 0;
        ASSERT_EQ(0, wd_common_read("cloud_enc_key", &kept, &keptLen)) << "and its media key";
        wd_common_free_data(kept);
    }
    EXPECT_EQ(ACTIVATED, get_gw_cntl()->active_stat.load());

    GW_PROD_INFO_S second = Prod("uuid-2", "key-2");
    ASSERT_EQ(0, noxa_iot_set_gw_prod_info(&second));
    GW_ACTV_IF_S back = {};
    EXPECT_EQ(-901, wd_gw_actv_if_read(&back)) << back.key;
    EXPECT_NE(0, gw_active_load());
    EXPECT_EQ(UN_ACTIVE, get_gw_cntl()->active_stat.load());
    char devId[GW_ID_LEN + 1];
    char localKey[GW_LOCAL_KEY_LEN + 1];
    gw_get_active_ids(devId, localKey);
    EXPECT_STREQ("", devId);
    EXPECT_STREQ("", localKey);
    EXPECT_TRUE(LogCapture::Logged("the activation of the identity before is dropped")) << LogCapture::All();
    uint8_t* key = nullptr;
    uint32_t len = 0;
    EXPECT_NE(0, wd_common_read("cloud_enc_key", &key, &len)) << "the old device's media key is kept";
    wd_common_free_data(key);
    kvs_deinit();
    simplekv_set_file_io(nullptr);
}

// A changed identity is stored only once the state of the one before is gone. A power cut at any
// step of the change leaves the old identity (the next start sees the change again and ends it)
// or the new one with nothing of the old device: no activation, media key, Wi-Fi or sub-device.
TEST(GwProdInfo, APowerCutNeverLeavesTheNewIdentityWithTheOldState)
{
    MemFs fs;
    simplekv_set_file_io(&fs);
    const uint8_t storeKey[16] = {2, 7, 1, 8, 2, 8, 1, 8, 2, 8, 4, 5, 9, 0, 4, 5};
    const auto open = [&] {
        kvs_deinit();
        return ws_db_init("/DeviceInfo/noxa/", storeKey, 16);
    };
    ASSERT_EQ(0, open());
    GW_PROD_INFO_S first = Prod("uuid-1", "key-1");
    ASSERT_EQ(0, noxa_iot_set_gw_prod_info(&first));
    GW_ACTV_IF_S ai = {};
    strcpy(ai.key, "devOfUnitOne");
    GW_WORK_STAT_MAG_S wsm = {};
    strcpy(wsm.ssid, "home");
    DEV_DESC_IF_S dev = {};
    strcpy(dev.id, "sub-1");
    const uint8_t mediaKey[16] = {'m', 'e', 'd', 'i', 'a'};
    ASSERT_EQ(0, wd_gw_actv_if_write(&ai) | wd_gw_wsm_write(&wsm) | wd_dev_if_write(&dev) |
                     wd_common_write("cloud_enc_key", mediaKey, sizeof mediaKey));
    kvs_deinit();
    const MemFs::Image start = fs.Snapshot();
    // The stored identity, then what the store holds of the old device's state ("" for nothing).
    const auto stored = [] {
        GW_BASE_IF_S bi = {};
        EXPECT_EQ(0, wd_gw_base_if_read(&bi));
        GW_ACTV_IF_S a = {};
        GW_WORK_STAT_MAG_S w = {};
        DEV_DESC_IF_S d = {};
        uint32_t index = 0;
        uint8_t* key = nullptr;
        uint32_t len = 0;
        std::string s = std::string(bi.uuid) + (wd_gw_actv_if_read(&a) == 0 ? " activation" : "") +
                        (wd_gw_wsm_read(&w) == 0 && w.ssid[0] != '\0' ? " wifi" : "") +
                        (wd_dev_if_read(&index, &d) == 0 ? " sub-device" : "") +
                        (wd_common_read("cloud_enc_key", &key, &len) == 0 ? " media key" : "");
        wd_common_free_data(key);
        return s;
    };

    GW_PROD_INFO_S second = Prod("uuid-2", "key-2");
    fs.Restore(start);
    ASSERT_EQ(0, open());
    fs.ResetOps();
    ASSERT_EQ(0, noxa_iot_set_gw_prod_info(&second));
    const uint64_t n = fs.Ops();
    int oldKept = 0;
    for (uint64_t k = 1; k <= n; ++k) {
        SCOPED_TRACE("cut at operation " + std::to_string(k) + " of " + std::to_string(n));
        fs.Restore(start);
        ASSERT_EQ(0, open());
        fs.ResetOps();
        fs.CutAt(k);
        noxa_iot_set_gw_prod_info(&second);
        kvs_deinit();
        fs.Reboot(MemFs::kDropUnsynced);
        ASSERT_EQ(0, open());
        const std::string got = stored();
        if (got.rfind("uuid-1", 0) == 0) {
            ++oldKept;  // the next start runs the change to its end
            ASSERT_EQ(0, noxa_iot_set_gw_prod_info(&second));
            EXPECT_EQ("uuid-2", stored());
        } else {
            EXPECT_EQ("uuid-2", got);
        }
    }
    EXPECT_LT(0, oldKept);
    kvs_deinit();
    simplekv_set_file_io(nullptr);
}

TEST(GwStart, CopiesTheSlotsAndCallsOnlyFilledOnes)
{
    EXPECT_EQ(-2, noxa_iot_wf_soc_dev_init(0, WF_START_AP_FIRST, nullptr, "pk", "1.0"));
    EXPECT_EQ(-2, noxa_iot_wf_soc_dev_init(0, WF_START_AP_FIRST, &kCbs, nullptr, "1.0"));
    EXPECT_EQ(-2, noxa_iot_wf_soc_dev_init(0, WF_START_AP_FIRST, &kCbs, "pk", nullptr));
    EXPECT_EQ(-2, noxa_iot_wf_soc_dev_init(0, static_cast<GW_WF_START_MODE_E>(4), &kCbs, "pk", "1.0"));
    EXPECT_EQ(-2, noxa_iot_wf_soc_dev_init(0, WF_START_AP_FIRST, &kCbs, "0123456789abcdefX", "1.0"));
    EXPECT_FALSE(get_gw_cntl()->started.load());

    NOXA_IOT_CBS_S cbs = kCbs;
    ASSERT_EQ(0, noxa_iot_wf_soc_dev_init(3, WF_START_SMART_FIRST_2, &cbs, "0123456789abcdef", "1.2.11"));
    cbs = NOXA_IOT_CBS_S{};  // the gateway holds its own copy
    const GW_CNTL_S* gw = get_gw_cntl();
    EXPECT_TRUE(gw->started.load());
    EXPECT_STREQ("0123456789abcdef", gw->product_key);
    EXPECT_STREQ("1.2.11", gw->sw_ver);
    EXPECT_EQ(3, gw->gw_wsm.nc_tp);
    EXPECT_EQ(WF_START_SMART_FIRST_2, gw->gw_wsm.md);
    EXPECT_STREQ("2.2", gw->mq_pro_ver);
    EXPECT_STREQ("3.3", gw->lan_pro_ver);
    EXPECT_EQ(-1, noxa_iot_wf_soc_dev_init(0, WF_START_AP_FIRST, &kCbs, "pk", "1.0")) << "started once";

    // Filled slots are called with the record...
    EXPECT_EQ(0, gw_call_status_changed(7));
    EXPECT_EQ(std::vector<int>{7}, Statuses());
    NOXA_FW_INFO_S fw = {};
    fw.file_size = 1234;
    EXPECT_EQ(1234, gw_call_ug_inform(&fw));
    EXPECT_EQ(0, gw_call_reset(GW_REMOTE_RESET_FACTORY));
    EXPECT_EQ(GW_REMOTE_RESET_FACTORY, gResetType);
    alignas(RECV_OBJ_DP_S) uint8_t block[sizeof(RECV_OBJ_DP_S) + 2 * sizeof(OBJ_DP_S)] = {};
    auto* obj = reinterpret_cast<RECV_OBJ_DP_S*>(block);
    obj->dps_cnt = 2;
    EXPECT_EQ(0, sf_obj_dp_dispatch(obj));
    EXPECT_EQ(2u, gObjCount);
    EXPECT_EQ(-2, sf_obj_dp_dispatch(nullptr));
    // ... empty ones never.
    RECV_RAW_DP_S raw = {};
    EXPECT_EQ(-1, sf_raw_dp_dispatch(&raw));
    DP_QUERY_S query = {};
    EXPECT_EQ(-1, sf_dp_query_dispatch(&query));
    EXPECT_EQ(-1, gw_call_dev_ug_inform("sub", &fw));
}

TEST(GwState, IdentityAndStatusReaders)
{
    EXPECT_STREQ("", noxa_iot_get_dev_id()) << "empty until activated";
    EXPECT_EQ(UN_ACTIVE, noxa_iot_get_active_stat());
    uint8_t st = 0xFF;
    EXPECT_EQ(-2, get_wf_gw_nw_status(nullptr));
    ASSERT_EQ(0, get_wf_gw_nw_status(&st));
    EXPECT_EQ(STAT_NO_CLOUD, st);
    gw_set_nw_stat(STAT_CLOUD_CONN);
    ASSERT_EQ(0, get_wf_gw_nw_status(&st));
    EXPECT_EQ(STAT_CLOUD_CONN, st);
    EXPECT_EQ(0, set_gw_ext_stat(1));
    EXPECT_EQ(1, get_gw_cntl()->ext_stat.load());
}

// A cloud reset clears the device id and local key on the MQTT task while other threads build
// requests with them: a reader sees the whole id or none, never half of one.
TEST(GwState, ActivationIdsAreReadWholeWhileAnotherThreadChangesThem)
{
    const std::string id = "nx0123456789abcdef01";
    const std::string key = "0123456789abcdef";
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> rounds{0};
    std::thread writer([&] {
        while (!stop.load()) {
            gw_set_active_ids(id.c_str(), key.c_str());
            gw_set_active_ids(nullptr, nullptr);
            rounds.fetch_add(1);
        }
    });
    // Reads go on until they have met the writer often enough: a count of reads alone may all
    // pass before a loaded machine lets the writer run at all.
    int torn = 0;
    int whole = 0;
    int reads = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while ((whole < 1000 || reads < 20000 || rounds.load() < 1000) &&
           std::chrono::steady_clock::now() < end) {
        std::string seen = noxa_iot_get_dev_id();
        char devId[GW_ID_LEN + 1];
        char localKey[GW_LOCAL_KEY_LEN + 1];
        gw_get_active_ids(devId, localKey);
        torn += (!seen.empty() && seen != id) || (devId[0] != '\0') != (localKey[0] != '\0') ? 1 : 0;
        whole += seen == id ? 1 : 0;
        ++reads;
    }
    stop.store(true);
    writer.join();
    EXPECT_EQ(0, torn);
    EXPECT_GT(whole, 0) << "the writer ran meanwhile";
}

TEST(GwWifiUserCfg, TokenSplitsIntoRegionTokenAndKey)
{
    const struct {
        const char* token;
        const char* region;
        const char* tok;
        const char* regKey;
    } rows[] = {
        {"EUabcdefgh1234", "EU", "abcdefgh", "1234"},
        {"AYabcdefgh", "AY", "abcdefgh", ""},
        {"AYabc", "AY", "abc", ""},
        {"", "", "", ""},
        {nullptr, "", "", ""},
    };
    for (const auto& row : rows) {
        ASSERT_EQ(0, noxa_iot_gw_wf_user_cfg("home", "secret", row.token));
        const GW_WORK_STAT_MAG_S& wsm = get_gw_cntl()->gw_wsm;
        EXPECT_STREQ("home", wsm.ssid);
        EXPECT_STREQ("secret", wsm.passwd);
        EXPECT_STREQ(row.region, wsm.region) << (row.token ? row.token : "NULL");
        EXPECT_STREQ(row.tok, wsm.token);
        EXPECT_STREQ(row.regKey, wsm.reg_key);
    }
    ASSERT_EQ(0, gw_wifi_user_cfg("open", nullptr, "EUabcdefgh"));
    EXPECT_STREQ("", get_gw_cntl()->gw_wsm.passwd);
}

TEST(GwWifiUserCfg, RefusesWhatDoesNotFit)
{
    ASSERT_EQ(0, gw_wifi_user_cfg("home", "secret", "EUabcdefgh1234"));
    EXPECT_EQ(-2, gw_wifi_user_cfg(nullptr, "p", "t"));
    EXPECT_EQ(-2, gw_wifi_user_cfg("", "p", "t"));
    EXPECT_EQ(-2, gw_wifi_user_cfg(std::string(33, 's').c_str(), "p", "t"));
    EXPECT_EQ(-2, gw_wifi_user_cfg("s", std::string(65, 'p').c_str(), "t"));
    EXPECT_EQ(-2, gw_wifi_user_cfg("s", "p", "EUabcdefgh12345"));
    EXPECT_EQ(0, gw_wifi_user_cfg(std::string(32, 's').c_str(), std::string(64, 'p').c_str(), "t"));
    EXPECT_EQ(std::string(32, 's'), get_gw_cntl()->gw_wsm.ssid);
}

TEST(GwSecrets, TokensAndPassPhrasesReachTheLogOnlyMasked)
{
    const struct {
        const char* secret;
        const char* masked;
    } rows[] = {
        {nullptr, "(null)"}, {"", "***(0)"}, {"ab", "a***(2)"}, {"abcdefg", "abc***(7)"},
        {"EUabcdefgh1234", "EUab***(14)"},
    };
    for (const auto& row : rows) {
        EXPECT_STREQ(row.masked, uni_mask_secret(row.secret).text);
    }
    EXPECT_STREQ("aaaa***(4000)", uni_mask_secret(std::string(4000, 'a').c_str()).text);

    LogCapture::Install();
    ASSERT_EQ(0, gw_wifi_user_cfg("home", "first pass phrase", "EUabcdefgh1234"));
    ASSERT_EQ(0, thing_config_start("home", "second pass phrase", "AYsecrettoken99", 60));
    EXPECT_TRUE(LogCapture::Logged("token:abcd***(8)"));
    EXPECT_TRUE(LogCapture::Logged("token:AYse***(15)"));
    for (const char* secret : {"abcdefgh", "secrettoken", "pass phrase"}) {
        EXPECT_FALSE(LogCapture::Logged(secret)) << secret;
    }
}

TEST(GwNwStat, CallsBackOnlyOnAChange)
{
    ASSERT_EQ(0, system_timer_init());
    EXPECT_EQ(-2, noxa_iot_reg_get_wf_nw_stat_cb_params(nullptr, 5));
    EXPECT_EQ(-2, noxa_iot_reg_get_wf_nw_stat_cb_params(StatusCb, 0));
    ASSERT_EQ(0, noxa_iot_reg_get_wf_nw_stat_cb_params(StatusCb, 3600));  // the passes below are ours
    gw_nw_stat_poll();
    EXPECT_TRUE(Statuses().empty()) << "the status at registration is no news";
    const struct {
        uint8_t set;
        std::vector<int> seen;
    } steps[] = {
        {STAT_MQTT_OFFLINE, {12}},
        {STAT_CLOUD_CONN, {12, 7}},
        {STAT_CLOUD_CONN, {12, 7}},
        {STAT_MQTT_OFFLINE, {12, 7, 12}},
        {STAT_CLOUD_CONN, {12, 7, 12, 7}},
    };
    for (const auto& step : steps) {
        gw_set_nw_stat(step.set);
        gw_nw_stat_poll();
        gw_nw_stat_poll();
        EXPECT_EQ(step.seen, Statuses()) << "after " << int(step.set);
    }
}

TEST(GwNwStat, PollRunsEveryIntervalOnTheTimer)
{
    UniTestClock clock;
    ASSERT_EQ(0, system_timer_init());
    ASSERT_EQ(0, noxa_iot_reg_get_wf_nw_stat_cb_params(StatusCb, 5));
    EXPECT_EQ(5u, get_gw_cntl()->nw_stat_interval_s.load());
    EXPECT_EQ(StatusCb, get_gw_cntl()->nw_stat_cb.load());
    gw_set_nw_stat(STAT_CLOUD_CONN);

    // A probe due 1 ms before the poll: once it has fired, the pass has looked at the poll too.
    TIMER_ID probe = 0;
    ASSERT_EQ(0, sys_add_timer([](TIMER_ID, void*) { gEvents.Add("probe"); }, nullptr, &probe));
    // The timer thread outlives the test: a probe still armed at its end (the last one is due on
    // the pass that reports the status) would write to the events after the exit freed them.
    struct ProbeRemoval {
        TIMER_ID id;
        ~ProbeRemoval() { EXPECT_EQ(0, sys_delete_timer(id)); }  // waits for a running callback
    } probeRemoval{probe};
    ASSERT_EQ(0, sys_start_timer(probe, 4999, TIMER_ONCE));
    clock.Advance(4999);
    ASSERT_TRUE(gEvents.WaitFor("probe"));
    EXPECT_TRUE(Statuses().empty()) << "polled before 5 s";

    clock.Advance(1);
    ASSERT_TRUE(gEvents.WaitFor("status"));
    EXPECT_EQ(std::vector<int>{7}, Statuses());

    // The next poll, 5 s later, sees no change.
    ASSERT_EQ(0, sys_start_timer(probe, 5000, TIMER_ONCE));
    clock.Advance(5000);
    ASSERT_TRUE(gEvents.WaitFor("probe", 2));
    EXPECT_EQ(std::vector<int>{7}, Statuses());
    gw_set_nw_stat(STAT_MQTT_OFFLINE);
    ASSERT_EQ(0, sys_start_timer(probe, 5000, TIMER_ONCE));
    clock.Advance(5000);
    ASSERT_TRUE(gEvents.WaitFor("status", 2));
    EXPECT_EQ((std::vector<int>{7, 12}), Statuses());
}
