#include "noxa_ipc_sdk/NStreamer/noxa_ipc_packager.h"

#include <mutex>

namespace {

std::mutex s_lock;
NOXA_PACKAGER_S s_packager;

int Pack(void)
{
    return -3;
}

}  // namespace

NOXA_PACKAGER_S* GetPackagerInstance(uint32_t arg0, uint32_t arg1)
{
    std::lock_guard<std::mutex> lock(s_lock);
    if (s_packager.inited == 0) {
        s_packager.arg0 = arg0;
        s_packager.arg1 = arg1;
        s_packager.ops.Pack = Pack;
        s_packager.inited = 1;
    }
    return &s_packager;
}
