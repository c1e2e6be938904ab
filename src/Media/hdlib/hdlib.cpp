#include "hdlib.h"

#include "platform/board_path.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

// The cascades of network 0 are data of the build, in the read-only data section like the
// weights of a trained network (their paths come from the build, see CMakeLists.txt).
asm(".section .rodata\n"
    ".balign 16\n"
    "hd_frontal_face_xml:\n"
    ".incbin \"" HD_FRONTAL_FACE_XML "\"\n"
    ".byte 0\n"
    ".balign 16\n"
    "hd_profile_face_xml:\n"
    ".incbin \"" HD_PROFILE_FACE_XML "\"\n"
    ".byte 0\n"
    ".previous\n");
extern "C" const char hd_frontal_face_xml[];
extern "C" const char hd_profile_face_xml[];

namespace {

// What the library knows of each built-in network.
struct MODEL_DESC_S {
    int Channels;           // input colour: 3 RGB, 1 gray
    int InputMultiple;      // input sides are rounded up to this
    uint32_t ActivateBytes;  // memory the network takes when loaded
    uint32_t InferBytes;    // and per 16384 input pixels of a forward pass
};
constexpr MODEL_DESC_S kModels[2] = {
    {3, 32, 560000, 810000},
    {1, 32, 560000, 810000},
};
constexpr int kModelCount = 2;

// Scores in 0..1 from each detector's own confidence. A face: how many neighbouring windows
// agree on it (n / (n + 5): 4 agreeing windows, OpenCV's usual bar, reach the 0.4 threshold). A
// body: the HOG SVM's margin through the logistic function (a margin of 0 is 0.5).
constexpr double kFaceAgreement = 5.0;
constexpr double kHogHitMargin = -0.5;  // candidates down to a score of 0.38
constexpr int kFaceMinSide = 20;        // the smaller of the two cascades' windows
// The picture is the region where something moved: a visitor's face there is not narrower than
// a tenth of it. Smaller faces are not looked for, which saves most of the windows of a large
// region (and the texture of a large moving object gives no small faces).
constexpr int kFaceMinFraction = 10;
const cv::Size kHogWindow(64, 128);

}  // namespace

struct HD_MODEL_S {
    int Index = -1;
    cv::CascadeClassifier Frontal;
    cv::CascadeClassifier Profile;
    cv::HOGDescriptor Hog;
    bool HasOutput = false;  // a forward pass left candidates (possibly none)
    std::vector<HD_CANDIDATE_S> Candidates;
};

