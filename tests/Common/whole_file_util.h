// Files the unit writes whole (the settings, the device files), checked under power cuts.
#pragma once

#include "platform/board_file_sim.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

// One file: `write` stores the old (false) or the new (true) content, `read` reads the file back.
struct WHOLE_FILE_CASE_S {
    std::string match;  // part of the unit path that the fault is set on
    std::function<void(bool)> write;
    std::function<std::string()> read;
    std::string oldBytes, newBytes;
};

// A write that returned outlives a power cut, and a cut at any step of the next write leaves the
// old content or the new, never an empty or half file. Ends with the old content written and the
// power model off.
inline void ExpectOldOrNewAfterEveryCut(const WHOLE_FILE_CASE_S* cases, size_t n)
{
    const BoardFileStep steps[] = {BoardFileStep::Open, BoardFileStep::Write, BoardFileStep::Sync,
                                   BoardFileStep::Rename, BoardFileStep::SyncDir};
    BoardPowerModel(true);
    for (size_t i = 0; i < n; ++i) {
        const WHOLE_FILE_CASE_S& f = cases[i];
        f.write(false);
        BoardPowerCut();
        ASSERT_EQ(f.oldBytes, f.read()) << f.match << ": a written file outlives a power cut";
        for (BoardFileStep step : steps) {
            BoardFileFault(f.match, step, true);
            f.write(true);
            BoardPowerRestore();
            const std::string now = f.read();
            EXPECT_TRUE(now == f.oldBytes || now == f.newBytes)
                << f.match << " cut at step " << int(step) << ": \"" << now << "\"";
            f.write(false);
            BoardPowerCut();
        }
    }
    BoardPowerModel(false);
}
