// Cloud simulator: the device cloud the unit activates with and stays connected to, on loopback.
//
// It serves the cloud HTTPS API (activation) and the phone's small API, runs its own mosquitto
// (TLS, accounts added at activation), talks to each device over MQTT in the envelope, logs every
// message decoded in "<root>/.board/cloudsim.log", keeps its state in "<root>/.board/cloud/",
// and takes commands from the FIFO "<root>/.board/cloudsim.cmd" and from tools/phone.
// The phone's API ("/phone/...") answers only the owner's phone: a request must carry
// "Authorization: Bearer SECRET", the secret in "<root>/.board/cloud/phone.secret" (mode 0600,
// made at the first start, kept across restarts).
//
// Usage: cloudsim --root DIR [--ca-dir DIR] [--quiet]
//   --ca-dir  the test CA ("test_ca.der", "test_ca.key") that signs the servers' certificate
//             (default: res/tls of the build this program lies in)
//   --quiet   log to the file only
//   --die-with-parent  end when the process that started it ends (test helpers)
//   --stores  starts the object stores at once (else with the first storage call)
#include "../../src/noxa_iot_sdk/noxa_cloud/cloud_placeholders.h"
#include "api_calls.h"
#include "sim.h"
#include "stream.h"
#include "storage.h"
#include "../sandbox_rule.h"

#include <httplib.h>
#include <mosquitto.h>

#include <csignal>
#include <filesystem>
#include <sstream>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace cloudsim;

namespace {

bool EnsureCertificates(const std::string& caDir)
{
    std::string tls = gCloudDir + "/tls";
    fs::create_directories(tls);
    std::string caDer = caDir + "/test_ca.der";
    std::string caKey = caDir + "/test_ca.key";
    bool haveCa = fs::exists(caDer) && fs::exists(caKey);
    bool haveCert = fs::exists(tls + "/server.pem") && fs::exists(tls + "/server.key") && fs::exists(tls + "/ca.pem");
    // A build folder made anew has a new test CA, which the unit built there trusts alone: a
    // certificate of the old one is made again.
    if (haveCa && haveCert && fs::exists(tls + "/ca.der") && ReadFile(tls + "/ca.der") == ReadFile(caDer)) {
        return true;
    }
    if (!haveCa) {
        if (haveCert) {
            return true;
        }
        Log("error: no test CA in " + caDir + " (build the project first, or give --ca-dir)");
        return false;
    }
    WriteFileAtomic(tls + "/ca.der", ReadFile(caDer));
    std::string san = "subjectAltName=";
    for (const char* h : kHosts) {
        san += std::string("DNS:") + h + ",";
    }
    san += "DNS:localhost,IP:127.0.0.1";
    WriteFileAtomic(tls + "/server.ext", "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n"
                                         "extendedKeyUsage=serverAuth\n" + san + "\n");
    std::string serial = std::to_string(1000 + (Now() % 1000000));
    bool ok = RunProgram({"openssl", "x509", "-inform", "DER", "-in", caDer, "-out", tls + "/ca.pem"}) &&
              RunProgram({"openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", tls + "/server.key",
                          "-subj", "/O=Noxa Test/CN=cloudsim.test", "-out", tls + "/server.csr"}) &&
              RunProgram({"openssl", "x509", "-req", "-sha256", "-days", "3650", "-in", tls + "/server.csr", "-CA",
                          caDer, "-CAform", "DER", "-CAkey", caKey, "-set_serial", serial, "-extfile",
                          tls + "/server.ext", "-out", tls + "/server.pem"});
    chmod((tls + "/server.key").c_str(), 0600);
    if (!ok) {
        Log("error: making the server certificate failed");
        fs::remove(tls + "/server.pem");
    }
    return ok;
}

// The board's name lookup answers the cloud's hosts with 127.0.0.1; the unit finds the API here.
void WriteBoardFiles()
{
    std::string hostsPath = gRoot + "/.board/net/hosts";
    std::string kept;
    std::istringstream old(ReadFile(hostsPath));
    std::string line;
    while (std::getline(old, line)) {
        if (line.find("cloudsim.test") == std::string::npos) {
            kept += line + "\n";
        }
    }
    std::string ours = "127.0.0.1";
    for (const char* h : kHosts) {
        ours += std::string(" ") + h;
    }
    for (const auto& h : StoreHosts()) {
        ours += " " + h;
    }
    WriteFileAtomic(hostsPath, kept + ours + "\n");
    WriteFileAtomic(gRoot + "/etc/cloud.conf", "# written by the cloud simulator\napi_url=" + ApiUrl() + "\n");
    WriteFileAtomic(gCloudDir + "/ports", "api=" + std::to_string(gState.apiPort) + "\nmqtt=" +
                                              std::to_string(gState.mqttPort) + "\n");
}

// The phone's secret: kept in the sandbox, readable by its owner only.
std::string PhoneSecret(const std::string& path)
{
    std::string secret = ReadFile(path);
    while (!secret.empty() && (secret.back() == '\n' || secret.back() == '\r')) {
        secret.pop_back();
    }
    if (secret.size() != 32 || secret.find_first_not_of(kAlnum) != std::string::npos) {
        secret = RandomText(32, kAlnum);
        // Never readable by others, not even while it is written.
        const mode_t mask = umask(077);
        const bool written = WriteFileAtomic(path, secret + "\n", 0600);
        umask(mask);
        if (!written) {
            return "";
        }
    }
    chmod(path.c_str(), 0600);
    return secret;
}

// Whether a request carries the phone's secret (compared in constant time).
bool FromOwnersPhone(const httplib::Request& req, const std::string& secret)
{
    const std::string want = "Bearer " + secret;
    const std::string got = req.get_header_value("Authorization");
    if (secret.empty() || got.size() != want.size()) {
        return false;
    }
    unsigned char diff = 0;
    for (size_t i = 0; i < want.size(); ++i) {
        diff |= static_cast<unsigned char>(got[i] ^ want[i]);
    }
    return diff == 0;
}

void Refuse(httplib::Response& res)
{
    res.status = 401;
    res.set_content("error: the phone's secret is missing or wrong (" + gCloudDir + "/phone.secret)\n", "text/plain");
}

std::string ExeDir()
{
    std::error_code ec;
    return fs::read_symlink("/proc/self/exe", ec).parent_path().string();
}
}  // namespace

