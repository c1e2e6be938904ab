// The skill text: its rendering (fixed order, zero skills left out, video channels of the ring
// buffer, the 1,024-character budget, the id-6 text escaped), and its upload as the local cloud
// receives it, read back with cJSON apart from the unit.
#include "cloud_peer.h"
#include "cloud_unit.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"
#include "noxa_ipc_sdk/skill/noxa_ipc_skill.h"
#include "sandbox.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

std::string Render()
{
    char buf[NOXA_SKILL_BUF_LEN];
    EXPECT_EQ(0, noxa_ipc_skill_render(buf));
    return buf;
}

void Enable(int id, int32_t v)
{
    ASSERT_EQ(0, noxa_ipc_skill_enable(id, &v));
}

// The streamer's kind of text: members with plain quotes; a value holds a backslash escape.
const std::string kGwText =
    R"("videos":[{"streamType":2,"codecType":0,"profileId":"m\\n","width":1280}],"audios":[{"codecType":101,"channels":1}])";

// The ring buffer's channels last as long as the process (it has no de-initialisation): made
// once for all the cases, main and sub video and one audio channel, which is no video channel.
// The skill table is the process's too: each case leaves it empty.
class Skills : public testing::Test {
protected:
    void SetUp() override
    {
        static const bool made = noxa_ipc_ring_buffer_init(0, 1024, 25, 0, nullptr) == 0 &&
                                 noxa_ipc_ring_buffer_init(1, 512, 25, 0, nullptr) == 0 &&
                                 noxa_ipc_ring_buffer_init(9, 125, 25, 0, nullptr) == 0;
        ASSERT_TRUE(made);
    }
    void TearDown() override
    {
        for (int id = 0; id < NOXA_SKILL_NUM; ++id) {
            const int32_t zero = 0;
            EXPECT_EQ(0, noxa_ipc_skill_enable(id, id == NOXA_SKILL_CLOUD_GW_INFO ? static_cast<const void*>("") : &zero));
        }
    }
};
using SkillRender = Skills;
using SkillUpload = Skills;

}  // namespace

TEST_F(SkillRender, TheVideoChannelsAndCloudStorageAsTheCloudReadsIt)
{
    Enable(NOXA_SKILL_CLOUD_STORAGE, 1);
    EXPECT_EQ(R"({\"sdk_version\":\"4.8.10\",\"cloudStorage\":1,\"video_num\":2})", Render());
}

TEST_F(SkillRender, FixedOrderWhateverTheOrderOfSettingAndZeroSkillsLeftOut)
{
    for (int id : {9, 8, 7, 5, 4, 3, 2, 1, 0}) {
        Enable(id, 10 + id);
    }
    EXPECT_EQ(R"({\"sdk_version\":\"4.8.10\",\"aiDetect\":13,\"cloudGW\":15,\"cloudStorage\":10,)"
              R"(\"doorbellStorage\":17,\"localStorage\":14,\"lowPower\":12,\"webrtc\":11,\"p2p\":18,\"px\":19,)"
              R"(\"video_num\":2})",
              Render());
    // Set back to 0: left out; an unknown id is answered 0 and changes nothing; a null value is
    // refused and changes nothing.
    Enable(NOXA_SKILL_LOW_POWER, 0);
    Enable(NOXA_SKILL_PX, 0);
    const int32_t v = 5;
    EXPECT_EQ(0, noxa_ipc_skill_enable(NOXA_SKILL_NUM, &v));
    EXPECT_EQ(0, noxa_ipc_skill_enable(-1, &v));
    EXPECT_EQ(-2, noxa_ipc_skill_enable(NOXA_SKILL_P2P, nullptr));
    EXPECT_EQ(-2, noxa_ipc_skill_enable(NOXA_SKILL_CLOUD_GW_INFO, nullptr));
    EXPECT_EQ(R"({\"sdk_version\":\"4.8.10\",\"aiDetect\":13,\"cloudGW\":15,\"cloudStorage\":10,)"
              R"(\"doorbellStorage\":17,\"localStorage\":14,\"webrtc\":11,\"p2p\":18,\"video_num\":2})",
              Render());
}

