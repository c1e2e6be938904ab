// The viewer's talk-back voice: mu-law to PCM, piece by piece, onto the speaker.
#include "TalkBack.h"

#include "AppLog.h"
#include "Media/AudioPlayback.h"
#include "noxa_ipc_sdk/noxa_g711.h"

#include <algorithm>
#include <cstdio>

namespace {
constexpr int kG711MuLaw = 1;
}

int IPC_APP_play_talk_audio(const uint8_t* data, uint32_t size, uint32_t, uint32_t, uint32_t)
{
    if (data == nullptr) {
        return -1;
    }
    int16_t pcm[kTalkPieceBytes];
    // The viewer decides the frame length; the buffer holds one piece, so a longer frame is
    // played as several.
    for (uint32_t done = 0; done < size;) {
        const uint32_t n = std::min(size - done, kTalkPieceBytes);
        uint32_t outLen = 0;
        if (noxa_g711_decode(kG711MuLaw, data + done, static_cast<int>(n), pcm, &outLen) != 0) {
            return -1;
        }
        SendFrameToAo(reinterpret_cast<uint8_t*>(pcm), outLen);
        done += n;
    }
    return 0;
}

void IPC_APP_speaker_enable_print(int on)
{
    std::printf("enable speaker %d\n", on);
    std::fflush(stdout);
}
