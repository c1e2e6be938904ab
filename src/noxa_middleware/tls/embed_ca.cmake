# cmake -DIN=<certificate> -DOUT=<source> -P embed_ca.cmake: the certificate as read-only data of
# the TLS wrapper, with a NUL behind it so that a PEM text parses as it is.
file(READ ${IN} hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR len "${digits} / 2")
if(len EQUAL 0)
  message(FATAL_ERROR "empty CA certificate ${IN}")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REPEAT "0x[0-9a-f][0-9a-f]," 16 row)
string(REGEX REPLACE "(${row})" "\\1\n    " bytes "${bytes}")
file(WRITE ${OUT}
  "// Generated from ${IN}; do not edit.\n"
  "#include \"noxa_middleware/tls/noxa_tls_ca.h\"\n\n"
  "const unsigned char g_noxa_tls_builtin_ca[] = {\n    ${bytes}0x00};\n"
  "const uint32_t g_noxa_tls_builtin_ca_len = ${len};\n")
