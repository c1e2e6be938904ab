// The SD event storage's questions about the card as the application answers them (through the
// storage's hook table, filled as main fills it), the card's device name prepared at cloud start,
// and the format step the format worker reuses.
#include "sd_card_util.h"

#include "DoorPhoneLinks.h"
#include "NoxaApp.h"
#include "NoxaSettings.h"
#include "SdHooks.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_ipc_sdk/skill/noxa_ipc_skill.h"
#include "noxa_ipc_sdk/stream_storage/noxa_ipc_stream_storage.h"

#include <sys/statfs.h>

#include <string>
#include <vector>

namespace {

constexpr const char* kCardRw = "/dev/mmcblk0p1 /mnt/sdcard vfat rw,relatime 0 0\n";

class SdHooks : public SdCardTest {
protected:
    void SetUp() override
    {
        SdCardTest::SetUp();
        SdHooksInstallLinks();
    }
public:
    // The commands as the unit wrote them (the board's root taken out of its paths).
    std::string Shell() const
    {
        std::string log = sb.Read("/.board/shell.log");
        for (size_t at = log.find(sb.Root()); at != std::string::npos; at = log.find(sb.Root(), at)) {
            log.erase(at, sb.Root().size());
        }
        return log;
    }

protected:
    struct Capacity {
        uint32_t total = 7;
        uint32_t used = 7;
        uint32_t free = 7;
        std::string out;
    };
    Capacity Measure() const
    {
        Capacity c;
        testing::internal::CaptureStdout();
        gNoxaSsSdHooks.Capacity(&c.total, &c.used, &c.free);
        c.out = testing::internal::GetCapturedStdout();
        return c;
    }
};

std::vector<std::string> gSteps;

}  // namespace

TEST_F(SdHooks, CardStatusFromTheMountTable)
{
    struct {
        const char* what;
        const char* mounts;  // nullptr: no table
        bool card;
        int status;
    } rows[] = {
        {"mounted", kCardRw, true, 1},
        {"read-only", "/dev/mmcblk0p1 /mnt/sdcard vfat ro,relatime 0 0\n", true, 2},
        {"ext4", "/dev/mmcblk0p1 /mnt/sdcard ext4 rw,relatime 0 0\n", true, 2},
        {"device field over 15", "/dev/mmcblk0p1234 /mnt/sdcard vfat rw 0 0\n", true, 2},
        {"not mounted", "rootfs / rootfs rw 0 0\n", true, 2},
        {"no table", nullptr, true, 0},
        {"no card", kCardRw, false, 5},
    };
    for (const auto& r : rows) {
        if (r.mounts != nullptr) {
            sb.Write("/proc/mounts", r.mounts);
        } else {
            std::filesystem::remove(sb.Path("/proc/mounts"));
        }
        ASSERT_EQ(0, Card(r.card ? "insert" : "remove")) << r.what;
        EXPECT_EQ(r.status, gNoxaSsSdHooks.CardStatus()) << r.what;
    }
    EXPECT_STREQ("/mnt/sdcard", gNoxaSsSdHooks.MountPath());
}

TEST_F(SdHooks, CapacityInKbAndZerosForACardPulledUnderItsMount)
{
    Mount();
    ASSERT_EQ(0, Card("fill 200"));
    struct statfs st = {};
    ASSERT_EQ(0, BoardStatfs(kSdMountPoint, &st));
    const uint64_t total = static_cast<uint64_t>(st.f_blocks) * st.f_bsize / 1024;
    ASSERT_GT(total, 4ull * 1024 * 1024) << "an 8 GB card: its bytes do not fit 32 bits";
    Capacity c = Measure();
    EXPECT_EQ(total, c.total);
    EXPECT_EQ(kBoardCardDefaultSizeKib, c.total);
    EXPECT_EQ(200u * 1024, c.free);
    EXPECT_EQ(c.total - 200u * 1024, c.used);
    EXPECT_NE(std::string::npos, c.out.find("sd capacity: total: 7761920 KB")) << c.out;

    // Out of the slot while its mount line stays: no card, and nothing to measure.
    ASSERT_EQ(0, Card("remove"));
    ASSERT_TRUE(Mounted());
    EXPECT_EQ(5, gNoxaSsSdHooks.CardStatus());
    c = Measure();
    EXPECT_EQ(0u, c.total);
    EXPECT_EQ(0u, c.used);
    EXPECT_EQ(0u, c.free);
    EXPECT_NE(std::string::npos, c.out.find("statfs failed!/n")) << c.out;
    gNoxaSsSdHooks.Capacity(nullptr, nullptr, nullptr);  // null outputs are skipped
}

