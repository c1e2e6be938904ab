// The person detector library: one of two built-in networks behind a handle, run on an image,
// its candidate boxes thresholded, thinned by non-maximum suppression and counted. Network 0
// (RGB input) finds a visitor's face, frontal or in profile either way (OpenCV's Haar cascades,
// built into the library); network 1 (gray input) finds whole bodies (OpenCV's HOG people
// detector). Both give their candidates directly. A network loaded from files runs on OpenCV's
// dnn module and leaves YOLO-style output grids (a detector of kind 2 or 3), which GetBBox
// decodes with HdDecodeGrids. Every failure prints its message and gives -1 or no boxes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Configuration record: the caller's, which the handle points to (the caller may change the
// input size between calls).
struct HD_NETWORK_CONFIG_S {
    int32_t InputHeight;
    int32_t InputWidth;
    float ProbThreshold;  // boxes scored below are dropped
    float NmsThreshold;   // overlap (intersection / union) above which the weaker box goes
    int32_t NumThreads;   // 0: the library's default
    int32_t MaxDetections;
    int32_t NetworkIndex;  // 0 or 1
};

// A box in pixels of the image size given to GetBBox (inclusive corners).
struct HD_BOX_S {
    int16_t x0;
    int16_t y0;
    int16_t x1;
    int16_t y1;
    int16_t ClassIndex;
    float Score;
};

// A candidate of a forward pass: corners as fractions of the image's width and height.
struct HD_CANDIDATE_S {
    float x0;
    float y0;
    float x1;
    float y1;
    int16_t ClassIndex;
    float Score;
};

struct HD_MODEL_S;

struct HD_NETWORK_S {
    HD_NETWORK_CONFIG_S* Config;
    HD_MODEL_S* Model;
    HD_BOX_S* Boxes;   // MaxDetections boxes
    int32_t BoxCount;  // of the last GetBBox
};

// 0, or -1 (network index not 0 or 1, too little memory, model not loaded): *handle stays null.
int Init_Network(HD_NETWORK_S** handle, HD_NETWORK_CONFIG_S* config);

// A network kept in a parameter file and a weight file (board paths, Darknet's text and binary
// formats), with what the library must know of it, as its own table holds for the built-in ones.
struct HD_EXTERNAL_MODEL_S {
    const char* ParamFile;
    const char* WeightFile;
    int Kind;                   // HD_MODEL_KIND_E
    int Classes;
    int Channels;               // input colour: 3 RGB, 1 gray
    int AlignBits;              // input sides are rounded up to 1 << AlignBits
    uint32_t ActivateBytes;     // memory the network takes when loaded
    uint32_t InferBytes;        // and per 16384 input pixels of a forward pass
    const float* Anchors;       // (width, height) pairs: input pixels (kind 3), grid cells (kind 2)
    int AnchorCount;            // pairs
    const int* AnchorsPerGrid;  // one count per output
    const int* Masks;           // kind 3: per output, its anchors' indexes
    const char* const* OutputNames;  // the layers whose outputs are the grids
    int OutputCount;
};
// Init_Network on a network from files in place of a built-in one (Change_Model switches to a
// built-in one). 0, or -1 after "Error: Failed to activate model." when a file is missing or
// unreadable, the description is incomplete, the parameter file fails HdDarknetValues within
// ActivateBytes, the weight file is not exactly its header and those values, or the network does
// not load.
int Init_Network_From_Files(HD_NETWORK_S** handle, HD_NETWORK_CONFIG_S* config, const HD_EXTERNAL_MODEL_S* model);
// The check a Darknet parameter file passes before OpenCV's reader sees it (the reader's counts
// are trusted by it: a bad layer index or group count crashes the process): every layer of a
// known kind, each index naming an earlier layer, counts and sizes positive and bounded, and the
// weights' values within `maxBytes`. The count of values the weight file holds after its
// header, or -1 for a file refused.
int64_t HdDarknetValues(const std::string& text, uint64_t maxBytes);
// Runs the network on `height` lines of `width` pixels of `channels` bytes (1 gray, 3 RGB),
// scaled to the configuration's input size (rounded up to 32). 0 or -1 (also for a network
// from files whose layers leave no output at that size, or whose outputs take more than its
// InferBytes allow). The candidates stay in the handle until the next call.
int Forward_Network(HD_NETWORK_S* handle, const uint8_t* pixels, int height, int width, int channels);
int Forward_Network(HD_NETWORK_S* handle, const uint8_t* pixels, int height, int width, int channels, int stride);
// The boxes of the last Forward_Network in pixels of a height x width image, into the handle's
// box buffer: at most MaxDetections of the highest scores. Their number.
int GetBBox(HD_NETWORK_S* handle, int height, int width);
// Switches to network 0 or 1. 0 or -1 (the previous network stays).
int Change_Model(HD_NETWORK_S* handle, int index);
void Release_Network(HD_NETWORK_S** handle);

