// The door scene of the camera files and of the detection suites: a wall (skimage's brick.png, or
// one drawn here) filling the camera's picture, with a photograph pasted on it or not. Placements are given in
// the detection picture (480x288), which the scalers make from the whole camera picture.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>
#include <vector>

constexpr int kSceneDetectWidth = 480;
constexpr int kSceneDetectHeight = 288;

// Reads a picture (PNG, JPEG) as BGR; empty with a message on stderr when it cannot be read.
cv::Mat SceneLoad(const std::string& path);
// A brick wall drawn at width x height (BGR): courses of bricks a little apart in colour, grey
// mortar, a fine grain; the same wall every time.
cv::Mat SceneWall(int width, int height);
// Where a photograph stands in a width x height camera picture: `height` lines of the detection
// picture high (its own aspect kept on the camera picture), its feet on the bottom edge, and
// `position` from 0 (left edge) to 1 (right edge) across the rest of the width.
cv::Rect ScenePlace(const cv::Mat& photo, int height, double position, int width, int cameraHeight);
// One camera frame (I420, width x height, both even): the wall scaled over the whole picture
// (taken as it is when it has that size already), and the photograph scaled into `where` when
// it is given.
std::vector<uint8_t> SceneFrame(const cv::Mat& wall, const cv::Mat* photo, const cv::Rect& where, int width,
                                int height);
