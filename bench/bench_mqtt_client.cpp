// The MQTT client against mosquitto on loopback, beside libmosquitto's client as the reference,
// both on the same broker in the same run, in 5 rounds of alternating order (a busy neighbour
// then weighs on both alike): publish-to-delivery latency (median and 99th percentile, one
// message in flight) for QoS 0 and QoS 1, and QoS 0 throughput (a burst of publishes until the
// last one is delivered back) with the CPU it cost: the publishing thread's own CPU time and the
// whole process's (the client's threads included), and the broker's, a process of its own, with
// the context switches of both per message (a thread that sleeps between messages makes the
// broker wake it for the next, and the broker pays for the wake-up). Each
// client subscribes to its own topic at QoS 0 and gets its own messages back; the payload
// carries its send time, read on delivery. Counters: min and median over the rounds, and the
// ratio of the medians (this client / libmosquitto).
//
// QoS 1 throughput at 1, 4 and 16 publishing threads: both clients are held to 8 messages in
// flight by the same gate (a publisher takes a place before it publishes, the PUBACK gives it
// back), which is the unit client's own limit: it refuses a ninth rather than queue it. A round
// ends when every PUBACK and every message is back; the process's and the broker's CPU per
// message beside the rate, and the refusals met (0 while the gate holds).
#include "mosquitto_peer.h"
#include "noxa_adapter/network/uni_network.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_iot_sdk/com_sdk/com_mmod.h"
#include "noxa_middleware/mqtt/mqtt_client.h"

#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <latch>
#include <string>
#include <memory>
#include <mosquitto.h>
#include <mutex>
#include <stdexcept>
#include <sys/resource.h>
#include <ctime>
#include <thread>
#include <vector>

namespace {

constexpr int kPayload = 64;
constexpr int kBurst = 20000;
constexpr int kWaitMs = 10000;

uint64_t NowNs()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// What one client got back.
struct Sink {
    std::mutex m;
    std::condition_variable cv;
    uint64_t count = 0;
    uint64_t want = 0;  // the waiter is woken only when the count gets there
    std::vector<double> latUs;

    void Deliver(const void* data, size_t len)
    {
        uint64_t now = NowNs();
        uint64_t sent = 0;
        if (len >= sizeof(sent)) {
            memcpy(&sent, data, sizeof(sent));
        }
        bool wake = false;
        {
            std::lock_guard<std::mutex> lock(m);
            ++count;
            latUs.push_back(static_cast<double>(now - sent) / 1000.0);
            wake = count == want;
        }
        if (wake) {
            cv.notify_all();
        }
    }
    uint64_t Count()
    {
        std::lock_guard<std::mutex> lock(m);
        return count;
    }
    bool WaitCount(uint64_t n)
    {
        std::unique_lock<std::mutex> lock(m);
        want = n;
        return cv.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return count >= n; });
    }
    std::vector<double> TakeLatencies()
    {
        std::lock_guard<std::mutex> lock(m);
        std::vector<double> out;
        out.swap(latUs);
        return out;
    }
};

mqttpeer::Mosquitto& Broker()
{
    static mqttpeer::Mosquitto broker{mqttpeer::Mosquitto::Config{}};
    return broker;
}

constexpr int kInFlight = 8;
constexpr int kQos1Burst = 20000;

class Client {
public:
    virtual ~Client() = default;
    virtual bool Publish(const uint8_t* data, int len, int qos) = 0;
    // QoS 1 under the gate: the PUBACK gives the place back (Acked).
    virtual bool PublishGated(const uint8_t* data, int len) = 0;
    Sink sink;

