// The MQTT client of the cloud links: one long-lived broker connection per handle, kept by one
// task thread that resolves the broker, connects (TCP or TLS), sends CONNECT and SUBSCRIBE, then
// receives and dispatches packets. The link is kept alive with PINGREQ from a timer message on
// the common worker "cmmod" (42 s for the answer), QoS 1 publishes wait for their PUBACK in 8
// slots, and every failure closes the link and retries after a randomised back-off.
//
// Before create_mqtt_hand: the logger, the DNS cache, cmmod_init (system timer and worker) and,
// for TLS, noxa_tls_init. Every time-out reads the runtime's monotonic clock (uni_get_tick_ms),
// so a UniTestClock moves keepalive, response, ack and back-off times alike.
//
// Ownership: the caller owns the handle from create_mqtt_hand to delete_mqtt_hand. The task
// never frees it on its own (except when delete_mqtt_hand is called on the task thread itself,
// from one of its callbacks); mqtt_client_quit and delete_mqtt_hand wait until the task has ended.
//
// Callbacks: the receive, connected, connect_denied, permit and update_auth callbacks run on the
// task thread without the client's locks; disconnected runs on the task thread with the state
// lock held, every MQ_PUB_CB with the publish-ack lock held (on the task thread for a PUBACK or a
// reset, on the "sys_timer" thread for a time-out). The locks are not recursive: these two must
// not call back into the same handle (state, QoS 1 publish, quit, delete).
#pragma once

#include <cstdint>

// Given at creation; the first three are required, the password may be null.
typedef struct {
    const char* subcribe_topic;
    const char* client_id;
    const char* user_name;
    const char* passwd;
} MQ_CLIENT_INFO_S;

// A received PUBLISH payload on the subscribed (or extra) topic, NUL-terminated for the call.
typedef void (*MQ_RECV_CB)(uint8_t* data, uint32_t len);

typedef void (*MQ_CONNED_CB)(void);
typedef void (*MQ_DISCONN_CB)(void);
// The running number of refused CONNECTs (cleared by an accepted one).
typedef void (*MQ_CONN_DENY_CB)(uint8_t deny_times);
// 1 go on, 0 back off, -1 wait a second.
typedef int (*MQ_PERMIT_CONN_CB)(void);
// Called before each CONNECT; may call mqtt_update_auth.
typedef void (*MQ_UPDATE_AUTH_CB)(void);

typedef struct {
    MQ_CONNED_CB conn_cb;
    MQ_DISCONN_CB disconn_cb;
    MQ_CONN_DENY_CB conn_deny_cb;
    MQ_PERMIT_CONN_CB permit_conn_cb;
    MQ_UPDATE_AUTH_CB update_auth_cb;
} MQ_CALLBACKS_S;

// QoS 1 completion: 0 on PUBACK, MQ_PUB_TIMEOUT_ERR on time-out, link reset or delete.
typedef void (*MQ_PUB_CB)(int op_ret, void* prv_data);

typedef enum {
    MQ_GET_SERVER_IP = 0,
    MQ_SOCK_CONN = 1,
    MQ_MQTT_CONN = 2,
    MQ_MQTT_CONN_VERIFY = 3,
    MQ_SUB = 4,
    MQ_SUB_VERIFY = 6,
    MQ_CONN_SUCCESS = 7,
    MQ_EXIT = 8,
    MQ_EXIT_FINISH = 9,
} MQ_STAT_E;

#define MQ_PUB_TIMEOUT_ERR (-926)
// Task steps: socket creation, socket options, TCP connect.
#define MQ_SOCK_CREATE_ERR (-701)
#define MQ_SOCK_OPT_ERR (-702)
#define MQ_SOCK_CONN_ERR (-703)

#define MQ_DEF_KEEPALIVE_S 60
#define MQ_RESP_TIMEOUT_MS 42000
#define MQ_PUB_SLOT_NUM 8
#define MQ_DEF_PUB_TIMEOUT_S 15
#define MQ_RECV_BUF_LEN 512
#define MQ_MAX_PACKET_LEN 16384

struct MQ_CNTL_S;
typedef MQ_CNTL_S* MQ_HANDLE;

