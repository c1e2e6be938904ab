// The phone's live stream through the cloud's media gateway: `stream start` opens a gateway on a
// loopback port and sends the unit its "wg" request (protocol 312 on "/av/d/<devId>"); the other
// stream commands act on the newest gateway. A gateway runs until the next-but-one start.
#include "gateway.h"
#include "sim.h"
#include "stream.h"

#include <sys/stat.h>

#include <deque>
#include <memory>

namespace cloudsim {

namespace {

std::mutex gGwLock;  // the list of gateways, held only to read or change it
std::deque<std::shared_ptr<MediaGateway>> gGateways;

const char* kStreamHelp =
    "stream start [--streams MASK] [--out DIR] | mask M | talk FILE.wav | stop | status |\n"
    "       fault badsign|401|cmd60|len5000|badframe|badcipher|unknown|close|freeze|vanish|off";

std::shared_ptr<MediaGateway> Newest()
{
    std::lock_guard<std::mutex> lock(gGwLock);
    return gGateways.empty() ? nullptr : gGateways.back();
}

std::string Start(const std::vector<std::string>& w, const std::string& devIdIn)
{
    uint32_t mask = 3;
    std::string out = gRoot + "/.board/cloud/stream";
    for (size_t i = 2; i + 1 < w.size(); i += 2) {
        if (w[i] == "--streams") {
            mask = static_cast<uint32_t>(std::strtoul(w[i + 1].c_str(), nullptr, 0));
        } else if (w[i] == "--out") {
            out = w[i + 1];
        } else {
            return kStreamHelp;
        }
    }
    if (mask == 0 || mask > 15) {
        return "stream: MASK is 1 (audio) + 2 (main) + 4 (sub) + 8 (third)";
    }
    mkdir(out.c_str(), 0755);
    GatewayConfig cfg;
    {
        std::lock_guard<std::recursive_mutex> lock(gLock);
        Device* dev = FindDevice(devIdIn.empty() ? gState.current : devIdIn);
        if (dev == nullptr || dev->localKey.empty()) {
            return "no device activated yet";
        }
        if (dev->mediaKey.empty()) {
            // The key the unit's next secret call gets: the stream is encrypted under it.
            dev->mediaKey = RandomText(16, kAlnum);
            SaveStateNow();
        }
        cfg.devId = dev->devId;
        cfg.localKey = dev->localKey;
        cfg.mediaKey = dev->mediaKey;
    }
    cfg.username = "gw" + RandomText(8, kLowerAlnum);
    cfg.password = RandomText(24, kAlnum);
    cfg.sessionId = RandomText(20, kAlnum);
    cfg.mask = mask;
    cfg.outDir = out;
    cfg.log = [](const std::string& text) { Log(text); };
    auto gw = std::make_shared<MediaGateway>(cfg);
    if (!gw->Start()) {
        return "stream: no port for the gateway";
    }
    const uint16_t port = gw->Port();
    cJSON* data = cJSON_CreateObject();
    cJSON* header = cJSON_AddObjectToObject(data, "header");
    cJSON_AddStringToObject(header, "type", "start");
    cJSON_AddStringToObject(header, "sessionId", cfg.sessionId.c_str());
    cJSON_AddStringToObject(header, "moto_id", "moto01");
    cJSON* msg = cJSON_AddObjectToObject(data, "msg");
    cJSON_AddStringToObject(msg, "mode", "wg");
    cJSON_AddStringToObject(msg, "host", "127.0.0.1");
    cJSON_AddNumberToObject(msg, "port", port);
    cJSON_AddStringToObject(msg, "username", cfg.username.c_str());
    cJSON_AddStringToObject(msg, "password", cfg.password.c_str());
    cJSON_AddNumberToObject(msg, "streamType", mask);
    cJSON_AddStringToObject(msg, "encKeyMd5", Md5Hex(cfg.mediaKey).c_str());
    {
        std::lock_guard<std::mutex> lock(gGwLock);
        gGateways.push_back(std::move(gw));
        while (gGateways.size() > 2) {
            gGateways.pop_front();
        }
    }
    std::lock_guard<std::recursive_mutex> lock(gLock);
    Device* dev = FindDevice(cfg.devId);
    const std::string sent = SendToDevice(dev, 312, data, false, "/av/d/" + cfg.devId);
    return "stream port " + std::to_string(port) + " session " + cfg.sessionId + " out " + out + "\n" + sent;
}

}  // namespace

bool StreamCommand(const std::vector<std::string>& w, const std::string& devId, std::string* out)
{
    if (w.empty() || w[0] != "stream") {
        return false;
    }
    if (w.size() >= 2 && w[1] == "start") {
        *out = Start(w, devId);
        return true;
    }
    // A talk lasts as long as its file: the gateway is held, not the list.
    std::shared_ptr<MediaGateway> gw = Newest();
    if (w.size() == 2 && w[1] == "status") {
        std::deque<std::shared_ptr<MediaGateway>> all;
        {
            std::lock_guard<std::mutex> lock(gGwLock);
            all = gGateways;
        }
        std::string text;
        for (const auto& g : all) {
            text += g->Status();
        }
        *out = text.empty() ? "no stream" : text.substr(0, text.size() - 1);
        return true;
    }
    if (gw == nullptr) {
        *out = w.size() >= 2 ? "no stream started" : kStreamHelp;
        return true;
    }
    if (w.size() == 3 && w[1] == "mask") {
        const uint32_t mask = static_cast<uint32_t>(std::strtoul(w[2].c_str(), nullptr, 0));
        *out = mask <= 15 && gw->SendMask(mask) ? "stream mask " + w[2] : "stream mask not sent";
    } else if (w.size() == 3 && w[1] == "talk") {
        const std::string why = gw->Talk(w[2]);
        *out = why.empty() ? "talk done" : "talk: " + why;
    } else if (w.size() == 2 && w[1] == "stop") {
        *out = gw->SendStop() ? "stream stop sent" : "no unit connected";
    } else if (w.size() == 3 && w[1] == "fault") {
        static const std::pair<const char*, GatewayFault> kFaults[] = {
            {"off", GatewayFault::None},           {"badsign", GatewayFault::BadServerSign},
            {"401", GatewayFault::Refuse401},      {"cmd60", GatewayFault::Command60},
            {"len5000", GatewayFault::Length5000}, {"badframe", GatewayFault::BadFrameSign},
            {"badcipher", GatewayFault::BadCipher}, {"unknown", GatewayFault::UnknownType},
            {"close", GatewayFault::Close},        {"freeze", GatewayFault::Freeze},
            {"vanish", GatewayFault::Vanish}};
        *out = kStreamHelp;
        for (const auto& [name, f] : kFaults) {
            if (w[2] == name) {
                *out = gw->Fault(f);
            }
        }
    } else {
        *out = kStreamHelp;
    }
    return true;
}

void StopStreams()
{
    std::deque<std::shared_ptr<MediaGateway>> all;
    {
        std::lock_guard<std::mutex> lock(gGwLock);
        all.swap(gGateways);
    }
    all.clear();
}

}  // namespace cloudsim
