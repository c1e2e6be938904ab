// The person detector library: the box selection on hand-made candidates, the refusals with
// their messages, the memory check against the board's "/proc/meminfo", the switch between
// the two networks, the same faces found on one thread as with the library's pool, and networks
// from files: the parameter and weight files it refuses and the layers it loads.
#include "Media/hdlib/hdlib.h"
#include "sandbox.h"
#include "scene.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <ostream>
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
    // A network's boxes far past any integer, or of no number, and a score of no number.
    const float nan = std::nanf("");
    const HD_CANDIDATE_S wild[] = {Box(-1e30f, 0.25f, 1e30f, 3e9f, 0.9f), Box(nan, 0.1f, 0.2f, 0.3f, 0.8f),
                                   Box(0.1f, 0.1f, 0.2f, INFINITY, 0.8f), Box(0.1f, 0.1f, 0.2f, 0.3f, nan)};
    ASSERT_EQ(1, HdSelectBoxes(wild, 4, 0.4f, 0.5f, 5, 200, 100, out));
    EXPECT_EQ((std::vector<int>{0, 50, 99, 199}), (std::vector<int>{out[0].x0, out[0].y0, out[0].x1, out[0].y1}));
    // One wholly right of and below the picture keeps every corner inside it too.
    const HD_CANDIDATE_S beyond[] = {Box(400.0f, 0.25f, 500.0f, 300.0f, 0.9f)};
    ASSERT_EQ(1, HdSelectBoxes(beyond, 1, 0.4f, 0.5f, 5, 200, 100, out));
    EXPECT_EQ((std::vector<int>{99, 50, 99, 199}), (std::vector<int>{out[0].x0, out[0].y0, out[0].x1, out[0].y1}));
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

namespace {

// A detector's output grid as the network leaves it: every objectness far below any threshold
// until a cell is set.
struct Grid {
    Grid(int w, int h, int anchors, int classes)
        : width(w), height(h), stride(5 + classes), channels(anchors * (5 + classes)),
          data(static_cast<size_t>(channels) * w * h, 0.0f)
    {
        for (int a = 0; a < anchors; ++a) {
            for (int i = 0; i < w * h; ++i) {
                data[static_cast<size_t>(a * stride + 4) * w * h + i] = -20.0f;
            }
        }
    }
    // x, y, w, h, objectness, class scores: logits of anchor `a` at cell (x, y).
    Grid& Set(int a, int x, int y, std::vector<float> v)
    {
        for (size_t k = 0; k < v.size(); ++k) {
            data[(static_cast<size_t>(a * stride) + k) * width * height + static_cast<size_t>(y) * width + x] = v[k];
        }
        return *this;
    }
    HD_GRID_S View() const { return HD_GRID_S{data.data(), width, height, channels}; }

    int width, height, stride, channels;
    std::vector<float> data;
};

struct Pixels {
    int x0, y0, x1, y1, cls;
    bool operator==(const Pixels& o) const
    {
        return x0 == o.x0 && y0 == o.y0 && x1 == o.x1 && y1 == o.y1 && cls == o.cls;
    }
};
std::ostream& operator<<(std::ostream& os, const Pixels& p)
{
    return os << "{" << p.x0 << "," << p.y0 << "," << p.x1 << "," << p.y1 << " c" << p.cls << "}";
}

}  // namespace

