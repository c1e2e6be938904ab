// Video messages at the cloud: which content the detect storage takes, and a message opened as
// the phone opens it.
#pragma once

#include <string>
#include <vector>

namespace cloudsim {

// The detect-storage configuration's "content": bit 0 picture, 1 audio, 2 video.
bool DetectContent(int bit);
// "detect-content [picture|audio|video on|off]" and "message N" (the Nth kept notification, a
// video message: "picture", "info", "video", "audio" lines, the bytes base64): false for others.
bool MessageCommand(const std::vector<std::string>& words, const std::string& devId, std::string* out);

}  // namespace cloudsim
