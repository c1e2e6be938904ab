#include "osd.h"
#include "Common/AppThread.h"

#include "Common/AppLog.h"
#include "Common/DeviceState.h"
#include "OsdFont.h"
#include "loadbmp.h"
#include "platform/board.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/select.h>
#include <vector>

namespace {

constexpr uint32_t kFreeHandle = 0xFFFFFFFF;
constexpr size_t kTextBufferSize = 2048;
constexpr uint32_t kLineChars = 32;
constexpr uint32_t kMaxLines = 16;
constexpr uint32_t kTextStartX = 1;
constexpr uint32_t kTextStartY = 1;
constexpr uint32_t kSpacing = 1;
constexpr uint32_t kIconLayer = 100;
constexpr uint16_t kTransparentRed = 0xFF00;  // opaque pure red in ARGB4444
constexpr uint16_t kTransparent = 0x0F00;     // the same, fully transparent
constexpr int64_t kFirstWaitUs = 980000;

const MI_SYS_ChnPort_t kVpePort0{E_MI_MODULE_ID_VPE, 0, 0, 0};
const MI_SYS_ChnPort_t kVpePort1{E_MI_MODULE_ID_VPE, 0, 0, 1};
const MI_SYS_ChnPort_t kVpePort2{E_MI_MODULE_ID_VPE, 0, 0, 2};

// Start-up of the OSD: once per process.
std::mutex gStartLock;
bool gStarted = false;

// Icons are shown and hidden from the timer task, the viewer side, data points and the chain's
// restart: one lock, so an icon is never made twice or taken down while it is being made.
std::mutex gIconLock;

std::array<OSD_CANVAS_S, kOsdHandleMax> __FreeCanvases()
{
    std::array<OSD_CANVAS_S, kOsdHandleMax> table;
    table.fill(OSD_CANVAS_S{kFreeHandle, {}, 0});
    return table;
}

// Every entry free until a region is registered, also before OsdSystemInit.
std::array<OSD_CANVAS_S, kOsdHandleMax> gCanvas = __FreeCanvases();

OSD_CANVAS_S* __Entry(MI_RGN_HANDLE handle)
{
    if (handle >= kOsdHandleMax || gCanvas[handle].Handle == kFreeHandle) {
        return nullptr;
    }
    return &gCanvas[handle];
}

MI_RGN_Attr_t __Attr(uint32_t width, uint32_t height)
{
    MI_RGN_Attr_t attr{};
    attr.type = E_MI_RGN_TYPE_OSD;
    attr.pixelFmt = E_MI_RGN_PIXEL_FORMAT_ARGB4444;
    attr.size = MI_SYS_WindowSize_t{static_cast<MI_U16>(width), static_cast<MI_U16>(height)};
    return attr;
}

MI_RGN_ChnPortParam_t __At(uint32_t x, uint32_t y)
{
    return MI_RGN_ChnPortParam_t{true, static_cast<MI_U16>(x), static_cast<MI_U16>(y), kIconLayer};
}

// A 16-colour palette for the indexed formats: transparent black, then opaque colours.
MI_RGN_PaletteTable_t __Palette()
{
    MI_RGN_PaletteTable_t table{};
    static const MI_RGN_PaletteElement_t kColours[16] = {
        {0, 0, 0, 0},         {255, 255, 255, 255}, {255, 0, 0, 0},     {255, 255, 0, 0},
        {255, 0, 255, 0},     {255, 0, 0, 255},     {255, 255, 255, 0}, {255, 0, 255, 255},
        {255, 255, 0, 255},   {255, 128, 128, 128}, {255, 192, 192, 192}, {255, 128, 0, 0},
        {255, 0, 128, 0},     {255, 0, 0, 128},     {255, 255, 128, 0}, {255, 64, 64, 64},
    };
    for (int i = 0; i < 16; ++i) {
        table.element[i] = kColours[i];
    }
    return table;
}

void __DrawGlyph(MI_RGN_HANDLE handle, const OSD_GLYPH_S& g, uint32_t x, uint32_t y, uint16_t colour)
{
    const uint32_t bpr = (g.Width + 7) / 8;
    for (uint32_t row = g.Height; row-- > 0;) {
        const uint8_t* bits = g.Bits + row * bpr;
        for (uint32_t col = 0; col < g.Width; ++col) {
            if (bits[col / 8] & (0x80 >> (col % 8))) {
                OsdPutPixel(handle, x + col, y + row, colour);
            }
        }
    }
}

// One bitmap of an icon: region created, registered and attached, the BMP loaded into it with
// pure red made transparent. 0 or the first failure.
int __ShowBitmap(MI_RGN_HANDLE handle, const char* path, uint32_t width, uint32_t height, uint32_t x, uint32_t y,
                 const MI_SYS_ChnPort_t& port)
{
    MI_RGN_Attr_t attr = __Attr(width, height);
    MI_RGN_Create(handle, &attr);  // already there after a failed hide: go on with it
    int rc = OsdRegisterRegion(handle, E_MI_RGN_PIXEL_FORMAT_ARGB4444);
    if (rc != 0) {
        return rc;
    }
    MI_RGN_ChnPortParam_t at = __At(x, y);
    rc = MI_RGN_AttachToChn(handle, &port, &at);
    if (rc != MI_SUCCESS) {
        APP_ERR("MI_RGN_AttachToChn %u Fail %#x", handle, static_cast<unsigned>(rc));
        return rc;
    }
    BITMAP_FILE_HEADER_S fh{};
    BITMAP_INFO_HEADER_S ih{};
    if (GetBmpInfo(path, &fh, &ih) != 0) {
        return -1;
    }
    // The picture must fit the region; its buffer is sized for the region, not for what the
    // file's header says.
    std::vector<uint8_t> buffer(static_cast<size_t>(width) * height * 2);
    BITMAP_SURFACE_S surface{0, 0, 0, buffer.data(), static_cast<uint32_t>(buffer.size())};
    if (LoadImageEx(path, &surface, OSD_PIXEL_ARGB4444) != 0) {
        return -1;
    }
    for (size_t i = 0; i + 1 < buffer.size(); i += 2) {
        if ((buffer[i] | buffer[i + 1] << 8) == kTransparentRed) {
            buffer[i] = kTransparent & 0xFF;
            buffer[i + 1] = kTransparent >> 8;
        }
    }
    MI_RGN_Bitmap_t bitmap{E_MI_RGN_PIXEL_FORMAT_ARGB4444,
                           MI_SYS_WindowSize_t{static_cast<MI_U16>(surface.Width), static_cast<MI_U16>(surface.Height)},
                           buffer.data()};
    rc = MI_RGN_SetBitMap(handle, &bitmap);
    if (rc != MI_SUCCESS) {
        APP_ERR("MI_RGN_SetBitMap %u Fail %#x", handle, static_cast<unsigned>(rc));
    }
    return rc;
}

int __HideLocked(uint8_t icon)
{
    OSD_ICON_S& row = gOsdIcon[icon];
    row.Shown = 0;
    const MI_RGN_HANDLE large = 2u * icon;
    const MI_RGN_HANDLE small = 2u * icon + 1;
    int first = 0;
    for (int rc : {MI_RGN_DetachFromChn(large, &kVpePort0), MI_RGN_DetachFromChn(small, &kVpePort1),
                   MI_RGN_Destroy(large), MI_RGN_Destroy(small)}) {
        if (first == 0 && rc != MI_SUCCESS) {
            first = rc;
        }
    }
    return first;
}

}  // namespace

