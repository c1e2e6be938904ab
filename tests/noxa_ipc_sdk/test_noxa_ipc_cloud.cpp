// The service API's reports, doorbell events and notifications as the local cloud (tools/cloudsim,
// its broker and stores) receives them from the cloud connection in this process.
#include "cloud_peer.h"
#include "cloud_unit.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_iot_sdk/com_sdk/noxa_iot_com_api.h"
#include "noxa_iot_sdk/noxa_cloud/gw_active.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"
#include "noxa_iot_sdk/noxa_cloud/thing_config.h"
#include "noxa_iot_sdk/log_capture.h"
#include "noxa_ipc_sdk/noxa_ipc_api.h"
#include "noxa_ipc_sdk/noxa_ipc_notification.h"
#include "phone_cli.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <vector>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

using namespace std::chrono_literals;

std::atomic<int> gOnline{0};

const NOXA_IOT_CBS_S kCbs = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class IpcCloud : public testing::Test {
protected:
    void SetUp() override
    {
        mCloud = std::make_unique<CloudPeer>(mBox.Root());
        ASSERT_NO_FATAL_FAILURE(StartCloudUnit(&kCbs, [](uint8_t st) { gOnline = st == STAT_CLOUD_CONN; }));
        ASSERT_TRUE(StartActivation(mCloud->Pair()));
        for (int i = 0; i < 600 && gOnline == 0; ++i) {
            std::this_thread::sleep_for(50ms);
        }
        ASSERT_EQ(1, gOnline.load()) << mCloud->Log();
    }
    void TearDown() override { mqc_app_stop(); }
    bool WaitAnswer(const std::string& cmd, const std::string& part)
    {
        for (int i = 0; i < 100; ++i) {
            if (Has(mCloud->Command(cmd), part)) {
                return true;
            }
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }

    TestSandbox mBox;
    std::unique_ptr<CloudPeer> mCloud;
};

}  // namespace

TEST_F(IpcCloud, ReportsAndTheDoorbellEventAtTheCloud)
{
    EXPECT_EQ(0, noxa_ipc_dp_report(nullptr, 108, PROP_ENUM, "2", 1));
    const uint32_t on = 1;
    EXPECT_EQ(-2, noxa_ipc_dp_report(nullptr, 101, PROP_BOOL, &on, 2));
    EXPECT_EQ(0, noxa_ipc_dp_report(nullptr, 134, PROP_BOOL, &on, 1));
    EXPECT_TRUE(WaitAnswer("state", "motion_alarm = true")) << mCloud->Command("state");
    std::string state = mCloud->Command("state");
    EXPECT_TRUE(Has(state, "= \"2\"")) << state;
    EXPECT_FALSE(Has(state, "101")) << state;

    // Mode 1: the event alone (protocol 43), no picture message.
    EXPECT_EQ(0, noxa_ipc_notify_door_bell_press_generic(1, nullptr, 0, 0));
    EXPECT_TRUE(WaitAnswer("events", "ac_doorbell")) << mCloud->Command("events") << mCloud->Log();
    EXPECT_FALSE(Has(mCloud->Command("reports"), "154")) << mCloud->Command("reports");
    EXPECT_EQ(0, noxa_ipc_door_bell_cancel());
    EXPECT_TRUE(WaitAnswer("events", "cancel")) << mCloud->Command("events");
}

namespace {

std::string Picture(size_t n, uint32_t seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>((i * 131 + seed * 7) ^ (i >> 5));
    }
    return s;
}

std::string Decoded(const std::string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The query of a URL as sorted "name=value" lines, values decoded.
std::string QueryLines(const std::string& url)
{
    std::vector<std::string> lines;
    std::string q = url.substr(url.find('?') + 1);
    size_t at = 0;
    while (at <= q.size()) {
        size_t amp = q.find('&', at);
        std::string part = q.substr(at, amp == std::string::npos ? std::string::npos : amp - at);
        size_t eq = part.find('=');
        lines.push_back(Decoded(part.substr(0, eq)) + "=" + Decoded(part.substr(eq + 1)));
        if (amp == std::string::npos) {
            break;
        }
        at = amp + 1;
    }
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const auto& l : lines) {
        out += l + "\n";
    }
    return out;
}

}  // namespace