// Kinds of model.
enum HD_MODEL_KIND_E {
    HD_KIND_CLASSIFIER = 0,
    HD_KIND_DETECTOR_GRID = 2,  // anchors in grid units
    HD_KIND_DETECTOR_MASK = 3,  // anchors in input pixels, chosen per grid by masks
    HD_KIND_FEATURE = 10,
};

// Entry points around the inference. Each checks the handle first.
// The classifier's class scores (Get_Num_Classes floats) into `prob`. 0 or -1.
int Get_Prob(HD_NETWORK_S* handle, float* prob);
// The feature extractor's vector (Get_Feature_Size floats) into `feature`. 0 or -1.
int Get_Feature(HD_NETWORK_S* handle, float* feature);
// The class count (classifiers and detectors), or -1.
int Get_Num_Classes(HD_NETWORK_S* handle);
// The feature vector's length (feature extractors), or -1.
int Get_Feature_Size(HD_NETWORK_S* handle);
// Limits of the input area (pixels; 0: none) that Forward_Network scales the input size into.
// 0, or -1 for a negative limit or a positive minimum above a positive maximum.
int Set_Area_Constraint(HD_NETWORK_S* handle, int min_area, int max_area);
// 0 classifier, 1 detector, 2 feature extractor, else -1.
int Get_Model_Type(HD_NETWORK_S* handle);
// The multiple the input sides are rounded up to, or -1.
int Get_Input_Align(HD_NETWORK_S* handle);
// The name tag of built-in network 0 or 1; NULL for another index.
const char* Get_Model_Name(int index);
void Print_Version();
void Print_Options();
// Every output of the last forward pass into the file `filename` (a board path), one row a line:
// a grid's rows channel by channel, or the candidates of a detector that gives them directly
// (x0 y0 x1 y1 class score). 0 or -1.
int Output_To_File(HD_NETWORK_S* handle, const char* filename);

// The input size of a forward pass: h x w scaled into the area limits (0: none), then rounded up
// to `multiple` (sides cut down to it first when scaled down).
void HdTargetSize(int h, int w, int minArea, int maxArea, int multiple, int* th, int* tw);

// One output grid of a detector: Channels x Height x Width values, channel by channel, each
// channel row by row. Anchor a's channels are a * (5 + classes) + k: k 0..3 the box (x, y, w, h),
// 4 the objectness, 5.. the class scores, all as logits.
struct HD_GRID_S {
    const float* Data;
    int Width;
    int Height;
    int Channels;
};
// What decoding needs of a model.
struct HD_DECODE_S {
    int Kind;            // HD_MODEL_KIND_E
    int Classes;
    const float* Anchors;  // (width, height) pairs: input pixels (kind 3), grid cells (kind 2)
    int AnchorCount;       // pairs
    const int* AnchorsPerGrid;  // one count per grid
    const int* Masks;           // kind 3: per grid, its anchors' indexes, grid after grid
};
// GetBBox's decoding: every anchor of every cell whose objectness reaches the probability
// threshold `prob` and whose score (class probability x objectness) does too, as a candidate
// with corners in fractions of the picture (the network's input was targetWidth x targetHeight).
// The candidate count, or -1 after the check's message (a classifier or unknown kind, anchors,
// masks or classes missing, a grid empty).
int HdDecodeGrids(const HD_DECODE_S& model, const HD_GRID_S* grids, int gridCount, float prob, int targetHeight,
                  int targetWidth, std::vector<HD_CANDIDATE_S>& out);

// GetBBox's selection on candidates: those scored at least `prob` in pixels of height x width,
// a box dropped when one of its class overlapping it by more than `nms` (intersection over union)
// scores strictly higher, then the `maxBoxes` best, clamped into the image. The count written.
int HdSelectBoxes(const HD_CANDIDATE_S* cand, int n, float prob, float nms, int maxBoxes, int height, int width,
                  HD_BOX_S* out);