    void Take()
    {
        std::unique_lock<std::mutex> lock(mGateLock);
        mPlaceFree.wait(lock, [&] { return mInFlight < kInFlight; });
        ++mInFlight;
    }
    void Acked(bool ok)
    {
        bool done = false;
        {
            std::lock_guard<std::mutex> lock(mGateLock);
            --mInFlight;
            ++mAcked;
            mAckFailed += ok ? 0 : 1;
            done = mAcked == mAckWant;
        }
        mPlaceFree.notify_one();
        if (done) {
            mAllAcked.notify_all();
        }
    }
    // The gate's counts start afresh (nothing in flight).
    void StartGate(uint64_t want)
    {
        std::lock_guard<std::mutex> lock(mGateLock);
        mInFlight = 0;
        mAcked = 0;
        mAckFailed = 0;
        mAckWant = want;
        gated = true;
    }
    bool WaitAcked()
    {
        std::unique_lock<std::mutex> lock(mGateLock);
        bool ok = mAllAcked.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return mAcked >= mAckWant; });
        gated = false;
        return ok && mAckFailed == 0;
    }
    std::atomic<bool> gated{false};

private:
    std::mutex mGateLock;
    std::condition_variable mPlaceFree;
    std::condition_variable mAllAcked;
    int mInFlight = 0;
    uint64_t mAcked = 0;
    uint64_t mAckFailed = 0;
    uint64_t mAckWant = 0;
};

// ---- this client ----

Sink* s_noxaSink = nullptr;
std::atomic<int> s_noxaOnline{0};

void NoxaRecv(uint8_t* data, uint32_t len)
{
    s_noxaSink->Deliver(data, len);
}
void NoxaConn()
{
    s_noxaOnline = 1;
}
void NoxaPubDone(int, void*) {}
void NoxaGateDone(int rc, void* arg)
{
    static_cast<Client*>(arg)->Acked(rc == 0);
}

class NoxaClient : public Client {
public:
    NoxaClient()
    {
        s_noxaSink = &sink;
        uni_log_init(LOG_LEVEL_ERR, 1024, uni_log_output);
        unw_dns_cache_init();
        if (cmmod_init() != 0) {
            throw std::runtime_error("cmmod");
        }
        const char* hosts[] = {"127.0.0.1"};
        MQ_CLIENT_INFO_S info = {kTopic, "bench-noxa", "bench", nullptr};
        if (create_mqtt_hand(hosts, 1, Broker().Port(), 0, &info, 60, NoxaRecv, &mH) != 0) {
            throw std::runtime_error("create_mqtt_hand");
        }
        mqtt_register_cb(mH, NoxaConn, nullptr, nullptr, nullptr, nullptr);
        mqtt_client_start(mH, "mq_bench");
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        while (s_noxaOnline.load() == 0 && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (s_noxaOnline.load() == 0) {
            throw std::runtime_error("not online");
        }
    }
    ~NoxaClient() override { delete_mqtt_hand(mH); }
    bool Publish(const uint8_t* data, int len, int qos) override
    {
        return mqtt_publish_async(mH, kTopic, static_cast<uint8_t>(qos), data, static_cast<uint32_t>(len), 0,
                                  qos == 1 ? NoxaPubDone : nullptr, nullptr) == 0;
    }
    bool PublishGated(const uint8_t* data, int len) override
    {
        return mqtt_publish_async(mH, kTopic, 1, data, static_cast<uint32_t>(len), 0, NoxaGateDone, this) == 0;
    }

private:
    static constexpr const char* kTopic = "bench/noxa";
    MQ_HANDLE mH = nullptr;
};

// ---- libmosquitto's client ----

class RefClient : public Client {
public:
    RefClient()
    {
        mosquitto_lib_init();
        mMosq = mosquitto_new("bench-ref", true, this);
        mosquitto_int_option(mMosq, MOSQ_OPT_TCP_NODELAY, 1);
        mosquitto_message_callback_set(mMosq, [](mosquitto*, void* obj, const mosquitto_message* msg) {
            static_cast<RefClient*>(obj)->sink.Deliver(msg->payload, static_cast<size_t>(msg->payloadlen));
        });
        // Called on the PUBACK of a QoS 1 message (and when a QoS 0 one is written).
        mosquitto_publish_callback_set(mMosq, [](mosquitto*, void* obj, int) {
            auto* self = static_cast<RefClient*>(obj);
            if (self->gated.load()) {
                self->Acked(true);
            }
        });
        mosquitto_subscribe_callback_set(mMosq, [](mosquitto*, void* obj, int, int, const int*) {
            static_cast<RefClient*>(obj)->mSubscribed = 1;
        });
        if (mosquitto_connect(mMosq, "127.0.0.1", Broker().Port(), 60) != MOSQ_ERR_SUCCESS ||
            mosquitto_loop_start(mMosq) != MOSQ_ERR_SUCCESS ||
            mosquitto_subscribe(mMosq, nullptr, kTopic, 0) != MOSQ_ERR_SUCCESS) {
            throw std::runtime_error("libmosquitto connect");
        }
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        while (mSubscribed.load() == 0 && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (mSubscribed.load() == 0) {
            throw std::runtime_error("libmosquitto subscribe");
        }
    }
    ~RefClient() override
    {
        mosquitto_disconnect(mMosq);
        mosquitto_loop_stop(mMosq, false);
        mosquitto_destroy(mMosq);
        mosquitto_lib_cleanup();
    }
    bool Publish(const uint8_t* data, int len, int qos) override
    {
        return mosquitto_publish(mMosq, nullptr, kTopic, len, data, qos, false) == MOSQ_ERR_SUCCESS;
    }
    bool PublishGated(const uint8_t* data, int len) override { return Publish(data, len, 1); }

private:
    static constexpr const char* kTopic = "bench/ref";
    mosquitto* mMosq = nullptr;
    std::atomic<int> mSubscribed{0};
};

enum Which { kNoxa, kRef };

Client& Get(Which which)
{
    Broker();  // made first, so that it goes last, after the clients
    static std::unique_ptr<Client> clients[2];
    if (!clients[which]) {
        clients[which] = which == kNoxa ? std::unique_ptr<Client>(new NoxaClient) : std::unique_ptr<Client>(new RefClient);
    }
    return *clients[which];
}

double Percentile(std::vector<double> v, double p)
{
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    size_t at = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[at];
}

constexpr int kRounds = 5;
constexpr int kLatencyPerRound = 1000;
const char* const kName[2] = {"noxa", "mosq"};

double ThreadCpuUs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// Voluntary and forced context switches of this process.
double ProcessSwitches()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_nvcsw + ru.ru_nivcsw);
}

