// The cloud-side start of the application: where the identity comes from, the media description
// and ring buffers, the status callback, the start retried after a failed core start, and the
// later services started once, in order, after the first status 7.
#include "AppState.h"
#include "ConfigFileParse.h"
#include "NoxaApp.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_placeholders.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Identity(const TestSandbox& box)
{
    (void)box;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, NoxaSdkStart(1, ""));
    return testing::internal::GetCapturedStdout();
}

bool Has(const std::string& out, const std::string& text)
{
    return out.find(text) != std::string::npos;
}

void WriteDeviceBin(const TestSandbox& box, const std::string& uuid, const std::string& key, size_t keep = 128)
{
    uint8_t plain[128] = {};
    memcpy(plain, uuid.data(), uuid.size());
    memcpy(plain + 64, key.data(), key.size());
    uint8_t enc[128];
    ASSERT_EQ(1, DesCbcEncryptFile(plain, enc, 64));
    ASSERT_EQ(1, DesCbcEncryptFile(plain + 64, enc + 64, 64));
    box.Write("/DeviceInfo/device.bin", std::string(reinterpret_cast<char*>(enc), keep));
}

TEST(NoxaIdentity, DeviceConfWithOnlyAUuid)
{
    TestSandbox box;
    box.Write("/DeviceInfo/device.conf", "[Noxa]\nUUID=noxa0conf0only00001\n");
    std::string out = Identity(box);
    EXPECT_STREQ("noxa0conf0only00001", gNoxaCloudCfg.Uuid);
    EXPECT_STREQ(NOXA_CLOUD_BUILTIN_AUTHKEY, gNoxaCloudCfg.AuthKey);
    EXPECT_TRUE(Has(out, "UUID is noxa0conf0only00001")) << out;
    EXPECT_TRUE(Has(out, "AUTHKEY is Hq7T***(32)")) << "printed, masked";
    EXPECT_FALSE(Has(out, NOXA_CLOUD_BUILTIN_AUTHKEY)) << "never in the clear";
    EXPECT_STREQ(gNoxaCloudCfg.Uuid, get_gw_cntl()->gw_base.uuid) << "handed to the cloud side";
}

TEST(NoxaIdentity, DeviceBinAloneGivesBothSilently)
{
    TestSandbox box;
    std::filesystem::remove(box.Path("/DeviceInfo/device.conf"));
    WriteDeviceBin(box, "noxa0from0bin000002", "BinAuthKey0123456789abcdefghijkl");
    std::string out = Identity(box);
    EXPECT_STREQ("noxa0from0bin000002", gNoxaCloudCfg.Uuid);
    EXPECT_STREQ("BinAuthKey0123456789abcdefghijkl", gNoxaCloudCfg.AuthKey);
    EXPECT_FALSE(Has(out, "UUID is")) << out;
    EXPECT_FALSE(Has(out, "AUTHKEY is")) << out;
}

TEST(NoxaIdentity, ShortDeviceBinFallsToTheBuiltInIdentity)
{
    TestSandbox box;
    std::filesystem::remove(box.Path("/DeviceInfo/device.conf"));
    WriteDeviceBin(box, "noxa0from0bin000002", "BinAuthKey0123456789abcdefghijkl", 100);
    std::string out = Identity(box);
    EXPECT_STREQ(NOXA_CLOUD_BUILTIN_UUID, gNoxaCloudCfg.Uuid);
    EXPECT_STREQ(NOXA_CLOUD_BUILTIN_AUTHKEY, gNoxaCloudCfg.AuthKey);
    EXPECT_TRUE(Has(out, "holds 100 of 128 bytes")) << "an error line, not a cut record";
    EXPECT_TRUE(Has(out, "UUID is " NOXA_CLOUD_BUILTIN_UUID)) << out;
}

TEST(NoxaIdentity, NoSourceGivesTheBuiltInIdentityAndTheFixedTexts)
{
    TestSandbox box;
    std::filesystem::remove(box.Path("/DeviceInfo/device.conf"));
    std::string out = Identity(box);
    EXPECT_TRUE(Has(out, "UUID is " NOXA_CLOUD_BUILTIN_UUID)) << out;
    EXPECT_TRUE(Has(out, "AUTHKEY is Hq7T***(32)")) << out;
    EXPECT_TRUE(Has(out, "Dbg:SDK Version:")) << out;
    const NOXA_CLOUD_CFG_S& c = gNoxaCloudCfg;
    EXPECT_STREQ("/DeviceInfo/noxa/", c.StoragePath);
    EXPECT_STREQ("/dev/VN204QH_APP.bin", c.UpgradePath);
    EXPECT_STREQ("/mnt/sdcard/", c.SdPath);
    EXPECT_STREQ("kwpzrmud4fjcvalo", c.ProductKey);
    EXPECT_STREQ("1.2.11", c.FwVersion);
    EXPECT_EQ(6u, c.MaxViewers);
    EXPECT_EQ(WF_START_AP_FIRST, get_gw_cntl()->gw_wsm.md) << "started in access-point mode";
}

