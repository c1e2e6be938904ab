#include "hdlib.h"

#include "platform/board_path.h"

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>
#include <map>
#include <new>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <sys/stat.h>
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
    int Kind;               // HD_MODEL_KIND_E
    int Classes;
    int Channels;           // input colour: 3 RGB, 1 gray
    int AlignBits;          // input sides are rounded up to 1 << AlignBits
    uint32_t ActivateBytes;  // memory the network takes when loaded
    uint32_t InferBytes;    // and per 16384 input pixels of a forward pass
    int MinArea;            // input area limits, 0: none
    int MaxArea;
    int FeatureSize;        // of a feature extractor
    const char* Name;
};
constexpr MODEL_DESC_S kModels[2] = {
    {HD_KIND_DETECTOR_MASK, 1, 3, 5, 560000, 810000, 0, 0, 0, "person_rgb"},
    {HD_KIND_DETECTOR_MASK, 1, 1, 5, 560000, 810000, 0, 0, 0, "person_gray"},
};
// The output grids of both networks: three, from the coarsest, each with three of the nine
// anchors (input pixels).
constexpr float kAnchors[] = {10, 13, 16, 30, 33, 23, 30, 61, 62, 45, 59, 119, 116, 90, 156, 198, 373, 326};
constexpr int kAnchorsPerGrid[] = {3, 3, 3};
constexpr int kMasks[] = {6, 7, 8, 3, 4, 5, 0, 1, 2};
constexpr const char* kLibVersion = "1.2.0";
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

// One output of a forward pass.
struct HD_BLOB_S {
    int Width = 0;
    int Height = 0;
    int Channels = 0;
    std::vector<float> Data;
};

struct HD_MODEL_S {
    int Index = -1;  // of the built-in network; -1 for one from files
    MODEL_DESC_S Desc{};  // the table's row, or what the caller said of a network from files
    // A network from files: the network, its anchors, masks and output layers.
    cv::dnn::Net Net;
    std::vector<float> Anchors;
    std::vector<int> AnchorsPerGrid;
    std::vector<int> Masks;
    std::vector<std::string> OutputNames;
    int MinArea = 0;  // the handle's area limits (Set_Area_Constraint)
    int MaxArea = 0;
    int TargetHeight = 0;  // the input size of the last forward pass
    int TargetWidth = 0;
    int ShapedHeight = 0;  // of a network from files: the input size its layer shapes passed at
    int ShapedWidth = 0;
    std::vector<HD_BLOB_S> Outputs;  // output grids of a network that leaves them
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
    m.Desc = kModels[index];
    m.MinArea = m.Desc.MinArea;
    m.MaxArea = m.Desc.MaxArea;
    m.Net = cv::dnn::Net();
    m.HasOutput = false;
    m.Candidates.clear();
    m.Outputs.clear();
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

// Init_Network's frame around a loader: the handle and its box buffer, then `load` on the model;
// the handle goes again when it fails.
template <typename Load>
int CreateHandle(HD_NETWORK_S** handle, HD_NETWORK_CONFIG_S* config, Load load)
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
    if (!load(*h->Model)) {
        printf("Error: Failed to activate model.\n");
        delete[] h->Boxes;
        delete h->Model;
        delete h;
        return -1;
    }
    *handle = h;
    printf("Network handle (%p) is successfully created.\n", static_cast<void*>(h));
    return 0;
}

bool ReadableFile(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), R_OK) == 0;
}

// The caller's description of a network from files, checked before anything is loaded: the
// files are the caller's, and OpenCV's parser is no judge of counts it is not given.
bool DescriptionComplete(const HD_EXTERNAL_MODEL_S& d)
{
    constexpr int kMaxOutputs = 8;
    constexpr int kMaxAnchors = 64;
    bool ok = d.ParamFile != nullptr && d.WeightFile != nullptr && d.Anchors != nullptr &&
              d.AnchorsPerGrid != nullptr && d.OutputNames != nullptr && d.OutputCount >= 1 &&
              d.OutputCount <= kMaxOutputs && d.AnchorCount >= 1 && d.AnchorCount <= kMaxAnchors &&
              (d.Channels == 1 || d.Channels == 3) && d.AlignBits >= 0 && d.AlignBits <= 10 &&
              (d.Kind != HD_KIND_DETECTOR_MASK || d.Masks != nullptr);
    for (int g = 0; ok && g < d.OutputCount; ++g) {
        ok = d.OutputNames[g] != nullptr && d.AnchorsPerGrid[g] >= 1 && d.AnchorsPerGrid[g] <= kMaxAnchors;
    }
    return ok;
}

// The parameter file's check. OpenCV's Darknet reader trusts the counts it reads: a layer index
// far out of range or a group count of 0 takes the whole process down, and sizes and filter
// counts decide what it allocates. The file is read here on its own first, as sections of keys,
// and a layer is taken only when every count it gives names an earlier layer or lies within
// bounds, and the network's values fit into the memory the caller said it takes.
namespace darknet {

constexpr size_t kMaxFileBytes = 256 * 1024;
constexpr size_t kMaxLayers = 1024;
constexpr int64_t kMaxSide = 4096;
constexpr int64_t kMaxChannels = 16384;
constexpr int64_t kMaxElements = int64_t{1} << 28;  // of one layer's output
constexpr size_t kMaxInputs = 64;                   // of a route
constexpr int64_t kMaxAnchors = 1024;
constexpr int64_t kMaxClasses = 10000;

struct SECTION_S {
    std::string Type;
    std::map<std::string, std::string> Keys;
};

bool Blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

std::string Trimmed(const std::string& s)
{
    size_t b = 0;
    size_t e = s.size();
    while (b < e && Blank(s[b])) {
        ++b;
    }
    while (e > b && Blank(s[e - 1])) {
        --e;
    }
    return s.substr(b, e - b);
}

bool Word(const std::string& s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    });
}

