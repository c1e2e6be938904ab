// The cloud's side of the unit's wire, written apart from the unit's code: the MQTT envelope and
// the API answer with OpenSSL's EVP AES-128-ECB and MD5 and zlib's CRC-32, and a libmosquitto
// client that plays the cloud on a test broker (publishes to the unit's in-topic, collects what
// it sends on its out-topic). Used by the cloud suites and the round-trip benchmark.
#pragma once

#include <cjson/cJSON.h>
#include <mosquitto.h>
#include <openssl/evp.h>
#include <openssl/md5.h>
#include <zlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace cloudpeer {

using Bytes = std::vector<uint8_t>;

inline Bytes Aes128Ecb(const Bytes& in, const std::string& key, bool encrypt, bool* ok = nullptr)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(in.size() + 16);
    int n1 = 0;
    int n2 = 0;
    bool good = EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, reinterpret_cast<const uint8_t*>(key.data()),
                                  nullptr, encrypt ? 1 : 0) == 1 &&
                EVP_CipherUpdate(ctx, out.data(), &n1, in.data(), static_cast<int>(in.size())) == 1 &&
                EVP_CipherFinal_ex(ctx, out.data() + n1, &n2) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (ok != nullptr) {
        *ok = good;
    }
    out.resize(good ? static_cast<size_t>(n1 + n2) : 0);
    return out;
}

inline std::string Md5Hex(const std::string& text)
{
    unsigned char d[16];
    unsigned int n = 0;
    EVP_Digest(text.data(), text.size(), d, &n, EVP_md5(), nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < n; ++i) {
        out += kHex[d[i] >> 4];
        out += kHex[d[i] & 15];
    }
    return out;
}

inline void PutBe32(Bytes& b, uint32_t v)
{
    for (int s = 24; s >= 0; s -= 8) {
        b.push_back(static_cast<uint8_t>(v >> s));
    }
}

