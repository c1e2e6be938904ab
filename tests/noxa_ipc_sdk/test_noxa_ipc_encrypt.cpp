// The media AES routines against NIST SP 800-38A and OpenSSL's EVP (apart from the unit's mbed TLS),
// the ciphertexts they must refuse, and the encryptor's media key against the local cloud: taken
// when it has 16 characters and stored as 16 bytes, refused otherwise, read from the store without
// a cloud call (also in the 17-byte form ending in 0), fetched again after a failure and on an
// MD5 mismatch, and kept by the cloud across its restart; a stalled or failing secret call never
// holds a frame, runs once at a time and is tried again after a growing wait.
#include "cloud_peer.h"
#include "cloud_unit.h"
#include "process.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_base/kv_storge/kv_storge.h"
#include "noxa_iot_sdk/log_capture.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_pic.h"
#include "noxa_iot_sdk/noxa_cloud/mqc_app.h"
#include "noxa_ipc_sdk/encrypt/noxa_ipc_encrypt.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& hex)
{
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// OpenSSL's AES-128-CBC, with or without its PKCS#7 padding.
Bytes Evp(bool enc, const Bytes& in, const uint8_t* key, const uint8_t* iv, bool pad = true)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key, iv, enc ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx, pad ? 1 : 0);
    Bytes out(in.size() + 32);
    int n1 = 0;
    int n2 = 0;
    EVP_CipherUpdate(ctx, out.data(), &n1, in.data(), static_cast<int>(in.size()));
    const int ok = EVP_CipherFinal_ex(ctx, out.data() + n1, &n2);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(ok == 1 ? static_cast<size_t>(n1 + n2) : 0);
    return out;
}

const Bytes kNistKey = Hex("2b7e151628aed2a6abf7158809cf4f3c");
const Bytes kNistIv = Hex("000102030405060708090a0b0c0d0e0f");

}  // namespace

// SP 800-38A F.2.1: the four blocks as NIST gives them, then the whole block of padding that a
// length of 64 always gets.
TEST(MediaAes, NistCbcVectorThenAPaddingBlock)
{
    const Bytes plain = Hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                            "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
    const Bytes nist = Hex("7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
                           "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7");
    Bytes out(plain.size() + 16);
    uint32_t outLen = 0;
    Bytes iv = kNistIv;
    ASSERT_EQ(0, OpensslAES_CBC128_encrypt(plain.data(), 64, out.data(), &outLen, kNistKey.data(), iv.data()));
    ASSERT_EQ(80u, outLen);
    EXPECT_EQ(nist, Bytes(out.begin(), out.begin() + 64));
    EXPECT_EQ(Evp(true, plain, kNistKey.data(), kNistIv.data()), out);
    EXPECT_EQ(kNistIv, iv) << "the caller's IV is left as it was";
    Bytes back(80);
    uint32_t backLen = 0;
    ASSERT_EQ(0, OpensslAES_CBC128_decrypt(out.data(), 80, back.data(), &backLen, kNistKey.data(), iv.data()));
    EXPECT_EQ(plain, Bytes(back.begin(), back.begin() + backLen));
}

// Every length from 0 to 33: the padding OpenSSL adds (1..16 bytes) and back, in buffers of their
// exact size.
TEST(MediaAes, RoundTripsOfEveryShortLength)
{
    for (uint32_t len = 0; len <= 33; ++len) {
        SCOPED_TRACE(len);
        Bytes plain(len);
        for (uint32_t i = 0; i < len; ++i) {
            plain[i] = static_cast<uint8_t>(i * 37 + len);
        }
        const uint8_t none = 0;  // nothing to encrypt, but a place to read it from
        Bytes out(len + 16);
        uint32_t outLen = 0;
        ASSERT_EQ(0, OpensslAES_CBC128_encrypt(len == 0 ? &none : plain.data(), len, out.data(), &outLen,
                                               kNistKey.data(), kNistIv.data()));
        ASSERT_EQ((len / 16 + 1) * 16, outLen);
        out.resize(outLen);
        EXPECT_EQ(Evp(true, plain, kNistKey.data(), kNistIv.data()), out);
        Bytes back(outLen);
        uint32_t backLen = 0;
        ASSERT_EQ(0, OpensslAES_CBC128_decrypt(out.data(), outLen, back.data(), &backLen, kNistKey.data(),
                                               kNistIv.data()));
        EXPECT_EQ(plain, Bytes(back.begin(), back.begin() + backLen));
    }
}

