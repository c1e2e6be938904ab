// The phone's live stream through the local cloud's media gateway on the whole process: audio,
// main and sub (mask 7) for 60 s (BENCH_STREAM_SECONDS), then per stream the frames a second the
// gateway received, the seqNo gaps (the unit's reader skipped ahead) and the latency from the
// ring buffer's time stamp to the gateway's receipt, p50, p95 and max, as counters. The unit's
// stamps are the cloud's whole second plus its own ticks, a fixed 0-1 s off the host clock the
// gateway reads; the gateway takes that offset as the run's smallest arrival-minus-stamp, so the
// latencies are those above the fastest frame (within about a millisecond of the true ones on
// loopback), and `offset_ms` is the offset it took.
#include "cloud_peer.h"
#include "process.h"
#include "sandbox.h"
#include "unit_cast.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

// The number after `key` on the stream's status line, -1 when there is none.
double Field(const std::string& status, const std::string& stream, const std::string& key)
{
    const size_t line = status.find(stream + " frames ");
    if (line == std::string::npos) {
        return -1;
    }
    const size_t eol = status.find('\n', line);
    const size_t at = status.find(" " + key + " ", line);
    return at == std::string::npos || at > eol ? -1 : std::atof(status.c_str() + at + key.size() + 2);
}

void BM_CloudStreamMask7(benchmark::State& state)
{
    const char* env = std::getenv("BENCH_STREAM_SECONDS");
    const int seconds = env != nullptr ? std::atoi(env) : 60;
    TestSandbox box;
    CloudPeer cloud(box.Root());
    UnitCast cast;
    if (!StartUnitCast(state, box, cloud, &cast, false)) {
        return;
    }
    ChildProcess& unit = *cast.unit;
    std::string status;
    for (auto _ : state) {
        bool up = false;
        for (int i = 0; i < 10 && !up; ++i) {
            cloud.Command("stream start --streams 7 --out " + box.Path("/stream"));
            up = Eventually([&] { return cloud.Command("stream status").find(" auths 1 ") != std::string::npos; },
                            std::chrono::seconds(5));
        }
        if (!up) {
            state.SkipWithError("the gateway got no stream");
            return;
        }
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        status = cloud.Command("stream status");
        cloud.Command("stream stop");
    }
    for (const char* s : {"audio", "main", "sub"}) {
        const std::string n(s);
        state.counters[n + "_fps"] = Field(status, n, "fps");
        state.counters[n + "_gaps"] = Field(status, n, "gaps");
        state.counters[n + "_p50_ms"] = Field(status, n, "p50");
        state.counters[n + "_p95_ms"] = Field(status, n, "p95");
        state.counters[n + "_max_ms"] = Field(status, n, "max");
    }
    state.counters["offset_ms"] = Field(status, "audio", "offset");
    state.counters["errors"] = status.find("error ") != std::string::npos ? 1 : 0;
    unit.Kill(SIGTERM);
    unit.WaitExit(std::chrono::seconds(10));
}

}  // namespace

BENCHMARK(BM_CloudStreamMask7)->Iterations(1)->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
