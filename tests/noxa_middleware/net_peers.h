// Real peers on 127.0.0.1 for the TLS and HTTP suites, started and stopped by the tests: a test
// PKI made with the openssl tool (server certificates signed by the build's test CA, and a
// foreign CA), openssl s_server, nginx with a configuration of its own, and a scripted TCP peer
// for exact bytes. Ports are free ones the kernel hands out, so suites can run in parallel.
#pragma once

#include "process.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace netpeer {

// Names under ".test" resolve to 127.0.0.1 through the socket layer's replaceable lookup.
constexpr const char* kHost = "noxa.test";
void InstallLoopbackResolver();
int LookupCount();

// A port that was free a moment ago.
uint16_t FreePort();
// Open descriptors of this process.
int OpenFdCount();

// A temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return mPath; }
    std::string File(const std::string& name) const { return mPath + "/" + name; }

private:
    std::string mPath;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
// Runs a shell command line; true when it exits 0.
bool RunCmd(const std::string& cmd);

// Keys and certificates made at test time. Server certificates name kHost, "localhost" and
// 127.0.0.1.
class TestPki {
public:
    TestPki();
    // The build made its own test CA (a product CA brings no key to sign with).
    static bool HaveTestCa();
    std::string CaKey() const;
    std::string CaDer() const;
    // Key and certificate signed by the built-in test CA ("rsa" or "ec").
    void Server(const std::string& kind, std::string* cert, std::string* key);
    // A CA of nobody's, its certificate in PEM and DER, and a server certificate it signed.
    std::string ForeignCaPem();
    std::string ForeignCaDer();
    void ForeignServer(std::string* cert, std::string* key);
    const std::string& Dir() const { return mDir.Path(); }

private:
    void MakeKey(const std::string& kind, const std::string& key);
    void Sign(const std::string& key, const std::string& cert, const std::string& caCert, const std::string& caKey,
              const std::string& caForm);
    TempDir mDir;
};

// openssl s_server on a free port with one certificate (none for an empty cert: pre-shared keys
// only); extra arguments choose suites and more.
class SslServer {
public:
    SslServer(const std::string& cert, const std::string& key, const std::vector<std::string>& extra = {});
    uint16_t Port() const { return mPort; }
    // Stops the server and starts a new one on the same port (its session cache and ticket key
    // are new); throws when it does not start.
    void Restart(const std::string& cert, const std::string& key, const std::vector<std::string>& extra = {});
    bool WaitFor(const std::string& text, int ms = 5000) { return mProc->WaitForOutput(text, std::chrono::milliseconds(ms)); }
    std::string Output() { return mProc->Output(); }

private:
    bool Start(const std::string& cert, const std::string& key, const std::vector<std::string>& extra);
    uint16_t mPort = 0;
    std::unique_ptr<ChildProcess> mProc;
};

// nginx in the foreground, one process, everything below its own folder. `server` is the body of
// the server block (locations); listen lines come from the ports. ssl: the https port uses cert
// and key; ciphers (OpenSSL names) when not empty.
struct NginxSite {
    std::string server;
    std::string cert;
    std::string key;
    std::string ciphers;
    std::string extraHttp;  // lines of the http block
};

class Nginx {
public:
    explicit Nginx(const NginxSite& site);
    ~Nginx();
    uint16_t Port() const { return mPort; }
    uint16_t SslPort() const { return mSslPort; }
    // The document root; files written there are served.
    std::string Root() const { return mDir.File("html"); }
    std::string Log(const std::string& name) const { return ReadFile(mDir.File("logs/" + name)); }
    // nginx writes a request's log line after the response has gone: wait until it holds text.
    bool LogHas(const std::string& name, const std::string& text, int ms = 5000) const;
    const std::string& Dir() const { return mDir.Path(); }

private:
    bool Start(const NginxSite& site);
    TempDir mDir;
    uint16_t mPort = 0;
    uint16_t mSslPort = 0;
    std::unique_ptr<ChildProcess> mProc;
};

// A TCP peer on a free port that plays a script on every connection: it reads the request
// header (and a Content-Length body), then runs the steps. A gate step waits until the test
// opens it, so bytes can be made to arrive after the client has read what came before.
class ScriptedPeer {
public:
    struct Step {
        enum Kind { SEND, GATE, SILENT } kind;
        std::string bytes;
    };
    static Step Send(const std::string& bytes) { return {Step::SEND, bytes}; }
    static Step Gate() { return {Step::GATE, {}}; }
    // Sends nothing more and keeps the connection until the client closes it.
    static Step Silent() { return {Step::SILENT, {}}; }

    explicit ScriptedPeer(std::vector<Step> script);
    ~ScriptedPeer();
    uint16_t Port() const { return mPort; }
    void OpenGate();
    // Requests received so far (header and body as they came).
    std::vector<std::string> Requests();
    int Connections() const { return mConnections.load(); }
    // Waits until n connections have been played and closed on this side.
    bool WaitDone(int n, int ms = 5000);

private:
    void Serve();
    void Play(int fd);
    std::vector<Step> mScript;
    int mListen = -1;
    uint16_t mPort = 0;
    std::atomic<bool> mStop{false};
    std::atomic<int> mConnections{0};
    std::mutex mMutex;
    std::condition_variable mCond;
    int mGates = 0;
    int mDone = 0;
    std::vector<std::string> mRequests;
    std::thread mThread;
};

// The cloud-side logger's lines, caught for a test (the store outlives every thread).
class Logs {
public:
    // Catches every line from now on, and forgets those caught before.
    static void Install();
    static void Clear();
    static void Dump();
    static bool Has(const std::string& text);
    static int Count(const std::string& text);
};

}  // namespace netpeer