// What a decryption refuses: nothing, a part block (the cipher would read past the input), a last
// byte of 0 or 17 (no padding can end so); NULL arguments.
TEST(MediaAes, DecryptionRefusesWhatCannotBePadded)
{
    const uint8_t* key = kNistKey.data();
    const uint8_t* iv = kNistIv.data();
    auto blockEndingIn = [&](uint8_t last) {
        Bytes block(16, 0x41);
        block[15] = last;
        return Evp(true, block, key, iv, false);
    };
    const struct {
        const char* what;
        Bytes cipher;
    } rows[] = {
        {"empty", {}},
        {"17 bytes", Bytes(17, 1)},
        {"15 bytes", Bytes(15, 1)},
        {"last byte 0", blockEndingIn(0)},
        {"last byte 17", blockEndingIn(17)},
        {"last byte 255", blockEndingIn(255)},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        Bytes in = r.cipher;  // exact size: a read past it is caught
        Bytes out(in.size() == 0 ? 1 : in.size());
        uint32_t outLen = 12345;
        EXPECT_EQ(-1, OpensslAES_CBC128_decrypt(in.empty() ? out.data() : in.data(), static_cast<uint32_t>(in.size()),
                                                out.data(), &outLen, key, iv));
        EXPECT_EQ(12345u, outLen);
    }
    Bytes ok = blockEndingIn(16);
    Bytes out(16);
    uint32_t outLen = 0;
    EXPECT_EQ(0, OpensslAES_CBC128_decrypt(ok.data(), 16, out.data(), &outLen, key, iv));
    EXPECT_EQ(0u, outLen);
    EXPECT_EQ(-2, OpensslAES_CBC128_decrypt(nullptr, 16, out.data(), &outLen, key, iv));
    EXPECT_EQ(-2, OpensslAES_CBC128_encrypt(ok.data(), 16, out.data(), &outLen, nullptr, iv));
    EXPECT_EQ(-2, OpensslAES_CBC128_encrypt(ok.data(), 16, out.data(), nullptr, key, iv));
}

namespace {

std::atomic<int> gOnline{0};
const NOXA_IOT_CBS_S kCbs = {};

class MediaKey : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        sBox = new TestSandbox();
        sCloud = new CloudPeer(sBox->Root());
        LogCapture::Install();
        ASSERT_NO_FATAL_FAILURE(StartCloudUnit(&kCbs, [](uint8_t st) { gOnline = st == STAT_CLOUD_CONN; }));
        ASSERT_TRUE(StartActivation(sCloud->Pair()));
        for (int i = 0; i < 600 && gOnline == 0; ++i) {
            std::this_thread::sleep_for(50ms);
        }
        ASSERT_EQ(1, gOnline.load()) << sCloud->Log();
    }
    static void TearDownTestSuite()
    {
        mqc_app_stop();
        delete sCloud;
        delete sBox;
    }
    void SetUp() override
    {
        kvs_delete(CLOUD_ENC_KEY_NAME);
        noxa_ipc_encrypt_reset();
        sCloud->Command("fail ipc.storage.secret.get ok");
    }
    // No fetch of this test left running on a thread of its own.
    void TearDown() override { noxa_ipc_encrypt_reset(); }
    static int SecretCalls() { return sCloud->LogCount("api noxa.device.ipc.storage.secret.get v1.0: devId"); }
    static std::string Stored()
    {
        uint8_t* v = nullptr;
        uint32_t len = 0;
        if (kvs_read(CLOUD_ENC_KEY_NAME, &v, &len) != 0) {
            return "<none>";
        }
        std::string s(reinterpret_cast<char*>(v), len);
        kvs_free_data(v);
        return s;
    }
    static std::string Md5Hex(const std::string& text)
    {
        unsigned char d[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        EVP_Digest(text.data(), text.size(), d, &n, EVP_md5(), nullptr);
        static const char kHex[] = "0123456789abcdef";
        std::string out;
        for (unsigned int i = 0; i < n; ++i) {
            out += kHex[d[i] >> 4];
            out += kHex[d[i] & 15];
        }
        return out;
    }
    // Encrypt's output decrypted by OpenSSL under `key` and the IV it handed back.
    static Bytes EncryptAndOpen(const Bytes& plain, const std::string& key, int* ret)
    {
        Bytes out(plain.size() + 16);
        uint32_t outLen = 0;
        char iv[16];
        *ret = Encrypt(plain.data(), static_cast<uint32_t>(plain.size()), out.data(), &outLen, iv);
        if (*ret != 0) {
            return {};
        }
        out.resize(outLen);
        for (char c : iv) {
            EXPECT_TRUE(isxdigit(static_cast<unsigned char>(c)) && !isupper(static_cast<unsigned char>(c))) << c;
        }
        return Evp(false, out, reinterpret_cast<const uint8_t*>(key.data()), reinterpret_cast<const uint8_t*>(iv));
    }

    // Without a key, Encrypt and Decrypt refuse (never 0 with an unset length).
    static void ExpectNoKey()
    {
        int ret = 0;
        EncryptAndOpen({1, 2, 3}, "", &ret);
        EXPECT_EQ(-1, ret);
        Bytes out(16);
        uint32_t outLen = 0;
        EXPECT_EQ(-1, Decrypt(out.data(), 16, out.data(), &outLen, "0123456789abcdef"));
    }
    // Until the cloud has been asked `n` times in all for the key under an armed "slow".
    static bool SlowCallsReach(int n)
    {
        for (int i = 0; i < 500 && sCloud->LogCount("ipc.storage.secret.get: injected slow") < n; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        return sCloud->LogCount("ipc.storage.secret.get: injected slow") >= n;
    }

    static TestSandbox* sBox;
    static CloudPeer* sCloud;
};

TestSandbox* MediaKey::sBox = nullptr;
CloudPeer* MediaKey::sCloud = nullptr;

}  // namespace

