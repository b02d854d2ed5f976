# A throw-away certificate authority and a server certificate it signs, made at build time so
# that no private key is ever committed. Tests point libcurl at ca.pem; the loopback test
# servers present server.pem; the local bundle ships ca.pem as Resources/test-ca.pem.
# Targets that use the files depend on korvane_test_certificates.
find_program(KORVANE_OPENSSL_EXECUTABLE openssl REQUIRED)

set(KORVANE_TEST_CERT_DIR "${CMAKE_BINARY_DIR}/testing/certs" CACHE INTERNAL
    "Directory of the build-time test certificate authority and server certificate")
set(cert_dir "${KORVANE_TEST_CERT_DIR}")

# Own openssl configurations, so neither the system's openssl.cnf nor OPENSSL_CONF adds
# extensions. OpenSSL 3 and libcurl insist on the CA being marked as one and on the server
# name being in subjectAltName (the common name is not looked at).
file(CONFIGURE OUTPUT "${cert_dir}/ca.cnf" CONTENT [=[
[req]
prompt = no
distinguished_name = dn
x509_extensions = ca_ext

[dn]
O = Korvane Tests
CN = Korvane Test CA

[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
]=])
file(CONFIGURE OUTPUT "${cert_dir}/server.cnf" CONTENT [=[
[req]
prompt = no
distinguished_name = dn

[dn]
O = Korvane Tests
CN = localhost

[server_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1, DNS:localhost
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
]=])

set(ec_key -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
add_custom_command(
    OUTPUT "${cert_dir}/ca.pem" "${cert_dir}/ca.key" "${cert_dir}/server.pem" "${cert_dir}/server.key"
    COMMAND ${KORVANE_OPENSSL_EXECUTABLE} req -x509 ${ec_key} -sha256 -days 3650
            -config ca.cnf -keyout ca.key -out ca.pem
    COMMAND ${KORVANE_OPENSSL_EXECUTABLE} req -new ${ec_key} -sha256
            -config server.cnf -keyout server.key -out server.csr
    COMMAND ${KORVANE_OPENSSL_EXECUTABLE} x509 -req -in server.csr -sha256 -days 3650
            -CA ca.pem -CAkey ca.key -CAcreateserial -CAserial ca.srl
            -extfile server.cnf -extensions server_ext -out server.pem
    COMMAND ${CMAKE_COMMAND} -E rm -f server.csr ca.srl
    DEPENDS "${cert_dir}/ca.cnf" "${cert_dir}/server.cnf"
    WORKING_DIRECTORY "${cert_dir}"
    COMMENT "Generating the test certificate authority and server certificate"
    VERBATIM
)
add_custom_target(korvane_test_certificates
    DEPENDS "${cert_dir}/ca.pem" "${cert_dir}/ca.key" "${cert_dir}/server.pem" "${cert_dir}/server.key")
