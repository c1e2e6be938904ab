// The cloud API calls besides activation, their injected failures, the cloud's clock, firmware
// images and pictures served over HTTPS.
#pragma once

#include <cjson/cJSON.h>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace httplib {
struct Request;
struct Response;
class Server;
}  // namespace httplib

namespace cloudsim {

// The answer of call a ("noxa.device.<name>") for the device, or NULL when it is not one of them.
cJSON* ApiCall(const std::string& a, const std::map<std::string, std::string>& q, const cJSON* body,
               std::string* line);
// An armed failure that is not an answer (wrong sign, HTTP 500, stall): true when res is set. A
// slow one waits its milliseconds, then false: the answer follows, late.
bool ApiFault(const std::string& a, const std::map<std::string, std::string>& q, const std::string& key,
              const cJSON* body, httplib::Response& res);
// The cloud's own clock: the host's, shifted by the `time` command. What time.get hands out and
// what the cloud's messages carry as "t".
int64_t CloudNow();
// An armed `code` or `missing` failure of an answer built elsewhere (activation): a refusal in
// place of a code's answer, the key taken out of a success's result. The answer is taken.
cJSON* ApiInjected(const std::string& a, cJSON* answer, std::string* line);
// Whether a `code` failure is armed for the call (the call then must not act at all).
bool ApiCodeArmed(const std::string& a);
// fail, time, firmware, corrupt, cut, picture: true with the answer when the command is one of them.
bool RunApiCommand(const std::vector<std::string>& w, std::string* out);
// GET /fw/NAME (ranges), GET /pic/NAME.
void RegisterApiRoutes(httplib::Server& svr);

}  // namespace cloudsim
