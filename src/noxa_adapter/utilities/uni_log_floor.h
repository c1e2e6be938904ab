// A thread's floor for the logger's lines (uni_log.cpp).
#pragma once

#include <cstdint>

// Lines of the calling thread more important than `level` are logged at `level` (LOG_LEVEL_ERR:
// as they are), for a caller that repeats a failing call and has said so once. The floor before.
uint32_t uni_log_set_thread_floor(uint32_t level);

// The floor for a scope.
class UniLogFloor {
public:
    explicit UniLogFloor(uint32_t level) : mBefore(uni_log_set_thread_floor(level)) {}
    ~UniLogFloor() { uni_log_set_thread_floor(mBefore); }
    UniLogFloor(const UniLogFloor&) = delete;
    UniLogFloor& operator=(const UniLogFloor&) = delete;

private:
    uint32_t mBefore;
};
