// The built-in CA certificate: the cloud's root of trust, a build resource (DER, or PEM with a
// NUL behind it), generated into the build from the file the product build names.
#pragma once

#include <cstdint>

extern const unsigned char g_noxa_tls_builtin_ca[];
// Bytes of the certificate, the NUL behind it not counted.
extern const uint32_t g_noxa_tls_builtin_ca_len;
