#include "scene.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

cv::Mat SceneLoad(const std::string& path)
{
    cv::Mat m = cv::imread(path, cv::IMREAD_COLOR);
    if (m.empty()) {
        fprintf(stderr, "cannot read the picture %s\n", path.c_str());
    }
    return m;
}

cv::Mat SceneWall(int width, int height)
{
    cv::Mat wall(height, width, CV_8UC3, cv::Scalar(168, 174, 178));  // mortar
    cv::RNG rng(0x6272);
    // About 20 courses over the picture; a brick is three courses long, as 215 by 65 mm bricks
    // with 10 mm joints are.
    const int course = std::max(6, height / 20);
    const int length = 3 * course;
    const int joint = std::max(1, course / 8);
    for (int row = 0; row * course < height; ++row) {
        const int offset = (row % 2) * length / 2;
        for (int x = -offset; x < width; x += length) {
            const double shade = rng.uniform(-22.0, 22.0);
            const cv::Scalar colour(52 + shade * 0.4, 72 + shade * 0.7, 150 + shade);
            const cv::Rect brick = cv::Rect(x + joint, row * course + joint, length - joint, course - joint) &
                                   cv::Rect(0, 0, width, height);
            if (brick.area() > 0) {
                wall(brick).setTo(colour);
            }
        }
    }
    cv::Mat grain(height, width, CV_16SC3);
    rng.fill(grain, cv::RNG::NORMAL, 0, 6);
    cv::Mat out;
    wall.convertTo(out, CV_16SC3);
    out += grain;
    out.convertTo(wall, CV_8UC3);  // saturated back to 0..255
    return wall;
}

cv::Rect ScenePlace(const cv::Mat& photo, int height, double position, int width, int cameraHeight)
{
    const int h = std::min(cameraHeight, static_cast<int>(std::lround(height * cameraHeight / double(kSceneDetectHeight))));
    const int w = std::min(width, static_cast<int>(std::lround(h * photo.cols / double(photo.rows))));
    const int x = static_cast<int>(std::lround(std::clamp(position, 0.0, 1.0) * (width - w)));
    return cv::Rect(x, cameraHeight - h, w, h);
}

std::vector<uint8_t> SceneFrame(const cv::Mat& wall, const cv::Mat* photo, const cv::Rect& where, int width,
                                int height)
{
    cv::Mat bgr;
    if (wall.size() == cv::Size(width, height)) {
        bgr = wall.clone();
    } else {
        cv::resize(wall, bgr, cv::Size(width, height), 0, 0, cv::INTER_AREA);
    }
    if (photo != nullptr) {
        const cv::Rect r = where & cv::Rect(0, 0, width, height);
        if (r.area() > 0) {
            cv::Mat part;
            cv::resize(*photo, part, r.size(), 0, 0, cv::INTER_AREA);
            part.copyTo(bgr(r));
        }
    }
    // OpenCV's I420 is BT.601 with video levels, what the camera's decoder puts out.
    cv::Mat yuv;
    cv::cvtColor(bgr, yuv, cv::COLOR_BGR2YUV_I420);
    return std::vector<uint8_t>(yuv.data, yuv.data + yuv.total() * yuv.elemSize());
}
