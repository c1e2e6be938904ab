// Bringing the cloud side up through the service API: what each call hands to the cloud
// connection, in which order, and what a refused call leaves alone.
#include "noxa_adapter/network/uni_network.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_iot_sdk/com_sdk/com_mmod.h"
#include "noxa_iot_sdk/com_sdk/noxa_iot_com_api.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/smart_frame.h"
#include "noxa_iot_sdk/online_log/log_serv.h"
#include "noxa_iot_sdk/log_capture.h"
#include "noxa_ipc_sdk/noxa_ipc_api.h"
#include "platform/board_path.h"
#include "sandbox.h"

#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <vector>

namespace {

std::mutex gMutex;
std::vector<std::string> gCalls;

bool Logged(const std::string& text)
{
    return LogCapture::Logged(text);
}

void Called(const std::string& what)
{
    std::lock_guard<std::mutex> lock(gMutex);
    gCalls.push_back(what);
}

std::vector<std::string> Calls()
{
    std::lock_guard<std::mutex> lock(gMutex);
    return gCalls;
}

// The application's callbacks, each telling who was called.
void ObjDp(const RECV_OBJ_DP_S*) { Called("obj"); }
void DpQuery(const DP_QUERY_S*) { Called("query"); }
void NetStatus(uint8_t st) { Called("status " + std::to_string(st)); }
int Upgrade(const NOXA_FW_INFO_S*)
{
    Called("upgrade");
    return 0;
}
void Reset(GW_RESET_TYPE_E type) { Called("reset " + std::to_string(type)); }
void Restart() { Called("restart"); }

// The record the application fills.
NOXA_IPC_INIT_PARAM_S AppParam()
{
    NOXA_IPC_INIT_PARAM_S p = {};
    strcpy(p.storage_path, "/DeviceInfo/noxa/");
    strcpy(p.product_key, "abcdefghijklmnop");
    strcpy(p.dev_uuid, "noxa0123456789abcdef");
    strcpy(p.dev_auth_key, "0123456789abcdef0123456789abcdef");
    strcpy(p.dev_sw_version, "1.2.11");
    strcpy(p.unused_name, "noxa_ipc");
    p.dp_cmd_obj_cb = ObjDp;
    p.dp_cmd_raw_cb = nullptr;
    p.dp_query_cb = DpQuery;
    p.net_status_change_cb = NetStatus;
    p.upgrade_inform_cb = Upgrade;
    p.reset_cb = Reset;
    p.restart_req_cb = Restart;
    return p;
}

class IpcApi : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, LogCapture::Install()); }

    TestSandbox mBoard;  // the store's folder lives on the board
};

}  // namespace

TEST_F(IpcApi, InitBringsUpTheCoreFromItsOwnCopy)
{
    EXPECT_EQ(-2, noxa_ipc_init_sdk(nullptr));
    EXPECT_TRUE(Logged("input is null"));
    EXPECT_EQ(nullptr, cmmod_get_worker()) << "a refused init starts nothing";
    EXPECT_EQ(nullptr, httpc_ipc_log_up_buf());

    NOXA_IPC_INIT_PARAM_S p = AppParam();
    ASSERT_EQ(0, noxa_ipc_init_sdk(&p));
    EXPECT_STREQ("arm-buildroot-linux-uclibcgnueabihf-ssc325", noxa_iot_get_init_params()->platform);
    EXPECT_STREQ("/DeviceInfo/noxa/", noxa_iot_get_init_params()->storage_path);
    EXPECT_TRUE(Logged("init fs. Path: /DeviceInfo/noxa/ "));
    EXPECT_NE(nullptr, cmmod_get_worker());
    EXPECT_NE(nullptr, httpc_ipc_log_up_buf());

    memset(&p, 0x5A, sizeof(p));  // later calls read the copy, never the caller's record
    EXPECT_EQ(-2, noxa_ipc_init_sdk(nullptr));
    ASSERT_EQ(0, noxa_ipc_start_sdk(WIFI_INIT_AP, ""));
    const GW_CNTL_S* gw = get_gw_cntl();
    EXPECT_STREQ("noxa0123456789abcdef", gw->gw_base.uuid);
    EXPECT_STREQ("0123456789abcdef0123456789abcdef", gw->gw_base.auth_key);
    EXPECT_STREQ("abcdefghijklmnop", gw->product_key);
    EXPECT_STREQ("1.2.11", gw->sw_ver);
}