// A key of 16 characters is taken and stored as 16 bytes; 15 or 17 characters are refused and
// leave the stored key as it was (a short key padded with zeros is a key the cloud does not have).
TEST_F(MediaKey, SixteenCharactersTakenOthersRefused)
{
    const std::string good = "Ab3dEf6hIj9lMn2p";
    sCloud->Command("media-key " + good);
    ASSERT_EQ(0, UpdateEncryptInfo()) << sCloud->Log();
    EXPECT_EQ(good, Stored());
    EXPECT_EQ(1u, GetEncryptorInstance()->has_key.load());
    for (const std::string bad : {"Ab3dEf6hIj9lMn2", "Ab3dEf6hIj9lMn2pQ"}) {
        SCOPED_TRACE(bad.size());
        sCloud->Command("media-key " + bad);
        EXPECT_EQ(-803, UpdateEncryptInfo());
        uint8_t key[16];
        EXPECT_EQ(-803, cloud_fetch_enc_key(key));
        EXPECT_EQ(good, Stored());
    }
    // The encryptor goes on under the key it has.
    const Bytes plain = {1, 2, 3};
    int ret = -9;
    EXPECT_EQ(plain, EncryptAndOpen(plain, good, &ret));
    EXPECT_EQ(0, ret);
}

// Both forms of the stored record (16 bytes; 17 whose last is 0, as a writer that keeps the NUL
// leaves it) serve the encryptor and the pictures without a cloud call; 17 bytes ending otherwise
// are refused.
TEST_F(MediaKey, StoredRecordsOfSixteenAndSeventeenBytesServeWithoutTheCloud)
{
    const std::string key = "q7W2e9R4t1Y6u3I8";
    const Bytes plain(1000, 0x5A);
    for (size_t form : {16, 17}) {
        SCOPED_TRACE(form);
        std::string record = key + std::string(form - 16, '\0');
        ASSERT_EQ(0, kvs_write(CLOUD_ENC_KEY_NAME, record.data(), static_cast<uint32_t>(record.size())));
        noxa_ipc_encrypt_reset();
        const int calls = SecretCalls();
        EXPECT_EQ(1u, GetEncryptorInstance()->inited.load());
        int ret = -9;
        EXPECT_EQ(plain, EncryptAndOpen(plain, key, &ret));
        EXPECT_EQ(0, ret);

        uint8_t* pic = nullptr;
        uint32_t picLen = 0;
        ASSERT_EQ(0, cloud_encrypt_pic_with_random_iv(plain.data(), static_cast<uint32_t>(plain.size()), &pic,
                                                      &picLen, nullptr));
        const Bytes body(pic + 64, pic + picLen);
        const Bytes iv(pic + 8, pic + 24);
        free(pic);
        EXPECT_EQ(plain, Evp(false, body, reinterpret_cast<const uint8_t*>(key.data()), iv.data()));
        EXPECT_EQ(calls, SecretCalls()) << "a stored key makes no cloud call";
    }
    const std::string wrong = key + "x";
    ASSERT_EQ(0, kvs_write(CLOUD_ENC_KEY_NAME, wrong.data(), 17));
    uint8_t* pic = nullptr;
    uint32_t picLen = 0;
    EXPECT_EQ(-803, cloud_encrypt_pic_with_random_iv(plain.data(), 10, &pic, &picLen, nullptr));
}

