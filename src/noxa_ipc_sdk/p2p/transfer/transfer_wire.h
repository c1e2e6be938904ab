// The viewers' transport on the simulated board: one TCP connection per viewer to 127.0.0.1 on
// the port written in "<root>/.board/p2p.port". Every record is a 12-byte head of three
// little-endian u32 (kind, client, payload length) and the payload; payload words are
// little-endian too. docs/viewers.md lists the same table.
#pragma once

#include <stdint.h>

#define P2P_WIRE_HEAD_SIZE 12
#define P2P_WIRE_PAYLOAD_MAX (1024 * 1024)

// Viewer to unit.
#define P2P_WIRE_HELLO 1   // u32 quality (0 or 1; 0xFFFFFFFF: the unit's default), the 32-byte proof
#define P2P_WIRE_EVENT 3   // u32 event code, u32 word count (at most 16), the words; the unit puts
                           // the client into word 0 of every event but 4 and 5 (clarity set, query)
#define P2P_WIRE_TALK 5    // G.711 bytes in the talk-back format of the welcome
#define P2P_WIRE_BYE 7     // no payload

// Unit to viewer.
#define P2P_WIRE_WELCOME 2   // P2P_WIRE_WELCOME_WORDS u32, below
#define P2P_WIRE_REFUSED 4   // u32 reason (P2P_REFUSED_*); the unit closes
#define P2P_WIRE_ANSWER 6    // u32 event code, u32 callback result, u32 word count, the words
#define P2P_WIRE_LIVE_VIDEO 10   // u32 channel, u32 codec, u32 frame type, u64 pts, u64 ms; the bytes
#define P2P_WIRE_LIVE_AUDIO 11   // u32 codec, u64 pts, u64 ms; the bytes
#define P2P_WIRE_PB_VIDEO 12     // u32 codec, u32 frame type, u64 ms; the bytes
#define P2P_WIRE_PB_AUDIO 13     // u32 codec, u32 rate, u32 bits, u32 channels, u64 ms; the bytes
#define P2P_WIRE_PB_FINISH 14    // no payload
#define P2P_WIRE_PB_FRAGMENT_END 15  // u32 start, u32 end (s since 1970)
#define P2P_WIRE_DL_DATA 16      // 24-byte head (u32 type, u32 size, u64 ms, u64 pts); the bytes
#define P2P_WIRE_DL_STATUS 17    // u32 status (100: finished)
#define P2P_WIRE_CHALLENGE 18    // 16 random bytes; the first record on every connection, client 0
#define P2P_WIRE_PB_DAY_LIST 19  // u32 count, then u32 type, start, end (s since 1970) per recording

// The viewer proves that it is the owner's: its hello carries HMAC-SHA256, keyed by the device's
// local key (the text as the cloud hands it out), over the challenge's 16 bytes followed by the
// client number as a little-endian u32.
#define P2P_WIRE_CHALLENGE_SIZE 16
#define P2P_WIRE_PROOF_SIZE 32
#define P2P_WIRE_HELLO_SIZE (4 + P2P_WIRE_PROOF_SIZE)

// Reasons of a refusal.
#define P2P_REFUSED_CLIENT 1      // client number outside the count
#define P2P_REFUSED_BUSY 2        // client already connected
#define P2P_REFUSED_NO_HELLO 3    // another record first, or no whole hello within 2 s
#define P2P_REFUSED_PROOF 4       // the hello's proof missing or wrong
#define P2P_REFUSED_NO_KEY 5      // the unit has no local key (not activated, or reset)
#define P2P_REFUSED_HELLO_SIZE 6  // a hello of another length
#define P2P_REFUSED_TOO_LARGE 7   // a record above the bound after the hello

// Welcome words: quality, channel, video codec, width, height, fps of the channel; live audio
// codec, rate; talk-back codec, rate, bits, channel code (0 mono); client count.
#define P2P_WIRE_WELCOME_WORDS 13

// Codec codes on the wire.
#define P2P_WIRE_CODEC_H264 1
#define P2P_WIRE_CODEC_H265 2
#define P2P_WIRE_CODEC_PCM16 10
#define P2P_WIRE_CODEC_G711U 11
#define P2P_WIRE_CODEC_G711A 12
#define P2P_WIRE_CODEC_UNKNOWN 0
