// MI_SNR, MI_VIF, MI_VPE and MI_DIVP on the simulated board: the capture chain's set-up. The
// frames themselves move in RunPeriod (mi_sys.cpp).
#include "mi_state.h"
#include "platform/mi/mi_divp.h"
#include "platform/mi/mi_sensor.h"
#include "platform/mi/mi_vif.h"
#include "platform/mi/mi_vpe.h"

#include <algorithm>

using namespace misim;

namespace {

bool __Bound(const State& s, MI_U32 module, MI_U32 chn)
{
    return std::any_of(s.binds.begin(), s.binds.end(), [&](const Bind& b) {
        return (b.src.module == module && b.src.channel == chn) || (b.dst.module == module && b.dst.channel == chn);
    });
}

void __DropBinds(State& s, MI_U32 module)
{
    s.binds.erase(std::remove_if(s.binds.begin(), s.binds.end(),
                                 [&](const Bind& b) { return b.src.module == module || b.dst.module == module; }),
                  s.binds.end());
}

void __DropAttachments(State& s, MI_U32 module, MI_U32 chn)
{
    s.attachments.erase(std::remove_if(s.attachments.begin(), s.attachments.end(),
                                       [&](const Attachment& a) {
                                           return a.port.module == module && a.port.channel == chn;
                                       }),
                        s.attachments.end());
}

MI_S32 __SnrErr(MI_U32 reason)
{
    return MiErrCode(E_MI_MODULE_ID_SNR, reason);
}
MI_S32 __VifErr(MI_U32 reason)
{
    return MiErrCode(E_MI_MODULE_ID_VIF, reason);
}
MI_S32 __VpeErr(MI_U32 reason)
{
    return MiErrCode(E_MI_MODULE_ID_VPE, reason);
}
MI_S32 __DivpErr(MI_U32 reason)
{
    return MiErrCode(E_MI_MODULE_ID_DIVP, reason);
}

// VPE channel 0 is the only one.
Found<VpeState> __Vpe(State& s, MI_U32 chn)
{
    if (chn != 0) {
        return Found<VpeState>{nullptr, __VpeErr(E_MI_ERR_INVALID_CHNID)};
    }
    if (!s.vpe.created) {
        return Found<VpeState>{nullptr, __VpeErr(E_MI_ERR_UNEXIST)};
    }
    return Found<VpeState>{&s.vpe, 0};
}

Found<VpePort> __VpePort(State& s, MI_U32 chn, MI_U32 port)
{
    Found<VpeState> v = __Vpe(s, chn);
    if (!v) {
        return Found<VpePort>{nullptr, v.err};
    }
    if (port >= kMiVpePortCount) {
        return Found<VpePort>{nullptr, __VpeErr(E_MI_ERR_ILLEGAL_PARAM)};
    }
    return Found<VpePort>{&v->ports[port], 0};
}

Found<DivpState> __Divp(State& s, MI_U32 chn)
{
    if (chn != 0) {
        return Found<DivpState>{nullptr, __DivpErr(E_MI_ERR_INVALID_CHNID)};
    }
    if (!s.divp.created) {
        return Found<DivpState>{nullptr, __DivpErr(E_MI_ERR_UNEXIST)};
    }
    return Found<DivpState>{&s.divp, 0};
}

bool __PortFormat(MI_U32 fmt)
{
    return fmt == E_MI_SYS_PIXEL_FRAME_YUV_SEMIPLANAR_420 || fmt == E_MI_SYS_PIXEL_FRAME_YUV422_YUYV;
}

}  // namespace

// --- sensor pad ---

MI_S32 MI_SNR_SetRes(MI_U32 pad, MI_U32 resIndex)
{
    MI_SIM_ENTER();
    if (pad != 0 || resIndex != 0) {
        return __SnrErr(E_MI_ERR_ILLEGAL_PARAM);  // the decoder offers one resolution entry
    }
    s.snrRes = resIndex;
    return MI_SUCCESS;
}

MI_S32 MI_SNR_Enable(MI_U32 pad)
{
    MI_SIM_ENTER();
    if (pad != 0) {
        return __SnrErr(E_MI_ERR_ILLEGAL_PARAM);
    }
    s.snrEnabled = true;
    return MI_SUCCESS;
}

