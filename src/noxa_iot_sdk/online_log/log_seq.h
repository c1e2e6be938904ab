// Log sequences: a named ring of the last 10 steps of one job (a notification, an upload), kept
// quietly until the job fails. An error entry freezes the ring and runs the sequence's error
// callback, which renders the frozen ring as one text for the online-log service.
#pragma once

#include <cstdint>

#define LOG_SEQ_NAME_LEN 15
#define LOG_SEQ_ENTRY_NUM 10
#define LOG_SEQ_VALUE_LEN 16
// The rendered text, its NUL included.
#define LOG_SEQ_STR_MAX 242

enum {
    LOG_SEQ_FROZEN = -1200,      // an error entry came in; inserts wait for a clear
    LOG_SEQ_NOT_FROZEN = -1201,  // nothing to render yet
};

typedef enum {
    LOG_SEQ_INT = 0,   // int32, shown in decimal
    LOG_SEQ_UINT = 1,  // uint32, shown in decimal
    LOG_SEQ_STR = 2,   // up to 16 characters
} LOG_SEQ_VALUE_TP_E;

// One step: a tag the caller numbers, the value's type and the value.
typedef struct {
    uint8_t seq;
    uint8_t type;  // LOG_SEQ_VALUE_TP_E
    uint8_t len;   // bytes of value in use
    uint8_t value[LOG_SEQ_VALUE_LEN];
} LOG_SEQ_ENTRY_S;

struct LOG_SEQ_S;
typedef LOG_SEQ_S* LOG_SEQ_HANDLE;
// Runs on the thread that inserted the error entry, with the sequence unlocked.
typedef void (*LOG_SEQ_ERR_CB)(LOG_SEQ_HANDLE seq);

LOG_SEQ_ENTRY_S log_seq_int(uint8_t seq, int32_t value);
LOG_SEQ_ENTRY_S log_seq_uint(uint8_t seq, uint32_t value);
// Longer texts are cut to 16 characters.
LOG_SEQ_ENTRY_S log_seq_str(uint8_t seq, const char* text);

// -2 for a NULL handle pointer, an empty name or one above 15 characters; -3 without memory.
int create_log_seq(const char* name, LOG_SEQ_ERR_CB errCb, LOG_SEQ_HANDLE* seq);
// The eleventh entry overwrites the oldest; an entry with the tag and type of the newest one
// replaces it in place. -1200 once frozen.
int insert_log_seq(LOG_SEQ_HANDLE seq, const LOG_SEQ_ENTRY_S* entry);
// Inserts, freezes and runs the error callback once; -1200 (and no callback) when already frozen.
int insert_error_log_seq(LOG_SEQ_HANDLE seq, const LOG_SEQ_ENTRY_S* entry);
// Empties the ring and lifts the freeze.
int clear_log_seq(LOG_SEQ_HANDLE seq);
int release_log_seq(LOG_SEQ_HANDLE seq);
// "<name> <tag>:<value> ..." oldest first, in a Malloc'd text of at most 242 bytes with its NUL,
// which the receiver frees with Free. -1201 when the sequence is not frozen.
int make_log_seq_string(LOG_SEQ_HANDLE seq, char** text);
