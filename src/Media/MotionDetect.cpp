#include "MotionDetect.h"

#include "Common/AppLog.h"
#include "Common/AppState.h"
#include "Common/DeviceState.h"
#include "Common/DoorPhone.h"
#include "Common/DoorPhoneLinks.h"
#include "Common/NoxaSettings.h"
#include "Common/SDCard.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

constexpr MI_IVE_HANDLE kMotionIveHandle = 3;
constexpr const char* kMmaHeap = "mma_heap_name0";
constexpr MI_S32 kIveErrIllegalParam = MiErrCode(E_MI_MODULE_ID_IVE, E_MI_ERR_ILLEGAL_PARAM);  // 0xA0002003
constexpr MI_S32 kIveErrNoMem = MiErrCode(E_MI_MODULE_ID_IVE, E_MI_ERR_NOMEM);                 // 0xA000200C
constexpr uint16_t kVideoSettleTicks = 300;
constexpr uint16_t kThresholds[3] = {8160, 6720, 2880};  // per 8x8 block, by sensitivity level

std::atomic<uint16_t> gSadThreshold{2880};
std::atomic<uint8_t> gMotionAlarmActive{0};

// Bytes of each plane of an image type, n = stride x height; the plane count, or 0 for a type
// the engine does not know.
int PlaneBytes(MI_U32 type, MI_U32 n, MI_U32 bytes[3])
{
    switch (type) {
    case 0:
    case 1:
        bytes[0] = n;
        return 1;
    case 2:
        bytes[0] = n;
        bytes[1] = n / 2;
        return 2;
    case 3:
    case 7:
        bytes[0] = bytes[1] = n;
        return 2;
    case 6:
    case 8:
    case 9:
        bytes[0] = 2 * n;
        return 1;
    case 10:
        bytes[0] = 3 * n;
        return 1;
    case 11:
        bytes[0] = bytes[1] = bytes[2] = n;
        return 3;
    case 12:
    case 13:
        bytes[0] = 4 * n;
        return 1;
    case 14:
    case 15:
        bytes[0] = 8 * n;
        return 1;
    default:
        return 0;
    }
}

// A work image of one pass, given back when the pass ends whatever way it ends.
struct WorkImage {
    MI_IVE_Image_t img{};
    bool made = false;
    MI_S32 Create(MI_U32 type, MI_U16 stride, MI_U16 width, MI_U16 height)
    {
        MI_S32 ret = IveImageCreate(&img, type, stride, width, height);
        made = ret == 0;
        return ret;
    }
    ~WorkImage()
    {
        if (made) {
            IveImageFree(&img);
        }
    }
};

// The luma plane of a frame as an 8-bit engine image.
MI_IVE_Image_t LumaImage(const MI_SYS_FrameData_t& f)
{
    MI_IVE_Image_t img{};
    img.type = E_MI_IVE_IMAGE_TYPE_U8C1;
    img.phyAddr[0] = f.phyAddr[0];
    img.virAddr[0] = static_cast<MI_U8*>(f.virAddr[0]);
    img.stride[0] = static_cast<MI_U16>(f.stride[0]);
    img.width = f.width;
    img.height = f.height;
    return img;
}

// The measure of a threshold image (each byte 0 or 255): the sums of the first and the last
// non-zero row and of the first and the last non-zero column; 0 when nothing is set.
MI_S32 EdgeMeasure(const MI_U8* p, int stride, int w, int h)
{
    auto row = [&](int y) {
        MI_S32 sum = 0;
        for (int x = 0; x < w; ++x) {
            sum += p[y * stride + x];
        }
        return sum;
    };
    auto col = [&](int x) {
        MI_S32 sum = 0;
        for (int y = 0; y < h; ++y) {
            sum += p[y * stride + x];
        }
        return sum;
    };
    MI_S32 measure = 0;
    int top = 0;
    while (top < h && row(top) == 0) {
        ++top;
    }
    if (top == h) {
        return 0;
    }
    measure += row(top);
    int bottom = h - 1;
    while (row(bottom) == 0) {
        --bottom;
    }
    measure += row(bottom);
    int left = 0;
    while (col(left) == 0) {
        ++left;
    }
    measure += col(left);
    int right = w - 1;
    while (col(right) == 0) {
        --right;
    }
    return measure + col(right);
}

}  // namespace

