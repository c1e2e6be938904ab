// The cloud's object stores: s3rver behind a gate that checks S3 signatures (version 4) before it
// forwards, azurite for Azure block blobs under a SAS the simulator signs, both on TLS
// certificates of a "storage" CA that only the CA call of the API hands out.
#pragma once

#include <cjson/cJSON.h>
#include <map>
#include <string>
#include <vector>

namespace cloudsim {

inline constexpr const char* kS3Host = "s3.cloudsim.test";
inline constexpr const char* kBlobHost = "blob.cloudsim.test";
inline constexpr const char* kAzureAccount = "devstoreaccount1";
// azurite's published development account key.
inline constexpr const char* kAzureAccountKey =
    "Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw==";
inline const std::vector<std::string> kBuckets = {"noxa-media", "noxa-detect", "noxa-face"};

// The node_modules folder of the stores (empty: none installed).
void SetStoresDir(const std::string& nodeModules);
// Starts the stores once (later calls return at once): false when they cannot run.
bool EnsureStores();
void StopStores();
// Every "<bucket>.<endpoint>" and "<account><endpoint>" host the configurations hand out.
std::vector<std::string> StoreHosts();
// The storage API calls and the CA call: false when the name is none of them.
bool StorageApi(const std::string& api, const std::string& devId, const cJSON* body, cJSON** inner,
                std::string* line);
// "rotate-ca", "storage s3|azure", "object BUCKET KEY", "stores [stop|start]", "s3rver stop|start":
// false when the word is none.
bool StorageCommand(const std::vector<std::string>& words, std::string* out);

// The simulator's own objects (the pictures of the known faces): the selected store's keys for a
// bucket added to a configuration (false when the stores do not run); an object put ("" or what
// went wrong); a URL that reads it back without further credentials (S3: presigned for the gate,
// an hour; Azure: under a container SAS), "" when the stores do not run.
bool StoreConfig(cJSON* r, const std::string& bucket);
std::string StorePut(const std::string& bucket, const std::string& key, const std::string& bytes);
std::string StoreGetUrl(const std::string& bucket, const std::string& key);

// An object of the selected store / the keys under a prefix in key order: false with what went
// wrong.
bool StoreGet(const std::string& bucket, const std::string& key, std::string* bytes, std::string* err);
bool StoreList(const std::string& bucket, const std::string& prefix, std::vector<std::string>* keys,
               std::string* err);

// S3 signature version 4 of the gate (its own, on OpenSSL), which also signs its requests to
// s3rver.
std::string S3UriEncode(const std::string& text, bool keepSlash);
std::string S3Signature(const std::string& secret, const std::string& amzDate, const std::string& region,
                        const std::string& canonicalRequest);

}  // namespace cloudsim
