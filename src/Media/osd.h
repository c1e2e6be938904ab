// On-screen display: the time stamp on all three streams (regions 4 and 5, drawn with bitmap
// fonts every second) and the lock and gate icons (regions 0 to 3, BMP files in ARGB4444).
#pragma once

#include "Common/Countdown.h"
#include "platform/mi/mi_rgn.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

constexpr int kOsdIconCount = 2;  // lock, gate
constexpr uint32_t kOsdHandleMax = 1024;
constexpr MI_RGN_HANDLE kOsdTimeStampMain = 4;   // main stream
constexpr MI_RGN_HANDLE kOsdTimeStampSmall = 5;  // sub and JPEG streams
constexpr int kOsdFontSizes = 4;                 // size index 0 to 3: 16, 32, 48, 64 pixels high
constexpr uint16_t kOsdColourWhite = 0xFFFF;
// What an unlock shows: the icon blinks every 50 ticks and goes after 400 (10 ms ticks).
constexpr uint16_t kOsdIconBlinkTicks = 50;
constexpr uint16_t kOsdIconShowTicks = 400;

// One icon: its two bitmaps (large on the main stream, small on the sub stream) and the two
// countdowns the timer task runs. Icon i uses regions 2i (large) and 2i + 1 (small).
struct OSD_ICON_S {
    std::atomic<uint8_t> Shown{0};
    uint16_t SmallHandle;
    uint16_t LargeHandle;
    uint16_t LargeX;
    uint16_t SmallX;
    uint16_t LargeY;
    uint16_t SmallY;
    uint16_t LargeWidth;
    uint16_t SmallWidth;
    uint16_t LargeHeight;
    uint16_t SmallHeight;
    char LargePath[32];
    char SmallPath[32];
    Countdown FirstCountdown{kCountdownStopped};    // blink: toggles the icon, reloads itself
    Countdown DisplayCountdown{kCountdownStopped};  // hide: removes the icon
};

extern OSD_ICON_S gOsdIcon[kOsdIconCount];
extern const uint32_t gOsdIconCount;
// The icon shown last (0 lock, 1 gate).
extern std::atomic<uint32_t> gOsdCurrentIcon;

// One entry of the canvas table: a region the OSD draws into.
struct OSD_CANVAS_S {
    uint32_t Handle;  // 0xFFFFFFFF: free
    MI_RGN_CanvasInfo_t Canvas;
    uint32_t PixelFormat;  // as created: 1 ARGB4444, 3 4-bit indexed
};

// Once per process: canvas table, font files, region library. The region library's failure is
// returned; a font file that is missing only leaves its characters out.
int OsdSystemInit();
// Regions 4 and 5 created and attached, then the time-stamp thread. 0, or the first failure.
int OsdRegionsInit();
// The regions of OsdRegionsInit without the thread (tests drive OsdTimeStampPass themselves).
int OsdRegionsCreate();
// Attaches the time stamp regions to the scaler's ports: at their creation and again after a
// rebuild of the scaler, which drops its attachments. 0 without regions (no on-screen display).
int OsdRegionsAttach();
// A region the OSD will draw into: handle and pixel format kept, canvas information cleared.
int OsdRegisterRegion(MI_RGN_HANDLE handle, uint32_t pixelFormat);
// The region's canvas into the table (and `out`). 1 for a handle of 1024 or more or a free entry.
int OsdGetCanvas(MI_RGN_HANDLE handle, MI_RGN_CanvasInfo_t* out);
// Text at (x, y) of the canvas (as last got), in the font of the size index. 1 for a bad or free
// handle, -1 for a text that cannot be converted, else 0.
int OsdCanvasDrawText(MI_RGN_HANDLE handle, uint32_t x, uint32_t y, const char* text, uint16_t colour,
                      uint32_t sizeIndex);
// The same with the lines laid out in the given direction: vertical stacks each line's characters
// downwards and places the lines side by side. The OSD's own texts run horizontally.
enum OSD_TEXT_DIRECTION_E : uint32_t { OSD_TEXT_HORIZONTAL = 0, OSD_TEXT_VERTICAL = 1 };
constexpr OSD_TEXT_DIRECTION_E kOsdTextDirection = OSD_TEXT_HORIZONTAL;
int OsdCanvasDrawTextAs(MI_RGN_HANDLE handle, uint32_t x, uint32_t y, const char* text, uint16_t colour,
                        uint32_t sizeIndex, OSD_TEXT_DIRECTION_E direction);
// One pixel; 1 outside the canvas or for a bad or free handle, else 0.
int OsdPutPixel(MI_RGN_HANDLE handle, uint32_t x, uint32_t y, uint16_t colour);

// UTF-8 (only texts that start with a byte-order mark, or plain ASCII) to GB2312 into `out` (NUL
// ended); text with other non-ASCII bytes is taken as GB2312 already and copied. The number of
// characters (bytes for copied text), or -1 (no text, a 4-byte or broken UTF-8 sequence).
int OsdTextToGb2312(const char* text, uint8_t* out, size_t outSize);

// The time stamp "%02d-%02d-%04d %02d:%02d:%02d" of `now` (local time) drawn into both regions and
// published; " " while the watermark setting is 0. -1 when the time cannot be broken down.
int OsdTimeStampPass(time_t now);
// The time-stamp thread's next wait after a refresh that took `elapsedUs`: the rest of the
// second, 10 ms after a refresh of a second or more, 980 ms when the time went backwards.
int64_t OsdNextWaitUs(int64_t elapsedUs);
void* ST_UpdateRgnOsdProcExt(void* arg);

// Shows icon 0 (lock) or 1 (gate) unless it is shown: hides the other icon first, then both
// bitmaps on the main and sub streams; non-zero countdowns are started (first: blink, display:
// hide). A failing step takes back what it made; the icon then stays hidden.
void ShowIconOsd(uint8_t icon, uint16_t firstCountdown, uint16_t displayCountdown);
// Takes the icon's bitmaps off the streams. 0 or the first failure.
int HideIconOsd(uint8_t icon);
