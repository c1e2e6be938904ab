// Base64 with the standard alphabet and '=' padding.
#pragma once

#include <cstdint>

// Encodes len bytes into out (4 x ceil(len / 3) + 1 bytes), NUL-terminated; returns out. A
// length below 1 gives an empty text.
char* uni_base64_encode(const uint8_t* data, int len, char* out);

// Decodes a NUL-terminated text; returns the decoded length. Groups of four characters; '=' in
// the third or fourth place ends the text; a character outside the alphabet counts as 63. An
// incomplete last group is dropped. out must hold 3 x (strlen(text) / 4) bytes.
int uni_base64_decode(const char* text, uint8_t* out);

// As uni_base64_decode, writing at most out_size bytes; -1 when the decoded bytes would not fit
// (out holds what fitted).
int uni_base64_decode_n(const char* text, uint8_t* out, uint32_t out_size);
