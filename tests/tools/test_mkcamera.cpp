// mkcamera: the door camera's file of a sandbox from a photograph, and its refusals.
#include "process.h"
#include "sandbox.h"
#include "scene.h"

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

// Two frames at the camera's size: the wall, then the wall with the photograph standing on the
// bottom edge, as high as asked in the detection picture; nothing else differs.
TEST(Mkcamera, WallThenWallWithThePhotograph)
{
    TestSandbox sb;
    const std::string photo = std::string(DOORPHONE_PHOTO_DIR) + "/astronaut.png";
    std::string out;
    ASSERT_EQ(0, Mkcamera({sb.Root(), photo, "--size", "640x360", "--height", "144", "--position", "1"}, &out)) << out;
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
    EXPECT_EQ(1, Mkcamera({sb.Root() + "/nowhere", photo}, &out));
    EXPECT_NE(std::string::npos, out.find("cannot write")) << out;
}