namespace {

bool CheckHandle(const HD_NETWORK_S* h)
{
    if (h == nullptr) {
        printf("Error: Please use Init_Network() first.\n");
        return false;
    }
    return true;
}

// Whether `need` x `factor` bytes fit into the memory the kernel reports available.
bool MemoryEnough(double need)
{
    FILE* f = BoardFopen("/proc/meminfo", "r");
    if (f == nullptr) {
        printf("Warning: Cannot open /proc/meminfo, the amount of free memory is unknown.\n");
        return true;
    }
    char line[64];
    bool found = false;
    unsigned long availKb = 0;
    while (fgets(line, sizeof(line), f) != nullptr) {
        if (strncmp(line, "MemAvailable:", 13) == 0) {
            availKb = strtoul(line + 13, nullptr, 10);
            found = true;
            break;
        }
    }
    fclose(f);
    if (!found) {
        return need <= 0;
    }
    if (need <= static_cast<double>(availKb) * 1024.0) {
        return true;
    }
    printf("Error: Require %u KB + %u KB margin, but only %u KB are available.\n",
           static_cast<unsigned>(need / 1024.0), 0u, static_cast<unsigned>(availKb));
    return false;
}

bool LoadCascade(cv::CascadeClassifier& c, const char* xml)
{
    try {
        cv::FileStorage fs(xml, cv::FileStorage::READ | cv::FileStorage::MEMORY);
        return fs.isOpened() && c.read(fs.getFirstTopLevelNode()) && !c.empty();
    } catch (const cv::Exception&) {
        return false;
    }
}

// A cascade's text is read only while a network is loaded: its pages go back to the kernel
// after (about 1.3 MB of the program's pages), read again from the program's file when a
// network is loaded anew. Only whole pages inside the text are given back.
void DropPages(const char* text)
{
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t from = reinterpret_cast<uintptr_t>(text);
    const uintptr_t begin = (from + page - 1) & ~(page - 1);
    const uintptr_t end = (from + strlen(text) + 1) & ~(page - 1);
    if (end > begin) {
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
    }
}

bool LoadModel(HD_MODEL_S& m, int index)
{
    if (index == 0) {
        cv::CascadeClassifier frontal;
        cv::CascadeClassifier profile;
        const bool loaded = LoadCascade(frontal, hd_frontal_face_xml) && LoadCascade(profile, hd_profile_face_xml);
        DropPages(hd_frontal_face_xml);
        DropPages(hd_profile_face_xml);
        if (!loaded) {
            return false;
        }
        m.Frontal = frontal;
        m.Profile = profile;
    } else {
        m.Hog = cv::HOGDescriptor();
        m.Hog.setSVMDetector(cv::HOGDescriptor::getDefaultPeopleDetector());
    }
    m.Index = index;
    m.HasOutput = false;
    m.Candidates.clear();
    return true;
}

// The thread count of the library's pool, changed only when it differs from the last one set.
// One thread is asked of OpenCV as 0 (run on the caller's thread): both run every loop in the
// caller, but 1 still brings up its TBB arena and TBB's allocator (about 0.5 MB resident).
void ApplyThreads(int n)
{
    static std::atomic<int> applied{-2};
    const int want = n > 1 ? n : n == 1 ? 0 : -1;  // -1: the library's default
    if (applied.exchange(want) != want) {
        cv::setNumThreads(want);
    }
}

void AddCandidate(HD_MODEL_S& m, const cv::Rect& r, const cv::Size& image, double score)
{
    const float w = static_cast<float>(image.width);
    const float h = static_cast<float>(image.height);
    m.Candidates.push_back(HD_CANDIDATE_S{r.x / w, r.y / h, (r.x + r.width) / w, (r.y + r.height) / h, 0,
                                          static_cast<float>(score)});
}

void DetectFaces(HD_MODEL_S& m, const cv::Mat& gray)
{
    const int side = std::max(kFaceMinSide, gray.cols / kFaceMinFraction);
    const cv::Size min(side, side);
    std::vector<cv::Rect> rects;
    std::vector<int> agree;
    auto add = [&](bool mirrored) {
        for (size_t i = 0; i < rects.size(); ++i) {
            cv::Rect r = rects[i];
            if (mirrored) {
                r.x = gray.cols - r.x - r.width;
            }
            AddCandidate(m, r, gray.size(), agree[i] / (agree[i] + kFaceAgreement));
        }
    };
    m.Frontal.detectMultiScale(gray, rects, agree, 1.1, 1, 0, min);
    add(false);
    // The profile cascade knows faces turned one way: the mirror finds the other.
    m.Profile.detectMultiScale(gray, rects, agree, 1.1, 1, 0, min);
    add(false);
    cv::Mat flipped;
    cv::flip(gray, flipped, 1);
    m.Profile.detectMultiScale(flipped, rects, agree, 1.1, 1, 0, min);
    add(true);
}

void DetectBodies(HD_MODEL_S& m, const cv::Mat& gray)
{
    std::vector<cv::Rect> rects;
    std::vector<double> weights;
    m.Hog.detectMultiScale(gray, rects, weights, kHogHitMargin, cv::Size(8, 8), cv::Size(16, 16), 1.05, 2.0);
    for (size_t i = 0; i < rects.size(); ++i) {
        const double w = i < weights.size() ? weights[i] : 0.0;
        AddCandidate(m, rects[i] & cv::Rect(0, 0, gray.cols, gray.rows), gray.size(), 1.0 / (1.0 + std::exp(-w)));
    }
}

int RoundUp(int v, int multiple)
{
    return (v + multiple - 1) / multiple * multiple;
}

}  // namespace