// An identity the cloud could not take is never used as it stands, and never in silence: the
// source counts as missing (or, for one key of device.conf, the built-in value stands in), and an
// error line names the file and what was wrong.
struct BadIdentityRow {
    const char* name;
    const char* conf;      // device.conf, or nullptr for none
    const char* binUuid;   // device.bin's records, or nullptr for none
    const char* binKey;
    const char* uuid;      // what the unit takes
    const char* authKey;
    const char* errorLine;
};

void PrintTo(const BadIdentityRow& r, std::ostream* os)
{
    *os << r.name;
}

class NoxaBadIdentity : public testing::TestWithParam<BadIdentityRow> {};

TEST_P(NoxaBadIdentity, IsRefusedWithALine)
{
    const BadIdentityRow& r = GetParam();
    TestSandbox box;
    std::filesystem::remove(box.Path("/DeviceInfo/device.conf"));
    if (r.conf != nullptr) {
        box.Write("/DeviceInfo/device.conf", r.conf);
    }
    if (r.binUuid != nullptr) {
        WriteDeviceBin(box, r.binUuid, r.binKey);
    }
    std::string out = Identity(box);
    EXPECT_STREQ(r.uuid, gNoxaCloudCfg.Uuid) << out;
    EXPECT_STREQ(r.authKey, gNoxaCloudCfg.AuthKey) << out;
    EXPECT_TRUE(Has(out, r.errorLine)) << out;
    EXPECT_STREQ(r.uuid, get_gw_cntl()->gw_base.uuid);
}

const char kGoodKey[] = "T3stAuthKey0fTheSimulatedUnit001";

INSTANTIATE_TEST_SUITE_P(
    Rows, NoxaBadIdentity,
    testing::Values(
        BadIdentityRow{"ShortUuid", "[Noxa]\nUUID=noxa0test\nAUTHKEY=T3stAuthKey0fTheSimulatedUnit001\n", nullptr,
                       nullptr, NOXA_CLOUD_BUILTIN_UUID, kGoodKey,
                       "/DeviceInfo/device.conf: UUID shorter than 16 characters"},
        BadIdentityRow{"ShortKey", "[Noxa]\nUUID=noxa0test0unit0000000001\nAUTHKEY=Short0Key\n", nullptr, nullptr,
                       "noxa0test0unit0000000001", NOXA_CLOUD_BUILTIN_AUTHKEY,
                       "/DeviceInfo/device.conf: AUTHKEY shorter than 16 characters"},
        BadIdentityRow{"UuidWithAPunctuation", "[Noxa]\nUUID=noxa-test-unit-000001\n", nullptr, nullptr,
                       NOXA_CLOUD_BUILTIN_UUID, NOXA_CLOUD_BUILTIN_AUTHKEY, "holds a character other than a letter"},
        BadIdentityRow{"GarbledConf", "\x7f\x01ELF\x02garbage=\xff\n", nullptr, nullptr, NOXA_CLOUD_BUILTIN_UUID,
                       NOXA_CLOUD_BUILTIN_AUTHKEY, "/DeviceInfo/device.conf holds no UUID or AUTHKEY"},
        BadIdentityRow{"GarbledConfThenTheBin", "[Other]\nUUID=noxa0test0unit0000000001\n", "noxa0from0bin000002",
                       "BinAuthKey0123456789abcdefghijkl", "noxa0from0bin000002", "BinAuthKey0123456789abcdefghijkl",
                       "/DeviceInfo/device.conf holds no UUID or AUTHKEY"},
        BadIdentityRow{"BinWithAShortKey", nullptr, "noxa0from0bin000002", "BinKey", NOXA_CLOUD_BUILTIN_UUID,
                       NOXA_CLOUD_BUILTIN_AUTHKEY, "/DeviceInfo/device.bin: AUTHKEY shorter than 16 characters"},
        BadIdentityRow{"BinWithALongUuid", nullptr, "noxa0from0bin0000020000000000x", "BinAuthKey0123456789abcdefghijkl",
                       NOXA_CLOUD_BUILTIN_UUID, NOXA_CLOUD_BUILTIN_AUTHKEY,
                       "/DeviceInfo/device.bin: UUID longer than 25 characters"}),
    [](const testing::TestParamInfo<BadIdentityRow>& info) { return std::string(info.param.name); });

