// Secrets (tokens, local keys, passwords, pass phrases) reach the log only masked: their length
// and their first 4 characters, fewer for a short one (never more than half of it), so a log
// handed over for support cannot be replayed.
#pragma once

#include <cstdio>
#include <cstring>

struct UNI_MASKED_S {
    char text[32];
};

// "EUab***(14)" for "EUabcdefgh1234"; "(null)" for NULL. Use within one expression:
// PR_NOTICE("token:%s", uni_mask_secret(token).text).
inline UNI_MASKED_S uni_mask_secret(const char* secret)
{
    UNI_MASKED_S m = {};
    if (secret == nullptr) {
        std::snprintf(m.text, sizeof(m.text), "(null)");
        return m;
    }
    const size_t len = std::strlen(secret);
    const size_t shown = len / 2 < 4 ? len / 2 : 4;
    std::snprintf(m.text, sizeof(m.text), "%.*s***(%zu)", static_cast<int>(shown), secret, len);
    return m;
}
