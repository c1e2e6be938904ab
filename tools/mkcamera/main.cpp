// mkcamera ROOT PHOTO [--size WxH] [--height N] [--position P] [--wall FILE] [--blink]
// Writes the door camera of a sandbox, "<ROOT>/.board/camera_door0.yuv", which the simulated
// camera loops from its first frame on: a visitor (the photograph) standing at the door in front
// of a wall, N lines high in the detection picture (default 192 of 288), at P (0 left .. 1 right,
// default 0.5), at the camera's size (default 1920x1080, the decoder's default signal). The wall
// is drawn here unless --wall names a picture.
// By default the visitor stays and moves a little: 2 s of frames (50 at the camera's 25 a
// second) in which the visitor sways from side to side and leans in and back, ending where they
// began, so the loop has no seam. --blink writes two frames instead, the wall and the wall with
// the photograph: the visitor comes and goes every frame, and the detection's frames 120 ms apart
// see motion at every pass (what the suites rely on).
#include "scene.h"
#include "../sandbox_rule.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// The moving scene: its length, and its largest picture (the file stays near 155 MB).
constexpr int kMovingFrames = 50;
constexpr int kMovingMaxWidth = 1920;
constexpr int kMovingMaxHeight = 1080;
// How far the visitor sways (each way) and leans, as parts of their height.
constexpr double kSway = 0.03;
constexpr double kLean = 0.02;

void Usage()
{
    fprintf(stderr, "usage: mkcamera ROOT PHOTO [--size WxH] [--height N] [--position P] [--wall FILE] [--blink]\n"
                    "  (--blink: two frames, the wall and the wall with the photograph, for the suites)\n");
}

int Refuse(const std::string& why)
{
    fprintf(stderr, "mkcamera: %s\n", why.c_str());
    Usage();
    return 2;
}

// A whole number from lo to hi, all of the text.
bool Whole(const char* text, long lo, long hi, int* out)
{
    char* end = nullptr;
    errno = 0;
    const long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < lo || v > hi || text[0] == '+' || text[0] == ' ') {
        return false;
    }
    *out = static_cast<int>(v);
    return true;
}

// The file being written aside: an interrupt removes it rather than leave it behind.
char gAside[PATH_MAX];

void DropAside(int sig)
{
    unlink(gAside);
    _exit(128 + sig);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        return Refuse(argc < 2 ? "no board root" : "no photograph");
    }
    const std::string root = argv[1];
    const std::string photoPath = argv[2];
    int width = 1920;
    int height = 1080;
    int lines = 192;
    double position = 0.5;
    bool blink = false;
    std::string wallPath;
    for (int i = 3; i < argc; ++i) {
        const std::string opt = argv[i];
        if (opt == "--blink") {
            blink = true;
            continue;
        }
        if (opt != "--size" && opt != "--height" && opt != "--position" && opt != "--wall") {
            return Refuse("unknown option " + opt);
        }
        if (i + 1 >= argc || argv[i + 1][0] == '\0') {
            return Refuse(opt + " needs a value");
        }
        const char* v = argv[++i];
        if (opt == "--size") {
            const char* x = strchr(v, 'x');
            const std::string w = x == nullptr ? "" : std::string(v, size_t(x - v));
            if (x == nullptr || !Whole(w.c_str(), 2, 4096, &width) || !Whole(x + 1, 2, 4096, &height) || width % 2 ||
                height % 2) {
                return Refuse(std::string("--size takes WxH, even whole numbers from 2 to 4096, not '") + v + "'");
            }
        } else if (opt == "--height") {
            if (!Whole(v, 1, kSceneDetectHeight, &lines)) {
                return Refuse(std::string("--height takes lines from 1 to ") + std::to_string(kSceneDetectHeight) +
                              ", not '" + v + "'");
            }
        } else if (opt == "--position") {
            char* end = nullptr;
            position = strtod(v, &end);
            if (end == v || *end != '\0' || !(position >= 0.0 && position <= 1.0)) {
                return Refuse(std::string("--position takes a number from 0 to 1, not '") + v + "'");
            }
        } else {
            wallPath = v;
        }
    }
    if (!blink && (width > kMovingMaxWidth || height > kMovingMaxHeight)) {
        return Refuse("a moving visitor is at most " + std::to_string(kMovingMaxWidth) + "x" +
                      std::to_string(kMovingMaxHeight) + " (its file holds " + std::to_string(kMovingFrames) +
                      " frames); --blink writes two frames of a larger picture");
    }
    const std::string why = SandboxRefusal(root);
    if (!why.empty()) {
        return Refuse("the board root " + root + " " + why + " (tools/mksandbox lays one out)");
    }
    const cv::Mat wall = wallPath.empty() ? SceneWall(width, height) : SceneLoad(wallPath);
    const cv::Mat photo = SceneLoad(photoPath);
    if (wall.empty() || photo.empty()) {
        return 1;
    }
    const cv::Rect where = ScenePlace(photo, lines, position, width, height);
    // Written aside and renamed, so a running camera changes over between two whole files.
    const std::string path = root + "/.board/camera_door0.yuv";
    const std::string tmp = path + ".tmp";
    if (tmp.size() >= sizeof gAside) {
        fprintf(stderr, "mkcamera: cannot write %s: the path is too long\n", path.c_str());
        return 1;
    }
    snprintf(gAside, sizeof gAside, "%s", tmp.c_str());
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        signal(sig, DropAside);
    }
    FILE* f = fopen(tmp.c_str(), "wb");
    if (f == nullptr) {
        fprintf(stderr, "mkcamera: cannot write %s: %s\n", tmp.c_str(), strerror(errno));
        return 1;
    }
    auto put = [f](const std::vector<uint8_t>& frame) { return fwrite(frame.data(), 1, frame.size(), f) == frame.size(); };
    bool ok = true;
    if (blink) {
        ok = put(SceneFrame(wall, nullptr, where, width, height)) && put(SceneFrame(wall, &photo, where, width, height));
    } else {
        // Feet on the bottom edge; sways once and leans twice a loop, within the picture.
        for (int i = 0; i < kMovingFrames && ok; ++i) {
            const double phase = 2 * M_PI * i / kMovingFrames;
            const int h = std::min(height, static_cast<int>(std::lround(where.height * (1 + kLean * std::sin(2 * phase)))));
            const int w = std::min(width, static_cast<int>(std::lround(h * photo.cols / double(photo.rows))));
            const double centre = where.x + where.width / 2.0 + kSway * where.height * std::sin(phase);
            const int x = std::clamp(static_cast<int>(std::lround(centre - w / 2.0)), 0, width - w);
            ok = put(SceneFrame(wall, &photo, cv::Rect(x, height - h, w, h), width, height));
        }
    }
    if (fclose(f) != 0 || !ok || rename(tmp.c_str(), path.c_str()) != 0) {
        fprintf(stderr, "mkcamera: cannot write %s: %s\n", path.c_str(), strerror(errno));
        unlink(tmp.c_str());
        return 1;
    }
    if (blink) {
        printf("%s: %dx%d, the wall and %s at %d,%d %dx%d\n", path.c_str(), width, height, photoPath.c_str(), where.x,
               where.y, where.width, where.height);
    } else {
        printf("%s: %dx%d, %d frames looped, %s standing at %d,%d %dx%d and moving a little\n", path.c_str(), width,
               height, kMovingFrames, photoPath.c_str(), where.x, where.y, where.width, where.height);
    }
    return 0;
}