// A value whose reading does not depend on how blanks are dropped: blanks only beside commas.
bool PlainValue(const std::string& v)
{
    if (v.empty() || v.find('=') != std::string::npos) {
        return false;
    }
    for (size_t i = 0; i < v.size(); ++i) {
        if (!Blank(v[i])) {
            continue;
        }
        size_t b = i;
        size_t e = i;
        while (b > 0 && Blank(v[b - 1])) {
            --b;
        }
        while (e < v.size() && Blank(v[e])) {
            ++e;
        }
        if ((b == 0 || v[b - 1] != ',') && (e == v.size() || v[e] != ',')) {
            return false;
        }
    }
    return true;
}

// The sections in file order; false on a line the reader could take another way than this one
// (bytes it drops, a key before the first section, no '=').
bool Split(const std::string& text, std::vector<SECTION_S>& out)
{
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = Trimmed(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line[0] == '#' || line[0] == ';') {
            continue;
        }
        for (char c : line) {
            if (!Blank(c) && (c < '!' || c > 'z')) {
                return false;
            }
        }
        if (line[0] == '[') {
            if (line.back() != ']' || !Word(line.substr(1, line.size() - 2)) || out.size() > kMaxLayers) {
                return false;
            }
            out.push_back(SECTION_S{line.substr(1, line.size() - 2), {}});
            continue;
        }
        const size_t eq = line.find('=');
        if (out.empty() || eq == std::string::npos) {
            return false;
        }
        const std::string key = Trimmed(line.substr(0, eq));
        const std::string value = Trimmed(line.substr(eq + 1));
        // The reader keeps a section's kind among its keys: a key of that name would change it.
        if (!Word(key) || !PlainValue(value) || key == "layer_type") {
            return false;
        }
        out.back().Keys[key] = value;  // the last of a repeated key counts, as in the reader
    }
    return true;
}

// A whole decimal integer of 32 bits, nothing else on it.
bool Integer(const std::string& s, int64_t& v)
{
    size_t i = s.empty() || (s[0] != '-' && s[0] != '+') ? 0 : 1;
    if (i == s.size() || s.size() - i > 10) {
        return false;
    }
    int64_t n = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') {
            return false;
        }
        n = n * 10 + (s[i] - '0');
    }
    v = s[0] == '-' ? -n : n;
    return v >= INT32_MIN && v <= INT32_MAX;
}

// A plain decimal number (digits, one point, an exponent): no hexadecimal, infinity or NaN.
bool Number(const std::string& s)
{
    size_t i = s.empty() || (s[0] != '-' && s[0] != '+') ? 0 : 1;
    size_t digits = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        ++digits;
    }
    if (i < s.size() && s[i] == '.') {
        for (++i; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
            ++digits;
        }
    }
    if (digits == 0 || digits > 20) {
        return false;
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        i += i < s.size() && (s[i] == '-' || s[i] == '+') ? 1 : 0;
        const size_t from = i;
        for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        }
        if (i == from || i - from > 2) {
            return false;
        }
    }
    return i == s.size();
}

std::vector<std::string> Items(const std::string& s)
{
    std::vector<std::string> items;
    size_t pos = 0;
    while (true) {
        const size_t comma = s.find(',', pos);
        items.push_back(Trimmed(s.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos)));
        if (comma == std::string::npos) {
            return items;
        }
        pos = comma + 1;
    }
}

// A key's integer in [lo, hi], `def` when the key is absent.
bool Param(const SECTION_S& s, const char* key, int64_t def, int64_t lo, int64_t hi, int64_t& v)
{
    const auto it = s.Keys.find(key);
    if (it == s.Keys.end()) {
        v = def;
    } else if (!Integer(it->second, v)) {
        return false;
    }
    return v >= lo && v <= hi;
}

// A list of integers (at least one, at most `max`).
bool IntList(const SECTION_S& s, const char* key, size_t max, std::vector<int64_t>& out)
{
    const auto it = s.Keys.find(key);
    if (it == s.Keys.end()) {
        return false;
    }
    const std::vector<std::string> items = Items(it->second);
    if (items.size() > max) {
        return false;
    }
    out.assign(items.size(), 0);
    for (size_t i = 0; i < items.size(); ++i) {
        if (!Integer(items[i], out[i])) {
            return false;
        }
    }
    return true;
}

// A layer reference: negative ones count back from layer `self`. It must name an earlier layer.
bool Earlier(int64_t ref, size_t self, size_t& index)
{
    const int64_t i = ref < 0 ? ref + static_cast<int64_t>(self) : ref;
    if (i < 0 || i >= static_cast<int64_t>(self)) {
        return false;
    }
    index = static_cast<size_t>(i);
    return true;
}

struct SHAPE_S {
    int64_t C;
    int64_t H;
    int64_t W;
};

bool Bounded(const SHAPE_S& s)
{
    return s.C >= 1 && s.C <= kMaxChannels && s.H >= 1 && s.H <= kMaxSide && s.W >= 1 && s.W <= kMaxSide &&
           s.C * s.H * s.W <= kMaxElements;
}

// A key that changes nothing here unless it holds `plain`: refused with any other value.
bool Only(const SECTION_S& s, const char* key, const char* plain)
{
    const auto it = s.Keys.find(key);
    return it == s.Keys.end() || it->second == plain;
}

// Anchors of a yolo or region layer: `num` pairs of plain numbers.
bool Anchors(const SECTION_S& s, int64_t num)
{
    const auto it = s.Keys.find("anchors");
    if (it == s.Keys.end()) {
        return false;
    }
    const std::vector<std::string> items = Items(it->second);
    return static_cast<int64_t>(items.size()) == 2 * num && std::all_of(items.begin(), items.end(), Number);
}