// The same of the broker, from its status file.
double BrokerSwitches()
{
    std::ifstream in("/proc/" + std::to_string(Broker().Pid()) + "/status");
    std::string line;
    double n = 0;
    while (std::getline(in, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
            n += std::stod(line.substr(line.find(':') + 1));
        }
    }
    return n;
}

double ProcessCpuUs()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    auto us = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) * 1e6 + static_cast<double>(tv.tv_usec); };
    return us(ru.ru_utime) + us(ru.ru_stime);
}

// The broker's time on a CPU and its time waiting for one (a busy machine), from the scheduler's
// counts in nanoseconds.
void BrokerSched(double* cpuUs, double* waitUs)
{
    std::ifstream in("/proc/" + std::to_string(Broker().Pid()) + "/schedstat");
    double run = 0;
    double wait = 0;
    in >> run >> wait;
    *cpuUs = run / 1e3;
    *waitUs = wait / 1e3;
}

// Min, median and the ratio of the medians of one figure, per client, as counters.
void Report(benchmark::State& state, const char* what, std::vector<double> (&v)[2])
{
    double med[2];
    for (int w = 0; w < 2; ++w) {
        if (v[w].empty()) {
            v[w].push_back(0);
        }
        med[w] = Percentile(v[w], 0.5);
        state.counters[std::string(kName[w]) + "_" + what + "_min"] = *std::min_element(v[w].begin(), v[w].end());
        state.counters[std::string(kName[w]) + "_" + what + "_med"] = med[w];
    }
    state.counters[std::string("ratio_") + what] = med[1] != 0 ? med[0] / med[1] : 0;
}

