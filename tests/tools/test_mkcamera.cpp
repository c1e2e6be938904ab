// mkcamera: the door camera's file of a sandbox from a photograph, and its refusals.
#include "process.h"
#include "sandbox.h"
#include "scene.h"
#include "tool_refusal.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/wait.h>

using namespace std::chrono_literals;

namespace {

int Mkcamera(const std::vector<std::string>& args, std::string* out = nullptr)
{
    std::vector<std::string> argv{BinaryDir() + "/tools/mkcamera"};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess p(argv);
    const int status = p.WaitExit(60s);
    if (out != nullptr) {
        *out = p.Output();
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

// --blink: two frames at the camera's size, the wall, then the wall with the photograph standing
// on the bottom edge, as high as asked in the detection picture; nothing else differs.
TEST(Mkcamera, WallThenWallWithThePhotograph)
{
    TestSandbox sb;
    const std::string photo = std::string(DOORPHONE_PHOTO_DIR) + "/astronaut.png";
    std::string out;
    ASSERT_EQ(0, Mkcamera({sb.Root(), photo, "--size", "640x360", "--height", "144", "--position", "1", "--blink"}, &out))
        << out;
    const std::string file = sb.Read("/.board/camera_door0.yuv");
    const size_t frame = 640 * 360 * 3 / 2;
    ASSERT_EQ(2 * frame, file.size());
    EXPECT_FALSE(sb.Exists("/.board/camera_door0.yuv.tmp"));
    // 144 of 288 lines: half the camera's height, square like the photograph, at the right edge.
    const cv::Rect expect(640 - 180, 180, 180, 180);
    int inside = 0;
    int outside = 0;
    for (int y = 0; y < 360; ++y) {
        for (int x = 0; x < 640; ++x) {
            const bool differs = file[y * 640 + x] != file[frame + y * 640 + x];
            (expect.contains(cv::Point(x, y)) ? inside : outside) += differs;
        }
    }
    EXPECT_GT(inside, 180 * 180 * 3 / 4) << out;
    EXPECT_EQ(0, outside) << out;

    // Refusals: a photograph that cannot be read, a wrong size, an unknown option.
    EXPECT_EQ(1, Mkcamera({sb.Root(), std::string(DOORPHONE_PHOTO_DIR) + "/missing.png"}, &out));
    EXPECT_NE(std::string::npos, out.find("cannot read the picture")) << out;
    EXPECT_EQ(2, Mkcamera({sb.Root(), photo, "--size", "641x360"}));
    EXPECT_EQ(2, Mkcamera({sb.Root(), photo, "--height", "300"}));
    EXPECT_EQ(2, Mkcamera({sb.Root(), photo, "--colour", "red"}));
    // A sandbox whose camera file cannot be written (a folder in the way of the file aside).
    std::filesystem::create_directories(sb.Root() + "/.board/camera_door0.yuv.tmp/x");
    EXPECT_EQ(1, Mkcamera({sb.Root(), photo}, &out));
    EXPECT_NE(std::string::npos, out.find("cannot write")) << out;
    std::filesystem::remove_all(sb.Root() + "/.board/camera_door0.yuv.tmp");
}

// Without --blink, a photograph with no wall beside it: the tool draws its own wall, and the
// visitor stands on the bottom edge in every frame of a 2 s loop, swaying and leaning a little
// from frame to frame, the last frame leading into the first as smoothly as any other.
TEST(Mkcamera, TheVisitorStaysAndMovesALittle)
{
    TestSandbox sb;
    const std::string photo = sb.Path("/visitor.png");
    std::filesystem::copy_file(std::string(DOORPHONE_PHOTO_DIR) + "/astronaut.png", photo);
    std::string out;
    ASSERT_EQ(0, Mkcamera({sb.Root(), photo, "--size", "640x360", "--height", "144"}, &out)) << out;
    const std::string file = sb.Read("/.board/camera_door0.yuv");
    const size_t frame = 640 * 360 * 3 / 2;
    ASSERT_EQ(50 * frame, file.size()) << "2 s at 25 frames a second";
    EXPECT_FALSE(sb.Exists("/.board/camera_door0.yuv.tmp"));
    const std::vector<uint8_t> wall = SceneFrame(SceneWall(640, 360), nullptr, cv::Rect(), 640, 360);
    // The visitor's box in each frame: where its picture differs from the empty wall.
    std::vector<cv::Rect> boxes;
    for (size_t f = 0; f < 50; ++f) {
        int x0 = 640, y0 = 360, x1 = -1, y1 = -1;
        for (int y = 0; y < 360; ++y) {
            for (int x = 0; x < 640; ++x) {
                if (uint8_t(file[f * frame + y * 640 + x]) != wall[y * 640 + x]) {
                    x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
                }
            }
        }
        ASSERT_GE(x1, 0) << "frame " << f << " shows no visitor";
        boxes.emplace_back(x0, y0, x1 - x0 + 1, y1 - y0 + 1);
    }
    // 144 of 288 lines: about 180 of 360 high, square, feet on the bottom edge, near the middle.
    int left = 640;
    int right = 0;
    int moves = 0;  // frames that differ from the next
    for (size_t f = 0; f < boxes.size(); ++f) {
        const cv::Rect& b = boxes[f];
        const cv::Rect& next = boxes[(f + 1) % boxes.size()];
        EXPECT_EQ(360, b.y + b.height) << "frame " << f;
        EXPECT_NEAR(180, b.height, 180 * 0.03) << "frame " << f;
        EXPECT_NEAR(320, b.x + b.width / 2.0, 10) << "frame " << f;
        // Small steps from each frame to the next, the loop's seam included.
        EXPECT_LE(std::abs(next.x - b.x), 3) << "frame " << f;
        EXPECT_LE(std::abs(next.height - b.height), 3) << "frame " << f;
        moves += std::memcmp(file.data() + f * frame, file.data() + ((f + 1) % 50) * frame, frame) != 0;
        left = std::min(left, b.x);
        right = std::max(right, b.x);
    }
    EXPECT_GE(right - left, 6) << "the visitor sways";
    // Steps below a pixel of this small picture leave a frame like the one before now and then.
    EXPECT_GE(moves, 25) << "the visitor stands still";
}

// Wrong options and values are refused with status 2, saying what is wrong and the usage, and
// nothing is written.
TEST(Mkcamera, RefusesBadInputs)
{
    TestSandbox sb;
    const std::string tool = BinaryDir() + "/tools/mkcamera";
    const std::string photo = std::string(DOORPHONE_PHOTO_DIR) + "/astronaut.png";
    // Any folder with a .board in it is no sandbox: the camera's 155 MB never go there.
    const std::string fake = sb.Root() + "/tmp/fake";
    std::filesystem::create_directories(fake + "/.board");
    ExpectRefusals(tool, {
        {{}, "mkcamera: no board root"},
        {{fake, photo}, "mkcamera: the board root " + fake + " is not a sandbox"},
        {{sb.Root() + "/nothing", photo}, "mkcamera: the board root " + sb.Root() + "/nothing does not exist"},
        {{sb.Root()}, "mkcamera: no photograph"},
        {{sb.Root(), photo, "--colour", "red"}, "mkcamera: unknown option --colour"},
        {{sb.Root(), photo, "--size"}, "mkcamera: --size needs a value"},
        {{sb.Root(), photo, "--wall", ""}, "mkcamera: --wall needs a value"},
        {{sb.Root(), photo, "--size", "641x360"}, "mkcamera: --size takes WxH, even whole numbers from 2 to 4096, not '641x360'"},
        {{sb.Root(), photo, "--size", "640"}, "mkcamera: --size takes WxH"},
        {{sb.Root(), photo, "--size", "640x360x2"}, "mkcamera: --size takes WxH"},
        {{sb.Root(), photo, "--size", "8192x4096", "--blink"}, "mkcamera: --size takes WxH"},
        {{sb.Root(), photo, "--size", "2560x1440"}, "mkcamera: a moving visitor is at most 1920x1080"},
        {{sb.Root(), photo, "--height", "300"}, "mkcamera: --height takes lines from 1 to 288, not '300'"},
        {{sb.Root(), photo, "--height", "0"}, "mkcamera: --height takes lines from 1 to 288, not '0'"},
        {{sb.Root(), photo, "--height", "12a"}, "mkcamera: --height takes lines from 1 to 288, not '12a'"},
        {{sb.Root(), photo, "--position", "2"}, "mkcamera: --position takes a number from 0 to 1, not '2'"},
        {{sb.Root(), photo, "--position", "left"}, "mkcamera: --position takes a number from 0 to 1, not 'left'"},
    }, {"usage: mkcamera ROOT PHOTO"});
    EXPECT_FALSE(sb.Exists("/.board/camera_door0.yuv"));
    EXPECT_FALSE(sb.Exists("/.board/camera_door0.yuv.tmp"));
    EXPECT_TRUE(std::filesystem::is_empty(fake + "/.board")) << "it wrote into a folder that is no sandbox";
}
