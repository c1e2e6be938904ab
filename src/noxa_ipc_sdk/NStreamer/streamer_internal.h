// Inside of the streamer: its one instance, shared by the streaming thread
// (noxa_ipc_streamer.cpp) and the operations and requests (streamer_ops.cpp).
#pragma once

#include "noxa_ipc_streamer.h"

#include <cstddef>

namespace nstream {

NSTREAMER_S& St();
// A text cut to its field (size with the NUL).
void Copy(char* dst, size_t size, const char* src);
// The operation table, in slot order.
NSTREAMER_OPS_S Ops();

}  // namespace nstream
