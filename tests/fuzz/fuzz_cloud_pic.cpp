// The picture decryption over arbitrary bytes: a header, length or padding that is not right is
// refused, and what is accepted re-encrypts under its own IV to the very input.
#include "noxa_adapter/utilities/uni_aes.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_pic.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

const char kKey[] = "Fz7QzRm2PwTk9VbN";

void Check(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An exact-size block, so a read past the input shows.
    std::unique_ptr<uint8_t[]> in(new uint8_t[size]);
    memcpy(in.get(), data, size);
    uint8_t* out = nullptr;
    uint32_t outLen = 0;
    int ret = cloud_decrypt_pic_with_random_iv(in.get(), static_cast<uint32_t>(size), &out, &outLen, kKey);
    if (ret != 0) {
        Check(out == nullptr);
        return 0;
    }
    Check(out != nullptr && outLen + CLOUD_PIC_HEAD_LEN < size);
    // CBC again under the header's IV: the ciphertext comes back byte for byte.
    uint32_t cipherLen = static_cast<uint32_t>(size) - CLOUD_PIC_HEAD_LEN;
    std::unique_ptr<uint8_t[]> plain(new uint8_t[cipherLen]);
    memcpy(plain.get(), out, outLen);
    memset(plain.get() + outLen, static_cast<int>(cipherLen - outLen), cipherLen - outLen);
    std::unique_ptr<uint8_t[]> again(new uint8_t[cipherLen]);
    uint8_t iv[16];
    memcpy(iv, in.get() + 8, 16);
    Check(uni_aes128_cbc_encrypt(plain.get(), cipherLen, reinterpret_cast<const uint8_t*>(kKey), iv, again.get()) == 0);
    Check(memcmp(again.get(), in.get() + CLOUD_PIC_HEAD_LEN, cipherLen) == 0);
    free(out);
    return 0;
}
