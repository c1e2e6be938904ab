// The detector's network from files over arbitrary parameter files. A file the check refuses
// must be refused by Init_Network_From_Files as well; one it takes gets a weight file of exactly
// the values it counted, so that OpenCV's Darknet reader goes through every layer, and the
// library's pass then runs the whole network (its last layers as the outputs) on small pictures.
#include "Media/hdlib/hdlib.h"
#include "fuzz_util.h"

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/dnn.hpp>

#include <cstring>
#include <string>
#include <vector>

namespace {

using fuzz::Check;

const char kParamFile[] = "/customer/hd/fuzz.cfg";
const char kWeightFile[] = "/customer/hd/fuzz.weights";
constexpr uint32_t kActivateBytes = 1 << 20;
constexpr uint32_t kInferBytes = 1u << 30;  // 64 MB for a pass at 32 x 32
constexpr size_t kMaxOutputs = 8;
constexpr int kSide = 32;

// The header of version 0.2 and `values` small floats of a fixed pattern.
std::string Weights(int64_t values)
{
    std::string w(3 * sizeof(int32_t) + sizeof(uint64_t) + static_cast<size_t>(values) * sizeof(float), '\0');
    const int32_t version[3] = {0, 2, 0};
    memcpy(w.data(), version, sizeof(version));
    float* v = reinterpret_cast<float*>(w.data() + 3 * sizeof(int32_t) + sizeof(uint64_t));
    for (int64_t i = 0; i < values; ++i) {
        v[i] = static_cast<float>(i % 7 - 3) * 0.25f;
    }
    return w;
}

void PutText(const char* path, const std::string& s)
{
    fuzz::PutFile(path, reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// The network's last layers, as OpenCV's reader names them, for a file the check took: the
// library's pass then runs the whole network. "conv_0" where the reader refuses the file.
std::vector<std::string> OutputsOf()
{
    const std::string root = fuzz::Sandbox();
    std::vector<std::string> names;
    try {
        cv::dnn::Net net = cv::dnn::readNetFromDarknet(root + kParamFile, root + kWeightFile);
        for (const cv::String& n : net.getUnconnectedOutLayersNames()) {
            if (names.size() < kMaxOutputs) {
                names.push_back(n);
            }
        }
    } catch (const std::exception&) {
    }
    if (names.empty()) {
        names.push_back("conv_0");
    }
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::QuietStdout();
    fuzz::Sandbox({"/customer/hd"});
    cv::setNumThreads(0);
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    return 0;
}

// Input: the parameter file.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const int64_t values = HdDarknetValues(text, kActivateBytes);
    Check(values >= -1 && values <= kActivateBytes / static_cast<int64_t>(sizeof(float)));
    PutText(kParamFile, text);
    // A refused file still gets a weight file that would fit a small network.
    PutText(kWeightFile, Weights(values >= 0 ? values : static_cast<int64_t>(size % 64)));

    static const float anchors[] = {8, 8};
    static const int perGrid[kMaxOutputs] = {1, 1, 1, 1, 1, 1, 1, 1};
    static const int masks[kMaxOutputs] = {};
    const std::vector<std::string> names = values >= 0 ? OutputsOf() : std::vector<std::string>{"conv_0"};
    std::vector<const char*> outputs;
    for (const std::string& n : names) {
        outputs.push_back(n.c_str());
    }
    const HD_EXTERNAL_MODEL_S model{kParamFile, kWeightFile, HD_KIND_DETECTOR_MASK, 1, 3, 5, kActivateBytes,
                                    kInferBytes, anchors, 1, perGrid, masks, outputs.data(),
                                    static_cast<int>(outputs.size())};
    HD_NETWORK_CONFIG_S config{kSide, kSide, 0.4f, 0.5f, 1, 5, 0};
    HD_NETWORK_S* handle = nullptr;
    const int rc = Init_Network_From_Files(&handle, &config, &model);
    Check(rc == 0 || rc == -1);
    Check(values >= 0 || rc == -1);
    Check((rc == 0) == (handle != nullptr));
    if (handle != nullptr) {
        // The whole network at two input sizes, in both input colours.
        std::vector<uint8_t> px(2 * kSide * kSide * 3, 0);
        px[(kSide / 2 * kSide + kSide / 2) * 3] = 255;
        for (int width : {kSide, 2 * kSide}) {
            config.InputWidth = width;
            for (int channels : {3, 1}) {
                if (Forward_Network(handle, px.data(), kSide, width, channels) == 0) {
                    Check(GetBBox(handle, kSide, width) <= config.MaxDetections);
                }
            }
        }
        Release_Network(&handle);
    }
    return 0;
}
