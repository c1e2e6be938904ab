#include "commands.h"

#include "board_io.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace doorstation {
namespace {

constexpr uint32_t kDefaultDoorAddress = 10000001;

bool Number(const std::string& s, unsigned long max, unsigned long* out, int base = 10)
{
    if (s.empty()) {
        return false;
    }
    char* end = nullptr;
    unsigned long v = std::strtoul(s.c_str(), &end, base);
    if (*end != '\0' || s[0] == '-' || v > max) {
        return false;
    }
    *out = v;
    return true;
}

Command Fail(const std::string& why)
{
    Command c;
    c.kind = Command::Error;
    c.message = why;
    return c;
}

Command SendFrame(Bytes frame)
{
    Command c;
    c.kind = Command::Send;
    c.frame = std::move(frame);
    return c;
}

// Numeric arguments: `need` required, the rest take the defaults given.
bool Args(const std::vector<std::string>& words, size_t need, std::vector<unsigned long>& vals,
          unsigned long max = 0xFFFFFFFFul)
{
    size_t given = words.size() - 1;
    if (given < need || given > vals.size()) {
        return false;
    }
    for (size_t i = 0; i < given; ++i) {
        if (!Number(words[i + 1], max, &vals[i])) {
            return false;
        }
    }
    return true;
}

Command BoardFile(const char* file, std::string content)
{
    Command c;
    c.kind = Command::Board;
    c.file = file;
    c.content = std::move(content);
    return c;
}

Command Expand(std::vector<std::string> lines)
{
    Command c;
    c.kind = Command::Expand;
    c.lines = std::move(lines);
    return c;
}

}  // namespace

const char* HelpText()
{
    return "commands (one per line):\n"
           "  call DOOR [SOURCE]        a call from door station 1 or 2 (talk order 0)\n"
           "  takeup [ROOM]             a handset takes the call up (talk order 8, room 2)\n"
           "  takeoff [ROOM]            a handset hangs up (talk order 5, room 2)\n"
           "  unlock [DOOR] [ROOM]      a handset opens door 1 or 2 (talk order 13)\n"
           "  feedback SECONDS          the door station reports the lock open (talk order 14)\n"
           "  query [SOURCE]            asks the unit for its state (talk order 3)\n"
           "  busy ADDRESS              floor model: the room ADDRESS is busy (coding order 35)\n"
           "  ring ADDRESS [DOORADDR]   floor model: ring room ADDRESS (coding order 36)\n"
           "  config VALUE1 VALUE2      floor-model configuration (coding order 47)\n"
           "  assign ADDRESS            give the unit a room address (coding order 44)\n"
           "  coding ORDER A B          any coding order with addresses A and B\n"
           "  talk ORDER [V1 V2 TARGET SOURCE]   any talk order (defaults 0 0 0 1)\n"
           "  level KIND LEVEL          a level frame (kind 0 or 1)\n"
           "  raw HEX...                bytes as they are, e.g. raw 02 18 03\n"
           "  key [SECONDS]             press the unit's key (default 0.3 s; 3 s or more resets)\n"
           "  key down, key up          press / release the key and leave it so\n"
           "  doorbell DOOR [SECONDS]   analogue door 1 or 2 rings for SECONDS (default 3)\n"
           "  sar LEVEL                 ring level on the unit's SAR input (0..1023)\n"
           "  camera FORMAT [STD]       the camera the video decoder sees: 1080p, 720p, pal, ntsc (standard\n"
           "                            bits STD 0..3, default 2), off (no lock), raw STATUS [REG01 REG02] (hex)\n"
           "  show                      the unit's outputs: 74HC595 image, GPIO lines, SAR level\n"
           "  sleep SECONDS             wait before the next command\n"
           "  wait announce [SECONDS]   wait (at most SECONDS, default 30) until the unit has announced itself\n"
           "  help, quit";
}