TEST(NoxaMedia, DescriptionAndRingBuffersOnce)
{
    testing::internal::CaptureStdout();
    FillMediaInfo();
    ASSERT_EQ(0, InitRingBuffers());
    ASSERT_EQ(0, InitRingBuffers());
    std::string out = testing::internal::GetCapturedStdout();
    const NOXA_MEDIA_INFO_S& m = gNoxaMediaInfo;
    for (int ch = 0; ch < 16; ++ch) {
        EXPECT_EQ(ch == 0 || ch == 1 || ch == 9 ? 1u : 0u, m.channel_enable[ch]) << ch;
    }
    EXPECT_EQ(1280u, m.video_width[0]);
    EXPECT_EQ(720u, m.video_height[0]);
    EXPECT_EQ(1024u, m.video_bitrate[0]);
    EXPECT_EQ(640u, m.video_width[1]);
    EXPECT_EQ(512u, m.video_bitrate[1]);
    EXPECT_EQ(90000u, m.video_freq[1]);
    EXPECT_EQ(2u, m.video_codec[1]);
    EXPECT_EQ(101u, m.audio_codec[9]);
    EXPECT_EQ(8000u, m.audio_sample[9]);
    EXPECT_TRUE(Has(out, "Dbg:audio_sample 8000, audio_databits 16, audio_fps 25\r\n")) << out;
    EXPECT_TRUE(Has(out, "Dbg:init ring buffer success. channel:9\r\n"));
    EXPECT_TRUE(Has(out, "Dbg:The Ring Buffer Is Already Inited\r\n"));
    EXPECT_EQ(-1, noxa_ipc_ring_buffer_init(9, 125, 25, 0, nullptr)) << "channel 9 was made";
    EXPECT_EQ(-1, noxa_ipc_ring_buffer_init(0, 1024, 25, 0, nullptr));
    EXPECT_EQ(0, noxa_ipc_ring_buffer_init(2, 512, 25, 0, nullptr)) << "channel 2 was not";
}

TEST(NoxaStatus, OnlineFlagIsRaisedBy7AndNeverCleared)
{
    std::vector<int> events;
    static std::vector<int>* sEvents = &events;
    gNoxaAppLinks.SetIndicatorEvent = [](int e) { sEvents->push_back(e); };
    testing::internal::CaptureStdout();
    NoxaNetStatusCb(3);
    EXPECT_FALSE(NoxaIsOnline());
    NoxaNetStatusCb(7);
    EXPECT_TRUE(NoxaIsOnline());
    NoxaNetStatusCb(12);
    EXPECT_TRUE(NoxaIsOnline());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ("Dbg:Net status change to:3\r\nDbg:Net status change to:7\r\nDbg:mqtt is online\r\n"
              "Dbg:Net status change to:12\r\nDbg:\r\n----mqtt is offline\r\n\r\r\n",
              out);
    EXPECT_EQ(std::vector<int>{4}, events);
}

TEST(NoxaStart, FirmwareFileAndOptions)
{
    TestSandbox box;
    WriteFirmwareVersionFile();
    EXPECT_EQ(std::string("1.2.11\0", 7), box.Read("/etc/Fw.conf"));

    const struct {
        std::vector<const char*> args;
        int ret;
        int mode;
        const char* token;
    } rows[] = {
        {{"doorphone"}, 0, -1, ""},
        {{"doorphone", "-m", "2", "-t", "AbCd1234"}, 0, 2, "AbCd1234"},
        {{"doorphone", "-m", "3"}, -1, -1, ""},
        {{"doorphone", "-m", "x"}, -1, -1, ""},
        {{"doorphone", "-h"}, 1, -1, ""},
    };
    for (const auto& r : rows) {
        gNoxaStartOpts = NOXA_START_OPTS_S{-1, "", ""};
        std::vector<char*> argv;
        for (const char* a : r.args) {
            argv.push_back(const_cast<char*>(a));
        }
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        EXPECT_EQ(r.ret, ParseStartOptions(static_cast<int>(r.args.size()), argv.data())) << r.args.size();
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(r.mode, gNoxaStartOpts.Mode);
        EXPECT_STREQ(r.token, gNoxaStartOpts.Token);
        EXPECT_EQ(r.ret != 0, Has(out, "-m mode -t token -r raw path -h"));
    }
}

// The thread's waits, for the two tests below: counted, and a hook at each.
std::mutex gSleepMutex;
std::vector<uint32_t> gSleeps;
void (*gOnSleep)(uint32_t) = nullptr;

