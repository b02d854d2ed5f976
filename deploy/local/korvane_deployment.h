#pragma once

// Deployment values of the local build: every service host is a loopback HTTPS server on a
// fixed port, trusted through the test certificate authority shipped in the bundle.

namespace korvane::deployment {

inline constexpr bool kTrustsTestCertificateAuthority = true;

inline constexpr const char* kRemoteConfigurationSources[] = {
    "https://127.0.0.1:18443/RemoteConfig.json",
    "https://127.0.0.1:18443/client/config.json",
};

inline constexpr const char* kApi = "https://127.0.0.1:18444";
inline constexpr const char* kSite = "https://127.0.0.1:18445";
inline constexpr const char* kSupport =
    "https://127.0.0.1:18446/widget?website_token=Kv7Qm2Xp9Rt4Wz6Yb3Nc8Hd1";
inline constexpr const char* kManifest = "https://127.0.0.1:18447/api/macos.json";
inline constexpr const char* kQualityEndpoint = "https://127.0.0.1:18447/api/quality.php";

inline constexpr const char* kProbeA = "https://127.0.0.1:18448/generate_204";
inline constexpr const char* kProbeB = "https://127.0.0.1:18449/generate_204";

} // namespace korvane::deployment
