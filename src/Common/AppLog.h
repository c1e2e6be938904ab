// The application's log lines: a coloured tag with the function's name, the message, a reset.
#pragma once

#define APP_LOG_RED "\033[31m"
#define APP_LOG_GREEN "\033[32m"
#define APP_LOG_BLUE "\033[34m"

// Prints "<colour>[func] message\n\033[0m" to standard output as one write, so lines of
// different threads never interleave.
void AppLogPrint(const char* colour, const char* func, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// Errors in red, notices in green, traces in blue.
#define APP_ERR(fmt, ...) AppLogPrint(APP_LOG_RED, __func__, fmt, ##__VA_ARGS__)
#define APP_INFO(fmt, ...) AppLogPrint(APP_LOG_GREEN, __func__, fmt, ##__VA_ARGS__)
#define APP_DBG(fmt, ...) AppLogPrint(APP_LOG_BLUE, __func__, fmt, ##__VA_ARGS__)
