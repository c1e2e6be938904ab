#include "net_peers.h"

#include "noxa_adapter/network/uni_network.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "sandbox.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <csignal>
#include <sstream>
#include <stdexcept>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace netpeer {

namespace {

std::atomic<int> s_lookups{0};

int LoopbackResolve(const char* domain, uint32_t* addr)
{
    ++s_lookups;
    size_t len = strlen(domain);
    if (len > 5 && strcmp(domain + len - 5, ".test") == 0) {
        *addr = 0x7F000001;
        return 0;
    }
    return -1;
}

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

bool CanConnect(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = Loopback(port);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
    close(fd);
    return ok;
}

std::string Quote(const std::string& s)
{
    return "'" + s + "'";
}

}  // namespace

void InstallLoopbackResolver()
{
    unw_dns_cache_init();
    unw_set_sys_resolver(LoopbackResolve);
}

int LookupCount()
{
    return s_lookups.load();
}

uint16_t FreePort()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = Loopback(0);
    socklen_t len = sizeof(sa);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        close(fd);
        throw std::runtime_error("no free port");
    }
    close(fd);
    return ntohs(sa.sin_port);
}

int OpenFdCount()
{
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)e;
        ++n;
    }
    return n - 1;  // the iterator's own descriptor
}

TempDir::TempDir()
{
    char tmpl[] = "/tmp/doorphone-net-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    mPath = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(mPath, ec);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& content)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool RunCmd(const std::string& cmd)
{
    int rc = std::system((cmd + " > /dev/null 2>&1").c_str());
    return rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
}

TestPki::TestPki() = default;

bool TestPki::HaveTestCa()
{
    return std::filesystem::exists(BinaryDir() + "/res/tls/test_ca.key");
}

std::string TestPki::CaKey() const
{
    return BinaryDir() + "/res/tls/test_ca.key";
}

std::string TestPki::CaDer() const
{
    return BinaryDir() + "/res/tls/test_ca.der";
}

void TestPki::MakeKey(const std::string& kind, const std::string& key)
{
    std::string cmd = kind == "ec" ? "openssl ecparam -name prime256v1 -genkey -noout -out " + Quote(key)
                                   : "openssl genrsa -out " + Quote(key) + " 2048";
    if (!RunCmd(cmd)) {
        throw std::runtime_error("key generation failed: " + cmd);
    }
}

void TestPki::Sign(const std::string& key, const std::string& cert, const std::string& caCert,
                   const std::string& caKey, const std::string& caForm)
{
    std::string ext = mDir.File("server.ext");
    WriteFile(ext, std::string("basicConstraints=CA:FALSE\nsubjectAltName=DNS:") + kHost +
                       ",DNS:localhost,IP:127.0.0.1\n");
    std::string csr = cert + ".csr";
    std::string cmd = "openssl req -new -key " + Quote(key) + " -subj /CN=" + kHost + " -out " + Quote(csr) +
                      " && openssl x509 -req -sha256 -days 2 -in " + Quote(csr) + " -CA " + Quote(caCert) +
                      " -CAform " + caForm + " -CAkey " + Quote(caKey) + " -set_serial " +
                      std::to_string(rand() % 100000 + 1) + " -extfile " + Quote(ext) + " -out " + Quote(cert);
    if (!RunCmd(cmd)) {
        throw std::runtime_error("signing failed: " + cmd);
    }
}

void TestPki::Server(const std::string& kind, std::string* cert, std::string* key)
{
    *key = mDir.File(kind + "_server.key");
    *cert = mDir.File(kind + "_server.pem");
    if (!std::filesystem::exists(*cert)) {
        MakeKey(kind, *key);
        Sign(*key, *cert, CaDer(), CaKey(), "DER");
    }
}

std::string TestPki::ForeignCaPem()
{
    std::string pem = mDir.File("foreign_ca.pem");
    if (!std::filesystem::exists(pem)) {
        std::string key = mDir.File("foreign_ca.key");
        MakeKey("ec", key);
        std::string cmd = "openssl req -x509 -sha256 -days 2 -key " + Quote(key) +
                          " -subj '/CN=Foreign Test CA' -addext basicConstraints=critical,CA:TRUE"
                          " -addext keyUsage=critical,keyCertSign -out " + Quote(pem);
        if (!RunCmd(cmd)) {
            throw std::runtime_error("foreign CA failed");
        }
    }
    return pem;
}

std::string TestPki::ForeignCaDer()
{
    std::string der = mDir.File("foreign_ca.der");
    if (!std::filesystem::exists(der) &&
        !RunCmd("openssl x509 -in " + Quote(ForeignCaPem()) + " -outform DER -out " + Quote(der))) {
        throw std::runtime_error("foreign CA to DER failed");
    }
    return der;
}

void TestPki::ForeignServer(std::string* cert, std::string* key)
{
    *key = mDir.File("foreign_server.key");
    *cert = mDir.File("foreign_server.pem");
    if (!std::filesystem::exists(*cert)) {
        MakeKey("ec", *key);
        Sign(*key, *cert, ForeignCaPem(), mDir.File("foreign_ca.key"), "PEM");
    }
}

SslServer::SslServer(const std::string& cert, const std::string& key, const std::vector<std::string>& extra)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        mPort = FreePort();
        if (Start(cert, key, extra)) {
            return;
        }
    }
    throw std::runtime_error("s_server did not start: " + mProc->Output());
}

