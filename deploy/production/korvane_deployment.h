#pragma once

// Deployment values of the production build: the service's hosts, as shipped to users.
// Addresses use documentation ranges and names under korvane.example.

namespace korvane::deployment {

inline constexpr bool kTrustsTestCertificateAuthority = false;

inline constexpr const char* kRemoteConfigurationSources[] = {
    "https://config.korvane.example/RemoteConfig.json",
    "https://config.korvane.example/client/config.json",
};

inline constexpr const char* kApi = "https://203.0.113.24:8443";
inline constexpr const char* kSite = "https://www.korvane.example";
inline constexpr const char* kSupport =
    "https://support.korvane.example/widget?website_token=Kv7Qm2Xp9Rt4Wz6Yb3Nc8Hd1";
inline constexpr const char* kManifest = "https://update.korvane.example/api/macos.json";
inline constexpr const char* kQualityEndpoint = "https://update.korvane.example/api/quality.php";

// The team of the certificate the client is signed with: an update is installed only when its
// bundle carries the client's identifier and a signature of this team.
inline constexpr const char* kSigningTeam = "Q7KV2M9XRT";

inline constexpr const char* kProbeA = "https://www.gstatic.com/generate_204";
inline constexpr const char* kProbeB = "https://cp.cloudflare.com/generate_204";

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
