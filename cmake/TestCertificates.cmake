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

# Two certificates a client must refuse: the authority's for another name, and one that
# signs itself.
file(CONFIGURE OUTPUT "${cert_dir}/other-name.cnf" CONTENT [=[
[req]
prompt = no
distinguished_name = dn

[dn]
O = Korvane Tests
CN = other.invalid

[server_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:other.invalid
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
]=])
file(CONFIGURE OUTPUT "${cert_dir}/self-signed.cnf" CONTENT [=[
[req]
prompt = no
distinguished_name = dn
x509_extensions = server_ext

[dn]
O = Korvane Tests
CN = localhost

[server_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1, DNS:localhost
subjectKeyIdentifier = hash
]=])

set(ec_key -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
add_custom_command(
    OUTPUT "${cert_dir}/ca.pem" "${cert_dir}/ca.key" "${cert_dir}/server.pem" "${cert_dir}/server.key"
           "${cert_dir}/other-name.pem" "${cert_dir}/other-name.key"
           "${cert_dir}/self-signed.pem" "${cert_dir}/self-signed.key"
    COMMAND ${KORVANE_OPENSSL_EXECUTABLE} req -x509 ${ec_key} -sha256 -days 3650
            -config ca.cnf -keyout ca.key -out ca.pem
    COMMAND ${KORVANE_OPENSSL_EXECUTABLE} req -new ${ec_key} -sha256
            -config server.cnf -keyout server.key -out server.csr
    COMMAND ${KORVANE_OPENSSL_EXECUTABLE} x509 -req -in server.csr -sha256 -days 3650
            -CA ca.pem -CAkey ca.key -CAcreateserial -CAserial ca.srl
            -extfile server.cnf -extensions server_ext -out server.pem
    COMMAND ${KORVANE_OPENSSL_EXECUTABLE} req -new ${ec_key} -sha256
            -config other-name.cnf -keyout other-name.key -out other-name.csr
    COMMAND ${KORVANE_OPENSSL_EXECUTABLE} x509 -req -in other-name.csr -sha256 -days 3650
            -CA ca.pem -CAkey ca.key -CAcreateserial -CAserial ca.srl
            -extfile other-name.cnf -extensions server_ext -out other-name.pem
    COMMAND ${KORVANE_OPENSSL_EXECUTABLE} req -x509 ${ec_key} -sha256 -days 3650
            -config self-signed.cnf -keyout self-signed.key -out self-signed.pem
    COMMAND ${CMAKE_COMMAND} -E rm -f server.csr other-name.csr ca.srl
    DEPENDS "${cert_dir}/ca.cnf" "${cert_dir}/server.cnf" "${cert_dir}/other-name.cnf"
            "${cert_dir}/self-signed.cnf"
    WORKING_DIRECTORY "${cert_dir}"
    COMMENT "Generating the test certificate authority and server certificate"
    VERBATIM
)
add_custom_target(korvane_test_certificates
    DEPENDS "${cert_dir}/ca.pem" "${cert_dir}/ca.key" "${cert_dir}/server.pem" "${cert_dir}/server.key"
            "${cert_dir}/other-name.pem" "${cert_dir}/self-signed.pem")
