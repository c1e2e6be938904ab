// The cloud side of faces against the local cloud and its stores: the two report messages as the
// cloud receives them, their pictures decrypted on the phone's side (tools/phone, OpenSSL), the
// new face's id, the Azure store, and the download of the known faces (present ones skipped, a
// failed one passed over, encrypted ones decrypted byte for byte into "pictures").
#include "cloud_peer.h"
#include "cloud_unit.h"
#include "noxa_iot_sdk/log_capture.h"
#include "noxa_base/kv_storge/kv_storge.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_pic.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"
#include "noxa_ipc_sdk/ai_face/noxa_ipc_ai_face.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr const char* kStore = "/DeviceInfo/noxa/face";

std::string Bytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) {
        c = static_cast<char>(rng());
    }
    return s;
}

NOXA_AI_FACE_REPORT_S ReportOf(const std::string& face, const std::string& scene)
{
    NOXA_AI_FACE_REPORT_S r = {};
    r.face_data = reinterpret_cast<const uint8_t*>(face.data());
    r.face_len = static_cast<uint32_t>(face.size());
    r.scene_data = reinterpret_cast<const uint8_t*>(scene.data());
    r.scene_len = static_cast<uint32_t>(scene.size());
    return r;
}

class FaceCloud : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        LogCapture::Install();
        sBox = new TestSandbox();
        sCloud = new CloudPeer(sBox->Root());
        const NOXA_IOT_CBS_S cbs = {};
        ASSERT_NO_FATAL_FAILURE(StartCloudUnit(&cbs, nullptr));
        ASSERT_TRUE(StartActivation(sCloud->Pair()));
        for (int i = 0; i < 200 && noxa_iot_get_active_stat() != ACTIVATED; ++i) {
            std::this_thread::sleep_for(50ms);
        }
        ASSERT_EQ(ACTIVATED, noxa_iot_get_active_stat()) << sCloud->Log();
        // The pictures are named by the cloud's clock.
        for (int i = 0; i < 200 && uni_time_check_sync() != 0; ++i) {
            std::this_thread::sleep_for(50ms);
        }
        ASSERT_EQ(0, uni_time_check_sync());
        ASSERT_EQ(0, noxa_ipc_ai_face_detect_storage_init(nullptr, nullptr));
        ASSERT_EQ(0, noxa_ipc_ai_face_db_init(kStore, 2052));
    }
    static void TearDownTestSuite()
    {
        mqc_app_stop();
        delete sCloud;
        delete sBox;
    }
    void SetUp() override { sCloud->Command("storage s3"); }

    // An object of the face bucket as the phone reads it: fetched and decrypted with the media
    // key by tools/phone.
    static std::pair<int, std::string> PhonePic(const std::string& key)
    {
        uint8_t* mk = nullptr;
        uint32_t mkLen = 0;
        EXPECT_EQ(0, kvs_read(CLOUD_ENC_KEY_NAME, &mk, &mkLen));
        const std::string mediaKey(reinterpret_cast<const char*>(mk), mkLen);
        kvs_free_data(mk);
        const std::string cmd = std::string(DOORPHONE_SOURCE_DIR) + "/tools/phone " + sBox->Root() + " pic noxa-face/" +
                                key + " " + mediaKey + " 2>&1";
        FILE* p = popen(cmd.c_str(), "r");
        std::string out;
        char buf[4096];
        size_t n = 0;
        while (p != nullptr && (n = fread(buf, 1, sizeof(buf), p)) > 0) {
            out.append(buf, n);
        }
        const int rc = p != nullptr ? pclose(p) : -1;
        return {rc, out};
    }
    // The text after `prefix` on the simulator's newest log line that holds it.
    static std::string LastLine(const std::string& prefix)
    {
        const std::string log = sCloud->Log();
        const size_t at = log.rfind(prefix);
        if (at == std::string::npos) {
            return "";
        }
        std::string line = log.substr(at + prefix.size(), log.find('\n', at) - at - prefix.size());
        const std::string ok = ": ok";
        if (line.size() >= ok.size() && line.compare(line.size() - ok.size(), ok.size(), ok) == 0) {
            line.resize(line.size() - ok.size());
        }
        return line;
    }
    // The seconds a message names its pictures by ("face_<t>.jpg").
    static std::string Stamp(const std::string& msg)
    {
        const size_t at = msg.find("/face_");
        return at == std::string::npos ? "" : msg.substr(at + 6, msg.find_first_not_of("0123456789", at + 6) - at - 6);
    }
    std::string Picture(const std::string& id) const { return sBox->Read(std::string(kStore) + "/pictures/" + id); }

    static TestSandbox* sBox;
    static CloudPeer* sCloud;
};