OSD_ICON_S gOsdIcon[kOsdIconCount] = {
    {{0}, 1, 0, 40, 20, 50, 25, 100, 50, 100, 50, "/customer/res/LOCK_L.bmp", "/customer/res/LOCK_S.bmp"},
    {{0}, 3, 2, 40, 20, 50, 25, 100, 50, 100, 50, "/customer/res/GATE_L.bmp", "/customer/res/GATE_S.bmp"},
};
const uint32_t gOsdIconCount = kOsdIconCount;
std::atomic<uint32_t> gOsdCurrentIcon{0};

namespace {
std::atomic<bool> gTimeStampRegions{false};  // regions 4 and 5 made
}  // namespace

int OsdSystemInit()
{
    std::lock_guard<std::mutex> lock(gStartLock);
    if (gStarted) {
        return 0;
    }
    gCanvas = __FreeCanvases();
    _OSD_BitmapFile_Init();
    MI_RGN_PaletteTable_t palette = __Palette();
    int rc = MI_RGN_Init(&palette);
    if (rc != MI_SUCCESS) {
        APP_ERR("MI_RGN_Init Fail %#x", static_cast<unsigned>(rc));
        return rc;
    }
    gStarted = true;
    return 0;
}

int OsdRegionsCreate()
{
    gTimeStampRegions = false;
    const struct {
        MI_RGN_HANDLE handle;
        uint32_t width;
    } regions[] = {{kOsdTimeStampMain, 600}, {kOsdTimeStampSmall, 200}};
    for (const auto& r : regions) {
        MI_RGN_Attr_t attr = __Attr(r.width, 40);
        MI_RGN_Create(r.handle, &attr);
        int rc = OsdRegisterRegion(r.handle, E_MI_RGN_PIXEL_FORMAT_ARGB4444);
        if (rc != 0) {
            return rc;
        }
    }
    gTimeStampRegions = true;
    return OsdRegionsAttach();
}

