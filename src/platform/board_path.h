// The board's file system: every absolute path of the unit is mapped under the board root.
// On the unit the root is "/"; on the simulated board it is the sandbox named by DOORPHONE_ROOT.
#pragma once

#include <cstdio>
#include <string>
#include <sys/types.h>

// Exit status of a process that the simulated board refused to start (no usable root).
constexpr int kBoardNoRootExitStatus = 2;

// The root in force ("/" on the unit), without a trailing slash unless it is "/". On the
// simulated board DOORPHONE_ROOT must name an existing folder other than "/": without one the
// first board access ends the process with a message and kBoardNoRootExitStatus.
std::string BoardRoot();
// DOORPHONE_ROOT is read again at the next use; tests call it after pointing the variable at a
// new sandbox.
void BoardReloadRoot();

// "/DeviceInfo/x" -> "<root>/DeviceInfo/x". Relative paths are returned unchanged.
std::string BoardPath(const std::string& unitPath);

// File access of the application, on unit paths.
FILE* BoardFopen(const char* unitPath, const char* mode);
int BoardOpen(const char* unitPath, int flags, mode_t mode = 0644);
int BoardAccess(const char* unitPath, int how);
int BoardMkdir(const char* unitPath, mode_t mode);
int BoardUnlink(const char* unitPath);
int BoardRename(const char* fromUnitPath, const char* toUnitPath);
