// Per-byte cost of the cloud side's codings: AES-128-CBC (media key frames), MD5, Base64, and
// an MQTT PUBLISH built and parsed back.
#include "noxa_adapter/utilities/uni_aes.h"
#include "noxa_adapter/utilities/uni_base64.h"
#include "noxa_adapter/utilities/uni_digest.h"
#include "noxa_middleware/mqtt/libemqtt.h"

#include <benchmark/benchmark.h>
#include <cstring>
#include <string>
#include <vector>

namespace {

const uint8_t kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

void BM_Aes128CbcEncrypt(benchmark::State& state)
{
    std::vector<uint8_t> in(static_cast<size_t>(state.range(0)), 0x5A);
    std::vector<uint8_t> out(in.size());
    uint8_t iv[16] = {};
    for (auto _ : state) {
        uni_aes128_cbc_encrypt(in.data(), static_cast<uint32_t>(in.size()), kKey, iv, out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Md5(benchmark::State& state)
{
    std::vector<uint8_t> in(static_cast<size_t>(state.range(0)), 0x5A);
    uint8_t digest[UNI_MD5_DIGEST_LEN];
    for (auto _ : state) {
        UNI_MD5_CTX_S ctx;
        uni_md5_init(&ctx);
        uni_md5_update(&ctx, in.data(), static_cast<uint32_t>(in.size()));
        uni_md5_final(&ctx, digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Base64Decode(benchmark::State& state)
{
    std::vector<uint8_t> raw(static_cast<size_t>(state.range(0)), 0xA5);
    std::vector<char> text(4 * ((raw.size() + 2) / 3) + 1);
    uni_base64_encode(raw.data(), static_cast<int>(raw.size()), text.data());
    std::vector<uint8_t> out(raw.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(uni_base64_decode_n(text.data(), out.data(), static_cast<uint32_t>(out.size())));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

std::vector<uint8_t> gWire;
int Keep(void*, const void* buf, unsigned int count)
{
    gWire.assign(static_cast<const uint8_t*>(buf), static_cast<const uint8_t*>(buf) + count);
    return static_cast<int>(count);
}

void BM_MqttPublishBuildAndParse(benchmark::State& state)
{
    mqtt_broker_handle_t broker{};
    mqtt_init(&broker, "bench");
    broker.send = Keep;
    std::string payload(static_cast<size_t>(state.range(0)), 'j');
    gWire.reserve(payload.size() + 64);
    for (auto _ : state) {
        uint16_t id = 0;
        mqtt_next_msg_id(&broker, 1, &id);
        mqtt_pub_msg_with_qos(&broker, "smart/device/in/0123456789abcdef", payload.data(),
                              static_cast<uint32_t>(payload.size()), 0, 1, id);
        const uint8_t* msg = nullptr;
        benchmark::DoNotOptimize(mqtt_parse_pub_msg_ptr(gWire.data(), static_cast<uint32_t>(gWire.size()), &msg));
    }
}

}  // namespace

BENCHMARK(BM_Aes128CbcEncrypt)->Arg(1024)->Arg(65536);
BENCHMARK(BM_Md5)->Arg(65536);
BENCHMARK(BM_Base64Decode)->Arg(96)->Arg(4096);
BENCHMARK(BM_MqttPublishBuildAndParse)->Arg(200)->Arg(4000);
BENCHMARK_MAIN();
