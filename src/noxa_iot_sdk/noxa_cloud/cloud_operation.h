// Object storage of the cloud: the storage configurations the API hands out, the upload of one
// object (S3 with an "AWS4-HMAC-SHA256" signature, or an Azure block blob under a SAS), and the
// per-host CA certificates of the stores fetched through the API.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Results besides 0, -1 and the API's own.
#define CLOUD_ERR_KEY_MISSING (-803)     // a reply without a key the call needs
#define CLOUD_ERR_NO_VALID_ORDER (-2004)  // no storage order for the device

#define CLOUD_STORAGE_KIND_CLOUD 0
#define CLOUD_STORAGE_KIND_DETECT 2
#define CLOUD_STORAGE_KIND_FACE 4

#define CLOUD_CA_KIND_CLOUD 1
#define CLOUD_CA_KIND_DETECT 2
#define CLOUD_CA_URL_MAX 256

#define CLOUD_CONTENT_PIC 0x1u
#define CLOUD_CONTENT_AUDIO 0x2u
#define CLOUD_CONTENT_VIDEO 0x4u

// Cloud recording (and face pictures): where the objects go and what the order allows.
typedef struct {
    char provider[16];  // "azure", or an S3-style provider
    char ak[128];       // access key id (Azure: the account name)
    char sk[128];       // secret key (S3)
    int64_t expiration;
    char bucket[64];    // Azure: the container
    char endpoint[128];
    char region[32];
    char token[1024];   // S3: session token, may be empty; Azure: the SAS query text
    char media_path[128];
    char store_mode[16];  // "mediaStor": "alltime", "event" or other
    uint32_t video_longest_time;  // seconds
    uint32_t slice_duration;      // seconds, from the restriction configuration
} CLOUD_STORAGE_CFG_S;

// Event pictures of notifications.
typedef struct {
    char provider[16];
    char ak[128];
    char sk[128];
    char bucket[64];
    char endpoint[128];
    char region[32];
    char dir[128];    // folder the configuration gives
    char path[256];   // object path of the file last uploaded
    char token[1024];
    uint32_t flags;   // CLOUD_CONTENT_*
} CLOUD_DETECT_STORAGE_CFG_S;

// Fills the record from "noxa.device.ipc.storage.config.get" (kind 1: cloud recording). 0, the
// API's result (-2002 no configuration, -2006 expired, -2004 no valid order), -803 for a reply
// without a required key.
int cloud_get_storage_config(CLOUD_STORAGE_CFG_S* cfg, int kind);
// The slice duration ("storage" -> "mtu") into cfg->slice_duration.
int cloud_get_storage_restriction_config(CLOUD_STORAGE_CFG_S* cfg);
int cloud_get_detect_storage_config(CLOUD_DETECT_STORAGE_CFG_S* cfg);

// Uploads one object: cfg is a CLOUD_DETECT_STORAGE_CFG_S for kind 2, else a
// CLOUD_STORAGE_CFG_S. The object goes under the configuration's path; a kind-2 upload records
// its path in cfg->path. 0, or the request's error (a store's refusal gives -1).
int cloud_put_data_to_file(void* cfg, const char* scheme, int kind, const char* name, const char* content_type,
                           const uint8_t* data, uint32_t len);

// 0 when the CA certificate of the URL's host is stored or was fetched (at most 3 tries); -2
// for a NULL or long URL or a bad kind; else the fetch's error.
int cloud_require_new_ca(const char* url, int kind);
// The fetch behind cloud_replace_ca: "noxa.device.ca.get" for the host. Installed by
// cloud_operation_init.
int cloud_fetch_ca(const char* host, uint8_t** cert, uint32_t* len);
void cloud_operation_init(void);

// ---- S3 signature version 4 (exposed for tests and benchmarks) ----
typedef struct {
    std::string method;
    std::string host;
    std::string path;  // as the object is named, not encoded
    std::vector<std::pair<std::string, std::string>> query;    // plain names and values
    std::vector<std::pair<std::string, std::string>> headers;  // signed besides host
    std::string payload_hash;  // lower-case hex SHA-256 of the body
    std::string amz_date;      // "YYYYMMDDTHHMMSSZ"
    std::string region;
    std::string service;  // "s3"
    std::string ak;
    std::string sk;
} CLOUD_SIGV4_REQ_S;

// The "Authorization" value; the canonical request and the string to sign on request.
std::string cloud_sigv4_authorization(const CLOUD_SIGV4_REQ_S& req, std::string* canonical = nullptr,
                                      std::string* to_sign = nullptr);
// S3's URI encoding: unreserved characters kept (and '/' when keep_slash), else %XX.
std::string cloud_uri_encode(const std::string& text, bool keep_slash);
std::string cloud_sha256_hex(const uint8_t* data, size_t len);
