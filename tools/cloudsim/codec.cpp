#include "codec.h"

#include <cjson/cJSON.h>
#include <cmath>
#include <memory>
#include <openssl/evp.h>
#include <zlib.h>

namespace cloudsim {

namespace {

// ECB without an IV, CBC with one.
bool AesRun(bool enc, const std::string& key, const Bytes& in, Bytes* out, const std::string* iv = nullptr)
{
    if (key.size() != 16 || (iv != nullptr && iv->size() != 16)) {
        return false;
    }
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    out->assign(in.size() + 16, '\0');
    int n1 = 0;
    int n2 = 0;
    auto* o = reinterpret_cast<unsigned char*>(out->data());
    if (EVP_CipherInit_ex(ctx.get(), iv != nullptr ? EVP_aes_128_cbc() : EVP_aes_128_ecb(), nullptr,
                          reinterpret_cast<const unsigned char*>(key.data()),
                          iv != nullptr ? reinterpret_cast<const unsigned char*>(iv->data()) : nullptr,
                          enc ? 1 : 0) != 1 ||
        EVP_CipherUpdate(ctx.get(), o, &n1, reinterpret_cast<const unsigned char*>(in.data()),
                         static_cast<int>(in.size())) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), o + n1, &n2) != 1) {
        return false;
    }
    out->resize(static_cast<size_t>(n1 + n2));
    return true;
}

}  // namespace

Bytes AesEncrypt(const std::string& key, const Bytes& plain)
{
    Bytes out;
    AesRun(true, key, plain, &out);
    return out;
}

bool AesDecrypt(const std::string& key, const Bytes& cipher, Bytes* plain, std::string* why)
{
    if (cipher.empty() || cipher.size() % 16 != 0) {
        *why = "ciphertext length " + std::to_string(cipher.size()) + " not a multiple of 16";
        return false;
    }
    if (!AesRun(false, key, cipher, plain)) {
        *why = "bad padding";
        return false;
    }
    return true;
}

bool AesCbcDecrypt(const std::string& key, const std::string& iv, const Bytes& cipher, Bytes* plain)
{
    return !cipher.empty() && cipher.size() % 16 == 0 && AesRun(false, key, cipher, plain, &iv);
}

Bytes AesCbcEncrypt(const std::string& key, const std::string& iv, const Bytes& plain)
{
    Bytes out;
    return AesRun(true, key, plain, &out, &iv) ? out : Bytes();
}

std::string Md5Hex(const std::string& text)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(text.data(), text.size(), md, &n, EVP_md5(), nullptr);
    return HexLower(Bytes(reinterpret_cast<char*>(md), n));
}

namespace {
std::string Hex(const Bytes& b, const char* digits)
{
    std::string out;
    out.reserve(b.size() * 2);
    for (unsigned char c : b) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}
}  // namespace

std::string HexUpper(const Bytes& b)
{
    return Hex(b, "0123456789ABCDEF");
}

std::string HexLower(const Bytes& b)
{
    return Hex(b, "0123456789abcdef");
}

bool FromHex(const std::string& hex, Bytes* out)
{
    out->clear();
    std::string digits;
    for (char c : hex) {
        if (c == ' ' || c == ':' || c == '\t') {
            continue;
        }
        if (!isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
        digits += c;
    }
    if (digits.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < digits.size(); i += 2) {
        out->push_back(static_cast<char>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return true;
}

std::string Base64(const Bytes& b)
{
    std::string out(4 * ((b.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(b.data()), static_cast<int>(b.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

bool FromBase64(const std::string& text, Bytes* out)
{
    if (text.empty() || text.size() % 4 != 0) {
        return false;
    }
    out->assign(text.size() / 4 * 3 + 1, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out->data()),
                            reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) {
        return false;
    }
    size_t pad = 0;
    if (text[text.size() - 1] == '=') {
        ++pad;
    }
    if (text[text.size() - 2] == '=') {
        ++pad;
    }
    out->resize(static_cast<size_t>(n) - pad);
    return true;
}

uint32_t Crc32(const Bytes& b)
{
    return static_cast<uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(b.data()), static_cast<uInt>(b.size())));
}

namespace {
void PutBe32(Bytes* out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        out->push_back(static_cast<char>((v >> shift) & 0xFF));
    }
}
uint32_t GetBe32(const Bytes& b, size_t at)
{
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i) {
        v = (v << 8) | static_cast<unsigned char>(b[at + i]);
    }
    return v;
}
const std::string kVersion = "2.2";
}  // namespace

Bytes EnvelopeEncode(const std::string& key, uint32_t seq, const std::string& json)
{
    Bytes body;
    PutBe32(&body, seq);
    body += AesEncrypt(key, json);
    Bytes out = kVersion;
    PutBe32(&out, Crc32(body));
    return out + body;
}

bool EnvelopeDecode(const std::string& key, const Bytes& payload, Envelope* env, std::string* why)
{
    if (payload.size() < 3 + 4 + 4 + 16) {
        *why = "too short (" + std::to_string(payload.size()) + " bytes)";
        return false;
    }
    if (payload.compare(0, 3, kVersion) != 0) {
        *why = "version \"" + HexUpper(payload.substr(0, 3)) + "\" is not 2.2";
        return false;
    }
    uint32_t crc = GetBe32(payload, 3);
    uint32_t want = Crc32(payload.substr(7));
    if (crc != want) {
        char buf[64];
        snprintf(buf, sizeof(buf), "CRC %08X, computed %08X", crc, want);
        *why = buf;
        return false;
    }
    env->seq = GetBe32(payload, 7);
    Bytes plain;
    if (!AesDecrypt(key, payload.substr(11), &plain, why)) {
        return false;
    }
    env->json = plain;
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> root(cJSON_ParseWithLength(plain.data(), plain.size()),
                                                         cJSON_Delete);
    if (!root || !cJSON_IsObject(root.get())) {
        *why = "not a JSON object";
        return false;
    }
    cJSON* p = cJSON_GetObjectItemCaseSensitive(root.get(), "protocol");
    if (!cJSON_IsNumber(p) || p->valuedouble != std::floor(p->valuedouble)) {
        *why = "no integer \"protocol\"";
        return false;
    }
    env->protocol = p->valueint;
    cJSON* d = cJSON_GetObjectItemCaseSensitive(root.get(), "data");
    if (d == nullptr || cJSON_IsNull(d) || cJSON_IsInvalid(d)) {
        *why = "no \"data\"";
        return false;
    }
    return true;
}

}  // namespace cloudsim
