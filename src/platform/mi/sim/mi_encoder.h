// The simulated encoders: real H.264 (libx264 through libavcodec) and JPEG (libavcodec's MJPEG)
// with the channel's rate control, fed with I420 pictures of the channel's size.
#pragma once

#include "mi_state.h"

#include <memory>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace misim {

class Encoder {
public:
    // nullptr when the attributes ask for what this encoder cannot do (H.265, odd sizes).
    static std::unique_ptr<Encoder> Open(const MI_VENC_ChnAttr_t& attr, MI_U32 jpegQuality);
    ~Encoder();
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    // Encodes one picture into out (replaced). H.264: Annex B, every NAL unit behind a 4-byte
    // start code, SPS and PPS in front of every IDR slice; dataType is the slice's NAL type.
    // Returns 0, or -1 when the codec failed.
    int Encode(const Frame& in, bool idr, std::vector<uint8_t>& out, MI_U32* dataType);
    // JPEG: the quality factor (1..99) for the next pictures.
    void SetJpegQuality(MI_U32 quality);
    bool Jpeg() const { return mJpeg; }

private:
    Encoder() = default;
    static constexpr int kCountedPictures = 2;

    AVCodecContext* mCtx = nullptr;
    AVFrame* mFrame = nullptr;
    AVPacket* mPacket = nullptr;
    bool mJpeg = false;
    int mQscale = 2;
    int64_t mPts = 0;
    int mCounted = 0;   // pictures whose memory was counted
    HeldMemory mHeld;   // what the codec touched while set up and with its first pictures
};

// Rewrites an Annex B stream so every NAL unit has a 4-byte start code; returns the NAL type of
// the first slice (1 to 5), or 0 when there is none.
int NormaliseAnnexB(const uint8_t* in, size_t len, std::vector<uint8_t>& out);

}  // namespace misim
