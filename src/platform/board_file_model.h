// Inside of the board: what the file calls of board_path.cpp tell the power-loss model
// (board_file_sim.h). Each returns at once while the model is off.
#pragma once

#include <string>

// A file the board opened for writing (its descriptor): its data is unsynced from now on.
void PowerModelOpened(int fd);
// rename(2) of two host paths, remembered until the folder of `to` is synced.
int PowerModelRename(const std::string& from, const std::string& to);
// A host path removed: nothing of it is pending any more.
void PowerModelUnlinked(const std::string& path);
