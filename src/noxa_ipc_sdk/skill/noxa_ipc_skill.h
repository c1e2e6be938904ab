// The skill table: each media module records what it can do when it starts; the skills upload
// renders the table into the text the cloud learns the camera's capabilities from.
#pragma once

#include <cstddef>
#include <cstdint>

typedef enum {
    NOXA_SKILL_CLOUD_STORAGE = 0,
    NOXA_SKILL_WEBRTC = 1,
    NOXA_SKILL_LOW_POWER = 2,
    NOXA_SKILL_AI_DETECT = 3,
    NOXA_SKILL_LOCAL_STORAGE = 4,
    NOXA_SKILL_CLOUD_GW = 5,
    NOXA_SKILL_CLOUD_GW_INFO = 6,  // a text, appended to the upload as it stands
    NOXA_SKILL_DOORBELL_STORAGE = 7,
    NOXA_SKILL_P2P = 8,
    NOXA_SKILL_PX = 9,
    NOXA_SKILL_NUM = 10,
} NOXA_SKILL_ID_E;

#define NOXA_SKILL_TEXT_MAX 512

// Ids 0-5 and 7-9 store the 32-bit word `value` points to; id 6 copies at most 512 characters
// of the text. A null value changes nothing; an unknown id is logged. Always 0.
int noxa_ipc_skill_enable(int id, const void* value);

// What the upload renders: the word of a word skill (0 for id 6 and unknown ids), and the text
// of id 6 copied into buf (at most size - 1 characters); its length.
int32_t noxa_ipc_skill_value(int id);
size_t noxa_ipc_skill_text(char* buf, size_t size);
