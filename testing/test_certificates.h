#pragma once

// The test certificate authority and the server certificate it signs, both generated at build
// time (cmake/TestCertificates.cmake). Clients under test trust testCaFile(); HttpsServer presents
// the server certificate, valid for 127.0.0.1 and localhost, or one of two that a client must
// refuse.

#include <filesystem>

#ifndef KORVANE_TEST_CERT_DIR
#error "KORVANE_TEST_CERT_DIR comes with linking korvane_testing"
#endif

namespace korvane::testing {

inline std::filesystem::path testCertificateDir() { return KORVANE_TEST_CERT_DIR; }
inline std::filesystem::path testCaFile() { return testCertificateDir() / "ca.pem"; }
inline std::filesystem::path testServerCertFile() { return testCertificateDir() / "server.pem"; }
inline std::filesystem::path testServerKeyFile() { return testCertificateDir() / "server.key"; }
// Signed by the test authority for the name other.invalid only.
inline std::filesystem::path otherNameCertFile() { return testCertificateDir() / "other-name.pem"; }
inline std::filesystem::path otherNameKeyFile() { return testCertificateDir() / "other-name.key"; }
// Signed by itself, for 127.0.0.1 and localhost.
inline std::filesystem::path selfSignedCertFile() { return testCertificateDir() / "self-signed.pem"; }
inline std::filesystem::path selfSignedKeyFile() { return testCertificateDir() / "self-signed.key"; }

} // namespace korvane::testing
