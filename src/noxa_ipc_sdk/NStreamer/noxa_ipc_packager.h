// The packager of the gateway stream: one instance under its own lock, with an operation that no
// stream format uses yet (the streamer holds it and does not call it).
#pragma once

#include <cstdint>

typedef struct {
    int (*Pack)(void);  // -3: nothing to pack with
} NOXA_PACKAGER_OPS_S;

struct NOXA_PACKAGER_S {
    uint32_t inited;
    uint32_t arg0;  // as the first caller gave them
    uint32_t arg1;
    NOXA_PACKAGER_OPS_S ops;
};

// The packager; the first call keeps its two values.
NOXA_PACKAGER_S* GetPackagerInstance(uint32_t arg0, uint32_t arg1);