// Grids decoded into boxes of a 200 x 100 picture (network input 64 x 64), through the
// selection GetBBox runs after: a box at its pixel place, the anchors of kind 3 (input pixels,
// chosen through the grid's mask) against kind 2 (grid units), two grids, two classes by sigmoid
// or softmax, and the objectness and score cuts.
TEST(HdDecode, GridsGiveBoxesAtTheirPixelPlaces)
{
    const float k3[] = {32, 16, 16, 32, 8, 8};
    const float k2[] = {0.5f, 1.0f, 1, 1, 2, 2};
    const int onePer[] = {3};
    const int twoPer[] = {3, 3};
    const int masks[] = {1, 2, 0, 2, 0, 1};
    const float ln3 = std::log(3.0f);
    const float ln2 = std::log(2.0f);
    struct Row {
        const char* what;
        HD_DECODE_S model;
        std::vector<Grid> grids;
        float prob;
        std::vector<Pixels> boxes;
    };
    const Row rows[] = {
        {"kind 3: anchor 0 is anchor 1 through the mask", {3, 1, k3, 3, onePer, masks},
         {Grid(2, 2, 3, 1).Set(0, 1, 0, {0, 0, 0, 0, 3})}, 0.4f, {{125, 0, 175, 50, 0}}},
        {"kind 2: the anchor in cells of the grid", {2, 1, k2, 3, onePer, nullptr},
         {Grid(2, 2, 3, 1).Set(0, 1, 0, {0, 0, 0, 0, 3})}, 0.4f, {{125, 0, 175, 50, 0}}},
        {"kind 3, anchor 2: (32, 16) input pixels", {3, 1, k3, 3, onePer, masks},
         {Grid(2, 2, 3, 1).Set(2, 1, 0, {0, 0, 0, 0, 3})}, 0.4f, {{100, 13, 199, 38, 0}}},
        {"kind 2, anchor 2: (8, 8) cells, over the whole picture", {2, 1, k3, 3, onePer, nullptr},
         {Grid(2, 2, 3, 1).Set(2, 1, 0, {0, 0, 0, 0, 3})}, 0.4f, {{0, 0, 199, 99, 0}}},
        {"offsets and a doubled width", {3, 1, k3, 3, onePer, masks},
         {Grid(2, 2, 3, 1).Set(0, 0, 1, {ln3, 0, ln2, 0, 3})}, 0.4f, {{25, 50, 125, 99, 0}}},
        {"the second grid's anchors follow the first's", {3, 1, k3, 3, twoPer, masks},
         {Grid(2, 2, 3, 1), Grid(4, 4, 3, 1).Set(0, 2, 2, {0, 0, 0, 0, 3})}, 0.4f, {{113, 56, 138, 69, 0}}},
        {"objectness around the cut", {3, 1, k3, 3, onePer, masks},
         {Grid(2, 2, 3, 1).Set(0, 0, 0, {0, 0, 0, 0, -0.5f}).Set(0, 1, 1, {0, 0, 0, 0, -0.3f})}, 0.4f,
         {{125, 50, 175, 99, 0}}},
        {"kind 3, two classes by sigmoid: the first of equals", {3, 2, k3, 3, onePer, masks},
         {Grid(2, 2, 3, 2).Set(0, 1, 0, {0, 0, 0, 0, 3, 1, 1}).Set(0, 0, 1, {0, 0, 0, 0, 3, 0, 2})}, 0.5f,
         {{125, 0, 175, 50, 0}, {25, 50, 75, 99, 1}}},
        {"kind 2, two classes by softmax: equals fall under the score cut", {2, 2, k2, 3, onePer, nullptr},
         {Grid(2, 2, 3, 2).Set(0, 1, 0, {0, 0, 0, 0, 3, 1, 1}).Set(0, 0, 1, {0, 0, 0, 0, 3, 0, 2})}, 0.5f,
         {{25, 50, 75, 99, 1}}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<HD_GRID_S> view;
        for (const Grid& g : r.grids) {
            view.push_back(g.View());
        }
        std::vector<HD_CANDIDATE_S> cand;
        const int n = HdDecodeGrids(r.model, view.data(), static_cast<int>(view.size()), r.prob, 64, 64, cand);
        ASSERT_EQ(static_cast<int>(cand.size()), n);
        std::vector<HD_BOX_S> out(10);
        const int kept = HdSelectBoxes(cand.data(), n, r.prob, 0.5f, 10, 100, 200, out.data());
        std::vector<Pixels> got;
        for (int i = 0; i < kept; ++i) {
            got.push_back(Pixels{out[i].x0, out[i].y0, out[i].x1, out[i].y1, out[i].ClassIndex});
            EXPECT_GE(out[i].Score, r.prob);
        }
        EXPECT_EQ(r.boxes, got);
    }

    // The score: class probability x objectness.
    std::vector<HD_CANDIDATE_S> cand;
    const Grid two = Grid(2, 2, 3, 2).Set(0, 1, 0, {0, 0, 0, 0, 3, 0, 2});
    const HD_GRID_S v = two.View();
    ASSERT_EQ(1, HdDecodeGrids({2, 2, k2, 3, onePer, nullptr}, &v, 1, 0.5f, 64, 64, cand));
    EXPECT_NEAR(1 / (1 + std::exp(-2.0)) / (1 + std::exp(-3.0)), cand[0].Score, 1e-5);

    // The checks, each with its message.
    const Grid g = Grid(2, 2, 3, 1);
    const HD_GRID_S ok = g.View();
    const HD_GRID_S empty{nullptr, 2, 2, g.channels};
    const HD_GRID_S thin{g.data.data(), 2, 2, g.channels - 1};
    const struct {
        HD_DECODE_S model;
        const HD_GRID_S* grid;
        const char* message;
    } refused[] = {
        {{0, 1, k3, 3, onePer, masks}, &ok, "Error: It's a classification model. Please use Get_Prob()."},
        {{10, 1, k3, 3, onePer, masks}, &ok, "Error: Unknown detector."},
        {{3, 1, nullptr, 3, onePer, masks}, &ok, "Error: Cannot get detection without given related information."},
        {{3, 1, k3, 3, onePer, nullptr}, &ok, "Error: Cannot get detection without given related information."},
        {{3, 0, k3, 3, onePer, masks}, &ok, "Error: Cannot get detection without given related information."},
        {{3, 1, k3, 2, onePer, masks}, &ok, "Error: Cannot get detection without given related information."},
        {{3, 1, k3, 3, onePer, masks}, &thin, "Error: Cannot get detection without given related information."},
        {{3, 1, k3, 3, onePer, masks}, &empty, "Error: Please use Forward_Network() first."},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.message);
        const std::string out = Printed([&] { EXPECT_EQ(-1, HdDecodeGrids(r.model, r.grid, 1, 0.4f, 64, 64, cand)); });
        EXPECT_NE(std::string::npos, out.find(r.message)) << out;
        EXPECT_TRUE(cand.empty());
    }
}

