// The person detector library: the box selection on hand-made candidates, the refusals with
// their messages, the memory check against the board's "/proc/meminfo", the switch between
// the two networks, and the same faces found on one thread as with the library's pool.
#include "Media/hdlib/hdlib.h"
#include "sandbox.h"
#include "scene.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

HD_CANDIDATE_S Box(float x0, float y0, float x1, float y1, float score, int16_t cls = 0)
{
    return HD_CANDIDATE_S{x0, y0, x1, y1, cls, score};
}

// Runs `fn` and returns what it printed.
template <typename Fn>
std::string Printed(Fn fn)
{
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}

class HdLib : public testing::Test {
protected:
    void TearDown() override
    {
        if (mHandle != nullptr) {
            Printed([&] { Release_Network(&mHandle); });
        }
    }
    void SetMemAvailable(int kb) const
    {
        mSb.Write("/proc/meminfo", "MemTotal:          65536 kB\nMemFree:           1024 kB\nMemAvailable:   " +
                                       std::to_string(kb) + " kB\n");
    }

    TestSandbox mSb;
    HD_NETWORK_CONFIG_S mConfig{288, 480, 0.4f, 0.5f, 1, 5, 0};
    HD_NETWORK_S* mHandle = nullptr;
};

}  // namespace

// Rows: candidates (fractions of a 100 x 200 picture) and the boxes that remain, best first
// where the count is cut.
TEST(HdSelect, ThresholdSuppressionTopAndClamping)
{
    struct Row {
        const char* what;
        std::vector<HD_CANDIDATE_S> in;
        std::vector<float> scores;  // of the boxes kept, in the order given back
    };
    const Row rows[] = {
        {"below the threshold", {Box(0.1f, 0.1f, 0.3f, 0.3f, 0.39f), Box(0.5f, 0.5f, 0.7f, 0.7f, 0.4f)}, {0.4f}},
        {"equal scores overlapping: both stay", {Box(0.1f, 0.1f, 0.5f, 0.5f, 0.8f), Box(0.12f, 0.1f, 0.52f, 0.5f, 0.8f)},
         {0.8f, 0.8f}},
        {"a stronger overlapping box removes the weaker",
         {Box(0.1f, 0.1f, 0.5f, 0.5f, 0.6f), Box(0.12f, 0.1f, 0.52f, 0.5f, 0.9f)}, {0.9f}},
        {"overlap not above one half: both stay", {Box(0.0f, 0.0f, 0.3f, 0.2f, 0.6f), Box(0.1f, 0.0f, 0.4f, 0.2f, 0.9f)},
         {0.6f, 0.9f}},
        {"another class is not suppressed",
         {Box(0.1f, 0.1f, 0.5f, 0.5f, 0.6f, 1), Box(0.12f, 0.1f, 0.52f, 0.5f, 0.9f, 0)}, {0.6f, 0.9f}},
        {"seven apart: the five best",
         {Box(0.0f, 0.0f, 0.1f, 0.1f, 0.5f), Box(0.2f, 0.0f, 0.3f, 0.1f, 0.95f), Box(0.4f, 0.0f, 0.5f, 0.1f, 0.45f),
          Box(0.6f, 0.0f, 0.7f, 0.1f, 0.7f), Box(0.8f, 0.0f, 0.9f, 0.1f, 0.6f), Box(0.0f, 0.5f, 0.1f, 0.6f, 0.9f),
          Box(0.2f, 0.5f, 0.3f, 0.6f, 0.8f)},
         {0.95f, 0.9f, 0.8f, 0.7f, 0.6f}},
    };
    for (const Row& r : rows) {
        HD_BOX_S out[5] = {};
        const int n = HdSelectBoxes(r.in.data(), static_cast<int>(r.in.size()), 0.4f, 0.5f, 5, 200, 100, out);
        std::vector<float> got;
        for (int i = 0; i < n; ++i) {
            got.push_back(out[i].Score);
        }
        std::vector<float> want = r.scores;
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(want, got) << r.what;
    }
    // Pixels of the picture given, corners clamped into it.
    const HD_CANDIDATE_S edge[] = {Box(-0.05f, 0.25f, 1.2f, 1.0f, 0.5f)};
    HD_BOX_S out[1] = {};
    ASSERT_EQ(1, HdSelectBoxes(edge, 1, 0.4f, 0.5f, 1, 200, 100, out));
    EXPECT_EQ(0, out[0].x0);
    EXPECT_EQ(50, out[0].y0);
    EXPECT_EQ(99, out[0].x1);
    EXPECT_EQ(199, out[0].y1);
    EXPECT_EQ(0, HdSelectBoxes(edge, 1, 0.4f, 0.5f, 0, 200, 100, out)) << "no room for boxes";
}

