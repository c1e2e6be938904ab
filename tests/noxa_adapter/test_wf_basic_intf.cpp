// The Wi-Fi adapter over a fake radio: argument checks that call nothing, the mode juggling of a
// one-network scan (a sniffing radio sniffs again with its callback, SoftAP and station are left
// alone), and one adapter mutex even when the first uses race.
#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/wifi_intf/wf_basic_intf.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// The fake radio: its mode, its sniffer's callback, and every call in order.
struct FakeRadio {
    std::mutex lock;
    std::vector<std::string> calls;
    WF_WK_MODE_E mode = WWM_STATION;
    WF_SNIFFER_CB sniffer = nullptr;
    WF_AP_INFO_S found = {};
    void Add(const std::string& c)
    {
        std::lock_guard<std::mutex> l(lock);
        calls.push_back(c);
    }
};
FakeRadio* gRadio = nullptr;

void SnifferA(const uint8_t*, uint16_t) {}
void SnifferB(const uint8_t*, uint16_t) {}

WF_HWL_OPS_S FakeOps()
{
    WF_HWL_OPS_S o = {};
    o.all_ap_scan = [](WF_AP_INFO_S** a, uint32_t* n) {
        gRadio->Add("all_scan");
        *a = &gRadio->found;
        *n = 1;
        return 0;
    };
    o.assign_ap_scan = [](const char* ssid, WF_AP_INFO_S** ap) {
        gRadio->Add(std::string("scan ") + ssid + " in mode " + std::to_string(gRadio->mode));
        *ap = &gRadio->found;
        return 0;
    };
    o.scan_free = [](WF_AP_INFO_S*) { return 0; };
    o.channel_get = [](uint8_t* c) {
        *c = 6;
        return 0;
    };
    o.sniffer_enable = [](int on, WF_SNIFFER_CB cb) {
        gRadio->Add(on != 0 ? (cb == SnifferA ? "sniff on A" : cb == SnifferB ? "sniff on B" : "sniff on none")
                            : "sniff off");
        gRadio->sniffer = on != 0 ? cb : nullptr;
        gRadio->mode = on != 0 ? WWM_SNIFFER : WWM_STATION;
        return 0;
    };
    o.ip_get = [](WF_IF_E, WF_IP_INFO_S*) {
        gRadio->Add("ip_get");
        return 0;
    };
    o.mac_get = [](WF_IF_E, uint8_t*) {
        gRadio->Add("mac_get");
        return 0;
    };
    o.wk_mode_set = [](WF_WK_MODE_E m) {
        gRadio->Add("mode " + std::to_string(m));
        gRadio->mode = m;
        return 0;
    };
    o.wk_mode_get = [](WF_WK_MODE_E* m) {
        *m = gRadio->mode;
        return 0;
    };
    o.sta_rssi_get = [](int8_t*) {
        gRadio->Add("rssi");
        return 0;
    };
    o.sta_status_get = [](uint32_t*) {
        gRadio->Add("status");
        return 0;
    };
    o.ap_start = [](const WF_AP_CFG_IF_S*) {
        gRadio->Add("ap_start");
        return 0;
    };
    return o;
}

class WifiAdapter : public testing::Test {
protected:
    void SetUp() override
    {
        gRadio = &mRadio;
        gWfHwlOps = FakeOps();
    }
    void TearDown() override
    {
        gWfHwlOps = WF_HWL_OPS_S{};
        gRadio = nullptr;
    }
    FakeRadio mRadio;
};