// The input size in the area limits: scaled up to the minimum, down into the maximum (whole
// multiples of 32, at least one), else only rounded up.
TEST(HdDecode, TargetSizeInTheAreaLimits)
{
    const struct {
        int h, w, minArea, maxArea;
        int th, tw;
    } rows[] = {
        {288, 480, 0, 0, 288, 480},     {100, 100, 0, 0, 128, 128},   {100, 100, 40000, 0, 224, 224},
        {288, 480, 0, 16384, 96, 160},  {288, 480, 0, 100, 32, 32},   {288, 480, 1000, 200000, 288, 480},
        {100, 100, 40000, 40000, 224, 224},
    };
    for (const auto& r : rows) {
        int th = 0;
        int tw = 0;
        HdTargetSize(r.h, r.w, r.minArea, r.maxArea, 32, &th, &tw);
        EXPECT_EQ(r.th, th) << r.h << "x" << r.w << " " << r.minArea << ".." << r.maxArea;
        EXPECT_EQ(r.tw, tw) << r.h << "x" << r.w << " " << r.minArea << ".." << r.maxArea;
    }
}

// The area limits reach the forward pass; the entry points around the inference answer for a
// detector, with their messages.
TEST_F(HdLib, AreaLimitsAndTheEntryPointsAroundTheInference)
{
    Printed([&] { ASSERT_EQ(0, Init_Network(&mHandle, &mConfig)); });
    SetMemAvailable(4000);  // not enough for 480x288, enough for 160x96
    std::vector<uint8_t> px(480 * 288 * 3, 90);
    std::string out = Printed([&] { EXPECT_EQ(-1, Forward_Network(mHandle, px.data(), 288, 480, 3)); });
    EXPECT_NE(std::string::npos, out.find("480x288")) << out;
    const struct {
        int minArea, maxArea, result;
        const char* message;
    } limits[] = {
        {-1, 0, -1, "Error: area must be positive or zero (no constraint)."},
        {0, -5, -1, "Error: area must be positive or zero (no constraint)."},
        {20000, 16384, -1, "Error: if max_area > 0 and min_area > 0, then it should be max_area >= min_area."},
        {20000, 0, 0, ""},
        {0, 16384, 0, ""},
    };
    for (const auto& l : limits) {
        out = Printed([&] { EXPECT_EQ(l.result, Set_Area_Constraint(mHandle, l.minArea, l.maxArea)); });
        EXPECT_NE(std::string::npos, out.find(l.message)) << l.minArea << " " << l.maxArea << ": " << out;
    }
    out = Printed([&] { EXPECT_EQ(0, Forward_Network(mHandle, px.data(), 288, 480, 3)); });
    EXPECT_EQ(std::string::npos, out.find("Error")) << "scaled into 160x96: " << out;

    float values[4] = {};
    out = Printed([&] {
        EXPECT_EQ(1, Get_Num_Classes(mHandle));
        EXPECT_EQ(1, Get_Model_Type(mHandle));
        EXPECT_EQ(32, Get_Input_Align(mHandle));
        EXPECT_EQ(-1, Get_Prob(mHandle, values));
        EXPECT_EQ(-1, Get_Feature(mHandle, values));
        EXPECT_EQ(-1, Get_Feature_Size(mHandle));
        EXPECT_EQ(-1, Output_To_File(mHandle, nullptr));
        EXPECT_EQ(-1, Get_Model_Type(nullptr));
        Print_Version();
        Print_Options();
    });
    for (const char* line : {"Error: Current model is not a classifier, cannot use Get_Prob().",
                             "Error: Current model is not a feature extractor, cannot use Get_Feature().",
                             "Error: Only feature extractor can use Get_Feature_Size().",
                             "Error: Cannot output to file without given filename.",
                             "Error: Please use Init_Network() first.", "Version: ",
                             "#OPTION_AVOID_OOM=ON#\n#OPTION_MEMORY_MARGIN=0#\n#OPTION_INPUT_FORMAT=RGB#\n"}) {
        EXPECT_NE(std::string::npos, out.find(line)) << line << "\n" << out;
    }
    EXPECT_STRNE(Get_Model_Name(0), Get_Model_Name(1));
    EXPECT_EQ(nullptr, Get_Model_Name(2));
    EXPECT_EQ(nullptr, Get_Model_Name(-1));
    // The outputs of the pass, one candidate a line, into a file of the board.
    mSb.Write("/tmp/placeholder", "");
    out = Printed([&] { EXPECT_EQ(0, Output_To_File(mHandle, "/tmp/hd_out.txt")); });
    EXPECT_NE(std::string::npos, out.find("Output file: /tmp/hd_out.txt")) << out;
    EXPECT_TRUE(mSb.Exists("/tmp/hd_out.txt"));
}