TEST_F(IpcApi, StoragePathOf64CharactersIsCutTo63)
{
    NOXA_IPC_INIT_PARAM_S p = AppParam();
    const std::string path = "/" + std::string(62, 'd') + "/";
    ASSERT_EQ(64u, path.size());
    strcpy(p.storage_path, path.c_str());
    // The store opens in the folder as given.
    ASSERT_EQ(0, BoardMkdir(path.c_str(), 0755));
    ASSERT_EQ(0, noxa_ipc_init_sdk(&p));
    EXPECT_EQ(path.substr(0, 63), noxa_iot_get_init_params()->storage_path);
}

TEST_F(IpcApi, FailingCoreStepEndsTheInit)
{
    // Someone started the platform before: the core's platform step refuses a second start.
    ASSERT_EQ(0, unw_dns_cache_init());
    NOXA_IPC_INIT_PARAM_S p = AppParam();
    EXPECT_EQ(-1, noxa_ipc_init_sdk(&p));
    EXPECT_TRUE(Logged("noxa_iot_init err -1"));
    EXPECT_EQ(nullptr, httpc_ipc_log_up_buf()) << "nothing after the core is initialised";
    EXPECT_EQ(nullptr, cmmod_get_worker());
}

TEST_F(IpcApi, StartMapsTheCallbackSlots)
{
    NOXA_IPC_INIT_PARAM_S p = AppParam();
    ASSERT_EQ(0, noxa_ipc_init_sdk(&p));
    ASSERT_EQ(0, noxa_ipc_start_sdk(WIFI_INIT_AP, ""));
    const NOXA_IOT_CBS_S& cbs = get_gw_cntl()->cbs;
    EXPECT_EQ(NetStatus, cbs.gw_status_cb);
    EXPECT_EQ(Upgrade, cbs.gw_ug_cb);
    EXPECT_EQ(Reset, cbs.gw_reset_cb);
    EXPECT_EQ(ObjDp, cbs.dev_obj_dp_cb);
    EXPECT_EQ(nullptr, cbs.dev_raw_dp_cb);
    EXPECT_EQ(DpQuery, cbs.dev_dp_query_cb);
    EXPECT_EQ(nullptr, cbs.dev_ug_cb);
    // The status callback also polls every 5 s.
    EXPECT_EQ(NetStatus, get_gw_cntl()->nw_stat_cb.load());
    EXPECT_EQ(5u, get_gw_cntl()->nw_stat_interval_s.load());
    EXPECT_TRUE(Logged("lan protocol mode:0"));

    // Through the gateway, each reaches the application's function of its slot; the restart
    // request is no slot at all.
    alignas(RECV_OBJ_DP_S) uint8_t objBlock[sizeof(RECV_OBJ_DP_S)] = {};
    alignas(DP_QUERY_S) uint8_t queryBlock[sizeof(DP_QUERY_S)] = {};
    RECV_RAW_DP_S raw = {};
    NOXA_FW_INFO_S fw = {};
    EXPECT_EQ(0, gw_call_status_changed(12));
    EXPECT_EQ(0, gw_call_ug_inform(&fw));
    EXPECT_EQ(0, gw_call_reset(GW_REMOTE_UNACTIVE));
    EXPECT_EQ(0, sf_obj_dp_dispatch(reinterpret_cast<RECV_OBJ_DP_S*>(objBlock)));
    EXPECT_EQ(-1, sf_raw_dp_dispatch(&raw));
    EXPECT_EQ(0, sf_dp_query_dispatch(reinterpret_cast<DP_QUERY_S*>(queryBlock)));
    EXPECT_EQ(-1, gw_call_dev_ug_inform("sub", &fw));
    EXPECT_EQ((std::vector<std::string>{"status 12", "upgrade", "reset 1", "obj", "query"}), Calls());
}

