#include "noxa_adapter/utilities/uni_string.h"

#include "noxa_adapter/utilities/mem_pool.h"

#include <cstring>

namespace {

constexpr size_t kVersionMaxLen = 20;
constexpr int kVersionMaxDigits = 8;
constexpr int kVersionMaxDots = 5;

int __fold(char c)
{
    auto u = static_cast<unsigned char>(c);
    return u >= 'A' && u <= 'Z' ? u + ('a' - 'A') : u;
}

}  // namespace

int uni_strncasecmp(const char* s1, const char* s2, size_t n)
{
    if (s1 == s2) {
        return 0;
    }
    if (s1 == nullptr || s2 == nullptr) {
        return s1 == nullptr ? -1 : 1;
    }
    for (size_t i = 0; i < n; ++i) {
        int a = __fold(s1[i]);
        int b = __fold(s2[i]);
        if (a != b) {
            return a - b;
        }
        if (a == 0) {
            return 0;
        }
    }
    return 0;
}

int uni_strcmp(const char* s1, const char* s2)
{
    if (s1 == nullptr || s2 == nullptr) {
        return s1 == s2 ? 0 : (s1 == nullptr ? -1 : 1);
    }
    int r = strcmp(s1, s2);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

uint8_t uni_hexchar_to_nibble(char c)
{
    if (c >= '0' && c <= '9') {
        return static_cast<uint8_t>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<uint8_t>(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<uint8_t>(c - 'A' + 10);
    }
    return 0;
}

void uni_bytes_to_hexstr(char* out, const uint8_t* bytes, int count)
{
    static const char kHex[] = "0123456789ABCDEF";
    if (out == nullptr) {
        return;
    }
    int o = 0;
    for (int i = 0; bytes != nullptr && i < count; ++i) {
        out[o++] = kHex[bytes[i] >> 4];
        out[o++] = kHex[bytes[i] & 0x0F];
    }
    out[o] = '\0';
}

int uni_str_find_char_rev(const char* str, uint32_t skip, char ch)
{
    if (str == nullptr) {
        return -1;
    }
    size_t len = strlen(str);
    if (skip >= len) {
        return -1;
    }
    for (size_t i = len - 1 - skip + 1; i-- > 0;) {
        if (str[i] == ch) {
            return static_cast<int>(i);
        }
    }
    return -2;
}

char* uni_strdup(const char* str)
{
    if (str == nullptr) {
        return nullptr;
    }
    size_t len = strlen(str);
    auto* copy = static_cast<char*>(Malloc(len + 1));
    if (copy != nullptr) {
        memcpy(copy, str, len + 1);
    }
    return copy;
}

int uni_check_version_str(const char* ver)
{
    if (ver == nullptr || ver[0] == '\0' || strlen(ver) > kVersionMaxLen) {
        return 0;
    }
    int digits = 0;
    int dots = 0;
    for (const char* p = ver; *p != '\0'; ++p) {
        if (*p >= '0' && *p <= '9') {
            if (++digits > kVersionMaxDigits) {
                return 0;
            }
        } else if (*p == '.') {
            if (digits == 0 || ++dots > kVersionMaxDots) {
                return 0;  // leading, doubled, or a sixth dot
            }
            digits = 0;
        } else {
            return 0;
        }
    }
    return digits != 0 ? 1 : 0;
}