int OsdRegionsAttach()
{
    if (!gTimeStampRegions) {
        return 0;  // no on-screen display
    }
    const struct {
        MI_RGN_HANDLE handle;
        const MI_SYS_ChnPort_t* port;
        uint32_t x, y;
    } attachments[] = {{kOsdTimeStampMain, &kVpePort0, 20, 10},
                       {kOsdTimeStampSmall, &kVpePort1, 6, 4},
                       {kOsdTimeStampSmall, &kVpePort2, 6, 4}};
    for (const auto& a : attachments) {
        MI_RGN_ChnPortParam_t at = __At(a.x, a.y);
        int rc = MI_RGN_AttachToChn(a.handle, a.port, &at);
        if (rc != MI_SUCCESS) {
            APP_ERR("MI_RGN_AttachToChn %u Fail %#x", a.handle, static_cast<unsigned>(rc));
            return rc;
        }
    }
    return 0;
}

int OsdRegionsInit()
{
    int rc = OsdRegionsCreate();
    if (rc != 0) {
        return rc;
    }
    return AppStartDetachedThread(ST_UpdateRgnOsdProcExt);
}

int OsdRegisterRegion(MI_RGN_HANDLE handle, uint32_t pixelFormat)
{
    if (handle >= kOsdHandleMax) {
        return 1;
    }
    gCanvas[handle] = OSD_CANVAS_S{handle, {}, pixelFormat};
    return 0;
}

int OsdGetCanvas(MI_RGN_HANDLE handle, MI_RGN_CanvasInfo_t* out)
{
    OSD_CANVAS_S* e = __Entry(handle);
    if (e == nullptr) {
        return 1;
    }
    int rc = MI_RGN_GetCanvasInfo(handle, &e->Canvas);
    if (rc != MI_SUCCESS) {
        e->Canvas = MI_RGN_CanvasInfo_t{};  // nothing to draw into
        return rc;
    }
    if (out != nullptr) {
        *out = e->Canvas;
    }
    return 0;
}

int OsdPutPixel(MI_RGN_HANDLE handle, uint32_t x, uint32_t y, uint16_t colour)
{
    OSD_CANVAS_S* e = __Entry(handle);
    if (e == nullptr || e->Canvas.virtAddr == nullptr || x >= e->Canvas.size.width || y >= e->Canvas.size.height) {
        return 1;
    }
    auto* buffer = static_cast<uint8_t*>(e->Canvas.virtAddr);
    if (e->PixelFormat == E_MI_RGN_PIXEL_FORMAT_ARGB4444) {
        uint8_t* p = buffer + static_cast<size_t>(y) * e->Canvas.stride + static_cast<size_t>(x) * 2;
        p[0] = static_cast<uint8_t>(colour & 0xFF);
        p[1] = static_cast<uint8_t>(colour >> 8);
    } else if (e->PixelFormat == E_MI_RGN_PIXEL_FORMAT_I4) {
        uint8_t& b = buffer[static_cast<size_t>(y) * e->Canvas.stride + x / 2];
        if (x & 1) {
            b = static_cast<uint8_t>((b & 0x0F) | (colour << 4));
        } else {
            b = static_cast<uint8_t>((b & 0xF0) | (colour & 0x0F));
        }
    }
    return 0;
}

int OsdCanvasDrawText(MI_RGN_HANDLE handle, uint32_t x, uint32_t y, const char* text, uint16_t colour,
                      uint32_t sizeIndex)
{
    return OsdCanvasDrawTextAs(handle, x, y, text, colour, sizeIndex, kOsdTextDirection);
}

int OsdCanvasDrawTextAs(MI_RGN_HANDLE handle, uint32_t x, uint32_t y, const char* text, uint16_t colour,
                        uint32_t sizeIndex, OSD_TEXT_DIRECTION_E direction)
{
    if (__Entry(handle) == nullptr) {
        return 1;
    }
    uint8_t gb[kTextBufferSize];
    int n = OsdTextToGb2312(text, gb, sizeof(gb));
    if (n < 0) {
        return -1;
    }
    const size_t len = std::strlen(reinterpret_cast<const char*>(gb));
    // Lines step by the single-byte font's cell: its height across, its width down.
    const uint32_t lineHeight = sizeIndex < kOsdFontSizes ? gOsdFontFile[sizeIndex].Height : 0;
    const uint32_t lineWidth = sizeIndex < kOsdFontSizes ? gOsdFontFile[sizeIndex].Width : 0;
    const bool vertical = direction == OSD_TEXT_VERTICAL;
    uint32_t lines = (static_cast<uint32_t>(n) + kLineChars - 1) / kLineChars;
    if (lines > kMaxLines) {
        lines = kMaxLines;
    }
    uint32_t remaining = static_cast<uint32_t>(n);
    size_t at = 0;
    for (uint32_t line = 0; line < lines && at < len; ++line) {
        const uint32_t chars = remaining < kLineChars ? remaining : kLineChars;
        remaining -= chars;
        uint32_t advance = 0;  // the earlier glyphs of the line: their widths, or heights when vertical
        for (uint32_t pos = 0; pos < chars && at < len; ++pos) {
            OSD_GLYPH_S g{};
            size_t used = 1;
            if (OsdFindGlyph(sizeIndex, gb + at, len - at, &g, &used) != nullptr) {
                uint32_t gx = x + pos * kSpacing + kTextStartX + advance;
                uint32_t gy = y + line * kSpacing + kTextStartY + line * lineHeight;
                if (vertical) {
                    gx = x + line * kSpacing + kTextStartX + line * lineWidth;
                    gy = y + pos * kSpacing + kTextStartY + advance;
                }
                __DrawGlyph(handle, g, gx, gy, colour);
                advance += vertical ? g.Height : g.Width;
            }
            at += used;
        }
    }
    return 0;
}

