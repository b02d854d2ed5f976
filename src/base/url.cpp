#include "base/url.h"

#include <curl/curl.h>

#include <memory>

namespace korvane {

namespace {

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

bool validSchemeText(std::string_view scheme) {
    if (scheme.empty()) return false;
    auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (!alpha(scheme.front())) return false;
    for (char c : scheme) {
        if (!alpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return false;
    }
    return true;
}

} // namespace

std::string_view urlScheme(std::string_view text) {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos || !validSchemeText(text.substr(0, colon))) return {};
    return text.substr(0, colon);
}

std::optional<ParsedURL> parseURL(std::string_view text) {
    const std::string_view scheme = urlScheme(text);
    if (scheme.empty()) return std::nullopt;
    std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
    if (!url) return std::nullopt;
    const std::string owned(text);
    if (curl_url_set(url.get(), CURLUPART_URL, owned.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        return std::nullopt;
    }
    ParsedURL parsed;
    parsed.scheme = std::string(scheme);
    char* host = nullptr;
    if (curl_url_get(url.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK && host) {
        parsed.host = host;
        curl_free(host);
    }
    return parsed;
}

bool isHTTPSURL(std::string_view text) {
    auto parsed = parseURL(text);
    return parsed && parsed->scheme == "https";
}

bool isHTTPSWithHost(std::string_view text) {
    auto parsed = parseURL(text);
    return parsed && parsed->scheme == "https" && !parsed->host.empty();
}

std::string percentEncode(std::string_view text, std::string_view keep) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           (c < 0x80 && keep.find(ch) != std::string_view::npos);
        if (plain) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    return out;
}

std::string fileURL(std::string_view absolutePath) {
    return "file://" + percentEncode(absolutePath, "/-._~");
}

} // namespace korvane
