// Power loss at every file operation of a change, and a failure of every single operation.
//
// Each scenario starts from a synced disk, opens the store and runs its steps. A dry run counts
// the file operations N; then for every k = 1..N the power goes at operation k, the disk is
// rebuilt three ways (only what was synced; everything with the last write torn; a random part
// of what was not synced), and the store is opened again. It must open, and hold exactly the
// state after some prefix of the steps: every step that reported success, and at most the one
// that was cut. A write of a new key and a second opening then show the store still works.
#include "kv_golden.h"
#include "kv_test_util.h"
#include "noxa_adapter/utilities/uni_time.h"

#include <cctype>
#include <functional>
#include <iostream>
#include <strings.h>

using namespace kvtest;

namespace {

const uint8_t kStoreKey[16] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE,
                               0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

struct Step {
    std::function<int()> run;
    std::function<void(Model&)> effect;
};

Step WriteStep(const std::string& k, const std::string& v)
{
    return {[=] { return Write(k, v); }, [=](Model& m) { m[k] = v; }};
}

Step DeleteStep(const std::string& k)
{
    return {[=] { return simplekv_delete(k.c_str()); }, [=](Model& m) { m.erase(k); }};
}

Step FuzzyDeleteStep(const std::string& prefix)
{
    return {[=] { return simplekv_fuzz_delete(prefix.c_str()); },
            [=](Model& m) {
                for (auto it = m.begin(); it != m.end();) {
                    it = strncasecmp(it->first.c_str(), prefix.c_str(), prefix.size()) == 0 ? m.erase(it)
                                                                                             : std::next(it);
                }
            }};
}

Step FormatStep()
{
    return {[] { return simplekv_format(); }, [](Model& m) { m.clear(); }};
}

struct Scenario {
    const char* name;
    std::function<void(MemFs&)> setup;  // leaves the disk synced and the store closed
    Model initial;
    std::vector<Step> steps;
};

// The store opened and filled through the engine, then closed.
std::function<void(MemFs&)> Filled(const Model& m, std::vector<std::string> deleted = {})
{
    return [=](MemFs& fs) {
        ASSERT_EQ(0, Open(fs));
        for (const auto& [k, v] : m) {
            ASSERT_EQ(0, Write(k, v));
        }
        for (const auto& k : deleted) {
            ASSERT_EQ(0, Write(k, std::string(20, 'd')));
            ASSERT_EQ(0, simplekv_delete(k.c_str()));
        }
        simplekv_deinit();
    };
}

// A data file of an older layout written by the independent writer, with its key file.
std::function<void(MemFs&)> OldFile(uint32_t version, uint32_t hdSize, std::vector<golden::Entry> entries)
{
    return [=](MemFs& fs) {
        fs.Put(kData, golden::BuildFile(version, hdSize, entries, kStoreKey));
        fs.Put(kKey, golden::KeyFile(kStoreKey));
    };
}

const Model kAB = {{"a", "alpha-1"}, {"b", "bravo-1"}};

std::vector<Scenario> Scenarios()
{
    std::vector<golden::Entry> oldEntries = {
        {"gw_bi", "{\"uuid\":\"u1\"}"}, {"gone", "deleted value", false}, {"gw_wsm", std::string(40, 'w')},
        {"tight", std::string(32, 't'), true, 0}};
    Model oldModel = {
        {"gw_bi", "{\"uuid\":\"u1\"}"}, {"gw_wsm", std::string(40, 'w')}, {"tight", std::string(32, 't')}};
    return {
        {"first write in a fresh folder", [](MemFs&) {}, {}, {WriteStep("a", "alpha-1")}},
        {"same-key rewrite", Filled(kAB), kAB, {WriteStep("a", "alpha-2")}},
        {"growth beyond the reserve", Filled(kAB), kAB, {WriteStep("a", std::string(300, 'g'))}},
        {"reuse of a deleted slot", Filled(kAB, {"c"}), kAB, {WriteStep("d", "delta")}},
        {"delete", Filled(kAB), kAB, {DeleteStep("a")}},
        {"fuzzy delete",
         Filled({{"ddi-1", "x"}, {"DDI-2", "y"}, {"z", "z"}}),
         {{"ddi-1", "x"}, {"DDI-2", "y"}, {"z", "z"}},
         {FuzzyDeleteStep("ddi")}},
        {"format", Filled(kAB), kAB, {FormatStep(), WriteStep("c", "charlie")}},
        {"burst of writes, backup held back",
         Filled(kAB),
         kAB,
         {WriteStep("a", "alpha-2"), WriteStep("c", "charlie"), WriteStep("b", std::string(200, 'b')),
          DeleteStep("a"), WriteStep("a", "alpha-3"), WriteStep("e", "echo")}},
        {"upgrade from version 1", OldFile(1, golden::kHdSize, oldEntries), oldModel, {WriteStep("n", "new")}},
        {"upgrade from version 0", OldFile(0, 2048, oldEntries), oldModel, {WriteStep("n", "new")}},
        {"move of a 2,048-byte version-2 header", OldFile(2, 2048, oldEntries), oldModel, {WriteStep("n", "new")}},
        {"key file of the wrong length at opening",
         [](MemFs& fs) {
             Filled(kAB)(fs);
             fs.Put(kKey, std::vector<uint8_t>(15, 0x77));
         },
         {},
         {WriteStep("c", "charlie")}},
        {"restore from the backup at opening",
         [](MemFs& fs) {
             Filled(kAB)(fs);
             fs.Put(kBak, fs.Get(kData));
             fs.Erase(kData);
         },
         kAB,
         {WriteStep("c", "charlie")}},
    };
}

std::set<std::string> KeysOf(const Scenario& s)
{
    std::set<std::string> keys;
    Model m = s.initial;
    for (const auto& [k, v] : m) {
        keys.insert(k);
    }
    for (const auto& step : s.steps) {
        step.effect(m);
        for (const auto& [k, v] : m) {
            keys.insert(k);
        }
    }
    keys.insert("probe");
    return keys;
}

// The model after each prefix of the steps.
std::vector<Model> States(const Scenario& s)
{
    std::vector<Model> out{s.initial};
    for (const auto& step : s.steps) {
        Model m = out.back();
        step.effect(m);
        out.push_back(m);
    }
    return out;
}

// Opens and runs the steps; the number of steps started and of steps that succeeded.
std::pair<size_t, size_t> RunSteps(MemFs& fs, const Scenario& s)
{
    if (Open(fs) != 0) {
        return {0, 0};
    }
    size_t ok = 0;
    for (const auto& step : s.steps) {
        if (step.run() != 0) {
            return {ok + 1, ok};
        }
        ++ok;
    }
    return {ok, ok};
}

// The whole store by a scan of every slot in use: a deleted key that came back shows, and so
// does a key held by two slots.
Model Scanned(const MemFs& fs)
{
    Model m;
    for (const auto& [k, v] : Slots(fs)) {
        EXPECT_TRUE(m.emplace(k, v).second) << "key " << k << " in two slots";
    }
    return m;
}

class PowerLoss : public testing::TestWithParam<size_t> {
protected:
    void TearDown() override { simplekv_deinit(); }
    UniTestClock mClock;
    MemFs fs;  // outlives the store, which TearDown closes
};

}  // namespace

