#include "mi_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <cmath>
#include <cstring>
#include <string>

namespace misim {

namespace {

// The SoC's JPEG quality factor (1..99, like libjpeg's) as an MJPEG quantiser scale (1..31).
int __QscaleOfQuality(MI_U32 quality)
{
    if (quality < 1) {
        quality = 1;
    }
    if (quality > 99) {
        quality = 99;
    }
    return 1 + static_cast<int>((100 - quality) * 30 / 99);
}

bool __OpenH264(AVCodecContext* c, const MI_VENC_ChnAttr_t& attr)
{
    const MI_VENC_RcAttr_t& rc = attr.rcAttr;
    MI_U32 gop = 0;
    MI_U32 rateNum = 25;
    MI_U32 rateDen = 1;
    std::string params = "repeat-headers=1:scenecut=0:annexb=1:aud=0:sliced-threads=0:bframes=0";
    switch (rc.rcMode) {
    case E_MI_VENC_RC_MODE_H264FIXQP: {
        const MI_VENC_H264FixQp_t& q = rc.h264FixQp;
        if (q.pQp > 51 || q.iQp > 51) {
            return false;
        }
        gop = q.gop;
        rateNum = q.srcFrmRateNum;
        rateDen = q.srcFrmRateDen;
        av_opt_set_int(c->priv_data, "qp", q.pQp, 0);
        // The I-frame QP lies below the P-frame QP by 6 * log2 of the I/P ratio.
        c->i_quant_factor = static_cast<float>(std::pow(2.0, -(static_cast<double>(q.pQp) - q.iQp) / 6.0));
        break;
    }
    case E_MI_VENC_RC_MODE_H264VBR: {
        const MI_VENC_H26xVbr_t& v = rc.h264Vbr;
        if (v.maxBitRate == 0 || v.minQp > v.maxQp || v.maxQp > 51) {
            return false;
        }
        gop = v.gop;
        rateNum = v.srcFrmRateNum;
        rateDen = v.srcFrmRateDen;
        av_opt_set_double(c->priv_data, "crf", 23, 0);
        c->rc_max_rate = static_cast<int64_t>(v.maxBitRate) * 1000;
        c->rc_buffer_size = static_cast<int>(v.maxBitRate * 1000);
        c->qmin = static_cast<int>(v.minQp);
        c->qmax = static_cast<int>(v.maxQp);
        break;
    }
    case E_MI_VENC_RC_MODE_H264CBR: {
        const MI_VENC_H26xCbr_t& v = rc.h264Cbr;
        if (v.bitRate == 0) {
            return false;
        }
        gop = v.gop;
        rateNum = v.srcFrmRateNum;
        rateDen = v.srcFrmRateDen;
        c->bit_rate = v.bitRate;
        c->rc_max_rate = v.bitRate;
        c->rc_buffer_size = static_cast<int>(v.bitRate);
        break;
    }
    default:
        // No rate control chosen: the encoder's defaults.
        break;
    }
    if (rateNum == 0 || rateDen == 0) {
        return false;
    }
    c->time_base = AVRational{static_cast<int>(rateDen), static_cast<int>(rateNum)};
    c->framerate = AVRational{static_cast<int>(rateNum), static_cast<int>(rateDen)};
    c->gop_size = gop ? static_cast<int>(gop) : 250;
    c->keyint_min = c->gop_size;
    // The SoC's encoder makes no B-frames: every frame leaves the encoder as soon as it is coded.
    c->max_b_frames = 0;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    av_opt_set(c->priv_data, "preset", "ultrafast", 0);
    av_opt_set(c->priv_data, "tune", "zerolatency", 0);
    av_opt_set_int(c->priv_data, "forced-idr", 1, 0);
    av_opt_set(c->priv_data, "x264-params", params.c_str(), 0);
    return true;
}

}  // namespace

std::unique_ptr<Encoder> Encoder::Open(const MI_VENC_ChnAttr_t& attr, MI_U32 jpegQuality)
{
    const MI_VENC_Attr_t& ve = attr.veAttr;
    MI_U32 w = 0;
    MI_U32 h = 0;
    const char* name = nullptr;
    if (ve.type == E_MI_VENC_MODTYPE_H264E) {
        w = ve.h264.picWidth;
        h = ve.h264.picHeight;
        name = "libx264";
    } else if (ve.type == E_MI_VENC_MODTYPE_JPEGE) {
        w = ve.jpeg.picWidth;
        h = ve.jpeg.picHeight;
        name = "mjpeg";
    } else {
        return nullptr;  // H.265 is not simulated
    }
    if (w == 0 || h == 0 || (w & 1) || (h & 1) || w > 4096 || h > 4096) {
        return nullptr;
    }
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (codec == nullptr) {
        return nullptr;
    }
    // The encoders' own notes (profile, CPU) would flood the unit's log.
    av_log_set_level(AV_LOG_ERROR);
    const int64_t before = ResidentPrivate();
    std::unique_ptr<Encoder> e(new Encoder);
    e->mJpeg = ve.type == E_MI_VENC_MODTYPE_JPEGE;
    e->mCtx = avcodec_alloc_context3(codec);
    e->mFrame = av_frame_alloc();
    e->mPacket = av_packet_alloc();
    if (e->mCtx == nullptr || e->mFrame == nullptr || e->mPacket == nullptr) {
        return nullptr;
    }
    AVCodecContext* c = e->mCtx;
    c->width = static_cast<int>(w);
    c->height = static_cast<int>(h);
    c->thread_count = 1;
    if (e->mJpeg) {
        if (attr.rcAttr.rcMode != E_MI_VENC_RC_MODE_MJPEGFIXQP) {
            return nullptr;
        }
        c->pix_fmt = AV_PIX_FMT_YUVJ420P;
        c->time_base = AVRational{1, 25};
        c->flags |= AV_CODEC_FLAG_QSCALE;
        c->qmin = 1;
        c->qmax = 31;
        e->SetJpegQuality(jpegQuality);
    } else if (!__OpenH264(c, attr)) {
        return nullptr;
    }
    if (avcodec_open2(c, codec, nullptr) < 0) {
        return nullptr;
    }
    e->mFrame->format = c->pix_fmt;
    e->mFrame->width = c->width;
    e->mFrame->height = c->height;
    if (av_frame_get_buffer(e->mFrame, 0) < 0) {
        return nullptr;
    }
    e->mHeld.Take(before);
    return e;
}

Encoder::~Encoder()
{
    av_packet_free(&mPacket);
    av_frame_free(&mFrame);
    avcodec_free_context(&mCtx);
}

void Encoder::SetJpegQuality(MI_U32 quality)
{
    mQscale = __QscaleOfQuality(quality);
}

int Encoder::Encode(const Frame& in, bool idr, std::vector<uint8_t>& out, MI_U32* dataType)
{
    out.clear();
    *dataType = 0;
    if (in.width != mCtx->width || in.height != mCtx->height || in.nv12) {
        return -1;
    }
    if (av_frame_make_writable(mFrame) < 0) {
        return -1;
    }
    const uint8_t* src[3] = {in.Y(), in.U(), in.V()};
    for (int p = 0; p < 3; ++p) {
        int pw = p ? in.width / 2 : in.width;
        int ph = p ? in.height / 2 : in.height;
        for (int y = 0; y < ph; ++y) {
            std::memcpy(mFrame->data[p] + static_cast<size_t>(y) * mFrame->linesize[p], src[p] + static_cast<size_t>(y) * pw, pw);
        }
    }
    mFrame->pts = mPts++;
    mFrame->pict_type = idr ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    if (mJpeg) {
        mFrame->quality = FF_QP2LAMBDA * mQscale;
    }
    // The codec takes most of its working memory with its first pictures (a key frame, then a
    // predicted one): what the process grew by across them is counted as the simulation's.
    const bool counting = mCounted < kCountedPictures;
    const int64_t before = counting ? ResidentPrivate() : 0;
    const int rc = avcodec_send_frame(mCtx, mFrame) < 0 ? -1 : avcodec_receive_packet(mCtx, mPacket);
    if (counting) {
        ++mCounted;
        mHeld.Take(before);
    }
    if (rc < 0) {
        return -1;
    }
    if (mJpeg) {
        out.assign(mPacket->data, mPacket->data + mPacket->size);
    } else {
        *dataType = static_cast<MI_U32>(NormaliseAnnexB(mPacket->data, mPacket->size, out));
    }
    av_packet_unref(mPacket);
    return 0;
}

int NormaliseAnnexB(const uint8_t* in, size_t len, std::vector<uint8_t>& out)
{
    out.clear();
    out.reserve(len + 16);
    int sliceType = 0;
    size_t i = 0;
    // Positions of NAL units: after each 00 00 01 (a preceding 00 belongs to the start code).
    auto nextStart = [&](size_t from, size_t* codeLen) -> size_t {
        for (size_t k = from; k + 3 <= len; ++k) {
            if (in[k] == 0 && in[k + 1] == 0 && in[k + 2] == 1) {
                if (k > from && in[k - 1] == 0) {
                    *codeLen = 4;
                    return k - 1;
                }
                *codeLen = 3;
                return k;
            }
        }
        *codeLen = 0;
        return len;
    };
    size_t code = 0;
    i = nextStart(0, &code);
    while (i < len) {
        size_t body = i + code;
        size_t nextCode = 0;
        size_t next = nextStart(body, &nextCode);
        static const uint8_t kStart[4] = {0, 0, 0, 1};
        out.insert(out.end(), kStart, kStart + 4);
        out.insert(out.end(), in + body, in + next);
        if (body < len && sliceType == 0) {
            int t = in[body] & 0x1F;
            if (t >= 1 && t <= 5) {
                sliceType = t;
            }
        }
        i = next;
        code = nextCode;
    }
    return sliceType;
}

}  // namespace misim
