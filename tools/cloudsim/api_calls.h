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
// The refusal of an armed `code` failure, or NULL. Asked before the call runs: a refused call
// changes nothing here (no group opened or ended, no token used, no skill kept).
cJSON* ApiArmedRefusal(const std::string& a, std::string* line);
// An armed `missing` failure of an answer built elsewhere: the key taken out of a success's
// result. The answer is taken and handed back.
cJSON* ApiInjected(const std::string& a, cJSON* answer, std::string* line);
// fail, time, firmware, corrupt, cut, picture: true with the answer when the command is one of them.
bool RunApiCommand(const std::vector<std::string>& w, std::string* out);
// GET /fw/NAME (ranges), GET /pic/NAME.
void RegisterApiRoutes(httplib::Server& svr);

}  // namespace cloudsim
