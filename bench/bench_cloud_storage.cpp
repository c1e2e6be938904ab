// Object storage: the S3 signature of one upload (canonical request, two SHA-256 and five
// HMAC-SHA256 on mbed TLS), and a 512 KB slice PUT over TLS through the local cloud's signature
// gate into s3rver (the unit activated there, its store CA fetched through the API).
#include "cloud_bench_util.h"
#include "cloud_peer.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_iot_sdk/com_sdk/noxa_iot_com_api.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_operation.h"
#include "noxa_iot_sdk/noxa_cloud/gw_active.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"
#include "sandbox.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

void BM_SigV4SignPut(benchmark::State& state)
{
    CLOUD_SIGV4_REQ_S r;
    r.method = "PUT";
    r.host = "noxa-media.s3.cloudsim.test";
    r.path = "/nx0123456789abcd/media/1700000000_0001.media";
    r.payload_hash = "44ce7dd67c959e0d3524ffac1771dfbba87d2b6b4b4e99e42034a8b803f8b072";
    r.amz_date = "20261207T010000Z";
    r.region = "eu-central-1";
    r.service = "s3";
    r.ak = "NOXAAKEXAMPLE0000000";
    r.sk = "wJalrXUtnFEMI/K7MDENG/bPxRfiCYEXAMPLEKEY";
    r.headers = {{"Content-Type", "media/av"},
                 {"x-amz-content-sha256", r.payload_hash},
                 {"x-amz-date", r.amz_date},
                 {"x-amz-security-token", std::string(600, 'T')}};
    for (auto _ : state) {
        benchmark::DoNotOptimize(cloud_sigv4_authorization(r));
    }
}
BENCHMARK(BM_SigV4SignPut)->Unit(benchmark::kMicrosecond);

const NOXA_IOT_CBS_S kCbs = {};

void BM_Put512kToS3rverOverTls(benchmark::State& state)
{
    TestSandbox box;
    CloudPeer cloud(box.Root());
    if (cloud.Command("stores").rfind("s3 ", 0) != 0) {
        state.SkipWithError("the object stores do not run (scripts/deps.sh)");
        return;
    }
    if (!benchcloud::StartCore(state)) {
        return;
    }
    benchcloud::ActivateAtLocalCloud(cloud.Pair(), &kCbs, nullptr);
    bool active = benchcloud::WaitFor([] { return noxa_iot_get_active_stat() == ACTIVATED; }, 3000);
    CLOUD_STORAGE_CFG_S cfg{};
    if (!active || cloud_get_storage_config(&cfg, 1) != 0 ||
        cloud_require_new_ca((std::string(cfg.bucket) + "." + cfg.endpoint).c_str(), 1) != 0) {
        state.SkipWithError("no storage configuration");
        mqc_app_stop();
        return;
    }
    std::vector<uint8_t> slice(512 * 1024);
    for (size_t i = 0; i < slice.size(); ++i) {
        slice[i] = static_cast<uint8_t>(i * 131 + 7);
    }
    std::vector<double> ms;
    int n = 0;
    for (auto _ : state) {
        std::string name = std::to_string(1700000000 + n++) + "_0001.media";
        auto start = std::chrono::steady_clock::now();
        int ret = cloud_put_data_to_file(&cfg, "https", 0, name.c_str(), "media/av", slice.data(),
                                         static_cast<uint32_t>(slice.size()));
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        if (ret != 0) {
            state.SkipWithError("PUT failed");
            break;
        }
    }
    mqc_app_stop();
    if (ms.empty()) {
        return;
    }
    std::sort(ms.begin(), ms.end());
    double median = ms[ms.size() / 2];
    state.counters["median_ms"] = median;
    state.counters["MB_per_s"] = 0.5 / (median / 1000.0);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(slice.size()));
}
BENCHMARK(BM_Put512kToS3rverOverTls)->Iterations(40)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
