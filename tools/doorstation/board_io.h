// The unit's board as the door-station simulator sees it: the key's GPIO value file and the ring
// level of the analogue doors, which it writes, and the outputs, which it shows. All files lie
// below the board root.
#pragma once

#include <string>

namespace doorstation {

constexpr const char* kKeyValueFile = "/sys/class/gpio/gpio66/value";
constexpr const char* kSarLevelFile = "/.board/sar_ch2";
constexpr const char* kHc595File = "/.board/74HC595";
// The camera signal the simulated video decoder detects: "STATUS REG01 REG02" in hexadecimal.
constexpr const char* kDecoderFile = "/.board/decoder";
constexpr unsigned long kSarFullScale = 1023;

// Replaces the file in one step (written aside, then renamed), so that the unit, which opens the
// file on every sample, never reads it half written. False on failure.
bool WriteBoardFile(const std::string& root, const std::string& file, const std::string& content);

// A few lines: the 74HC595 image, the GPIO outputs and the key, the SAR level.
std::string DescribeBoard(const std::string& root);

}  // namespace doorstation