TEST_P(PowerLoss, EveryCutLeavesAPrefixOfTheSteps)
{
    const Scenario s = Scenarios()[GetParam()];
    const std::vector<Model> states = States(s);
    s.setup(fs);
    const MemFs::Image start = fs.Snapshot();

    fs.Restore(start);
    auto [started, ok] = RunSteps(fs, s);
    const uint64_t n = fs.Ops();
    ASSERT_EQ(s.steps.size(), ok) << "dry run";
    ASSERT_EQ(states.back(), Scanned(fs));
    simplekv_deinit();

    const MemFs::CrashMode modes[] = {MemFs::kDropUnsynced, MemFs::kKeepTorn, MemFs::kRandomSubset};
    uint64_t cuts = 0;
    uint64_t secondCuts = 0;
    for (uint64_t k = 1; k <= n; ++k) {
        for (MemFs::CrashMode mode : modes) {
            SCOPED_TRACE(std::string(s.name) + ": cut at op " + std::to_string(k) + " of " + std::to_string(n) +
                         ", mode " + std::to_string(mode));
            fs.Restore(start);
            fs.CutAt(k);
            auto [begun, done] = RunSteps(fs, s);
            ASSERT_TRUE(fs.Dead());
            simplekv_deinit();
            fs.Reboot(mode, static_cast<uint32_t>(k * 31 + GetParam()));
            ++cuts;
            const MemFs::Image cut = fs.Snapshot();
            auto isPrefix = [&, begun = begun, done = done](const Model& got) {
                for (size_t j = done; j <= begun && j < states.size(); ++j) {
                    if (got == states[j]) {
                        return true;
                    }
                }
                return false;
            };

            fs.ResetOps();
            ASSERT_EQ(0, Open(fs));
            const uint64_t m = fs.Ops();
            Model got = Scanned(fs);
            ASSERT_TRUE(isPrefix(got)) << "got " << Dump(got) << ", steps done " << done << " of " << begun
                                       << " begun; old " << Dump(states[done]);
            // Still a working store, and it stays so over another opening.
            ASSERT_EQ(0, Write("probe", "p"));
            got["probe"] = "p";
            ASSERT_EQ(0, Open(fs));
            ASSERT_EQ(got, Scanned(fs));
            got.erase("probe");

            // The power goes again while the opening recovers: the next opening ends where the
            // first recovery would have.
            for (uint64_t j = 1; j <= m; ++j) {
                SCOPED_TRACE("second cut at op " + std::to_string(j) + " of " + std::to_string(m));
                fs.Restore(cut);
                fs.CutAt(j);
                Open(fs);
                ASSERT_TRUE(fs.Dead());
                simplekv_deinit();
                fs.Reboot(modes[(k + j) % 3], static_cast<uint32_t>(k * 131 + j));
                ++secondCuts;
                ASSERT_EQ(0, Open(fs));
                ASSERT_EQ(got, Scanned(fs)) << "first recovery " << Dump(got);
            }
        }
    }
    std::cout << "[ power loss ] " << s.name << ": " << n << " operations, " << cuts << " cut points, "
              << secondCuts << " second cuts in the recovering opening" << std::endl;
}