TestSandbox* FaceCloud::sBox = nullptr;
CloudPeer* FaceCloud::sCloud = nullptr;

}  // namespace

TEST_F(FaceCloud, BothReportsAsTheCloudReceivesThemWithTheirPictures)
{
    const std::string dev = noxa_iot_get_dev_id();
    const std::string face = Bytes(3000, 1);
    const std::string scene = Bytes(20000, 2);
    NOXA_AI_FACE_REPORT_S r = ReportOf(face, scene);
    r.face_id = 7;
    r.sample_version = 3;
    r.score = 87;
    ASSERT_EQ(0, noxa_ipc_ai_face_signed_report(&r)) << sCloud->Log();
    const std::string signedMsg = LastLine("signed face ");
    const std::string t = Stamp(signedMsg);
    EXPECT_EQ("{\"v\":0,\"face\":\"" + dev + "/face/face_" + t + ".jpg\",\"scene\":\"" + dev + "/face/scene_" + t +
                  ".jpg\",\"sampleVersion\":3,\"faceId\":7}",
              signedMsg);
    for (const auto& [name, bytes] : {std::make_pair("face_", face), std::make_pair("scene_", scene)}) {
        auto [rc, got] = PhonePic(dev + "/face/" + name + t + ".jpg");
        EXPECT_EQ(0, rc) << got;
        EXPECT_TRUE(got == bytes) << name << got.size() << " bytes";
    }

    int id = -1;
    ASSERT_EQ(0, noxa_ipc_ai_face_new_report(&r, &id)) << sCloud->Log();
    const std::string newMsg = LastLine("new face ");
    const std::string t2 = Stamp(newMsg);
    EXPECT_EQ(std::to_string(id) + " {\"angle\":0,\"v\":0,\"face\":\"" + dev + "/face/face_" + t2 +
                  ".jpg\",\"scene\":\"" + dev + "/face/scene_" + t2 +
                  ".jpg\",\"scores\":\"87\",\"feature\":\"10\",\"sampleVersion\":0}",
              newMsg);
    EXPECT_GT(id, 100) << "the simulator's new ids start at 101";
    auto [rc, got] = PhonePic(dev + "/face/face_" + t2 + ".jpg");
    EXPECT_EQ(0, rc) << got;
    EXPECT_TRUE(got == face);

    // Without pictures, nothing is sent.
    NOXA_AI_FACE_REPORT_S empty = {};
    EXPECT_EQ(-1, noxa_ipc_ai_face_new_report(&empty, &id));
    EXPECT_EQ(-1, noxa_ipc_ai_face_new_report(nullptr, &id));
}

// Reports of one second (the clock held still) name their pictures by the next free second: no
// picture replaces another in the store.
TEST_F(FaceCloud, ReportsOfOneSecondKeepEveryPicture)
{
    const std::string dev = noxa_iot_get_dev_id();
    UniTestClock still(uni_get_tick_ms());
    std::vector<std::string> stamps;
    std::vector<std::string> faces;
    for (uint32_t i = 0; i < 3; ++i) {
        faces.push_back(Bytes(1000 + i, 10 + i));
        const std::string scene = Bytes(2000, 20 + i);
        NOXA_AI_FACE_REPORT_S r = ReportOf(faces.back(), scene);
        r.face_id = static_cast<int>(i);
        ASSERT_EQ(0, noxa_ipc_ai_face_signed_report(&r)) << sCloud->Log();
        stamps.push_back(Stamp(LastLine("signed face ")));
        ASSERT_FALSE(stamps.back().empty());
    }
    for (size_t i = 1; i < stamps.size(); ++i) {
        EXPECT_EQ(std::stoul(stamps[i - 1]) + 1, std::stoul(stamps[i])) << "one name for two reports";
    }
    for (size_t i = 0; i < stamps.size(); ++i) {
        auto [rc, got] = PhonePic(dev + "/face/face_" + stamps[i] + ".jpg");
        EXPECT_EQ(0, rc) << got;
        EXPECT_TRUE(got == faces[i]) << i << ": " << got.size() << " bytes";
    }
}

