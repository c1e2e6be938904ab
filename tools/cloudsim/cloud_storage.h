// Cloud recording at the cloud: the mode each device's storage configuration names, the slice
// seconds of the restriction, the key the start notification hands out, the groups, stops and
// event reports it keeps, protocols 300 and 307 on command, and the slices read back from the
// store and decrypted the phone's way (OpenSSL EVP, AES-128-CBC under the group's key and the
// fixed IV of the placeholders header).
#pragma once

#include <cjson/cJSON.h>
#include <string>
#include <vector>

namespace cloudsim {

// "alltime", "event" (the default) or "none".
std::string CloudStorageMode(const std::string& devId);
int CloudStorageMtu();
// The start, stop and event calls: false when the name is none of them.
bool CloudStorageApi(const std::string& api, const std::string& devId, const cJSON* body, cJSON** inner,
                     std::string* line);
// "cloud-storage ...": false when the first word is another.
bool CloudStorageCommand(const std::vector<std::string>& w, const std::string& devId, std::string* out);

}  // namespace cloudsim
