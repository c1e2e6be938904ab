// The device cloud of one sandbox: tools/cloudsim with its own mosquitto, started for the board
// root and stopped again with nothing left running. The simulator keeps its state in
// "<root>/.board/cloud/" and its ports per root, so Stop() and Start() model a cloud restart the
// unit reconnects across. It writes "<root>/.board/net/hosts" (the cloud's ".test" names on
// 127.0.0.1), "<root>/etc/cloud.conf" (the API URL) and "<root>/.board/cloud/tls/ca.pem".
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class ChildProcess;
namespace httplib {
class SSLClient;
}

class CloudPeer {
public:
    // Starts simulator and broker on the board root; throws std::runtime_error when they do
    // not come up.
    explicit CloudPeer(const std::string& root);
    ~CloudPeer();
    CloudPeer(const CloudPeer&) = delete;
    CloudPeer& operator=(const CloudPeer&) = delete;

    // Ends the simulator and its broker (state stays); Start() brings them back on the same ports.
    void Stop();
    void Start();

    uint16_t ApiPort() const { return mApiPort; }
    uint16_t MqttPort() const { return mMqttPort; }
    std::string ApiUrl() const;  // "https://api.cloudsim.test:PORT/d.json"
    std::string CaPem() const;   // the CA of the servers' certificate (the build's test CA)

    // A command as tools/phone gives it ("dp 101 true", "devices", "broker pause", ...); the
    // answer text, without the last newline. Throws when the simulator does not answer within a
    // minute, saying how it failed. One kept-alive TLS connection carries them (no handshake per
    // command) while it is in use.
    std::string Command(const std::string& line);
    // A pairing token "RRttttttttKKKK"; Token8() of it is what the unit sends.
    std::string Pair();
    static std::string Token8(const std::string& pairing) { return pairing.substr(2, 8); }

    // Makes a further identity known to the cloud (the built-in one and the board's
    // "/DeviceInfo/device.conf" are known already), e.g. one a test put in "device.bin".
    void AddIdentity(const std::string& uuid, const std::string& authKey);

    // The notifications (115, 154, 185) as they arrived, one a line of its "notifications" answer.
    std::vector<std::string> Notifications();
    // The newest notification once there are more than `before`; "" when none came within `limit`.
    std::string NextNotification(size_t before, std::chrono::milliseconds limit);

    // The simulator's log ("<root>/.board/cloudsim.log").
    std::string Log() const;
    int LogCount(const std::string& text) const;
    bool WaitLog(const std::string& text, int n = 1, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // Its state file ("<root>/.board/cloud/state.json").
    std::string StateJson() const;

private:
    std::string mRoot;
    std::unique_ptr<ChildProcess> mProc;
    std::mutex mClientLock;
    std::unique_ptr<httplib::SSLClient> mClient;
    std::chrono::steady_clock::time_point mLastUse;
    uint16_t mApiPort = 0;
    uint16_t mMqttPort = 0;
};
