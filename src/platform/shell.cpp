#include "platform/shell.h"

#include "platform/board_path.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <set>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

// Top folders of the unit's own file system; an absolute path below one of them is the unit's.
const std::set<std::string> kUnitTops = {"DeviceInfo", "customer", "mnt", "etc", "dev", "sys",
                                         "proc", "tmp", "var", "OTABurnStart"};
// Host devices that are harmless to name as they are.
const std::set<std::string> kHostDevices = {"/dev/null", "/dev/zero", "/dev/urandom"};
// Ordinary tools that may be named by their host path; they only act on the paths they are given,
// which are rewritten like every other path.
const std::set<std::string> kHostTools = {"sh",    "md5sum", "echo", "cat",  "rm",   "mkdir", "cp",
                                          "sync",  "sleep",  "ls",   "grep", "sed",  "awk",   "head",
                                          "tail",  "touch",  "mv",   "test", "true", "false", "printf",
                                          "chmod", "wc",     "cut",  "tr",   "df",   "du"};
const char* const kToolDirs[] = {"/bin/", "/usr/bin/", "/sbin/", "/usr/sbin/"};

std::mutex gPopenMutex;
std::map<FILE*, pid_t> gPopenPids;

bool __IsWordEnd(char c)
{
    return c == '\0' || c == ' ' || c == '\t' || c == '\n' || c == '\'' || c == '"' || c == ';' ||
           c == '|' || c == '&' || c == '>' || c == '<' || c == '(' || c == ')' || c == '`' || c == '=';
}

bool __IsWordStart(const std::string& s, size_t i)
{
    if (i == 0) {
        return true;
    }
    return __IsWordEnd(s[i - 1]);
}

// Lexical clean-up of "/a/./b/../c"; false when ".." climbs above the top.
bool __Normalise(const std::string& path, std::string* out)
{
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos) {
            j = path.size();
        }
        std::string part = path.substr(i, j - i);
        if (part == "..") {
            if (parts.empty()) {
                return false;
            }
            parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    std::string res;
    for (const auto& p : parts) {
        res += "/" + p;
    }
    if (res.empty()) {
        res = "/";
    } else if (path.size() > 1 && path.back() == '/') {
        res += "/";
    }
    *out = res;
    return true;
}

bool __StartsWith(const std::string& s, const std::string& prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

bool __IsSimTool(const std::string& name)
{
    if (name.empty() || name.find('/') != std::string::npos) {
        return false;
    }
    std::string p = BoardSimBinDir() + "/" + name;
    return ::access(p.c_str(), X_OK) == 0;
}

// Maps one absolute path word; false with `why` set when it names the host outside the root.
bool __MapAbsolute(const std::string& word, const std::string& root, std::string* out, std::string* why)
{
    std::string norm;
    if (!__Normalise(word, &norm)) {
        *why = "path climbs above the root: " + word;
        return false;
    }
    const std::string simBin = BoardSimBinDir();
    if (kHostDevices.count(norm) != 0) {
        *out = norm;
        return true;
    }
    if (norm == "/") {  // the unit's own root ("cd /")
        *out = root;
        return true;
    }
    if (root != "/" && (norm == root || __StartsWith(norm, root + "/"))) {
        *out = norm;
        return true;
    }
    if (__StartsWith(norm, simBin + "/")) {
        *out = norm;
        return true;
    }
    for (const char* dir : kToolDirs) {
        if (__StartsWith(norm, dir)) {
            std::string tool = norm.substr(std::strlen(dir));
            if (__IsSimTool(tool)) {
                *out = simBin + "/" + tool;
                return true;
            }
            if (kHostTools.count(tool) != 0) {
                *out = norm;
                return true;
            }
            *why = "host tool not allowed: " + word;
            return false;
        }
    }
    size_t slash = norm.find('/', 1);
    std::string top = norm.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    if (kUnitTops.count(top) != 0) {
        *out = (root == "/") ? norm : root + norm;
        return true;
    }
    *why = "path outside the board: " + word;
    return false;
}

std::atomic<int> gUnitPid{0};

std::vector<char*> __MakeEnv(std::vector<std::string>* storage)
{
    const std::string root = BoardRoot();
    const char* oldPath = std::getenv("PATH");
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "PATH=", 5) == 0 || std::strncmp(*e, "DOORPHONE_ROOT=", 15) == 0 ||
            std::strncmp(*e, "DOORPHONE_UNIT_PID=", 19) == 0) {
            continue;
        }
        storage->push_back(*e);
    }
    storage->push_back("PATH=" + BoardSimBinDir() + ":" + (oldPath ? oldPath : "/usr/bin:/bin"));
    storage->push_back("DOORPHONE_ROOT=" + root);
    if (gUnitPid != 0) {
        storage->push_back("DOORPHONE_UNIT_PID=" + std::to_string(gUnitPid.load()));
    }
    std::vector<char*> env;
    for (auto& s : *storage) {
        env.push_back(s.data());
    }
    env.push_back(nullptr);
    return env;
}