TEST_F(HdLib, RefusalsAndTheirMessages)
{
    mConfig.NetworkIndex = 2;
    std::string out = Printed([&] { EXPECT_EQ(-1, Init_Network(&mHandle, &mConfig)); });
    EXPECT_EQ(nullptr, mHandle);
    EXPECT_NE(std::string::npos, out.find("Error: wrong network_index, keep using previous network.\n")) << out;
    EXPECT_NE(std::string::npos, out.find("Error: Failed to activate model.\n")) << out;

    // Calls on no handle.
    out = Printed([&] {
        EXPECT_EQ(-1, Forward_Network(nullptr, nullptr, 1, 1, 1));
        EXPECT_EQ(0, GetBBox(nullptr, 1, 1));
        EXPECT_EQ(-1, Change_Model(nullptr, 1));
        Release_Network(&mHandle);
    });
    EXPECT_NE(std::string::npos, out.find("Error: Please use Init_Network() first.")) << out;
    EXPECT_NE(std::string::npos, out.find("Error: Cannot release NULL handle.")) << out;

    mConfig.NetworkIndex = 0;
    out = Printed([&] { ASSERT_EQ(0, Init_Network(&mHandle, &mConfig)); });
    EXPECT_NE(std::string::npos, out.find("is successfully created.")) << out;
    std::vector<uint8_t> px(64 * 64 * 3, 100);
    struct Row {
        int stride;
        int channels;
        const char* message;
    };
    const Row rows[] = {
        {63, 3, "Error: stride CANNOT be less than width."},
        {64, 2, "Error: Only support input color = 1 (Gray) or 3 (RGB/BGR)."},
        {64, 4, "Error: Only support input color = 1 (Gray) or 3 (RGB/BGR)."},
    };
    for (const Row& r : rows) {
        out = Printed([&] { EXPECT_EQ(-1, Forward_Network(mHandle, px.data(), 64, 64, r.channels, r.stride)); });
        EXPECT_NE(std::string::npos, out.find(r.message)) << r.stride << " " << r.channels;
        out = Printed([&] { EXPECT_EQ(0, GetBBox(mHandle, 64, 64)); });
        EXPECT_NE(std::string::npos, out.find("Error: Please use Forward_Network() first.")) << out;
    }
    // A flat grey picture: a forward pass without boxes.
    mConfig.InputHeight = mConfig.InputWidth = 64;
    EXPECT_EQ(0, Forward_Network(mHandle, px.data(), 64, 64, 3));
    EXPECT_EQ(0, GetBBox(mHandle, 64, 64));
}

// The memory check reads the board's "/proc/meminfo": too little for the network, or for a
// picture of that size, is refused with the figures.
TEST_F(HdLib, MemoryCheckAgainstTheBoard)
{
    SetMemAvailable(500);  // 512000 bytes: the network needs 560000
    std::string out = Printed([&] { EXPECT_EQ(-1, Init_Network(&mHandle, &mConfig)); });
    EXPECT_EQ(nullptr, mHandle);
    EXPECT_NE(std::string::npos, out.find("Error: Require 546 KB + 0 KB margin, but only 500 KB are available.")) << out;
    EXPECT_NE(std::string::npos, out.find("Error: Memory is not enough to activate model.")) << out;
    EXPECT_NE(std::string::npos, out.find("Error: Failed to activate model.")) << out;

    // Enough to load, not for 480x288 (6.5 MB), enough for 64x64 (0.2 MB).
    SetMemAvailable(4000);
    Printed([&] { ASSERT_EQ(0, Init_Network(&mHandle, &mConfig)); });
    std::vector<uint8_t> px(480 * 288 * 3, 90);
    out = Printed([&] { EXPECT_EQ(-1, Forward_Network(mHandle, px.data(), 288, 480, 3)); });
    EXPECT_NE(std::string::npos, out.find("Error: Memory is not enough to inference 480x288 image by current model."))
        << out;
    mConfig.InputHeight = mConfig.InputWidth = 64;
    EXPECT_EQ(0, Forward_Network(mHandle, px.data(), 64, 64, 3));

    // No "MemAvailable:" line: only a need of nothing would pass; no file: unknown, so it goes on.
    Printed([&] { Release_Network(&mHandle); });
    mSb.Write("/proc/meminfo", "MemTotal:          65536 kB\n");
    Printed([&] { EXPECT_EQ(-1, Init_Network(&mHandle, &mConfig)); });
    std::remove(mSb.Path("/proc/meminfo").c_str());
    out = Printed([&] { EXPECT_EQ(0, Init_Network(&mHandle, &mConfig)); });
    EXPECT_NE(std::string::npos, out.find("Warning: Cannot open /proc/meminfo, the amount of free memory is unknown."))
        << out;
}

