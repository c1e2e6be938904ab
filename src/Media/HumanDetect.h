// Person detection on the part of the detection picture that changed between the two frames of a
// pass: a coarse block difference on the image engine finds the region, widened to multiples of
// 32 pixels; the engine converts that region of the later frame to RGB, and the detector library
// (hdlib/) counts the persons in it.
#pragma once

#include "Media/hdlib/hdlib.h"
#include "platform/mi/mi_sys.h"

#include <cstdint>

// Engine handle 2, the RGB image (480x288), the detector (network 0). A status the caller may
// ignore: 0, the engine's error, or -1 without a detector. Without its RGB image the detector
// stays unusable and every pass counts no person.
MI_S32 HumanDetectInit();
// Persons found in the region of frame B that changed since frame A; 0 when nothing or
// everything changed, and on any failure of the pass.
int HumanDetectProc(const MI_SYS_BufInfo_t* a, const MI_SYS_BufInfo_t* b);
// Frees the RGB image, releases the detector, destroys the engine handle. 0.
int HumanDetectDeInit();

// A region in pixels, inclusive corners.
struct HD_REGION_S {
    int32_t x0;
    int32_t y0;
    int32_t x1;
    int32_t y1;
};
// Widens a region (whose sides are whole 8-pixel blocks) to multiples of 32 pixels, half on each
// side where the picture allows, else shifted inward; a region that cannot grow both ways takes
// the whole side. The result lies inside the width x height picture.
HD_REGION_S HumanRegionWiden(HD_REGION_S r, int width, int height);

// The detector's handle and configuration record (benchmarks set the thread count, the quality
// suite switches networks).
HD_NETWORK_S* HumanDetectNetwork();
HD_NETWORK_CONFIG_S& HumanDetectConfig();

// The library calls of a pass, so a test can see what the detector is given.
struct HD_NETWORK_OPS_S {
    int (*Forward)(HD_NETWORK_S* handle, const uint8_t* pixels, int height, int width, int channels);
    int (*GetBBox)(HD_NETWORK_S* handle, int height, int width);
};
extern HD_NETWORK_OPS_S gHumanDetectOps;