int Init_Network(HD_NETWORK_S** handle, HD_NETWORK_CONFIG_S* config)
{
    if (handle == nullptr || config == nullptr) {
        printf("Error: Failed to activate model.\n");
        return -1;
    }
    if (*handle != nullptr) {
        printf("Warning: The handle is not NULL, it may be already initialized before.\n");
    }
    auto* h = new HD_NETWORK_S{config, new HD_MODEL_S, nullptr, 0};
    if (config->MaxDetections > 0) {
        h->Boxes = new HD_BOX_S[config->MaxDetections]();
    }
    const int index = config->NetworkIndex;
    bool ok = false;
    if (index < 0 || index >= kModelCount) {
        printf("Error: wrong network_index, keep using previous network.\n");
    } else if (!MemoryEnough(kModels[index].ActivateBytes)) {
        printf("Error: Memory is not enough to activate model.\n");
    } else {
        ok = LoadModel(*h->Model, index);
    }
    if (!ok) {
        printf("Error: Failed to activate model.\n");
        HD_NETWORK_S* gone = h;
        delete[] gone->Boxes;
        delete gone->Model;
        delete gone;
        return -1;
    }
    *handle = h;
    printf("Network handle (%p) is successfully created.\n", static_cast<void*>(h));
    return 0;
}

int Forward_Network(HD_NETWORK_S* handle, const uint8_t* pixels, int height, int width, int channels)
{
    return Forward_Network(handle, pixels, height, width, channels, width);
}

int Forward_Network(HD_NETWORK_S* handle, const uint8_t* pixels, int height, int width, int channels, int stride)
{
    if (!CheckHandle(handle)) {
        return -1;
    }
    if (stride < width) {
        printf("Error: stride CANNOT be less than width.\n");
        return -1;
    }
    HD_MODEL_S& m = *handle->Model;
    m.HasOutput = false;
    m.Candidates.clear();
    if (channels != 1 && channels != 3) {
        printf("Error: Only support input color = 1 (Gray) or 3 (RGB/BGR).\n");
        return -1;
    }
    if (pixels == nullptr || width <= 0 || height <= 0) {
        printf("Error: Failed to do Foward_Network(), something wrong in the library.\n");
        return -1;
    }
    const MODEL_DESC_S& d = kModels[m.Index];
    const HD_NETWORK_CONFIG_S& c = *handle->Config;
    const int th = RoundUp(c.InputHeight > 0 ? c.InputHeight : height, d.InputMultiple);
    const int tw = RoundUp(c.InputWidth > 0 ? c.InputWidth : width, d.InputMultiple);
    if (!MemoryEnough(static_cast<double>(d.InferBytes) * tw * th / 16384.0)) {
        printf("Error: Memory is not enough to inference %dx%d image by current model.\n", tw, th);
        return -1;
    }
    ApplyThreads(c.NumThreads);
    try {
        // The detectors read gray: both input colours end there.
        const cv::Mat in(height, width, channels == 3 ? CV_8UC3 : CV_8UC1, const_cast<uint8_t*>(pixels),
                         static_cast<size_t>(stride) * channels);
        cv::Mat gray;
        if (channels == 3) {
            cv::cvtColor(in, gray, cv::COLOR_RGB2GRAY);
        } else {
            gray = in;
        }
        // The input size of the network; a picture smaller than the detector's window is scaled
        // up until the window fits (boxes are kept as fractions, so they map back).
        const cv::Size window = m.Index == 0 ? cv::Size(kFaceMinSide, kFaceMinSide) : kHogWindow;
        const double up = std::max({1.0, static_cast<double>(window.width) / tw, static_cast<double>(window.height) / th});
        const cv::Size target(static_cast<int>(std::ceil(tw * up)), static_cast<int>(std::ceil(th * up)));
        cv::Mat sized;
        if (target != gray.size()) {
            cv::resize(gray, sized, target, 0, 0, cv::INTER_LINEAR);
        } else {
            sized = gray;
        }
        if (m.Index == 0) {
            DetectFaces(m, sized);
        } else {
            DetectBodies(m, sized);
        }
    } catch (const cv::Exception&) {
        printf("Error: Target size is too large for current memory space.\n");
        m.Candidates.clear();
        return -1;
    }
    m.HasOutput = true;
    return 0;
}