MI_S32 MI_SNR_Disable(MI_U32 pad)
{
    MI_SIM_ENTER();
    if (pad != 0) {
        return __SnrErr(E_MI_ERR_ILLEGAL_PARAM);
    }
    s.snrEnabled = false;
    return MI_SUCCESS;
}

MI_S32 MI_SNR_SetOrien(MI_U32 pad, MI_BOOL mirror, MI_BOOL flip)
{
    MI_SIM_ENTER();
    if (pad != 0) {
        return __SnrErr(E_MI_ERR_ILLEGAL_PARAM);
    }
    s.snrMirror = mirror;
    s.snrFlip = flip;
    return MI_SUCCESS;
}

MI_S32 MI_SNR_DeInitDev()
{
    MI_SIM_ENTER();
    s.snrEnabled = false;
    s.snrRes = 0;
    return MI_SUCCESS;
}

// --- video input ---

MI_S32 MI_VIF_SetDevAttr(MI_U32 dev, const MI_VIF_DevAttr_t* attr)
{
    MI_SIM_ENTER();
    if (dev != 0) {
        return __VifErr(E_MI_ERR_INVALID_DEVID);
    }
    if (attr == nullptr) {
        return __VifErr(E_MI_ERR_NULL_PTR);
    }
    s.vif.devAttr = *attr;
    s.vif.devAttrSet = true;
    return MI_SUCCESS;
}

MI_S32 MI_VIF_EnableDev(MI_U32 dev)
{
    MI_SIM_ENTER();
    if (dev != 0) {
        return __VifErr(E_MI_ERR_INVALID_DEVID);
    }
    if (!s.vif.devAttrSet) {
        return __VifErr(E_MI_ERR_NOT_CONFIG);
    }
    s.vif.devEnabled = true;
    return MI_SUCCESS;
}

MI_S32 MI_VIF_DisableDev(MI_U32 dev)
{
    MI_SIM_ENTER();
    if (dev != 0) {
        return __VifErr(E_MI_ERR_INVALID_DEVID);
    }
    if (s.vif.portEnabled) {
        return __VifErr(E_MI_ERR_NOT_PERM);  // the port goes first
    }
    s.vif.devEnabled = false;
    return MI_SUCCESS;
}

MI_S32 MI_VIF_SetChnPortAttr(MI_U32 chn, MI_U32 port, const MI_VIF_ChnPortAttr_t* attr)
{
    MI_SIM_ENTER();
    if (chn != 0 || port != 0) {
        return __VifErr(E_MI_ERR_INVALID_CHNID);
    }
    if (attr == nullptr) {
        return __VifErr(E_MI_ERR_NULL_PTR);
    }
    if (attr->capRect.width == 0 || attr->capRect.height == 0 || attr->destSize.width == 0 ||
        attr->destSize.height == 0 || (attr->destSize.width & 1) || (attr->destSize.height & 1)) {
        return __VifErr(E_MI_ERR_ILLEGAL_PARAM);
    }
    s.vif.portAttr = *attr;
    s.vif.portAttrSet = true;
    return MI_SUCCESS;
}

MI_S32 MI_VIF_EnableChnPort(MI_U32 chn, MI_U32 port)
{
    MI_SIM_ENTER();
    if (chn != 0 || port != 0) {
        return __VifErr(E_MI_ERR_INVALID_CHNID);
    }
    if (!s.vif.portAttrSet) {
        return __VifErr(E_MI_ERR_NOT_CONFIG);
    }
    if (!s.vif.devEnabled) {
        return __VifErr(E_MI_ERR_NOT_PERM);
    }
    s.vif.portEnabled = true;
    return MI_SUCCESS;
}

MI_S32 MI_VIF_DisableChnPort(MI_U32 chn, MI_U32 port)
{
    MI_SIM_ENTER();
    if (chn != 0 || port != 0) {
        return __VifErr(E_MI_ERR_INVALID_CHNID);
    }
    s.vif.portEnabled = false;
    return MI_SUCCESS;
}

MI_S32 MI_VIF_DeInitDev()
{
    MI_SIM_ENTER();
    s.vif = VifState{};
    __DropBinds(s, E_MI_MODULE_ID_VIF);
    return MI_SUCCESS;
}

// --- video processing engine ---

MI_S32 MI_VPE_SetChannelParam(MI_U32 chn, const MI_VPE_ChannelPara_t* para)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(v, __Vpe(s, chn));
    if (para == nullptr) {
        return __VpeErr(E_MI_ERR_NULL_PTR);
    }
    v->para = *para;
    v->paraSet = true;
    return MI_SUCCESS;
}

