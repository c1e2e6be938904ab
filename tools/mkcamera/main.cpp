// mkcamera ROOT PHOTO [--size WxH] [--height N] [--position P] [--wall FILE]
// Writes the door camera of a sandbox, "<ROOT>/.board/camera_door0.yuv": two frames at the
// camera's size (default 1920x1080, the decoder's default signal), the wall and the wall with
// the photograph, which the simulated camera loops. The photograph stands N lines high in the
// detection picture (default 192 of 288), at P (0 left .. 1 right, default 0.5). The wall is
// brick.png beside the photograph unless --wall names another picture.
#include "scene.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

int Usage()
{
    fprintf(stderr, "usage: mkcamera ROOT PHOTO [--size WxH] [--height N] [--position P] [--wall FILE]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        return Usage();
    }
    const std::string root = argv[1];
    const std::string photoPath = argv[2];
    int width = 1920;
    int height = 1080;
    int lines = 192;
    double position = 0.5;
    std::string wallPath = photoPath.substr(0, photoPath.find_last_of('/') + 1) + "brick.png";
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        const char* v = argv[i + 1];
        bool known = true;
        if (opt == "--size") {
            known = sscanf(v, "%dx%d", &width, &height) == 2;
        } else if (opt == "--height") {
            lines = atoi(v);
        } else if (opt == "--position") {
            position = atof(v);
        } else if (opt == "--wall") {
            wallPath = v;
        } else {
            known = false;
        }
        if (!known) {
            return Usage();
        }
    }
    if ((argc - 3) % 2 != 0 || width < 2 || height < 2 || width % 2 || height % 2 || width > 4096 || height > 4096 ||
        lines < 1 || lines > kSceneDetectHeight) {
        return Usage();
    }
    const cv::Mat wall = SceneLoad(wallPath);
    const cv::Mat photo = SceneLoad(photoPath);
    if (wall.empty() || photo.empty()) {
        return 1;
    }
    const cv::Rect where = ScenePlace(photo, lines, position, width, height);
    const std::vector<uint8_t> a = SceneFrame(wall, nullptr, where, width, height);
    const std::vector<uint8_t> b = SceneFrame(wall, &photo, where, width, height);
    // Written aside and renamed, so a running camera changes over between two whole files.
    const std::string path = root + "/.board/camera_door0.yuv";
    const std::string tmp = path + ".tmp";
    FILE* f = fopen(tmp.c_str(), "wb");
    if (f == nullptr) {
        fprintf(stderr, "cannot write %s\n", tmp.c_str());
        return 1;
    }
    const bool ok = fwrite(a.data(), 1, a.size(), f) == a.size() && fwrite(b.data(), 1, b.size(), f) == b.size();
    if (fclose(f) != 0 || !ok || rename(tmp.c_str(), path.c_str()) != 0) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        unlink(tmp.c_str());
        return 1;
    }
    printf("%s: %dx%d, the wall and %s at %d,%d %dx%d\n", path.c_str(), width, height, photoPath.c_str(), where.x,
           where.y, where.width, where.height);
    return 0;
}
