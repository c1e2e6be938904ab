// The INI reader over arbitrary files: the SD card's upgrade file as the unit reads it, and a
// section and key named by the input, each into a value buffer of exactly the caller's size.
#include "Common/ConfigFileParse.h"
#include "Common/SDCard.h"
#include "fuzz_util.h"

#include <cstring>
#include <memory>
#include <string>

namespace {

using fuzz::Check;

const char kFile[] = "/mnt/sdcard/UPGRADE.txt";

void Lookup(const char* section, const char* key, size_t valueSize)
{
    std::unique_ptr<char[]> value(new char[valueSize == 0 ? 1 : valueSize]);
    memset(value.get(), 0x55, valueSize == 0 ? 1 : valueSize);
    int rc = GetProfileString(kFile, section, key, value.get(), valueSize);
    Check(rc == 0 || rc == -1);
    if (rc == 0) {
        size_t len = strnlen(value.get(), valueSize);
        Check(len < valueSize && strchr(value.get(), '\n') == nullptr);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::QuietStdout();
    fuzz::Sandbox({"/mnt/sdcard"});
    return 0;
}

// Input: the value buffer's size, a section and a key (each ended by a NUL), then the file.
// Without the NULs the file is all the rest and the unit's own lookups run alone.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    size_t valueSize = data[0];
    std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string section;
    std::string key;
    size_t a = rest.find('\0');
    size_t b = a == std::string::npos ? a : rest.find('\0', a + 1);
    size_t fileAt = 0;
    if (b != std::string::npos) {
        section = rest.substr(0, a);
        key = rest.substr(a + 1, b - a - 1);
        fileAt = b + 1;
    }
    fuzz::PutFile(kFile, reinterpret_cast<const uint8_t*>(rest.data()) + fileAt, rest.size() - fileAt);

    // As the card's upgrade check asks.
    Lookup("upgrade", "CHIP", 64);
    Lookup("upgrade", "DEVICE", 64);
    if (b != std::string::npos) {
        Lookup(section.c_str(), key.c_str(), valueSize);
    }
    return 0;
}