namespace {

// A one-layer Darknet network: a 1x1 convolution over RGB whose six outputs are one anchor's box
// (0..3), objectness (4) and class (5). Only the objectness reads the picture: 20 x red - 10, so
// a red cell passes and any other stays far under the cut.
const char kTinyCfg[] = "[net]\nwidth=32\nheight=32\nchannels=3\n\n"
                        "[convolutional]\nfilters=6\nsize=1\nstride=1\npad=0\nactivation=linear\n";

// A weight file: the header (major, minor, revision, then the count of images seen, 64 bits
// from version 0.2 on) and `values` floats, each 0 but those given.
std::string Weights(size_t values, const std::vector<float>& given = {}, int32_t major = 0, int32_t minor = 2,
                    int32_t revision = 0)
{
    std::string w;
    auto put = [&w](const void* p, size_t n) { w.append(static_cast<const char*>(p), n); };
    const int32_t version[3] = {major, minor, revision};
    const uint64_t seen = 0;
    put(version, sizeof(version));
    put(&seen, major * 10LL + minor >= 2 ? sizeof(uint64_t) : sizeof(uint32_t));
    std::vector<float> v(values, 0.0f);
    std::copy_n(given.begin(), std::min(given.size(), values), v.begin());
    put(v.data(), v.size() * sizeof(float));
    return w;
}

// The one-layer network's: six biases, then six filters of three weights.
std::vector<float> TinyValues()
{
    std::vector<float> v(6 + 6 * 3, 0.0f);
    v[4] = -10;             // the objectness's bias
    v[6 + 4 * 3 + 0] = 20;  // and its weight on red
    return v;
}

std::string TinyWeights(size_t cutBytes = 0)
{
    std::string w = Weights(TinyValues().size(), TinyValues());
    w.resize(w.size() - cutBytes);
    return w;
}

constexpr uint32_t kTinyPassBytes = (3 + 6) * sizeof(float) * 16384;  // per 16384 input pixels

HD_EXTERNAL_MODEL_S TinyModel()
{
    static const float anchors[] = {8, 8};
    static const int perGrid[] = {1};
    static const int masks[] = {0};
    static const char* const outputs[] = {"conv_0"};
    // A pass holds the input's 3 and the convolution's 6 floats for every input pixel.
    return HD_EXTERNAL_MODEL_S{"/customer/hd/tiny.cfg", "/customer/hd/tiny.weights", HD_KIND_DETECTOR_MASK, 1, 3, 5,
                               4096, kTinyPassBytes, anchors, 1, perGrid, masks, outputs, 1};
}

}  // namespace

