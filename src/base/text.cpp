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

} // namespace korvane

namespace korvane {

std::optional<char32_t> decodeStrictScalar(std::string_view text, std::size_t& at) {
    const auto c = static_cast<unsigned char>(text[at]);
    const std::size_t length = c < 0x80             ? 1
                               : (c & 0xE0) == 0xC0 ? 2
                               : (c & 0xF0) == 0xE0 ? 3
                               : (c & 0xF8) == 0xF0 ? 4
                                                    : 0;
    if (length == 0 || at + length > text.size()) return std::nullopt;
    char32_t cp = length == 1 ? c : c & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[at + k]);
        if ((next & 0xC0) != 0x80) return std::nullopt;
        cp = (cp << 6) | (next & 0x3F);
    }
    // No overlong forms, no surrogates, nothing above U+10FFFF.
    static constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    at += length;
    return cp;
}

char32_t decodeScalar(std::string_view text, std::size_t& at) {
    if (auto cp = decodeStrictScalar(text, at)) return *cp;
    ++at;
    return 0xFFFD;
}

namespace {

// Characters that never start a cluster of their own.
bool extendsCluster(char32_t cp) {
    return (cp >= 0x0300 && cp <= 0x036F) || (cp >= 0x0483 && cp <= 0x0489) ||
           (cp >= 0x0591 && cp <= 0x05BD) || (cp >= 0x0610 && cp <= 0x061A) ||
           (cp >= 0x064B && cp <= 0x065F) || (cp >= 0x0900 && cp <= 0x0903) ||
           (cp >= 0x093A && cp <= 0x094F) || (cp >= 0x0E31 && cp <= 0x0E3A && cp != 0x0E32 && cp != 0x0E33) ||
           (cp >= 0x0E47 && cp <= 0x0E4E) || (cp >= 0x1160 && cp <= 0x11FF) ||
           (cp >= 0x1AB0 && cp <= 0x1AFF) || (cp >= 0x1DC0 && cp <= 0x1DFF) || cp == 0x200C || cp == 0x200D ||
           (cp >= 0x20D0 && cp <= 0x20FF) || (cp >= 0x302A && cp <= 0x302F) ||
           (cp >= 0x3099 && cp <= 0x309A) || (cp >= 0xFE00 && cp <= 0xFE0F) ||
           (cp >= 0xFE20 && cp <= 0xFE2F) || (cp >= 0x1F3FB && cp <= 0x1F3FF) ||
           (cp >= 0xE0020 && cp <= 0xE007F) || (cp >= 0xE0100 && cp <= 0xE01EF);
}

bool isRegionalIndicator(char32_t cp) { return cp >= 0x1F1E6 && cp <= 0x1F1FF; }

} // namespace

std::size_t countGraphemes(std::string_view utf8) {
    std::size_t count = 0;
    std::size_t at = 0;
    char32_t previous = 0;
    bool havePrevious = false;
    bool pendingRegional = false; // an unpaired regional indicator opened the current cluster
    while (at < utf8.size()) {
        const char32_t cp = decodeScalar(utf8, at);
        bool joins = false;
        if (havePrevious) {
            if (previous == '\r' && cp == '\n') {
                joins = true;
            } else if (extendsCluster(cp)) {
                joins = true;
            } else if (previous == 0x200D) {
                joins = true; // zero-width joiner sequences (emoji families, professions)
            } else if (pendingRegional && isRegionalIndicator(cp)) {
                joins = true;
            }
        }
        if (!joins) {
            ++count;
            pendingRegional = isRegionalIndicator(cp);
        } else if (isRegionalIndicator(cp)) {
            pendingRegional = false;
        }
        previous = cp;
        havePrevious = true;
    }
    return count;
}

} // namespace korvane
