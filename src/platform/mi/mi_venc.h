// MI_VENC: the video encoders. H.264/H.265 channels give one pack per frame in Annex B form
// (4-byte start codes); a key frame's pack holds SPS, PPS (and SEI, if any) before the IDR slice.
// JPEG channels give one pack per picture.
#pragma once

#include "mi_common.h"

enum {
    E_MI_VENC_MODTYPE_H264E = 2,
    E_MI_VENC_MODTYPE_H265E = 3,
    E_MI_VENC_MODTYPE_JPEGE = 4,
};

// Rate control modes.
enum {
    E_MI_VENC_RC_MODE_H264CBR = 1,
    E_MI_VENC_RC_MODE_H264VBR = 2,
    E_MI_VENC_RC_MODE_H264FIXQP = 4,
    E_MI_VENC_RC_MODE_MJPEGFIXQP = 7,
    E_MI_VENC_RC_MODE_H265CBR = 8,
};

struct MI_VENC_AttrH26x_t {
    MI_U32 maxPicWidth;
    MI_U32 maxPicHeight;
    MI_U32 picWidth;
    MI_U32 picHeight;
    MI_BOOL byFrame;  // one pack per frame
    MI_U32 bFrameNum;
};

struct MI_VENC_AttrJpeg_t {
    MI_U32 maxPicWidth;
    MI_U32 maxPicHeight;
    MI_U32 picWidth;
    MI_U32 picHeight;
    MI_BOOL byFrame;
};

struct MI_VENC_Attr_t {
    MI_U32 type;  // E_MI_VENC_MODTYPE_*
    union {
        MI_VENC_AttrH26x_t h264;
        MI_VENC_AttrH26x_t h265;
        MI_VENC_AttrJpeg_t jpeg;
    };
};

struct MI_VENC_H264FixQp_t {
    MI_U32 gop;
    MI_U32 srcFrmRateNum;
    MI_U32 srcFrmRateDen;
    MI_U32 iQp;
    MI_U32 pQp;
};

struct MI_VENC_H26xVbr_t {
    MI_U32 gop;
    MI_U32 statTime;
    MI_U32 srcFrmRateNum;
    MI_U32 srcFrmRateDen;
    MI_U32 maxBitRate;  // kbit/s
    MI_U32 maxQp;
    MI_U32 minQp;
};

struct MI_VENC_H26xCbr_t {
    MI_U32 gop;
    MI_U32 statTime;
    MI_U32 srcFrmRateNum;
    MI_U32 srcFrmRateDen;
    MI_U32 bitRate;  // bit/s
    MI_U32 fluctuateLevel;
};

struct MI_VENC_MjpegFixQp_t {
    MI_U32 srcFrmRateNum;
    MI_U32 srcFrmRateDen;
    MI_U32 qfactor;  // 1..99
};

struct MI_VENC_RcAttr_t {
    MI_U32 rcMode;  // E_MI_VENC_RC_MODE_*
    union {
        MI_VENC_H264FixQp_t h264FixQp;
        MI_VENC_H26xVbr_t h264Vbr;
        MI_VENC_H26xCbr_t h264Cbr;
        MI_VENC_H26xCbr_t h265Cbr;
        MI_VENC_MjpegFixQp_t mjpegFixQp;
    };
};

struct MI_VENC_ChnAttr_t {
    MI_VENC_Attr_t veAttr;
    MI_VENC_RcAttr_t rcAttr;
};

struct MI_VENC_ParamJpeg_t {
    MI_U32 qfactor;
};

struct MI_VENC_InputSourceConfig_t {
    MI_U32 inputSrcBufferMode;  // 1: frames come through a ring of lines
};

// Data type of a pack: the H.264 NAL type of its slice (1 = P slice, 5 = IDR slice).
enum {
    E_MI_VENC_H264E_NALU_PSLICE = 1,
    E_MI_VENC_H264E_NALU_ISLICE = 5,
};

struct MI_VENC_Pack_t {
    MI_U8* data;
    MI_PHY phyAddr;
    MI_U32 len;
    MI_U64 pts;  // capture time, microseconds
    MI_U32 dataType;
    MI_BOOL frameEnd;
};

struct MI_VENC_Stream_t {
    MI_VENC_Pack_t* packs;  // the caller's array
    MI_U32 packCount;       // in: room in the array; out: packs filled
    MI_U32 seq;
};

struct MI_VENC_ChnStat_t {
    MI_U32 leftPics;
    MI_U32 leftStreamBytes;
    MI_U32 leftStreamFrames;
    MI_U32 curPacks;  // packs of the next frame
};

MI_S32 MI_VENC_CreateChn(MI_U32 chn, const MI_VENC_ChnAttr_t* attr);
MI_S32 MI_VENC_DestroyChn(MI_U32 chn);
MI_S32 MI_VENC_GetChnDevid(MI_U32 chn, MI_U32* devId);
MI_S32 MI_VENC_GetJpegParam(MI_U32 chn, MI_VENC_ParamJpeg_t* param);
MI_S32 MI_VENC_SetJpegParam(MI_U32 chn, const MI_VENC_ParamJpeg_t* param);
MI_S32 MI_VENC_SetInputSourceConfig(MI_U32 chn, const MI_VENC_InputSourceConfig_t* config);
MI_S32 MI_VENC_StartRecvPic(MI_U32 chn);
// Stopping a channel that does not receive succeeds.
MI_S32 MI_VENC_StopRecvPic(MI_U32 chn);
// One descriptor per channel number for the life of the process: readable while encoded frames
// wait. Negative when the channel does not exist.
MI_S32 MI_VENC_GetFd(MI_U32 chn);
MI_S32 MI_VENC_CloseFd(MI_U32 chn);
MI_S32 MI_VENC_Query(MI_U32 chn, MI_VENC_ChnStat_t* stat);
// Takes the next frame's packs; waits up to timeoutMs (-1: for ever) for one. The pack data stays
// valid until ReleaseStream.
MI_S32 MI_VENC_GetStream(MI_U32 chn, MI_VENC_Stream_t* stream, MI_S32 timeoutMs);
MI_S32 MI_VENC_ReleaseStream(MI_U32 chn, MI_VENC_Stream_t* stream);
// The next frame the channel encodes is an IDR frame (instant is accepted and has no further effect).
MI_S32 MI_VENC_RequestIdr(MI_U32 chn, MI_BOOL instant);
MI_S32 MI_VENC_DeInitDev();
