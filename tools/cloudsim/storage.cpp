#include "storage.h"

#include "cloud_storage.h"
#include "messages.h"
#include "sim.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace cloudsim {

namespace {

constexpr const char* kS3rverKey = "S3RVER";  // the only key s3rver takes
constexpr const char* kAzureVersion = "2021-08-06";
constexpr int64_t kConfigLifetime = 3600;
constexpr const char* kS3Region = "eu-central-1";

struct Stores {
    std::mutex lock;
    bool started = false;
    bool failed = false;
    std::string nodeModules;
    std::string dir;  // "<cloud>/stores"
    pid_t s3rver = -1;
    pid_t azurite = -1;
    uint16_t s3rverPort = 0;
    uint16_t gatePort = 0;
    uint16_t azuritePort = 0;
    std::unique_ptr<httplib::SSLServer> gate;
    std::thread gateThread;
    std::string ak;
    std::string sk;
    std::string token;
    bool azure = false;  // which provider the configurations name
    int rotations = 0;
    bool down = false;  // stopped by "stores stop": the API still hands out their configurations
};

Stores& S()
{
    static Stores s;
    return s;
}

std::string Sha256Hex(const std::string& data)
{
    unsigned char d[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), d);
    return HexLower(std::string(reinterpret_cast<char*>(d), sizeof(d)));
}

std::string Hmac(const std::string& key, const std::string& msg)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(msg.data()),
         msg.size(), out, &len);
    return std::string(reinterpret_cast<char*>(out), len);
}

std::string Trim(const std::string& v)
{
    std::string out;
    bool space = false;
    for (char c : v) {
        if (isspace(static_cast<unsigned char>(c))) {
            space = !out.empty();
            continue;
        }
        if (space) {
            out += ' ';
        }
        space = false;
        out += c;
    }
    return out;
}

std::vector<std::string> Split(const std::string& s, char sep)
{
    std::vector<std::string> out;
    size_t at = 0;
    for (;;) {
        size_t n = s.find(sep, at);
        out.push_back(s.substr(at, n == std::string::npos ? std::string::npos : n - at));
        if (n == std::string::npos) {
            return out;
        }
        at = n + 1;
    }
}

