#include "QrcodePair.h"

#include "AppLog.h"
#include "noxa_adapter/utilities/uni_secret.h"
#include "noxa_ipc_sdk/img_proc/noxa_img_proc.h"
#include "noxa_ipc_sdk/noxa_ipc_api.h"
#include "platform/mi/mi_sys.h"

#include <opencv2/core.hpp>
#include <opencv2/wechat_qrcode.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <sys/prctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// The sub picture of the scaler (port 1 of channel 0), which the encoder's sub stream also takes.
const MI_SYS_ChnPort_t kSubPort{E_MI_MODULE_ID_VPE, 0, 0, 1};
constexpr int kThreshold = 128;
constexpr uint32_t kScaleUp = 1;
constexpr auto kPassGap = std::chrono::seconds(1);

std::mutex s_lock;
std::condition_variable s_cv;
bool s_run = false;
std::thread s_thread;
std::atomic<bool> s_running{false};

// The reader is made once and used by one pass at a time (the thread's).
std::mutex s_readerLock;
std::unique_ptr<cv::wechat_qrcode::WeChatQRCode> s_reader;

struct FreeDeleter {
    void operator()(uint8_t* p) const { free(p); }
};

// The luma plane of the newest sub picture, lines packed; empty when there is none.
std::vector<uint8_t> SubLuma(int* width, int* height)
{
    MI_SYS_BufInfo_t info{};
    MI_SYS_BUF_HANDLE handle = 0;
    std::vector<uint8_t> luma;
    if (MI_SYS_ChnOutputPortGetBuf(&kSubPort, &info, &handle) != MI_SUCCESS) {
        return luma;
    }
    const MI_SYS_FrameData_t& f = info.frame;
    if (f.virAddr[0] != nullptr && f.width > 0 && f.height > 0 && f.stride[0] >= f.width) {
        *width = f.width;
        *height = f.height;
        luma.resize(static_cast<size_t>(f.width) * f.height);
        const auto* y = static_cast<const uint8_t*>(f.virAddr[0]);
        for (int row = 0; row < f.height; ++row) {
            memcpy(luma.data() + static_cast<size_t>(row) * f.width, y + static_cast<size_t>(row) * f.stride[0],
                   f.width);
        }
    }
    MI_SYS_ChnOutputPortPutBuf(handle);
    return luma;
}

void QrcodeThread()
{
    prctl(PR_SET_NAME, "QrcodeThread");
    APP_DBG("Qrcode Thread start");
    APP_INFO("PID = %u", static_cast<unsigned>(gettid()));
    std::unique_lock<std::mutex> lock(s_lock);
    while (s_run) {
        lock.unlock();
        const int ret = QrcodePass();
        lock.lock();
        if (ret == 1) {
            break;
        }
        s_cv.wait_for(lock, kPassGap, [] { return !s_run; });
    }
    s_running = false;
    APP_DBG("Qrcode Proc Finish");
}

}  // namespace

int QrcodePass()
{
    int width = 0;
    int height = 0;
    const std::vector<uint8_t> luma = SubLuma(&width, &height);
    if (luma.empty()) {
        return 0;
    }
    uint8_t* raw = nullptr;
    uint32_t w = 0;
    uint32_t h = 0;
    const int prep = noxa_ipc_qrcode_img_preprocess(luma.data(), width, height, &raw, &w, &h, kThreshold, kScaleUp);
    std::unique_ptr<uint8_t, FreeDeleter> prepared(raw);
    if (prep != 0 || raw == nullptr) {
        APP_ERR("qrcode picture not prepared %d", prep);
        return -1;
    }
    std::vector<std::string> texts;
    {
        std::lock_guard<std::mutex> lock(s_readerLock);
        try {
            if (!s_reader) {
                s_reader = std::make_unique<cv::wechat_qrcode::WeChatQRCode>();
            }
            texts = s_reader->detectAndDecode(cv::Mat(static_cast<int>(h), static_cast<int>(w), CV_8UC1, raw));
        } catch (const cv::Exception& e) {
            APP_ERR("qrcode reader: %s", e.what());
            return -1;
        }
    }
    for (const std::string& text : texts) {
        if (text.empty()) {
            continue;
        }
        // The text holds the pass phrase and the pairing token: only its head and length.
        APP_DBG("get string from qrcode %s", uni_mask_secret(text.c_str()).text);
        if (noxa_ipc_direct_connect(text.c_str(), 0) != 0) {
            return -1;
        }
        APP_DBG("register to noxa cloud via qrcode success");
        return 1;
    }
    return 0;
}

int StartQrcodeThread()
{
    std::lock_guard<std::mutex> lock(s_lock);
    if (s_running) {
        return -1;
    }
    if (s_thread.joinable()) {
        s_thread.join();  // ended by itself after a success
    }
    s_run = true;
    s_running = true;
    try {
        s_thread = std::thread(QrcodeThread);
    } catch (const std::system_error&) {
        s_run = false;
        s_running = false;
        return -1;
    }
    return 0;
}

void StopQrcodeThread()
{
    std::thread t;
    {
        std::lock_guard<std::mutex> lock(s_lock);
        s_run = false;
        t = std::move(s_thread);
    }
    s_cv.notify_all();
    if (t.joinable()) {
        t.join();
    }
}

bool QrcodeThreadRunning()
{
    return s_running;
}
