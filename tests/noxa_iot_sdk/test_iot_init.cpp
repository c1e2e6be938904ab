// Start of the cloud core: the order of its steps, what a failing step leaves undone, the store
// key and the build text.
#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_base/events.h"
#include "noxa_base/sys_serv/nq_work_queue.h"
#include "noxa_iot_sdk/com_sdk/com_mmod.h"
#include "noxa_iot_sdk/com_sdk/noxa_iot_com_api.h"
#include "noxa_iot_sdk/online_log/log_serv.h"
#include "noxa_iot_sdk/log_capture.h"
#include "sandbox.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <pthread.h>
#include <string>
#include <vector>

// The suite links with --wrap=pthread_create: thread creation can be made to fail on demand.
extern "C" int __real_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
static std::atomic<int> gCreatesBeforeFailure{-1};
extern "C" int __wrap_pthread_create(pthread_t* t, const pthread_attr_t* a, void* (*f)(void*), void* arg)
{
    if (gCreatesBeforeFailure.fetch_sub(1) == 0) {
        return EAGAIN;
    }
    return __real_pthread_create(t, a, f, arg);
}

namespace {

int LineOf(const std::string& text)
{
    return LogCapture::LineOf(text);
}

NOXA_IOT_INIT_PARAMS_S Params(const char* path)
{
    NOXA_IOT_INIT_PARAMS_S p = {};
    strcpy(p.platform, "arm-buildroot-linux-uclibcgnueabihf-ssc325");
    strcpy(p.storage_path, path);
    return p;
}

class IotInit : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, LogCapture::Install()); }

    TestSandbox mBoard;  // the store's folder lives on the board
};

Events gEvents;

}  // namespace

TEST_F(IotInit, StepsRunInOrder)
{
    const NOXA_IOT_INIT_PARAMS_S p = Params("/DeviceInfo/noxa/");
    ASSERT_EQ(0, noxa_iot_init_params("/DeviceInfo/noxa/", &p));
    const char* const order[] = {
        "platform:arm-buildroot-linux-uclibcgnueabihf-ssc325",
        "init fs. Path: /DeviceInfo/noxa/ ",
        "Init Kvs With File:/DeviceInfo/noxa/",
        "init from normal file success.",
        "smart frame init",
        "log service msg id",
        "init work queue",
        "tls random generator seeded",
        "noxa iot init success",
    };
    int last = -1;
    for (const char* text : order) {
        int at = LineOf(text);
        EXPECT_GT(at, last) << text;
        last = at;
    }
    EXPECT_STREQ(p.platform, noxa_iot_get_init_params()->platform);
    EXPECT_STREQ(p.storage_path, noxa_iot_get_init_params()->storage_path);
    // What the later services stand on is running.
    EXPECT_NE(nullptr, cmmod_get_worker());
    EXPECT_NE(LOG_SERV_NO_MSG_ID, log_serv_get_msg_id());
    ASSERT_EQ(0, nq_work_queue_add([](void*) { gEvents.Add("work"); }, nullptr));
    EXPECT_TRUE(gEvents.WaitFor("work"));

    EXPECT_EQ(-1, noxa_iot_init_params("/DeviceInfo/noxa/", &p)) << "once per process";
}

TEST_F(IotInit, NullPathStopsBeforeTheStore)
{
    const NOXA_IOT_INIT_PARAMS_S p = Params("/DeviceInfo/noxa/");
    EXPECT_EQ(-2, noxa_iot_init_params(nullptr, &p));
    EXPECT_GE(LineOf("NULL fs_storge_path"), 0);
    EXPECT_LT(LineOf("init fs. Path"), 0);
    EXPECT_LT(LineOf("smart frame init"), 0);
    EXPECT_EQ(LOG_SERV_NO_MSG_ID, log_serv_get_msg_id());
    EXPECT_EQ(-1, nq_work_queue_add([](void*) {}, nullptr)) << "no work queue";
}

TEST_F(IotInit, NullRecordIsRefused)
{
    EXPECT_EQ(-2, noxa_iot_init_params("/DeviceInfo/noxa/", nullptr));
    EXPECT_GE(LineOf("input is null"), 0);
    EXPECT_LT(LineOf("init fs. Path"), 0);
}