void __Log(const std::string& line)
{
    const std::string root = BoardRoot();
    if (root == "/") {
        return;
    }
    std::string dir = root + "/.board";
    ::mkdir(dir.c_str(), 0755);
    FILE* f = std::fopen((dir + "/shell.log").c_str(), "a");
    if (f != nullptr) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

// Starts "sh -c command" in the root folder; `childFd`/`parentFd` wire one end of a pipe.
pid_t __Spawn(const char* command, int pipeEnd, int childFd, std::string* rewrittenOut)
{
    std::string rewritten;
    std::string why;
    if (BoardShellRewrite(command, &rewritten, &why) != 0) {
        std::fprintf(stderr, "\033[31m[BoardSystem] refused \"%s\": %s\n\033[0m", command, why.c_str());
        __Log("refused: " + std::string(command) + " (" + why + ")");
        return -1;
    }
    __Log("run: " + rewritten);
    *rewrittenOut = rewritten;

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    const std::string root = BoardRoot();
    posix_spawn_file_actions_addchdir_np(&fa, root.c_str());
    if (pipeEnd >= 0) {
        posix_spawn_file_actions_adddup2(&fa, pipeEnd, childFd);
    }
    std::vector<std::string> storage;
    std::vector<char*> env = __MakeEnv(&storage);
    std::string sh = "sh";
    std::string dashC = "-c";
    char* argv[] = {sh.data(), dashC.data(), rewritten.data(), nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, "/bin/sh", &fa, nullptr, argv, env.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        std::fprintf(stderr, "\033[31m[BoardSystem] cannot start \"%s\": %s\n\033[0m", command, std::strerror(rc));
        return -1;
    }
    return pid;
}

int __Wait(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return status;
}

}  // namespace

std::string BoardSimBinDir()
{
    const char* env = std::getenv("DOORPHONE_SIM_BIN");
    if (env != nullptr && env[0] != '\0') {
        return env;
    }
    return DOORPHONE_SIM_BIN_DEFAULT;
}

int BoardShellRewrite(const std::string& command, std::string* out, std::string* why)
{
    const std::string root = BoardRoot();
    std::string res;
    bool inSingle = false;
    size_t i = 0;
    while (i < command.size()) {
        char c = command[i];
        if (c == '\'') {
            inSingle = !inSingle;
            res += c;
            ++i;
            continue;
        }
        if (!inSingle) {
            // Expansions could name any host path the runner never sees.
            if (c == '`' || (c == '$' && i + 1 < command.size() &&
                             (std::isalpha(static_cast<unsigned char>(command[i + 1])) ||
                              command[i + 1] == '_' || command[i + 1] == '{' || command[i + 1] == '('))) {
                *why = "shell expansion not allowed";
                return -1;
            }
        }
        if (!__IsWordEnd(c) && __IsWordStart(command, i)) {
            size_t j = i;
            while (j < command.size() && !__IsWordEnd(command[j])) {
                ++j;
            }
            std::string word = command.substr(i, j - i);
            if (word[0] == '~') {
                *why = "home folder not allowed: " + word;
                return -1;
            }
            if (word[0] == '/') {
                std::string mapped;
                if (!__MapAbsolute(word, root, &mapped, why)) {
                    return -1;
                }
                res += mapped;
            } else {
                // A relative path runs from the root folder and must stay below it.
                std::string norm;
                if (word.find("..") != std::string::npos && !__Normalise("/" + word, &norm)) {
                    *why = "path climbs above the root: " + word;
                    return -1;
                }
                res += word;
            }
            i = j;
            continue;
        }
        res += c;
        ++i;
    }
    if (inSingle) {
        *why = "unterminated quote";
        return -1;
    }
    *out = res;
    return 0;
}

void BoardShellSetUnitProcess(int pid)
{
    gUnitPid = pid;
}

int BoardSystem(const char* command)
{
    if (command == nullptr) {
        return -1;
    }
    std::string rewritten;
    pid_t pid = __Spawn(command, -1, -1, &rewritten);
    if (pid < 0) {
        return -1;
    }
    return __Wait(pid);
}

FILE* BoardPopen(const char* command, const char* mode)
{
    if (command == nullptr || mode == nullptr || (mode[0] != 'r' && mode[0] != 'w')) {
        errno = EINVAL;
        return nullptr;
    }
    bool reading = mode[0] == 'r';
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return nullptr;
    }
    int childEnd = reading ? fds[1] : fds[0];
    int parentEnd = reading ? fds[0] : fds[1];
    std::string rewritten;
    pid_t pid = __Spawn(command, childEnd, reading ? STDOUT_FILENO : STDIN_FILENO, &rewritten);
    ::close(childEnd);
    if (pid < 0) {
        ::close(parentEnd);
        return nullptr;
    }
    FILE* f = ::fdopen(parentEnd, reading ? "r" : "w");
    if (f == nullptr) {
        ::close(parentEnd);
        __Wait(pid);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(gPopenMutex);
    gPopenPids[f] = pid;
    return f;
}

int BoardPclose(FILE* stream)
{
    pid_t pid = -1;
    {
        std::lock_guard<std::mutex> lock(gPopenMutex);
        auto it = gPopenPids.find(stream);
        if (it == gPopenPids.end()) {
            errno = ECHILD;
            return -1;
        }
        pid = it->second;
        gPopenPids.erase(it);
    }
    std::fclose(stream);
    return __Wait(pid);
}