int HdSelectBoxes(const HD_CANDIDATE_S* cand, int n, float prob, float nms, int maxBoxes, int height, int width,
                  HD_BOX_S* out)
{
    struct Box {
        int x0, y0, x1, y1;
        int cls;
        float score;
    };
    if (cand == nullptr || out == nullptr || maxBoxes <= 0) {
        return 0;
    }
    std::vector<Box> boxes;
    for (int i = 0; i < n; ++i) {
        const HD_CANDIDATE_S& c = cand[i];
        if (c.Score < prob) {
            continue;
        }
        boxes.push_back(Box{static_cast<int>(c.x0 * width + 0.5f), static_cast<int>(c.y0 * height + 0.5f),
                            static_cast<int>(c.x1 * width + 0.5f), static_cast<int>(c.y1 * height + 0.5f),
                            c.ClassIndex, c.Score});
    }
    auto area = [](const Box& b) { return static_cast<double>(b.x1 - b.x0) * (b.y1 - b.y0); };
    auto iou = [&](const Box& a, const Box& b) {
        const int iw = std::min(a.x1, b.x1) - std::max(a.x0, b.x0);
        const int ih = std::min(a.y1, b.y1) - std::max(a.y0, b.y0);
        if (iw <= 0 || ih <= 0) {
            return 0.0;
        }
        const double inter = static_cast<double>(iw) * ih;
        const double uni = area(a) + area(b) - inter;
        return uni > 0 ? inter / uni : 0.0;
    };
    // Every pair is looked at on the candidates as they came: a box goes only for a stronger one.
    std::vector<Box> kept;
    for (size_t i = 0; i < boxes.size(); ++i) {
        bool drop = false;
        for (size_t j = 0; j < boxes.size() && !drop; ++j) {
            drop = j != i && boxes[j].cls == boxes[i].cls && boxes[j].score > boxes[i].score &&
                   iou(boxes[i], boxes[j]) > nms;
        }
        if (!drop) {
            kept.push_back(boxes[i]);
        }
    }
    if (static_cast<int>(kept.size()) > maxBoxes) {
        std::nth_element(kept.begin(), kept.begin() + maxBoxes, kept.end(),
                         [](const Box& a, const Box& b) { return a.score > b.score; });
        kept.resize(maxBoxes);
    }
    for (size_t i = 0; i < kept.size(); ++i) {
        const Box& b = kept[i];
        out[i] = HD_BOX_S{static_cast<int16_t>(std::max(b.x0, 0)), static_cast<int16_t>(std::max(b.y0, 0)),
                          static_cast<int16_t>(std::min(b.x1, width - 1)), static_cast<int16_t>(std::min(b.y1, height - 1)),
                          static_cast<int16_t>(b.cls), b.score};
    }
    return static_cast<int>(kept.size());
}

int GetBBox(HD_NETWORK_S* handle, int height, int width)
{
    if (!CheckHandle(handle)) {
        return 0;
    }
    HD_MODEL_S& m = *handle->Model;
    if (!m.HasOutput) {
        printf("Error: Please use Forward_Network() first.\n");
        return 0;
    }
    const HD_NETWORK_CONFIG_S& c = *handle->Config;
    if (handle->Boxes == nullptr || c.MaxDetections <= 0) {
        printf("No result obtained because boxes == NULL or max_detection == 0.\n");
        handle->BoxCount = 0;
        return 0;
    }
    handle->BoxCount = HdSelectBoxes(m.Candidates.data(), static_cast<int>(m.Candidates.size()), c.ProbThreshold,
                                     c.NmsThreshold, c.MaxDetections, height, width, handle->Boxes);
    return handle->BoxCount;
}

int Change_Model(HD_NETWORK_S* handle, int index)
{
    if (!CheckHandle(handle)) {
        return -1;
    }
    HD_MODEL_S& m = *handle->Model;
    if (index == m.Index) {
        return 0;
    }
    if (index < 0 || index >= kModelCount) {
        printf("Error: wrong network_index, keep using previous network.\n");
        return -1;
    }
    if (!MemoryEnough(kModels[index].ActivateBytes)) {
        printf("Error: Memory is not enough to changle and activate the specified model.\n");
        return -1;
    }
    HD_MODEL_S next;
    if (!LoadModel(next, index)) {
        printf("Error: Failed to change model.\n");
        return -1;
    }
    m = std::move(next);
    printf("Successfully changed to model #%d\n", index);
    return 0;
}

void Release_Network(HD_NETWORK_S** handle)
{
    if (handle == nullptr || *handle == nullptr) {
        printf("Error: Cannot release NULL handle.\n");
        return;
    }
    HD_NETWORK_S* h = *handle;
    printf("Network handle (%p) is successfully released.\n", static_cast<void*>(h));
    delete[] h->Boxes;
    delete h->Model;
    delete h;
    *handle = nullptr;
}