int OsdTimeStampPass(time_t now)
{
    struct tm tm = {};
    if (localtime_r(&now, &tm) == nullptr) {
        APP_ERR("localtime error");
        return -1;
    }
    char text[64];
    std::snprintf(text, sizeof(text), "%02d-%02d-%04d %02d:%02d:%02d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    const char* shown = gDeviceState.WatermarkSetting != 0 ? text : " ";
    const struct {
        MI_RGN_HANDLE handle;
        uint32_t size;
    } regions[] = {{kOsdTimeStampMain, 1}, {kOsdTimeStampSmall, 0}};
    for (const auto& r : regions) {
        MI_RGN_CanvasInfo_t canvas{};
        if (OsdGetCanvas(r.handle, &canvas) == 0 && canvas.virtAddr != nullptr) {
            std::memset(canvas.virtAddr, 0, static_cast<size_t>(canvas.size.height) * canvas.stride);
            OsdCanvasDrawText(r.handle, 0, 0, shown, kOsdColourWhite, r.size);
        }
    }
    MI_RGN_UpdateCanvas(kOsdTimeStampMain);
    MI_RGN_UpdateCanvas(kOsdTimeStampSmall);
    return 0;
}

int64_t OsdNextWaitUs(int64_t elapsedUs)
{
    if (elapsedUs > 0 && elapsedUs < 1000000) {
        return 1000000 - elapsedUs;
    }
    if (elapsedUs >= 1000000) {
        return 10000;
    }
    return kFirstWaitUs;
}

void* ST_UpdateRgnOsdProcExt(void*)
{
    prctl(PR_SET_NAME, "ST_UpdateRgnOsdProcExt");
    int64_t waitUs = kFirstWaitUs;
    for (;;) {
        struct timeval tv = {static_cast<time_t>(waitUs / 1000000), static_cast<suseconds_t>(waitUs % 1000000)};
        if (select(0, nullptr, nullptr, nullptr, &tv) != 0) {
            continue;  // interrupted: the same wait again
        }
        auto start = std::chrono::system_clock::now();
        if (OsdTimeStampPass(BoardTime(nullptr)) != 0) {
            return nullptr;
        }
        auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now() - start);
        waitUs = OsdNextWaitUs(elapsed.count());
    }
    return nullptr;
}

void ShowIconOsd(uint8_t icon, uint16_t firstCountdown, uint16_t displayCountdown)
{
    if (icon >= kOsdIconCount) {
        return;
    }
    std::lock_guard<std::mutex> lock(gIconLock);
    OSD_ICON_S& row = gOsdIcon[icon];
    if (row.Shown) {
        return;
    }
    OSD_ICON_S& other = gOsdIcon[1 - icon];
    if (other.Shown) {
        __HideLocked(static_cast<uint8_t>(1 - icon));
        other.FirstCountdown = kCountdownStopped;
        other.DisplayCountdown = kCountdownStopped;
    }
    gOsdCurrentIcon = icon;
    const MI_RGN_HANDLE large = 2u * icon;
    int rc = __ShowBitmap(large, row.LargePath, row.LargeWidth, row.LargeHeight, row.LargeX, row.LargeY, kVpePort0);
    if (rc == 0) {
        rc = __ShowBitmap(large + 1, row.SmallPath, row.SmallWidth, row.SmallHeight, row.SmallX, row.SmallY,
                          kVpePort1);
    }
    if (rc != 0) {
        // A half-made icon would block every later show: take back what was made.
        __HideLocked(icon);
        return;
    }
    row.Shown = 1;
    APP_DBG("icon %u shown", icon);
    if (firstCountdown != 0) {
        row.FirstCountdown = firstCountdown;
    }
    if (displayCountdown != 0) {
        row.DisplayCountdown = displayCountdown;
    }
}

int HideIconOsd(uint8_t icon)
{
    if (icon >= kOsdIconCount) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(gIconLock);
    return __HideLocked(icon);
}