// A network from files: the forward pass leaves its grid, GetBBox decodes it into the box of the
// anchor around the one red pixel; every file or description it cannot use is refused whole.
TEST_F(HdLib, NetworkFromFilesFindsTheBoxAtItsPixelPlace)
{
    mSb.Write("/customer/hd/tiny.cfg", kTinyCfg);
    mSb.Write("/customer/hd/tiny.weights", TinyWeights());
    const HD_EXTERNAL_MODEL_S model = TinyModel();
    const char* const* outputs = model.OutputNames;
    mConfig = {32, 32, 0.4f, 0.5f, 1, 5, 0};
    std::string out = Printed([&] { ASSERT_EQ(0, Init_Network_From_Files(&mHandle, &mConfig, &model)); });
    ASSERT_NE(nullptr, mHandle) << out;
    EXPECT_EQ(1, Get_Model_Type(mHandle));
    EXPECT_EQ(32, Get_Input_Align(mHandle));

    // Red at (10, 20); blue at (3, 3) must not pass: the channels reach the network as RGB.
    std::vector<uint8_t> px(32 * 32 * 3, 0);
    px[(20 * 32 + 10) * 3 + 0] = 255;
    px[(3 * 32 + 3) * 3 + 2] = 255;
    Printed([&] { ASSERT_EQ(0, Forward_Network(mHandle, px.data(), 32, 32, 3)); });
    ASSERT_EQ(1, GetBBox(mHandle, 32, 32));
    // Centre (10.5, 20.5), the anchor 8 x 8 input pixels.
    const HD_BOX_S& b = mHandle->Boxes[0];
    EXPECT_EQ((std::vector<int>{7, 17, 15, 25, 0}), (std::vector<int>{b.x0, b.y0, b.x1, b.y1, b.ClassIndex}));
    EXPECT_NEAR(1 / (1 + std::exp(-10.0)), b.Score, 1e-4);
    // The same picture on a gray input: one channel becomes three of equal values.
    std::vector<uint8_t> gray(32 * 32, 0);
    gray[20 * 32 + 10] = 255;
    Printed([&] { ASSERT_EQ(0, Forward_Network(mHandle, gray.data(), 32, 32, 1)); });
    EXPECT_EQ(1, GetBBox(mHandle, 32, 32));
    Printed([&] { Release_Network(&mHandle); });

    mSb.Write("/customer/hd/bad.cfg", "[net]\nwidth=32\n[convolutional]\nfilters=oops\n");
    mSb.Write("/customer/hd/short.weights", TinyWeights(8));
    // Weight files of another length than the network's, or with a header no writer makes.
    mSb.Write("/customer/hd/junk.weights", TinyWeights() + "junk");
    mSb.Write("/customer/hd/larger.weights", Weights(2 * TinyValues().size(), TinyValues()));
    mSb.Write("/customer/hd/major.weights", Weights(TinyValues().size(), TinyValues(), -214748365, 2, 0));
    mSb.Write("/customer/hd/revision.weights", Weights(TinyValues().size(), TinyValues(), 0, 2, -1));
    mSb.Write("/customer/hd/minor.weights", Weights(TinyValues().size(), TinyValues(), 0, -8, 0));
    const char* const noLayer[] = {"conv_7"};
    const struct {
        const char* what;
        const char* cfg;
        const char* weights;
        const char* const* outputs;
        int outputCount;
        int channels;
    } refused[] = {
        {"no parameter file", "/customer/hd/none.cfg", "/customer/hd/tiny.weights", outputs, 1, 3},
        {"no weight file", "/customer/hd/tiny.cfg", "/customer/hd/none.weights", outputs, 1, 3},
        {"a folder for a file", "/customer/hd", "/customer/hd/tiny.weights", outputs, 1, 3},
        {"parameters OpenCV refuses", "/customer/hd/bad.cfg", "/customer/hd/tiny.weights", outputs, 1, 3},
        {"weights cut short", "/customer/hd/tiny.cfg", "/customer/hd/short.weights", outputs, 1, 3},
        {"junk behind the weights", "/customer/hd/tiny.cfg", "/customer/hd/junk.weights", outputs, 1, 3},
        {"a larger network's weights", "/customer/hd/tiny.cfg", "/customer/hd/larger.weights", outputs, 1, 3},
        {"a major version times ten past 32 bits", "/customer/hd/tiny.cfg", "/customer/hd/major.weights", outputs, 1, 3},
        {"a negative revision", "/customer/hd/tiny.cfg", "/customer/hd/revision.weights", outputs, 1, 3},
        {"a negative minor version", "/customer/hd/tiny.cfg", "/customer/hd/minor.weights", outputs, 1, 3},
        {"an output the network lacks", "/customer/hd/tiny.cfg", "/customer/hd/tiny.weights", noLayer, 1, 3},
        {"no output named", "/customer/hd/tiny.cfg", "/customer/hd/tiny.weights", outputs, 0, 3},
        {"two channels", "/customer/hd/tiny.cfg", "/customer/hd/tiny.weights", outputs, 1, 2},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.what);
        HD_EXTERNAL_MODEL_S m = model;
        m.ParamFile = r.cfg;
        m.WeightFile = r.weights;
        m.OutputNames = r.outputs;
        m.OutputCount = r.outputCount;
        m.Channels = r.channels;
        out = Printed([&] { EXPECT_EQ(-1, Init_Network_From_Files(&mHandle, &mConfig, &m)); });
        EXPECT_EQ(nullptr, mHandle);
        EXPECT_NE(std::string::npos, out.find("Error: Failed to activate model.")) << out;
    }
    out = Printed([&] { EXPECT_EQ(-1, Init_Network_From_Files(&mHandle, &mConfig, nullptr)); });
    EXPECT_NE(std::string::npos, out.find("Error: Failed to activate model.")) << out;
}

