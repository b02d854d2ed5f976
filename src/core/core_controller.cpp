// The core's command line and its controller requests (plain HTTP on loopback, no credentials).

#include "base/json.h"
#include "base/url.h"
#include "core/mihomo_core.h"

namespace korvane {

namespace {

constexpr double kVersionTimeoutSeconds = 1;
constexpr double kSelectTimeoutSeconds = 5;
constexpr double kSelectedTimeoutSeconds = 4;

// A query value by the usual rules: a URL's ":" and "/" (and "?", "@") stay as they are, the
// characters that would end or split the value ("&", "=", "+", "#") and all others go encoded.
constexpr std::string_view kQueryValueAllowed = "-._~!$'()*,;:@/?";

std::string proxyURL(std::string_view name) {
    return std::string(MihomoCore::kControllerBase) + "/proxies/" + MihomoCore::encodeName(name);
}

} // namespace

std::vector<std::string> MihomoCore::arguments() const {
    return {"-d", runtimeDir_.string(), "-f", configurationFile().string()};
}

std::string MihomoCore::encodeName(std::string_view name) {
    if (name.find('%') == std::string_view::npos) return percentEncode(name, "-._~");
    // The core's router decodes a path spelt the way Go writes paths once to route it, then the
    // name once more: "x%41", sent as "x%2541", would arrive as "xA". Encoded byte for byte, the
    // path is not in that form, and the name is decoded once.
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(name.size() * 3);
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        out += '%';
        out += kHex[byte >> 4];
        out += kHex[byte & 15];
    }
    return out;
}

// Requests are built before the co_await: GCC 12 rejects braced lists of literals inside one.

Task<void> MihomoCore::version(HttpClient& http) {
    HttpRequest request{
        std::string(kControllerBase) + "/version", "GET", {}, std::nullopt, kVersionTimeoutSeconds};
    co_await http.send(std::move(request));
}

Task<void> MihomoCore::select(HttpClient& http, std::string group, std::string node) {
    HttpRequest request{proxyURL(group),
                        "PUT",
                        {{"Content-Type", "application/json"}},
                        encodeJson(Json{{"name", std::move(node)}}),
                        kSelectTimeoutSeconds};
    co_await http.send(std::move(request));
}

Task<Json> MihomoCore::group(HttpClient& http, std::string group) {
    HttpRequest request{proxyURL(group), "GET", {}, std::nullopt, kSelectedTimeoutSeconds};
    co_return Json::parse(co_await http.send(std::move(request)));
}

Task<bool> MihomoCore::measureDelay(HttpClient& http, std::string name, std::string probe, int timeoutMs) {
    HttpRequest request{proxyURL(name) + "/delay?timeout=" + std::to_string(timeoutMs) +
                            "&url=" + percentEncode(probe, kQueryValueAllowed),
                        "GET",
                        {},
                        std::nullopt,
                        timeoutMs / 1000.0 + 1};
    std::string body;
    try {
        body = co_await http.send(std::move(request));
    } catch (const std::exception&) {
        co_return false;
    }
    const Json answer = Json::parse(body, nullptr, false);
    if (!answer.is_object()) co_return false;
    auto delay = answer.find("delay");
    if (delay == answer.end() || !delay->is_number_integer()) co_return false;
    co_return delay->is_number_unsigned() ? delay->get<std::uint64_t>() > 0 : delay->get<std::int64_t>() > 0;
}

} // namespace korvane