TEST_F(FaceCloud, AzureStoreAndRefusedReportsReachTheOnlineLog)
{
    // The pictures go to the Azure account's host, whose CA the report fetches first.
    sCloud->Command("storage azure");
    const std::string face = Bytes(1500, 3);
    const std::string scene = Bytes(9000, 4);
    NOXA_AI_FACE_REPORT_S r = ReportOf(face, scene);
    int id = -1;
    ASSERT_EQ(0, noxa_ipc_ai_face_new_report(&r, &id)) << LogCapture::All();
    const std::string msg = LastLine("new face ");
    const std::string t = Stamp(msg);
    ASSERT_FALSE(t.empty()) << msg;
    auto [rc, got] = PhonePic(std::string(noxa_iot_get_dev_id()) + "/face/scene_" + t + ".jpg");
    EXPECT_EQ(0, rc) << got;
    EXPECT_TRUE(got == scene);

    // A refused message and a configuration the cloud does not have.
    sCloud->Command("fail ipc.ai.face.new.report code FACE_REFUSED");
    EXPECT_EQ(-1, noxa_ipc_ai_face_new_report(&r, &id));
    EXPECT_TRUE(LogCapture::LoggedSoon("online log: ai_face 1:new 2:4 3:-1")) << LogCapture::All();
    sCloud->Command("fail ipc.ai.face.new.report ok");
    sCloud->Command("fail ipc.ai.face.storage.config.get code NO_CONFIG");
    EXPECT_EQ(-2002, noxa_ipc_ai_face_signed_report(&r));
    sCloud->Command("fail ipc.ai.face.storage.config.get ok");
    sCloud->Command("fail ipc.ai.face.new.report missing faceId");
    EXPECT_EQ(-803, noxa_ipc_ai_face_new_report(&r, &id));
    sCloud->Command("fail ipc.ai.face.new.report ok");
}

TEST_F(FaceCloud, KnownFacesAreDownloadedIntoPicturesOnceEachAndAFailureIsPassedOver)
{
    const std::string p11 = Bytes(5000, 11);
    const std::string p12 = Bytes(2222, 12);
    const std::string p14 = Bytes(3333, 14);
    sBox->Write("/.board/p11.jpg", p11);
    sBox->Write("/.board/p12.jpg", p12);
    sBox->Write("/.board/p14.jpg", p14);
    ASSERT_NE(std::string::npos, sCloud->Command("face add 11 " + sBox->Path("/.board/p11.jpg")).find(" encrypted"));
    ASSERT_NE(std::string::npos, sCloud->Command("face add 12 " + sBox->Path("/.board/p12.jpg") + " clear").find(" clear"));
    ASSERT_NE(std::string::npos, sCloud->Command("face add 13 missing").find("not in the store"));
    ASSERT_NE(std::string::npos, sCloud->Command("face add 14 " + sBox->Path("/.board/p14.jpg")).find(" encrypted"));
    // 14 is there already: it stays as it is.
    std::filesystem::create_directories(sBox->Path(std::string(kStore) + "/pictures"));
    sBox->Write(std::string(kStore) + "/pictures/14", "kept");

    ASSERT_EQ(0, noxa_ipc_ai_face_update_cloud_face()) << LogCapture::All();
    EXPECT_TRUE(Picture("11") == p11) << Picture("11").size() << " bytes";
    EXPECT_TRUE(Picture("12") == p12) << Picture("12").size() << " bytes";
    EXPECT_FALSE(sBox->Exists(std::string(kStore) + "/pictures/13"));
    EXPECT_EQ("kept", Picture("14"));
    EXPECT_TRUE(LogCapture::Logged("noxa_ipc_ai_face_pic_download failed!"));
    // The pictures are no face files: a feature read of the id finds none.
    std::vector<uint8_t> out(2052);
    EXPECT_EQ(-7, noxa_ipc_ai_face_db_read("11", out.data()));

    // Again: only the one still missing is asked for.
    const int gets = sCloud->LogCount("s3 GET noxa-face");
    ASSERT_EQ(0, noxa_ipc_ai_face_update_cloud_face());
    EXPECT_EQ(gets + 1, sCloud->LogCount("s3 GET noxa-face")) << sCloud->Log();
    // A list without faces is fine.
    for (const char* id : {"11", "12", "13", "14"}) {
        sCloud->Command(std::string("face remove ") + id);
    }
    EXPECT_EQ(0, noxa_ipc_ai_face_update_cloud_face());
}
