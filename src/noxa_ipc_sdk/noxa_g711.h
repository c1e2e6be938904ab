// G.711 A-law and mu-law at 8 kHz: talk-back from the phone and the viewers' audio.
#pragma once

#include <cstdint>

// Codec type argument: 0 is A-law, any other value mu-law.
#define NOXA_G711_ALAW 0
#define NOXA_G711_ULAW 1

// in_bytes / 2 samples to as many bytes; *out_len = in_bytes / 2. -1 for a NULL pointer.
int noxa_g711_encode(int type, const int16_t* pcm, int in_bytes, uint8_t* out, uint32_t* out_len);
// 16 kHz input, every other sample kept (no filter); *out_len = in_bytes / 4.
int noxa_g711_encode_16K(int type, const int16_t* pcm, int in_bytes, uint8_t* out, uint32_t* out_len);
// n bytes to n samples; *out_len = 2n (bytes). -1 for a NULL pointer.
int noxa_g711_decode(int type, const uint8_t* in, int n, int16_t* pcm, uint32_t* out_len);
// 8 kHz to 16 kHz by repeating each sample; *out_len = 4n (bytes).
int noxa_pcm_upsample_2x(const int16_t* in, int n, int16_t* out, uint32_t* out_len);
