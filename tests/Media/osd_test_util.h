// The on-screen display on a sandbox with the unit's resources (fonts, icons) and the media
// layer on the manual clock.
#pragma once

#include "Common/AppState.h"
#include "Common/DeviceState.h"
#include "Media/OsdFont.h"
#include "Media/VencStream.h"
#include "Media/osd.h"
#include "media_test_util.h"
#include "mi/decode_util.h"
#include "platform/mi/mi_sensor.h"

#include <cstdlib>
#include <string>
#include <vector>

class OsdTest : public MediaTest {
protected:
    void SetUp() override
    {
        MediaTest::SetUp();
        setenv("TZ", "UTC", 1);
        tzset();
        gDeviceState.WatermarkSetting = 1;
    }

    // Region library, fonts and the time stamp regions, without the thread.
    static void StartOsd()
    {
        testing::internal::CaptureStdout();
        int rc = OsdSystemInit();
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(0, rc);
        ASSERT_EQ(0, OsdRegionsCreate());
    }

    // The chain for the default 1920x1080 input, as after start-up (without its threads).
    static void BuildChain()
    {
        ASSERT_EQ(MI_SUCCESS, MI_SYS_Init());
        MI_SNR_SetRes(0, 0);  // the sensor pad, as SysInit sets it up
        MI_SNR_Enable(0);
        gVideoDynamicsInfo.ResolutionCode = 4;
        gVideoDynamicsInfo.RecordCode = 2;
        gVideoDynamicsInfo.FrameRateCode = 4;
        SetVideoDynamicsInfo(0);
        ASSERT_EQ(0, VideoInit());
    }

    // Pixel (x, y) of a region's ARGB4444 canvas.
    static uint16_t Pixel(MI_RGN_HANDLE handle, uint32_t x, uint32_t y)
    {
        MI_RGN_CanvasInfo_t c{};
        if (MI_RGN_GetCanvasInfo(handle, &c) != MI_SUCCESS) {
            return 0xDEAD;
        }
        const auto* p = static_cast<const uint8_t*>(c.virtAddr) + y * c.stride + x * 2;
        return static_cast<uint16_t>(p[0] | p[1] << 8);
    }

    // Whether the canvas at (x, y) shows exactly the glyph of `code` from the font file: set bits
    // white, the rest untouched (0).
    static ::testing::AssertionResult ShowsGlyph(MI_RGN_HANDLE handle, uint32_t x, uint32_t y, const std::string& font,
                                                 uint32_t w, uint32_t h, size_t glyphIndex, const std::string& data)
    {
        const size_t bpr = (w + 7) / 8;
        const size_t at = glyphIndex * bpr * h;
        int set = 0;
        for (uint32_t r = 0; r < h; ++r) {
            for (uint32_t c = 0; c < w; ++c) {
                bool bit = (static_cast<uint8_t>(data[at + r * bpr + c / 8]) >> (7 - c % 8)) & 1;
                uint16_t want = bit ? kOsdColourWhite : 0;
                set += bit;
                if (Pixel(handle, x + c, y + r) != want) {
                    return ::testing::AssertionFailure()
                           << font << " glyph " << glyphIndex << " differs at " << c << "," << r;
                }
            }
        }
        if (set == 0) {
            return ::testing::AssertionFailure() << font << " glyph " << glyphIndex << " is empty";
        }
        return ::testing::AssertionSuccess();
    }
};

// The main stream as the encoder thread hands it to the viewer side, decoded again: one frame per
// Next(), through one decoder, so P frames decode too.
class MainStream {
public:
    MainStream()
    {
        Frames().clear();
        gVencOutput = VENC_OUTPUT_S{Keep, nullptr, nullptr, nullptr};
        gAppState.Online = 1;
        gDeviceState.ViewingMark = 1;
        gDeviceState.ViewingTimer = kCountdownStopped;
    }
    ~MainStream() { gVencOutput = VENC_OUTPUT_S{}; }

    DecodedPicture Next()
    {
        Frames().clear();
        MiSimPump(1);
        VencChannelPass(0);
        DecodedPicture pic;
        EXPECT_EQ(1u, Frames().size());
        if (!Frames().empty()) {
            EXPECT_TRUE(mDecoder.Decode(Frames()[0].data(), Frames()[0].size(), &pic));
        }
        return pic;
    }

private:
    static std::vector<std::vector<uint8_t>>& Frames()
    {
        static std::vector<std::vector<uint8_t>> frames;
        return frames;
    }
    static int Keep(int channel, const MEDIA_FRAME_S* f)
    {
        if (channel == MEDIA_CHANNEL_MAIN) {
            Frames().emplace_back(f->data, f->data + f->size);
        }
        return 0;
    }

    TestDecoder mDecoder{AV_CODEC_ID_H264};
};
