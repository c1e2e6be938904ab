// An independent writer and reader of the key-value database files, for the engine's tests:
// packed structs (this host is little-endian, as the files are), OpenSSL's AES-128-ECB with its
// own PKCS#7 padding and zlib's CRC-32. Shares no code with the engine.
#pragma once

#include <openssl/evp.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace golden {

constexpr uint32_t kMagic = 0x55AA55AA;
constexpr uint32_t kHdSize = 28700;

#pragma pack(push, 1)
struct Rec {
    uint32_t valid;
    char key[36];
    uint32_t size;
    uint32_t start;
    uint16_t datalen;
    uint16_t unused;
    uint32_t crc32;
};
struct Fixed {
    uint32_t crc32;
    uint32_t version;
    uint32_t wr_count;
    uint32_t data_hd_size;
    uint32_t magic;
    uint32_t mag_rec_max;
    uint32_t mag_rec_cnt;
};
#pragma pack(pop)
static_assert(sizeof(Rec) == 56 && sizeof(Fixed) == 28, "file layout");

inline uint32_t Crc(const uint8_t* p, size_t n)
{
    return static_cast<uint32_t>(crc32(0L, p, static_cast<uInt>(n)));
}

inline std::vector<uint8_t> Ecb(const uint8_t key[16], const std::vector<uint8_t>& in, bool encrypt)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    std::vector<uint8_t> out(in.size() + 16);
    int n = 0;
    int tail = 0;
    bool ok = EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key, nullptr, encrypt ? 1 : 0) == 1 &&
              EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size())) == 1 &&
              EVP_CipherFinal_ex(ctx, out.data() + n, &tail) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) {
        throw std::runtime_error("openssl ecb");
    }
    out.resize(static_cast<size_t>(n + tail));
    return out;
}

inline std::vector<uint8_t> Bytes(const std::string& s)
{
    return std::vector<uint8_t>(s.begin(), s.end());
}

// The key file: position j holds k[((j + 8) mod 16) XOR 1].
inline std::vector<uint8_t> KeyFile(const uint8_t key[16])
{
    std::vector<uint8_t> out(16);
    for (int j = 0; j < 16; ++j) {
        out[j] = key[((j + 8) % 16) ^ 1];
    }
    return out;
}

struct Entry {
    std::string key;
    std::string value;
    bool valid = true;
    uint32_t extra = 68;  // reserved beyond the stored length, as the engine reserves
};

// A data file of any layout: version 2 values encrypted, older ones in the clear; starts are
// offsets in this file (values right behind a header of hdSize bytes).
inline std::vector<uint8_t> BuildFile(uint32_t version, uint32_t hdSize, const std::vector<Entry>& entries,
                                      const uint8_t key[16], uint32_t wrCount = 7)
{
    std::vector<uint8_t> file(hdSize, 0);
    Fixed fx{0, version, wrCount, hdSize, kMagic, 512, static_cast<uint32_t>(entries.size())};
    uint32_t at = hdSize;
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        std::vector<uint8_t> stored = version == 2 ? Ecb(key, Bytes(e.value), true) : Bytes(e.value);
        Rec r{};
        r.valid = e.valid ? 1 : 0;
        strncpy(r.key, e.key.c_str(), 33);
        r.datalen = static_cast<uint16_t>(stored.size());
        r.size = static_cast<uint32_t>((stored.size() + e.extra) & ~3u);
        r.start = at;
        r.crc32 = Crc(stored.data(), stored.size());
        stored.resize(r.size, 0);
        file.insert(file.end(), stored.begin(), stored.end());
        at += r.size;
        memcpy(file.data() + 28 + 56 * i, &r, sizeof(r));
    }
    memcpy(file.data(), &fx, sizeof(fx));
    uint32_t range = (56 * fx.mag_rec_cnt + 24) & 0xFFF8;
    fx.crc32 = Crc(file.data() + 4, range);
    memcpy(file.data(), &fx, sizeof(fx));
    return file;
}

struct Parsed {
    Fixed fx{};
    std::vector<Rec> recs;
    bool crcOk = false;
};

inline Parsed Parse(const std::vector<uint8_t>& file)
{
    Parsed p;
    if (file.size() < sizeof(Fixed)) {
        return p;
    }
    memcpy(&p.fx, file.data(), sizeof(p.fx));
    for (uint32_t i = 0; i < p.fx.mag_rec_cnt && 28 + 56 * (i + 1) <= file.size(); ++i) {
        Rec r;
        memcpy(&r, file.data() + 28 + 56 * i, sizeof(r));
        p.recs.push_back(r);
    }
    uint32_t range = (56 * p.fx.mag_rec_cnt + 24) & 0xFFF8;
    p.crcOk = 4 + range <= file.size() && Crc(file.data() + 4, range) == p.fx.crc32;
    return p;
}

// The value of a slot in use, decrypted and unpadded by OpenSSL.
inline std::string Value(const std::vector<uint8_t>& file, const Rec& r, const uint8_t key[16])
{
    std::vector<uint8_t> stored(file.begin() + r.start, file.begin() + r.start + r.datalen);
    std::vector<uint8_t> plain = Ecb(key, stored, false);
    return std::string(plain.begin(), plain.end());
}

}  // namespace golden
