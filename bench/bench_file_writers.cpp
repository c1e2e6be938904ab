// Two threads writing one device file at once, counted over many rounds: the whole-file write
// (with a reader beside it), a number setting's setter and the key=value rewriter. Prints what
// each answered against what the file held afterwards (on stderr: the unit's error lines go to
// stdout); every count but the rounds should be 0.
//   bench_file_writers [rounds]   (3000 by default)
#include "file_race_util.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    const unsigned rounds = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 3000;
    TestSandbox sb;
    const struct {
        const char* name;
        FILE_RACE_COUNTS_S c;
    } rows[] = {
        {"whole-file write", RaceWholeFileWrites(sb, rounds)},
        {"setting setter", RaceSettingSetters(rounds)},
        {"key=value rewrite", RaceConfigRewrites(sb, rounds)},
    };
    std::fprintf(stderr, "%-18s %7s %16s %11s %10s %13s\n", "path", "rounds", "answered-but-lost", "both-failed",
                "one-failed", "broken-reads");
    for (const auto& r : rows) {
        std::fprintf(stderr, "%-18s %7u %16u %11u %10u %13u\n", r.name, r.c.rounds, r.c.answeredButLost, r.c.bothFailed,
                    r.c.oneFailed, r.c.brokenReads);
    }
    return 0;
}
