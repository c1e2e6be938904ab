// The card thread, one pass at a time: remounts, removal and insertion, reports, the motion
// alarm upkeep.
#include "sd_card_util.h"

#include "DoorPhone.h"

namespace {

constexpr const char* kRoot = "rootfs / rootfs rw 0 0\n";

class CardDet : public SdCardTest {
protected:
    std::string CardLine() const
    {
        std::string t = sb.Read("/proc/mounts");
        size_t at = t.find("/dev/mmcblk0p1 /mnt/sdcard ");
        return at == std::string::npos ? "" : t.substr(at, t.find('\n', at) - at);
    }
};

}  // namespace

TEST_F(CardDet, ACardNotMountedAsRequiredIsRemountedEveryPass)
{
    struct {
        const char* what;
        std::string table;
    } rows[] = {
        {"not mounted", kRoot},
        {"other file system", std::string(kRoot) + "/dev/mmcblk0p1 /mnt/sdcard ext4 rw,relatime 0 0\n"},
        {"read-only", std::string(kRoot) + "/dev/mmcblk0p1 /mnt/sdcard vfat ro,relatime 0 0\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        sb.Write("/proc/mounts", r.table);
        ASSERT_EQ(SD_STATUS_ABNORMAL, GetSDCardState());
        CardDetPass();
        EXPECT_EQ(SD_STATUS_NORMAL, GetSDCardState());
        EXPECT_TRUE(Mounted()) << sb.Read("/proc/mounts");
    }

    // A write-protected card mounts read-only again and again; each pass tries anew.
    ASSERT_EQ(0, Card("ro"));
    for (int pass = 0; pass < 3; ++pass) {
        sb.Write("/proc/mounts", std::string(kRoot) + "/dev/mmcblk0p1 /mnt/sdcard vfat ro,stale 0 0\n");
        CardDetPass();
        EXPECT_EQ("/dev/mmcblk0p1 /mnt/sdcard vfat ro,relatime,fmask=0022,dmask=0022,codepage=437,iocharset=iso8859-1,"
                  "shortname=mixed,errors=remount-ro 0 0",
                  CardLine());
        EXPECT_EQ(SD_STATUS_ABNORMAL, GetSDCardState());
    }
    // The switch back: the next pass makes it usable.
    ASSERT_EQ(0, Card("rw"));
    CardDetPass();
    EXPECT_EQ(SD_STATUS_NORMAL, GetSDCardState());
}

TEST_F(CardDet, RemovalStopsTheRecordingAndIsReportedOnce)
{
    gAppState.Online = 1;
    Mount();
    CardDetPass();
    CardDetPass();
    EXPECT_EQ(std::vector<uint32_t>{SD_STATUS_NORMAL}, gReports) << "a mounted card is reported once";

    gRecording = 1;
    gDeviceState.RecordTimer = 500;
    ASSERT_EQ(0, Card("remove"));
    for (int pass = 0; pass < 5; ++pass) {
        CardDetPass();
    }
    EXPECT_EQ(1, gRecordStops);
    EXPECT_EQ(kCountdownStopped, gDeviceState.RecordTimer);
    EXPECT_EQ((std::vector<uint32_t>{SD_STATUS_NORMAL, SD_STATUS_NO_CARD}), gReports);
    EXPECT_EQ(kRoot, sb.Read("/proc/mounts")) << "the pulled card is unmounted";

    // Back in the slot: mounted on the next pass, reported on the one after.
    ASSERT_EQ(0, Card("insert"));
    CardDetPass();
    EXPECT_TRUE(Mounted());
    CardDetPass();
    CardDetPass();
    EXPECT_EQ((std::vector<uint32_t>{SD_STATUS_NORMAL, SD_STATUS_NO_CARD, SD_STATUS_NORMAL}), gReports);
    EXPECT_EQ(1, gRecordStops);
}

TEST_F(CardDet, OfflineNothingIsReportedButThePulledCardIsUnmounted)
{
    Mount();
    CardDetPass();
    ASSERT_EQ(0, Card("remove"));
    CardDetPass();
    EXPECT_TRUE(gReports.empty());
    EXPECT_EQ(kRoot, sb.Read("/proc/mounts"));
    // Online later: a card mounted after that is reported.
    gAppState.Online = 1;
    ASSERT_EQ(0, Card("insert"));
    CardDetPass();
    CardDetPass();
    EXPECT_EQ(std::vector<uint32_t>{SD_STATUS_NORMAL}, gReports);
}

TEST_F(CardDet, AnEmptySlotFromTheStartIsQuiet)
{
    gAppState.Online = 1;
    ASSERT_EQ(0, Card("remove"));
    sb.Write("/proc/mounts", std::string(kRoot) + "/dev/mmcblk0p1 /mnt/sdcard vfat rw 0 0\n");
    CardDetPass();
    CardDetPass();
    EXPECT_TRUE(gReports.empty());
    EXPECT_EQ(0, gRecordStops);
    EXPECT_NE(kRoot, sb.Read("/proc/mounts")) << "never mounted by this start: left to the kernel";
}

TEST_F(CardDet, FormatQuietensThePasses)
{
    gAppState.Online = 1;
    Mount();
    gRecording = 1;
    // The format stops the recording with its flag up; a pass meanwhile does nothing.
    gSdCardLinks.RecordStop = [] {
        CardDetPass();
        gRecording = 0;
    };
    ASSERT_EQ(0, SDCardFormat());
    EXPECT_TRUE(gReports.empty());
    CardDetPass();
    EXPECT_EQ(std::vector<uint32_t>{SD_STATUS_NORMAL}, gReports);
}

TEST_F(CardDet, MotionAlarmFollowsWhatIsAllowedAndTheDoor)
{
    struct {
        const char* what;
        uint8_t alarm, sdRecord, floor;
        bool mounted;
        uint8_t active, door;
        uint16_t state;
        std::vector<int> switches;
    } rows[] = {
        {"alarm allowed", 1, 0, 0, false, 0, 0, SYS_STATE_IDLE, {1}},
        {"alarm allowed, watching door 0", 1, 0, 0, false, 0, 0, SYS_STATE_MONITOR | 1, {1}},
        {"camera on door 1", 1, 0, 0, false, 0, 1, SYS_STATE_IDLE, {}},
        {"in a call", 1, 0, 0, false, 0, 0, SYS_STATE_CALL | 1, {}},
        {"in a talk", 1, 0, 0, false, 0, 0, SYS_STATE_TALK | 1, {}},
        {"recording allowed with the card", 0, 1, 0, true, 0, 0, SYS_STATE_IDLE, {1}},
        {"recording without a card", 0, 1, 0, false, 0, 0, SYS_STATE_IDLE, {}},
        {"on and allowed", 1, 0, 0, true, 1, 0, SYS_STATE_IDLE, {}},
        {"on, nothing allowed", 0, 0, 0, true, 1, 0, SYS_STATE_IDLE, {0}},
        {"on, camera on door 1", 1, 0, 0, true, 1, 1, SYS_STATE_IDLE, {0}},
        {"on, floor-model bus", 1, 1, 1, true, 1, 0, SYS_STATE_IDLE, {0}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        sb.Write("/proc/mounts", kRoot);
        if (r.mounted) {
            Mount();
        }
        gDeviceState.AlarmSetting = r.alarm;
        gDeviceState.SdRecordSetting = r.sdRecord;
        gAppState.FloorModel = r.floor;
        gMotionAlarm = r.active;
        gCurrentDoor = r.door;
        gDeviceState.SystemMainState = r.state;
        gMotionSwitches.clear();
        CardDetPass();
        EXPECT_EQ(r.switches, gMotionSwitches);
    }
}

TEST_F(CardDet, MotionRecordingNeedsTheMountedCard)
{
    gDeviceState.SdRecordSetting = 1;
    EXPECT_EQ(0, MotionRecordAllowed());
    Mount();
    EXPECT_EQ(1, MotionRecordAllowed());
    ASSERT_EQ(0, Card("ro"));
    EXPECT_EQ(0, MotionRecordAllowed());
}
