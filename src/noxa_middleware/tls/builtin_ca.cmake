# The built-in CA certificate of the TLS wrapper: one file (DER, or PEM) that a product build
# names with NOXA_TLS_CA_FILE. Without one, the build makes a test certificate authority of its
# own in <build>/res/tls (certificate and key stay in the build folder, never in the sources);
# the tests sign their loopback servers' certificates with that key.
set(NOXA_TLS_CA_FILE "" CACHE FILEPATH "Built-in CA certificate of the TLS wrapper (DER or PEM); empty: a test CA made by the build")
set(NOXA_TLS_TEST_CA_DIR ${PROJECT_BINARY_DIR}/res/tls)

if(NOXA_TLS_CA_FILE)
  set(noxa_tls_ca ${NOXA_TLS_CA_FILE})
else()
  find_program(OPENSSL_TOOL openssl REQUIRED)
  set(noxa_tls_ca ${NOXA_TLS_TEST_CA_DIR}/test_ca.der)
  add_custom_command(
    OUTPUT ${noxa_tls_ca} ${NOXA_TLS_TEST_CA_DIR}/test_ca.key
    COMMAND ${CMAKE_COMMAND} -E make_directory ${NOXA_TLS_TEST_CA_DIR}
    COMMAND ${OPENSSL_TOOL} req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650
            -subj "/O=Noxa Test/CN=Noxa Test Root CA"
            -addext "basicConstraints=critical,CA:TRUE"
            -addext "keyUsage=critical,keyCertSign,cRLSign"
            -keyout ${NOXA_TLS_TEST_CA_DIR}/test_ca.key -outform DER -out ${noxa_tls_ca}
    COMMENT "Making the test CA of the TLS wrapper"
    VERBATIM)
endif()

set(noxa_tls_ca_src ${CMAKE_CURRENT_BINARY_DIR}/noxa_tls_builtin_ca.cpp)
add_custom_command(
  OUTPUT ${noxa_tls_ca_src}
  COMMAND ${CMAKE_COMMAND} -DIN=${noxa_tls_ca} -DOUT=${noxa_tls_ca_src}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/tls/embed_ca.cmake
  DEPENDS ${noxa_tls_ca} ${CMAKE_CURRENT_SOURCE_DIR}/tls/embed_ca.cmake
  VERBATIM)
target_sources(noxa_middleware PRIVATE ${noxa_tls_ca_src})
