// The device identity files over arbitrary bytes: "/DeviceInfo/device.conf" read with the INI
// reader (section "Noxa", keys "UUID" and "AUTHKEY"), and "/DeviceInfo/device.bin" as it stands
// or made of arbitrary record texts, where the result is checked against the record rule (text
// up to its NUL, letters and digits only, 16 characters at least and no more than its field).
#include "Common/ConfigFileParse.h"
#include "fuzz_util.h"

#include <cstring>
#include <string>

namespace {

using fuzz::Check;

const char kConfFile[] = "/DeviceInfo/device.conf";

// What a record's plain text gives: false when it is refused (never cut).
bool RecordText(const uint8_t* plain, size_t max, std::string* out)
{
    size_t len = 0;
    while (len < kDeviceBinRecord && plain[len] != 0) {
        bool alnum = (plain[len] >= '0' && plain[len] <= '9') || (plain[len] >= 'a' && plain[len] <= 'z') ||
                     (plain[len] >= 'A' && plain[len] <= 'Z');
        if (!alnum) {
            return false;
        }
        ++len;
    }
    out->assign(reinterpret_cast<const char*>(plain), len);
    return len >= kIdentityMinLen && len <= max;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::QuietStdout();
    fuzz::Sandbox({"/DeviceInfo"});
    return 0;
}

// Input: a mode byte (0 device.conf, 1 device.bin as given, 2 device.bin of the given plain
// records), then the file or the records.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    const uint8_t* body = data + 1;
    size_t len = size - 1;
    switch (data[0] % 3) {
    case 0: {
        fuzz::PutFile(kConfFile, body, len);
        char uuid[kUuidMaxLen + 1];
        char key[kAuthKeyMaxLen + 1];
        if (GetProfileString(kConfFile, "Noxa", "UUID", uuid, sizeof(uuid)) == 0) {
            Check(strnlen(uuid, sizeof(uuid)) < sizeof(uuid));
        }
        if (GetProfileString(kConfFile, "Noxa", "AUTHKEY", key, sizeof(key)) == 0) {
            Check(strnlen(key, sizeof(key)) < sizeof(key));
        }
        break;
    }
    case 1: {
        fuzz::PutFile(kDeviceBinFile, body, len);
        char uuid[kUuidMaxLen + 1] = "kept";
        char key[kAuthKeyMaxLen + 1] = "kept";
        int rc = ReadDeviceBinIdentity(uuid, key);
        Check(rc == 0 || rc == -1);
        if (rc == 0) {
            Check(len >= 2 * kDeviceBinRecord && uuid[0] != '\0' && key[0] != '\0');
        } else {
            Check(strcmp(uuid, "kept") == 0 && strcmp(key, "kept") == 0);
        }
        break;
    }
    default: {
        // Two plain records (zero-padded), encrypted as the factory writes them; extra bytes
        // behind them stay in the file and must not matter.
        uint8_t plain[2 * kDeviceBinRecord] = {};
        memcpy(plain, body, std::min(len, sizeof(plain)));
        std::string file(2 * kDeviceBinRecord, '\0');
        Check(DesCbcEncryptFile(plain, reinterpret_cast<uint8_t*>(file.data()), kDeviceBinRecord) == 1);
        Check(DesCbcEncryptFile(plain + kDeviceBinRecord, reinterpret_cast<uint8_t*>(file.data()) + kDeviceBinRecord,
                                kDeviceBinRecord) == 1);
        if (len > sizeof(plain)) {
            file.append(reinterpret_cast<const char*>(body) + sizeof(plain), len - sizeof(plain));
        }
        fuzz::PutFile(kDeviceBinFile, reinterpret_cast<const uint8_t*>(file.data()), file.size());
        std::string wantUuid;
        std::string wantKey;
        bool ok = RecordText(plain, kUuidMaxLen, &wantUuid) && RecordText(plain + kDeviceBinRecord, kAuthKeyMaxLen, &wantKey);
        char uuid[kUuidMaxLen + 1] = "kept";
        char key[kAuthKeyMaxLen + 1] = "kept";
        int rc = ReadDeviceBinIdentity(uuid, key);
        Check(rc == (ok ? 0 : -1));
        Check(uuid == (ok ? wantUuid : "kept") && key == (ok ? wantKey : "kept"));
        break;
    }
    }
    return 0;
}
