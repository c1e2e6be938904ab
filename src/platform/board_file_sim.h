// The simulated board's storage under power loss, for tests. Not used by the application.
//
// While the model is on, the board remembers what a power cut would undo, as a journalling file
// system with delayed allocation does: the data of a file opened for writing through the board
// (BoardFopen, BoardOpen) until its BoardFsync, and a rename (BoardRename) until its folder's
// BoardSyncDir. A replaced file is kept aside under "<root>/.board/powercut/" until then.
#pragma once

#include <string>

// Steps of BoardWriteFileWhole, in their order.
enum class BoardFileStep { Open, Write, Sync, Rename, SyncDir };

// Starts (true) or ends (false) the model; either way it starts afresh with nothing pending, the
// power on and no fault set.
void BoardPowerModel(bool on);
// The power goes now: files with unsynced data are left empty, unsynced renames are undone (the
// replaced file is back, a new name is gone). Then nothing is pending.
void BoardPowerCut();
// Power back after a cut made by a fault: whole-file writes work again.
void BoardPowerRestore();
// The next whole-file write of a unit path containing `match` meets a fault at `step`: it fails
// there with EIO, or (cut) the power goes there. A cut write step writes half of its bytes first;
// after a cut every whole-file write fails until BoardPowerRestore, as nothing runs any more.
void BoardFileFault(const std::string& match, BoardFileStep step, bool cut);
