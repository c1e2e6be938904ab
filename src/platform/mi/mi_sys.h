// MI_SYS: the media system: start and stop, time stamps, the bindings between the units'
// channel ports, the output buffers a user takes from a port, and media memory.
#pragma once

#include "mi_common.h"

struct MI_SYS_ChnPort_t {
    MI_U32 module;  // E_MI_MODULE_ID_*
    MI_U32 device;
    MI_U32 channel;
    MI_U32 port;
};

// How a destination takes the frames of its source.
enum {
    E_MI_SYS_BIND_TYPE_FRAME_BASE = 1,  // frame by frame, through buffers
    E_MI_SYS_BIND_TYPE_REALTIME = 4,    // line by line, no buffer between
    E_MI_SYS_BIND_TYPE_HW_RING = 16,    // through a ring of lines
};

struct MI_SYS_Version_t {
    char version[128];
};

// A frame taken from an output port.
struct MI_SYS_FrameData_t {
    MI_U16 width;
    MI_U16 height;
    MI_U32 pixelFormat;
    MI_PHY phyAddr[3];
    void* virAddr[3];
    MI_U32 stride[3];
    MI_U32 bufSize;
};

struct MI_SYS_BufInfo_t {
    MI_U64 pts;  // capture time, microseconds
    MI_BOOL endOfStream;
    MI_SYS_FrameData_t frame;
};

typedef MI_S32 MI_SYS_BUF_HANDLE;

MI_S32 MI_SYS_Init();
MI_S32 MI_SYS_Exit();
MI_S32 MI_SYS_GetVersion(MI_SYS_Version_t* version);
MI_S32 MI_SYS_GetCurPts(MI_U64* pts);
MI_S32 MI_SYS_InitPtsBase(MI_U64 ptsBase);
MI_S32 MI_SYS_SyncPts(MI_U64 pts);

MI_S32 MI_SYS_BindChnPort2(const MI_SYS_ChnPort_t* src, const MI_SYS_ChnPort_t* dst, MI_U32 srcFrameRate,
                           MI_U32 dstFrameRate, MI_U32 bindType, MI_U32 bindParam);
MI_S32 MI_SYS_UnBindChnPort(const MI_SYS_ChnPort_t* src, const MI_SYS_ChnPort_t* dst);
// userDepth: frames a user may hold taken from the port (0: none are kept for a user);
// bufDepth: frames the port keeps in flight.
MI_S32 MI_SYS_SetChnOutputPortDepth(const MI_SYS_ChnPort_t* port, MI_U32 userDepth, MI_U32 bufDepth);
// Takes the oldest frame waiting at the port (does not wait); give it back with PutBuf.
MI_S32 MI_SYS_ChnOutputPortGetBuf(const MI_SYS_ChnPort_t* port, MI_SYS_BufInfo_t* info, MI_SYS_BUF_HANDLE* handle);
MI_S32 MI_SYS_ChnOutputPortPutBuf(MI_SYS_BUF_HANDLE handle);

// Media memory for the image engine: allocation by physical address, mapping into the process.
MI_S32 MI_SYS_MMA_Alloc(const char* heapName, MI_U32 size, MI_PHY* phyAddr);
MI_S32 MI_SYS_MMA_Free(MI_PHY phyAddr);
MI_S32 MI_SYS_Mmap(MI_PHY phyAddr, MI_U32 size, void** virAddr, MI_BOOL cached);
MI_S32 MI_SYS_Munmap(void* virAddr, MI_U32 size);
