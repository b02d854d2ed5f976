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

// The team whose key signs the test bundles (the stand-in signature check trusts it in tests):
// an update is installed only when its bundle carries the client's identifier and a signature
// of this team.
inline constexpr const char* kSigningTeam = "KVLOCAL001";

inline constexpr const char* kProbeA = "https://127.0.0.1:18448/generate_204";
inline constexpr const char* kProbeB = "https://127.0.0.1:18449/generate_204";

// The platform vendor's services as the smart routing mode sends them direct, in this order: its
// main domain, its China-region domain, its CDN, its media stores' static content, its music
// store, its app store, its cloud service, the cloud's China-region domain and its content domain.
inline constexpr const char* kVendorDirectDomains[] = {
    "apple.com",      "apple.com.cn", "cdn-apple.com", "mzstatic.com",       "itunes.com",
    "apps.apple.com", "icloud.com",   "icloud.com.cn", "icloud-content.com",
};
// The vendor's safe-browsing host, resolved through the two DNS-over-HTTPS resolvers below
// (public resolvers addressed by IPv4, reached through the proxy group).
inline constexpr const char* kVendorSafeBrowsingHost = "safebrowsing.apple";
inline constexpr const char* kDnsOverHttpsResolverAddresses[] = {"1.1.1.1", "8.8.8.8"};

} // namespace korvane::deployment