TEST_F(SkillRender, TheGatewayTextIsEscapedAndCountsEscapedInTheBudget)
{
    ASSERT_EQ(0, noxa_ipc_skill_enable(NOXA_SKILL_CLOUD_GW_INFO, kGwText.c_str()));
    EXPECT_EQ(R"({\"sdk_version\":\"4.8.10\",\"video_num\":2,\"videos\":[{\"streamType\":2,\"codecType\":0,)"
              R"(\"profileId\":\"m\\\\n\",\"width\":1280}],\"audios\":[{\"codecType\":101,\"channels\":1}]})",
              Render());
    // 512 quotes fit the text's limit but become 1,024 characters escaped.
    const std::string quotes(NOXA_SKILL_TEXT_MAX, '"');
    ASSERT_EQ(0, noxa_ipc_skill_enable(NOXA_SKILL_CLOUD_GW_INFO, quotes.c_str()));
    char buf[NOXA_SKILL_BUF_LEN];
    EXPECT_EQ(-2, noxa_ipc_skill_render(buf));
    // Longest that fits: 1,023 characters with the closing brace, counted escaped; one more
    // character is refused.
    const std::string head = R"({\"sdk_version\":\"4.8.10\",\"video_num\":2,)";
    const size_t room = NOXA_SKILL_BUF_LEN - 1 - head.size() - 1;
    std::string fits(room / 2, '"');
    fits += std::string(room % 2, 'x');
    ASSERT_LE(fits.size(), static_cast<size_t>(NOXA_SKILL_TEXT_MAX));
    ASSERT_EQ(0, noxa_ipc_skill_enable(NOXA_SKILL_CLOUD_GW_INFO, fits.c_str()));
    EXPECT_EQ(0, noxa_ipc_skill_render(buf));
    EXPECT_EQ(NOXA_SKILL_BUF_LEN - 1, static_cast<int>(strlen(buf)));
    const std::string over = fits + "y";
    ASSERT_EQ(0, noxa_ipc_skill_enable(NOXA_SKILL_CLOUD_GW_INFO, over.c_str()));
    EXPECT_EQ(-2, noxa_ipc_skill_render(buf));
}

TEST_F(SkillUpload, TheCloudReceivesOneObjectWithTheGatewaysKeysAndNothingPastTheBudget)
{
    TestSandbox box;
    CloudPeer cloud(box.Root());
    static std::atomic<int> online{0};
    const NOXA_IOT_CBS_S cbs = {};
    ASSERT_NO_FATAL_FAILURE(StartCloudUnit(&cbs, [](uint8_t st) { online = st == STAT_CLOUD_CONN ? 1 : online.load(); }));
    ASSERT_TRUE(StartActivation(cloud.Pair()));
    for (int i = 0; i < 600 && online == 0; ++i) {
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_EQ(1, online.load()) << cloud.Log();

    Enable(NOXA_SKILL_WEBRTC, 51);
    ASSERT_EQ(0, noxa_ipc_skill_enable(NOXA_SKILL_CLOUD_GW_INFO, kGwText.c_str()));
    ASSERT_EQ(0, noxa_ipc_upload_skills()) << cloud.Log();

    // The body as the cloud decrypted it, read with cJSON: its "skill" value is one object.
    const std::string log = cloud.Log();
    const size_t at = log.find("api noxa.device.skill.update");
    ASSERT_NE(std::string::npos, at) << log;
    const size_t body = log.find(" body ", at);
    ASSERT_NE(std::string::npos, body);
    const std::string bodyText = log.substr(body + 6, log.find('\n', body) - body - 6);
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> root(cJSON_Parse(bodyText.c_str()), cJSON_Delete);
    ASSERT_TRUE(cJSON_IsObject(root.get())) << bodyText;
    const cJSON* skill = cJSON_GetObjectItemCaseSensitive(root.get(), "skill");
    ASSERT_TRUE(cJSON_IsString(skill)) << bodyText;
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> s(cJSON_Parse(skill->valuestring), cJSON_Delete);
    ASSERT_TRUE(cJSON_IsObject(s.get())) << skill->valuestring;
    EXPECT_STREQ("4.8.10", cJSON_GetStringValue(cJSON_GetObjectItem(s.get(), "sdk_version")));
    EXPECT_EQ(51, cJSON_GetNumberValue(cJSON_GetObjectItem(s.get(), "webrtc")));
    EXPECT_EQ(2, cJSON_GetNumberValue(cJSON_GetObjectItem(s.get(), "video_num")));
    const cJSON* video = cJSON_GetArrayItem(cJSON_GetObjectItem(s.get(), "videos"), 0);
    EXPECT_STREQ("m\\n", cJSON_GetStringValue(cJSON_GetObjectItem(video, "profileId")));
    EXPECT_EQ(101, cJSON_GetNumberValue(cJSON_GetObjectItem(cJSON_GetArrayItem(cJSON_GetObjectItem(s.get(), "audios"), 0),
                                                            "codecType")));
    // The phone's view of it.
    const std::string shown = cloud.Command("skills");
    EXPECT_NE(std::string::npos, shown.find("webrtc 51\nvideo_num 2\nvideos [{")) << shown;

    // Past the budget: refused before anything is sent.
    const std::string quotes(NOXA_SKILL_TEXT_MAX, '"');
    ASSERT_EQ(0, noxa_ipc_skill_enable(NOXA_SKILL_CLOUD_GW_INFO, quotes.c_str()));
    EXPECT_EQ(-2, noxa_ipc_upload_skills());
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(1, cloud.LogCount("api noxa.device.skill.update v1.0: skill ")) << cloud.Log();
    mqc_app_stop();
}
