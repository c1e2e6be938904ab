// Video messages as the phone reads them: the detect storage's content switches, and a message's
// picture and media fetched from the store and opened with the phone's keys (the picture under the
// device's media key behind its "NXPC" header, the media's key and audio frames under the
// message's own key and the fixed IV of the placeholders header). OpenSSL EVP, apart from the
// unit's code: a header or record the unit got wrong is refused here.
#include "messages.h"

#include "../../src/noxa_iot_sdk/noxa_cloud/cloud_placeholders.h"
#include "sim.h"
#include "storage.h"


#include <sstream>

namespace cloudsim {

namespace {

bool gContent[3] = {true, false, true};  // picture, audio, video
const char* const kContentNames[3] = {"picture", "audio", "video"};

constexpr size_t kPicHead = 64;
constexpr size_t kMsgHead = 56;
constexpr size_t kRecordHead = 24;

uint32_t Be32(const Bytes& b, size_t at)
{
    return (static_cast<uint32_t>(static_cast<uint8_t>(b[at])) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 8) | static_cast<uint8_t>(b[at + 3]);
}

uint64_t Le(const Bytes& b, size_t at, int bytes)
{
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        v = (v << 8) | static_cast<uint8_t>(b[at + static_cast<size_t>(i)]);
    }
    return v;
}

// The object's bytes from the selected store, or "" with the reason.
bool FetchObject(const std::string& bucket, const std::string& key, Bytes* out, std::string* why)
{
    std::string b64;
    StorageCommand({"object", bucket, key}, &b64);
    if (b64.rfind("error", 0) == 0 || !FromBase64(b64, out)) {
        *why = bucket + "/" + key + ": " + b64;
        return false;
    }
    return true;
}

bool OpenPicture(const Bytes& obj, const std::string& mediaKey, Bytes* plain, std::string* why)
{
    if (obj.size() < kPicHead + 16 || obj.compare(0, 4, "NXPC") != 0 || Be32(obj, 4) != 1 ||
        obj.find_first_not_of('\0', 28) < kPicHead) {
        *why = "the picture has no valid header";
        return false;
    }
    const uint32_t length = Be32(obj, 24);
    if (!AesCbcDecrypt(mediaKey, obj.substr(8, 16), obj.substr(kPicHead), plain) || plain->size() != length) {
        *why = "the picture does not decrypt under the media key";
        return false;
    }
    return true;
}

struct OpenedMedia {
    uint32_t words[10] = {};
    Bytes video;  // H.264 as the encoder made it
    Bytes audio;
    uint32_t videoRecords = 0;
    uint32_t audioRecords = 0;
    uint32_t keyFrames = 0;
};

bool OpenMedia(const Bytes& obj, const std::string& key, OpenedMedia* m, std::string* why)
{
    if (obj.size() < kMsgHead) {
        *why = "the media is shorter than its header";
        return false;
    }
    for (size_t i = 0; i < 10; ++i) {
        m->words[i] = static_cast<uint32_t>(Le(obj, 4 * i, 4));
    }
    const std::string iv = obj.substr(40, 16);
    if (m->words[0] != 1) {
        *why = "media header version " + std::to_string(m->words[0]);
        return false;
    }
    if (iv != NOXA_VIDEO_MSG_IV) {
        *why = "the media header does not carry the message IV";
        return false;
    }
    size_t at = kMsgHead;
    while (at < obj.size()) {
        if (obj.size() - at < kRecordHead) {
            *why = "a record head is cut at byte " + std::to_string(at);
            return false;
        }
        const uint32_t type = static_cast<uint32_t>(Le(obj, at, 4));
        const uint64_t size = Le(obj, at + 4, 4);
        if (size > obj.size() - at - kRecordHead) {
            *why = "a record runs past the end at byte " + std::to_string(at);
            return false;
        }
        Bytes data = obj.substr(at + kRecordHead, size);
        if (type == 1 || type == 3) {
            Bytes plain;
            if (!AesCbcDecrypt(key, iv, data, &plain)) {
                *why = "a " + std::string(type == 1 ? "key" : "audio") + " frame at byte " + std::to_string(at) +
                       " does not decrypt under the message key";
                return false;
            }
            data.swap(plain);
        } else if (type != 0) {
            *why = "record of type " + std::to_string(type);
            return false;
        }
        if (type == 3) {
            m->audio += data;
            ++m->audioRecords;
        } else {
            m->video += data;
            ++m->videoRecords;
            m->keyFrames += type == 1 ? 1 : 0;
        }
        at += kRecordHead + size;
    }
    if (m->words[5] != m->videoRecords) {
        *why = "the header counts " + std::to_string(m->words[5]) + " video frames, the media holds " +
               std::to_string(m->videoRecords);
        return false;
    }
    return true;
}

// The words after " file " of a notification line: object and key, in order.
std::vector<std::pair<std::string, std::string>> FilesOf(const std::string& line)
{
    std::vector<std::pair<std::string, std::string>> files;
    std::istringstream in(line);
    std::string w;
    while (in >> w) {
        if (w == "file") {
            std::string path, k, key;
            in >> path >> k >> key;
            files.emplace_back(path, key);
        }
    }
    return files;
}

std::string WordAfter(const std::string& line, const std::string& word)
{
    std::istringstream in(line);
    std::string w;
    while (in >> w) {
        if (w == word && in >> w) {
            return w;
        }
    }
    return "";
}

std::string Message(Device* dev, const std::string& which)
{
    const long n = std::strtol(which.c_str(), nullptr, 10);
    if (n < 1 || static_cast<size_t>(n) > dev->notifications.size()) {
        return "error: no notification " + which + " (" + std::to_string(dev->notifications.size()) + " kept)";
    }
    const std::string line = dev->notifications[static_cast<size_t>(n - 1)];
    const std::string cmd = WordAfter(line, "cmd");
    const std::string kind = WordAfter(line, "type");
    if (WordAfter(line, "dp") != "185" || cmd != "ipc_leave_msg") {
        return "error: notification " + which + " is no video message: " + line;
    }
    const std::string bucket = WordAfter(line, "bucket");
    auto files = FilesOf(line);
    const bool audioOnly = kind == "audio";
    if (files.size() != (audioOnly ? 1u : 2u)) {
        return "error: the message names " + std::to_string(files.size()) + " files: " + line;
    }
    std::string out;
    std::string why;
    if (!audioOnly) {
        Bytes obj;
        Bytes pic;
        if (dev->mediaKey.size() != 16) {
            return "error: no media key handed out to " + dev->devId;
        }
        if (!FetchObject(bucket, files[0].first, &obj, &why) || !OpenPicture(obj, dev->mediaKey, &pic, &why)) {
            return "error: " + why;
        }
        out += "picture " + Base64(pic) + "\n";
    }
    Bytes obj;
    OpenedMedia m;
    const std::string& key = files.back().second;
    if (key.size() != 16) {
        return "error: the media's key is not 16 characters: " + key;
    }
    if (!FetchObject(bucket, files.back().first, &obj, &why) || !OpenMedia(obj, key, &m, &why)) {
        return "error: " + why;
    }
    char info[256];
    snprintf(info, sizeof(info),
             "info codec %u fps %u size %ux%u frames %u keyframes %u audio codec %u bits %u channels %u rate %u "
             "frames %u",
             m.words[1], m.words[2], m.words[3], m.words[4], m.videoRecords, m.keyFrames, m.words[6], m.words[7],
             m.words[8], m.words[9], m.audioRecords);
    out += std::string(info) + "\n";
    out += "video " + Base64(m.video) + "\n";
    out += "audio " + Base64(m.audio);
    Log("message " + which + " of " + dev->devId + ": " + info);
    return out;
}

}  // namespace

bool DetectContent(int bit)
{
    return bit >= 0 && bit < 3 && gContent[bit];
}

bool MessageCommand(const std::vector<std::string>& w, const std::string& devId, std::string* out)
{
    if (w.empty()) {
        return false;
    }
    if (w[0] == "detect-content") {
        std::lock_guard<std::recursive_mutex> lock(gLock);
        if (w.size() == 3 && (w[2] == "on" || w[2] == "off")) {
            for (int i = 0; i < 3; ++i) {
                if (w[1] == kContentNames[i]) {
                    gContent[i] = w[2] == "on";
                }
            }
        }
        *out = "detect content";
        for (int i = 0; i < 3; ++i) {
            *out += std::string(" ") + kContentNames[i] + (gContent[i] ? " on" : " off");
        }
        Log(*out);
        return true;
    }
    if (w[0] == "message" && w.size() == 2) {
        std::lock_guard<std::recursive_mutex> lock(gLock);
        Device* dev = FindDevice(devId);
        *out = dev == nullptr ? "error: no device" : Message(dev, w[1]);
        return true;
    }
    return false;
}

}  // namespace cloudsim