// The shape after one layer (`cur` the shape before, the reader's way: a route takes the
// channels of its inputs and keeps the spatial size of the layer before it) and the values its
// weights hold. False for a layer refused.
bool Layer(const SECTION_S& l, size_t self, const std::vector<SHAPE_S>& shapes, SHAPE_S& cur, int64_t& values)
{
    int64_t a = 0;
    int64_t b = 0;
    values = 0;
    if (l.Type == "convolutional") {
        int64_t filters, size, stride, groups, pad, padding, bn;
        if (!Param(l, "filters", -1, 1, kMaxChannels, filters) || !Param(l, "size", -1, 1, kMaxSide, size) ||
            !Param(l, "stride", 1, 1, kMaxSide, stride) || !Param(l, "groups", 1, 1, kMaxChannels, groups) ||
            !Param(l, "pad", 0, 0, 1, pad) || !Param(l, "padding", 0, 0, size, padding) ||
            !Param(l, "batch_normalize", 0, 0, 1, bn) || !Only(l, "dilation", "1") ||
            cur.C % groups != 0 || filters % groups != 0) {
            return false;
        }
        const auto stx = l.Keys.find("stride_x");
        const auto sty = l.Keys.find("stride_y");
        if ((stx != l.Keys.end() && stx->second != std::to_string(stride)) ||
            (sty != l.Keys.end() && sty->second != std::to_string(stride))) {
            return false;
        }
        // A kernel wider than the padded input would leave no output.
        const int64_t p = pad == 1 ? size / 2 : padding;
        if (cur.H + 2 * p < size || cur.W + 2 * p < size) {
            return false;
        }
        values = filters * (cur.C / groups) * size * size + filters * (bn == 1 ? 4 : 1);
        cur = SHAPE_S{filters, (cur.H + 2 * p - size) / stride + 1, (cur.W + 2 * p - size) / stride + 1};
        return true;
    }
    if (l.Type == "connected") {
        int64_t output, bn;
        if (!Param(l, "output", 1, 1, kMaxChannels, output) || !Param(l, "batch_normalize", 0, 0, 1, bn)) {
            return false;
        }
        values = output * cur.C * cur.H * cur.W + output * (bn == 1 ? 4 : 1);
        cur = SHAPE_S{output, 1, 1};
        return true;
    }
    if (l.Type == "maxpool") {
        int64_t size, stride, padding;
        if (!Param(l, "size", 2, 1, kMaxSide, size) || !Param(l, "stride", 2, 1, kMaxSide, stride) ||
            !Param(l, "padding", size - 1, 0, size, padding) || !Only(l, "maxpool_depth", "0") ||
            l.Keys.count("stride_x") != 0 || l.Keys.count("stride_y") != 0 || cur.H + padding < size ||
            cur.W + padding < size) {
            return false;
        }
        cur = SHAPE_S{cur.C, (cur.H + padding - size) / stride + 1, (cur.W + padding - size) / stride + 1};
        return true;
    }
    if (l.Type == "avgpool") {
        cur = SHAPE_S{cur.C, 1, 1};
        return true;
    }
    if (l.Type == "softmax" || l.Type == "dropout") {
        return Only(l, "groups", "1") && self > 0;
    }
    if (l.Type == "upsample") {
        if (!Param(l, "stride", 1, 1, kMaxSide, a)) {
            return false;
        }
        cur = SHAPE_S{cur.C, cur.H * a, cur.W * a};
        return true;
    }
    if (l.Type == "reorg") {
        if (!Param(l, "stride", 2, 1, kMaxSide, a) || cur.H < a || cur.W < a) {
            return false;
        }
        cur = SHAPE_S{cur.C * a * a, cur.H / a, cur.W / a};
        return cur.C <= kMaxChannels;
    }
    if (l.Type == "route") {
        std::vector<int64_t> refs;
        if (!IntList(l, "layers", kMaxInputs, refs) || !Param(l, "groups", 1, 1, kMaxChannels, a) ||
            !Param(l, "group_id", 0, 0, a - 1, b)) {
            return false;
        }
        int64_t channels = 0;
        int64_t area = cur.H * cur.W;
        for (int64_t ref : refs) {
            size_t i = 0;
            if (!Earlier(ref, self, i)) {
                return false;
            }
            channels += shapes[i].C;
            area = std::max(area, shapes[i].H * shapes[i].W);
        }
        if (channels % a != 0 || channels / a > kMaxChannels || channels / a * area > kMaxElements) {
            return false;
        }
        cur.C = channels / a;
        return true;
    }
    if (l.Type == "shortcut" || l.Type == "scale_channels" || l.Type == "sam") {
        const auto from = l.Keys.find("from");
        size_t i = 0;
        if (from == l.Keys.end() || !Integer(from->second, a) || !Earlier(a, self, i) ||
            !Only(l, "weights_type", "none")) {
            return false;
        }
        // The scaling layers multiply channel by channel.
        return l.Type == "shortcut" || shapes[i].C == cur.C;
    }
    if (l.Type == "yolo") {
        std::vector<int64_t> mask;
        if (!Param(l, "classes", -1, 1, kMaxClasses, a) || !Param(l, "num", -1, 1, kMaxAnchors, b) ||
            !Anchors(l, b) || !IntList(l, "mask", static_cast<size_t>(b), mask)) {
            return false;
        }
        return std::all_of(mask.begin(), mask.end(), [b](int64_t m) { return m >= 0 && m < b; });
    }
    if (l.Type == "region") {
        int64_t coords;
        return Param(l, "classes", -1, 1, kMaxClasses, a) && Param(l, "num", -1, 1, kMaxAnchors, b) &&
               Param(l, "coords", 4, 4, 4, coords) && Anchors(l, b);
    }
    return false;  // a kind of layer not known here
}

}  // namespace darknet

