#pragma once

// The test certificate authority and the server certificate it signs, both generated at build
// time (testing/CMakeLists.txt). Clients under test trust testCaFile(); HttpsServer presents
// the server certificate, valid for 127.0.0.1 and localhost.

#include <filesystem>

#ifndef KORVANE_TEST_CERT_DIR
#error "KORVANE_TEST_CERT_DIR comes with linking korvane_testing"
#endif

namespace korvane::testing {

inline std::filesystem::path testCertificateDir() { return KORVANE_TEST_CERT_DIR; }
inline std::filesystem::path testCaFile() { return testCertificateDir() / "ca.pem"; }
inline std::filesystem::path testServerCertFile() { return testCertificateDir() / "server.pem"; }
inline std::filesystem::path testServerKeyFile() { return testCertificateDir() / "server.key"; }

} // namespace korvane::testing