bool SslServer::Start(const std::string& cert, const std::string& key, const std::vector<std::string>& extra)
{
    std::vector<std::string> argv = {"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(mPort)};
    if (cert.empty()) {
        argv.push_back("-nocert");
    } else {
        argv.insert(argv.end(), {"-cert", cert, "-key", key});
    }
    argv.insert(argv.end(), extra.begin(), extra.end());
    mProc = std::make_unique<ChildProcess>(argv);
    return mProc->WaitForOutput("ACCEPT", std::chrono::milliseconds(5000));
}

void SslServer::Restart(const std::string& cert, const std::string& key, const std::vector<std::string>& extra)
{
    mProc.reset();
    // The old listener's port may take a moment to be free again.
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (Start(cert, key, extra)) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    throw std::runtime_error("s_server did not start again: " + mProc->Output());
}

Nginx::Nginx(const NginxSite& site)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (Start(site)) {
            return;
        }
    }
    throw std::runtime_error("nginx did not start: " + Log("error.log") + (mProc ? mProc->Output() : ""));
}

Nginx::~Nginx()
{
    if (mProc) {
        mProc->Kill(SIGQUIT);
        if (mProc->WaitExit(std::chrono::milliseconds(5000)) == -1) {
            mProc->Kill(SIGKILL);
        }
    }
}