TEST_F(IotInit, LongTextsAreCut)
{
    NOXA_IOT_INIT_PARAMS_S p = {};
    memset(p.platform, 'p', sizeof(p.platform));  // no NUL at all
    memset(p.storage_path, 's', sizeof(p.storage_path));
    ASSERT_EQ(0, noxa_iot_init_params("/DeviceInfo/noxa/", &p));
    EXPECT_EQ(std::string(IOT_PLATFORM_LEN, 'p'), noxa_iot_get_init_params()->platform);
    EXPECT_EQ(std::string(IOT_STORAGE_PATH_LEN, 's'), noxa_iot_get_init_params()->storage_path);
}

TEST_F(IotInit, FailingStepReturnsItsCodeAndSkipsTheRest)
{
    // Thread 1 is "sys_timer", 2 "cmmod", 3 the first work thread.
    gCreatesBeforeFailure = 2;
    const NOXA_IOT_INIT_PARAMS_S p = Params("/DeviceInfo/noxa/");
    EXPECT_EQ(UNI_THRD_CREATE_FAILED, noxa_iot_init_params("/DeviceInfo/noxa/", &p));
    EXPECT_GE(LineOf("work queue init fails -302"), 0);
    EXPECT_NE(LOG_SERV_NO_MSG_ID, log_serv_get_msg_id()) << "steps before it stay done";
    EXPECT_LT(LineOf("tls random generator seeded"), 0);
    EXPECT_LT(LineOf("noxa iot init success"), 0);
}

TEST_F(IotInit, AStartThatFailedGoesOnFromTheFailedStep)
{
    // A store folder that cannot be used yet (a file in its place) fails the store step.
    std::filesystem::remove_all(mBoard.Path("/DeviceInfo/noxa"));
    mBoard.Write("/DeviceInfo/noxa", "in the way");
    const NOXA_IOT_INIT_PARAMS_S p = Params("/DeviceInfo/noxa/");
    EXPECT_NE(0, noxa_iot_init_params("/DeviceInfo/noxa/", &p));
    EXPECT_GE(LineOf("db init fails"), 0);
    EXPECT_EQ(-1, nq_work_queue_add([](void*) {}, nullptr)) << "nothing after the store";
    std::filesystem::remove(mBoard.Path("/DeviceInfo/noxa"));
    std::filesystem::create_directories(mBoard.Path("/DeviceInfo/noxa"));
    ASSERT_EQ(0, noxa_iot_init_params("/DeviceInfo/noxa/", &p)) << "the store readable now";
    EXPECT_GE(LineOf("noxa iot init success"), 0);
    EXPECT_LT(LineOf("platform init fails"), 0) << "the platform was not started twice";
    ASSERT_EQ(0, nq_work_queue_add([](void*) { gEvents.Add("resumed work"); }, nullptr));
    EXPECT_TRUE(gEvents.WaitFor("resumed work"));
    EXPECT_EQ(-1, noxa_iot_init_params("/DeviceInfo/noxa/", &p)) << "a complete start runs once";
}

// A unit whose store folder was lost starts with an empty store instead of staying offline.
TEST_F(IotInit, AMissingStoreFolderIsMade)
{
    std::filesystem::remove_all(mBoard.Path("/DeviceInfo"));
    const NOXA_IOT_INIT_PARAMS_S p = Params("/DeviceInfo/noxa/");
    ASSERT_EQ(0, noxa_iot_init_params("/DeviceInfo/noxa/", &p)) << LogCapture::All();
    EXPECT_TRUE(std::filesystem::is_directory(mBoard.Path("/DeviceInfo/noxa")));
    EXPECT_TRUE(std::filesystem::exists(mBoard.Path("/DeviceInfo/noxa/noxa_user.db")));
}

TEST(IotStoreKey, SameBytesAtEveryStart)
{
    // Pinned: a different key would leave a store whose key file is lost unreadable.
    const std::array<uint8_t, 16> expected = {0x7F, 0xE7, 0x12, 0xBD, 0x20, 0xA4, 0xED, 0xD3,
                                              0x1C, 0x9C, 0x91, 0x34, 0x09, 0x1E, 0x4F, 0x47};
    std::array<uint8_t, 16> key = {};
    ASSERT_EQ(0, noxa_iot_build_store_key(key.data()));
    EXPECT_EQ(expected, key);
    for (uint8_t b : key) {
        EXPECT_NE(0xFF, b);
    }
    EXPECT_EQ(-2, noxa_iot_build_store_key(nullptr));
}

TEST(IotSdkInfo, NamesTheProtocolVersions)
{
    std::string info = noxa_iot_get_sdk_info();
    EXPECT_NE(std::string::npos, info.find("MQTT:2.2")) << info;
    EXPECT_NE(std::string::npos, info.find("LAN:3.3")) << info;
}