// Parameter files on which OpenCV's Darknet reader crashes the process (an index far out of
// range, a group count of 0), or which it takes and the forward pass would not survive, or which
// would make it allocate past the memory the caller gave: each is the one-layer network with
// one section or line more, and its weight file is the one-layer network's, which is exactly what
// a layer without weights leaves it.
TEST_F(HdLib, ParameterFilesTheReaderCannotSurviveAreRefused)
{
    const std::string tiny = kTinyCfg;
    const std::string layer = tiny.substr(tiny.find("[convolutional]"));
    const std::string small = "[net]\nwidth=8\nheight=8\nchannels=1\n";
    const struct {
        const char* what;
        std::string cfg;
    } refused[] = {
        {"route far back", tiny + "[route]\nlayers=-1000000000\n"},
        {"route far ahead", tiny + "[route]\nlayers=1000000000\n"},
        {"route to itself", tiny + "[route]\nlayers=1\n"},
        {"route to a layer after it", tiny + "[route]\nlayers=0,2\n[maxpool]\n"},
        {"route into no groups", tiny + "[route]\nlayers=-1\ngroups=0\n"},
        {"route to a group it has not", tiny + "[route]\nlayers=-1\ngroups=2\ngroup_id=2\n"},
        {"route groups not dividing the channels", tiny + "[route]\nlayers=-1\ngroups=4\n"},
        {"route with no layers", tiny + "[route]\nlayers=,\n"},
        {"convolution in no groups", tiny + "[convolutional]\nfilters=6\nsize=1\ngroups=0\n"},
        {"convolution of stride 0", tiny + "[convolutional]\nfilters=6\nsize=1\nstride=0\n"},
        {"convolution of no filters", tiny + "[convolutional]\nfilters=0\nsize=1\n"},
        {"convolution of size 0", tiny + "[convolutional]\nfilters=6\nsize=0\n"},
        {"convolution with negative padding", tiny + "[convolutional]\nfilters=6\nsize=3\npadding=-3\n"},
        {"convolution wider than its input", small + "[convolutional]\nfilters=1\nsize=9\n"},
        {"convolution wider than its input, in strides", small + "[convolutional]\nfilters=1\nsize=9\nstride=2\n"},
        {"max pool wider than its input", small + "[maxpool]\nsize=9\nstride=2\npadding=0\n"},
        {"filters past the memory given", tiny + "[convolutional]\nfilters=16384\nsize=1\n"},
        {"max pool of size 0", tiny + "[maxpool]\nsize=0\nstride=1\n"},
        {"max pool of stride 0", tiny + "[maxpool]\nsize=2\nstride=0\n"},
        {"upsample of stride 0", tiny + "[upsample]\nstride=0\n"},
        {"upsample of negative stride", tiny + "[upsample]\nstride=-2\n"},
        {"upsample past the largest side", tiny + "[upsample]\nstride=1000\n"},
        {"reorg of stride 0", tiny + "[reorg]\nstride=0\n"},
        {"reorg past the side", tiny + "[reorg]\nstride=64\n"},
        {"shortcut far back", tiny + "[shortcut]\nfrom=-1000000\n"},
        {"scaling from far ahead", tiny + "[scale_channels]\nfrom=100000\n"},
        {"attention from far ahead", tiny + "[sam]\nfrom=100000\n"},
        {"yolo mask past its anchors", tiny + "[yolo]\nmask=0,7\nanchors=1,2,3,4\nnum=2\nclasses=1\n"},
        {"yolo negative mask", tiny + "[yolo]\nmask=-3\nanchors=1,2,3,4\nnum=2\nclasses=1\n"},
        {"yolo anchors not num pairs", tiny + "[yolo]\nmask=0\nanchors=1,2,3\nnum=2\nclasses=1\n"},
        {"yolo anchor not a number", tiny + "[yolo]\nmask=0\nanchors=1,2,3,nan\nnum=2\nclasses=1\n"},
        {"yolo of no classes", tiny + "[yolo]\nmask=0\nanchors=1,2\nnum=1\nclasses=0\n"},
        {"region with other coordinates", tiny + "[region]\nanchors=1,2\nnum=1\nclasses=1\ncoords=0\n"},
        {"a layer kind not known", tiny + "[crop]\ncrop_width=8\n"},
        {"a key that makes a max pool a route far back", tiny + "[maxpool]\nlayer_type=route\nlayers=-1000000000\n"},
        {"a second net section", tiny + "[net]\nwidth=64\n"},
        {"an input past the largest side", "[net]\nwidth=100000\nheight=32\n" + layer},
        {"an input of no channels", "[net]\nwidth=32\nheight=32\nchannels=0\n" + layer},
        {"a key before any section", "width=32\n" + tiny},
        {"no net section first", layer},
        {"no layer", "[net]\nwidth=32\nheight=32\n"},
        {"a count the reader reads otherwise", tiny + "[maxpool]\nsize=2\nstride=0x1\n"},
        {"blanks inside a count", tiny + "[maxpool]\nsize=2\nstride=1 1\n"},
        {"a byte the reader drops", tiny + "[maxpool]\nsize=2\nstride=1\xff" "1\n"},
        {"a line without a key", tiny + "[maxpool]\nsize\n"},
    };
    HD_EXTERNAL_MODEL_S model = TinyModel();
    mSb.Write("/customer/hd/tiny.weights", TinyWeights());
    mConfig = {32, 32, 0.4f, 0.5f, 1, 5, 0};
    for (const auto& r : refused) {
        SCOPED_TRACE(r.what);
        mSb.Write("/customer/hd/tiny.cfg", r.cfg);
        EXPECT_EQ(-1, HdDarknetValues(r.cfg, model.ActivateBytes));
        const std::string out = Printed([&] { EXPECT_EQ(-1, Init_Network_From_Files(&mHandle, &mConfig, &model)); });
        EXPECT_EQ(nullptr, mHandle);
        EXPECT_NE(std::string::npos, out.find("Error: Failed to activate model.")) << out;
        if (mHandle != nullptr) {
            Printed([&] { Release_Network(&mHandle); });
        }
    }
}

