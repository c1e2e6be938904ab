// String helpers of the cloud side.
#pragma once

#include <cstddef>
#include <cstdint>

// ASCII case-insensitive (only 'A'..'Z' fold) over at most n characters: 0 when the pointers
// are equal, when n characters match or when both texts end together; else the difference of
// the first differing folded characters.
int uni_strncasecmp(const char* s1, const char* s2, size_t n);
// -1, 0 or 1 by the first differing byte.
int uni_strcmp(const char* s1, const char* s2);
// '0'..'9', 'a'..'f', 'A'..'F' to 0..15; 0 for anything else.
uint8_t uni_hexchar_to_nibble(char c);
// Two uppercase hex digits per byte, NUL-terminated (out holds 2 x count + 1); count < 1 gives "".
void uni_bytes_to_hexstr(char* out, const uint8_t* bytes, int count);
// Index of the last ch at or before position strlen - 1 - skip; -1 for null or skip >= strlen;
// -2 when there is none.
int uni_str_find_char_rev(const char* str, uint32_t skip, char ch);
// A Malloc'd copy (give back with Free); null for null.
char* uni_strdup(const char* str);
// 1 for a version number: digits in 1 to 6 parts of at most 8 digits each, joined by single dots,
// at most 20 characters; else 0.
int uni_check_version_str(const char* ver);