// A weight file's header: major, minor and revision, then the count of images seen, 64 bits
// from version 0.2 on. Its size, or 0 for a version no Darknet writer makes (a negative part).
constexpr size_t kMaxWeightHeader = 3 * sizeof(int32_t) + sizeof(uint64_t);
size_t WeightHeaderBytes(const std::string& w)
{
    int32_t version[3] = {};
    if (w.size() < sizeof(version)) {
        return 0;
    }
    memcpy(version, w.data(), sizeof(version));
    if (version[0] < 0 || version[1] < 0 || version[2] < 0) {
        return 0;
    }
    const int64_t major = version[0];
    const int64_t minor = version[1];
    const bool wideSeen = major * 10 + minor >= 2 && major < 1000 && minor < 1000;
    return sizeof(version) + (wideSeen ? sizeof(uint64_t) : sizeof(uint32_t));
}

// Whether the network OpenCV made holds `values` values from the weight file in its layers (a
// yolo or region layer keeps its anchors from the parameter file as values too).
bool NetHolds(cv::dnn::Net& net, int64_t values)
{
    int64_t held = 0;
    for (const cv::String& name : net.getLayerNames()) {
        const cv::Ptr<cv::dnn::Layer> layer = net.getLayer(name);
        if (layer->type == "Region") {
            continue;
        }
        for (const cv::Mat& blob : layer->blobs) {
            held += static_cast<int64_t>(blob.total());
        }
    }
    return held == values;
}

// A whole file of at most `max` bytes into `out`; false for a longer one, read no further.
bool ReadSmallFile(const std::string& path, size_t max, std::string& out)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return false;
    }
    out.assign(max + 1, '\0');
    const size_t n = fread(out.data(), 1, out.size(), f);
    const bool ok = ferror(f) == 0 && n <= max;
    fclose(f);
    out.resize(n);
    return ok;
}

}  // namespace

int64_t HdDarknetValues(const std::string& text, uint64_t maxBytes)
{
    using namespace darknet;
    std::vector<SECTION_S> sections;
    if (text.size() > kMaxFileBytes || !Split(text, sections) || sections.size() < 2 || sections[0].Type != "net") {
        return -1;
    }
    SHAPE_S cur{};
    if (!Param(sections[0], "width", 416, 1, kMaxSide, cur.W) || !Param(sections[0], "height", 416, 1, kMaxSide, cur.H) ||
        !Param(sections[0], "channels", 3, 1, kMaxChannels, cur.C) || !Bounded(cur)) {
        return -1;
    }
    std::vector<SHAPE_S> shapes;
    int64_t values = 0;
    for (size_t i = 1; i < sections.size(); ++i) {
        int64_t held = 0;
        if (!Layer(sections[i], i - 1, shapes, cur, held) || !Bounded(cur)) {
            return -1;
        }
        values += held;
        if (static_cast<uint64_t>(values) > maxBytes / sizeof(float)) {
            return -1;
        }
        shapes.push_back(cur);
    }
    return values;
}

