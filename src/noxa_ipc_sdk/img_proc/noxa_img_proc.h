// Image functions of the camera services on 8-bit planar images (lines packed, stride = width):
// a YUV 4:2:0 scaler (bicubic or nearest neighbour) and the preparation of a grey picture for a
// QR decoder (centre square, optional 2x enlargement, binarisation, erosion). A YUV 4:2:0 image
// of W x H is the Y plane, then U (W/2 x H/2 at W x H), then V (at W x H x 5 / 4).
#pragma once

#include <cstdint>

#define NOXA_IMG_ERR_SIZE (-1202)   // bad size or rectangle
#define NOXA_IMG_ERR_NULL (-1203)   // missing image or buffer, or no memory
#define NOXA_IMG_ERR_RATIO (-1205)  // width and height ratios differ
#define NOXA_IMG_ERR_MODE (-1206)   // unsupported mode, threshold or scale flag

#define NOXA_IMG_SCALE_NEAREST 0
#define NOXA_IMG_SCALE_BICUBIC 1
#define NOXA_IMG_FORMAT_YUV420 1  // any other format scales the Y plane only

// Scales src (src_w x src_h) into dst (dst_w x dst_h); both ratios must agree in integer division
// (dst / src or src / dst alike). 0 or an error above.
int noxa_ipc_img_scale(const uint8_t* src, int src_w, int src_h, int dst_w, int dst_h, int format, uint32_t mode,
                       uint8_t* dst);
// The centre square (height x height) of a grey image, enlarged 2x when scale is 1, binarised
// at `threshold` (100..150) inside a border of one pixel that keeps its grey values, then eroded.
// *out is allocated (the caller frees it with free()); its side goes to *out_w and *out_h.
// An image higher than wide is refused (-1202).
int noxa_ipc_qrcode_img_preprocess(const uint8_t* image, int width, int height, uint8_t** out, uint32_t* out_w,
                                   uint32_t* out_h, int threshold, uint32_t scale);
// Full-range YUV 4:2:0 planes to blue, green and red planes (out1, out2, out3); at least 2 x 2.
int noxa_ipc_yuv_to_rgb(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int height, uint8_t* out1,
                        uint8_t* out2, uint8_t* out3);
