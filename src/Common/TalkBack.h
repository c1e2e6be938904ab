// The viewer's voice on the unit's speaker: G.711 mu-law from the transfer module, decoded and
// played on the audio output.
#pragma once

#include <cstdint>

// G.711 bytes decoded per piece: the PCM buffer holds 1320 bytes.
constexpr uint32_t kTalkPieceBytes = 660;

// Plays `size` mu-law bytes at `data` (8000 Hz, 16 bits, mono as the viewer sends them); a frame
// longer than a piece is decoded and played piece by piece. 0, or -1 for a NULL frame.
int IPC_APP_play_talk_audio(const uint8_t* data, uint32_t size, uint32_t sampleRate, uint32_t bits,
                            uint32_t channel);
// The speaker print of the talk start and stop.
void IPC_APP_speaker_enable_print(int on);