// BENCH_MQTT_ONLY=noxa (or mosq) leaves the other client's throughput rounds out, for a profile of
// one client's run (its figures then read 0).
bool Skipped(Which which)
{
    const char* only = getenv("BENCH_MQTT_ONLY");
    return only != nullptr && strcmp(only, kName[which]) != 0;
}

// kRounds rounds of fn(which, client) for each client in turn, which goes first alternating;
// a client BENCH_MQTT_ONLY leaves out is skipped. False as soon as fn fails.
template <typename Fn>
bool AlternatingRounds(Fn fn)
{
    for (int round = 0; round < kRounds; ++round) {
        for (int k = 0; k < 2; ++k) {
            Which which = static_cast<Which>((round + k) % 2);
            if (!Skipped(which) && !fn(which, Get(which))) {
                return false;
            }
        }
    }
    return true;
}

// One message in flight: publish, wait for it to come back; rounds of each client in turn.
void BM_Latency(benchmark::State& state, int qos)
{
    Get(kNoxa);
    Get(kRef);
    std::vector<double> medUs[2];
    std::vector<double> p99Us[2];
    std::vector<double> all[2];
    uint8_t payload[kPayload] = {};
    for (auto _ : state) {
        for (int round = 0; round < kRounds; ++round) {
            for (int k = 0; k < 2; ++k) {
                Which which = static_cast<Which>((round + k) % 2);
                Client& c = Get(which);
                c.sink.TakeLatencies();
                for (int i = 0; i < kLatencyPerRound; ++i) {
                    uint64_t next = c.sink.Count() + 1;
                    uint64_t t0 = NowNs();
                    memcpy(payload, &t0, sizeof(t0));
                    if (!c.Publish(payload, kPayload, qos) || !c.sink.WaitCount(next)) {
                        state.SkipWithError("publish or delivery failed");
                        return;
                    }
                }
                std::vector<double> lat = c.sink.TakeLatencies();
                medUs[which].push_back(Percentile(lat, 0.5));
                p99Us[which].push_back(Percentile(lat, 0.99));
            }
        }
    }
    Report(state, "median_us", medUs);
    Report(state, "p99_us", p99Us);
}

// A burst of QoS 0 publishes, done when the last one is back; rounds of each client in turn.
void BM_Throughput(benchmark::State& state)
{
    Get(kNoxa);
    Get(kRef);
    std::vector<double> kmsgS[2];
    std::vector<double> callerUs[2];
    std::vector<double> processUs[2];
    std::vector<double> brokerUs[2];
    std::vector<double> brokerWaitUs[2];
    std::vector<double> switches[2];
    std::vector<double> brokerSwitches[2];
    uint8_t payload[kPayload] = {};
    for (auto _ : state) {
        const bool ok = AlternatingRounds([&](Which which, Client& c) {
            uint64_t target = c.sink.Count() + kBurst;
            double cpu0 = ThreadCpuUs();
            double proc0 = ProcessCpuUs();
            double broker0 = 0;
            double brokerWait0 = 0;
            BrokerSched(&broker0, &brokerWait0);
            double sw0 = ProcessSwitches();
            double brokerSw0 = BrokerSwitches();
            uint64_t t0 = NowNs();
            for (int i = 0; i < kBurst; ++i) {
                uint64_t now = NowNs();
                memcpy(payload, &now, sizeof(now));
                if (!c.Publish(payload, kPayload, 0)) {
                    state.SkipWithError("publish failed");
                    return false;
                }
            }
            if (!c.sink.WaitCount(target)) {
                state.SkipWithError("messages lost");
                return false;
            }
            double wallS = static_cast<double>(NowNs() - t0) / 1e9;
            switches[which].push_back((ProcessSwitches() - sw0) / kBurst);
            brokerSwitches[which].push_back((BrokerSwitches() - brokerSw0) / kBurst);
            callerUs[which].push_back((ThreadCpuUs() - cpu0) / kBurst);
            processUs[which].push_back((ProcessCpuUs() - proc0) / kBurst);
            double broker1 = 0;
            double brokerWait1 = 0;
            BrokerSched(&broker1, &brokerWait1);
            brokerUs[which].push_back((broker1 - broker0) / kBurst);
            brokerWaitUs[which].push_back((brokerWait1 - brokerWait0) / kBurst);
            kmsgS[which].push_back(kBurst / wallS / 1000.0);
            c.sink.TakeLatencies();
            return true;
        });
        if (!ok) {
            return;
        }
    }
    Report(state, "kmsg_s", kmsgS);
    Report(state, "caller_cpu_us", callerUs);
    Report(state, "process_cpu_us", processUs);
    Report(state, "broker_cpu_us", brokerUs);
    Report(state, "broker_runq_us", brokerWaitUs);
    Report(state, "switches_per_msg", switches);
    Report(state, "broker_switches_per_msg", brokerSwitches);
}