TEST_F(HdLib, ChangeModelBetweenTheTwoNetworks)
{
    Printed([&] { ASSERT_EQ(0, Init_Network(&mHandle, &mConfig)); });
    std::string out = Printed([&] { EXPECT_EQ(0, Change_Model(mHandle, 1)); });
    EXPECT_NE(std::string::npos, out.find("Successfully changed to model #1\n")) << out;
    EXPECT_TRUE(Printed([&] { EXPECT_EQ(0, Change_Model(mHandle, 1)); }).empty()) << "the same network: nothing to do";
    out = Printed([&] { EXPECT_EQ(-1, Change_Model(mHandle, 2)); });
    EXPECT_NE(std::string::npos, out.find("Error: wrong network_index, keep using previous network.")) << out;
    SetMemAvailable(100);
    out = Printed([&] { EXPECT_EQ(-1, Change_Model(mHandle, 0)); });
    EXPECT_NE(std::string::npos, out.find("Error: Memory is not enough to changle and activate the specified model."))
        << out;
    // Still network 1 (gray input): a forward pass on a gray picture runs.
    SetMemAvailable(28672);
    std::vector<uint8_t> gray(128 * 64, 120);
    mConfig.InputHeight = 128;
    mConfig.InputWidth = 64;
    EXPECT_EQ(0, Forward_Network(mHandle, gray.data(), 128, 64, 1));
    EXPECT_EQ(0, GetBBox(mHandle, 128, 64));
}

// One thread (the unit's setting) runs the detector on the caller's thread; the boxes are those
// the library's whole pool finds, and going back to one thread after the pool changes nothing.
// The cascades' text is given back once loaded: a network loaded anew (and after the other
// network) reads it again whole and finds the same.
TEST_F(HdLib, OneThreadFindsWhatThePoolFinds)
{
    const cv::Mat photo = SceneLoad(std::string(DOORPHONE_PHOTO_DIR) + "/astronaut.png");
    ASSERT_FALSE(photo.empty());
    cv::Mat picture(288, 480, CV_8UC3, cv::Scalar(128, 128, 128));
    cv::resize(photo, picture(cv::Rect(96, 0, 288, 288)), cv::Size(288, 288));
    cv::cvtColor(picture, picture, cv::COLOR_BGR2RGB);
    Printed([&] { ASSERT_EQ(0, Init_Network(&mHandle, &mConfig)); });
    auto boxes = [&](int threads) {
        mConfig.NumThreads = threads;
        EXPECT_EQ(0, Forward_Network(mHandle, picture.data, 288, 480, 3));
        std::vector<std::vector<int>> got;
        const int n = GetBBox(mHandle, 288, 480);
        for (int i = 0; i < n; ++i) {
            const HD_BOX_S& b = mHandle->Boxes[i];
            got.push_back({b.x0, b.y0, b.x1, b.y1, static_cast<int>(b.Score * 1000)});
        }
        return got;
    };
    const auto one = boxes(1);
    ASSERT_FALSE(one.empty()) << "the astronaut's face";
    // Inside the pasted photograph.
    EXPECT_GE(one[0][0], 96);
    EXPECT_LE(one[0][2], 96 + 288);
    EXPECT_EQ(one, boxes(0));
    EXPECT_EQ(one, boxes(3));
    EXPECT_EQ(one, boxes(1));
    Printed([&] { Release_Network(&mHandle); });
    Printed([&] { ASSERT_EQ(0, Init_Network(&mHandle, &mConfig)); });
    EXPECT_EQ(one, boxes(1));
    Printed([&] {
        ASSERT_EQ(0, Change_Model(mHandle, 1));
        ASSERT_EQ(0, Change_Model(mHandle, 0));
    });
    EXPECT_EQ(one, boxes(1));
}