MI_S32 IveMmaAlloc(MI_U32 size, MI_PHY* phyAddr, MI_U8** virAddr)
{
    MI_PHY phy = 0;
    MI_S32 ret = MI_SYS_MMA_Alloc(kMmaHeap, size, &phy);
    if (ret != MI_SUCCESS) {
        printf("can't allocate from MI SYS (size: %d, ret: %d)\n", static_cast<int>(size), ret);
        return ret;
    }
    void* vir = nullptr;
    ret = MI_SYS_Mmap(phy, size, &vir, 1);
    if (ret != MI_SUCCESS) {
        printf("can't map memory from MI SYS (phys: 0x%llx, size: %d, ret: %d)\n", static_cast<unsigned long long>(phy),
               static_cast<int>(size), ret);
        MI_SYS_MMA_Free(phy);
        return ret;
    }
    *phyAddr = phy;
    *virAddr = static_cast<MI_U8*>(vir);
    return MI_SUCCESS;
}

MI_S32 IveMmaFree(MI_PHY phyAddr, MI_U8* virAddr, MI_U32 size)
{
    MI_S32 ret = MI_SYS_Munmap(virAddr, size);
    ret |= MI_SYS_MMA_Free(phyAddr);
    if (ret != MI_SUCCESS) {
        printf("error occurs when free buffer to MI SYS\n");
    }
    return ret;
}

MI_S32 IveImageCreate(MI_IVE_Image_t* image, MI_U32 type, MI_U16 stride, MI_U16 width, MI_U16 height)
{
    *image = MI_IVE_Image_t{};
    MI_U32 bytes[3] = {};
    const int planes = type < 16 ? PlaneBytes(type, static_cast<MI_U32>(stride) * height, bytes) : 0;
    if (planes == 0) {
        printf("Format is not support!!\n");
        return kIveErrIllegalParam;
    }
    image->type = type;
    image->width = width;
    image->height = height;
    for (int p = 0; p < planes; ++p) {
        image->stride[p] = stride;
        if (IveMmaAlloc(bytes[p], &image->phyAddr[p], &image->virAddr[p]) != MI_SUCCESS) {
            image->virAddr[p] = nullptr;
        }
    }
    for (int p = 0; p < planes; ++p) {
        if (image->virAddr[p] == nullptr) {
            for (int q = 0; q < planes; ++q) {
                if (image->virAddr[q] != nullptr) {
                    IveMmaFree(image->phyAddr[q], image->virAddr[q], bytes[q]);
                }
            }
            *image = MI_IVE_Image_t{};
            return kIveErrNoMem;
        }
    }
    return MI_SUCCESS;
}

MI_S32 IveImageFree(MI_IVE_Image_t* image)
{
    MI_U32 bytes[3] = {};
    const MI_U32 type = image->type;
    const int planes =
        type < 16 ? PlaneBytes(type, static_cast<MI_U32>(image->stride[0]) * image->height, bytes) : 0;
    for (int p = 0; p < planes; ++p) {
        if (image->virAddr[p] != nullptr) {
            IveMmaFree(image->phyAddr[p], image->virAddr[p], bytes[p]);
        }
    }
    *image = MI_IVE_Image_t{};
    if (planes == 0) {
        printf("Format is not support!!\n");
        return kIveErrIllegalParam;
    }
    return MI_SUCCESS;
}

MI_S32 MotionDetectInit()
{
    MI_S32 ret = MI_IVE_Create(kMotionIveHandle);
    if (ret != MI_SUCCESS) {
        APP_ERR("Could not create IVE handle");
    }
    return ret;
}

MI_S32 MotionDetectDeInit()
{
    MI_IVE_Destroy(kMotionIveHandle);
    return 0;
}

