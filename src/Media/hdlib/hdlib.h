// The person detector library: one of two built-in networks behind a handle, run on an image,
// its candidate boxes thresholded, thinned by non-maximum suppression and counted. Network 0
// (RGB input) finds a visitor's face, frontal or in profile either way (OpenCV's Haar cascades,
// built into the library); network 1 (gray input) finds whole bodies (OpenCV's HOG people
// detector). Every failure prints its message and gives -1 or no boxes.
#pragma once

#include <cstdint>

// Configuration record: the caller's, which the handle points to (the caller may change the
// input size between calls).
struct HD_NETWORK_CONFIG_S {
    int32_t InputHeight;
    int32_t InputWidth;
    float ProbThreshold;  // boxes scored below are dropped
    float NmsThreshold;   // overlap (intersection / union) above which the weaker box goes
    int32_t NumThreads;   // 0: the library's default
    int32_t MaxDetections;
    int32_t NetworkIndex;  // 0 or 1
};

// A box in pixels of the image size given to GetBBox (inclusive corners).
struct HD_BOX_S {
    int16_t x0;
    int16_t y0;
    int16_t x1;
    int16_t y1;
    int16_t ClassIndex;
    float Score;
};

struct HD_MODEL_S;

struct HD_NETWORK_S {
    HD_NETWORK_CONFIG_S* Config;
    HD_MODEL_S* Model;
    HD_BOX_S* Boxes;   // MaxDetections boxes
    int32_t BoxCount;  // of the last GetBBox
};

// 0, or -1 (network index not 0 or 1, too little memory, model not loaded): *handle stays null.
int Init_Network(HD_NETWORK_S** handle, HD_NETWORK_CONFIG_S* config);
// Runs the network on `height` lines of `width` pixels of `channels` bytes (1 gray, 3 RGB),
// scaled to the configuration's input size (rounded up to 32). 0 or -1. The candidates stay in
// the handle until the next call.
int Forward_Network(HD_NETWORK_S* handle, const uint8_t* pixels, int height, int width, int channels);
int Forward_Network(HD_NETWORK_S* handle, const uint8_t* pixels, int height, int width, int channels, int stride);
// The boxes of the last Forward_Network in pixels of a height x width image, into the handle's
// box buffer: at most MaxDetections of the highest scores. Their number.
int GetBBox(HD_NETWORK_S* handle, int height, int width);
// Switches to network 0 or 1. 0 or -1 (the previous network stays).
int Change_Model(HD_NETWORK_S* handle, int index);
void Release_Network(HD_NETWORK_S** handle);

// A candidate of a forward pass: corners as fractions of the image's width and height.
struct HD_CANDIDATE_S {
    float x0;
    float y0;
    float x1;
    float y1;
    int16_t ClassIndex;
    float Score;
};
// GetBBox's selection on candidates: those scored at least `prob` in pixels of height x width,
// a box dropped when one of its class overlapping it by more than `nms` (intersection over union)
// scores strictly higher, then the `maxBoxes` best, clamped into the image. The count written.
int HdSelectBoxes(const HD_CANDIDATE_S* cand, int n, float prob, float nms, int maxBoxes, int height, int width,
                  HD_BOX_S* out);
