#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvane {

struct ParsedURL {
    std::string scheme; // exactly as written (not case-folded)
    std::string host;   // empty when the URL has none
};

// The scheme of a URL text exactly as written (the part before the first ":" when it has
// the form of a scheme), or "" when it has none.
std::string_view urlScheme(std::string_view text);

// Parses an absolute URL; none when it is not one. Uses libcurl's URL parser.
std::optional<ParsedURL> parseURL(std::string_view text);

// Whether text parses as an absolute URL whose scheme is written exactly "https".
bool isHTTPSURL(std::string_view text);

// Whether text is an absolute URL with the scheme written exactly "https" and a host.
bool isHTTPSWithHost(std::string_view text);

// Percent-encodes every byte except ASCII letters, digits and the characters of `keep`.
std::string percentEncode(std::string_view text, std::string_view keep);

// "file://" + the absolute path, every byte but letters, digits, "/" and "-._~" encoded.
std::string fileURL(std::string_view absolutePath);

// The characters a URL path may hold unencoded (besides letters and digits).
inline constexpr std::string_view kURLPathAllowed = "-._~!$&'()*+,;=:@/";

} // namespace korvane
