// Person detection on the simulated image engine: which region of the picture reaches the
// detector (widened to multiples of 32, inside the frame whatever its size), what the detector
// is given, and the passes that must not run it.
#include "Media/HumanDetect.h"
#include "detect_test_util.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace {

struct ForwardCall {
    int height;
    int width;
    std::vector<uint8_t> rgb;
};
std::vector<ForwardCall> gForwards;

int RecordForward(HD_NETWORK_S* h, const uint8_t* pixels, int height, int width, int channels)
{
    gForwards.push_back({height, width, std::vector<uint8_t>(pixels, pixels + static_cast<size_t>(height) * width * 3)});
    return Forward_Network(h, pixels, height, width, channels);
}

class HumanDetect : public testing::Test {
protected:
    void SetUp() override
    {
        MiSimReset();
        gForwards.clear();
        gHumanDetectOps.Forward = RecordForward;
        testing::internal::CaptureStdout();
        ASSERT_EQ(0, HumanDetectInit());
        testing::internal::GetCapturedStdout();
    }
    void TearDown() override
    {
        testing::internal::CaptureStdout();
        HumanDetectDeInit();
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(0, MiSimMmaBlocks());
        MiSimReset();
    }
    // A pass on A and B; the work images of a pass are given back whatever it found.
    static int Pass(TestFrame& a, TestFrame& b)
    {
        MI_SYS_BufInfo_t ia = a.Info();
        MI_SYS_BufInfo_t ib = b.Info();
        const int blocksBefore = MiSimMmaBlocks();
        const int n = HumanDetectProc(&ia, &ib);
        EXPECT_EQ(blocksBefore, MiSimMmaBlocks());
        return n;
    }

    TestSandbox mSb;
};

// BT.601 video levels to RGB, as the engine converts (written out here on its own).
std::vector<uint8_t> Rgb(TestFrame& f, int x0, int y0, int w, int h)
{
    std::vector<uint8_t> out;
    for (int y = y0; y < y0 + h; ++y) {
        for (int x = x0; x < x0 + w; ++x) {
            const double c = f.Y(x, y) - 16.0;
            const double d = f.U(x, y) - 128.0;
            const double e = (&f.U(x, y))[1] - 128.0;
            for (double v : {1.164 * c + 1.596 * e, 1.164 * c - 0.392 * d - 0.813 * e, 1.164 * c + 2.017 * d}) {
                out.push_back(static_cast<uint8_t>(std::clamp(static_cast<int>(std::lround(v)), 0, 255)));
            }
        }
    }
    return out;
}

int MaxDiff(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    int m = a.size() == b.size() ? 0 : 999;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        m = std::max(m, std::abs(a[i] - b[i]));
    }
    return m;
}

}  // namespace

// Rows: a region (whole 8-pixel blocks) in a picture; the region the detector gets.
TEST(HumanRegion, WidenedToMultiplesOf32InsideThePicture)
{
    struct Row {
        HD_REGION_S in;
        int w, h;
        HD_REGION_S out;
    };
    const Row rows[] = {
        {{200, 100, 239, 131}, 480, 288, {188, 100, 251, 131}},  // 40 -> 64, 12 each side; 32 stays
        {{440, 256, 479, 287}, 480, 288, {416, 256, 479, 287}},  // against the right and bottom edges
        {{0, 0, 39, 23}, 480, 288, {0, 0, 63, 31}},              // against the left and top edges
        {{8, 8, 463, 279}, 470, 288, {0, 0, 469, 287}},          // no room either way: the whole side
        {{0, 0, 471, 287}, 480, 288, {0, 0, 479, 287}},
        {{200, 104, 223, 159}, 224, 160, {192, 96, 223, 159}},   // a zone-sized picture: inside it
        {{16, 16, 39, 39}, 224, 160, {12, 12, 43, 43}},
    };
    for (const Row& r : rows) {
        const HD_REGION_S o = HumanRegionWiden(r.in, r.w, r.h);
        EXPECT_EQ(r.out.x0, o.x0) << r.in.x0 << "," << r.in.y0 << " in " << r.w << "x" << r.h;
        EXPECT_EQ(r.out.x1, o.x1) << r.in.x0 << "," << r.in.y0 << " in " << r.w << "x" << r.h;
        EXPECT_EQ(r.out.y0, o.y0) << r.in.x0 << "," << r.in.y0 << " in " << r.w << "x" << r.h;
        EXPECT_EQ(r.out.y1, o.y1) << r.in.x0 << "," << r.in.y0 << " in " << r.w << "x" << r.h;
    }
}

