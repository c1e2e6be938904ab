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
// The rendered text, with its NUL, stays below this.
#define NOXA_SKILL_BUF_LEN 1024
#define NOXA_SKILL_SDK_VERSION "4.8.10"

// Ids 0-5 and 7-9 store the 32-bit word `value` points to; id 6 copies at most 512 characters
// of the text. 0; -2 for a null value (nothing changes); an unknown id is logged and answered 0.
int noxa_ipc_skill_enable(int id, const void* value);

// What the upload renders: the word of a word skill (0 for id 6 and unknown ids), and the text
// of id 6 copied into buf (at most size - 1 characters); its length.
int32_t noxa_ipc_skill_value(int id);
size_t noxa_ipc_skill_text(char* buf, size_t size);

// The skill text as it travels inside the JSON string of the upload's body: {\"sdk_version\":
// \"4.8.10\", the non-zero skills in a fixed order, \"video_num\" (video channels of the ring
// buffer), then "," and the id-6 text with its quotes and backslashes escaped}. 0 with the text
// in buf (NOXA_SKILL_BUF_LEN bytes); -2 when a piece would bring it to 1,024 characters or more
// ("skill buf is not enough").
int noxa_ipc_skill_render(char buf[NOXA_SKILL_BUF_LEN]);
// Renders and posts the text ("noxa.device.skill.update"). 0; -2 when it does not fit (nothing
// is posted); else the cloud call's result.
int noxa_ipc_upload_skills(void);