void EndChild(pid_t* pid)
{
    if (*pid <= 0) {
        return;
    }
    kill(*pid, SIGTERM);
    int status = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (waitpid(*pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= end) {
            kill(*pid, SIGKILL);
            waitpid(*pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    *pid = -1;
}

std::string CaDir()
{
    return S().dir + "/tls";
}

// The storage CA (made once per root, or anew by rotate-ca) and the stores' certificate.
bool MakeCertificates(bool fresh)
{
    std::string d = CaDir();
    fs::create_directories(d);
    if (fresh || !fs::exists(d + "/ca.pem") || !fs::exists(d + "/ca.key")) {
        std::string cn = "/O=Noxa Test/CN=Noxa Storage CA " + std::to_string(Now()) + "-" + RandomText(6, kAlnum);
        if (!RunProgram({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                         "-nodes", "-days", "3650", "-subj", cn, "-keyout", d + "/ca.key", "-out", d + "/ca.pem",
                         "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                         "keyUsage=critical,keyCertSign,cRLSign"})) {
            return false;
        }
    }
    std::string san = std::string("subjectAltName=DNS:*.") + kS3Host + ",DNS:*." + kBlobHost + ",DNS:" + kS3Host +
                      ",DNS:" + kBlobHost + ",DNS:localhost,IP:127.0.0.1\n";
    WriteFileAtomic(d + "/store.ext", "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n"
                                      "extendedKeyUsage=serverAuth\n" + san);
    bool ok = RunProgram({"openssl", "req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                          "-nodes", "-keyout", d + "/store.key", "-subj", "/O=Noxa Test/CN=stores.cloudsim.test",
                          "-out", d + "/store.csr"}) &&
              RunProgram({"openssl", "x509", "-req", "-sha256", "-days", "3650", "-in", d + "/store.csr", "-CA",
                          d + "/ca.pem", "-CAkey", d + "/ca.key", "-set_serial", std::to_string(Now() % 100000000),
                          "-extfile", d + "/store.ext", "-out", d + "/store.pem"});
    return ok;
}

// ---- the gate's S3 signature check ----

struct SigCheck {
    int status = 200;
    std::string code;
    std::string why;
};

std::string CanonicalQuery(const std::vector<std::pair<std::string, std::string>>& q)
{
    std::vector<std::pair<std::string, std::string>> enc;
    for (const auto& [k, v] : q) {
        enc.emplace_back(S3UriEncode(k, false), S3UriEncode(v, false));
    }
    std::sort(enc.begin(), enc.end());
    std::string out;
    for (const auto& [k, v] : enc) {
        out += (out.empty() ? "" : "&") + k + "=" + v;
    }
    return out;
}

SigCheck CheckSignature(const httplib::Request& req, const std::string& rawPath,
                        const std::vector<std::pair<std::string, std::string>>& query)
{
    Stores& s = S();
    std::string credential;
    std::string signedHeaders;
    std::string signature;
    std::string amzDate;
    std::string payload;
    std::string token;
    std::vector<std::pair<std::string, std::string>> canonicalQuery;
    auto queryValue = [&](const std::string& name) {
        for (const auto& [k, v] : query) {
            if (k == name) {
                return v;
            }
        }
        return std::string();
    };
    if (!queryValue("X-Amz-Algorithm").empty()) {
        if (queryValue("X-Amz-Algorithm") != "AWS4-HMAC-SHA256") {
            return {400, "AuthorizationQueryParametersError", "algorithm"};
        }
        credential = queryValue("X-Amz-Credential");
        signedHeaders = queryValue("X-Amz-SignedHeaders");
        signature = queryValue("X-Amz-Signature");
        amzDate = queryValue("X-Amz-Date");
        token = queryValue("X-Amz-Security-Token");
        payload = "UNSIGNED-PAYLOAD";
        for (const auto& p : query) {
            if (p.first != "X-Amz-Signature") {
                canonicalQuery.push_back(p);
            }
        }
        tm t{};
        if (strptime(amzDate.c_str(), "%Y%m%dT%H%M%SZ", &t) == nullptr ||
            timegm(&t) + atoll(queryValue("X-Amz-Expires").c_str()) < Now()) {
            return {403, "AccessDenied", "Request has expired"};
        }
    } else {
        std::string auth = req.get_header_value("Authorization");
        const std::string kAlg = "AWS4-HMAC-SHA256 ";
        if (auth.rfind(kAlg, 0) != 0) {
            return {403, "AccessDenied", "no AWS4-HMAC-SHA256 authorization"};
        }
        for (std::string part : Split(auth.substr(kAlg.size()), ',')) {
            part = Trim(part);
            size_t eq = part.find('=');
            std::string k = part.substr(0, eq);
            std::string v = eq == std::string::npos ? "" : part.substr(eq + 1);
            if (k == "Credential") {
                credential = v;
            } else if (k == "SignedHeaders") {
                signedHeaders = v;
            } else if (k == "Signature") {
                signature = v;
            }
        }
        amzDate = req.get_header_value("x-amz-date");
        payload = req.get_header_value("x-amz-content-sha256");
        token = req.get_header_value("x-amz-security-token");
        canonicalQuery = query;
        if (payload.empty()) {
            return {400, "InvalidRequest", "missing x-amz-content-sha256"};
        }
        if (payload != "UNSIGNED-PAYLOAD" && payload != Sha256Hex(req.body)) {
            return {400, "XAmzContentSHA256Mismatch", "body hash"};
        }
    }
    std::vector<std::string> scope = Split(credential, '/');
    if (scope.size() != 5 || scope[3] != "s3" || scope[4] != "aws4_request" || amzDate.size() != 16 ||
        amzDate.compare(0, 8, scope[1]) != 0) {
        return {403, "AuthorizationHeaderMalformed", "credential " + credential};
    }
    if (scope[2] != kS3Region) {
        return {400, "AuthorizationHeaderMalformed", "region " + scope[2] + " is wrong; expecting " + kS3Region};
    }
    if (scope[0] != s.ak) {
        return {403, "InvalidAccessKeyId", "key id " + scope[0]};
    }
    if (token != s.token) {
        return {403, "InvalidToken", "security token"};
    }
    std::vector<std::string> names = Split(signedHeaders, ';');
    if (std::find(names.begin(), names.end(), "host") == names.end()) {
        return {403, "AccessDenied", "host not signed"};
    }
    std::string cr = req.method + "\n" + S3UriEncode(PercentDecode(rawPath), true) + "\n" +
                     CanonicalQuery(canonicalQuery) + "\n";
    for (const auto& n : names) {
        std::string joined;
        auto range = req.headers.equal_range(n);  // httplib compares names without case
        for (auto it = range.first; it != range.second; ++it) {
            joined += (joined.empty() ? "" : ",") + Trim(it->second);
        }
        if (range.first == range.second) {
            return {403, "AccessDenied", "signed header " + n + " missing"};
        }
        cr += n + ":" + joined + "\n";
    }
    cr += "\n" + signedHeaders + "\n" + payload;
    std::string expect = S3Signature(s.sk, amzDate, scope[2], cr);
    if (expect != signature) {
        return {403, "SignatureDoesNotMatch", "canonical request:\n" + cr};
    }
    return {};
}

std::string S3Error(const std::string& code, const std::string& msg)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error><Code>" + code + "</Code><Message>" + msg +
           "</Message></Error>";
}

// Signed for s3rver with its own key (it checks the key id, not the signature).
httplib::Headers S3rverHeaders(const std::string& method, const std::string& path, const std::string& body,
                               const std::string& query)
{
    time_t now = time(nullptr);
    tm t{};
    gmtime_r(&now, &t);
    char date[20];
    strftime(date, sizeof(date), "%Y%m%dT%H%M%SZ", &t);
    std::string host = "127.0.0.1:" + std::to_string(S().s3rverPort);
    std::string payload = Sha256Hex(body);
    std::vector<std::pair<std::string, std::string>> q;
    for (const auto& part : Split(query, '&')) {
        if (!part.empty()) {
            size_t eq = part.find('=');
            q.emplace_back(PercentDecode(part.substr(0, eq)),
                           eq == std::string::npos ? "" : PercentDecode(part.substr(eq + 1)));
        }
    }
    std::string cr = method + "\n" + S3UriEncode(PercentDecode(path), true) + "\n" + CanonicalQuery(q) +
                     "\nhost:" + host + "\nx-amz-content-sha256:" + payload + "\nx-amz-date:" + date +
                     "\n\nhost;x-amz-content-sha256;x-amz-date\n" + payload;
    std::string sig = S3Signature(kS3rverKey, date, "us-east-1", cr);
    return {{"x-amz-date", date},
            {"x-amz-content-sha256", payload},
            {"Authorization", std::string("AWS4-HMAC-SHA256 Credential=") + kS3rverKey + "/" +
                                  std::string(date).substr(0, 8) +
                                  "/us-east-1/s3/aws4_request, SignedHeaders=host;x-amz-content-sha256;x-amz-date, "
                                  "Signature=" + sig}};
}

std::unique_ptr<httplib::SSLClient> S3rverClient()
{
    auto c = std::make_unique<httplib::SSLClient>("127.0.0.1", S().s3rverPort);
    c->set_ca_cert_path((CaDir() + "/ca.pem").c_str());
    c->enable_server_certificate_verification(true);
    c->set_read_timeout(20, 0);
    return c;
}

void HandleGate(const httplib::Request& req, httplib::Response& res)
{
    std::string target = req.target;
    size_t qm = target.find('?');
    std::string rawPath = target.substr(0, qm);
    std::string rawQuery = qm == std::string::npos ? "" : target.substr(qm + 1);
    std::vector<std::pair<std::string, std::string>> query;
    std::string forwardQuery;
    for (const auto& part : Split(rawQuery, '&')) {
        if (part.empty()) {
            continue;
        }
        size_t eq = part.find('=');
        std::string k = PercentDecode(part.substr(0, eq));
        query.emplace_back(k, eq == std::string::npos ? "" : PercentDecode(part.substr(eq + 1)));
        if (k.rfind("X-Amz-", 0) != 0) {
            forwardQuery += (forwardQuery.empty() ? "" : "&") + part;
        }
    }
    std::string host = req.get_header_value("Host");
    host = host.substr(0, host.find(':'));
    std::string suffix = std::string(".") + kS3Host;
    std::string bucketPath = rawPath;
    if (host.size() > suffix.size() && host.compare(host.size() - suffix.size(), suffix.size(), suffix) == 0) {
        bucketPath = "/" + host.substr(0, host.size() - suffix.size()) + rawPath;
    }
    std::string head = "s3 " + req.method + " " + host + rawPath;
    if (req.method != "PUT" && req.method != "GET" && req.method != "HEAD") {
        Log(head + ": refused (method)");
        res.status = 405;
        res.set_content(S3Error("MethodNotAllowed", req.method), "application/xml");
        return;
    }
    SigCheck check = CheckSignature(req, rawPath, query);
    if (check.status != 200) {
        Log(head + ": " + std::to_string(check.status) + " " + check.code + " (" + check.why + ")");
        res.status = check.status;
        if (req.method != "HEAD") {
            res.set_content(S3Error(check.code, check.code), "application/xml");
        }
        return;
    }
    auto client = S3rverClient();
    httplib::Headers h = S3rverHeaders(req.method, bucketPath, req.method == "PUT" ? req.body : "", forwardQuery);
    std::string path = bucketPath + (forwardQuery.empty() ? "" : "?" + forwardQuery);
    std::string type = req.get_header_value("Content-Type");
    httplib::Result r = req.method == "PUT"   ? client->Put(path, h, req.body, type.empty() ? "binary/octet-stream" : type)
                        : req.method == "GET" ? client->Get(path, h)
                                              : client->Head(path, h);
    if (!r) {
        Log(head + ": s3rver does not answer (" + httplib::to_string(r.error()) + ")");
        res.status = 502;
        return;
    }
    Log(head + ": " + std::to_string(r->status) + " size " + std::to_string(req.method == "PUT" ? req.body.size() : r->body.size()));
    res.status = r->status;
    for (const char* name : {"ETag", "Last-Modified", "Content-Type"}) {
        if (r->has_header(name)) {
            res.set_header(name, r->get_header_value(name));
        }
    }
    if (req.method == "HEAD") {
        res.set_header("Content-Length", r->get_header_value("Content-Length"));
    } else {
        res.body = r->body;
    }
}

// On the gate's earlier port if it had one; anywhere else only when `samePort` is false.
bool StartGate(bool samePort = false)
{
    Stores& s = S();
    std::string d = CaDir();
    s.gate = std::make_unique<httplib::SSLServer>((d + "/store.pem").c_str(), (d + "/store.key").c_str());
    s.gate->set_payload_max_length(64 * 1024 * 1024);
    // Routes, not a pre-routing handler: that runs before the body is read. HEAD comes to Get.
    s.gate->Put(".*", HandleGate);
    s.gate->Get(".*", HandleGate);
    s.gate->Post(".*", HandleGate);
    s.gate->Delete(".*", HandleGate);
    for (int i = 0; i < 10; ++i) {
        if (s.gatePort == 0 || (i > 0 && !samePort)) {
            s.gatePort = s.gatePort != 0 && i == 0 ? s.gatePort : FreeLoopbackPort();
        }
        if (s.gate->bind_to_port("127.0.0.1", s.gatePort)) {
            httplib::SSLServer* g = s.gate.get();
            s.gateThread = std::thread([g] { g->listen_after_bind(); });
            // The server's stop does nothing until its thread runs: "stores stop" right after a
            // start (a loaded machine slow to schedule the thread) would then wait for ever on it.
            for (int w = 0; w < 1000 && !g->is_running(); ++w) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            return true;
        }
        if (samePort) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
    s.gate.reset();
    return false;
}

void StopGate()
{
    Stores& s = S();
    if (s.gate) {
        s.gate->stop();
        if (s.gateThread.joinable()) {
            s.gateThread.join();
        }
        s.gate.reset();
    }
}

bool WaitPort(uint16_t port, pid_t pid)
{
    // A stop meanwhile ends the wait: the start is cut short.
    for (int i = 0; i < 300 && !gStop; ++i) {
        if (PortOpen(port)) {
            return true;
        }
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// Shared-key signature of the simulator's own calls to azurite (container creation). Its
// path-style URLs carry the account, so the signed resource names it twice.
std::string AzureSharedKey(const std::string& method, const std::string& date, const std::string& resource)
{
    std::string sts = method + "\n\n\n\n\n\n\n\n\n\n\n\nx-ms-date:" + date + "\nx-ms-version:" + kAzureVersion + "\n" +
                      resource;
    Bytes key;
    FromBase64(kAzureAccountKey, &key);
    return std::string("SharedKey ") + kAzureAccount + ":" + Base64(Hmac(key, sts));
}

bool CreateContainers()
{
    Stores& s = S();
    httplib::SSLClient c("127.0.0.1", s.azuritePort);
    c.set_ca_cert_path((CaDir() + "/ca.pem").c_str());
    c.enable_server_certificate_verification(true);
    for (const auto& b : kBuckets) {
        char date[64];
        time_t now = time(nullptr);
        tm t{};
        gmtime_r(&now, &t);
        strftime(date, sizeof(date), "%a, %d %b %Y %H:%M:%S GMT", &t);
        httplib::Headers h = {{"x-ms-date", date},
                              {"x-ms-version", kAzureVersion},
                              {"Authorization", AzureSharedKey("PUT", date, std::string("/") + kAzureAccount + "/" +
                                                                                 kAzureAccount + "/" + b +
                                                                                 "\nrestype:container")}};
        auto r = c.Put("/" + std::string(kAzureAccount) + "/" + b + "?restype=container", h, "", "");
        if (!r || (r->status != 201 && r->status != 409)) {
            Log("azurite: creating container " + b + " fails: " +
                (r ? std::to_string(r->status) + " " + r->body : httplib::to_string(r.error())));
            return false;
        }
    }
    return true;
}

// On a fresh port unless `samePort` (and it had one).
bool StartS3rver(bool samePort = false)
{
    std::string node = "node";
    Stores& s = S();
    std::string d = CaDir();
    if (!samePort || s.s3rverPort == 0) {
        s.s3rverPort = FreeLoopbackPort();
    }
    std::vector<std::string> s3 = {node, s.nodeModules + "/s3rver/bin/s3rver.js", "-d", s.dir + "/s3", "-a",
                                   "127.0.0.1", "-p", std::to_string(s.s3rverPort), "--silent", "--key",
                                   d + "/store.key", "--cert", d + "/store.pem", "--no-vhost-buckets"};
    for (const auto& b : kBuckets) {
        s3.push_back("--configure-bucket");
        s3.push_back(b);
    }
    s.s3rver = Spawn(s3, s.dir + "/s3rver.log", s.dir + "/s3rver.log");
    if (!WaitPort(s.s3rverPort, s.s3rver)) {
        Log("error: s3rver did not start: " + ReadFile(s.dir + "/s3rver.log"));
        return false;
    }
    return true;
}

bool StartProcesses(bool samePorts = false)
{
    Stores& s = S();
    std::string d = CaDir();
    std::string node = "node";
    fs::create_directories(s.dir + "/s3");
    fs::create_directories(s.dir + "/azure");
    if (!StartS3rver(samePorts)) {
        return false;
    }
    if (s.azuritePort == 0) {
        s.azuritePort = FreeLoopbackPort();
    }
    s.azurite = Spawn({node, s.nodeModules + "/azurite/dist/src/blob/main.js", "--blobHost", "127.0.0.1",
                       "--blobPort", std::to_string(s.azuritePort), "--location", s.dir + "/azure", "--cert",
                       d + "/store.pem", "--key", d + "/store.key", "--disableTelemetry", "--silent",
                       "--skipApiVersionCheck"},
                      s.dir + "/azurite.log", s.dir + "/azurite.log");
    if (!WaitPort(s.azuritePort, s.azurite) || !CreateContainers()) {
        Log("error: azurite did not start: " + ReadFile(s.dir + "/azurite.log"));
        return false;
    }
    return true;
}

std::string AzureEndpoint()
{
    return std::string(".") + kBlobHost + ":" + std::to_string(S().azuritePort);
}

std::string S3Endpoint()
{
    return std::string(kS3Host) + ":" + std::to_string(S().gatePort);
}

std::string Iso(int64_t t)
{
    time_t tt = t;
    tm v{};
    gmtime_r(&tt, &v);
    char buf[32];
    strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &v);
    return buf;
}

// A service SAS for one container: create and write blobs, read them back.
std::string ContainerSas(const std::string& container, const std::string& sp = "rcw")
{
    std::string st = Iso(Now() - 300);
    std::string se = Iso(Now() + kConfigLifetime);
    std::string sv = "2020-12-06";
    std::string resource = std::string("/blob/") + kAzureAccount + "/" + container;
    std::string sts = sp + "\n" + st + "\n" + se + "\n" + resource + "\n\n\nhttps\n" + sv + "\nc\n\n\n\n\n\n\n";
    Bytes key;
    FromBase64(kAzureAccountKey, &key);
    std::string sig = Base64(Hmac(key, sts));
    return "sv=" + sv + "&spr=https&st=" + S3UriEncode(st, false) + "&se=" + S3UriEncode(se, false) + "&sr=c&sp=" + sp +
           "&sig=" + S3UriEncode(sig, false);
}

void AddStore(cJSON* r, const std::string& bucket)
{
    Stores& s = S();
    if (s.azure) {
        cJSON_AddStringToObject(r, "provider", "azure");
        cJSON_AddStringToObject(r, "ak", kAzureAccount);
        cJSON_AddStringToObject(r, "sk", "");
        cJSON_AddStringToObject(r, "endpoint", AzureEndpoint().c_str());
        cJSON_AddStringToObject(r, "region", "");
        cJSON_AddStringToObject(r, "token", ContainerSas(bucket).c_str());
    } else {
        cJSON_AddStringToObject(r, "provider", "s3");
        cJSON_AddStringToObject(r, "ak", s.ak.c_str());
        cJSON_AddStringToObject(r, "sk", s.sk.c_str());
        cJSON_AddStringToObject(r, "endpoint", S3Endpoint().c_str());
        cJSON_AddStringToObject(r, "region", kS3Region);
        cJSON_AddStringToObject(r, "token", s.token.c_str());
    }
    cJSON_AddStringToObject(r, "bucket", bucket.c_str());
    cJSON_AddNumberToObject(r, "expiration", static_cast<double>(Now() + kConfigLifetime));
}

bool EndsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::string S3UriEncode(const std::string& text, bool keepSlash)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || (keepSlash && c == '/')) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string S3Signature(const std::string& secret, const std::string& amzDate, const std::string& region,
                        const std::string& canonicalRequest)
{
    std::string day = amzDate.substr(0, 8);
    std::string sts = "AWS4-HMAC-SHA256\n" + amzDate + "\n" + day + "/" + region + "/s3/aws4_request\n" +
                      Sha256Hex(canonicalRequest);
    std::string k = Hmac(Hmac(Hmac(Hmac("AWS4" + secret, day), region), "s3"), "aws4_request");
    return HexLower(Hmac(k, sts));
}

void SetStoresDir(const std::string& nodeModules)
{
    S().nodeModules = nodeModules;
}

bool EnsureStores()
{
    Stores& s = S();
    std::lock_guard<std::mutex> lock(s.lock);
    if (s.started || s.failed) {
        return s.started;
    }
    s.dir = gCloudDir + "/stores";
    if (s.nodeModules.empty() || !fs::exists(s.nodeModules + "/s3rver") || !fs::exists(s.nodeModules + "/azurite")) {
        Log("error: the object stores are not installed (scripts/deps.sh runs npm ci)");
        s.failed = true;
        return false;
    }
    s.ak = "NOXAAK" + RandomText(14, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789");
    s.sk = RandomText(40, kAlnum + "/+");
    s.token = "IQoJb3JpZ2luX2Vj" + RandomText(60, kAlnum + "/+") + "==";
    if (!MakeCertificates(false) || !StartProcesses() || !StartGate()) {
        s.failed = true;
        StopGate();
        EndChild(&s.s3rver);
        EndChild(&s.azurite);
        return false;
    }
    s.started = true;
    WriteFileAtomic(s.dir + "/ports", "gate=" + std::to_string(s.gatePort) + "\ns3rver=" +
                                          std::to_string(s.s3rverPort) + "\nazurite=" + std::to_string(s.azuritePort) +
                                          "\n");
    Log("stores up: s3 gate " + S3Endpoint() + " (s3rver 127.0.0.1:" + std::to_string(s.s3rverPort) + "), azurite " +
        kAzureAccount + AzureEndpoint());
    return true;
}

void StopStores()
{
    Stores& s = S();
    std::lock_guard<std::mutex> lock(s.lock);
    StopGate();
    EndChild(&s.s3rver);
    EndChild(&s.azurite);
    s.started = false;
}

std::vector<std::string> StoreHosts()
{
    std::vector<std::string> hosts;
    for (const auto& b : kBuckets) {
        hosts.push_back(b + "." + kS3Host);
    }
    hosts.push_back(std::string(kAzureAccount) + "." + kBlobHost);
    return hosts;
}

bool StorageApi(const std::string& api, const std::string& devId, const cJSON* body, cJSON** inner,
                std::string* line)
{
    static const std::vector<std::string> kApis = {
        "noxa.device.ipc.storage.config.get", "noxa.device.ipc.storage.restriction.get",
        "noxa.device.ipc.detect.storage.config.get", "noxa.device.ca.get"};
    if (std::find(kApis.begin(), kApis.end(), api) == kApis.end()) {
        return false;
    }
    if (!EnsureStores()) {
        *inner = ApiRefusal("STORAGE_DOWN", "the object stores do not run");
        *line = "stores down";
        return true;
    }
    std::string who = devId.empty() ? "device" : devId;
    std::lock_guard<std::mutex> lock(S().lock);
    if (api == "noxa.device.ca.get") {
        const cJSON* url = cJSON_GetObjectItemCaseSensitive(body, "url");
        std::string host = cJSON_IsString(url) ? url->valuestring : "";
        *line = "ca for " + host;
        std::string pem;
        if (host == kS3Host || host == kBlobHost || EndsWith(host, std::string(".") + kS3Host) ||
            EndsWith(host, std::string(".") + kBlobHost)) {
            pem = ReadFile(CaDir() + "/ca.pem");
        } else if (EndsWith(host, ".cloudsim.test")) {
            pem = ReadFile(gCloudDir + "/tls/ca.pem");
        }
        if (pem.empty()) {
            *inner = ApiRefusal("CA_NOT_FOUND", "no certificate for " + host);
            return true;
        }
        cJSON* r = cJSON_CreateObject();
        cJSON_AddStringToObject(r, "ca", pem.c_str());
        *inner = ApiOk(r);
        return true;
    }
    cJSON* r = cJSON_CreateObject();
    if (api == "noxa.device.ipc.storage.restriction.get") {
        cJSON* st = cJSON_AddObjectToObject(r, "storage");
        cJSON_AddNumberToObject(st, "mtu", CloudStorageMtu());
        *line = "storage restriction mtu " + std::to_string(CloudStorageMtu());
    } else if (api == "noxa.device.ipc.storage.config.get") {
        AddStore(r, "noxa-media");
        cJSON_AddStringToObject(r, "mediaPath", (who + "/media").c_str());
        cJSON_AddStringToObject(r, "mediaStor", CloudStorageMode(devId).c_str());
        cJSON_AddNumberToObject(r, "videoLongestTime", 60);
        *line = std::string("storage config ") + (S().azure ? "azure" : "s3");
    } else {
        AddStore(r, "noxa-detect");
        cJSON_AddStringToObject(r, "path", (who + "/detect").c_str());
        cJSON* content = cJSON_AddObjectToObject(r, "content");
        cJSON_AddBoolToObject(content, "picture", DetectContent(0));
        cJSON_AddBoolToObject(content, "audio", DetectContent(1));
        cJSON_AddBoolToObject(content, "video", DetectContent(2));
        *line = std::string("detect storage config ") + (S().azure ? "azure" : "s3");
    }
    *inner = ApiOk(r);
    return true;
}

bool StorageCommand(const std::vector<std::string>& w, std::string* out)
{
    if (w.empty()) {
        return false;
    }
    Stores& s = S();
    if (w[0] == "stores" && w.size() == 1) {
        if (!EnsureStores()) {
            *out = "the stores do not run";
            return true;
        }
        std::lock_guard<std::mutex> lock(s.lock);
        *out = "s3 " + S3Endpoint() + " azure " + std::string(kAzureAccount) + AzureEndpoint() +
               (s.down ? " (stopped)" : "");
        return true;
    }
    if (w[0] == "storage" && w.size() == 2 && (w[1] == "s3" || w[1] == "azure")) {
        std::lock_guard<std::mutex> lock(s.lock);
        s.azure = w[1] == "azure";
        *out = "storage configurations name " + w[1];
        Log(*out);
        return true;
    }
    if (w[0] == "stores" && w.size() == 2 && (w[1] == "stop" || w[1] == "start")) {
        // Both stores away (connections refused) and back on the same ports with their data; the
        // API meanwhile hands out their configurations as before.
        if (!EnsureStores()) {
            *out = "the stores do not run";
            return true;
        }
        std::lock_guard<std::mutex> lock(s.lock);
        if (w[1] == "stop") {
            StopGate();
            EndChild(&s.s3rver);
            EndChild(&s.azurite);
            s.down = true;
            *out = "stores stopped";
        } else if (!s.down) {
            *out = "stores started";
        } else {
            const uint16_t gate = s.gatePort;
            const uint16_t azurite = s.azuritePort;
            const uint16_t s3rver = s.s3rverPort;
            bool ok = StartProcesses(true) && StartGate(true) && s.gatePort == gate && s.azuritePort == azurite &&
                      s.s3rverPort == s3rver;
            if (ok) {
                s.down = false;
                *out = "stores started";
            } else {
                // Half up is no state to test against: down again, and said so.
                StopGate();
                EndChild(&s.s3rver);
                EndChild(&s.azurite);
                s.gatePort = gate;
                s.s3rverPort = s3rver;
                *out = "stores start failed";
            }
        }
        Log(*out);
        return true;
    }
    if (w[0] == "s3rver" && w.size() == 2 && (w[1] == "stop" || w[1] == "start")) {
        // s3rver alone away a moment: the gate answers that it does not answer.
        if (!EnsureStores()) {
            *out = "the stores do not run";
            return true;
        }
        std::lock_guard<std::mutex> lock(s.lock);
        if (s.down) {
            *out = "the stores are stopped";
            return true;
        }
        EndChild(&s.s3rver);
        *out = w[1] == "stop" || StartS3rver() ? "s3rver " + w[1] + (w[1] == "stop" ? "ped" : "ed") : "s3rver failed";
        Log(*out);
        return true;
    }
    if (w[0] == "rotate-ca") {
        if (!EnsureStores()) {
            *out = "the stores do not run";
            return true;
        }
        std::lock_guard<std::mutex> lock(s.lock);
        StopGate();
        EndChild(&s.s3rver);
        EndChild(&s.azurite);
        bool ok = MakeCertificates(true) && StartProcesses() && StartGate();
        s.started = ok;
        s.down = false;
        ++s.rotations;
        *out = ok ? "storage CA rotated, stores restarted" : "rotate-ca failed";
        Log(*out);
        return true;
    }
    if (w[0] == "object" && w.size() == 3) {
        // An object as the phone app fetches it: base64 of its bytes, or an error line.
        if (!EnsureStores()) {
            *out = "error: the stores do not run";
            return true;
        }
        std::string bytes;
        std::string err;
        *out = StoreGet(w[1], w[2], &bytes, &err) ? Base64(bytes) : "error: " + err;
        return true;
    }
    return false;
}

bool StoreGet(const std::string& bucket, const std::string& key, std::string* bytes, std::string* err)
{
    if (!EnsureStores()) {
        *err = "the stores do not run";
        return false;
    }
    Stores& s = S();
    std::lock_guard<std::mutex> lock(s.lock);
    std::string path = "/" + bucket + "/" + S3UriEncode(key, true);
    auto get = [&]() {
        if (!s.azure) {
            return S3rverClient()->Get(path, S3rverHeaders("GET", path, "", ""));
        }
        httplib::SSLClient c("127.0.0.1", s.azuritePort);
        c.set_ca_cert_path((CaDir() + "/ca.pem").c_str());
        c.enable_server_certificate_verification(true);
        return c.Get("/" + std::string(kAzureAccount) + path + "?" + ContainerSas(bucket));
    };
    httplib::Result r = get();
    if (!r || r->status != 200) {
        *err = r ? std::to_string(r->status) : httplib::to_string(r.error());
        return false;
    }
    *bytes = r->body;
    return true;
}

namespace {

// The texts of every <tag>...</tag> of a listing, in order.
std::vector<std::string> XmlValues(const std::string& xml, const std::string& tag)
{
    std::vector<std::string> out;
    const std::string open = "<" + tag + ">";
    const std::string close = "</" + tag + ">";
    for (size_t at = xml.find(open); at != std::string::npos; at = xml.find(open, at)) {
        at += open.size();
        size_t end = xml.find(close, at);
        if (end == std::string::npos) {
            break;
        }
        out.push_back(xml.substr(at, end - at));
        at = end;
    }
    return out;
}

}  // namespace

bool StoreList(const std::string& bucket, const std::string& prefix, std::vector<std::string>* keys, std::string* err)
{
    if (!EnsureStores()) {
        *err = "the stores do not run";
        return false;
    }
    Stores& s = S();
    std::lock_guard<std::mutex> lock(s.lock);
    keys->clear();
    std::string marker;
    // Pages of at most 1000 names; the next starts after the last name.
    for (;;) {
        auto get = [&]() {
            if (!s.azure) {
                const std::string path = "/" + bucket;
                std::string q = "list-type=2&prefix=" + S3UriEncode(prefix, false) +
                                (marker.empty() ? "" : "&continuation-token=" + S3UriEncode(marker, false));
                return S3rverClient()->Get(path + "?" + q, S3rverHeaders("GET", path, "", q));
            }
            httplib::SSLClient c("127.0.0.1", s.azuritePort);
            c.set_ca_cert_path((CaDir() + "/ca.pem").c_str());
            c.enable_server_certificate_verification(true);
            std::string q = "restype=container&comp=list&prefix=" + S3UriEncode(prefix, false) +
                            (marker.empty() ? "" : "&marker=" + S3UriEncode(marker, false)) + "&" +
                            ContainerSas(bucket, "rl");
            return c.Get("/" + std::string(kAzureAccount) + "/" + bucket + "?" + q,
                         httplib::Headers{{"x-ms-version", kAzureVersion}});
        };
        httplib::Result r = get();
        if (!r || r->status != 200) {
            *err = r ? std::to_string(r->status) + " " + r->body : httplib::to_string(r.error());
            return false;
        }
        std::vector<std::string> page = XmlValues(r->body, s.azure ? "Name" : "Key");
        std::vector<std::string> m = XmlValues(r->body, s.azure ? "NextMarker" : "NextContinuationToken");
        std::string next = m.empty() ? "" : m[0];
        keys->insert(keys->end(), page.begin(), page.end());
        if (next.empty()) {
            break;
        }
        marker = next;
    }
    std::sort(keys->begin(), keys->end());
    return true;
}

// ---- objects of the simulator's own: the pictures of the known faces ----

bool StoreConfig(cJSON* r, const std::string& bucket)
{
    if (!EnsureStores()) {
        return false;
    }
    std::lock_guard<std::mutex> lock(S().lock);
    AddStore(r, bucket);
    return true;
}

std::string StorePut(const std::string& bucket, const std::string& key, const std::string& bytes)
{
    if (!EnsureStores()) {
        return "the stores do not run";
    }
    Stores& s = S();
    std::lock_guard<std::mutex> lock(s.lock);
    const std::string path = "/" + bucket + "/" + S3UriEncode(key, true);
    auto answer = [](const httplib::Result& r) {
        if (!r) {
            return "the store does not answer (" + httplib::to_string(r.error()) + ")";
        }
        return r->status / 100 == 2 ? std::string() : "the store answered " + std::to_string(r->status);
    };
    if (s.azure) {
        httplib::SSLClient c("127.0.0.1", s.azuritePort);
        c.set_ca_cert_path((CaDir() + "/ca.pem").c_str());
        c.enable_server_certificate_verification(true);
        return answer(c.Put("/" + std::string(kAzureAccount) + path + "?" + ContainerSas(bucket),
                            httplib::Headers{{"x-ms-blob-type", "BlockBlob"}, {"x-ms-version", kAzureVersion}}, bytes,
                            "image/jpeg"));
    }
    return answer(S3rverClient()->Put(path, S3rverHeaders("PUT", path, bytes, ""), bytes, "image/jpeg"));
}

std::string StoreGetUrl(const std::string& bucket, const std::string& key)
{
    if (!EnsureStores()) {
        return "";
    }
    Stores& s = S();
    std::lock_guard<std::mutex> lock(s.lock);
    const std::string path = "/" + S3UriEncode(key, true);
    if (s.azure) {
        return "https://" + std::string(kAzureAccount) + "." + kBlobHost + ":" + std::to_string(s.azuritePort) + "/" +
               bucket + path + "?" + ContainerSas(bucket);
    }
    // Presigned for the gate: the signature in the query, the host alone signed (the device's
    // Host header carries no port).
    const std::string host = bucket + "." + kS3Host;
    const time_t now = Now();
    tm t{};
    gmtime_r(&now, &t);
    char date[20];
    strftime(date, sizeof(date), "%Y%m%dT%H%M%SZ", &t);
    std::vector<std::pair<std::string, std::string>> q = {
        {"X-Amz-Algorithm", "AWS4-HMAC-SHA256"},
        {"X-Amz-Credential", s.ak + "/" + std::string(date, 8) + "/" + kS3Region + "/s3/aws4_request"},
        {"X-Amz-Date", date},
        {"X-Amz-Expires", std::to_string(kConfigLifetime)},
        {"X-Amz-Security-Token", s.token},
        {"X-Amz-SignedHeaders", "host"},
    };
    const std::string query = CanonicalQuery(q);
    const std::string cr = "GET\n" + path + "\n" + query + "\nhost:" + host + "\n\nhost\nUNSIGNED-PAYLOAD";
    return "https://" + host + ":" + std::to_string(s.gatePort) + path + "?" + query +
           "&X-Amz-Signature=" + S3Signature(s.sk, date, kS3Region, cr);
}

}  // namespace cloudsim
