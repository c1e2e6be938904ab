// The person detector on the door scene, end to end on the simulated board: each photograph
// pasted onto the wall at five heights and three places, written as the door camera's file
// (frame A the wall, frame B the wall with the photograph), captured through the scaler and the
// detection copy (DIVP), compared and converted on the image engine and counted by
// HumanDetectProc. Persons found and false alarms of the unit's network are printed and held to
// a floor.
#include "Media/HumanDetect.h"
#include "detect_test_util.h"
#include "sandbox.h"
#include "scene.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// The scaler's port for the detection copy has this size: a larger camera only costs time.
constexpr int kCameraWidth = 640;
constexpr int kCameraHeight = 360;
const int kHeights[] = {288, 240, 192, 144, 112};
const double kPositions[] = {0.1, 0.5, 0.9};
const char* const kPersons[] = {"astronaut.png", "camera.png"};
const char* const kNegatives[] = {"brick.png", "grass.png", "gravel.png", "coffee.png", "chelsea.png",
                                  "coins.png", "rocket.jpg", "text.png", "color.png"};

int gForwards = 0;

int CountForward(HD_NETWORK_S* h, const uint8_t* pixels, int height, int width, int channels)
{
    ++gForwards;
    return Forward_Network(h, pixels, height, width, channels);
}

struct Tally {
    int found = 0;  // placements of the photograph with at least one person
    int placements = 0;
    int whole = 0;  // placements that cover the whole picture (nothing to compare)
};

class HumanQuality : public testing::Test {
protected:
    void SetUp() override
    {
        MiSimReset();
        MiSimSetManualClock(true);
        ASSERT_EQ(0, MI_SYS_Init());
        ASSERT_EQ(0, BuildDetectChain(kCameraWidth, kCameraHeight));
        gForwards = 0;
        gHumanDetectOps.Forward = CountForward;
        const cv::Mat wall = SceneLoad(std::string(DOORPHONE_PHOTO_DIR) + "/brick.png");
        ASSERT_FALSE(wall.empty());
        cv::resize(wall, mWall, cv::Size(kCameraWidth, kCameraHeight), 0, 0, cv::INTER_AREA);
    }
    void TearDown() override
    {
        testing::internal::CaptureStdout();
        HumanDetectDeInit();
        testing::internal::GetCapturedStdout();
        MiSimReset();
    }

    // The camera file: the wall, then the wall with the photograph; renamed into place, so the
    // camera starts on the new file's first frame.
    void WriteCamera(const cv::Mat& photo, const cv::Rect& where) const
    {
        const std::string path = mSb.Path("/.board/camera_door0.yuv");
        FILE* f = fopen((path + ".tmp").c_str(), "wb");
        ASSERT_NE(nullptr, f);
        for (const cv::Mat* p : {static_cast<const cv::Mat*>(nullptr), &photo}) {
            const std::vector<uint8_t> frame = SceneFrame(mWall, p, where, kCameraWidth, kCameraHeight);
            ASSERT_EQ(frame.size(), fwrite(frame.data(), 1, frame.size(), f));
        }
        ASSERT_EQ(0, fclose(f));
        ASSERT_EQ(0, rename((path + ".tmp").c_str(), path.c_str()));
    }

    // One pass of the detector on frames A and B of each placement of the photograph.
    Tally Run(const char* name)
    {
        Tally t;
        const cv::Mat photo = SceneLoad(std::string(DOORPHONE_PHOTO_DIR) + "/" + name);
        EXPECT_FALSE(photo.empty()) << name;
        for (int height : kHeights) {
            for (double position : kPositions) {
                const cv::Rect where = ScenePlace(photo, height, position, kCameraWidth, kCameraHeight);
                WriteCamera(photo, where);
                t.whole += where == cv::Rect(0, 0, kCameraWidth, kCameraHeight);
                MI_SYS_BufInfo_t a{}, b{};
                MI_SYS_BUF_HANDLE ha = 0, hb = 0;
                EXPECT_EQ(0, CaptureDetectFrame(&a, &ha));
                EXPECT_EQ(0, CaptureDetectFrame(&b, &hb));
                const int persons = HumanDetectProc(&a, &b);
                MI_SYS_ChnOutputPortPutBuf(hb);
                MI_SYS_ChnOutputPortPutBuf(ha);
                t.found += persons > 0;
                ++t.placements;
            }
        }
        return t;
    }

    // Persons found and false alarms of the unit's network, printed as a table.
    void Table(int* found, int* persons, int* alarms, int* negatives)
    {
        testing::internal::CaptureStdout();
        HumanDetectInit();
        // The figures, not the time, are the point here: the library's whole pool.
        HumanDetectConfig().NumThreads = 0;
        testing::internal::GetCapturedStdout();
        *found = *persons = *alarms = *negatives = 0;
        int whole = 0;
        printf("network 0         found / placements\n");
        for (const char* name : kPersons) {
            const Tally t = Run(name);
            printf("  person %-12s %2d / %d\n", name, t.found, t.placements);
            *found += t.found;
            *persons += t.placements;
            whole += t.whole;
        }
        for (const char* name : kNegatives) {
            const Tally t = Run(name);
            printf("  other  %-12s %2d / %d\n", name, t.found, t.placements);
            *alarms += t.found;
            *negatives += t.placements;
            whole += t.whole;
        }
        printf("network 0: %d of %d persons found, %d false alarms in %d placements\n", *found, *persons,
               *alarms, *negatives);
        // Every placement that left some of the wall reached the detector; a photograph over the
        // whole picture changed everything, which is no region.
        EXPECT_EQ(*persons + *negatives - whole, gForwards);
        EXPECT_EQ(3, whole) << "text.png, at the full height, covers the picture at each place";
    }

    TestSandbox mSb;
    cv::Mat mWall;
};

}  // namespace

TEST_F(HumanQuality, VisitorDetectorOnTheDoorScene)
{
    int found = 0, persons = 0, alarms = 0, negatives = 0;
    Table(&found, &persons, &alarms, &negatives);
    EXPECT_EQ(30, persons);
    EXPECT_EQ(135, negatives);
    EXPECT_GE(found, 18) << "persons found";
    EXPECT_LE(alarms, 8) << "false alarms";
}