namespace {

bool LoadFromFiles(HD_MODEL_S& m, const HD_EXTERNAL_MODEL_S* d)
{
    if (d == nullptr || !DescriptionComplete(*d)) {
        return false;
    }
    if (!MemoryEnough(d->ActivateBytes)) {
        printf("Error: Memory is not enough to activate model.\n");
        return false;
    }
    const std::string param = BoardPath(d->ParamFile);
    const std::string weights = BoardPath(d->WeightFile);
    if (!ReadableFile(param) || !ReadableFile(weights)) {
        return false;
    }
    // The reader gets the bytes that were checked: the parameter file once it passed, and the
    // weight file only when it is exactly its header and that network's values (OpenCV's reader
    // takes one that ends early, filling the rest with what it finds, or one with more behind).
    std::string text;
    if (!ReadSmallFile(param, darknet::kMaxFileBytes, text)) {
        return false;
    }
    const int64_t values = HdDarknetValues(text, d->ActivateBytes);
    const size_t valueBytes = static_cast<size_t>(values) * sizeof(float);
    std::string weightBytes;
    if (values < 0 || !ReadSmallFile(weights, kMaxWeightHeader + valueBytes, weightBytes)) {
        return false;
    }
    const size_t headerBytes = WeightHeaderBytes(weightBytes);
    if (headerBytes == 0 || weightBytes.size() != headerBytes + valueBytes) {
        return false;
    }
    cv::dnn::Net net;
    try {
        net = cv::dnn::readNetFromDarknet(text.data(), text.size(), weightBytes.data(), weightBytes.size());
        std::string().swap(weightBytes);  // the network holds its own copy
        if (net.empty() || !NetHolds(net, values)) {
            return false;
        }
        for (int g = 0; g < d->OutputCount; ++g) {
            if (net.getLayerId(d->OutputNames[g]) < 0) {
                return false;
            }
        }
    } catch (const std::exception&) {  // cv::Exception among them
        return false;
    }
    net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    m.Index = -1;
    m.Desc = MODEL_DESC_S{d->Kind, d->Classes, d->Channels, d->AlignBits, d->ActivateBytes, d->InferBytes,
                          0, 0, 0, nullptr};
    m.MinArea = 0;
    m.MaxArea = 0;
    m.Net = net;
    m.ShapedHeight = 0;
    m.ShapedWidth = 0;
    m.Anchors.assign(d->Anchors, d->Anchors + 2 * d->AnchorCount);
    m.AnchorsPerGrid.assign(d->AnchorsPerGrid, d->AnchorsPerGrid + d->OutputCount);
    m.Masks.clear();
    if (d->Kind == HD_KIND_DETECTOR_MASK) {
        int masks = 0;
        for (int per : m.AnchorsPerGrid) {
            masks += per;
        }
        m.Masks.assign(d->Masks, d->Masks + masks);
    }
    m.OutputNames.assign(d->OutputNames, d->OutputNames + d->OutputCount);
    m.HasOutput = false;
    m.Candidates.clear();
    m.Outputs.clear();
    return true;
}

// The bytes of every layer's output at an input of h x w, or -1 when one has a side below 1.
// OpenCV sizes the outputs from the input without that check: a kernel wider than the padded
// input gives a side of 0 or less, which it allocates as a buffer of a wrapped-round size.
int64_t PassBytes(cv::dnn::Net& net, int channels, int h, int w)
{
    std::vector<int> ids;
    std::vector<std::vector<cv::dnn::MatShape>> in;
    std::vector<std::vector<cv::dnn::MatShape>> out;
    net.getLayersShapes(cv::dnn::MatShape{1, channels, h, w}, ids, in, out);
    int64_t bytes = 0;
    for (const std::vector<cv::dnn::MatShape>& shapes : out) {
        for (const cv::dnn::MatShape& shape : shapes) {
            int64_t total = sizeof(float);
            for (int side : shape) {
                if (side <= 0 || (total *= side) > INT32_MAX) {
                    return -1;
                }
            }
            bytes += total;
        }
    }
    return bytes;
}

// The forward pass of a network from files: the picture in the network's colour at the target
// size, each channel times 1/255, and the named outputs kept as the grids GetBBox decodes.
int ForwardFromFiles(HD_MODEL_S& m, const uint8_t* pixels, int height, int width, int channels, int stride)
{
    try {
        // Checked once for each input size the network runs at: the outputs must exist and fit
        // into the memory the caller said a pass takes, which the memory check went by.
        if (m.ShapedHeight != m.TargetHeight || m.ShapedWidth != m.TargetWidth) {
            const int64_t bytes = PassBytes(m.Net, m.Desc.Channels, m.TargetHeight, m.TargetWidth);
            if (bytes < 0) {
                printf("Error: Failed to do Foward_Network(), something wrong in the library.\n");
                return -1;
            }
            if (static_cast<double>(bytes) > static_cast<double>(m.Desc.InferBytes) * m.TargetWidth * m.TargetHeight / 16384.0) {
                printf("Error: Memory is not enough to inference %dx%d image by current model.\n", m.TargetWidth,
                       m.TargetHeight);
                return -1;
            }
            m.ShapedHeight = m.TargetHeight;
            m.ShapedWidth = m.TargetWidth;
        }
        const cv::Mat in(height, width, channels == 3 ? CV_8UC3 : CV_8UC1, const_cast<uint8_t*>(pixels),
                         static_cast<size_t>(stride) * channels);
        cv::Mat colour = in;
        if (m.Desc.Channels != channels) {
            cv::cvtColor(in, colour, channels == 1 ? cv::COLOR_GRAY2RGB : cv::COLOR_RGB2GRAY);
        }
        m.Net.setInput(cv::dnn::blobFromImage(colour, 1.0 / 255.0, cv::Size(m.TargetWidth, m.TargetHeight),
                                              cv::Scalar(), false, false, CV_32F));
        std::vector<cv::Mat> outs;
        m.Net.forward(outs, std::vector<cv::String>(m.OutputNames.begin(), m.OutputNames.end()));
        bool shaped = outs.size() == m.OutputNames.size();
        for (const cv::Mat& o : outs) {
            shaped = shaped && o.dims == 4 && o.size[0] == 1 && o.type() == CV_32F && o.isContinuous();
        }
        if (!shaped) {
            printf("Error: Failed to do Foward_Network(), something wrong in the library.\n");
            return -1;
        }
        for (const cv::Mat& o : outs) {
            HD_BLOB_S b;
            b.Channels = o.size[1];
            b.Height = o.size[2];
            b.Width = o.size[3];
            b.Data.assign(o.ptr<float>(), o.ptr<float>() + o.total());
            m.Outputs.push_back(std::move(b));
        }
    } catch (const std::exception&) {
        printf("Error: Failed to do Foward_Network(), something wrong in the library.\n");
        m.Outputs.clear();
        return -1;
    }
    m.HasOutput = true;
    return 0;
}

}  // namespace

int Init_Network(HD_NETWORK_S** handle, HD_NETWORK_CONFIG_S* config)
{
    return CreateHandle(handle, config, [config](HD_MODEL_S& m) {
        const int index = config->NetworkIndex;
        if (index < 0 || index >= kModelCount) {
            printf("Error: wrong network_index, keep using previous network.\n");
            return false;
        }
        if (!MemoryEnough(kModels[index].ActivateBytes)) {
            printf("Error: Memory is not enough to activate model.\n");
            return false;
        }
        return LoadModel(m, index);
    });
}

