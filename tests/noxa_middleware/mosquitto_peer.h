// A mosquitto broker of the test's own on 127.0.0.1 (never the system service): configuration,
// password file and log in a temporary folder, listeners on ports the kernel handed out a moment
// before (a port taken meanwhile by a parallel test makes it try new ones). The test pauses it
// with SIGSTOP and restarts it by its own process id. Used by the MQTT client's tests and its
// benchmark, so it needs nothing but the C++ library and POSIX.
#pragma once

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <pwd.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace mqttpeer {

// A port of 127.0.0.1 that was free when asked (bind to port 0, read it back).
inline uint16_t FreeLoopbackPort()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sa);
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 &&
              getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0;
    close(fd);
    if (!ok) {
        throw std::runtime_error("no free port");
    }
    return ntohs(sa.sin_port);
}

inline std::string ReadWhole(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class Mosquitto {
public:
    struct Config {
        bool password = false;  // a second listener that wants user and password
        std::string user = "door";
        std::string pass = "secret";
        std::string tlsCert;  // a third listener with TLS when set (PEM certificate and key)
        std::string tlsKey;
    };

    explicit Mosquitto(Config cfg) : mCfg(std::move(cfg))
    {
        char tmpl[] = "/tmp/doorphone-mosq-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        mDir = tmpl;
        if (mCfg.password) {
            std::string cmd = "mosquitto_passwd -b -c '" + File("passwd") + "' '" + mCfg.user + "' '" + mCfg.pass +
                              "' > /dev/null 2>&1";
            if (std::system(cmd.c_str()) != 0) {
                throw std::runtime_error("mosquitto_passwd failed");
            }
        }
        for (int attempt = 0; attempt < 10; ++attempt) {
            mPort = FreeLoopbackPort();
            mAuthPort = mCfg.password ? FreeLoopbackPort() : 0;
            mTlsPort = !mCfg.tlsCert.empty() ? FreeLoopbackPort() : 0;
            if (Start()) {
                return;
            }
        }
        throw std::runtime_error("mosquitto did not start: " + Log());
    }

    ~Mosquitto()
    {
        Stop();
        std::error_code ec;
        std::filesystem::remove_all(mDir, ec);
    }

    Mosquitto(const Mosquitto&) = delete;
    Mosquitto& operator=(const Mosquitto&) = delete;

    uint16_t Port() const { return mPort; }
    uint16_t AuthPort() const { return mAuthPort; }
    uint16_t TlsPort() const { return mTlsPort; }
    pid_t Pid() const { return mPid; }
    std::string Log() const { return ReadWhole(File("mosquitto.log")); }
    int LogCount(const std::string& text) const
    {
        std::string log = Log();
        int n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size())) {
            ++n;
        }
        return n;
    }
    // Waits until the log holds text at least n times (the broker writes it after the fact).
    bool WaitLog(const std::string& text, int n = 1, int ms = 10000) const
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (LogCount(text) < n) {
            if (std::chrono::steady_clock::now() >= end) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    void Pause() { kill(mPid, SIGSTOP); }
    void Resume() { kill(mPid, SIGCONT); }

    void Stop()
    {
        if (mPid <= 0) {
            return;
        }
        kill(mPid, SIGCONT);
        kill(mPid, SIGTERM);
        int status = 0;
        waitpid(mPid, &status, 0);
        mPid = -1;
    }

    // Starts (again) on the same ports; false when it did not come up within 10 s.
    bool Start()
    {
        WriteConfig();
        std::string conf = File("mosquitto.conf");
        std::vector<std::string> argStore = {"mosquitto", "-c", conf};
        std::vector<char*> args;
        for (auto& a : argStore) {
            args.push_back(a.data());
        }
        args.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, File("stderr.log").c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0644);
        int rc = posix_spawnp(&mPid, args[0], &fa, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) {
            mPid = -1;
            throw std::runtime_error("mosquitto could not be run");
        }
        // Each start writes its line once the listeners are open.
        int starts = ++mStarts;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < end) {
            if (LogCount(" running") >= starts) {
                return true;
            }
            int status = 0;
            if (waitpid(mPid, &status, WNOHANG) == mPid) {
                mPid = -1;
                --mStarts;
                return false;  // a port was taken: the caller tries others
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        Stop();
        --mStarts;
        return false;
    }

private:
    std::string File(const std::string& name) const { return mDir + "/" + name; }

    void WriteConfig() const
    {
        std::ofstream out(File("mosquitto.conf"), std::ios::trunc);
        // Run as whoever runs the test: a root broker would switch to the "mosquitto" user,
        // which may not read this folder.
        if (const passwd* pw = getpwuid(geteuid())) {
            out << "user " << pw->pw_name << "\n";
        }
        out << "per_listener_settings true\n"
               "persistence false\n"
               "log_dest file "
            << File("mosquitto.log")
            << "\n"
               "log_type error\nlog_type warning\nlog_type notice\nlog_type information\n"
               "log_timestamp false\n"
               "connection_messages true\n"
               // Loopback figures without Nagle's delay on the broker's side.
               "set_tcp_nodelay true\n";
        out << "listener " << mPort << " 127.0.0.1\nallow_anonymous true\n";
        if (mCfg.password) {
            out << "listener " << mAuthPort << " 127.0.0.1\nallow_anonymous false\npassword_file " << File("passwd")
                << "\n";
        }
        if (!mCfg.tlsCert.empty()) {
            out << "listener " << mTlsPort << " 127.0.0.1\nallow_anonymous true\ncertfile " << mCfg.tlsCert
                << "\nkeyfile " << mCfg.tlsKey << "\n";
        }
    }

    Config mCfg;
    std::string mDir;
    uint16_t mPort = 0;
    uint16_t mAuthPort = 0;
    uint16_t mTlsPort = 0;
    pid_t mPid = -1;
    int mStarts = 0;
};

}  // namespace mqttpeer
