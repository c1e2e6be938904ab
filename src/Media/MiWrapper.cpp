#include "MiWrapper.h"

#include "Common/AppLog.h"

int MiSysBind(const MI_BIND_INFO_S* bind)
{
    return MI_SYS_BindChnPort2(&bind->Src, &bind->Dst, bind->SrcFrameRate, bind->DstFrameRate, bind->BindType,
                               bind->BindParam);
}

int MiSysUnbind(const MI_BIND_INFO_S* bind)
{
    return MI_SYS_UnBindChnPort(&bind->Src, &bind->Dst);
}

int MiVencCreate(uint32_t chn, const MI_VENC_ChnAttr_t* attr)
{
    if (attr == nullptr) {
        return -1;
    }
    int ret = MI_VENC_CreateChn(chn, attr);
    if (ret != MI_SUCCESS) {
        return ret;
    }
    if (attr->veAttr.type == E_MI_VENC_MODTYPE_JPEGE) {
        MI_VENC_ParamJpeg_t param{};
        ret = MI_VENC_GetJpegParam(chn, &param);
        if (ret != MI_SUCCESS) {
            return ret;
        }
        uint32_t q = attr->rcAttr.mjpegFixQp.qfactor;
        param.qfactor = q ? q : 60;
        ret = MI_VENC_SetJpegParam(chn, &param);
        if (ret != MI_SUCCESS) {
            return ret;
        }
    }
    MI_U32 dev = 0;
    return MI_VENC_GetChnDevid(chn, &dev);
}

int MiVencDestroy(uint32_t chn)
{
    int ret = MI_VENC_StopRecvPic(chn);
    if (ret != MI_SUCCESS) {
        return ret;
    }
    return MI_VENC_DestroyChn(chn);
}

int MiVencStart(uint32_t chn)
{
    return MI_VENC_StartRecvPic(chn);
}

int MiVencStop(uint32_t chn)
{
    return MI_VENC_StopRecvPic(chn);
}

int MiVpeCreateChannel(uint32_t chn, const VPE_CHANNEL_INFO_S* info)
{
    MI_VPE_ChannelPara_t para{info->HdrType, info->NrLevel};
    MI_VPE_ChannelAttr_t attr{};
    attr.maxWidth = info->MaxWidth;
    attr.maxHeight = info->MaxHeight;
    attr.pixFormat = info->PixelFormat;
    attr.hdrType = info->HdrMode;
    attr.sensorBindId = info->SensorBindId;
    attr.ispInput = info->IspInput;
    attr.runningMode = info->RunningMode;
    APP_DBG("%d %u", E_MI_SYS_PIXEL_FRAME_YUV_MST_420, info->PixelFormat);
    MI_VPE_SetChannelParam(chn, &para);  // ignored: the block is optional for the scaler
    return MI_VPE_CreateChannel(chn, &attr);
}

int MiVpeStartChannel(uint32_t chn)
{
    return MI_VPE_StartChannel(chn);
}

int MiVpeStopChannel(uint32_t chn)
{
    return MI_VPE_StopChannel(chn);
}

int MiVpeDestroyChannel(uint32_t chn)
{
    return MI_VPE_DestroyChannel(chn);
}

int MiVpeSetupPort(uint32_t port, const VPE_PORT_INFO_S* info)
{
    MI_VPE_PortMode_t mode{};
    int ret = MI_VPE_GetPortMode(info->VpeChannel, port, &mode);
    if (ret != MI_SUCCESS) {
        return ret;
    }
    mode.width = info->Width;
    mode.height = info->Height;
    mode.pixFormat = info->PixelFormat;
    mode.compressMode = E_MI_SYS_COMPRESS_MODE_NONE;
    ret = MI_VPE_SetPortMode(info->VpeChannel, port, &mode);
    if (ret != MI_SUCCESS) {
        return ret;
    }
    MI_SYS_ChnPort_t out{E_MI_MODULE_ID_VPE, 0, info->VpeChannel, port};
    ret = MI_SYS_SetChnOutputPortDepth(&out, 1, 5);
    if (ret != MI_SUCCESS) {
        return ret;
    }
    return MI_VPE_EnablePort(info->VpeChannel, port);
}

