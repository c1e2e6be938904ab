// Shared by the fuzz targets: the check that stops a run, a board root of their own in the
// temporary folder (removed at exit), input files written under it, and quiet log lines.
#pragma once

#include "platform/board_path.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <unistd.h>

namespace fuzz {

inline void Check(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

// The application's log lines go to standard output; millions of them would only slow the run.
inline void QuietStdout()
{
    int devNull = open("/dev/null", O_WRONLY);
    if (devNull >= 0) {
        dup2(devNull, STDOUT_FILENO);
        close(devNull);
    }
}

// A board root of the process's own with the given unit folders: every unit path a parser opens
// lands below it, never on the host.
inline const std::string& Sandbox(std::initializer_list<const char*> folders = {})
{
    static const std::string root = [] {
        // A file system in memory when there is one: a file rewritten on a disk file system may
        // be flushed at every close.
        const char* tmp = std::getenv("TMPDIR");
        std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
        std::string tmpl = base + "/doorphone-fuzz-XXXXXX";
        Check(mkdtemp(tmpl.data()) != nullptr);
        setenv("DOORPHONE_ROOT", tmpl.c_str(), 1);
        BoardReloadRoot();
        static std::string removeAtExit;
        removeAtExit = tmpl;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(removeAtExit, ec);
        });
        return tmpl;
    }();
    for (const char* f : folders) {
        std::error_code ec;
        std::filesystem::create_directories(root + f, ec);
    }
    return root;
}

// Writes the bytes as the unit file `unitPath` (below the sandbox).
inline void PutFile(const char* unitPath, const uint8_t* data, size_t size)
{
    FILE* f = BoardFopen(unitPath, "wb");
    Check(f != nullptr);
    Check(size == 0 || std::fwrite(data, 1, size, f) == size);
    Check(std::fclose(f) == 0);
}

}  // namespace fuzz
