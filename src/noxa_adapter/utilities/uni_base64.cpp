#include "noxa_adapter/utilities/uni_base64.h"

#include <cstddef>
#include <limits>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

uint8_t __sextet(char c)
{
    if (c >= 'A' && c <= 'Z') {
        return static_cast<uint8_t>(c - 'A');
    }
    if (c >= 'a' && c <= 'z') {
        return static_cast<uint8_t>(c - 'a' + 26);
    }
    if (c >= '0' && c <= '9') {
        return static_cast<uint8_t>(c - '0' + 52);
    }
    if (c == '+') {
        return 62;
    }
    return 63;  // '/' and anything outside the alphabet
}

}  // namespace

char* uni_base64_encode(const uint8_t* data, int len, char* out)
{
    if (out == nullptr) {
        return nullptr;
    }
    size_t o = 0;
    for (int i = 0; data != nullptr && i < len; i += 3) {
        uint32_t v = static_cast<uint32_t>(data[i]) << 16;
        if (i + 1 < len) {
            v |= static_cast<uint32_t>(data[i + 1]) << 8;
        }
        if (i + 2 < len) {
            v |= data[i + 2];
        }
        out[o++] = kAlphabet[(v >> 18) & 0x3F];
        out[o++] = kAlphabet[(v >> 12) & 0x3F];
        out[o++] = i + 1 < len ? kAlphabet[(v >> 6) & 0x3F] : '=';
        out[o++] = i + 2 < len ? kAlphabet[v & 0x3F] : '=';
    }
    out[o] = '\0';
    return out;
}

int uni_base64_decode_n(const char* text, uint8_t* out, uint32_t out_size)
{
    if (text == nullptr) {
        return -1;
    }
    if (out == nullptr) {
        out_size = 0;  // fine for a text that decodes to nothing
    }
    uint32_t o = 0;
    for (size_t i = 0;; i += 4) {
        // A group that the text's end cuts short is dropped, never read past the NUL.
        if (text[i] == '\0' || text[i + 1] == '\0' || text[i + 2] == '\0' || text[i + 3] == '\0') {
            break;
        }
        uint32_t v = (static_cast<uint32_t>(__sextet(text[i])) << 18) |
                     (static_cast<uint32_t>(__sextet(text[i + 1])) << 12);
        int n = 1;
        if (text[i + 2] != '=') {
            v |= static_cast<uint32_t>(__sextet(text[i + 2])) << 6;
            n = 2;
            if (text[i + 3] != '=') {
                v |= __sextet(text[i + 3]);
                n = 3;
            }
        }
        for (int k = 0; k < n; ++k) {
            if (o >= out_size) {
                return -1;
            }
            out[o++] = static_cast<uint8_t>(v >> (16 - 8 * k));
        }
        if (n < 3) {
            break;  // padding ends the text
        }
    }
    return static_cast<int>(o);
}

int uni_base64_decode(const char* text, uint8_t* out)
{
    return uni_base64_decode_n(text, out, std::numeric_limits<int32_t>::max());
}
