// The Base64 decoder over arbitrary texts into exact-size buffers, and encode/decode round trips.
#include "noxa_adapter/utilities/uni_base64.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace {

void Check(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The input as a text, cut at its first NUL, in a block of exactly its length + 1.
    std::string s(reinterpret_cast<const char*>(data), size);
    size_t textLen = strlen(s.c_str());
    std::unique_ptr<char[]> text(new char[textLen + 1]);
    memcpy(text.get(), s.c_str(), textLen + 1);

    // The documented room: 3 bytes per whole group.
    size_t room = 3 * (textLen / 4);
    std::unique_ptr<uint8_t[]> out(new uint8_t[room]);
    int n = uni_base64_decode(text.get(), out.get());
    Check(n >= 0 && static_cast<size_t>(n) <= room);

    // The bounded form agrees when the room suffices, and refuses when it does not.
    uint32_t small = size != 0 ? data[0] % 8 : 0;
    std::unique_ptr<uint8_t[]> outSmall(new uint8_t[small]);
    int m = uni_base64_decode_n(text.get(), outSmall.get(), small);
    if (static_cast<uint32_t>(n) <= small) {
        Check(m == n && (n == 0 || memcmp(outSmall.get(), out.get(), static_cast<size_t>(n)) == 0));
    } else {
        Check(m == -1);
    }

    // Any bytes survive encode and decode.
    size_t encLen = 4 * ((size + 2) / 3);
    std::unique_ptr<char[]> enc(new char[encLen + 1]);
    uni_base64_encode(data, static_cast<int>(size), enc.get());
    Check(strlen(enc.get()) == encLen);
    std::unique_ptr<uint8_t[]> dec(new uint8_t[size]);
    Check(uni_base64_decode_n(enc.get(), dec.get(), static_cast<uint32_t>(size)) == static_cast<int>(size));
    Check(size == 0 || memcmp(dec.get(), data, size) == 0);
    return 0;
}
