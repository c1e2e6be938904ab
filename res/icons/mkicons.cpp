// Draws the OSD's icons at build time: mkicons OUTDIR writes LOCK_L.bmp and GATE_L.bmp (100x100)
// and LOCK_S.bmp and GATE_S.bmp (50x50), 24-bit bottom-up BMP. Pure red (255, 0, 0) is the
// background: the OSD shows it as transparent.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Rgb {
    uint8_t r, g, b;
};

constexpr Rgb kClear{255, 0, 0};
constexpr Rgb kOutline{30, 30, 30};
constexpr Rgb kShackle{200, 200, 210};
constexpr Rgb kBody{230, 180, 40};
constexpr Rgb kPost{90, 90, 100};
constexpr Rgb kBar{60, 150, 70};

class Canvas {
public:
    explicit Canvas(int size) : mSize(size), mPixels(static_cast<size_t>(size) * size, kClear) {}

    // Shapes in coordinates 0..1 of the icon, so both sizes come from one drawing.
    void Rect(double x0, double y0, double x1, double y1, Rgb c)
    {
        for (int y = 0; y < mSize; ++y) {
            for (int x = 0; x < mSize; ++x) {
                double u = (x + 0.5) / mSize;
                double v = (y + 0.5) / mSize;
                if (u >= x0 && u < x1 && v >= y0 && v < y1) {
                    At(x, y) = c;
                }
            }
        }
    }

    // A ring between two radii, above the line y = below.
    void Ring(double cx, double cy, double r0, double r1, double below, Rgb c)
    {
        for (int y = 0; y < mSize; ++y) {
            for (int x = 0; x < mSize; ++x) {
                double u = (x + 0.5) / mSize - cx;
                double v = (y + 0.5) / mSize - cy;
                double d = std::sqrt(u * u + v * v);
                if (d >= r0 && d <= r1 && v + cy <= below) {
                    At(x, y) = c;
                }
            }
        }
    }

    void Disc(double cx, double cy, double r, Rgb c) { Ring(cx, cy, 0, r, 1.0, c); }

    bool Save(const std::string& path) const
    {
        const uint32_t stride = (static_cast<uint32_t>(mSize) * 3 + 3) & ~3u;
        const uint32_t image = stride * mSize;
        std::vector<uint8_t> out;
        auto u16 = [&out](uint32_t v) {
            out.push_back(v & 0xFF);
            out.push_back((v >> 8) & 0xFF);
        };
        auto u32 = [&u16](uint32_t v) {
            u16(v & 0xFFFF);
            u16(v >> 16);
        };
        u16(0x4D42);
        u32(54 + image);
        u32(0);
        u32(54);
        u32(40);
        u32(mSize);
        u32(mSize);  // positive: bottom-up
        u16(1);
        u16(24);
        u32(0);
        u32(image);
        u32(2835);
        u32(2835);
        u32(0);
        u32(0);
        for (int y = mSize - 1; y >= 0; --y) {
            for (int x = 0; x < mSize; ++x) {
                const Rgb& p = mPixels[static_cast<size_t>(y) * mSize + x];
                out.push_back(p.b);
                out.push_back(p.g);
                out.push_back(p.r);
            }
            for (uint32_t pad = mSize * 3; pad < stride; ++pad) {
                out.push_back(0);
            }
        }
        FILE* f = std::fopen(path.c_str(), "wb");
        if (f == nullptr) {
            std::perror(path.c_str());
            return false;
        }
        bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
        return std::fclose(f) == 0 && ok;
    }

private:
    Rgb& At(int x, int y) { return mPixels[static_cast<size_t>(y) * mSize + x]; }

    int mSize;
    std::vector<Rgb> mPixels;
};

void __Lock(Canvas& c)
{
    c.Ring(0.5, 0.42, 0.15, 0.27, 0.48, kOutline);
    c.Ring(0.5, 0.42, 0.18, 0.24, 0.48, kShackle);
    c.Rect(0.16, 0.44, 0.84, 0.92, kOutline);
    c.Rect(0.20, 0.48, 0.80, 0.88, kBody);
    c.Disc(0.5, 0.62, 0.07, kOutline);
    c.Rect(0.46, 0.62, 0.54, 0.80, kOutline);
}

void __Gate(Canvas& c)
{
    c.Rect(0.08, 0.08, 0.20, 0.94, kOutline);
    c.Rect(0.80, 0.08, 0.92, 0.94, kOutline);
    c.Rect(0.10, 0.10, 0.18, 0.92, kPost);
    c.Rect(0.82, 0.10, 0.90, 0.92, kPost);
    c.Rect(0.18, 0.24, 0.82, 0.32, kBar);
    c.Rect(0.18, 0.70, 0.82, 0.78, kBar);
    for (double x : {0.28, 0.41, 0.54, 0.67}) {
        c.Rect(x, 0.16, x + 0.06, 0.86, kBar);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: mkicons OUTDIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    const struct {
        const char* name;
        int size;
        void (*draw)(Canvas&);
    } icons[] = {
        {"LOCK_L.bmp", 100, __Lock}, {"LOCK_S.bmp", 50, __Lock}, {"GATE_L.bmp", 100, __Gate}, {"GATE_S.bmp", 50, __Gate}};
    for (const auto& icon : icons) {
        Canvas c(icon.size);
        icon.draw(c);
        if (!c.Save(dir + "/" + icon.name)) {
            return 1;
        }
    }
    return 0;
}
