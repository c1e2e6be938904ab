// The analogue door camera of the simulated board: a synthetic scene per door, or a raw file.
#include "mi_state.h"
#include "platform/board_path.h"
#include "platform/board_sim.h"
#include "platform/mi/mi_sim.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace misim {

namespace {

// 5x7 digits, one byte per row, bit 4 leftmost.
const uint8_t kDigits[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
};

constexpr int kCounterDigits = 6;

void __FillRect(Frame& f, int x0, int y0, int w, int h, uint8_t y, uint8_t u, uint8_t v)
{
    int x1 = std::min(f.width, x0 + w);
    int y1 = std::min(f.height, y0 + h);
    x0 = std::max(0, x0);
    y0 = std::max(0, y0);
    for (int yy = y0; yy < y1; ++yy) {
        std::memset(f.Y() + static_cast<size_t>(yy) * f.width + x0, y, std::max(0, x1 - x0));
    }
    for (int yy = y0 / 2; yy < (y1 + 1) / 2; ++yy) {
        size_t off = static_cast<size_t>(yy) * (f.width / 2) + x0 / 2;
        int n = std::max(0, (x1 + 1) / 2 - x0 / 2);
        std::memset(f.U() + off, u, n);
        std::memset(f.V() + off, v, n);
    }
}

// Door 0: a warm wooden door in a light frame; door 1: a cool stone wall with a gate.
void __DrawBackground(Frame& f, int door)
{
    int w = f.width;
    int h = f.height;
    if (door == 0) {
        for (int y = 0; y < h; ++y) {
            std::memset(f.Y() + static_cast<size_t>(y) * w, 150 + 60 * y / h, w);
        }
        std::memset(f.U(), 110, static_cast<size_t>(w / 2) * (f.AlignedHeight() / 2));
        std::memset(f.V(), 150, static_cast<size_t>(w / 2) * (f.AlignedHeight() / 2));
        __FillRect(f, w / 3, h / 8, w / 3, h * 7 / 8, 90, 100, 165);
        __FillRect(f, w * 3 / 5, h / 2, w / 30 + 2, h / 30 + 2, 220, 80, 140);  // the handle
    } else {
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                bool joint = (y % (h / 9 + 1)) < 3 || ((x + (y / (h / 9 + 1)) * (w / 16)) % (w / 8 + 1)) < 3;
                f.Y()[static_cast<size_t>(y) * w + x] = joint ? 70 : 120;
            }
        }
        std::memset(f.U(), 150, static_cast<size_t>(w / 2) * (f.AlignedHeight() / 2));
        std::memset(f.V(), 115, static_cast<size_t>(w / 2) * (f.AlignedHeight() / 2));
        for (int i = 0; i < 8; ++i) {
            __FillRect(f, w / 4 + i * w / 16, h / 3, w / 60 + 2, h * 2 / 3, 40, 128, 128);  // the gate's bars
        }
    }
}

void __DrawCounter(Frame& f, uint64_t n)
{
    int scale = std::max(2, f.height / 120);
    int digitW = 6 * scale;
    int boxW = kCounterDigits * digitW + 2 * scale;
    int boxH = 9 * scale;
    int x0 = f.width - boxW - 2 * scale;
    int y0 = 2 * scale;
    __FillRect(f, x0, y0, boxW, boxH, 16, 128, 128);
    for (int d = kCounterDigits - 1; d >= 0; --d) {
        int digit = static_cast<int>(n % 10);
        n /= 10;
        int dx = x0 + scale + d * digitW;
        for (int row = 0; row < 7; ++row) {
            for (int col = 0; col < 5; ++col) {
                if (kDigits[digit][row] & (0x10 >> col)) {
                    for (int yy = 0; yy < scale; ++yy) {
                        std::memset(f.Y() + static_cast<size_t>(y0 + scale + row * scale + yy) * f.width + dx + col * scale, 235,
                                    scale);
                    }
                }
            }
        }
    }
}

// The visitor walks across and back while present: a dark coat and a face.
void __DrawVisitor(Frame& f, uint64_t step)
{
    int bodyW = f.width / 8;
    int bodyH = f.height / 2;
    int span = f.width - bodyW;
    int travel = static_cast<int>((step * static_cast<uint64_t>(f.width) / 100) % (2 * static_cast<uint64_t>(span)));
    int x = travel < span ? travel : 2 * span - travel;
    int y = f.height - bodyH;
    __FillRect(f, x, y, bodyW, bodyH, 35, 140, 120);
    int head = bodyW / 2;
    __FillRect(f, x + bodyW / 4, y - head - 4, head, head, 170, 110, 155);
}

struct CameraFile {
    FILE* f = nullptr;
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    void Close()
    {
        if (f) {
            std::fclose(f);
            f = nullptr;
        }
    }
    ~CameraFile() { Close(); }
};

// A raw I420 file at the signal size replaces the scene of its door, looped. A file replaced
// meanwhile (a new one renamed over it) plays from its first frame on; a file removed gives the
// scene back.
bool __ReadCameraFile(int door, Frame& out)
{
    static CameraFile files[2];
    CameraFile& cf = files[door];
    std::string path = BoardPath(door ? "/.board/camera_door1.yuv" : "/.board/camera_door0.yuv");
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        cf.Close();
        return false;
    }
    if (cf.f != nullptr && (cf.path != path || cf.dev != st.st_dev || cf.ino != st.st_ino)) {
        cf.Close();
    }
    if (cf.f == nullptr) {
        cf.f = std::fopen(path.c_str(), "rb");
        cf.path = path;
        cf.dev = st.st_dev;
        cf.ino = st.st_ino;
        if (cf.f == nullptr) {
            return false;
        }
    }
    size_t ySize = static_cast<size_t>(out.width) * out.height;
    size_t cSize = ySize / 4;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (std::fread(out.Y(), 1, ySize, cf.f) == ySize && std::fread(out.U(), 1, cSize, cf.f) == cSize &&
            std::fread(out.V(), 1, cSize, cf.f) == cSize) {
            return true;
        }
        std::rewind(cf.f);
    }
    return false;
}

}  // namespace

void RenderCamera(State& s, Frame& out, uint64_t period)
{
    static Frame background[2];
    int door = MiSimCameraDoor();
    out.Allocate(s.signalWidth, s.signalHeight, false);
    if (__ReadCameraFile(door, out)) {
        return;
    }
    Frame& bg = background[door];
    if (bg.width != out.width || bg.height != out.height) {
        bg.Allocate(out.width, out.height, false);
        __DrawBackground(bg, door);
    }
    std::memcpy(out.data.data(), bg.data.data(), out.data.size());
    if (s.visitor) {
        __DrawVisitor(out, period > s.visitorSince ? period - s.visitorSince : 0);
    }
    __DrawCounter(out, period);
}

}  // namespace misim

int MiSimCameraDoor()
{
    // The video-select bit: 1 routes door 0, 0 door 1; a register never written shows door 0.
    int image = BoardHc595LastImage();
    return (image < 0 || (image & 0x40)) ? 0 : 1;
}
