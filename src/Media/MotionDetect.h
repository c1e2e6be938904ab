// Motion detection on the image engine (IVE): the two frames of a detection pass compared in
// 8x8 blocks, a block changed when its sum of absolute differences reaches the threshold of the
// alarm sensitivity. Also the image buffers in media memory that both detectors use, and the
// motion alarm's on/off switch as the door-phone sees it.
#pragma once

#include "platform/mi/mi_ive.h"
#include "platform/mi/mi_sys.h"

#include <cstdint>

// Media memory for the engine's images: 0 or the SoC error (printed).
MI_S32 IveMmaAlloc(MI_U32 size, MI_PHY* phyAddr, MI_U8** virAddr);
// 0, or the combined SoC error of the unmap and the free.
MI_S32 IveMmaFree(MI_PHY phyAddr, MI_U8* virAddr, MI_U32 size);
// Clears the record and allocates each plane of the type (see the table in the source).
// 0; 0xA0002003 for an unknown type; 0xA000200C when a plane could not be had (nothing is left
// allocated and the record is cleared).
MI_S32 IveImageCreate(MI_IVE_Image_t* image, MI_U32 type, MI_U16 stride, MI_U16 width, MI_U16 height);
// Frees the planes of the record's type and clears it; 0xA0002003 for an unknown type.
MI_S32 IveImageFree(MI_IVE_Image_t* image);

// The engine's handle of the motion detection (3): created once by the detection thread.
MI_S32 MotionDetectInit();
MI_S32 MotionDetectDeInit();
// One pass on frames A and B of the detection picture: 0 when no block changed; otherwise 255 x
// the changed blocks on the edges of their bounding box (each edge counted once); -1 or the
// engine's error on a failure (which the alarm decision takes as motion).
MI_S32 MotionDetectProc(const MI_SYS_BufInfo_t* a, const MI_SYS_BufInfo_t* b);

// Sensitivity: level 0, 1, 2 -> SAD threshold 8160, 6720, 2880 (an 8x8 block changed by 127.5,
// 105 or 45 grey levels a pixel on average); other levels leave it. Returns 0. The settings
// store's link, called with the alarm-sensitivity setting at start and on each change.
int SetMotionSensitivity(uint8_t level);
uint16_t GetMotionThreshold();

// The motion alarm switch (intercom thread, timer task, card thread, viewer stops, start-up).
// On: door 0 is watched, unless door 1 is in a call, a watch or a talk; off: the recording ends.
void NoxaMDMsgHandle(uint8_t on);
// 1 while the motion alarm is on.
uint8_t GetMDMsgState();

// Sets the links of the door-phone control, the card thread and the settings store that reach
// the motion detection (main, before the first thread).
void MotionDetectInstallLinks();