int MiVpeDisablePort(uint32_t chn, uint32_t port)
{
    return MI_VPE_DisablePort(chn, port);
}

int MiVifSetupDev(uint32_t dev, uint32_t workMode, uint32_t hdrType, const SENSOR_PAD_INFO_S* pad)
{
    MI_VIF_DevAttr_t attr{};
    attr.intfMode = pad->Word[1];
    attr.workMode = workMode;
    attr.hdrType = hdrType;
    attr.clkEdge = attr.intfMode == E_MI_VIF_MODE_BT656 ? pad->Word[10] : 2;
    attr.dataSeq = attr.intfMode == E_MI_VIF_MODE_MIPI ? pad->Word[5] : 2;
    if (attr.intfMode == E_MI_VIF_MODE_BT656) {
        for (int i = 0; i < 6; ++i) {
            attr.syncAttr[i] = pad->Word[4 + i];
        }
    }
    int ret = MI_VIF_SetDevAttr(dev, &attr);
    if (ret != MI_SUCCESS) {
        return ret;
    }
    return MI_VIF_EnableDev(dev);
}

int MiVifDisableDev(uint32_t dev)
{
    return MI_VIF_DisableDev(dev);
}

int MiVifSetupPort(uint32_t chn, uint32_t port, const VIF_PORT_INFO_S* info)
{
    MI_VIF_ChnPortAttr_t attr{};
    attr.capRect = MI_SYS_WindowRect_t{static_cast<MI_U16>(info->CaptureX), static_cast<MI_U16>(info->CaptureY),
                                       static_cast<MI_U16>(info->CaptureWidth), static_cast<MI_U16>(info->CaptureHeight)};
    attr.destSize = MI_SYS_WindowSize_t{static_cast<MI_U16>(info->DestWidth), static_cast<MI_U16>(info->DestHeight)};
    attr.capSel = 3;  // both fields
    attr.scanMode = info->ScanMode;
    attr.pixFormat = info->PixelFormat;
    attr.frameLineCount = info->FrameLineCount != 0;
    return MI_VIF_SetChnPortAttr(chn, port, &attr);
}

int MiVifEnablePort(uint32_t dev, uint32_t chn, uint32_t port)
{
    MI_SYS_ChnPort_t out{E_MI_MODULE_ID_VIF, dev, chn, port};
    MI_SYS_SetChnOutputPortDepth(&out, 0, 6);  // ignored: the capture runs without user buffers too
    return MI_VIF_EnableChnPort(chn, port);
}

int MiVifDisablePort(uint32_t chn, uint32_t port)
{
    return MI_VIF_DisableChnPort(chn, port);
}

int MiSysInitPts()
{
    int ret = MI_SYS_Init();
    if (ret != MI_SUCCESS) {
        return ret;
    }
    MI_SYS_Version_t version{};
    ret = MI_SYS_GetVersion(&version);
    if (ret != MI_SUCCESS) {
        return ret;
    }
    MI_U64 pts = 0;
    ret = MI_SYS_GetCurPts(&pts);
    if (ret != MI_SUCCESS) {
        return ret;
    }
    APP_DBG("MI version %s, pts %llu", version.version, static_cast<unsigned long long>(pts));
    ret = MI_SYS_InitPtsBase(kMiPtsBase);
    if (ret != MI_SUCCESS) {
        return ret;
    }
    return MI_SYS_SyncPts(kMiPtsSync);
}

int MiSysExit()
{
    return MI_SYS_Exit();
}

int FrameIntervalMs(uint32_t frameRate)
{
    if (frameRate == 0) {
        return -1;
    }
    return static_cast<int>(1000 / frameRate);
}