// Rows: a picture size and a changed rectangle; the detector gets that region of frame B, one
// block wider on each side and widened to multiples of 32, converted to RGB.
TEST_F(HumanDetect, DetectorGetsTheChangedRegionOfFrameB)
{
    struct Row {
        int w, h;
        int x, y, cw, ch;       // changed rectangle
        HD_REGION_S region;     // what the detector gets
    };
    const Row rows[] = {
        {480, 288, 200, 96, 8, 8, {188, 84, 219, 115}},       // one block: 24 wide with the margin -> 32
        {480, 288, 440, 248, 40, 40, {416, 224, 479, 287}},   // at the right and bottom edges
        {224, 160, 192, 128, 32, 32, {160, 96, 223, 159}},    // a zone below 100 %: inside the frame
        {224, 160, 0, 0, 16, 8, {0, 0, 31, 31}},
    };
    for (const Row& r : rows) {
        gForwards.clear();
        TestFrame a(r.w, r.h);
        TestFrame b = a;
        b.Change(r.x, r.y, r.cw, r.ch, 60);
        for (int y = r.y; y < r.y + r.ch; y += 2) {
            b.U(r.x, y) = 90;  // a colour, so the chroma plane's addressing shows too
        }
        Pass(a, b);
        ASSERT_EQ(1u, gForwards.size()) << r.x << "," << r.y;
        const ForwardCall& f = gForwards[0];
        EXPECT_EQ(r.region.x1 - r.region.x0 + 1, f.width) << r.x << "," << r.y;
        EXPECT_EQ(r.region.y1 - r.region.y0 + 1, f.height) << r.x << "," << r.y;
        EXPECT_LE(MaxDiff(Rgb(b, r.region.x0, r.region.y0, f.width, f.height), f.rgb), 2) << r.x << "," << r.y;
        EXPECT_EQ((f.height + 31) / 32 * 32, HumanDetectConfig().InputHeight);
        EXPECT_EQ((f.width + 31) / 32 * 32, HumanDetectConfig().InputWidth);
    }
}

// Passes that must count no person without running the detector: nothing changed, everything
// changed, a failed region difference, a failed conversion (the RGB image would still hold the
// previous region), frames of two sizes.
TEST_F(HumanDetect, NoDetectorRunWithoutAFreshRegion)
{
    struct Row {
        const char* what;
        const char* failCall;
        int delta;      // over the whole picture, or 0 with a block changed
        int otherSize;  // frame B of another height
        const char* printed;
    };
    const Row rows[] = {
        {"identical frames", nullptr, 0, 0, ""},
        {"a change everywhere", nullptr, 50, 0, ""},
        {"region difference failed", "MI_IVE_Sad", -1, 0, "MD_frame_difference is failed!"},
        {"conversion failed", "MI_IVE_Csc", -1, 0, "[MVE] MI_IVE_CSC error!!! ret[0xa0002012]"},
        {"frames of two sizes", nullptr, -1, 160, ""},
    };
    const MI_S32 busy = MiErrCode(E_MI_MODULE_ID_IVE, E_MI_ERR_BUSY);
    for (const Row& r : rows) {
        gForwards.clear();
        TestFrame a(480, 288);
        TestFrame b(480, r.otherSize ? r.otherSize : 288);
        if (r.delta > 0) {
            b.Change(0, 0, 480, 288, r.delta);
        } else if (r.delta < 0) {
            b.Change(100, 100, 16, 16, 60);
        }
        if (r.failCall != nullptr) {
            MiSimFailCall(r.failCall, busy);
        }
        testing::internal::CaptureStdout();
        EXPECT_EQ(0, Pass(a, b)) << r.what;
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos, out.find(r.printed)) << r.what << ": " << out;
        EXPECT_TRUE(gForwards.empty()) << r.what;
        MiSimClearFailures();
    }
}

// Without its RGB image (media memory short at start) the detector is never run: the conversion
// would write through a null address.
TEST_F(HumanDetect, NoRgbImageMeansNoDetection)
{
    testing::internal::CaptureStdout();
    HumanDetectDeInit();
    MiSimFailCall("MI_SYS_MMA_Alloc", MiErrCode(E_MI_MODULE_ID_SYS, E_MI_ERR_NOMEM));
    HumanDetectInit();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("[HumanDetectInit 574] Could not allocate MVE image")) << out;
    TestFrame a(480, 288);
    TestFrame b = a;
    b.Change(100, 100, 40, 40, 60);
    const int csc = MiSimCallCount("MI_IVE_Csc");
    EXPECT_EQ(0, Pass(a, b));
    EXPECT_EQ(csc, MiSimCallCount("MI_IVE_Csc"));
    EXPECT_TRUE(gForwards.empty());
}