TEST_F(SdHooks, RecordModeFollowsTheSettings)
{
    struct {
        int on;
        int mode;
        int want;
    } rows[] = {{0, 0, 0}, {0, 1, 0}, {1, 0, 1}, {1, 1, 2}, {1, 2, 2}, {0, 2, 0}};
    for (const auto& r : rows) {
        IPC_APP_set_sd_record_onoff(r.on);
        IPC_APP_set_sd_record_mode(r.mode);
        EXPECT_EQ(r.want, gNoxaSsSdHooks.RecordMode()) << r.on << " " << r.mode;
    }
}

TEST_F(SdHooks, RemountRunsItsCommandsOnlyForACardNotUsable)
{
    Mount();
    testing::internal::CaptureStdout();
    gNoxaSsSdHooks.Remount();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("sd don't need to remount!")) << out;
    EXPECT_EQ(std::string::npos, Shell().find("umount")) << Shell();

    // Write-protected: the mount turned read-only; the remount's commands run through the shell.
    ASSERT_EQ(0, Card("ro"));
    EXPECT_EQ(2, gNoxaSsSdHooks.CardStatus());
    ASSERT_EQ(0, Card("rw"));
    testing::internal::CaptureStdout();
    gNoxaSsSdHooks.Remount();
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("remount_sd_card ..... ")) << out;
    EXPECT_NE(std::string::npos,
              Shell().find("umount /dev/mmcblk0p1;sleep 1;mount -t auto /dev/mmcblk0p1 /mnt/sdcard;"))
        << Shell();
    EXPECT_EQ(1, gNoxaSsSdHooks.CardStatus()) << sb.Read("/proc/mounts");
}

// The links main installs for the cloud's start: the storage hooks' card name becomes the
// partition's, and the skills go out as the unit holds them; with no cloud to take them the post
// reports its failure. (The whole-process cloud suite sees them reach the phone.)
TEST_F(SdHooks, CloudStartPreparesTheDeviceNameAndUploadsTheSkills)
{
    sb.Write("/proc/mounts", "/dev/mmcblk0 /mnt/sdcard vfat rw 0 0\n");
    ASSERT_EQ(1, GetSDCardState());
    ASSERT_EQ("/dev/mmcblk0", GetSDCardDeviceName());
    ASSERT_NE(nullptr, gNoxaAppLinks.PrepareSdDevName);
    gNoxaAppLinks.PrepareSdDevName();
    EXPECT_EQ("/dev/mmcblk0p1", GetSDCardDeviceName());
    EXPECT_EQ(0, PrepareSdDevice(nullptr));

    // The cloud API answers nowhere (loopback, a closed port).
    sb.Write("/etc/cloud.conf", "api_url=https://127.0.0.1:1/d.json\n");
    const int32_t on = 1;
    ASSERT_EQ(0, noxa_ipc_skill_enable(NOXA_SKILL_LOCAL_STORAGE, &on));
    ASSERT_NE(nullptr, gNoxaAppLinks.UploadSkills);
    uni_log_init(LOG_LEVEL_DEBUG, 1024, uni_log_output);
    testing::internal::CaptureStdout();
    const int rc = gNoxaAppLinks.UploadSkills();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(0, rc) << "nothing took them: " << out;
    EXPECT_NE(std::string::npos, out.find(R"(upload data: {\"sdk_version\":\"4.8.10\",\"localStorage\":1,)")) << out;
    const int32_t off = 0;
    noxa_ipc_skill_enable(NOXA_SKILL_LOCAL_STORAGE, &off);
}

TEST_F(SdHooks, TheFormatStepStopsPlaybackAndRecordingFirst)
{
    Mount();
    CardFile("/mnt/sdcard/DVR/20260101/000000_000010.mp4", 4096);
    gSteps.clear();
    static const SdHooks* self = this;
    gNoxaSettingsLinks.StopSdPlayback = [] {
        gSteps.push_back(self->Shell().find("mkfs.vfat") == std::string::npos ? "playback" : "playback late");
        return 0;
    };
    gDoorPhoneLinks.RecordStop = [] {
        gSteps.push_back(self->Shell().find("mkfs.vfat") == std::string::npos ? "record" : "record late");
    };
    EXPECT_EQ(0, FormatSdCardStep());
    EXPECT_EQ((std::vector<std::string>{"playback", "record"}), gSteps);
    EXPECT_NE(std::string::npos, Shell().find("mkfs.vfat /dev/mmcblk0p1")) << Shell();
    EXPECT_TRUE(Mounted());
    EXPECT_TRUE(Names("/mnt/sdcard").empty());
    gNoxaSettingsLinks.StopSdPlayback = nullptr;
    gDoorPhoneLinks.RecordStop = nullptr;
}
