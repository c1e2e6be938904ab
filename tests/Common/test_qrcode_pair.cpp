// Pairing by QR code on a wireless board with its cable pulled: a code made by qrencode is put
// before the simulated camera with tools/mkcamera; the pairing thread reads it from the scaler's
// sub picture, joins the network it names and binds its token, with which the unit activates at
// the local cloud. A picture without a code does nothing, and a second code after the success is
// not read.
#include "cloud_peer.h"
#include "cloud_unit.h"
#include "netsim.h"
#include "noxa_base/events.h"
#include "process.h"
#include "sandbox.h"

#include "AppState.h"
#include "Network.h"
#include "Peripheral.h"
#include "QrcodePair.h"
#include "WifiFunctions.h"
#include "noxa_iot_sdk/noxa_cloud/gw_active.h"
#include "noxa_iot_sdk/noxa_cloud/gw_wifi.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"
#include "platform/board_path.h"
#include "platform/mi/mi_sensor.h"
#include "platform/mi/mi_sim.h"
#include "platform/mi/mi_sys.h"
#include "platform/mi/mi_vif.h"
#include "platform/mi/mi_vpe.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

using namespace std::chrono_literals;

Events gEvents;

void JoinWait(uint32_t ms)
{
    if (ms == 8000) {
        std::string run = BoardRoot() + "/.board/net/run/wpa_supplicant";
        Eventually([&] { return access(run.c_str(), F_OK) == 0; }, 10s);
    }
}

const NOXA_IOT_CBS_S kCbs = {
    [](uint8_t status) { gEvents.Add("status" + std::to_string(status)); }, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr,
};

// The capture as the unit builds it up to the scaler: the camera at 640x360, port 1 (the sub
// picture) with one frame kept for a user.
void BuildSubPicture()
{
    const MI_SYS_ChnPort_t vif{E_MI_MODULE_ID_VIF, 0, 0, 0};
    const MI_SYS_ChnPort_t vpe{E_MI_MODULE_ID_VPE, 0, 0, 0};
    const MI_SYS_ChnPort_t sub{E_MI_MODULE_ID_VPE, 0, 0, 1};
    MiSimSetSignal(640, 360);
    ASSERT_EQ(0, MI_SYS_Init());
    ASSERT_EQ(0, MI_SNR_Enable(0));
    MI_VIF_DevAttr_t dev{};
    ASSERT_EQ(0, MI_VIF_SetDevAttr(0, &dev));
    ASSERT_EQ(0, MI_VIF_EnableDev(0));
    MI_VIF_ChnPortAttr_t port{};
    port.capRect = {0, 0, 640, 360};
    port.destSize = {640, 360};
    ASSERT_EQ(0, MI_VIF_SetChnPortAttr(0, 0, &port));
    ASSERT_EQ(0, MI_VIF_EnableChnPort(0, 0));
    MI_VPE_ChannelAttr_t chn{};
    chn.maxWidth = 640;
    chn.maxHeight = 360;
    chn.pixFormat = E_MI_SYS_PIXEL_FRAME_YUV_MST_420;
    ASSERT_EQ(0, MI_VPE_CreateChannel(0, &chn));
    ASSERT_EQ(0, MI_VPE_StartChannel(0));
    ASSERT_EQ(0, MI_SYS_BindChnPort2(&vif, &vpe, 25, 25, E_MI_SYS_BIND_TYPE_REALTIME, 0));
    MI_VPE_PortMode_t mode{640, 360, E_MI_SYS_PIXEL_FRAME_YUV_SEMIPLANAR_420, 0};
    ASSERT_EQ(0, MI_VPE_SetPortMode(0, 1, &mode));
    ASSERT_EQ(0, MI_SYS_SetChnOutputPortDepth(&sub, 1, 5));
    ASSERT_EQ(0, MI_VPE_EnablePort(0, 1));
}

