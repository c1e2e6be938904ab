// A simulated board with the media layer on the manual clock, and the chain built on it.
#pragma once

#include "Media/AudioCapture.h"
#include "Media/Pr2000.h"
#include "Media/VencStream.h"
#include "Media/VideoPipeline.h"
#include "platform/board_sim.h"
#include "platform/decoder_sim.h"
#include "platform/mi/mi_sim.h"
#include "platform/mi/mi_sys.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <pthread.h>

class MediaTest : public testing::Test {
protected:
    void SetUp() override
    {
        BoardDevReset();
        MiSimReset();
        MiSimSetManualClock(true);
        // No camera answers at the decoder: a format watch never changes the chain a test builds
        // (the decoder's own suite connects it).
        BoardI2cSetNack(1, kBoardDecoderAddress, true);
    }
    void TearDown() override
    {
        SensorFmtStop();
        testing::internal::CaptureStdout();
        MediaSystemDeInit();  // back to the state of a fresh process
        testing::internal::GetCapturedStdout();
        MiSimReset();
    }

    // The threads SysInit started (the encoder thread and the format watch), stopped so the test
    // drives the passes and the record itself.
    static void StopEncoderThread()
    {
        SensorFmtStop();
        VIDEO_DYNAMICS_INFO_S& v = gVideoDynamicsInfo;
        if (v.VencThreadStarted) {
            v.VencRun = 0;
            pthread_join(v.VencThread, nullptr);
            v.VencThreadStarted = 0;
        }
    }

    // Start-up steps 6, 8, 9 and 10 on the real clock, their threads running (the audio's start
    // lines kept off the output): frames flow as on the unit. 0 or the failing step's code.
    static int StartLive()
    {
        MiSimSetManualClock(false);
        int rc = SysInit();
        SetVideoDynamicsInfo(0);
        rc = rc == 0 ? VideoInit() : rc;
        testing::internal::CaptureStdout();
        AudioInit();
        testing::internal::GetCapturedStdout();
        return rc;
    }

    // Start-up steps 6, 8 and 9 with the thread stopped after step 6.
    static int StartUp()
    {
        int rc = SysInit();
        StopEncoderThread();
        SetVideoDynamicsInfo(0);
        return rc == 0 ? VideoInit() : rc;
    }

    TestSandbox mSandbox;
};

// The graph as start-up builds it for a 1920x1080 input.
inline const char* kStartUpGraph1080 =
    "sensor pad 0 res 0 mirror 0 flip 0\n"
    "vif dev 0 intf 0 work 0 hdr 0 clkedge 0 dataseq 2\n"
    "vif chn 0 port 0 cap 0,0 1920x1080 dest 1920x1080 sel 3 depth 0/6\n"
    "vpe chn 0 max 1920x1080 pixfmt 24 rotation 0 started\n"
    "vpe chn 0 port 0 1280x720 pixfmt 11 depth 1/5\n"
    "vpe chn 0 port 1 640x360 pixfmt 11 depth 1/5\n"
    "vpe chn 0 port 2 640x360 pixfmt 11 depth 1/5\n"
    "venc chn 0 dev 0 h264 1280x720 max 1280x720 byframe 1 bframes 2 rc fixqp gop 50 rate 25/1 iqp 25 pqp 30 ring 0 recv\n"
    "venc chn 1 dev 0 h264 640x360 max 640x360 byframe 1 bframes 2 rc vbr gop 50 stat 0 rate 25/1 maxbitrate 512 qp "
    "12..34 ring 0 recv\n"
    "venc chn 2 dev 8 jpeg 640x360 max 640x360 byframe 1 rc mjpegfixqp rate 25/1 qfactor 90 quality 90 ring 0 recv\n"
    "divp chn 0 max 640x360 crop 0,0 640x360 out 480x288 pixfmt 11 depth 2/5 started\n"
    "bind vif.0.0.0 -> vpe.0.0.0 rate 25/25 type 4 param 0\n"
    "bind vpe.0.0.0 -> venc.0.0.0 rate 25/25 type 1 param 0\n"
    "bind vpe.0.0.1 -> divp.0.0.0 rate 25/25 type 1 param 0\n"
    "bind vpe.0.0.1 -> venc.0.1.0 rate 25/25 type 1 param 0\n"
    "bind vpe.0.0.2 -> venc.8.2.0 rate 25/10 type 1 param 0\n"
    // The time stamp regions of the on-screen display, made by SysInit for the life of the process.
    "region 4 fmt 1 600x40 on vpe.0.0.0 at 20,10 layer 100 shown\n"
    "region 5 fmt 1 200x40 on vpe.0.0.1 at 6,4 layer 100 shown\n"
    "region 5 fmt 1 200x40 on vpe.0.0.2 at 6,4 layer 100 shown\n";
inline const char* kTimeStampRegions = "region 4 fmt 1 600x40 on vpe.0.0.0 at 20,10 layer 100 shown\n"
                                       "region 5 fmt 1 200x40 on vpe.0.0.1 at 6,4 layer 100 shown\n"
                                       "region 5 fmt 1 200x40 on vpe.0.0.2 at 6,4 layer 100 shown\n";
