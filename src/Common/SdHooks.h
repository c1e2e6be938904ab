// What the camera service's SD event storage asks the application about the card (card state,
// mount path, capacity, record mode, remount), the card's device name prepared at cloud start,
// and the remaining cloud glue the cloud-side start calls (the skills upload).
#pragma once

#include <cstdint>

// SD_STATUS_E of the card (GetSDCardState): 1 usable, 2 not usable, 5 no card, 0 no mount table.
int get_sd_card_status(void);
// A card that is not usable is unmounted and mounted again by its device name (through the
// shell); a usable one is left alone ("sd don't need to remount!").
void remount_sd_card(void);
// 0 SD recording off, 2 all-time recording (a stored recording mode other than 0), else 1 event
// recording. From the settings as last stored or restored: no file is read.
int get_sd_record_mode(void);
// The card's total, used and free (available) space in KB; all 0 when it cannot be measured
// ("statfs failed!/n"). Null outputs are skipped.
void get_sd_card_capacity(uint32_t* total, uint32_t* used, uint32_t* free);
const char* get_sd_card_mount_path(void);
// The card's device name back to "/dev/mmcblk0p1" unless the storage is prepared (never in this
// unit); the path is not used. 0.
int PrepareSdDevice(const char* path);

// Fills the SD event storage's hook table and the cloud-side start's links for the card's
// device name and the skills upload (main, before the first thread).
void SdHooksInstallLinks();
