// The door-phone application: brings the unit up in a fixed order, then parks the main thread.
#include "DoorPhone.h"
#include "DoorbellCall.h"
#include "DpTable.h"
#include "Media/AudioCapture.h"
#include "Media/DetectThread.h"
#include "Media/MotionDetect.h"
#include "Media/Mp4File.h"
#include "Media/Mp4Record.h"
#include "Media/Playback.h"
#include "Media/VencStream.h"
#include "Media/VideoPipeline.h"
#include "Network.h"
#include "NoxaApp.h"
#include "NoxaP2p.h"
#include "NoxaStreamStorage.h"
#include "Peripheral.h"
#include "RecordFile.h"
#include "RingKeyDetect.h"
#include "SDCard.h"
#include "SdHooks.h"
#include "StartUp.h"
#include "SystemCallbacks.h"
#include "TalkSerial.h"
#include "TimeTask.h"
#include "WifiFunctions.h"
#include "noxa_ipc_sdk/cloud_storage/noxa_ipc_cloud_storage.h"
#include "noxa_ipc_sdk/encrypt/noxa_ipc_encrypt.h"
#include "platform/shell.h"

#include <cstdio>
#include <cstdlib>
#include <sys/select.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    // Every line reaches a log file or a pipe when it is made, in order with the lines written
    // whole (a console on a terminal already works this way).
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // No FFmpeg allocation above the ceiling, before the card's recordings are read (step 4).
    Mp4LimitAllocations();
    // "-m 2 -t TOKEN": debug start with a QR token on the wired network; no options: as always.
    int opts = ParseStartOptions(argc, argv);
    if (opts != 0) {
        return opts > 0 ? 0 : 2;
    }
    // Start-up order: each step runs to completion before the next; the threads a step starts
    // run on. Every link table is filled before step 1, so no step meets an empty link.
    BoardShellSetUnitProcess(getpid());  // the upgrade hand-over's "killall app" ends this process
    // The data points and settings fill the links the other parts call from their first step.
    DpTableInstall();
    // The motion alarm switch for the door-phone control and the card thread, the sensitivity
    // for the settings store.
    MotionDetectInstallLinks();
    // The detection thread applies the alarm zone for the settings store and raises the motion
    // push's flag.
    DetectThreadInstallLinks();
    // The system callbacks (reset, restart, upgrade, indicator, clock) and the Wi-Fi functions
    // the cloud side calls.
    SystemCallbacksInstall();
    WifiFunctionsInstall();
    // The motion push the cloud-side start runs last, and the AES of cloud recording's media.
    DoorbellCallInstall();
    gNoxaAppLinks.AesCbc128Encrypt = OpensslAES_CBC128_encrypt;
    // Cloud storage, started by the cloud-side start; its cloud-triggered events take the
    // doorbell's snapshot.
    gNoxaAppLinks.CloudStorageInit = noxa_ipc_cloud_storage_init;
    noxa_ipc_cloud_storage_set_snapshot_reader(IPC_APP_read_snapshot);
    // A slice forced out inside a group of pictures asks for the key frame the next one opens with.
    noxa_ipc_cloud_storage_set_key_frame_request([](int) { RequestVideoIdr(); });
    BoardInit();  // 1
    if (CheckApplicationMD5() != 0) {  // 2
        std::exit(0);
    }
    NetworkInit();  // 3
    InitSDCard();  // 4
    MP4RecordLockInit();  // 5
    // The recorder feeds on the encoder thread (step 6) and answers the card, the door phone and
    // the timer task; the playback answers the viewers.
    Mp4RecordInstallLinks();
    PlaybackInstallLinks();
    // The encoder thread (step 6) keeps the doorbell picture on the card too.
    gVencOutput.SaveImage = [](const uint8_t* data, uint32_t len) { SaveImageToSDCard(data, len); };
    // The viewer side: frames to the media ring buffer, the transfer module once online.
    NoxaP2pInstallLinks();
    // The SD event storage answers the viewers' playback and download calls and the format's.
    NoxaStreamStorageInstallLinks();
    // The storage's questions about the card, the card's device name and the skills upload of
    // the cloud-side start.
    SdHooksInstallLinks();
    SysInit();  // 6
    LoadDoorSettings();  // 7
    SetVideoDynamicsInfo(0);  // 8
    VideoInit();  // 9
    AudioInit();  // 10
    StartDetectThread();  // 11
    StartTimeTask();  // 12
    // The bus thread's order queue exists before the first order: the motion switch's monitor
    // order waits there until the bus link runs.
    TalkQueueInit();
    NoxaMDMsgHandle(1);  // 13: the unit watches door 0 from the start
    struct timeval pause = {0, 100000};  // 14: the bus link starts after the motion alarm settles
    select(0, nullptr, nullptr, nullptr, &pause);
    // 15: the bus thread runs even without the port, so that orders posted meanwhile are taken
    // off the queue.
    InitTalkSerial();
    StartProcessTalkData();
    StartCardDet();  // 16
    StartRingKeyDetect();  // 17
    StartNoxaAppThread();  // 18
    for (;;) {  // 19
        sleep(10);
    }
}