// The three notifications at the local cloud, with each store: 115, 154 (named as the press event
// names it) and 185 arrive with their objects and keys, and the phone decrypts every picture (the
// three come within a second or two: none takes another's object name). With
// S3 the snapshot URL is a presigned GET the simulator's gate serves, signed as botocore signs.
TEST_F(IpcCloud, NotificationsReachTheCloudWithEitherStore)
{
    ASSERT_EQ(0u, mCloud->Command("stores").rfind("s3 ", 0)) << mCloud->Log();
    int seen = 0;
    for (const std::string store : {"s3", "azure"}) {
        SCOPED_TRACE(store);
        mCloud->Command("storage " + store);
        notification_reset();  // a configuration is kept for 600 s: take the new store's now
        noxa_ipc_api_reset_state();
        const std::string motion = Picture(9000, 1);
        const std::string bell = Picture(12345, 2);
        const std::string event = Picture(777, 3);
        ASSERT_EQ(0, noxa_ipc_notify_motion_detect(motion.data(), static_cast<uint32_t>(motion.size()), 1));
        ASSERT_EQ(0, noxa_ipc_notify_door_bell_press_generic(0, reinterpret_cast<uint8_t*>(const_cast<char*>(bell.data())),
                                                             static_cast<uint32_t>(bell.size()), 1));
        ASSERT_EQ(0, noxa_ipc_notify_with_event(event.data(), static_cast<uint32_t>(event.size()), 1,
                                                NOTIFICATION_NAME_CONNECTED));
        seen += 3;
        std::vector<std::string> lines;
        for (int i = 0; i < 100; ++i) {
            lines = TextLines(mCloud->Command("notifications"));
            if (static_cast<int>(lines.size()) >= seen) {
                break;
            }
            std::this_thread::sleep_for(100ms);
        }
        ASSERT_EQ(static_cast<size_t>(seen), lines.size()) << mCloud->Command("notifications");
        const std::string* pics[] = {&motion, &bell, &event};
        const char* heads[] = {" dp 115 bucket noxa-detect file ", " dp 154 bucket noxa-detect file ",
                               " dp 185 cmd ipc_connected type image with resources bucket noxa-detect file "};
        for (int i = 0; i < 3; ++i) {
            const std::string& line = lines[static_cast<size_t>(seen - 3 + i)];
            const size_t at = line.find(heads[i]);
            ASSERT_NE(std::string::npos, at) << line;
            const size_t p = at + strlen(heads[i]);
            const std::string path = line.substr(p, line.find(' ', p) - p);
            const std::string key = line.substr(line.find(" key ") + 5);
            EXPECT_EQ(16u, key.size()) << line;
            auto [rc, plain] = PhoneCli(mBox.Root(), "pic noxa-detect/" + path);
            EXPECT_EQ(0, rc) << plain;
            EXPECT_TRUE(plain == *pics[i]) << path << ": " << plain.size() << " bytes";
            if (i == 1) {
                // The press event names the picture its 154 carries.
                const std::string name = path.substr(path.rfind('/') + 1);
                EXPECT_NE(std::string::npos, mCloud->Command("events").find("\"file\":\"" + name + "\""))
                    << name << "\n" << mCloud->Command("events");
            }
        }
    }

    // The 154 snapshot URL with S3: a GET presigned for 60 s of the object last uploaded.
    mCloud->Command("storage s3");
    notification_reset();
    const std::string pic = Picture(4096, 4);
    auto* msg = notification_message_malloc(1);
    ASSERT_EQ(0, notification_content_upload_from_buffer(static_cast<int>(notification_name_time(uni_time_get_posix())), "jpeg",
                                                         reinterpret_cast<const uint8_t*>(pic.data()), 4096, 1, msg));
    notification_message_free(msg);
    auto cfg = std::make_unique<CLOUD_DETECT_STORAGE_CFG_S>();
    ASSERT_EQ(0, notification_config_copy(cfg.get()));
    const std::string url = notification_snapshot_url(*cfg, cfg->path, uni_time_get_posix());
    const std::string host = std::string(cfg->bucket) + "." + cfg->endpoint;
    const std::string ca = mBox.Path("/.board/cloud/stores/tls/ca.pem");
    auto get = [&](const std::string& u) {
        return ShellOutput("curl -sS --max-time 20 --cacert " + ca + " --resolve " + host + ":127.0.0.1 -w '\\n%{http_code}' '" +
                   u + "'");
    };
    auto [rc, body] = get(url);
    ASSERT_EQ(0, rc) << body;
    const std::string status = body.substr(body.rfind('\n') + 1);
    body.erase(body.rfind('\n'));
    EXPECT_EQ("200", status) << body << mCloud->Log();
    std::string stored = mCloud->Command(std::string("object noxa-detect '") + cfg->path + "'");
    std::string storedBytes(stored.size(), '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(storedBytes.data()),
                                  reinterpret_cast<const unsigned char*>(stored.data()), static_cast<int>(stored.size()));
    ASSERT_GT(n, 0);
    storedBytes.resize(static_cast<size_t>(n) - (stored.size() - stored.find_last_not_of('=') - 1));
    EXPECT_TRUE(body == storedBytes) << body.size() << " of " << storedBytes.size();
    auto tampered = get(std::string(url).replace(url.find("X-Amz-Expires=60"), 16, "X-Amz-Expires=61"));
    EXPECT_EQ("403", tampered.second.substr(tampered.second.rfind('\n') + 1)) << tampered.second;
    // As a raw data point: the cloud gets the URL, which the gate serves.
    ASSERT_EQ(0, notification_snapshot_message_upload(154, nullptr, 5));
    std::string sent;
    for (int i = 0; i < 100 && sent.empty(); ++i) {
        const std::string list = mCloud->Command("notifications");
        const size_t at = list.find(" dp 154 url ");
        if (at != std::string::npos) {
            sent = list.substr(at + 12, list.find('\n', at) - at - 12);
        } else {
            std::this_thread::sleep_for(100ms);
        }
    }
    ASSERT_EQ(0u, sent.find("https://" + host + "/" + cfg->path + "?X-Amz-Security-Token=")) << sent;
    auto fetched = get(sent);
    EXPECT_EQ("200", fetched.second.substr(fetched.second.rfind('\n') + 1)) << fetched.second;

    if (system("/usr/bin/python3 -c 'import botocore' 2>/dev/null") != 0) {
        GTEST_SKIP() << "python3-botocore is not installed (scripts/deps.sh)";
    }
    const size_t d = url.find("X-Amz-Date=") + 11;
    const std::string date = url.substr(d, 16);
    auto [brc, boto] = ShellOutput(std::string("/usr/bin/python3 ") + DOORPHONE_SOURCE_DIR +
                           "/tests/support/s3_presign_botocore.py 'https://" + host + "/" + cfg->path +
                           "?bucket=noxa-detect&v=1.0' '" + cfg->ak + "' '" + cfg->sk + "' '" + cfg->token + "' " +
                           cfg->region + " " + date + " 60");
    EXPECT_EQ(0, brc) << boto;
    EXPECT_EQ(boto, QueryLines(url));
}

