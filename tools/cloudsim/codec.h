// The cloud's side of the wire: AES-128-ECB, MD5 signing, hex and base64, and the MQTT envelope.
// Written on OpenSSL and zlib alone, so a mistake of the unit shows as a refusal here.
#pragma once

#include <cstdint>
#include <string>

namespace cloudsim {

using Bytes = std::string;  // raw bytes

// AES-128-ECB with PKCS#7 under a 16-character key; Decrypt gives false on a bad length or padding.
Bytes AesEncrypt(const std::string& key, const Bytes& plain);
bool AesDecrypt(const std::string& key, const Bytes& cipher, Bytes* plain, std::string* why);
// AES-128-CBC with PKCS#7 under a 16-character key and a 16-byte IV; false on a bad length or
// padding.
bool AesCbcDecrypt(const std::string& key, const std::string& iv, const Bytes& cipher, Bytes* plain);
// The same encrypting; "" for a key or IV of another length.
Bytes AesCbcEncrypt(const std::string& key, const std::string& iv, const Bytes& plain);
std::string Md5Hex(const std::string& text);
std::string HexUpper(const Bytes& b);
std::string HexLower(const Bytes& b);
bool FromHex(const std::string& hex, Bytes* out);
std::string Base64(const Bytes& b);
bool FromBase64(const std::string& text, Bytes* out);
uint32_t Crc32(const Bytes& b);

// "2.2" | CRC-32 (big-endian) over the rest | sequence (big-endian) | AES-128-ECB of the JSON text.
Bytes EnvelopeEncode(const std::string& key, uint32_t seq, const std::string& json);

struct Envelope {
    uint32_t seq = 0;
    std::string json;  // the decrypted text
    int protocol = -1;
};
// Checks in the wire order (length, version, CRC, block size, padding, JSON object, integer
// "protocol", object or value "data"); false with the reason of the first one that fails.
bool EnvelopeDecode(const std::string& key, const Bytes& payload, Envelope* env, std::string* why);

}  // namespace cloudsim
