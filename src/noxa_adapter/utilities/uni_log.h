// The logger of the cloud-side runtime: one line per call, with a fixed header, handed to the
// registered outputs ("def_output": standard output; "usr_output": the log file stream).
#pragma once

#include <cstdint>
#include <cstdio>

typedef enum {
    LOG_LEVEL_ERR = 0,
    LOG_LEVEL_WARN = 1,
    LOG_LEVEL_NOTICE = 2,
    LOG_LEVEL_INFO = 3,
    LOG_LEVEL_DEBUG = 4,
    LOG_LEVEL_TRACE = 5,
} LOG_LEVEL_E;

// An output that gets the finished line.
typedef void (*LOG_OUTPUT)(const char* str);
// The user output: the line and the stream set with uni_log_set_usr_stream.
typedef void (*LOG_USR_OUTPUT)(const char* str, FILE* stream);

#define LOG_DEF_OUTPUT_NAME "def_output"
#define LOG_USR_OUTPUT_NAME "usr_output"

// Creates the logger with a line buffer of bufSize bytes (at least 3: the line end) and the
// default output. When the logger exists already, only the level is set.
int uni_log_init(uint32_t level, uint32_t bufSize, LOG_OUTPUT defOutput);
int uni_log_add_output(const char* name, LOG_OUTPUT output);
int uni_log_add_usr_output(LOG_USR_OUTPUT output);
int uni_log_del_output(const char* name);
int uni_log_set_level(uint32_t level);
int uni_log_get_level(uint32_t* level);
int uni_log_set_usr_stream(FILE* stream);
int uni_log_set_ms_flag(uint32_t flag);
int uni_log_set_module_level(const char* module, uint32_t level);
int uni_log_update_module_level(const char* module, uint32_t level);
int uni_log_get_module_level(const char* module, uint32_t* level);
int uni_log_del_module(const char* module);

// One line: "[MM-DD hh:mm:ss:ms MODULE Level][file:line] message\r\n". Returns 0, -2, -1002
// (filtered out) or -1003 (formatting failed). The function name is accepted, not printed.
int uni_log_print(const char* module, uint32_t level, const char* file, int line, const char* func,
                  const char* fmt, ...) __attribute__((format(printf, 6, 7)));
// Formatted text to every output, without header, filter or line end.
int uni_log_print_raw(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Frees the logger once the calls of other threads that found it have returned (later calls
// see no logger). Not from an output function.
int uni_log_release(void);

// The default output: the line on standard output.
void uni_log_output(const char* str);
// The user output: the line to the stream, when there is one.
void uni_usr_log_output(const char* str, FILE* stream);

#define UNI_LOG(level, fmt, ...) \
    uni_log_print(nullptr, level, __FILE__, __LINE__, __func__, fmt, ##__VA_ARGS__)
#define PR_ERR(fmt, ...) UNI_LOG(LOG_LEVEL_ERR, fmt, ##__VA_ARGS__)
#define PR_WARN(fmt, ...) UNI_LOG(LOG_LEVEL_WARN, fmt, ##__VA_ARGS__)
#define PR_NOTICE(fmt, ...) UNI_LOG(LOG_LEVEL_NOTICE, fmt, ##__VA_ARGS__)
#define PR_INFO(fmt, ...) UNI_LOG(LOG_LEVEL_INFO, fmt, ##__VA_ARGS__)
#define PR_DEBUG(fmt, ...) UNI_LOG(LOG_LEVEL_DEBUG, fmt, ##__VA_ARGS__)
#define PR_TRACE(fmt, ...) UNI_LOG(LOG_LEVEL_TRACE, fmt, ##__VA_ARGS__)
