#include "base/text.h"

namespace korvane {

namespace {

// Unicode White_Space characters (the set trimmed as "white space and line breaks").
bool isBlankOrLineBreak(std::string_view s, std::size_t at, std::size_t& length) {
    const auto c = static_cast<unsigned char>(s[at]);
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
        length = 1;
        return true;
    }
    // U+0085, U+00A0, U+1680, U+2000-U+200A, U+2028, U+2029, U+202F, U+205F, U+3000
    auto starts = [&](std::string_view seq) { return s.substr(at, seq.size()) == seq; };
    static constexpr std::string_view kTwoByte[] = {"\xC2\x85", "\xC2\xA0"};
    for (auto seq : kTwoByte) {
        if (starts(seq)) {
            length = 2;
            return true;
        }
    }
    if (c == 0xE1 && starts("\xE1\x9A\x80")) {
        length = 3;
        return true;
    }
    if (c == 0xE2 && at + 2 < s.size() && static_cast<unsigned char>(s[at + 1]) == 0x80) {
        const auto third = static_cast<unsigned char>(s[at + 2]);
        if ((third >= 0x80 && third <= 0x8A) || third == 0xA8 || third == 0xA9 || third == 0xAF) {
            length = 3;
            return true;
        }
    }
    if (starts("\xE2\x81\x9F") || starts("\xE3\x80\x80")) {
        length = 3;
        return true;
    }
    return false;
}

} // namespace

std::string_view trimWhitespaceAndNewlines(std::string_view s) {
    std::size_t length = 0;
    while (!s.empty() && isBlankOrLineBreak(s, 0, length))
        s.remove_prefix(length);
    // Trailing: step back over UTF-8 sequences of at most three bytes.
    for (bool trimmed = true; trimmed && !s.empty();) {
        trimmed = false;
        for (std::size_t back = 1; back <= 3 && back <= s.size(); ++back) {
            std::size_t at = s.size() - back;
            if (isBlankOrLineBreak(s, at, length) && length == back) {
                s.remove_suffix(back);
                trimmed = true;
                break;
            }
        }
    }
    return s;
}

} // namespace korvane

#include <charconv>

namespace korvane {

std::optional<std::int64_t> parseDecimalInteger(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    std::uint64_t magnitude = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (magnitude > (UINT64_MAX - digit) / 10) return std::nullopt;
        magnitude = magnitude * 10 + digit;
    }
    if (!negative && magnitude > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    if (negative && magnitude > static_cast<std::uint64_t>(INT64_MAX) + 1) return std::nullopt;
    if (negative)
        return magnitude == static_cast<std::uint64_t>(INT64_MAX) + 1 ? INT64_MIN
                                                                      : -static_cast<std::int64_t>(magnitude);
    return static_cast<std::int64_t>(magnitude);
}

std::string fileURL(std::string_view absolutePath) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string url = "file://";
    for (char ch : absolutePath) {
        const auto c = static_cast<unsigned char>(ch);
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          c == '/' || c == '-' || c == '.' || c == '_' || c == '~';
        if (keep) {
            url.push_back(ch);
        } else {
            url.push_back('%');
            url.push_back(kHex[c >> 4]);
            url.push_back(kHex[c & 15]);
        }
    }
    return url;
}

} // namespace korvane
