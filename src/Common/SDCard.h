// The SD card: its state, the start-up mount and the SD upgrade hand-over, the card thread that
// follows insertions and removals, the format, the free-space keeper of the recordings and
// pictures, and the picture writer. Recordings lie in one folder per day under "/mnt/sdcard/DVR"
// ("YYYYMMDD/HHMMSS_HHMMSS.mp4"), pictures under "/mnt/sdcard/DCIM" ("YYYYMMDD/HHMMSS.jpg").
#pragma once

#include <cstdint>
#include <string>

// SD_STATUS_E: the card's state.
enum SD_STATUS_E : uint32_t {
    SD_STATUS_NO_TABLE = 0,  // "/proc/mounts" cannot be read
    SD_STATUS_NORMAL = 1,    // mounted read-write vfat on "/mnt/sdcard", its device node there
    SD_STATUS_ABNORMAL = 2,  // in the slot but not mounted as required
    SD_STATUS_NO_CARD = 5,   // "/dev/mmcblk0" cannot be opened
};

constexpr const char* kSdMountPoint = "/mnt/sdcard";
constexpr const char* kSdDevice = "/dev/mmcblk0";
constexpr const char* kSdPartition = "/dev/mmcblk0p1";
constexpr const char* kSdUpgradeFile = "/mnt/sdcard/UPGRADE.txt";
constexpr const char* kSdUpgradeMarker = "/dev/Upgrade";

// Free space the keeper leaves: 300 MiB for recordings, 100 MiB for pictures.
constexpr uint64_t kRecordFreeThresholdKib = 307200;
constexpr uint64_t kPictureFreeThresholdKib = 102400;
// One call of FreeSize removes at most this many files.
constexpr int kFreeSizeMaxRemovals = 30;
constexpr size_t kSdDayDirMax = 300;    // day folders looked at per call
constexpr size_t kSdDayFileMax = 1440;  // files of one day looked at per call
constexpr uint32_t kSdPictureMinBytes = 1024;
constexpr uint32_t kCardDetPeriodMs = 100;

constexpr int kFreeSizeRecords = 0;
constexpr int kFreeSizePictures = 1;

// The card's state (SD_STATUS_E). Also takes the card's device name from the mount table.
uint32_t GetSDCardState();
// The device name the last state test found: "/dev/mmcblk0", "/dev/mmcblk0p1" or the device
// of the card's mount line.
std::string GetSDCardDeviceName();
// Sets the device name the state test starts from (the cloud side's card preparation).
void SetSDCardDeviceName(const std::string& name);

// Start-up step 4: a card in the slot is mounted, then an "UPGRADE.txt" on it for this unit
// ([upgrade] CHIP=KR4172, DEVICE=TB017D) hands the unit over to the system's upgrader.
void InitSDCard();

// Formats the card (umount, mkfs.vfat, mount) after stopping a running recording; the card
// thread rests meanwhile. 0, -1 without a usable card, else the status of the failing command
// (the format's before the mount's).
int SDCardFormat();
// 1 while a format runs.
uint8_t SDCardFormatting();

// Makes room before a recording (kind 0: "/mnt/sdcard/DVR", 300 MiB) or a picture (kind 1:
// "/mnt/sdcard/DCIM", 100 MiB): with the free space at or below the threshold, the oldest files
// go, oldest day first, until the space is above it or 30 files are gone. With enough space a
// recording's call removes the unplayable recordings instead (ClearBadFile). 0, or -1 for
// another kind, a card that is not mounted read-write, a failing statfs or a day folder that
// cannot be opened.
int FreeSize(int kind);
// The recordings without an end time in their name (never closed: cut by a power loss) are
// recovered (RecoverRecording) or, with nothing to keep, removed; day folders left without a
// playable recording go too. 0, or -1 when a folder cannot be opened.
int ClearBadFile();

// Writes one JPEG picture as "/mnt/sdcard/DCIM/YYYYMMDD/HHMMSS.jpg" under the record lock.
// 0, or -1 for fewer than 1024 bytes, a card that is not mounted read-write, or a failed write
// (nothing is left behind then).
int SaveImageToSDCard(const uint8_t* data, uint32_t length);

// The board's wall clock in milliseconds (seconds x 1000 + microseconds / 1000), in 64 bits so
// that it neither wraps nor overflows in 2038.
uint64_t GetSystemTimeMs();

// Start-up step 16: CardDetThread, which runs CardDetPass every 100 ms.
int StartCardDet();
void* CardDetThread(void* arg);
// One pass of the card thread: the motion alarm upkeep, then the card state: a card newly
// mounted is reported and its cut recordings recovered (RecoverRecordings); a card not mounted as required is remounted; a card gone stops the
// recording, is unmounted and reported. Nothing while a format runs.
void CardDetPass();

// The seam through which the card code reaches the rooms above it (recorder, motion alarm, data
// points), filled at start-up before the first thread. Every entry is filled in the unit: an
// empty one is a wiring fault, and nothing is done in its place.
struct SD_CARD_LINKS_S {
    uint8_t (*RecordState)();            // GetMP4RecordState: 1 while a recording is open
    void (*RecordStop)();                // MP4RecordStop
    uint8_t (*MotionAlarmState)();       // GetMDMsgState: 1 while the motion alarm is on
    void (*MotionAlarmSwitch)(uint8_t);  // NoxaMDMsgHandle
    void (*ReportState)(uint32_t);       // IPC_APP_report_sd_status_changed (data point 110)
    // A recording cut by a power loss: 1 recovered under its final name, 0 left alone (the
    // recorder's open file), -1 nothing to keep (ClearBadFile removes it). Empty: removed.
    int (*RecoverRecording)(const char* unitPath);
    // The card thread on a newly mounted card: ClearBadFile while no recording starts or stops.
    void (*RecoverRecordings)();
};

extern SD_CARD_LINKS_S gSdCardLinks;
