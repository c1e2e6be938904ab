// The shell runner: every `system` and `popen` of the application goes through here.
// On the simulated board the unit's absolute paths are rewritten under the board root and the
// command runs in the root folder with a PATH of the simulated tools and "<root>/.board/bin"
// (links to a few harmless host tools). A command is refused without running anything when a
// command word (at the start, after ;, |, &&, ||, & or a new line) is neither a simulated tool
// nor an allowed one, when it would still name a host path outside the sandbox, expand a
// variable or command, or when there is no board root at all.
#pragma once

#include <cstdio>
#include <string>

// Like system(3): the command's wait status, or -1 when it was refused or could not start.
int BoardSystem(const char* command);
// Like popen(3)/pclose(3); BoardPopen returns nullptr for a refused command.
FILE* BoardPopen(const char* command, const char* mode);
int BoardPclose(FILE* stream);

// The rewriting alone: fills `out` with the command as it would run and returns 0, or returns -1
// and fills `why` when the command is refused.
int BoardShellRewrite(const std::string& command, std::string* out, std::string* why);

// The process the shell's "killall app" ends: the unit's own, told once at start. Without it (a
// test process) no process is ended.
void BoardShellSetUnitProcess(int pid);

// Folder of the simulated tools (DOORPHONE_SIM_BIN, else the build's default).
std::string BoardSimBinDir();
