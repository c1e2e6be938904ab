#include "cloud_peer.h"
#include "phone_cli.h"

#include "process.h"
#include "sandbox.h"

#include <httplib.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int Count(const std::string& text, const std::string& what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) {
        ++n;
    }
    return n;
}

const char kReady[] = "cloud simulator ready";
// The simulator answers a command at once; a machine loaded with builds may keep it from running
// for a while, a hung one never answers.
constexpr std::chrono::seconds kAnswerWait(60);
constexpr std::chrono::seconds kIdleReuse(30);

}  // namespace

CloudPeer::CloudPeer(const std::string& root) : mRoot(root)
{
    Start();
}

CloudPeer::~CloudPeer()
{
    Stop();
}

void CloudPeer::Start()
{
    if (mProc) {
        return;
    }
    int before = LogCount(kReady);
    mProc = std::make_unique<ChildProcess>(std::vector<std::string>{
        BinaryDir() + "/tools/cloudsim", "--root", mRoot, "--quiet", "--die-with-parent"});
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (LogCount(kReady) <= before) {
        if (std::chrono::steady_clock::now() >= end || mProc->WaitExit(std::chrono::milliseconds(0)) != -1) {
            std::string why = Log() + mProc->Output();
            mProc.reset();
            throw std::runtime_error("cloud simulator did not start: " + why);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::istringstream ports(ReadAll(mRoot + "/.board/cloud/ports"));
    std::string line;
    while (std::getline(ports, line)) {
        if (line.rfind("api=", 0) == 0) {
            mApiPort = static_cast<uint16_t>(std::stoi(line.substr(4)));
        } else if (line.rfind("mqtt=", 0) == 0) {
            mMqttPort = static_cast<uint16_t>(std::stoi(line.substr(5)));
        }
    }
}

void CloudPeer::Stop()
{
    {
        std::lock_guard<std::mutex> lock(mClientLock);
        mClient.reset();
    }
    if (!mProc) {
        return;
    }
    // SIGTERM: the simulator stops its broker and writes its state before it ends.
    mProc->Kill(SIGTERM);
    if (mProc->WaitExit(std::chrono::seconds(15)) == -1) {
        mProc->Kill(SIGKILL);
        mProc->WaitExit(std::chrono::seconds(5));
    }
    mProc.reset();
}

std::string CloudPeer::ApiUrl() const
{
    return "https://api.cloudsim.test:" + std::to_string(mApiPort) + "/d.json";
}

std::string CloudPeer::CaPem() const
{
    return mRoot + "/.board/cloud/tls/ca.pem";
}

std::string CloudPeer::Command(const std::string& line)
{
    std::lock_guard<std::mutex> lock(mClientLock);
    const auto sent = std::chrono::steady_clock::now();
    // The simulator closes a kept connection idle for 60 s, and over TLS the client still takes
    // it for alive: the request would go into a closed socket (a SIGPIPE, or a failed write).
    // A connection idle for half that long is not reused.
    if (mClient && sent - mLastUse > kIdleReuse) {
        mClient.reset();
    }
    if (!mClient) {
        mClient = std::make_unique<httplib::SSLClient>("127.0.0.1", mApiPort);
        mClient->set_ca_cert_path(CaPem().c_str());
        mClient->enable_server_certificate_verification(true);
        mClient->set_read_timeout(kAnswerWait);
        mClient->set_keep_alive(true);
        mClient->set_tcp_nodelay(true);
        // The owner's phone proves itself with the sandbox's secret, as tools/phone does.
        std::string secret = ReadAll(mRoot + "/.board/cloud/phone.secret");
        while (!secret.empty() && secret.back() == '\n') {
            secret.pop_back();
        }
        mClient->set_bearer_token_auth(secret);
    }
    auto res = mClient->Post("/phone/cmd", line, "text/plain");
    mLastUse = std::chrono::steady_clock::now();
    if (!res || res->status != 200) {
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(mLastUse - sent).count();
        mClient.reset();
        throw std::runtime_error("cloud simulator did not answer: " + line + " (" +
                                 (res ? "status " + std::to_string(res->status) : httplib::to_string(res.error())) +
                                 " after " + std::to_string(waited) + " ms)");
    }
    std::string out = res->body;
    if (!out.empty() && out.back() == '\n') {
        out.pop_back();
    }
    return out;
}

std::string CloudPeer::Pair()
{
    return Command("pair");
}

void CloudPeer::AddIdentity(const std::string& uuid, const std::string& authKey)
{
    std::ofstream(mRoot + "/.board/cloud/identities", std::ios::app) << uuid << " " << authKey << "\n";
}

std::string CloudPeer::Log() const
{
    return ReadAll(mRoot + "/.board/cloudsim.log");
}

int CloudPeer::LogCount(const std::string& text) const
{
    return Count(Log(), text);
}

bool CloudPeer::WaitLog(const std::string& text, int n, std::chrono::milliseconds timeout) const
{
    auto end = std::chrono::steady_clock::now() + timeout;
    while (LogCount(text) < n) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string CloudPeer::StateJson() const
{
    return ReadAll(mRoot + "/.board/cloud/state.json");
}

std::vector<std::string> CloudPeer::Notifications()
{
    return NotificationLines(Command("notifications"));
}

std::string CloudPeer::NextNotification(size_t before, std::chrono::milliseconds limit)
{
    std::string line;
    Eventually(
        [&] {
            const std::vector<std::string> lines = Notifications();
            if (lines.size() > before) {
                line = lines.back();
            }
            return !line.empty();
        },
        limit);
    return line;
}