int main(int argc, char** argv)
{
    std::string caDir;
    bool startStores = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--root" && i + 1 < argc) {
            gRoot = argv[++i];
        } else if (a == "--ca-dir" && i + 1 < argc) {
            caDir = argv[++i];
        } else if (a == "--stores") {
            startStores = true;
        } else if (a == "--quiet") {
            gQuiet = true;
        } else if (a == "--die-with-parent") {
            // Test helpers: a test killed hard leaves no simulator (and so no broker) behind.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
        } else {
            fprintf(stderr, "cloudsim: %s %s\n", a.c_str(),
                    a == "--root" || a == "--ca-dir" ? "needs a folder" : "is not an option");
            fprintf(stderr, "usage: cloudsim --root DIR [--ca-dir DIR] [--quiet] [--die-with-parent] [--stores]\n");
            return 2;
        }
    }
    if (gRoot.empty() && getenv("DOORPHONE_ROOT") != nullptr) {
        gRoot = getenv("DOORPHONE_ROOT");
    }
    if (gRoot.empty()) {
        fprintf(stderr, "cloudsim: no board root: give --root DIR (or set DOORPHONE_ROOT)\n");
        return 2;
    }
    // The shell runner splices the root into command lines (tools/mksandbox's rule).
    if (gRoot.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./+-") !=
        std::string::npos) {
        fprintf(stderr, "cloudsim: the board root %s may hold only letters, digits and _ . / + -\n", gRoot.c_str());
        return 2;
    }
    // Its files go only into a board laid out for them, never into any folder named.
    const std::string why = SandboxRefusal(gRoot);
    if (!why.empty()) {
        fprintf(stderr, "cloudsim: the board root %s %s (lay one out with tools/mksandbox)\n", gRoot.c_str(),
                why.c_str());
        return 2;
    }
    gRoot = fs::canonical(gRoot).string();
    if (caDir.empty()) {
        caDir = ExeDir() + "/../res/tls";
    }
    gCloudDir = gRoot + "/.board/cloud";
    gStatePath = gCloudDir + "/state.json";
    fs::create_directories(gCloudDir + "/broker");
    // One cloud per root: a second one would take other ports and overwrite the state.
    int lockFd = open((gCloudDir + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd < 0 || flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        fprintf(stderr, "cloudsim: a cloud simulator already runs on %s\n", gRoot.c_str());
        return 1;
    }
    gLog = fopen((gRoot + "/.board/cloudsim.log").c_str(), "ab");
    const std::string phoneSecret = PhoneSecret(gCloudDir + "/phone.secret");
    if (phoneSecret.empty()) {
        fprintf(stderr, "cloudsim: cannot write %s/phone.secret\n", gCloudDir.c_str());
        return 1;
    }

    // Signals are taken by the main thread alone; every thread made later inherits the mask.
    sigset_t stopSet;
    sigemptyset(&stopSet);
    sigaddset(&stopSet, SIGINT);
    sigaddset(&stopSet, SIGTERM);
    sigaddset(&stopSet, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSet, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // Taken from now on, during the start too: a stop meanwhile cuts the start short (its waits
    // look at gStop) instead of waiting for the stores to come up first.
    std::atomic<int> stopSignal{0};
    std::thread signals([&stopSet, &stopSignal] {
        int sig = 0;
        while (sigwait(&stopSet, &sig) == 0 && sig == SIGHUP) {
        }
        stopSignal = sig;
        gStop = true;
    });
    // Every way out of main from here on: the signal thread is woken and joined.
    struct SignalsJoined {
        std::thread& t;
        ~SignalsJoined()
        {
            if (!gStop) {
                gStop = true;
                kill(getpid(), SIGTERM);
            }
            t.join();
        }
    } signalsJoined{signals};

    if (!EnsureCertificates(caDir)) {
        return 1;
    }
    std::string tls = gCloudDir + "/tls";
    if (!gState.Load(gStatePath) && fs::exists(gStatePath)) {
        Log("error: " + gStatePath + " is not readable; starting with an empty cloud");
    }
    for (auto& [id, d] : gState.devices) {
        d.online = false;
    }
    if (gState.simPassword.empty()) {
        gState.simPassword = RandomText(24, kAlnum);
    }
    mosquitto_lib_init();

    // A root keeps its ports, so an activated unit finds its cloud again; a fresh root (or one
    // whose ports are taken before any device activated) takes free ones.
    bool keepPorts = gState.apiPort != 0 && !gState.devices.empty();
    httplib::SSLServer svr((tls + "/server.pem").c_str(), (tls + "/server.key").c_str());
    svr.set_payload_max_length(256 * 1024);
    // The phone and the test helpers keep one connection for many commands, each answered at
    // once (no Nagle delay; set before the socket is made).
    svr.set_keep_alive_max_count(100000);
    svr.set_keep_alive_timeout(60);
    svr.set_tcp_nodelay(true);
    gBroker = std::make_unique<Broker>(gCloudDir + "/broker", tls + "/server.pem", tls + "/server.key");
    gBroker->SetAccount(kSimUser, gState.simPassword, {"topic readwrite #"});
    for (auto& [id, d] : gState.devices) {
        gBroker->SetAccount(id, d.password, DeviceAcl(d));
    }
    // The API port first, then the broker's: a port lost to another program meanwhile is
    // replaced only while no device depends on it.
    bool bound = false;
    for (int attempt = 0; attempt < 10 && !bound; ++attempt) {
        if (gState.apiPort == 0 || (!keepPorts && attempt > 0)) {
            gState.apiPort = FreeLoopbackPort();
        }
        bound = svr.bind_to_port("127.0.0.1", gState.apiPort);
        if (!bound) {
            Log("API port " + std::to_string(gState.apiPort) + " is taken");
            std::this_thread::sleep_for(std::chrono::milliseconds(keepPorts ? 500 : 10));
        }
    }
    bool up = false;
    for (int attempt = 0; attempt < 10 && bound && !up; ++attempt) {
        if (gState.mqttPort == 0 || (!keepPorts && attempt > 0)) {
            gState.mqttPort = FreeLoopbackPort();
        }
        up = gBroker->Start(gState.mqttPort);
        if (!up) {
            Log("broker did not start on port " + std::to_string(gState.mqttPort) + ": " +
                ReadFile(gCloudDir + "/broker/mosquitto.stderr"));
            std::this_thread::sleep_for(std::chrono::milliseconds(keepPorts ? 500 : 10));
        }
    }
    if (!up) {
        Log("error: cannot open the cloud's ports");
        return 1;
    }
    SaveStateNow();
    WriteBoardFiles();

    svr.Post(NOXA_CLOUD_API_PATH, HandleApi);
    RegisterApiRoutes(svr);
    svr.Post("/phone/pair", [&phoneSecret](const httplib::Request& req, httplib::Response& res) {
        if (!FromOwnersPhone(req, phoneSecret)) {
            Refuse(res);
            return;
        }
        std::string tok = Pair();
        res.set_content("{\"token\":\"" + tok + "\",\"expiresIn\":" + std::to_string(kTokenLifetime) + "}",
                        "application/json");
    });
    svr.Post("/phone/cmd", [&phoneSecret](const httplib::Request& req, httplib::Response& res) {
        if (!FromOwnersPhone(req, phoneSecret)) {
            Refuse(res);
            return;
        }
        res.set_content(RunCommand(req.body) + "\n", "text/plain");
    });
    std::thread server([&svr] { svr.listen_after_bind(); });

    StartMqttLink();
    if (!WaitMqttUp(10000)) {
        Log("warning: the simulator's own link to the broker is not up yet");
    }
    SetStoresDir(getenv("CLOUDSIM_NODE_MODULES") != nullptr ? getenv("CLOUDSIM_NODE_MODULES") : CLOUDSIM_NODE_MODULES);
    if (startStores) {
        EnsureStores();
    }
    std::thread fifo(FifoLoop, gRoot + "/.board/cloudsim.cmd");
    std::thread tail([] {
        while (!gStop) {
            HandleBrokerLines();
            // Outside gLock: a publish meanwhile does not wait for the file.
            SaveStateIfChanged();
            {
                std::lock_guard<std::recursive_mutex> lock(gLock);
                if (gBroker->Reap()) {
                    Log("broker ended on its own");
                    for (auto& [id, d] : gState.devices) {
                        SetOnline(&d, false, "broker ended");
                    }
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    if (!gStop) {
        Log("cloud simulator ready: api " + ApiUrl() + " mqtt " + BrokerUrl() + " (broker pid " +
            std::to_string(gBroker->Pid()) + "); root " + gRoot);
    }
    while (!gStop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Log("stopping (signal " + std::to_string(stopSignal.load()) + ")");
    svr.stop();
    server.join();
    fifo.join();
    tail.join();
    StopStreams();
    StopMqttLink();
    StopStores();
    {
        std::lock_guard<std::recursive_mutex> lock(gLock);
        gBroker->Stop();
        for (auto& [id, d] : gState.devices) {
            d.online = false;
        }
        SaveStateNow();
    }
    gBroker.reset();
    mosquitto_lib_cleanup();
    Log("stopped");
    if (gLog != nullptr) {
        fclose(gLog);
    }
    return 0;
}