TEST_F(IpcApi, StartModeOutsideTheRangeIsRefusedAfterTheIdentity)
{
    NOXA_IPC_INIT_PARAM_S p = AppParam();
    ASSERT_EQ(0, noxa_ipc_init_sdk(&p));
    EXPECT_EQ(-2, noxa_ipc_start_sdk(static_cast<WIFI_INIT_MODE_E>(3), ""));
    EXPECT_TRUE(Logged("noxa sdk wifi mode is err 3"));
    const GW_CNTL_S* gw = get_gw_cntl();
    EXPECT_STREQ("noxa0123456789abcdef", gw->gw_base.uuid) << "the identity goes first";
    EXPECT_FALSE(gw->started.load()) << "no Wi-Fi device start";
    EXPECT_EQ(nullptr, gw->nw_stat_cb.load()) << "no status poll";
    EXPECT_FALSE(Logged("lan protocol")) << "no LAN protocol";
}

TEST_F(IpcApi, FailingDeviceStartEndsTheStart)
{
    NOXA_IPC_INIT_PARAM_S p = AppParam();
    ASSERT_EQ(0, noxa_ipc_init_sdk(&p));
    const NOXA_IOT_CBS_S none = {};
    ASSERT_EQ(0, noxa_iot_wf_soc_dev_init(0, WF_START_AP_FIRST, &none, "pk", "1.0"));
    EXPECT_EQ(-1, noxa_ipc_start_sdk(WIFI_INIT_AP, ""));
    EXPECT_TRUE(Logged("noxa_iot_wf_soc_dev_init err -1"));
    EXPECT_EQ(nullptr, get_gw_cntl()->nw_stat_cb.load());
    EXPECT_FALSE(Logged("lan protocol"));
}

struct ModeRow {
    WIFI_INIT_MODE_E mode;
    uint8_t start;
    const char* ssid;  // joined by the debug start only
};

void PrintTo(const ModeRow& row, std::ostream* os)
{
    *os << "mode " << row.mode;
}

std::string ModeName(const ::testing::TestParamInfo<ModeRow>& info)
{
    const char* const names[] = {"Auto", "Ap", "Debug"};
    return names[info.param.mode];
}

class IpcStartMode : public IpcApi, public ::testing::WithParamInterface<ModeRow> {};

TEST_P(IpcStartMode, GivesTheWifiStartMode)
{
    NOXA_IPC_INIT_PARAM_S p = AppParam();
    ASSERT_EQ(0, noxa_ipc_init_sdk(&p));
    ASSERT_EQ(0, noxa_ipc_start_sdk(GetParam().mode, "EUabcdefgh"));
    const GW_CNTL_S* gw = get_gw_cntl();
    EXPECT_EQ(GetParam().start, gw->gw_wsm.md);
    EXPECT_EQ(0, gw->gw_wsm.nc_tp);
    EXPECT_STREQ(GetParam().ssid, gw->gw_wsm.ssid);
    if (GetParam().mode == WIFI_INIT_DEBUG) {
        EXPECT_STREQ("kelp", gw->gw_wsm.passwd);
        EXPECT_STREQ("EU", gw->gw_wsm.region);
        EXPECT_STREQ("abcdefgh", gw->gw_wsm.token);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, IpcStartMode,
                         ::testing::Values(ModeRow{WIFI_INIT_AUTO, WF_START_SMART_FIRST, ""},
                                           ModeRow{WIFI_INIT_AP, WF_START_AP_FIRST, ""},
                                           ModeRow{WIFI_INIT_DEBUG, WF_START_AP_FIRST, "noxa"}),
                         ModeName);
