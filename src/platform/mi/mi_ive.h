// MI_IVE: the image engine: block sums of absolute differences and colour conversion on images
// in media memory.
#pragma once

#include "mi_common.h"

typedef MI_S32 MI_IVE_HANDLE;

// Image types (bytes per plane: see IveImageCreate of the detection code).
enum {
    E_MI_IVE_IMAGE_TYPE_U8C1 = 0,
    E_MI_IVE_IMAGE_TYPE_S8C1 = 1,
    E_MI_IVE_IMAGE_TYPE_YUV420SP = 2,
    E_MI_IVE_IMAGE_TYPE_YUV422SP = 3,
    E_MI_IVE_IMAGE_TYPE_S16C1 = 8,
    E_MI_IVE_IMAGE_TYPE_U16C1 = 9,
    E_MI_IVE_IMAGE_TYPE_U8C3_PACKAGE = 10,
    E_MI_IVE_IMAGE_TYPE_U8C3_PLANAR = 11,
};

struct MI_IVE_Image_t {
    MI_U32 type;
    MI_PHY phyAddr[3];
    MI_U8* virAddr[3];
    MI_U16 stride[3];
    MI_U16 width;
    MI_U16 height;
};

enum {
    E_MI_IVE_SAD_MODE_MB_4X4 = 0,
    E_MI_IVE_SAD_MODE_MB_8X8 = 1,
    E_MI_IVE_SAD_MODE_MB_16X16 = 2,
};

enum {
    E_MI_IVE_SAD_OUT_CTRL_16BIT_BOTH = 0,  // 16-bit SAD image and threshold image
    E_MI_IVE_SAD_OUT_CTRL_8BIT_BOTH = 1,
    E_MI_IVE_SAD_OUT_CTRL_16BIT_SAD = 2,
    E_MI_IVE_SAD_OUT_CTRL_8BIT_SAD = 3,
    E_MI_IVE_SAD_OUT_CTRL_THRESH = 4,
};

struct MI_IVE_SadCtrl_t {
    MI_U32 mode;
    MI_U32 outCtrl;
    MI_U16 thr;     // a block whose SAD reaches thr is marked maxVal, else minVal
    MI_U8 minVal;
    MI_U8 maxVal;
};

enum {
    E_MI_IVE_CSC_MODE_VIDEO_BT601_YUV2RGB = 0,
};

struct MI_IVE_CscCtrl_t {
    MI_U32 mode;
};

MI_S32 MI_IVE_Create(MI_IVE_HANDLE handle);
MI_S32 MI_IVE_Destroy(MI_IVE_HANDLE handle);
MI_S32 MI_IVE_Sad(MI_IVE_HANDLE handle, const MI_IVE_Image_t* src1, const MI_IVE_Image_t* src2, MI_IVE_Image_t* sad,
                  MI_IVE_Image_t* thr, const MI_IVE_SadCtrl_t* ctrl, MI_BOOL instant);
MI_S32 MI_IVE_Csc(MI_IVE_HANDLE handle, const MI_IVE_Image_t* src, MI_IVE_Image_t* dst, const MI_IVE_CscCtrl_t* ctrl,
                  MI_BOOL instant);