void TestSleep(uint32_t ms)
{
    {
        std::lock_guard<std::mutex> lock(gSleepMutex);
        gSleeps.push_back(ms);
    }
    if (gOnSleep != nullptr) {
        gOnSleep(ms);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(NoxaStart, AFailedCoreStartIsTriedAgainEvery10Seconds)
{
    static TestSandbox box;
    // A file stands where the store's folder belongs: the core cannot start until it is gone.
    std::filesystem::remove_all(box.Path("/DeviceInfo/noxa"));
    box.Write("/DeviceInfo/noxa", "not a folder");
    gNoxaAppSleep = TestSleep;
    gOnSleep = [](uint32_t ms) {
        if (ms == 10000) {
            std::filesystem::remove(box.Path("/DeviceInfo/noxa"));
            std::filesystem::create_directories(box.Path("/DeviceInfo/noxa"));
        }
    };
    testing::internal::CaptureStdout();
    NoxaAppBeforeOnline();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(Has(out, "Err:noxa_ipc_init_sdk fails")) << out;
    EXPECT_TRUE(Has(out, "Err:cloud start skipped, again in 10 s")) << out;
    {
        std::lock_guard<std::mutex> lock(gSleepMutex);
        EXPECT_EQ(std::vector<uint32_t>{10000}, gSleeps);
    }
    EXPECT_TRUE(get_gw_cntl()->started.load()) << "the second start went through";
    EXPECT_STREQ(".", gDemoResourceDir);
    EXPECT_EQ(std::string("1.2.11\0", 7), box.Read("/etc/Fw.conf"));
}

std::mutex gOrderMutex;
std::vector<std::string> gOrder;
void Step(const char* name)
{
    std::lock_guard<std::mutex> lock(gOrderMutex);
    gOrder.push_back(name);
}

TEST(NoxaStart, LaterServicesStartOnceInOrderAfterTheFirst7)
{
    TestSandbox box;
    gNoxaAppSleep = TestSleep;
    NOXA_APP_LINKS_S& l = gNoxaAppLinks;
    l.RestoreSettings = [] { Step("settings"); };
    l.PrepareSdDevName = [] { Step("sd name"); };
    l.InitNoxaP2p = [](int n) {
        Step(n == 6 ? "p2p 6" : "p2p ?");
        return 0;
    };
    l.ReportAllState = [] { Step("state report"); };
    l.CloudStorageInit = [](const NOXA_MEDIA_INFO_S* m, const NOXA_HW_AES_CBS_S* aes) {
        Step(m == &gNoxaMediaInfo && aes->create != nullptr && aes->encrypt != nullptr && aes->decrypt == nullptr &&
                     aes->destroy != nullptr
                 ? "cloud storage"
                 : "cloud storage ?");
        return 0;
    };
    l.VideoMsgInit = [](const NOXA_MEDIA_INFO_S*, int type, int seconds) {
        Step(type == 0 && seconds == 10 ? "video msg" : "video msg ?");
        return 0;
    };
    l.SyncUtcTime = [] { Step("time sync"); };
    l.UploadSkills = [] {
        Step("skills");
        return 0;
    };
    l.MdProcThread = [](void*) -> void* {
        Step("md thread");
        return nullptr;
    };
    // The status 7 comes after a few polls of the wait.
    gOnSleep = [](uint32_t ms) {
        if (ms == 10000) {
            // The thread's idle loop: parked for the rest of the test process.
            for (;;) {
                std::this_thread::sleep_for(std::chrono::hours(1));
            }
        }
        std::lock_guard<std::mutex> lock(gSleepMutex);
        if (ms == 1000 && gSleeps.size() == 3) {
            Step("status 7");
            NoxaNetStatusCb(STAT_CLOUD_CONN);
        }
    };
    testing::internal::CaptureStdout();
    std::thread(NoxaAppThread, nullptr).detach();
    for (int i = 0; i < 1000; ++i) {
        {
            std::lock_guard<std::mutex> lock(gOrderMutex);
            if (!gOrder.empty() && gOrder.back() == "md thread") {
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Idle in its 10 s sleeps now: the services do not start again.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    {
        std::lock_guard<std::mutex> lock(gSleepMutex);
        EXPECT_EQ(10000u, gSleeps.back());
    }
    testing::internal::GetCapturedStdout();
    std::lock_guard<std::mutex> lock(gOrderMutex);
    EXPECT_EQ((std::vector<std::string>{"settings", "status 7", "sd name", "p2p 6", "state report", "cloud storage",
                                        "video msg", "time sync", "skills", "md thread"}),
              gOrder);
    // No cloud answers the clock here: the state report waited 5 s for it, in 100 ms steps.
    {
        std::lock_guard<std::mutex> sleeps(gSleepMutex);
        EXPECT_EQ(50, std::count(gSleeps.begin(), gSleeps.end(), 100u));
    }
    EXPECT_TRUE(box.Exists("/DeviceInfo/Channel.conf")) << "door names loaded (and made) first";
}

}  // namespace
