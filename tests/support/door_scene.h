// A visitor at the door for the whole-process suites: tools/mkcamera's two-frame file of the door
// camera (the wall, then the wall with the visitor in front of it) and the camera file put in whole.
// While the camera holds both frames the detector sees motion on every pass; the wall alone is
// the empty doorway.
#pragma once

#include "phone_cli.h"
#include "process.h"
#include "sandbox.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

constexpr size_t kDoorFrameBytes = 1920 * 1080 * 3 / 2;  // one I420 frame at the camera's size

struct DoorScene {
    std::string wall;     // one frame: the empty doorway
    std::string visitor;  // two frames: the wall, then the visitor
    std::string log;      // mkcamera's output, for a failure's message
};

// The door camera's file: written aside and renamed in, so the camera takes it whole. "" when it
// is in place, else why not (a full disk shows here rather than as a camera without a picture).
inline std::string PutDoorCamera(const TestSandbox& sb, const std::string& frames)
{
    const std::string path = sb.Path("/.board/camera_door0.yuv");
    {
        std::ofstream o(path + ".tmp", std::ios::binary | std::ios::trunc);
        o.write(frames.data(), static_cast<std::streamsize>(frames.size()));
        o.flush();
        if (!o) {
            return "writing " + path + ".tmp: " + std::strerror(errno);
        }
    }
    if (std::rename((path + ".tmp").c_str(), path.c_str()) != 0) {
        return "renaming to " + path + ": " + std::strerror(errno);
    }
    return "";
}

// mkcamera's two-frame visitor scene (--blink) for `photo` on skimage's brick wall beside it,
// made in the board (the camera then shows the visitor); false when the tool did not give two
// frames.
inline bool MakeDoorScene(const TestSandbox& sb, const std::string& photo, DoorScene* scene)
{
    const std::string wall = photo.substr(0, photo.find_last_of('/') + 1) + "brick.png";
    scene->log =
        ShellOutput(BinaryDir() + "/tools/mkcamera " + sb.Root() + " " + photo + " --blink --wall " + wall).second;
    scene->visitor = sb.Read("/.board/camera_door0.yuv");
    if (scene->visitor.size() != 2 * kDoorFrameBytes) {
        return false;
    }
    scene->wall = scene->visitor.substr(0, kDoorFrameBytes);
    return true;
}