// QoS 1 bursts from `threads` publishers sharing one client, both clients held to 8 in flight.
void BM_Qos1Throughput(benchmark::State& state)
{
    const int threads = static_cast<int>(state.range(0));
    Get(kNoxa);
    Get(kRef);
    std::vector<double> kmsgS[2];
    std::vector<double> processUs[2];
    std::vector<double> brokerUs[2];
    std::vector<double> refusals[2];
    for (auto _ : state) {
        const bool ok = AlternatingRounds([&](Which which, Client& c) {
            const int each = kQos1Burst / threads;
            const uint64_t total = static_cast<uint64_t>(each) * threads;
            uint64_t target = c.sink.Count() + total;
            c.StartGate(total);
            std::atomic<uint64_t> refused{0};
            std::atomic<bool> failed{false};
            std::latch go(1);
            std::vector<std::thread> pubs;
            for (int t = 0; t < threads; ++t) {
                pubs.emplace_back([&] {
                    uint8_t payload[kPayload] = {};
                    go.wait();
                    for (int i = 0; i < each && !failed.load(); ++i) {
                        c.Take();
                        uint64_t now = NowNs();
                        memcpy(payload, &now, sizeof(now));
                        // A refusal gives the place back and is tried again.
                        int tries = 0;
                        while (!c.PublishGated(payload, kPayload)) {
                            refused.fetch_add(1);
                            if (++tries == 1000) {
                                failed = true;
                                c.Acked(false);
                                break;
                            }
                            std::this_thread::yield();
                        }
                    }
                });
            }
            double proc0 = ProcessCpuUs();
            double broker0 = 0;
            double brokerWait0 = 0;
            BrokerSched(&broker0, &brokerWait0);
            uint64_t t0 = NowNs();
            go.count_down();
            for (std::thread& t : pubs) {
                t.join();
            }
            bool acked = c.WaitAcked();
            if (failed.load() || !acked || !c.sink.WaitCount(target)) {
                state.SkipWithError("QoS 1 publish refused, unacknowledged or lost");
                return false;
            }
            double wallS = static_cast<double>(NowNs() - t0) / 1e9;
            processUs[which].push_back((ProcessCpuUs() - proc0) / static_cast<double>(total));
            double broker1 = 0;
            double brokerWait1 = 0;
            BrokerSched(&broker1, &brokerWait1);
            brokerUs[which].push_back((broker1 - broker0) / static_cast<double>(total));
            kmsgS[which].push_back(static_cast<double>(total) / wallS / 1000.0);
            refusals[which].push_back(static_cast<double>(refused.load()));
            c.sink.TakeLatencies();
            return true;
        });
        if (!ok) {
            return;
        }
    }
    Report(state, "kmsg_s", kmsgS);
    Report(state, "process_cpu_us", processUs);
    Report(state, "broker_cpu_us", brokerUs);
    Report(state, "refusals", refusals);
}

BENCHMARK_CAPTURE(BM_Latency, qos0, 0)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Latency, qos1, 1)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Throughput)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Qos1Throughput)->Arg(1)->Arg(4)->Arg(16)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
