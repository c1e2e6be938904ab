#include "board_io.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace doorstation {
namespace {

// The file's first line, "-" when there is none.
std::string FirstLine(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    if (!std::getline(in, line)) {
        return "-";
    }
    // GPIO value files written by the unit end in NULs.
    return line.substr(0, line.find('\0'));
}

}  // namespace

bool WriteBoardFile(const std::string& root, const std::string& file, const std::string& content)
{
    std::string path = root + file;
    std::string tmp = path + ".station";
    {
        std::ofstream out(tmp, std::ios::trunc);
        if (!(out << content) || !out.flush()) {
            return false;
        }
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

std::string DescribeBoard(const std::string& root)
{
    std::ostringstream s;
    s << "74HC595: " << FirstLine(root + kHc595File) << "\n";
    const struct {
        int line;
        const char* name;
    } lines[] = {{16, "speaker(0=on)"}, {52, "ring-sense"}, {78, "gate"}, {79, "ring"}, {46, "decoder"}, {66, "key(0=pressed)"}};
    s << "gpio:";
    for (const auto& l : lines) {
        std::string dir = root + "/sys/class/gpio/gpio" + std::to_string(l.line);
        s << " " << l.line << " " << l.name << "=" << FirstLine(dir + "/value") << "/" << FirstLine(dir + "/direction");
    }
    s << "\nsar ch2: " << FirstLine(root + kSarLevelFile);
    return s.str();
}

}  // namespace doorstation
