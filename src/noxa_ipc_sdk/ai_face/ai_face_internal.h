// What the face store and the face cloud calls share.
#pragma once

#include <string>

namespace ai_face {

// The store's folder while it is open.
bool StorePath(std::string* path);
// 1 to 15 characters of [A-Za-z0-9_-]: an id becomes a file name, so nothing else may reach the
// file system.
bool ValidId(const char* id);

}  // namespace ai_face
