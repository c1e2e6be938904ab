#include "StartUp.h"

#include "AppLog.h"
#include "platform/board_path.h"
#include "platform/shell.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool Blank(const char* line)
{
    return line[std::strspn(line, " \t\r\n")] == '\0';
}

// md5sum reports a listed file that matches as "<name>: OK".
bool EndsWithOk(const char* line)
{
    static const char kOk[] = ": OK";
    const size_t len = std::strlen(line);
    return len >= sizeof(kOk) - 1 && std::strcmp(line + len - (sizeof(kOk) - 1), kOk) == 0;
}

}  // namespace

int CheckApplicationMD5()
{
    FILE* list = BoardFopen("/customer/ApplicantMD5", "r");
    if (list == nullptr) {
        APP_ERR("MD5 Check Fail, ApplicantMD5 no exist");
        return -1;
    }
    // md5sum skips lines it cannot parse and says nothing for an empty list, so every non-empty
    // line of the list has to come back as one "OK".
    char* line = nullptr;
    size_t cap = 0;
    int listed = 0;
    while (getline(&line, &cap, list) != -1) {
        listed += Blank(line) ? 0 : 1;
    }
    std::fclose(list);

    FILE* pipe = BoardPopen("md5sum -c /customer/ApplicantMD5", "r");
    if (pipe == nullptr) {
        std::free(line);
        std::printf("[%s] Fail Application no exist\n", __func__);
        return -1;
    }
    // A file that checks out is the normal case: only the others are worth a line each.
    int ok = 0;
    bool failed = false;
    while (!failed && getline(&line, &cap, pipe) != -1) {
        line[std::strcspn(line, "\r\n")] = '\0';
        if (EndsWithOk(line)) {
            ++ok;
            continue;
        }
        APP_ERR("%s", line);
        failed = std::strstr(line, "FAILED") != nullptr;
    }
    std::free(line);
    // On a "FAILED" line the rest of the output is not read; closing the pipe ends the check.
    const int status = BoardPclose(pipe);
    const bool exitedZero = status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (failed || !exitedZero || listed == 0 || ok != listed) {
        APP_ERR("MD5 Check Fail");
        if (!failed) {
            APP_ERR("%d of %d listed files checked OK, md5sum status %d", ok, listed, status);
        }
        return -1;
    }
    APP_INFO("MD5 Check Success");
    APP_DBG("%d files", ok);
    return 0;
}

int ReadFully(int fd, void* buf, size_t count)
{
    auto* out = static_cast<char*>(buf);
    size_t got = 0;
    while (got < count) {
        const ssize_t n = read(fd, out + got, count - got);
        if (n == 0) {
            break;
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                sleep(1);
                continue;
            }
            return static_cast<int>(n);
        }
        got += static_cast<size_t>(n);
    }
    return static_cast<int>(got);
}