// Parameter files of every kind of layer the check knows, as Darknet's own networks write them:
// each loads with a weight file of exactly the values counted here by hand (OpenCV's network must
// hold as many), and not with a byte less of memory given than those values take.
TEST_F(HdLib, ParameterFilesOfEveryKnownLayerLoad)
{
    const std::string net = "# a comment\n[net]\nbatch=64\nwidth=32\nheight=32\nchannels=3\nlearning_rate=0.001\n"
                            "steps=400000,450000\n\n";
    const std::string yolo = "[yolo]\nmask = 0,1,2\nanchors = 10,14,  23,27,  37,58\nclasses=1\nnum=3\n"
                             "jitter=.3\nignore_thresh = .7\nrandom=1\n";
    const struct {
        const char* what;
        std::string cfg;
        size_t values;
    } loads[] = {
        {"the one-layer network", kTinyCfg, 6 * 3 + 6},
        {"the one-layer network with DOS line ends and blanks around its signs",
         "[net]\r\nwidth = 32\r\nheight=32\r\nchannels=3\r\n\r\n[convolutional]\r\nfilters= 6\r\nsize =1\r\n"
         "activation=linear\r\n",
         6 * 3 + 6},
        {"a small YOLO in two scales",
         net + "[convolutional]\nbatch_normalize=1\nfilters=4\nsize=3\nstride=1\npad=1\nactivation=leaky\n"
               "[maxpool]\nsize=2\nstride=2\n"
               "[convolutional]\nbatch_normalize=1\nfilters=8\nsize=3\nstride=1\npad=1\nactivation=leaky\n"
               "[maxpool]\nsize=2\nstride=1\n"
               "[convolutional]\nsize=1\nstride=1\npad=1\nfilters=18\nactivation=linear\n" + yolo +
               "[route]\nlayers = -3\n"
               "[convolutional]\nbatch_normalize=1\nfilters=4\nsize=1\nstride=1\npad=1\nactivation=leaky\n"
               "[upsample]\nstride=2\n"
               "[route]\nlayers = -1, 0\n"
               "[convolutional]\nsize=1\nstride=1\npad=1\nfilters=18\nactivation=linear\n" + yolo,
         // 3x3 convolutions with batch norm (weights, then bias, scale, mean, variance), 1x1 ones
         // with biases; the route after the upsample takes 4 + 4 channels.
         (4 * 3 * 9 + 4 * 4) + (8 * 4 * 9 + 8 * 4) + (18 * 8 + 18) + (4 * 8 + 4 * 4) + (18 * 8 + 18)},
        {"groups, a route to one half, shortcut and reorg",
         net + "[convolutional]\nfilters=8\nsize=3\npad=1\nactivation=mish\n"
               "[convolutional]\nfilters=8\nsize=3\npad=1\ngroups=8\nactivation=leaky\n"
               "[route]\nlayers=-1\ngroups=2\ngroup_id=1\n"
               "[convolutional]\nfilters=8\nsize=1\nactivation=linear\n"
               "[shortcut]\nfrom=-3\nactivation=linear\n"
               "[reorg]\nstride=2\n"
               "[convolutional]\nfilters=6\nsize=1\nactivation=logistic\n"
               "[region]\nanchors=1,1,2,2\nnum=2\nclasses=1\ncoords=4\nsoftmax=1\n",
         (8 * 3 * 9 + 8) + (8 * 1 * 9 + 8) + (8 * 4 + 8) + (6 * 32 + 6)},
        {"a classifier: pooling, dropout, connected, softmax",
         net + "[convolutional]\nfilters=4\nsize=3\nstride=2\npad=1\nactivation=relu\n"
               "[maxpool]\nsize=2\nstride=2\n"
               "[dropout]\nprobability=.5\n"
               "[connected]\noutput=5\nactivation=linear\n"
               "[softmax]\ngroups=1\n",
         // 32 -> 16 by the convolution, 8 by the pool: 4 x 8 x 8 inputs of the connected layer.
         (4 * 3 * 9 + 4) + (5 * 4 * 8 * 8 + 5)},
        {"a global average pool", net + "[convolutional]\nfilters=4\nsize=1\nactivation=linear\n[avgpool]\n"
                                        "[connected]\noutput=2\nactivation=linear\n",
         (4 * 3 + 4) + (2 * 4 + 2)},
    };
    mConfig = {32, 32, 0.4f, 0.5f, 1, 5, 0};
    for (const auto& r : loads) {
        SCOPED_TRACE(r.what);
        HD_EXTERNAL_MODEL_S model = TinyModel();
        model.ActivateBytes = static_cast<uint32_t>(r.values * sizeof(float));
        mSb.Write("/customer/hd/tiny.cfg", r.cfg);
        mSb.Write("/customer/hd/tiny.weights", Weights(r.values));
        EXPECT_EQ(static_cast<int64_t>(r.values), HdDarknetValues(r.cfg, model.ActivateBytes));
        std::string out = Printed([&] { EXPECT_EQ(0, Init_Network_From_Files(&mHandle, &mConfig, &model)); });
        ASSERT_NE(nullptr, mHandle) << out;
        Printed([&] { Release_Network(&mHandle); });
        model.ActivateBytes -= 1;
        EXPECT_EQ(-1, HdDarknetValues(r.cfg, model.ActivateBytes));
        out = Printed([&] { EXPECT_EQ(-1, Init_Network_From_Files(&mHandle, &mConfig, &model)); });
        EXPECT_NE(std::string::npos, out.find("Error: Failed to activate model.")) << out;
        EXPECT_EQ(nullptr, mHandle);
    }
    // A weight file of version 0.1 counts the images seen in 32 bits.
    HD_EXTERNAL_MODEL_S model = TinyModel();
    mSb.Write("/customer/hd/tiny.cfg", kTinyCfg);
    mSb.Write("/customer/hd/tiny.weights", Weights(TinyValues().size(), TinyValues(), 0, 1, 0));
    const std::string out = Printed([&] { EXPECT_EQ(0, Init_Network_From_Files(&mHandle, &mConfig, &model)); });
    EXPECT_NE(nullptr, mHandle) << out;
}

