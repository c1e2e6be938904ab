// The Wi-Fi adapter over a fake radio: argument checks that call nothing, the mode juggling of a
// one-network scan (a sniffing radio sniffs again with its callback, SoftAP and station are left
// alone), and one adapter mutex even when the first uses race.
#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/wifi_intf/wf_basic_intf.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

// The fake radio: its mode, its sniffer's callback, and every call in order.
struct FakeRadio {
    std::vector<std::string> calls;
    WF_WK_MODE_E mode = WWM_STATION;
    WF_SNIFFER_CB sniffer = nullptr;
    WF_AP_INFO_S found = {};
};
FakeRadio* gRadio = nullptr;

void SnifferA(const uint8_t*, uint16_t) {}
void SnifferB(const uint8_t*, uint16_t) {}

WF_HWL_OPS_S FakeOps()
{
    WF_HWL_OPS_S o = {};
    o.assign_ap_scan = [](const char* ssid, WF_AP_INFO_S** ap) {
        gRadio->calls.push_back(std::string("scan ") + ssid + " in mode " + std::to_string(gRadio->mode));
        *ap = &gRadio->found;
        return 0;
    };
    o.sniffer_enable = [](int on, WF_SNIFFER_CB cb) {
        gRadio->calls.push_back(on == 0 ? "sniff off" : cb == SnifferB ? "sniff on B" : "sniff on other");
        gRadio->sniffer = on != 0 ? cb : nullptr;
        gRadio->mode = on != 0 ? WWM_SNIFFER : WWM_STATION;
        return 0;
    };
    o.ip_get = [](WF_IF_E, WF_IP_INFO_S*) {
        gRadio->calls.push_back("ip_get");
        return 0;
    };
    o.wk_mode_set = [](WF_WK_MODE_E m) {
        gRadio->calls.push_back("mode " + std::to_string(m));
        gRadio->mode = m;
        return 0;
    };
    o.wk_mode_get = [](WF_WK_MODE_E* m) {
        *m = gRadio->mode;
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
        // The adapter keeps the last callback for the process: switched off, none is kept.
        wf_sniffer_set(0, nullptr);
        gWfHwlOps = WF_HWL_OPS_S{};
        gRadio = nullptr;
    }
    FakeRadio mRadio;
};

TEST_F(WifiAdapter, NullOutputsAreRefusedWithNothingCalled)
{
    // A call that got through to the radio would answer -1 (its function is empty) or show.
    WF_AP_INFO_S* ap = nullptr;
    uint32_t n = 0;
    const int rcs[] = {
        wf_all_ap_scan(nullptr, &n), wf_all_ap_scan(&ap, nullptr), wf_assign_ap_scan(nullptr, &ap),
        wf_assign_ap_scan("Home", nullptr), wf_release_ap(nullptr), wf_get_cur_channel(nullptr),
        wf_get_ip(WF_STATION, nullptr), wf_get_mac(WF_STATION, nullptr), wf_wk_mode_get(nullptr),
        wf_station_get_conn_ap_rssi(nullptr), wf_station_stat_get(nullptr), wf_ap_start(nullptr),
    };
    for (size_t i = 0; i < std::size(rcs); ++i) {
        EXPECT_EQ(UNI_INVALID_PARM, rcs[i]) << "call " << i;
    }
    WF_IP_INFO_S ip;
    EXPECT_EQ(0, wf_get_ip(WF_STATION, &ip));
    EXPECT_EQ(std::vector<std::string>{"ip_get"}, mRadio.calls);
    EXPECT_EQ(-1, wf_station_connect("Home", "secret123")) << "an empty function";
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

    // Our own sniffing, over and switched off: its callback is not revived by a later scan.
    ASSERT_EQ(0, wf_sniffer_set(1, SnifferA));
    ASSERT_EQ(0, wf_sniffer_set(0, nullptr));
    mRadio.mode = WWM_SNIFFER;
    mRadio.calls.clear();
    EXPECT_EQ(0, wf_assign_ap_scan("Home", &ap));
    EXPECT_EQ((std::vector<std::string>{"sniff off", "mode 2", "scan Home in mode 2"}), mRadio.calls);
    EXPECT_EQ(WWM_STATION, mRadio.mode);
    EXPECT_EQ(nullptr, mRadio.sniffer);
}

TEST_F(WifiAdapter, ModeChangesRacingFromTheFirstUseNeverOverlap)
{
    // Every thread's first call creates the adapter mutex (this process has not used it yet):
    // two mutexes would let two mode changes run at once. A ThreadSanitizer build
    // (-DDOORPHONE_TSAN=ON) also sees a race on the mutex's making itself.
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
