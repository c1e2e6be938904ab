// Two threads writing one device file at once, round after round: what each answered against
// what the file holds afterwards. Shared by the device-file and settings suites and by the
// bench tool that counts the same over many rounds.
#pragma once

#include "ConfigFileParse.h"
#include "NoxaSettings.h"
#include "sandbox.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

struct FILE_RACE_COUNTS_S {
    unsigned rounds = 0;
    // Exactly one writer answered 0, and the file does not hold what it wrote (or both answered 0
    // and it holds neither).
    unsigned answeredButLost = 0;
    // Both answered -1.
    unsigned bothFailed = 0;
    // A write answered -1 beside the other (only a read-modify-write race counts it).
    unsigned oneFailed = 0;
    // A reader beside the writers saw something other than one whole content (an empty file).
    unsigned brokenReads = 0;
};

// Runs `a` and `b` on two threads let go at the same moment, and `beside` (when given) over and
// over on a third until both are done.
inline void RaceTwo(const std::function<void()>& a, const std::function<void()>& b,
                    const std::function<void()>& beside = nullptr)
{
    std::atomic<int> ready{0};
    std::atomic<bool> done{false};
    const int parties = beside ? 3 : 2;
    auto start = [&] {
        ready.fetch_add(1);
        while (ready.load() < parties) {
            std::this_thread::yield();
        }
    };
    std::thread ta([&] { start(); a(); });
    std::thread tb([&] { start(); b(); });
    std::thread tr;
    if (beside) {
        tr = std::thread([&] {
            start();
            while (!done.load()) {
                beside();
            }
        });
    }
    ta.join();
    tb.join();
    done = true;
    if (tr.joinable()) {
        tr.join();
    }
}

// Whole-file writes of one 16-byte file (WriteDeviceFile), a plain reader beside them.
inline FILE_RACE_COUNTS_S RaceWholeFileWrites(const TestSandbox& sb, unsigned rounds)
{
    const char* kFile = "/DeviceInfo/race.bin";
    const std::string old(16, 'o');
    const std::string bytes[2] = {std::string(16, 'a'), std::string(16, 'b')};
    const std::string host = sb.Path(kFile);
    FILE_RACE_COUNTS_S c;
    for (unsigned r = 0; r < rounds; ++r) {
        sb.Write(kFile, old);
        int rc[2] = {1, 1};
        std::atomic<unsigned> broken{0};
        RaceTwo([&] { rc[0] = WriteDeviceFile(kFile, bytes[0].data(), bytes[0].size()); },
                [&] { rc[1] = WriteDeviceFile(kFile, bytes[1].data(), bytes[1].size()); },
                [&] {
                    // A plain read, quick enough to land between another's open and write.
                    char buf[32];
                    const int fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC);
                    const ssize_t n = fd < 0 ? -1 : ::read(fd, buf, sizeof(buf));
                    if (fd >= 0) {
                        ::close(fd);
                    }
                    const std::string now = n < 0 ? "" : std::string(buf, static_cast<size_t>(n));
                    if (now != old && now != bytes[0] && now != bytes[1]) {
                        ++broken;
                    }
                });
        const std::string now = sb.Read(kFile);
        ++c.rounds;
        c.brokenReads += broken.load();
        if (rc[0] != 0 && rc[1] != 0) {
            ++c.bothFailed;
        } else if (rc[0] == 0 && rc[1] == 0 ? now != bytes[0] && now != bytes[1]
                                            : now != bytes[rc[0] == 0 ? 0 : 1]) {
            ++c.answeredButLost;
        }
    }
    return c;
}

// Two setters of one number setting (SetCfgInt), a new value each in every round.
inline FILE_RACE_COUNTS_S RaceSettingSetters(unsigned rounds)
{
    const char* kKey = "noxa_race_setting";
    FILE_RACE_COUNTS_S c;
    for (unsigned r = 0; r < rounds; ++r) {
        const int value[2] = {static_cast<int>(2 * r + 1), static_cast<int>(2 * r + 2)};
        int rc[2] = {1, 1};
        RaceTwo([&] { rc[0] = SetCfgInt(kKey, value[0]); }, [&] { rc[1] = SetCfgInt(kKey, value[1]); });
        const int now = GetCfgInt(kKey);
        ++c.rounds;
        if (rc[0] != 0 && rc[1] != 0) {
            ++c.bothFailed;
        } else if (rc[0] == 0 && rc[1] == 0 ? now != value[0] && now != value[1]
                                            : now != value[rc[0] == 0 ? 0 : 1]) {
            ++c.answeredButLost;
        }
    }
    return c;
}

// Two rewrites of one key=value file (WriteConfigValue), each of its own key.
inline FILE_RACE_COUNTS_S RaceConfigRewrites(const TestSandbox& sb, unsigned rounds)
{
    const char* kFile = "/DeviceInfo/race.conf";
    FILE_RACE_COUNTS_S c;
    for (unsigned r = 0; r < rounds; ++r) {
        sb.Write(kFile, "a=0\nb=0\n");
        const std::string value = std::to_string(r + 1);
        int rc[2] = {1, 1};
        RaceTwo([&] { rc[0] = WriteConfigValue(kFile, "a", value.c_str()); },
                [&] { rc[1] = WriteConfigValue(kFile, "b", value.c_str()); });
        const std::string now = sb.Read(kFile);
        ++c.rounds;
        if (rc[0] != 0 && rc[1] != 0) {
            ++c.bothFailed;
        } else if (rc[0] != 0 || rc[1] != 0) {
            ++c.oneFailed;
        }
        // What each answer promises: an answered key holds its value, the other key its old one
        // or the new.
        const std::string a = rc[0] == 0 ? value : "0";
        const std::string b = rc[1] == 0 ? value : "0";
        if (now != "a=" + a + "\nb=" + b + "\n") {
            ++c.answeredButLost;
        }
    }
    return c;
}
