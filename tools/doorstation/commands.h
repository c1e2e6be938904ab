// Commands of the door-station simulator, one per line, from standard input, a FIFO or a
// script file.
#pragma once

#include "bus_codec.h"

#include <string>
#include <vector>

namespace doorstation {

// Source numbers the simulator uses on the bus unless a command names another.
constexpr unsigned kDoorStationSource = 1;
constexpr unsigned kHandsetSource = 2;

struct Command {
    enum Kind { None, Send, Sleep, WaitAnnounce, Help, Quit, Error, Board, Show, Expand } kind = None;
    Bytes frame;            // Send: the bytes to put on the bus
    double seconds = 0;     // Sleep; WaitAnnounce: the longest wait
    std::string message;    // Error: what is wrong with the line
    std::string file;       // Board: file below the board root to replace with `content`
    std::string content;
    std::vector<std::string> lines;  // Expand: command lines to run in its place
};

Command ParseCommand(const std::string& line);
const char* HelpText();

}  // namespace doorstation
