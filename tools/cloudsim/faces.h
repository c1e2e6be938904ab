// Faces and skills at the cloud: the face-picture storage configuration on the real face bucket,
// the known faces ("acquaintance") with their pictures in the store, encrypted under a key of
// their own with a random IV, the face-data change (protocol 304) the phone makes, and the skill
// text each device uploads.
#pragma once

#include <cjson/cJSON.h>
#include <string>
#include <vector>

namespace cloudsim {

// "noxa.device.ipc.ai.face.storage.config.get" and "noxa.device.ipc.ai.face.db.get": false when
// the call is neither.
bool FaceApi(const std::string& api, const std::string& devId, const cJSON* body, cJSON** inner, std::string* line);
// Keeps the skill text a device uploaded.
void KeepSkill(const std::string& devId, const std::string& text);
// "skills", "face add|list|remove|sync ...": false when the word is neither.
bool FaceSkillCommand(const std::vector<std::string>& words, const std::string& devId, std::string* out);

}  // namespace cloudsim
