// MI_RGN: overlay regions. A region has a canvas the user draws into and publishes with
// UpdateCanvas (or a bitmap set whole); attached to a channel port it is drawn into every frame
// that leaves the port, so it shows in what is encoded from there.
#pragma once

#include "mi_common.h"
#include "mi_sys.h"

typedef MI_U32 MI_RGN_HANDLE;

constexpr MI_U32 kMiRgnHandleMax = 1024;

enum {
    E_MI_RGN_TYPE_OSD = 0,
};

enum {
    E_MI_RGN_PIXEL_FORMAT_ARGB1555 = 0,
    E_MI_RGN_PIXEL_FORMAT_ARGB4444 = 1,
    E_MI_RGN_PIXEL_FORMAT_I2 = 2,
    E_MI_RGN_PIXEL_FORMAT_I4 = 3,
};

struct MI_RGN_PaletteElement_t {
    MI_U8 alpha;
    MI_U8 red;
    MI_U8 green;
    MI_U8 blue;
};

struct MI_RGN_PaletteTable_t {
    MI_RGN_PaletteElement_t element[256];
};

struct MI_RGN_Attr_t {
    MI_U32 type;  // E_MI_RGN_TYPE_OSD
    MI_U32 pixelFmt;
    MI_SYS_WindowSize_t size;
};

struct MI_RGN_ChnPortParam_t {
    MI_BOOL show;
    MI_U16 x;
    MI_U16 y;
    MI_U32 layer;  // higher layers are drawn over lower ones
};

struct MI_RGN_CanvasInfo_t {
    MI_PHY phyAddr;
    void* virtAddr;
    MI_SYS_WindowSize_t size;
    MI_U32 stride;  // bytes per line
    MI_U32 pixelFmt;
};

struct MI_RGN_Bitmap_t {
    MI_U32 pixelFmt;
    MI_SYS_WindowSize_t size;
    void* data;
};

MI_S32 MI_RGN_Init(const MI_RGN_PaletteTable_t* palette);
MI_S32 MI_RGN_DeInit();
MI_S32 MI_RGN_Create(MI_RGN_HANDLE handle, const MI_RGN_Attr_t* attr);
MI_S32 MI_RGN_Destroy(MI_RGN_HANDLE handle);
MI_S32 MI_RGN_AttachToChn(MI_RGN_HANDLE handle, const MI_SYS_ChnPort_t* port, const MI_RGN_ChnPortParam_t* param);
MI_S32 MI_RGN_DetachFromChn(MI_RGN_HANDLE handle, const MI_SYS_ChnPort_t* port);
// The canvas to draw into; what is drawn shows after UpdateCanvas.
MI_S32 MI_RGN_GetCanvasInfo(MI_RGN_HANDLE handle, MI_RGN_CanvasInfo_t* info);
MI_S32 MI_RGN_UpdateCanvas(MI_RGN_HANDLE handle);
MI_S32 MI_RGN_SetBitMap(MI_RGN_HANDLE handle, const MI_RGN_Bitmap_t* bitmap);