bool Nginx::LogHas(const std::string& name, const std::string& text, int ms) const
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (Log(name).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool Nginx::Start(const NginxSite& site)
{
    mProc.reset();
    mPort = FreePort();
    mSslPort = site.cert.empty() ? 0 : FreePort();
    const std::string d = mDir.Path();
    std::filesystem::create_directories(d + "/logs");
    std::filesystem::create_directories(d + "/tmp");
    std::filesystem::create_directories(Root());
    std::ostringstream conf;
    conf << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
         << "error_log " << d << "/logs/error.log info;\npid " << d << "/logs/nginx.pid;\n"
         << "events { worker_connections 64; }\n"
         << "http {\n  access_log " << d << "/logs/access.log;\n";
    for (const char* t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
        conf << "  " << t << "_temp_path " << d << "/tmp/" << t << ";\n";
    }
    conf << "  default_type application/octet-stream;\n" << site.extraHttp << "\n  server {\n"
         << "    listen 127.0.0.1:" << mPort << ";\n";
    if (mSslPort != 0) {
        conf << "    listen 127.0.0.1:" << mSslPort << " ssl;\n    ssl_certificate " << site.cert
             << ";\n    ssl_certificate_key " << site.key << ";\n    ssl_protocols TLSv1.2;\n";
        if (!site.ciphers.empty()) {
            conf << "    ssl_ciphers " << site.ciphers << ";\n";
        }
    }
    conf << "    root " << Root() << ";\n" << site.server << "\n  }\n}\n";
    WriteFile(d + "/nginx.conf", conf.str());
    mProc = std::make_unique<ChildProcess>(std::vector<std::string>{"nginx", "-p", d, "-c", d + "/nginx.conf"});
    for (int i = 0; i < 250; ++i) {
        if (CanConnect(mPort) && (mSslPort == 0 || CanConnect(mSslPort))) {
            return true;
        }
        if (mProc->WaitExit(std::chrono::milliseconds(20)) != -1) {
            return false;  // it gave up, most likely on a port taken meanwhile
        }
    }
    return false;
}

ScriptedPeer::ScriptedPeer(std::vector<Step> script) : mScript(std::move(script))
{
    mListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = Loopback(0);
    socklen_t len = sizeof(sa);
    if (bind(mListen, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || listen(mListen, 4) != 0 ||
        getsockname(mListen, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        throw std::runtime_error("scripted peer: no listener");
    }
    mPort = ntohs(sa.sin_port);
    mThread = std::thread([this] { Serve(); });
}

ScriptedPeer::~ScriptedPeer()
{
    mStop = true;
    shutdown(mListen, SHUT_RDWR);
    mCond.notify_all();
    mThread.join();
    close(mListen);
}

void ScriptedPeer::OpenGate()
{
    std::lock_guard<std::mutex> lock(mMutex);
    ++mGates;
    mCond.notify_all();
}

bool ScriptedPeer::WaitDone(int n, int ms)
{
    std::unique_lock<std::mutex> lock(mMutex);
    return mCond.wait_for(lock, std::chrono::milliseconds(ms), [this, n] { return mDone >= n; });
}

std::vector<std::string> ScriptedPeer::Requests()
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mRequests;
}

void ScriptedPeer::Serve()
{
    while (!mStop) {
        int fd = accept4(mListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        ++mConnections;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        Play(fd);
        close(fd);
        std::lock_guard<std::mutex> lock(mMutex);
        ++mDone;
        mCond.notify_all();
    }
}

void ScriptedPeer::Play(int fd)
{
    // The request: its header, then as many body bytes as it announces.
    // A chunked body ends with the zero-size chunk.
    std::string req;
    char buf[4096];
    size_t need = std::string::npos;
    bool chunked = false;
    auto complete = [&] {
        if (need == std::string::npos) {
            return false;
        }
        if (chunked) {
            return req.size() >= need + 5 && req.compare(req.size() - 5, 5, "0\r\n\r\n") == 0;
        }
        return req.size() >= need;
    };
    while (!complete()) {
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            break;
        }
        req.append(buf, static_cast<size_t>(n));
        size_t end = req.find("\r\n\r\n");
        if (need == std::string::npos && end != std::string::npos) {
            need = end + 4;
            std::string lower = req.substr(0, end);
            for (char& c : lower) {
                c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            }
            size_t cl = lower.find("\r\ncontent-length:");
            if (cl != std::string::npos) {
                need += std::strtoul(lower.c_str() + cl + 17, nullptr, 10);
            }
            chunked = lower.find("\r\ntransfer-encoding: chunked") != std::string::npos;
        }
    }
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mRequests.push_back(req);
    }
    for (const Step& step : mScript) {
        if (step.kind == Step::SEND) {
            if (send(fd, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL) < 0) {
                return;
            }
        } else if (step.kind == Step::GATE) {
            std::unique_lock<std::mutex> lock(mMutex);
            mCond.wait(lock, [this] { return mGates > 0 || mStop; });
            if (mStop) {
                return;
            }
            --mGates;
        } else {
            // Silent: wait for the client to go, or for the end of the test.
            pollfd p{fd, POLLIN, 0};
            while (!mStop) {
                if (poll(&p, 1, 50) > 0 && recv(fd, buf, sizeof(buf), 0) <= 0) {
                    return;
                }
            }
            return;
        }
    }
}

namespace {

struct LogStore {
    std::mutex mutex;
    std::vector<std::string> lines;
};

LogStore& Store()
{
    static auto* s = new LogStore;
    return *s;
}

void CaptureLine(const char* line)
{
    LogStore& s = Store();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.lines.emplace_back(line);
}

}  // namespace

void Logs::Install()
{
    uni_log_init(LOG_LEVEL_TRACE, 8192, CaptureLine);
    Clear();
}

void Logs::Clear()
{
    LogStore& s = Store();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.lines.clear();
}

void Logs::Dump()
{
    LogStore& s = Store();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (const auto& l : s.lines) {
        fputs(l.c_str(), stdout);
    }
}

bool Logs::Has(const std::string& text)
{
    return Count(text) > 0;
}

int Logs::Count(const std::string& text)
{
    LogStore& s = Store();
    std::lock_guard<std::mutex> lock(s.mutex);
    int n = 0;
    for (const auto& l : s.lines) {
        if (l.find(text) != std::string::npos) {
            ++n;
        }
    }
    return n;
}

}  // namespace netpeer