MI_S32 MI_VPE_CreateChannel(MI_U32 chn, const MI_VPE_ChannelAttr_t* attr)
{
    MI_SIM_ENTER();
    if (chn != 0) {
        return __VpeErr(E_MI_ERR_INVALID_CHNID);
    }
    if (attr == nullptr) {
        return __VpeErr(E_MI_ERR_NULL_PTR);
    }
    if (s.vpe.created) {
        return __VpeErr(E_MI_ERR_EXIST);
    }
    if (attr->maxWidth == 0 || attr->maxHeight == 0) {
        return __VpeErr(E_MI_ERR_ILLEGAL_PARAM);
    }
    if (attr->pixFormat != E_MI_SYS_PIXEL_FRAME_YUV_MST_420 && !__PortFormat(attr->pixFormat)) {
        return __VpeErr(E_MI_ERR_NOT_SUPPORT);
    }
    MI_U32 rotation = s.vpe.rotation;  // set ahead of the channel, kept
    s.vpe = VpeState{};
    s.vpe.created = true;
    s.vpe.attr = *attr;
    s.vpe.rotation = rotation;
    return MI_SUCCESS;
}

MI_S32 MI_VPE_StartChannel(MI_U32 chn)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(v, __Vpe(s, chn));
    v->started = true;
    return MI_SUCCESS;
}

MI_S32 MI_VPE_StopChannel(MI_U32 chn)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(v, __Vpe(s, chn));
    v->started = false;
    return MI_SUCCESS;
}

MI_S32 MI_VPE_DestroyChannel(MI_U32 chn)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(v, __Vpe(s, chn));
    if (v->started || __Bound(s, E_MI_MODULE_ID_VPE, chn)) {
        return __VpeErr(E_MI_ERR_NOT_PERM);  // stop and unbind first
    }
    MI_U32 rotation = v->rotation;
    *v = VpeState{};
    v->rotation = rotation;
    // Regions attached to the channel's ports go with it, as on the SoC: whoever rebuilds the
    // channel attaches them again.
    __DropAttachments(s, E_MI_MODULE_ID_VPE, chn);
    return MI_SUCCESS;
}

MI_S32 MI_VPE_SetChannelRotation(MI_U32 chn, MI_U32 rotation)
{
    MI_SIM_ENTER();
    if (chn != 0) {
        return __VpeErr(E_MI_ERR_INVALID_CHNID);
    }
    if (rotation > 3) {
        return __VpeErr(E_MI_ERR_ILLEGAL_PARAM);
    }
    s.vpe.rotation = rotation;
    return MI_SUCCESS;
}

MI_S32 MI_VPE_GetPortMode(MI_U32 chn, MI_U32 port, MI_VPE_PortMode_t* mode)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(p, __VpePort(s, chn, port));
    if (mode == nullptr) {
        return __VpeErr(E_MI_ERR_NULL_PTR);
    }
    *mode = p->mode;
    return MI_SUCCESS;
}

MI_S32 MI_VPE_SetPortMode(MI_U32 chn, MI_U32 port, const MI_VPE_PortMode_t* mode)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(p, __VpePort(s, chn, port));
    if (mode == nullptr) {
        return __VpeErr(E_MI_ERR_NULL_PTR);
    }
    if (mode->width == 0 || mode->height == 0 || (mode->width & 1) || (mode->height & 1)) {
        return __VpeErr(E_MI_ERR_ILLEGAL_PARAM);
    }
    if (!__PortFormat(mode->pixFormat)) {
        return __VpeErr(E_MI_ERR_NOT_SUPPORT);
    }
    p->mode = *mode;
    p->modeSet = true;
    return MI_SUCCESS;
}

MI_S32 MI_VPE_SetPortCrop(MI_U32 chn, MI_U32 port, const MI_SYS_WindowRect_t* crop)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(p, __VpePort(s, chn, port));
    if (crop == nullptr) {
        return __VpeErr(E_MI_ERR_NULL_PTR);
    }
    if (crop->width == 0 || crop->height == 0 || crop->x + crop->width > s.vpe.attr.maxWidth ||
        crop->y + crop->height > s.vpe.attr.maxHeight) {
        return __VpeErr(E_MI_ERR_ILLEGAL_PARAM);
    }
    p->crop = *crop;
    p->cropSet = true;
    return MI_SUCCESS;
}

