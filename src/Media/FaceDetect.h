// The face front end and the face service it belongs to: faces are looked for in the detection
// picture (the detector library's face network, OpenCV's face cascades), and a face found is
// reported to the cloud as a new face with its crop and the whole picture as JPEG, at most once a
// minute. There is no recognition model here: the face store holds only the features given to
// it. Nothing in the unit starts the service; tests do.
#pragma once

#include "noxa_ipc_sdk/ai_face/noxa_ipc_ai_face.h"
#include "platform/mi/mi_sys.h"

#include <cstdint>
#include <vector>

constexpr const char* kFaceStorePath = "/DeviceInfo/noxa/face";
constexpr int kFaceFeatureLen = 2052;
constexpr uint64_t kFaceReportGapMs = 60000;

// Keeps the two callbacks with the face service (a face-data change "add" or "update" fetches the
// cloud's known faces on the service's thread), opens the face store and starts the thread that
// takes a detection picture about once a second. 0, or the first failing step's code (nothing is
// left running).
int StartFaceService();
// Ends the thread and closes the detector (tests).
void StopFaceService();

// One pass on a detection picture (NV12, as the detection copy hands it over): 1 when a face was
// found and its report sent (whatever the cloud answered), 0 when none was found or the last
// report is less than a minute old, -1 when the detector cannot run.
int FaceDetectPass(const MI_SYS_BufInfo_t* frame);

// JPEG of a part of an NV12 picture (x, y, width and height made even, inside the picture).
// Empty on a failure.
std::vector<uint8_t> FaceJpeg(const MI_SYS_BufInfo_t* frame, int x, int y, int width, int height);

// What a pass calls beyond the detector: the report and the clock of the once-a-minute rule.
struct FACE_DETECT_OPS_S {
    int (*Report)(const NOXA_AI_FACE_REPORT_S* report, int* newId);
    uint64_t (*NowMs)();
};
extern FACE_DETECT_OPS_S gFaceDetectOps;
// Forgets when the last report went (tests).
void FaceDetectResetGap();