// "2.2" | CRC-32 | seq | AES(plain), plain given whole.
inline Bytes Envelope(uint32_t seq, const std::string& plain, const std::string& key)
{
    Bytes cipher = Aes128Ecb(Bytes(plain.begin(), plain.end()), key, true);
    Bytes body;
    PutBe32(body, seq);
    body.insert(body.end(), cipher.begin(), cipher.end());
    uint32_t crc = static_cast<uint32_t>(crc32(0L, body.data(), static_cast<uInt>(body.size())));
    Bytes out = {'2', '.', '2'};
    PutBe32(out, crc);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

inline Bytes Message(uint32_t seq, int protocol, uint32_t t, const std::string& dataJson, const std::string& key)
{
    return Envelope(seq,
                    "{\"protocol\":" + std::to_string(protocol) + ",\"t\":" + std::to_string(t) + ",\"data\":" +
                        dataJson + "}",
                    key);
}

// A decoded envelope; ok false when any check fails.
struct Decoded {
    bool ok = false;
    uint32_t seq = 0;
    int protocol = -1;
    std::string plain;
    std::string data;  // "data" printed unformatted
};

inline Decoded Open(const uint8_t* p, size_t len, const std::string& key)
{
    Decoded d;
    if (len < 27 || memcmp(p, "2.2", 3) != 0) {
        return d;
    }
    uint32_t crc = (uint32_t{p[3]} << 24) | (uint32_t{p[4]} << 16) | (uint32_t{p[5]} << 8) | p[6];
    if (static_cast<uint32_t>(crc32(0L, p + 7, static_cast<uInt>(len - 7))) != crc || (len - 11) % 16 != 0) {
        return d;
    }
    d.seq = (uint32_t{p[7]} << 24) | (uint32_t{p[8]} << 16) | (uint32_t{p[9]} << 8) | p[10];
    bool ok = false;
    Bytes plain = Aes128Ecb(Bytes(p + 11, p + len), key, false, &ok);
    if (!ok) {
        return d;
    }
    d.plain.assign(plain.begin(), plain.end());
    cJSON* root = cJSON_Parse(d.plain.c_str());
    cJSON* protocol = cJSON_GetObjectItem(root, "protocol");
    cJSON* data = cJSON_GetObjectItem(root, "data");
    if (cJSON_IsNumber(protocol) && data != nullptr) {
        d.protocol = protocol->valueint;
        char* text = cJSON_PrintUnformatted(data);
        d.data = text;
        cJSON_free(text);
        d.ok = true;
    }
    cJSON_Delete(root);
    return d;
}

// The API's answer to a call made under `key`.
inline std::string ApiAnswer(const std::string& innerJson, const std::string& key, long t = 1700000000)
{
    Bytes cipher = Aes128Ecb(Bytes(innerJson.begin(), innerJson.end()), key, true);
    std::string b64(4 * ((cipher.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()), cipher.data(), static_cast<int>(cipher.size()));
    b64.resize(static_cast<size_t>(n));
    std::string sign = Md5Hex("result=" + b64 + "||t=" + std::to_string(t) + "||" + key);
    return "{\"result\":\"" + b64 + "\",\"t\":" + std::to_string(t) + ",\"sign\":\"" + sign + "\"}";
}

// The cloud on a broker: a libmosquitto client subscribed to the unit's out-topic.
class Cloud {
public:
    struct Received {
        std::string topic;
        Bytes payload;
    };

    Cloud(const std::string& host, int port, const std::string& devId, const std::string& key,
          const std::string& caFile = "")
        : mDevId(devId), mKey(key)
    {
        mosquitto_lib_init();
        mMosq = mosquitto_new(nullptr, true, this);
        if (!caFile.empty()) {
            mosquitto_tls_set(mMosq, caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        }
        mosquitto_message_callback_set(mMosq, [](mosquitto*, void* self, const mosquitto_message* m) {
            static_cast<Cloud*>(self)->OnMessage(m);
        });
        mosquitto_subscribe_callback_set(mMosq, [](mosquitto*, void* self, int, int, const int*) {
            auto* c = static_cast<Cloud*>(self);
            std::lock_guard<std::mutex> lock(c->mMutex);
            ++c->mSubacks;
            c->mCv.notify_all();
        });
        if (mosquitto_connect(mMosq, host.c_str(), port, 60) != MOSQ_ERR_SUCCESS) {
            throw std::runtime_error("cloud peer cannot connect");
        }
        mosquitto_loop_start(mMosq);
        Subscribe("smart/device/out/" + devId);
    }

    ~Cloud()
    {
        mosquitto_disconnect(mMosq);
        mosquitto_loop_stop(mMosq, true);
        mosquitto_destroy(mMosq);
    }

    void Subscribe(const std::string& topic)
    {
        int before = 0;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            before = mSubacks;
        }
        mosquitto_subscribe(mMosq, nullptr, topic.c_str(), 1);
        std::unique_lock<std::mutex> lock(mMutex);
        mCv.wait_for(lock, std::chrono::seconds(10), [&] { return mSubacks > before; });
    }

    // Sends a message to the unit's in-topic (or `topic`) with the cloud's next sequence number.
    // Retained: the broker hands it again with every SUBSCRIBE of the topic.
    void Send(int protocol, const std::string& dataJson, const std::string& topic = "", bool retain = false)
    {
        SendRaw(Message(++mSeq, protocol, 1700000000, dataJson, mKey), topic, retain);
    }
    void SendRaw(const Bytes& payload, const std::string& topic = "", bool retain = false)
    {
        std::string t = topic.empty() ? "smart/device/in/" + mDevId : topic;
        mosquitto_publish(mMosq, nullptr, t.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain);
    }

    // Waits for the n-th message received (counted from 1) and returns it decoded.
    bool WaitCount(size_t n, int ms = 10000)
    {
        std::unique_lock<std::mutex> lock(mMutex);
        return mCv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return mReceived.size() >= n; });
    }
    // The first message (from index `from`) of a protocol, decoded; waits for it.
    Decoded WaitProtocol(int protocol, size_t from = 0, int ms = 10000)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        std::unique_lock<std::mutex> lock(mMutex);
        for (;;) {
            for (size_t i = from; i < mReceived.size(); ++i) {
                Decoded d = Open(mReceived[i].payload.data(), mReceived[i].payload.size(), mKey);
                if (d.ok && d.protocol == protocol) {
                    return d;
                }
            }
            if (mCv.wait_until(lock, end) == std::cv_status::timeout) {
                return Decoded{};
            }
        }
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mReceived.size();
    }
    std::vector<Received> All()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mReceived;
    }
    // Called on the peer's network thread for each message (the benchmark's hook).
    std::function<void(const Received&)> OnEach;

private:
    void OnMessage(const mosquitto_message* m)
    {
        Received r{m->topic, Bytes(static_cast<const uint8_t*>(m->payload),
                                   static_cast<const uint8_t*>(m->payload) + m->payloadlen)};
        if (OnEach) {
            OnEach(r);
        }
        std::lock_guard<std::mutex> lock(mMutex);
        mReceived.push_back(std::move(r));
        mCv.notify_all();
    }

    std::string mDevId;
    std::string mKey;
    uint32_t mSeq = 0;
    mosquitto* mMosq = nullptr;
    std::mutex mMutex;
    std::condition_variable mCv;
    std::vector<Received> mReceived;
    int mSubacks = 0;
};

}  // namespace cloudpeer