MI_S32 MI_VPE_EnablePort(MI_U32 chn, MI_U32 port)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(p, __VpePort(s, chn, port));
    if (!p->modeSet) {
        return __VpeErr(E_MI_ERR_NOT_CONFIG);
    }
    p->enabled = true;
    return MI_SUCCESS;
}

MI_S32 MI_VPE_DisablePort(MI_U32 chn, MI_U32 port)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(p, __VpePort(s, chn, port));
    p->enabled = false;
    return MI_SUCCESS;
}

MI_S32 MI_VPE_DeInitDev()
{
    MI_SIM_ENTER();
    s.vpe = VpeState{};
    __DropBinds(s, E_MI_MODULE_ID_VPE);
    __DropAttachments(s, E_MI_MODULE_ID_VPE, 0);
    return MI_SUCCESS;
}

// --- detection scaler ---

MI_S32 MI_DIVP_CreateChn(MI_U32 chn, const MI_DIVP_ChnAttr_t* attr)
{
    MI_SIM_ENTER();
    if (chn != 0) {
        return __DivpErr(E_MI_ERR_INVALID_CHNID);
    }
    if (attr == nullptr) {
        return __DivpErr(E_MI_ERR_NULL_PTR);
    }
    if (s.divp.created) {
        return __DivpErr(E_MI_ERR_EXIST);
    }
    if (attr->maxWidth == 0 || attr->maxHeight == 0) {
        return __DivpErr(E_MI_ERR_ILLEGAL_PARAM);
    }
    s.divp = DivpState{};
    s.divp.created = true;
    s.divp.attr = *attr;
    return MI_SUCCESS;
}

MI_S32 MI_DIVP_DestroyChn(MI_U32 chn)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(d, __Divp(s, chn));
    if (d->started || __Bound(s, E_MI_MODULE_ID_DIVP, chn)) {
        return __DivpErr(E_MI_ERR_NOT_PERM);
    }
    *d = DivpState{};  // frames a user still holds stay valid until given back
    return MI_SUCCESS;
}

MI_S32 MI_DIVP_GetChnAttr(MI_U32 chn, MI_DIVP_ChnAttr_t* attr)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(d, __Divp(s, chn));
    if (attr == nullptr) {
        return __DivpErr(E_MI_ERR_NULL_PTR);
    }
    *attr = d->attr;
    return MI_SUCCESS;
}

MI_S32 MI_DIVP_SetChnAttr(MI_U32 chn, const MI_DIVP_ChnAttr_t* attr)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(d, __Divp(s, chn));
    if (attr == nullptr) {
        return __DivpErr(E_MI_ERR_NULL_PTR);
    }
    d->attr = *attr;
    return MI_SUCCESS;
}

MI_S32 MI_DIVP_SetOutputPortAttr(MI_U32 chn, const MI_DIVP_OutputPortAttr_t* attr)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(d, __Divp(s, chn));
    if (attr == nullptr) {
        return __DivpErr(E_MI_ERR_NULL_PTR);
    }
    if (attr->width == 0 || attr->height == 0 || (attr->width & 1) || (attr->height & 1) || attr->width > 4096 ||
        attr->height > 4096) {
        return __DivpErr(E_MI_ERR_ILLEGAL_PARAM);
    }
    if (attr->pixFormat != E_MI_SYS_PIXEL_FRAME_YUV_SEMIPLANAR_420 || attr->compressMode != 0) {
        return __DivpErr(E_MI_ERR_NOT_SUPPORT);
    }
    d->out = *attr;
    d->outSet = true;
    d->ready.clear();  // frames of the old size are not handed out any more
    return MI_SUCCESS;
}

MI_S32 MI_DIVP_StartChn(MI_U32 chn)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(d, __Divp(s, chn));
    if (!d->outSet) {
        return __DivpErr(E_MI_ERR_NOT_CONFIG);
    }
    d->started = true;
    return MI_SUCCESS;
}

MI_S32 MI_DIVP_StopChn(MI_U32 chn)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(d, __Divp(s, chn));
    d->started = false;
    return MI_SUCCESS;
}

MI_S32 MI_DIVP_DeInitDev()
{
    MI_SIM_ENTER();
    s.divp = DivpState{};
    __DropBinds(s, E_MI_MODULE_ID_DIVP);
    return MI_SUCCESS;
}