TEST_P(PowerLoss, AFailedOperationLeavesTheOldStateEverywhere)
{
    const Scenario s = Scenarios()[GetParam()];
    const std::set<std::string> keys = KeysOf(s);
    s.setup(fs);
    ASSERT_EQ(0, Open(fs));
    simplekv_deinit();
    const MemFs::Image start = fs.Snapshot();

    fs.Restore(start);
    ASSERT_EQ(0, Open(fs));
    fs.ResetOps();
    for (const auto& step : s.steps) {
        ASSERT_EQ(0, step.run());
    }
    const uint64_t n = fs.Ops();

    for (uint64_t k = 1; k <= n; ++k) {
        SCOPED_TRACE(std::string(s.name) + ": operation " + std::to_string(k) + " of " + std::to_string(n) + " fails");
        fs.Restore(start);
        ASSERT_EQ(0, Open(fs));
        fs.ResetOps();
        fs.FailAt(k);
        Model want = s.initial;
        for (const auto& step : s.steps) {
            if (step.run() == 0) {
                step.effect(want);
            }
        }
        // The call's result is the truth in memory and after reopening alike.
        ASSERT_EQ(want, Content(keys)) << Dump(want);
        ASSERT_EQ(0, Open(fs));
        ASSERT_EQ(want, Scanned(fs)) << Dump(want);
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, PowerLoss, testing::Range<size_t>(0, Scenarios().size()),
                         [](const testing::TestParamInfo<size_t>& info) {
                             std::string name = Scenarios()[info.param].name;
                             for (char& c : name) {
                                 c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });
