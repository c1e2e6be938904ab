// tools/phone as the owner's phone runs it, and a shell command's output, for the suites that read
// the local cloud as the phone does.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

// The command's exit status and its output (standard output and error together).
inline std::pair<int, std::string> ShellOutput(const std::string& cmd)
{
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n = 0;
    while (p != nullptr && (n = fread(buf, 1, sizeof(buf), p)) > 0) {
        out.append(buf, n);
    }
    const int rc = p != nullptr ? pclose(p) : -1;
    return {rc, out};
}

// "tools/phone ROOT ARGS" (ARGS as a shell reads them).
inline std::pair<int, std::string> PhoneCli(const std::string& root, const std::string& args)
{
    return ShellOutput(std::string(DOORPHONE_SOURCE_DIR) + "/tools/phone " + root + " " + args);
}

// The lines of a text without their ends.
inline std::vector<std::string> TextLines(const std::string& text)
{
    std::vector<std::string> out;
    for (size_t at = 0, eol; at < text.size(); at = eol + 1) {
        eol = text.find('\n', at);
        eol = eol == std::string::npos ? text.size() : eol;
        out.push_back(text.substr(at, eol - at));
    }
    return out;
}

// The lines of the local cloud's "notifications" answer, one a notification (none: empty).
inline std::vector<std::string> NotificationLines(const std::string& text)
{
    return text == "no notifications" ? std::vector<std::string>{} : TextLines(text);
}
