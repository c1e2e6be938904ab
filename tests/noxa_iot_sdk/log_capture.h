// The lines of the cloud-side logger, caught for a test. Threads of the runtime log until the
// process is gone, so the store is never destroyed.
#pragma once

#include <chrono>
#include <thread>

#include "noxa_adapter/utilities/uni_log.h"

#include <mutex>
#include <string>
#include <vector>

class LogCapture {
public:
    // Makes the capture the logger's output; a later uni_log_init only sets the level.
    static int Install() { return uni_log_init(LOG_LEVEL_DEBUG, 1024, Output); }

    // Index of the first line holding `text`, -1 when none.
    static int LineOf(const std::string& text)
    {
        Store& s = Get();
        std::lock_guard<std::mutex> lock(s.mutex);
        for (size_t i = 0; i < s.lines.size(); ++i) {
            if (s.lines[i].find(text) != std::string::npos) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }
    static bool Logged(const std::string& text) { return LineOf(text) >= 0; }
    // Lines holding `text`.
    static int Count(const std::string& text)
    {
        Store& s = Get();
        std::lock_guard<std::mutex> lock(s.mutex);
        int n = 0;
        for (const auto& l : s.lines) {
            n += l.find(text) != std::string::npos ? 1 : 0;
        }
        return n;
    }
    // For lines written on another thread (the work queue runs on a pool): waits up to 2 s.
    static bool LoggedSoon(const std::string& text)
    {
        for (int i = 0; i < 200 && !Logged(text); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return Logged(text);
    }
    // Every line so far, one per line (for a failure's message).
    static std::string All()
    {
        Store& s = Get();
        std::lock_guard<std::mutex> lock(s.mutex);
        std::string out;
        for (const auto& l : s.lines) {
            out += l;
            if (out.empty() || out.back() != '\n') {
                out += '\n';
            }
        }
        return out;
    }

private:
    struct Store {
        std::mutex mutex;
        std::vector<std::string> lines;
    };
    static Store& Get()
    {
        static Store* s = new Store;
        return *s;
    }
    static void Output(const char* line)
    {
        Store& s = Get();
        std::lock_guard<std::mutex> lock(s.mutex);
        s.lines.emplace_back(line);
    }
};
