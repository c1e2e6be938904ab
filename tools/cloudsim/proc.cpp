#include "proc.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace cloudsim {

namespace {

int OpenAppend(const std::string& file, int nul)
{
    return file.empty() ? nul : open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
}

}  // namespace

pid_t Spawn(const std::vector<std::string>& argv, const std::string& outFile, const std::string& errFile)
{
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(127);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        int nul = open("/dev/null", O_RDWR);
        int out = OpenAppend(outFile, nul);
        int err = errFile == outFile ? out : OpenAppend(errFile, nul);
        dup2(nul, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

bool RunProgram(const std::vector<std::string>& argv)
{
    pid_t pid = Spawn(argv, "", "");
    if (pid < 0) {
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

uint16_t FreeLoopbackPort()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sa);
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0) {
        port = ntohs(sa.sin_port);
    }
    close(fd);
    return port;
}

bool PortOpen(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
    close(fd);
    return ok;
}

}  // namespace cloudsim