// Provisioning another device: a token the cloud makes (its region in front), or the bound one;
// the stored network when no name is given; the cloud's refusals as codes; no secret in the log.
namespace {

// The logger's lines caught from the start: the capture has to be its output before the cloud
// side first sets it up.
class IpcCloudLogged : public IpcCloud {
protected:
    void SetUp() override
    {
        LogCapture::Install();
        IpcCloud::SetUp();
    }
};

}  // namespace

TEST_F(IpcCloudLogged, ProvisioningBroadcastTakesTheCloudsTokenOrTheBoundOne)
{
    gw_set_network("Stored", "StoredPass1");
    char bound[GW_TOKEN_LEN + 1];
    gw_get_token(bound);

    ASSERT_EQ(0, noxa_ipc_thing_config_start("Other", "OtherPass1", 1, 120)) << LogCapture::All();
    THING_CFG_REQ_S req = thing_config_last_request();
    EXPECT_EQ("Other", req.ssid);
    EXPECT_EQ("OtherPass1", req.passwd);
    EXPECT_EQ(120u, req.timeout_s);
    ASSERT_EQ(10u, req.token.size()) << req.token;
    EXPECT_EQ(mCloud->Pair().substr(0, 2), req.token.substr(0, 2)) << "the region in front";
    EXPECT_TRUE(mCloud->WaitLog("token " + req.token.substr(2))) << mCloud->Log();

    ASSERT_EQ(0, noxa_ipc_thing_config_start(nullptr, nullptr, 0, 60));
    req = thing_config_last_request();
    EXPECT_EQ("Stored", req.ssid);
    EXPECT_EQ("StoredPass1", req.passwd);
    EXPECT_EQ(bound, req.token);

    const struct {
        const char* fail;
        int result;
        const char* logged;
    } rows[] = {
        {"fail token.create missing token", -802, "no token returned"},
        {"fail token.create code SOMETHING_ELSE", -1, "fail to get token, ret -1"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.fail);
        ASSERT_EQ(0u, mCloud->Command(r.fail).rfind("fail ", 0));
        EXPECT_EQ(r.result, noxa_ipc_thing_config_start("Other", "OtherPass1", 1, 120));
        EXPECT_TRUE(LogCapture::Logged(r.logged)) << LogCapture::All();
        EXPECT_EQ(60u, thing_config_last_request().timeout_s) << "nothing broadcast";
    }
    mCloud->Command("fail token.create ok");
    EXPECT_TRUE(LogCapture::Logged("ready to broadcast with ssid Other passwd Othe***(10) token ")) << LogCapture::All();
    for (const char* secret : {"OtherPass1", "StoredPass1"}) {
        EXPECT_FALSE(LogCapture::Logged(secret)) << secret;
    }
}
