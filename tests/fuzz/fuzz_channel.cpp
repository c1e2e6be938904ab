// The channel data point's command over arbitrary texts: a switch must select door 1 or 2 and
// nothing else; a rename must leave two one-line names of at most 30 bytes that come back whole
// from the channel file and from the channel list the unit reports; anything refused changes
// nothing.
#include "Common/AppState.h"
#include "Common/ConfigFileParse.h"
#include "fuzz_util.h"

#include <cjson/cJSON.h>
#include <cstring>
#include <string>

namespace {

using fuzz::Check;

std::string Unescape(const std::string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            ++i;
        }
        out += s[i];
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::QuietStdout();
    fuzz::Sandbox({"/DeviceInfo"});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The names start from the defaults each time.
    BoardUnlink(kChannelFile);
    Check(LoadChannelNames() == 0);
    gCurrentDoor = 0;
    const std::string before[2] = {GetChannelName(0), GetChannelName(1)};

    std::string text(reinterpret_cast<const char*>(data), size);
    int rc = ChannelCommand(text.c_str());
    Check(rc == 0 || rc == -1);
    const std::string names[2] = {GetChannelName(0), GetChannelName(1)};
    if (rc != 0) {
        Check(names[0] == before[0] && names[1] == before[1] && gCurrentDoor == 0);
        return 0;
    }
    Check(gCurrentDoor <= 1);
    for (const std::string& n : names) {
        Check(n.size() <= kChannelNameMax);
        for (char c : n) {
            Check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
        }
    }
    // Back from the file as they are.
    Check(LoadChannelNames() == 0);
    Check(GetChannelName(0) == names[0] && GetChannelName(1) == names[1]);

    // The reported list, its escape undone, is JSON that carries both names.
    cJSON* root = cJSON_Parse(Unescape(ChannelsReportText(gCurrentDoor + 1)).c_str());
    Check(root != nullptr);
    const cJSON* chs = cJSON_GetObjectItemCaseSensitive(root, "chs");
    Check(cJSON_GetArraySize(chs) == 2);
    for (int i = 0; i < 2; ++i) {
        const cJSON* n = cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(chs, i), "n");
        Check(cJSON_IsString(n) && names[i] == n->valuestring);
    }
    cJSON_Delete(root);
    return 0;
}
