#include "platform/shell.h"

#include "platform/board_path.h"

#include <algorithm>
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
// Host tools the unit's commands may run besides the simulated ones: each only reads or writes
// the paths it is given, which are rewritten like every other path. Nothing here runs another
// program (no sh, awk, sed, find, xargs, env) or reaches beyond files (no kill, date, ip).
const std::set<std::string> kAllowedTools = {"echo",  "cat", "cp",   "mv",   "rm",   "mkdir", "rmdir", "sync",
                                             "sleep", "md5sum", "ls", "touch", "test", "true",  "false", "printf",
                                             "pwd",   "cd",  "grep", "head", "tail", "wc",   "cut",   "tr",
                                             "sort",  "chmod", "df", "du"};
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
    if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos) {
        return false;
    }
    std::string p = BoardSimBinDir() + "/" + name;
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(p.c_str(), X_OK) == 0;
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
            if (kAllowedTools.count(tool) != 0) {
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

bool IsPlainWord(const std::string& w)
{
    for (char c : w) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '.' && c != '/' && c != '+' && c != '-') {
            return false;
        }
    }
    return !w.empty();
}

// A command word: a simulated tool, an allowed tool, or a tool of the board's image that stands
// for a simulated one ("/customer/hostapd").
bool CommandWordOk(const std::string& word, const std::string& root, std::string* why)
{
    if (!IsPlainWord(word)) {
        *why = word.find('=') != std::string::npos ? "variable assignment not allowed: " + word
                                                     : "command word must be a plain name: " + word;
        return false;
    }
    if (word.find('/') == std::string::npos) {
        if (__IsSimTool(word) || kAllowedTools.count(word) != 0) {
            return true;
        }
        *why = "command not allowed: " + word;
        return false;
    }
    std::string norm;
    if (!__Normalise(word[0] == '/' ? word : "/" + word, &norm)) {
        *why = "path climbs above the root: " + word;
        return false;
    }
    const std::string name = norm.substr(norm.rfind('/') + 1);
    if (__StartsWith(norm, BoardSimBinDir() + "/") && __IsSimTool(name)) {
        return true;
    }
    for (const char* dir : kToolDirs) {
        if (__StartsWith(norm, dir) && norm.find('/', std::strlen(dir)) == std::string::npos &&
            (__IsSimTool(name) || kAllowedTools.count(name) != 0)) {
            return true;
        }
    }
    std::string mapped;
    std::string ignored;
    if (word[0] != '/' || (__MapAbsolute(word, root, &mapped, &ignored) && root != "/" && __StartsWith(mapped, root + "/"))) {
        if (__IsSimTool(name)) {
            return true;
        }
    }
    *why = "command not allowed: " + word;
    return false;
}

// Every command word of the line (at the start and after ;, |, &&, ||, &, a new line) must be
// allowed; the words are read as the shell would split them.
bool CheckCommandWords(const std::string& cmd, const std::string& root, std::string* why)
{
    const size_t n = cmd.size();
    size_t i = 0;
    bool expectCommand = true;
    bool expectTarget = false;  // the word after a redirection
    std::string pendingCd;      // "cd" waiting for its folder
    auto endCommand = [&]() {
        if (!pendingCd.empty()) {
            *why = "cd needs a folder";
            return false;
        }
        expectCommand = true;
        expectTarget = false;
        return true;
    };
    while (i < n) {
        const char c = cmd[i];
        if (c == ' ' || c == '\t') {
            ++i;
            continue;
        }
        if (c == '\n' || c == ';' || c == '&' || c == '|') {
            if (!endCommand()) {
                return false;
            }
            i += (i + 1 < n && (c == '&' || c == '|') && cmd[i + 1] == c) ? 2 : 1;
            continue;
        }
        if (c == '(' || c == ')') {
            *why = "subshell not allowed";
            return false;
        }
        if (c == '>' || c == '<') {
            ++i;
            while (i < n && (cmd[i] == '>' || cmd[i] == '<' || cmd[i] == '&' || cmd[i] == '|')) {
                ++i;
            }
            expectTarget = true;
            continue;
        }
        // One word, quotes and escapes included.
        const size_t start = i;
        char quote = 0;
        while (i < n) {
            const char d = cmd[i];
            if (quote != 0) {
                if (d == quote) {
                    quote = 0;
                } else if (d == '\\' && quote == '"') {
                    ++i;
                }
            } else if (d == '\'' || d == '"') {
                quote = d;
            } else if (d == '\\') {
                ++i;
            } else if (d == ' ' || d == '\t' || d == '\n' || d == ';' || d == '&' || d == '|' || d == '<' ||
                       d == '>' || d == '(' || d == ')') {
                break;
            }
            ++i;
        }
        const std::string word = cmd.substr(start, std::min(i, n) - start);
        const bool fdNumber = i < n && (cmd[i] == '>' || cmd[i] == '<') &&
                              word.find_first_not_of("0123456789") == std::string::npos;
        if (fdNumber) {
            continue;
        }
        if (expectTarget) {
            expectTarget = false;
            continue;
        }
        if (!pendingCd.empty()) {
            if (word == "-") {
                *why = "cd needs a folder";
                return false;
            }
            pendingCd.clear();
            continue;
        }
        if (expectCommand) {
            if (!CommandWordOk(word, root, why)) {
                return false;
            }
            expectCommand = false;
            if (word == "cd") {
                pendingCd = word;
            }
        }
    }
    return endCommand();
}

std::string HostToolDir(const std::string& root)
{
    return root + "/.board/bin";
}

// The per-sandbox folder of links to the allowed host tools, made once per root.
void MakeHostToolDir(const std::string& root)
{
    static std::mutex mutex;
    static std::string done;
    std::lock_guard<std::mutex> lock(mutex);
    const std::string dir = HostToolDir(root);
    if (done == root && ::access(dir.c_str(), X_OK) == 0) {
        return;
    }
    ::mkdir((root + "/.board").c_str(), 0755);
    ::mkdir(dir.c_str(), 0755);
    for (const auto& tool : kAllowedTools) {
        for (const char* host : {"/usr/bin/", "/bin/"}) {
            const std::string target = host + tool;
            if (::access(target.c_str(), X_OK) == 0) {
                ::symlink(target.c_str(), (dir + "/" + tool).c_str());  // EEXIST: made earlier
                break;
            }
        }
    }
    done = root;
}

std::atomic<int> gUnitPid{0};

std::vector<char*> __MakeEnv(std::vector<std::string>* storage)
{
    const std::string root = BoardRoot();
    // Variables that would take a command or a bare "cd" somewhere else are the board's own.
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "PATH=", 5) == 0 || std::strncmp(*e, "DOORPHONE_ROOT=", 15) == 0 ||
            std::strncmp(*e, "HOME=", 5) == 0 || std::strncmp(*e, "CDPATH=", 7) == 0 ||
            std::strncmp(*e, "ENV=", 4) == 0 || std::strncmp(*e, "BASH_ENV=", 9) == 0 ||
            std::strncmp(*e, "DOORPHONE_UNIT_PID=", 19) == 0) {
            continue;
        }
        storage->push_back(*e);
    }
    // Only the simulated tools and the links to the allowed ones; the simulated tools set their own.
    storage->push_back("PATH=" + BoardSimBinDir() + ":" + HostToolDir(root));
    storage->push_back("HOME=" + root);
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
    MakeHostToolDir(BoardRoot());

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
    if (root == "/") {
        *why = "no board root (DOORPHONE_ROOT): the simulated board runs nothing on the host";
        return -1;
    }
    if (!CheckCommandWords(command, root, why)) {
        return -1;
    }
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