class QrcodePair : public testing::Test {
protected:
    void SetUp() override
    {
        MiSimReset();
        mCloud = std::make_unique<CloudPeer>(mSb.Root());
        ASSERT_TRUE(NetSim(mSb, {"cable", "pull"}));
        ASSERT_TRUE(NetSim(mSb, {"wifi", "add", "Home", "secret123", "6", "60"}));
        ASSERT_TRUE(NetSim(mSb, {"wifi", "add", "Den", "pass1234", "11", "50"}));
        gAppState.Wired = 0;
        gBoardIoSleep = JoinWait;
        LoadWifiDriver();
        WifiFunctionsInstall();
        ASSERT_NO_FATAL_FAILURE(StartCloudUnit(&kCbs, kCbs.gw_status_cb));
        ASSERT_EQ(0, gw_wifi_start());
        ASSERT_NO_FATAL_FAILURE(BuildSubPicture());
    }
    void TearDown() override
    {
        StopQrcodeThread();
        mqc_app_stop();
        MiSimReset();
    }

    // A code of the text (8 pixels a module) before the camera, 240 of the sub picture's 360 lines
    // high in its middle; the camera shows the wall and the wall with the code in turn.
    void Show(const std::string& text)
    {
        const std::string png = mSb.Path("/.board/qr.png");
        ChildProcess qr({"qrencode", "-s", "8", "-m", "4", "-o", png, text});
        ASSERT_EQ(0, qr.WaitExit(10s)) << "qrencode (scripts/deps.sh)";
        ShowPhoto(png);
    }
    void ShowPhoto(const std::string& photo)
    {
        ChildProcess cam({BinaryDir() + "/tools/mkcamera", mSb.Root(), photo, "--size", "640x360", "--height", "192",
                          "--position", "0.5", "--wall", std::string(DOORPHONE_PHOTO_DIR) + "/brick.png", "--blink"});
        ASSERT_EQ(0, cam.WaitExit(30s)) << cam.Output();
    }
    std::string Essid() const { return mSb.Read("/.board/net/if/wlan0/essid"); }

    TestSandbox mSb;
    std::unique_ptr<CloudPeer> mCloud;
};

}  // namespace

TEST_F(QrcodePair, TheCodeBeforeTheCameraJoinsItsNetworkAndActivatesTheUnit)
{
    ASSERT_TRUE(Eventually([&] { return Essid() == "Lumavo-7901\n"; }, 10s)) << "the access point first";

    // No code in the picture: passes find nothing, and nothing is joined.
    ASSERT_NO_FATAL_FAILURE(ShowPhoto(std::string(DOORPHONE_PHOTO_DIR) + "/astronaut.png"));
    for (int i = 0; i < 4; ++i) {
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(0, QrcodePass());
    }
    EXPECT_EQ("Lumavo-7901\n", Essid());

    const std::string token = mCloud->Pair();
    ASSERT_NO_FATAL_FAILURE(Show(R"({"s":"Home","p":"secret123","t":")" + token + R"("})"));
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, StartQrcodeThread());
    const bool ended = Eventually([] { return !QrcodeThreadRunning(); }, 30s);
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(ended) << out;
    EXPECT_NE(std::string::npos, out.find("get string from qrcode")) << out;
    EXPECT_NE(std::string::npos, out.find("register to noxa cloud via qrcode success")) << out;
    EXPECT_NE(std::string::npos, out.find("Qrcode Proc Finish")) << out;
    EXPECT_EQ(std::string::npos, out.find("secret123")) << "the pass phrase stays out of the log";
    EXPECT_EQ("Managed\n", mSb.Read("/.board/net/if/wlan0/mode"));
    EXPECT_EQ("192.168.20.100\n", mSb.Read("/.board/net/if/wlan0/addr")) << "joined and leased";
    EXPECT_NE(std::string::npos, mSb.Read("/etc/wpa.conf").find("ssid=\"Home\"")) << mSb.Read("/etc/wpa.conf");

    // The code's token activates the unit.
    ASSERT_EQ(0, gw_active_start());
    ASSERT_TRUE(gEvents.WaitFor("status7")) << mCloud->Log();

    // A second code after the success: the thread has ended, nothing reads it.
    ASSERT_NO_FATAL_FAILURE(Show(R"({"s":"Den","p":"pass1234","t":")" + mCloud->Pair() + R"("})"));
    std::this_thread::sleep_for(1500ms);
    EXPECT_FALSE(QrcodeThreadRunning());
    EXPECT_NE(std::string::npos, mSb.Read("/etc/wpa.conf").find("ssid=\"Home\""));
    EXPECT_EQ(std::string::npos, mSb.Read("/etc/wpa.conf").find("Den"));
}