// -2 "Input in invalid" for a null host array, host count 0, null info or a null one of its first
// three fields, a null host or receive callback; -3 "malloc fail"; a mutex, timer-message or
// timer code (-2 when cmmod is not running). keepalive 0 means 60 s.
int create_mqtt_hand(const char* const* hosts, uint8_t host_num, uint16_t port, uint8_t enable_tls,
                     const MQ_CLIENT_INFO_S* info, uint16_t keepalive, MQ_RECV_CB recv_cb, MQ_HANDLE* handle);
// Any callback may be null (never called). -2 for a null handle.
int mqtt_register_cb(MQ_HANDLE handle, MQ_CONNED_CB conn_cb, MQ_DISCONN_CB disconn_cb,
                     MQ_CONN_DENY_CB conn_deny_cb, MQ_PERMIT_CONN_CB permit_conn_cb,
                     MQ_UPDATE_AUTH_CB update_auth_cb);
// New credentials for the next CONNECT (empty or null texts keep the old ones). -2 for null.
int mqtt_update_auth(MQ_HANDLE handle, const char* user_name, const char* passwd);
// Starts the task thread (name: its first 10 characters). -2 null handle, -1 when a task was
// started before, else the code of CreateAndStart.
int mqtt_client_start(MQ_HANDLE handle, const char* thrd_name);
// 1 while online (subscribed); 0 otherwise or for null.
int mqtt_get_conn_stat(MQ_HANDLE handle);
// QoS 0 or 1 PUBLISH. -2 null handle, topic or data, length 0 or QoS above 1. QoS 0: 0 or -1.
// QoS 1 with a callback: a slot is reserved before the packet goes out (-1 "can't find  free
// mqmde" when all 8 wait), and the callback gets 0 on PUBACK or -926 after to_lmt seconds (0:
// 15 s); a send failure frees the slot and returns the codec's code without calling back.
// From any thread but the task's, a publish that follows the previous one sooner than a send
// takes joins a 4 KiB queue that the task thread writes (in order, many packets a send); a lone
// one, a full queue or a packet larger than it is written by the caller itself. 0 for a queued
// one means queued: a write that fails later closes the link, so that QoS 1 publishes waiting
// in it get -926.
int mqtt_publish_async(MQ_HANDLE handle, const char* topic, uint8_t qos, const uint8_t* data, uint32_t len,
                       uint32_t to_lmt, MQ_PUB_CB cb, void* prv_data);
// Sends DISCONNECT when the link is open, clears the online flag (no disconnected callback for
// it), waits 500 ms. 0; -1 when the DISCONNECT could not be sent; -2 for null.
int mq_disconnect(MQ_HANDLE handle);
// Ends the task: closes the link and returns when the task has ended (at once when called on the
// task thread). The handle stays valid until delete_mqtt_hand. 0; -2 for null.
int mqtt_client_quit(MQ_HANDLE handle);
// The socket descriptor, -1 when closed or for null.
int mqtt_get_socket_fd(MQ_HANDLE handle);
// UNSUBSCRIBE of the subscribe topic, then SUBSCRIBE of `topic` (the stored topic stays).
// 0 when the SUBSCRIBE went out, else -1; -2 for null.
int mqtt_book_wakeup_topic(MQ_HANDLE handle, const char* topic);
// Keeps a copy as the extra topic (only while that slot is empty) and subscribes it now; it is
// subscribed again at every connect. 0 when stored and sent, else -1.
int mqtt_book_additional_topic(MQ_HANDLE handle, const char* topic);
// Messages of topics other than the subscribe and extra topic are dropped unless this says 1
// for them (topic bytes without a NUL, and their length); it runs on the task thread.
typedef int (*MQ_TOPIC_ACCEPT_CB)(const char* topic, uint32_t len);
// Null takes it away. -2 for a null handle.
int mqtt_set_topic_accept_cb(MQ_HANDLE handle, MQ_TOPIC_ACCEPT_CB cb);
// One SUBSCRIBE of `topic` now (not kept: the caller subscribes again after a reconnect). 0 when
// it went out, else -1; -2 for null.
int mqtt_subscribe_topic(MQ_HANDLE handle, const char* topic);
// Keeps a copy as the extra topic when the slot is empty (subscribed at the next connect): 0, else -1.
int mqtt_add_topic_without_subcribe(MQ_HANDLE handle, const char* topic);
// Stops the task (interrupting a back-off or a blocked receive), waits for it to end, completes
// QoS 1 publishes still waiting with -926 and frees everything. 0; -2 for null.
int delete_mqtt_hand(MQ_HANDLE handle);
