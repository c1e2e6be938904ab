// What the MP4 recorder shares with the picture saver of the SD card: the record lock, under
// which both write to the card, and the date-based names of their files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <pthread.h>

constexpr const char* kRecordBaseDir = "/mnt/sdcard/DVR";
constexpr const char* kPictureBaseDir = "/mnt/sdcard/DCIM";
constexpr const char* kRecordExtension = "mp4";
// The pictures are JPEG data, and the space keeper looks for ".jpg" names when it frees space.
constexpr const char* kPictureExtension = "jpg";

constexpr uint32_t kRecordNameVideo = 0;
constexpr uint32_t kRecordNamePicture = 1;

// Start-up step 5: the record lock. The result of pthread_rwlock_init; a later call leaves the
// lock as it is and returns the first call's result.
int MP4RecordLockInit();

// Holds the record lock for writing while it lives (it is never taken for reading).
class MP4RecordWriteLock {
public:
    MP4RecordWriteLock();
    ~MP4RecordWriteLock();
    MP4RecordWriteLock(const MP4RecordWriteLock&) = delete;
    MP4RecordWriteLock& operator=(const MP4RecordWriteLock&) = delete;
};

// The picture saver's record.
struct PICTURE_RECORD_S {
    char Name[96];
    char Directory[64];
    char Extension[8];
};

// Names from a local time: mode 0 (video) directory "/mnt/sdcard/DVR/YYYYMMDD", name
// "HHMMSS.mp4"; mode 1 (picture) "/mnt/sdcard/DCIM/YYYYMMDD", "HHMMSS.jpg"; each with its
// extension. Other modes write nothing and return -1; 0 otherwise.
int MakeRecordFileNameAt(uint32_t mode, const struct tm& local, char* directory, size_t directorySize, char* name,
                         size_t nameSize, char* extension, size_t extensionSize);

// The board's local time now.
struct tm RecordLocalTimeNow();

// MakeRecordFileNameAt with the local time of the call, into a record that has Directory, Name
// and Extension arrays (the recorder's or the picture saver's).
template <typename RECORD>
int MakeRecordFileName(uint32_t mode, RECORD* record)
{
    return MakeRecordFileNameAt(mode, RecordLocalTimeNow(), record->Directory, sizeof(record->Directory),
                                record->Name, sizeof(record->Name), record->Extension, sizeof(record->Extension));
}

// Names a picture taken now and makes its day folder on the card when it is missing.
void MakePictureRecord(PICTURE_RECORD_S* pic);