Command ParseCommand(const std::string& line)
{
    std::vector<std::string> words;
    std::istringstream in(line.substr(0, line.find('#')));
    for (std::string w; in >> w;) {
        words.push_back(w);
    }
    if (words.empty()) {
        return {};
    }
    const std::string& cmd = words[0];
    std::vector<unsigned long> v;

    if (cmd == "help") {
        Command c;
        c.kind = Command::Help;
        return c;
    }
    if (cmd == "quit" || cmd == "exit") {
        Command c;
        c.kind = Command::Quit;
        return c;
    }
    if (cmd == "sleep") {
        char* end = nullptr;
        double s = words.size() == 2 ? std::strtod(words[1].c_str(), &end) : -1;
        if (words.size() != 2 || *end != '\0' || !(s >= 0 && s <= 86400)) {
            return Fail("usage: sleep SECONDS");
        }
        Command c;
        c.kind = Command::Sleep;
        c.seconds = s;
        return c;
    }
    if (cmd == "wait") {
        char* end = nullptr;
        double s = words.size() == 3 ? std::strtod(words[2].c_str(), &end) : 30;
        if (words.size() < 2 || words.size() > 3 || words[1] != "announce" || (end != nullptr && *end != '\0') ||
            !(s > 0 && s <= 86400)) {
            return Fail("usage: wait announce [SECONDS]");
        }
        Command c;
        c.kind = Command::WaitAnnounce;
        c.seconds = s;
        return c;
    }
    if (cmd == "call") {
        v = {0, kDoorStationSource};
        if (!Args(words, 1, v, 255) || v[0] < 1 || v[0] > 2) {
            return Fail("usage: call DOOR [SOURCE] (DOOR 1 or 2)");
        }
        return SendFrame(TalkFrame(0, v[0] - 1, 0, 0, v[1]));
    }
    if (cmd == "takeup" || cmd == "takeoff") {
        v = {kHandsetSource};
        if (!Args(words, 0, v, 255)) {
            return Fail("usage: " + cmd + " [ROOM]");
        }
        return SendFrame(TalkFrame(cmd == "takeup" ? 8 : 5, 0, 0, 0, v[0]));
    }
    if (cmd == "unlock") {
        v = {1, kHandsetSource};
        if (!Args(words, 0, v, 255) || v[0] < 1 || v[0] > 2) {
            return Fail("usage: unlock [DOOR] [ROOM] (DOOR 1 or 2)");
        }
        return SendFrame(TalkFrame(13, v[0] - 1, 0, 0, v[1]));
    }
    if (cmd == "feedback") {
        v = {0};
        if (!Args(words, 1, v, 255)) {
            return Fail("usage: feedback SECONDS");
        }
        return SendFrame(TalkFrame(14, v[0], 0, 0, kDoorStationSource));
    }
    if (cmd == "query") {
        v = {kHandsetSource};
        if (!Args(words, 0, v, 255)) {
            return Fail("usage: query [SOURCE]");
        }
        return SendFrame(TalkFrame(3, 0, 0, 0, v[0]));
    }
    if (cmd == "busy") {
        v = {0};
        if (!Args(words, 1, v)) {
            return Fail("usage: busy ADDRESS");
        }
        return SendFrame(CodingFrame(35, v[0], 0));
    }
    if (cmd == "ring") {
        v = {0, kDefaultDoorAddress};
        if (!Args(words, 1, v)) {
            return Fail("usage: ring ADDRESS [DOORADDR]");
        }
        return SendFrame(CodingFrame(36, v[0], v[1]));
    }
    if (cmd == "config") {
        v = {0, 0};
        if (!Args(words, 2, v, 239)) {
            return Fail("usage: config VALUE1 VALUE2 (0..239)");
        }
        // value 1 and value 2 are the first two digits of address A
        return SendFrame(CodingFrame(47, v[0] + 240 * v[1], 0));
    }
    if (cmd == "assign") {
        v = {0};
        if (!Args(words, 1, v)) {
            return Fail("usage: assign ADDRESS");
        }
        return SendFrame(CodingFrame(44, 0, v[0]));
    }
    if (cmd == "coding") {
        v = {0, 0, 0};
        if (!Args(words, 3, v) || v[0] < 32 || v[0] > 239) {
            return Fail("usage: coding ORDER A B (ORDER 32..239)");
        }
        return SendFrame(CodingFrame(v[0], v[1], v[2]));
    }
    if (cmd == "talk") {
        v = {0, 0, 0, 0, kDoorStationSource};
        if (!Args(words, 1, v, 239) || v[0] > 31) {
            return Fail("usage: talk ORDER [V1 V2 TARGET SOURCE] (ORDER 0..31)");
        }
        return SendFrame(TalkFrame(v[0], v[1], v[2], v[3], v[4]));
    }
    if (cmd == "level") {
        v = {0, 0};
        if (!Args(words, 2, v, 0xFFFF) || v[0] > 1) {
            return Fail("usage: level KIND LEVEL (KIND 0 or 1)");
        }
        return SendFrame(LevelFrame(v[0], v[1]));
    }
    if (cmd == "raw") {
        Bytes bytes;
        unsigned long b = 0;
        for (size_t i = 1; i < words.size(); ++i) {
            if (!Number(words[i], 0xFF, &b, 16)) {
                return Fail("usage: raw HEX... (bytes 00..FF)");
            }
            bytes.push_back(static_cast<uint8_t>(b));
        }
        if (bytes.empty()) {
            return Fail("usage: raw HEX...");
        }
        return SendFrame(bytes);
    }
    if (cmd == "key") {
        if (words.size() == 2 && (words[1] == "down" || words[1] == "up")) {
            return BoardFile(kKeyValueFile, words[1] == "down" ? "0\n" : "1\n");
        }
        char* end = nullptr;
        double s = words.size() == 2 ? std::strtod(words[1].c_str(), &end) : 0.3;
        if (words.size() > 2 || (end != nullptr && *end != '\0') || !(s > 0 && s <= 60)) {
            return Fail("usage: key [SECONDS] | key down | key up");
        }
        return Expand({"key down", "sleep " + std::to_string(s), "key up"});
    }
    if (cmd == "sar") {
        v = {0};
        if (!Args(words, 1, v, kSarFullScale) || words.size() != 2) {
            return Fail("usage: sar LEVEL (0..1023)");
        }
        return BoardFile(kSarLevelFile, std::to_string(v[0]) + "\n");
    }
    if (cmd == "doorbell") {
        char* end = nullptr;
        double s = words.size() == 3 ? std::strtod(words[2].c_str(), &end) : 3;
        if (words.size() < 2 || words.size() > 3 || (words[1] != "1" && words[1] != "2") ||
            (end != nullptr && *end != '\0') || !(s > 0 && s <= 600)) {
            return Fail("usage: doorbell DOOR [SECONDS] (DOOR 1 or 2)");
        }
        // In the middle of each door's band: door 1 rings at 401..599, door 2 at 901 and above.
        const char* level = words[1] == "1" ? "500" : "950";
        return Expand({std::string("sar ") + level, "sleep " + std::to_string(s), "sar 0"});
    }
    if (cmd == "camera") {
        // The decoder's status: format bits 0-2, lock bit 3, 25 fps, standard bits 6-7; with
        // standard bits 2, register 0x02 bit 2 names the start-up standard.
        static const struct {
            const char* name;
            unsigned format;
        } kFormats[] = {{"ntsc", 0}, {"pal", 1}, {"720p", 2}, {"1080p", 3}};
        char text[32];
        if (words.size() >= 3 && words.size() <= 5 && words[1] == "raw") {
            v = {0, 0, 4};
            for (size_t i = 2; i < words.size(); ++i) {
                if (!Number(words[i], 0xFF, &v[i - 2], 16)) {
                    return Fail("usage: camera raw STATUS [REG01 REG02] (hexadecimal)");
                }
            }
            std::snprintf(text, sizeof(text), "%02lx %02lx %02lx\n", v[0], v[1], v[2]);
            return BoardFile(kDecoderFile, text);
        }
        if (words.size() == 2 && words[1] == "off") {
            return BoardFile(kDecoderFile, "83 00 04\n");
        }
        for (const auto& f : kFormats) {
            v = {2};
            if (words.size() >= 2 && words.size() <= 3 && words[1] == f.name &&
                (words.size() == 2 || Number(words[2], 3, &v[0]))) {
                std::snprintf(text, sizeof(text), "%02lx 00 04\n", f.format | 0x08 | v[0] << 6);
                return BoardFile(kDecoderFile, text);
            }
        }
        return Fail("usage: camera 1080p|720p|pal|ntsc [STD 0..3] | camera off | camera raw STATUS [REG01 REG02]");
    }
    if (cmd == "show") {
        Command c;
        c.kind = Command::Show;
        return c;
    }
    return Fail("unknown command '" + cmd + "' (try help)");
}

}  // namespace doorstation