TEST_F(WifiAdapter, NullOutputsAreRefusedWithNothingCalled)
{
    WF_AP_INFO_S* ap = nullptr;
    uint32_t n = 0;
    WF_IP_INFO_S ip;
    uint8_t mac[6];
    const std::vector<std::pair<const char*, int>> results = {
        {"all_ap_scan list", wf_all_ap_scan(nullptr, &n)},
        {"all_ap_scan count", wf_all_ap_scan(&ap, nullptr)},
        {"assign ssid", wf_assign_ap_scan(nullptr, &ap)},
        {"assign out", wf_assign_ap_scan("Home", nullptr)},
        {"release", wf_release_ap(nullptr)},
        {"channel", wf_get_cur_channel(nullptr)},
        {"ip", wf_get_ip(WF_STATION, nullptr)},
        {"mac", wf_get_mac(WF_STATION, nullptr)},
        {"mode", wf_wk_mode_get(nullptr)},
        {"rssi", wf_station_get_conn_ap_rssi(nullptr)},
        {"status", wf_station_stat_get(nullptr)},
        {"ap", wf_ap_start(nullptr)},
    };
    for (const auto& [what, rc] : results) {
        EXPECT_EQ(UNI_INVALID_PARM, rc) << what;
    }
    EXPECT_TRUE(mRadio.calls.empty()) << mRadio.calls.front();
    // With arguments, each reaches the radio.
    EXPECT_EQ(0, wf_get_ip(WF_STATION, &ip));
    EXPECT_EQ(0, wf_get_mac(WF_STATION, mac));
    EXPECT_EQ((std::vector<std::string>{"ip_get", "mac_get"}), mRadio.calls);
}

TEST_F(WifiAdapter, AnEmptyFunctionAnswersMinusOne)
{
    gWfHwlOps.sta_connect = nullptr;
    EXPECT_EQ(-1, wf_station_connect("Home", "secret123"));
}

TEST_F(WifiAdapter, AOneNetworkScanLeavesTheRadioAsItFoundIt)
{
    // The callback kept is the last one switched on with success.
    ASSERT_EQ(0, wf_sniffer_set(1, SnifferA));
    ASSERT_EQ(0, wf_sniffer_set(0, nullptr));
    ASSERT_EQ(0, wf_sniffer_set(1, SnifferB));
    const struct {
        WF_WK_MODE_E before;
        std::vector<std::string> calls;
    } rows[] = {
        {WWM_SNIFFER, {"sniff off", "mode 2", "scan Home in mode 2", "mode 1", "sniff on B"}},
        {WWM_SOFTAP, {"scan Home in mode 3"}},
        {WWM_STATION, {"scan Home in mode 2"}},
        {WWM_NONE, {"mode 2", "scan Home in mode 2", "mode 0"}},
    };
    for (const auto& row : rows) {
        mRadio.mode = row.before;
        mRadio.calls.clear();
        WF_AP_INFO_S* ap = nullptr;
        EXPECT_EQ(0, wf_assign_ap_scan("Home", &ap)) << row.before;
        EXPECT_EQ(&mRadio.found, ap);
        EXPECT_EQ(row.calls, mRadio.calls) << "from mode " << row.before;
        EXPECT_EQ(row.before, mRadio.mode);
    }
    EXPECT_EQ(SnifferB, mRadio.sniffer) << "sniffing again with the same callback";
}

TEST_F(WifiAdapter, WithoutAKeptCallbackTheRadioStaysAStation)
{
    // Sniffing that someone else started: there is no callback to give back.
    mRadio.mode = WWM_SNIFFER;
    WF_AP_INFO_S* ap = nullptr;
    EXPECT_EQ(0, wf_assign_ap_scan("Home", &ap));
    EXPECT_EQ((std::vector<std::string>{"sniff off", "mode 2", "scan Home in mode 2"}), mRadio.calls);
    EXPECT_EQ(WWM_STATION, mRadio.mode);
}

TEST_F(WifiAdapter, ModeChangesRacingFromTheFirstUseNeverOverlap)
{
    // Every thread's first call creates the adapter mutex (this process has not used it yet):
    // two mutexes would let two mode changes run at once.
    static std::atomic<int> inside{0};
    static std::atomic<int> overlaps{0};
    gWfHwlOps.wk_mode_set = [](WF_WK_MODE_E) {
        if (inside.fetch_add(1) != 0) {
            overlaps.fetch_add(1);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        inside.fetch_sub(1);
        return 0;
    };
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&go] {
            while (!go.load()) {
            }
            for (int i = 0; i < 20; ++i) {
                wf_wk_mode_set(WWM_STATION);
            }
        });
    }
    go = true;
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(0, overlaps.load());
}

}  // namespace