// No stored key and a refused fetch: the encryptor stays without a key, Encrypt fails (never 0
// with an unset length), and a call after the wait fetches again.
TEST_F(MediaKey, AFailedFirstFetchIsTriedAgain)
{
    UniTestClock clock;
    sCloud->Command("fail ipc.storage.secret.get code SYSTEM_BUSY");
    EXPECT_EQ(0u, GetEncryptorInstance()->inited.load());
    EXPECT_EQ(-1, CheckAndUpdateEncKey("00000000000000000000000000000000")) << "no key yet";
    ExpectNoKey();
    const int calls = SecretCalls();
    sCloud->Command("fail ipc.storage.secret.get ok");
    const std::string key = "Zx8Cv7Bn6Mm5Ll4K";
    sCloud->Command("media-key " + key);
    clock.Advance(20000);
    EXPECT_EQ(1u, GetEncryptorInstance()->inited.load());
    EXPECT_EQ(calls + 1, SecretCalls());
    EXPECT_EQ(key, Stored());
}

// The cloud's MD5 of the key: a match keeps it without a call; a mismatch fetches the cloud's
// key, which the encryptor and the store then hold.
TEST_F(MediaKey, Md5MatchKeepsMismatchFetches)
{
    const std::string first = "Mq1Wn2Eb3Rv4Tc5Y";
    sCloud->Command("media-key " + first);
    ASSERT_EQ(1u, GetEncryptorInstance()->inited.load());
    int calls = SecretCalls();
    EXPECT_EQ(0, CheckAndUpdateEncKey(Md5Hex(first).c_str()));
    EXPECT_EQ(calls, SecretCalls());

    const std::string second = "Ux6Iz7Oa8Ps9Dd0F";
    sCloud->Command("media-key " + second);
    // The cloud's MD5 is of a key the unit lacks.
    EXPECT_EQ(0, CheckAndUpdateEncKey(Md5Hex(second).c_str()));
    EXPECT_EQ(calls + 1, SecretCalls());
    EXPECT_EQ(second, Stored());
    int ret = -9;
    const Bytes plain = {9, 8, 7, 6};
    EXPECT_EQ(plain, EncryptAndOpen(plain, second, &ret));
    EXPECT_EQ(0, ret);
    calls = SecretCalls();
    EXPECT_EQ(0, CheckAndUpdateEncKey(Md5Hex(second).c_str()));
    EXPECT_EQ(calls, SecretCalls());
}