MI_S32 MotionDetectProc(const MI_SYS_BufInfo_t* a, const MI_SYS_BufInfo_t* b)
{
    if (a == nullptr || b == nullptr) {
        return -1;
    }
    MI_IVE_Image_t srcA = LumaImage(a->frame);
    MI_IVE_Image_t srcB = LumaImage(b->frame);
    const MI_U16 w = static_cast<MI_U16>(a->frame.width / 8);
    const MI_U16 h = static_cast<MI_U16>((a->frame.height + 31) / 32 * 32 / 8);
    WorkImage sad;
    if (sad.Create(E_MI_IVE_IMAGE_TYPE_U16C1, w, w, h) != MI_SUCCESS) {
        printf("Can't allocate output buffer 0\n");
        return -1;
    }
    WorkImage thr;
    if (thr.Create(E_MI_IVE_IMAGE_TYPE_U8C1, w, w, h) != MI_SUCCESS) {
        printf("Can't allocate output buffer 1\n");
        return -1;
    }
    // Media memory comes back as it was left: rows below the frame's last whole block, which the
    // engine does not write, must read as unchanged.
    memset(thr.img.virAddr[0], 0, static_cast<size_t>(w) * h);
    const MI_IVE_SadCtrl_t ctrl{E_MI_IVE_SAD_MODE_MB_8X8, E_MI_IVE_SAD_OUT_CTRL_16BIT_BOTH, gSadThreshold.load(), 0,
                                255};
    MI_S32 ret = MI_IVE_Sad(kMotionIveHandle, &srcA, &srcB, &sad.img, &thr.img, &ctrl, 0);
    if (ret != MI_SUCCESS) {
        APP_ERR("MI_IVE_Sad() return ERROR 0x%X", static_cast<unsigned>(ret));
        return ret;
    }
    return EdgeMeasure(thr.img.virAddr[0], thr.img.stride[0], w, h);
}

int SetMotionSensitivity(uint8_t level)
{
    if (level < std::size(kThresholds)) {
        gSadThreshold = kThresholds[level];
    }
    return 0;
}

uint16_t GetMotionThreshold()
{
    return gSadThreshold;
}

void NoxaMDMsgHandle(uint8_t on)
{
    DEVICE_STATE_S& s = gDeviceState;
    s.MotionResumeTimer = kCountdownStopped;
    if (on == 0) {
        s.RecordTimer = kCountdownStopped;
        DoorPhoneLink(gDoorPhoneLinks.RecordStop);
        gMotionAlarmActive = 0;
        return;
    }
    const uint16_t main = GetSystemMainState();
    const uint8_t sub = GetSystemSubState();
    APP_DBG("%#x %d", main, sub);
    const bool session = main == SYS_STATE_CALL || main == SYS_STATE_MONITOR || main == SYS_STATE_TALK;
    if (session && sub == 2) {
        gMotionAlarmActive = 1;  // door 2's session keeps the video input
        return;
    }
    if (sub == 1 || main == SYS_STATE_IDLE) {
        gCurrentDoor = 0;
        SetSystemMainState(SYS_STATE_MONITOR | 0x01);
        s.CallTimeoutTimer = kCountdownStopped;
        DoorMonitorControl(0, 1);
        s.VideoSettleTimer = kVideoSettleTicks;  // the first detection waits for a steady picture
        s.ViewingMark = 1;
    }
    gMotionAlarmActive = 1;
}

uint8_t GetMDMsgState()
{
    return gMotionAlarmActive;
}

void MotionDetectInstallLinks()
{
    gDoorPhoneLinks.MotionAlarmSwitch = NoxaMDMsgHandle;
    gDoorPhoneLinks.MotionAlarmState = GetMDMsgState;
    gSdCardLinks.MotionAlarmSwitch = NoxaMDMsgHandle;
    gSdCardLinks.MotionAlarmState = GetMDMsgState;
    gNoxaSettingsLinks.SetMotionSensitivity = SetMotionSensitivity;
}