int Init_Network_From_Files(HD_NETWORK_S** handle, HD_NETWORK_CONFIG_S* config, const HD_EXTERNAL_MODEL_S* model)
{
    return CreateHandle(handle, config, [model](HD_MODEL_S& m) { return LoadFromFiles(m, model); });
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
    m.Outputs.clear();
    if (channels != 1 && channels != 3) {
        printf("Error: Only support input color = 1 (Gray) or 3 (RGB/BGR).\n");
        return -1;
    }
    if (pixels == nullptr || width <= 0 || height <= 0) {
        printf("Error: Failed to do Foward_Network(), something wrong in the library.\n");
        return -1;
    }
    const MODEL_DESC_S& d = m.Desc;
    const HD_NETWORK_CONFIG_S& c = *handle->Config;
    int th = 0;
    int tw = 0;
    HdTargetSize(c.InputHeight > 0 ? c.InputHeight : height, c.InputWidth > 0 ? c.InputWidth : width, m.MinArea,
                 m.MaxArea, 1 << d.AlignBits, &th, &tw);
    m.TargetHeight = th;
    m.TargetWidth = tw;
    if (!MemoryEnough(static_cast<double>(d.InferBytes) * tw * th / 16384.0)) {
        printf("Error: Memory is not enough to inference %dx%d image by current model.\n", tw, th);
        return -1;
    }
    ApplyThreads(c.NumThreads);
    if (m.Index < 0) {
        return ForwardFromFiles(m, pixels, height, width, channels, stride);
    }
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
    // A network's box may lie far outside the picture, or be no number at all (its size is the
    // exponent of an output): corners are bounded before they become integers.
    auto pixel = [](float fraction, int side) {
        constexpr float kFar = 1 << 24;
        return static_cast<int>(std::clamp(fraction * side + 0.5f, -kFar, kFar));
    };
    std::vector<Box> boxes;
    for (int i = 0; i < n; ++i) {
        const HD_CANDIDATE_S& c = cand[i];
        if (!(c.Score >= prob) || !std::isfinite(c.x0) || !std::isfinite(c.y0) || !std::isfinite(c.x1) ||
            !std::isfinite(c.y1)) {
            continue;
        }
        boxes.push_back(Box{pixel(c.x0, width), pixel(c.y0, height), pixel(c.x1, width), pixel(c.y1, height),
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
        out[i] = HD_BOX_S{static_cast<int16_t>(std::clamp(b.x0, 0, width - 1)),
                          static_cast<int16_t>(std::clamp(b.y0, 0, height - 1)),
                          static_cast<int16_t>(std::clamp(b.x1, 0, width - 1)),
                          static_cast<int16_t>(std::clamp(b.y1, 0, height - 1)), static_cast<int16_t>(b.cls), b.score};
    }
    return static_cast<int>(kept.size());
}

void HdTargetSize(int h, int w, int minArea, int maxArea, int multiple, int* th, int* tw)
{
    const double area = static_cast<double>(h) * w;
    double scale = 1.0;
    if (minArea > 0 && area > 0 && area < minArea) {
        scale = std::sqrt(minArea / area);
    }
    if (maxArea > 0 && area > maxArea) {
        scale = std::sqrt(maxArea / area);
    }
    double sh = h * scale;
    double sw = w * scale;
    if (scale < 1.0) {
        // Shrunk into the limit: whole multiples, so the rounding up cannot grow past it again.
        sh = std::max(1.0, std::floor(sh / multiple)) * multiple;
        sw = std::max(1.0, std::floor(sw / multiple)) * multiple;
    }
    *th = RoundUp(static_cast<int>(std::ceil(sh)), multiple);
    *tw = RoundUp(static_cast<int>(std::ceil(sw)), multiple);
}

namespace {

float Sigmoid(float v)
{
    return 1.0f / (1.0f + std::exp(-v));
}

// GetBBox's checks of the model and its grids, each with its message.
bool DecodeCheck(const HD_DECODE_S& model, const HD_GRID_S* grids, int gridCount)
{
    if (model.Kind == HD_KIND_CLASSIFIER) {
        printf("Error: It's a classification model. Please use Get_Prob().\n");
        return false;
    }
    if (model.Kind != HD_KIND_DETECTOR_GRID && model.Kind != HD_KIND_DETECTOR_MASK) {
        printf("Error: Unknown detector.\n");
        return false;
    }
    bool known = model.Anchors != nullptr && model.AnchorCount > 0 && model.AnchorsPerGrid != nullptr &&
                 model.Classes > 0 && (model.Kind != HD_KIND_DETECTOR_MASK || model.Masks != nullptr);
    // Every anchor a grid names must exist, and a grid must hold every channel its anchors read.
    for (int g = 0, first = 0; known && g < gridCount; first += model.AnchorsPerGrid[g], ++g) {
        const int per = model.AnchorsPerGrid[g];
        known = per > 0 && (model.Kind == HD_KIND_DETECTOR_MASK || per <= model.AnchorCount);
        for (int a = 0; known && model.Kind == HD_KIND_DETECTOR_MASK && a < per; ++a) {
            known = model.Masks[first + a] >= 0 && model.Masks[first + a] < model.AnchorCount;
        }
        known = known && (grids == nullptr || grids[g].Data == nullptr ||
                          grids[g].Channels >= per * (5 + model.Classes));
    }
    if (!known) {
        printf("Error: Cannot get detection without given related information.\n");
        return false;
    }
    bool filled = gridCount > 0;
    for (int g = 0; filled && g < gridCount; ++g) {
        filled = grids != nullptr && grids[g].Data != nullptr && grids[g].Width > 0 && grids[g].Height > 0;
    }
    if (!filled) {
        printf("Error: Please use Forward_Network() first.\n");
    }
    return filled;
}

// HdDecodeGrids on a model and grids that passed DecodeCheck.
int DecodeChecked(const HD_DECODE_S& model, const HD_GRID_S* grids, int gridCount, float prob, int targetHeight,
                  int targetWidth, std::vector<HD_CANDIDATE_S>& out)
{
    out.clear();
    // The objectness cut in logit space: the sigmoid is only taken for cells that pass.
    const double cut = -std::log((1.0 - prob) / (prob + 1e-16));
    const int stride = 5 + model.Classes;
    auto at = [](const HD_GRID_S& g, int ch, int x, int y) {
        return g.Data[(static_cast<size_t>(ch) * g.Height + y) * g.Width + x];
    };
    size_t count = 0;
    for (int g = 0; g < gridCount; ++g) {
        const HD_GRID_S& grid = grids[g];
        for (int a = 0; a < model.AnchorsPerGrid[g]; ++a) {
            for (int y = 0; y < grid.Height; ++y) {
                for (int x = 0; x < grid.Width; ++x) {
                    count += at(grid, a * stride + 4, x, y) >= cut ? 1 : 0;
                }
            }
        }
    }
    if (count == 0) {
        return 0;
    }
    std::vector<float> classProb;
    try {
        out.reserve(count);
        classProb.resize(static_cast<size_t>(model.Classes));
    } catch (const std::bad_alloc&) {
        printf("Error: Cannot allocate buffer in GetBBox().\n");
        return 0;
    }
    for (int g = 0, first = 0; g < gridCount; first += model.AnchorsPerGrid[g], ++g) {
        const HD_GRID_S& grid = grids[g];
        for (int a = 0; a < model.AnchorsPerGrid[g]; ++a) {
            float aw = 0;
            float ah = 0;
            if (model.Kind == HD_KIND_DETECTOR_MASK) {
                const int k = model.Masks[first + a];
                aw = model.Anchors[2 * k] / static_cast<float>(targetWidth);
                ah = model.Anchors[2 * k + 1] / static_cast<float>(targetHeight);
            } else {
                aw = model.Anchors[2 * a] / static_cast<float>(grid.Width);
                ah = model.Anchors[2 * a + 1] / static_cast<float>(grid.Height);
            }
            const int base = a * stride;
            for (int y = 0; y < grid.Height; ++y) {
                for (int x = 0; x < grid.Width; ++x) {
                    const float o = at(grid, base + 4, x, y);
                    if (o < cut) {
                        continue;
                    }
                    const float obj = Sigmoid(o);
                    int cls = 0;
                    float best = 1.0f;
                    if (model.Classes > 1) {
                        float sum = 0;
                        float top = at(grid, base + 5, x, y);
                        for (int c = 1; c < model.Classes; ++c) {
                            top = std::max(top, at(grid, base + 5 + c, x, y));
                        }
                        for (int c = 0; c < model.Classes; ++c) {
                            const float v = at(grid, base + 5 + c, x, y);
                            // Softmax less its largest logit, so that no exponent overflows.
                            classProb[c] = model.Kind == HD_KIND_DETECTOR_MASK ? Sigmoid(v) : std::exp(v - top);
                            sum += classProb[c];
                        }
                        best = -1.0f;
                        for (int c = 0; c < model.Classes; ++c) {
                            const float p = model.Kind == HD_KIND_DETECTOR_MASK ? classProb[c] : classProb[c] / sum;
                            if (p > best) {
                                best = p;
                                cls = c;
                            }
                        }
                    }
                    const float score = best * obj;
                    if (score < prob) {
                        continue;
                    }
                    const float cx = (Sigmoid(at(grid, base, x, y)) + x) / grid.Width;
                    const float cy = (Sigmoid(at(grid, base + 1, x, y)) + y) / grid.Height;
                    const float bw = std::exp(at(grid, base + 2, x, y)) * aw;
                    const float bh = std::exp(at(grid, base + 3, x, y)) * ah;
                    out.push_back(HD_CANDIDATE_S{cx - bw / 2, cy - bh / 2, cx + bw / 2, cy + bh / 2,
                                                 static_cast<int16_t>(cls), score});
                }
            }
        }
    }
    return static_cast<int>(out.size());
}

}  // namespace

int HdDecodeGrids(const HD_DECODE_S& model, const HD_GRID_S* grids, int gridCount, float prob, int targetHeight,
                  int targetWidth, std::vector<HD_CANDIDATE_S>& out)
{
    if (!DecodeCheck(model, grids, gridCount)) {
        out.clear();
        return -1;
    }
    return DecodeChecked(model, grids, gridCount, prob, targetHeight, targetWidth, out);
}

namespace {

HD_DECODE_S DecodeOf(const HD_MODEL_S& m)
{
    if (m.Index < 0) {
        return HD_DECODE_S{m.Desc.Kind, m.Desc.Classes, m.Anchors.data(), static_cast<int>(m.Anchors.size() / 2),
                           m.AnchorsPerGrid.data(), m.Masks.empty() ? nullptr : m.Masks.data()};
    }
    return HD_DECODE_S{m.Desc.Kind, m.Desc.Classes, kAnchors, static_cast<int>(std::size(kAnchors) / 2),
                       kAnchorsPerGrid, kMasks};
}

}  // namespace

int GetBBox(HD_NETWORK_S* handle, int height, int width)
{
    if (!CheckHandle(handle)) {
        return 0;
    }
    HD_MODEL_S& m = *handle->Model;
    const HD_NETWORK_CONFIG_S& c = *handle->Config;
    const bool grids = !m.Outputs.empty();
    std::vector<HD_GRID_S> view;
    for (const HD_BLOB_S& b : m.Outputs) {
        view.push_back(HD_GRID_S{b.Data.data(), b.Width, b.Height, b.Channels});
    }
    const HD_DECODE_S decode = DecodeOf(m);
    if (grids ? !DecodeCheck(decode, view.data(), static_cast<int>(view.size())) : !m.HasOutput) {
        if (!grids) {
            printf("Error: Please use Forward_Network() first.\n");
        }
        return 0;
    }
    if (handle->Boxes == nullptr || c.MaxDetections <= 0) {
        printf("No result obtained because boxes == NULL or max_detection == 0.\n");
        handle->BoxCount = 0;
        return 0;
    }
    if (grids) {
        // The grids passed the checks above.
        DecodeChecked(decode, view.data(), static_cast<int>(view.size()), c.ProbThreshold, m.TargetHeight,
                      m.TargetWidth, m.Candidates);
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

namespace {

// The first output of a model of `kind` (`count` values) into the caller's buffer; `refusal` is
// printed for a model of another kind.
int CopyOutput(HD_NETWORK_S* handle, int kind, float* out, const char* refusal)
{
    if (!CheckHandle(handle)) {
        return -1;
    }
    const HD_MODEL_S& m = *handle->Model;
    const MODEL_DESC_S& d = m.Desc;
    if (d.Kind != kind) {
        printf("%s\n", refusal);
        return -1;
    }
    const size_t count = static_cast<size_t>(kind == HD_KIND_FEATURE ? d.FeatureSize : d.Classes);
    if (m.Outputs.empty() || m.Outputs[0].Data.size() < count || out == nullptr) {
        printf("Error: Please use Forward_Network() first.\n");
        return -1;
    }
    std::copy_n(m.Outputs[0].Data.begin(), count, out);
    return 0;
}

}  // namespace

int Get_Prob(HD_NETWORK_S* handle, float* prob)
{
    return CopyOutput(handle, HD_KIND_CLASSIFIER, prob,
                      "Error: Current model is not a classifier, cannot use Get_Prob().");
}

int Get_Feature(HD_NETWORK_S* handle, float* feature)
{
    return CopyOutput(handle, HD_KIND_FEATURE, feature,
                      "Error: Current model is not a feature extractor, cannot use Get_Feature().");
}

int Get_Num_Classes(HD_NETWORK_S* handle)
{
    if (!CheckHandle(handle)) {
        return -1;
    }
    const MODEL_DESC_S& d = handle->Model->Desc;
    if (d.Kind == HD_KIND_FEATURE) {
        printf("Error: Only classifier and detector have the number of classes.\n");
        return -1;
    }
    return d.Classes;
}

int Get_Feature_Size(HD_NETWORK_S* handle)
{
    if (!CheckHandle(handle)) {
        return -1;
    }
    const MODEL_DESC_S& d = handle->Model->Desc;
    if (d.Kind != HD_KIND_FEATURE) {
        printf("Error: Only feature extractor can use Get_Feature_Size().\n");
        return -1;
    }
    return d.FeatureSize;
}

int Set_Area_Constraint(HD_NETWORK_S* handle, int min_area, int max_area)
{
    if (!CheckHandle(handle)) {
        return -1;
    }
    if (min_area < 0 || max_area < 0) {
        printf("Error: area must be positive or zero (no constraint).\n");
        return -1;
    }
    if (min_area > 0 && max_area > 0 && min_area > max_area) {
        printf("Error: if max_area > 0 and min_area > 0, then it should be max_area >= min_area.\n");
        return -1;
    }
    handle->Model->MinArea = min_area;
    handle->Model->MaxArea = max_area;
    return 0;
}

int Get_Model_Type(HD_NETWORK_S* handle)
{
    if (!CheckHandle(handle)) {
        return -1;
    }
    switch (handle->Model->Desc.Kind) {
    case HD_KIND_CLASSIFIER:
        return 0;
    case HD_KIND_DETECTOR_GRID:
    case HD_KIND_DETECTOR_MASK:
        return 1;
    case HD_KIND_FEATURE:
        return 2;
    default:
        return -1;
    }
}

int Get_Input_Align(HD_NETWORK_S* handle)
{
    if (!CheckHandle(handle)) {
        return -1;
    }
    return 1 << handle->Model->Desc.AlignBits;
}

const char* Get_Model_Name(int index)
{
    return index >= 0 && index < kModelCount ? kModels[index].Name : nullptr;
}

void Print_Version()
{
    printf("Version: %s\n", kLibVersion);
}

void Print_Options()
{
    printf("#OPTION_AVOID_OOM=ON#\n");
    printf("#OPTION_MEMORY_MARGIN=0#\n");
    printf("#OPTION_INPUT_FORMAT=RGB#\n");
}

int Output_To_File(HD_NETWORK_S* handle, const char* filename)
{
    if (!CheckHandle(handle)) {
        return -1;
    }
    if (filename == nullptr || filename[0] == '\0') {
        printf("Error: Cannot output to file without given filename.\n");
        return -1;
    }
    const HD_MODEL_S& m = *handle->Model;
    if (m.Outputs.empty() && !m.HasOutput) {
        printf("Error: Please use Forward_Network() first.\n");
        return -1;
    }
    FILE* f = BoardFopen(filename, "w");
    if (f == nullptr) {
        printf("Error: Cannot open %s.\n", filename);
        return -1;
    }
    for (const HD_BLOB_S& b : m.Outputs) {
        for (int ch = 0; ch < b.Channels; ++ch) {
            for (int y = 0; y < b.Height; ++y) {
                const float* row = b.Data.data() + (static_cast<size_t>(ch) * b.Height + y) * b.Width;
                for (int x = 0; x < b.Width; ++x) {
                    fprintf(f, x == 0 ? "%g" : " %g", row[x]);
                }
                fputc('\n', f);
            }
        }
    }
    if (m.Outputs.empty()) {
        for (const HD_CANDIDATE_S& c : m.Candidates) {
            fprintf(f, "%g %g %g %g %d %g\n", c.x0, c.y0, c.x1, c.y1, c.ClassIndex, c.Score);
        }
    }
    const bool ok = ferror(f) == 0;
    if (fclose(f) != 0 || !ok) {
        printf("Error: Cannot write %s.\n", filename);
        return -1;
    }
    printf("Output file: %s\n", filename);
    return 0;
}