// A network declared for 416 x 416 whose first kernel is 66 wide in strides of 11: at an input
// of 32 x 32 no output is left (OpenCV's own sizing goes below 0 and asks for a buffer of a
// wrapped-round size); at 96 x 96 it runs. Each input size is judged anew.
TEST_F(HdLib, PassOnAnInputNarrowerThanAKernelIsRefused)
{
    const size_t values = 1 * 3 * 66 * 66 + 1;
    mSb.Write("/customer/hd/tiny.cfg", "[net]\nwidth=416\nheight=416\nchannels=3\n"
                                       "[convolutional]\nfilters=1\nsize=66\nstride=11\nactivation=linear\n");
    mSb.Write("/customer/hd/tiny.weights", Weights(values));
    HD_EXTERNAL_MODEL_S model = TinyModel();
    model.ActivateBytes = static_cast<uint32_t>(values * sizeof(float));
    model.InferBytes = 4 * sizeof(float) * 16384;  // the input's 3 floats a pixel and a few more
    mConfig = {32, 32, 0.4f, 0.5f, 1, 5, 0};
    std::string out = Printed([&] { ASSERT_EQ(0, Init_Network_From_Files(&mHandle, &mConfig, &model)); });
    ASSERT_NE(nullptr, mHandle) << out;
    std::vector<uint8_t> px(96 * 96 * 3, 0);
    out = Printed([&] { EXPECT_EQ(-1, Forward_Network(mHandle, px.data(), 32, 32, 3)); });
    EXPECT_NE(std::string::npos, out.find("Error: Failed to do Foward_Network()")) << out;
    EXPECT_EQ(0, GetBBox(mHandle, 32, 32));
    mConfig.InputHeight = 96;
    mConfig.InputWidth = 96;
    out = Printed([&] { EXPECT_EQ(0, Forward_Network(mHandle, px.data(), 96, 96, 3)); });
    mConfig.InputHeight = 32;
    mConfig.InputWidth = 32;
    out = Printed([&] { EXPECT_EQ(-1, Forward_Network(mHandle, px.data(), 32, 32, 3)); });
}

// A pass whose layers' outputs take more than the memory the description gives for it is refused
// before OpenCV allocates them: the memory check went by that figure.
TEST_F(HdLib, PassLargerThanTheMemoryGivenIsRefused)
{
    mSb.Write("/customer/hd/tiny.cfg", kTinyCfg);
    mSb.Write("/customer/hd/tiny.weights", TinyWeights());
    HD_EXTERNAL_MODEL_S model = TinyModel();
    model.InferBytes = kTinyPassBytes - 1;
    mConfig = {32, 32, 0.4f, 0.5f, 1, 5, 0};
    std::string out = Printed([&] { ASSERT_EQ(0, Init_Network_From_Files(&mHandle, &mConfig, &model)); });
    ASSERT_NE(nullptr, mHandle) << out;
    std::vector<uint8_t> px(32 * 32 * 3, 0);
    out = Printed([&] { EXPECT_EQ(-1, Forward_Network(mHandle, px.data(), 32, 32, 3)); });
    EXPECT_NE(std::string::npos, out.find("Error: Memory is not enough to inference 32x32 image by current model."))
        << out;
    Printed([&] { Release_Network(&mHandle); });
    model.InferBytes = kTinyPassBytes;
    out = Printed([&] { ASSERT_EQ(0, Init_Network_From_Files(&mHandle, &mConfig, &model)); });
    out = Printed([&] { EXPECT_EQ(0, Forward_Network(mHandle, px.data(), 32, 32, 3)); });
}
