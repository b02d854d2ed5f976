#include "pulse/korvane_physical_pulse.h"

#include "platform/route_lookup.h"
#include "pulse/pulse_response_parser.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>

namespace korvane {

namespace {

constexpr std::size_t kMaximumAuthorization = 4096;
constexpr std::size_t kMaximumVersion = 20;
constexpr std::size_t kMaximumRouteHost = 250;
constexpr std::size_t kMaximumInterfaceName = 32;

bool isAsciiAlphanumeric(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// A host name or an IP literal as it can stand in a request head and on a tool's command
// line: letters, digits, ".", "-", "_" and ":" (IPv6), not starting with "-" (an option).
bool isPlainHost(std::string_view host) {
    if (host.empty() || host.front() == '-') return false;
    return std::all_of(host.begin(), host.end(), [](char c) {
        return isAsciiAlphanumeric(c) || c == '.' || c == '-' || c == '_' || c == ':';
    });
}

std::string_view trimLine(std::string_view text) {
    constexpr std::string_view blanks = " \t\r\n\v\f";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

struct UrlHandle {
    CURLU* url = curl_url();
    ~UrlHandle() { curl_url_cleanup(url); }
    UrlHandle() = default;
    UrlHandle(const UrlHandle&) = delete;
    UrlHandle& operator=(const UrlHandle&) = delete;

    // A part's text; none when it is absent.
    std::optional<std::string> part(CURLUPart which) const {
        char* text = nullptr;
        if (curl_url_get(url, which, &text, 0) != CURLUE_OK || !text) return std::nullopt;
        std::string value(text);
        curl_free(text);
        return value;
    }
};

} // namespace

namespace KorvanePhysicalPulse {

std::optional<KorvanePulseEndpoint> endpoint(std::string_view base) {
    if (base.find('\0') != std::string_view::npos) return std::nullopt;
    UrlHandle parsed;
    if (!parsed.url || curl_url_set(parsed.url, CURLUPART_URL, std::string(base).c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    // The parser writes the scheme in lower case.
    if (parsed.part(CURLUPART_SCHEME) != "https") return std::nullopt;
    for (CURLUPart absent : {CURLUPART_USER, CURLUPART_PASSWORD, CURLUPART_OPTIONS, CURLUPART_QUERY,
                             CURLUPART_FRAGMENT, CURLUPART_ZONEID}) {
        if (parsed.part(absent)) return std::nullopt;
    }
    auto host = parsed.part(CURLUPART_HOST);
    if (!host) return std::nullopt;
    if (host->size() >= 2 && host->front() == '[' && host->back() == ']')
        *host = host->substr(1, host->size() - 2);
    if (!isPlainHost(*host)) return std::nullopt;

    KorvanePulseEndpoint result;
    result.host = std::move(*host);
    if (auto port = parsed.part(CURLUPART_PORT)) {
        // The parser only lets through decimal ports of 0 to 65535.
        result.port = std::stoi(*port);
    }
    const std::string basePath = parsed.part(CURLUPART_PATH).value_or("");
    std::string_view path = basePath;
    path.remove_prefix(std::min(path.find_first_not_of('/'), path.size()));
    path.remove_suffix(path.size() - std::min(path.find_last_not_of('/') + 1, path.size()));
    if (!path.empty()) result.path.append("/").append(path);
    result.path.append(kPulsePath);
    return result;
}

std::string url(const KorvanePulseEndpoint& endpoint) {
    std::string text = "https://";
    if (endpoint.host.find(':') != std::string::npos) {
        text.append("[").append(endpoint.host).append("]");
    } else {
        text.append(endpoint.host);
    }
    if (endpoint.port) text.append(":").append(std::to_string(*endpoint.port));
    return text.append(endpoint.path);
}

std::optional<std::string> request(const KorvanePulseEndpoint& endpoint, std::string_view authorization,
                                   std::string_view version) {
    if (!isPlainHost(endpoint.host)) return std::nullopt;
    if (!authorization.starts_with(KorvanePhysicalPulse::kBearerPrefix) ||
        authorization.size() > kMaximumAuthorization ||
        !std::all_of(authorization.begin(), authorization.end(), [](char c) { return c >= 32 && c <= 126; }))
        return std::nullopt;
    // Printable and without blanks, so the request line stays three fields.
    if (!endpoint.path.starts_with('/') || !endpoint.path.ends_with(kPulsePath) ||
        !std::all_of(endpoint.path.begin(), endpoint.path.end(), [](char c) { return c > 32 && c <= 126; }))
        return std::nullopt;
    const int port = endpoint.port.value_or(kDefaultPort);
    if (port < 1 || port > 65535) return std::nullopt;

    std::string cleanVersion;
    for (char c : version) {
        if (cleanVersion.size() == kMaximumVersion) break;
        if (isAsciiAlphanumeric(c) || c == '.' || c == '-' || c == '_') cleanVersion += c;
    }
    std::string host =
        endpoint.host.find(':') != std::string::npos ? "[" + endpoint.host + "]" : endpoint.host;
    if (port != kDefaultPort) host.append(":").append(std::to_string(port));

    std::string text;
    text.append("POST ").append(endpoint.path).append(" HTTP/1.1\r\n");
    text.append("Host: ").append(host).append("\r\n");
    text.append("Accept: application/json\r\n");
    text.append("Content-Type: application/json\r\n");
    text.append("User-Agent: Korvane-MacOS/").append(cleanVersion).append("\r\n");
    text.append("X-Korvane-Client: macos\r\n");
    text.append("Authorization: ").append(authorization).append("\r\n");
    text.append("Accept-Encoding: identity\r\n");
    text.append("Connection: close\r\n");
    text.append("Content-Length: 2\r\n");
    text.append("\r\n");
    text.append("{}");
    return text;
}

PulsePostAwaiter post(KorvanePulseEndpoint endpoint, std::string authorization, std::string version,
                      Duration timeout) {
    return PulsePostAwaiter(std::move(endpoint), std::move(authorization), std::move(version), timeout);
}

std::optional<KorvanePulseResult> parseResponse(std::string_view data, bool finished) {
    return parsePulseResponse(data, finished);
}

std::optional<std::string> decodeChunks(std::string_view data) { return decodePulseChunks(data); }

std::optional<std::string> routeInterface(std::string_view output) {
    constexpr std::string_view label = kRouteInterfaceLabel;
    while (!output.empty()) {
        const std::size_t lineEnd = std::min(output.find('\n'), output.size());
        const std::string_view line = trimLine(output.substr(0, lineEnd));
        output.remove_prefix(std::min(lineEnd + 1, output.size()));
        if (!line.starts_with(label)) continue;
        const std::string_view name = trimLine(line.substr(label.size()));
        if (name.empty() || name.size() > kMaximumInterfaceName ||
            !std::all_of(name.begin(), name.end(), isAsciiAlphanumeric))
            return std::nullopt;
        return std::string(name);
    }
    return std::nullopt;
}

bool routeIsPhysical(const std::string& host, const std::vector<std::string>& allowedInterfaces) {
    if (allowedInterfaces.empty() || host.size() > kMaximumRouteHost || !isPlainHost(host)) return false;
    const auto output = lookUpRoute(host);
    if (!output) return false;
    const auto name = routeInterface(*output);
    return name &&
           std::find(allowedInterfaces.begin(), allowedInterfaces.end(), *name) != allowedInterfaces.end();
}

} // namespace KorvanePhysicalPulse

} // namespace korvane