// The cloud keeps the key it handed out in its state (owner-readable only): after its restart
// it hands out the same key, so the pictures made before stay readable.
TEST_F(MediaKey, TheCloudKeepsTheKeyAcrossItsRestart)
{
    uint8_t a[16];
    ASSERT_EQ(0, cloud_fetch_enc_key(a));
    sCloud->Stop();
    sCloud->Start();
    uint8_t b[16];
    int ret = -1;
    for (int i = 0; i < 50 && (ret = cloud_fetch_enc_key(b)) != 0; ++i) {
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_EQ(0, ret) << sCloud->Log();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(a), 16), std::string(reinterpret_cast<char*>(b), 16));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(a), 16), sCloud->Command("media-key"));
    struct stat st {};
    ASSERT_EQ(0, stat(sBox->Path("/.board/cloud/state.json").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
}

// Two encryptions in one second under one key take two IVs (so equal pictures never give equal
// ciphertexts), and the process-wide rand() sequence is left as it was (nothing reseeds it).
TEST_F(MediaKey, EveryEncryptionTakesAFreshIvWithoutTouchingRand)
{
    const std::string key = "Hh1Jj2Kk3Ll4Zz5X";
    ASSERT_EQ(0, kvs_write(CLOUD_ENC_KEY_NAME, key.data(), 16));
    noxa_ipc_encrypt_reset();
    const Bytes plain(48, 0x33);
    srand(4242);
    const int first = rand();
    const int second = rand();
    srand(4242);
    EXPECT_EQ(first, rand());
    std::vector<std::string> ivs;
    std::vector<Bytes> ciphers;
    for (int i = 0; i < 4; ++i) {
        Bytes out(plain.size() + 16);
        uint32_t outLen = 0;
        char iv[16];
        ASSERT_EQ(0, Encrypt(plain.data(), static_cast<uint32_t>(plain.size()), out.data(), &outLen, iv));
        out.resize(outLen);
        EXPECT_EQ(plain, Evp(false, out, reinterpret_cast<const uint8_t*>(key.data()),
                             reinterpret_cast<const uint8_t*>(iv)));
        ivs.emplace_back(iv, sizeof(iv));
        ciphers.push_back(out);
    }
    EXPECT_EQ(second, rand()) << "the encryptions reseeded rand()";
    for (size_t i = 1; i < ivs.size(); ++i) {
        EXPECT_NE(ivs[i - 1], ivs[i]);
        EXPECT_NE(ciphers[i - 1], ciphers[i]);
    }
}

// A forced fetch is a key obtained like any other: after a first fetch that failed, the cloud's
// key taken by UpdateEncryptInfo lets the MD5 check run (no "not init" refusal, no further call).
TEST_F(MediaKey, AForcedFetchInitsTheEncryptor)
{
    sCloud->Command("fail ipc.storage.secret.get code SYSTEM_BUSY");
    EXPECT_EQ(0u, GetEncryptorInstance()->inited.load());
    sCloud->Command("fail ipc.storage.secret.get ok");
    const std::string key = "Pp9Oo8Ii7Uu6Yy5T";
    sCloud->Command("media-key " + key);
    ASSERT_EQ(0, UpdateEncryptInfo()) << sCloud->Log();
    const int calls = SecretCalls();
    EXPECT_EQ(0, CheckAndUpdateEncKey(Md5Hex(key).c_str()));
    EXPECT_EQ(calls, SecretCalls());
}

// A key in hand serves every frame while a fetch stalls on the cloud: Encrypt never waits for the
// secret call.
TEST_F(MediaKey, AStalledFetchNeverHoldsAFrame)
{
    const std::string key = "Kk1Ll2Mm3Nn4Oo5P";
    ASSERT_EQ(0, kvs_write(CLOUD_ENC_KEY_NAME, key.data(), 16));
    noxa_ipc_encrypt_reset();
    ASSERT_EQ(1u, GetEncryptorInstance()->inited.load());
    const int slow = sCloud->LogCount("ipc.storage.secret.get: injected slow");
    sCloud->Command("fail ipc.storage.secret.get slow 3000");
    std::atomic<bool> done{false};
    std::thread fetch([&] {
        EXPECT_EQ(0, UpdateEncryptInfo());
        done = true;
    });
    ASSERT_TRUE(SlowCallsReach(slow + 1)) << sCloud->Log();
    const Bytes plain(200, 0x42);
    int ret = -9;
    EXPECT_EQ(plain, EncryptAndOpen(plain, key, &ret));
    EXPECT_EQ(0, ret);
    EXPECT_FALSE(done.load()) << "the frame waited for the secret call";
    fetch.join();
    EXPECT_EQ(sCloud->Command("media-key"), Stored());
}

// Without a key, while one fetch stalls: Encrypt and Decrypt fail at once, a second instance call
// returns without asking too, and the one fetch's key is taken.
TEST_F(MediaKey, WithoutAKeyFramesFailAtOnceAndOneFetchRuns)
{
    const int slow = sCloud->LogCount("ipc.storage.secret.get: injected slow");
    sCloud->Command("fail ipc.storage.secret.get slow 3000");
    std::atomic<bool> done{false};
    std::thread first([&] {
        GetEncryptorInstance();
        done = true;
    });
    ASSERT_TRUE(SlowCallsReach(slow + 1)) << sCloud->Log();
    for (int i = 0; i < 5; ++i) {
        ExpectNoKey();
    }
    EXPECT_EQ(0u, GetEncryptorInstance()->has_key.load());
    EXPECT_FALSE(done.load()) << "a frame waited for the secret call";
    first.join();
    EXPECT_EQ(slow + 1, sCloud->LogCount("ipc.storage.secret.get: injected slow")) << "a second fetch ran";
    const std::string key = sCloud->Command("media-key");
    EXPECT_EQ(1u, GetEncryptorInstance()->inited.load());
    const Bytes plain = {5, 6, 7};
    int ret = -9;
    EXPECT_EQ(plain, EncryptAndOpen(plain, key, &ret));
    EXPECT_EQ(0, ret);
}

// A failing secret call: the automatic fetch waits 10 s, then twice as long each time up to
// 10 min, logged once per wait; frames during a wait ask nothing; an explicit fetch (a new
// gateway request) asks at once, whatever the wait.
TEST_F(MediaKey, FailedFetchesWaitTenSecondsDoublingToTenMinutes)
{
    UniTestClock clock;
    sCloud->Command("fail ipc.storage.secret.get code SYSTEM_BUSY");
    const int logged = LogCapture::Count("no media key");
    int calls = SecretCalls();
    GetEncryptorInstance();
    ASSERT_EQ(++calls, SecretCalls());
    const unsigned waits[] = {10, 20, 40, 80, 160, 320, 600, 600};
    for (size_t i = 0; i < std::size(waits); ++i) {
        SCOPED_TRACE(waits[i]);
        EXPECT_EQ(logged + static_cast<int>(i) + 1, LogCapture::Count("no media key"));
        EXPECT_TRUE(LogCapture::Logged("next try in " + std::to_string(waits[i]) + " s"));
        clock.Advance(waits[i] * 1000 - 1);
        for (int f = 0; f < 10; ++f) {
            ExpectNoKey();
        }
        GetEncryptorInstance();
        EXPECT_EQ(calls, SecretCalls()) << "asked during the wait";
        clock.Advance(1);
        GetEncryptorInstance();
        ASSERT_EQ(++calls, SecretCalls());
    }
    // In the middle of a wait: both explicit fetches ask at once.
    clock.Advance(1000);
    EXPECT_NE(0, UpdateEncryptInfo());
    EXPECT_EQ(++calls, SecretCalls());
    sCloud->Command("fail ipc.storage.secret.get ok");
    const std::string key = "Rr5Tt6Yy7Uu8Ii9O";
    sCloud->Command("media-key " + key);
    EXPECT_EQ(0, CheckAndUpdateEncKey(Md5Hex(key).c_str()));
    EXPECT_EQ(++calls, SecretCalls());
    const Bytes plain = {1, 2};
    int ret = -9;
    EXPECT_EQ(plain, EncryptAndOpen(plain, key, &ret));
    EXPECT_EQ(0, ret);
}

// The check a gateway reconnect makes keeps to the wait after a failed fetch, while a new
// request's check asks at once; a picture without a stored key asks once per wait too, and never
// at every picture.
TEST_F(MediaKey, ReconnectChecksAndPicturesKeepToTheWait)
{
    UniTestClock clock;
    sCloud->Command("fail ipc.storage.secret.get code SYSTEM_BUSY");
    const std::string md5 = Md5Hex("Qq1Ww2Ee3Rr4Tt5Y");
    int calls = SecretCalls();
    EXPECT_EQ(-1, CheckAndUpdateEncKey(md5.c_str())) << "a new request asks at once";
    ASSERT_EQ(++calls, SecretCalls());
    const Bytes plain(100, 0x21);
    for (int i = 0; i < 5; ++i) {
        EXPECT_NE(0, CheckEncKeyWhenDue(md5.c_str()));
        uint8_t* pic = nullptr;
        uint32_t picLen = 0;
        EXPECT_EQ(-803, cloud_encrypt_pic_with_random_iv(plain.data(), 100, &pic, &picLen, nullptr));
        EXPECT_EQ(nullptr, pic);
    }
    EXPECT_EQ(calls, SecretCalls()) << "asked during the wait";
    clock.Advance(10000);
    EXPECT_NE(0, CheckEncKeyWhenDue(md5.c_str()));
    ASSERT_EQ(++calls, SecretCalls()) << "the wait has run: one fetch";
    clock.Advance(20000);
    uint8_t* pic = nullptr;
    uint32_t picLen = 0;
    EXPECT_EQ(-803, cloud_encrypt_pic_with_random_iv(plain.data(), 100, &pic, &picLen, nullptr));
    ASSERT_TRUE(Eventually([&] { return SecretCalls() == calls + 1; }, 5s)) << "a picture's fetch after the wait";
    ++calls;
    noxa_ipc_encrypt_reset();  // the picture's fetch has ended
    // The cloud answers again: the reconnect's check takes the key whose MD5 the gateway gave.
    sCloud->Command("fail ipc.storage.secret.get ok");
    sCloud->Command("media-key Qq1Ww2Ee3Rr4Tt5Y");
    EXPECT_EQ(0, CheckEncKeyWhenDue(md5.c_str()));
    EXPECT_EQ(++calls, SecretCalls());
    EXPECT_EQ("Qq1Ww2Ee3Rr4Tt5Y", Stored());
}

// A picture without a stored key waits for the fetch while none has failed (a device that has
// never asked); once one has failed it never waits out a slow fetch: it fails at once, a second
// picture starts no second fetch, and once the fetch has brought the key the pictures go under it
// without a further call.
TEST_F(MediaKey, APictureWaitsForAFetchOnlyWhileNoneHasFailed)
{
    UniTestClock clock;
    const Bytes plain(300, 0x44);
    uint8_t* pic = nullptr;
    uint32_t picLen = 0;
    sCloud->Command("fail ipc.storage.secret.get slow 500");
    int calls = SecretCalls();
    ASSERT_EQ(0, cloud_encrypt_pic_with_random_iv(plain.data(), 300, &pic, &picLen, nullptr)) << sCloud->Log();
    free(pic);
    EXPECT_EQ(++calls, SecretCalls());

    ASSERT_EQ(0, kvs_delete(CLOUD_ENC_KEY_NAME));
    sCloud->Command("fail ipc.storage.secret.get code SYSTEM_BUSY");
    EXPECT_EQ(-803, cloud_encrypt_pic_with_random_iv(plain.data(), 300, &pic, &picLen, nullptr));
    EXPECT_EQ(++calls, SecretCalls());
    ASSERT_TRUE(LogCapture::LoggedSoon("next try in 10 s"));

    clock.Advance(10000);
    const int slow = sCloud->LogCount("ipc.storage.secret.get: injected slow");
    sCloud->Command("fail ipc.storage.secret.get slow 3000");
    EXPECT_EQ(-803, cloud_encrypt_pic_with_random_iv(plain.data(), 300, &pic, &picLen, nullptr));
    EXPECT_EQ("<none>", Stored()) << "the picture waited for the secret call's answer";
    ASSERT_TRUE(SlowCallsReach(slow + 1)) << sCloud->Log();
    EXPECT_EQ(-803, cloud_encrypt_pic_with_random_iv(plain.data(), 300, &pic, &picLen, nullptr));
    EXPECT_NE(0, CheckEncKeyWhenDue(Md5Hex("Xx0Cc9Vv8Bb7Nn6M").c_str())) << "never behind a running fetch";
    ASSERT_TRUE(Eventually([] { return Stored() != "<none>"; }, 10s));
    EXPECT_EQ(slow + 1, sCloud->LogCount("ipc.storage.secret.get: injected slow")) << "a second fetch ran";
    calls = SecretCalls();
    ASSERT_EQ(0, cloud_encrypt_pic_with_random_iv(plain.data(), 300, &pic, &picLen, nullptr));
    const std::string key = Stored();
    EXPECT_EQ(plain, Evp(false, Bytes(pic + 64, pic + picLen), reinterpret_cast<const uint8_t*>(key.data()), pic + 8));
    free(pic);
    EXPECT_EQ(calls, SecretCalls());
}
