// Hand-written matchers for YAML 1.1's implicit scalar types. Every plain scalar of a
// subscription passes through here (a 10,000-proxy file has over 100,000 of them), so each
// matcher is a single forward scan, and the first character sends most text straight to
// "string".

#include "base/yaml_detail.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <string>

namespace korvane {

namespace {

constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }
constexpr bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool isNullText(std::string_view text) {
    switch (text.size()) {
    case 0:
        return true;
    case 1:
        return text[0] == '~';
    case 4:
        return text == "null" || text == "Null" || text == "NULL";
    default:
        return false;
    }
}

// text is `lower` in lower case, Capitalised or UPPER case (not "yEs").
bool isWordInThreeCases(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    const auto upper = [](char c) { return static_cast<char>(c - 'a' + 'A'); };
    const bool firstUpper = text[0] == upper(lower[0]);
    if (text[0] != lower[0] && !firstUpper) return false;
    bool restLower = true;
    bool restUpper = true;
    for (std::size_t i = 1; i < text.size(); ++i) {
        restLower = restLower && text[i] == lower[i];
        restUpper = restUpper && text[i] == upper(lower[i]);
    }
    return restLower || (firstUpper && restUpper);
}

// The client's boolean words; YAML 1.1's single letters y/n stay strings, because a lone "y"
// or "n" in a subscription is far more likely a name or a flag value meant as text.
std::optional<bool> matchBoolean(std::string_view text) {
    switch (text.size()) {
    case 2:
        if (isWordInThreeCases(text, "no")) return false;
        if (isWordInThreeCases(text, "on")) return true;
        break;
    case 3:
        if (isWordInThreeCases(text, "yes")) return true;
        if (isWordInThreeCases(text, "off")) return false;
        break;
    case 4:
        if (isWordInThreeCases(text, "true")) return true;
        break;
    case 5:
        if (isWordInThreeCases(text, "false")) return false;
        break;
    default:
        break;
    }
    return std::nullopt;
}

// ---- integers

struct Magnitude {
    std::uint64_t value = 0;
    std::size_t digits = 0;
    bool overflow = false;

    void push(unsigned digit, unsigned base) {
        ++digits;
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / base)
            overflow = true;
        else
            value = value * base + digit;
    }
};

// Adds the digits of `base` in text, skipping "_"; false at any other character.
bool accumulate(std::string_view text, unsigned base, Magnitude& magnitude) {
    for (const char c : text) {
        unsigned digit;
        if (c == '_') continue;
        if (isDigit(c))
            digit = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        if (digit >= base) return false;
        magnitude.push(digit, base);
    }
    return true;
}

// One ":[0-5]?[0-9]" part of a base-60 number, starting after the colon at `position`,
// which is moved past it. None when the text has no such part there.
std::optional<unsigned> sexagesimalPart(std::string_view text, std::size_t& position) {
    const std::size_t p = position;
    if (p >= text.size() || !isDigit(text[p])) return std::nullopt;
    if (p + 1 < text.size() && isDigit(text[p + 1])) {
        if (text[p] > '5') return std::nullopt;
        position = p + 2;
        return static_cast<unsigned>((text[p] - '0') * 10 + (text[p + 1] - '0'));
    }
    position = p + 1;
    return static_cast<unsigned>(text[p] - '0');
}

enum class IntegerMatch { None, Value, OutOfRange };

struct IntegerResult {
    IntegerMatch match = IntegerMatch::None;
    std::int64_t value = 0;
};

IntegerResult withSign(bool negative, const Magnitude& magnitude) {
    constexpr auto limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (magnitude.overflow || magnitude.value > limit + (negative ? 1 : 0)) return {IntegerMatch::OutOfRange};
    if (!negative) return {IntegerMatch::Value, static_cast<std::int64_t>(magnitude.value)};
    if (magnitude.value == limit + 1) return {IntegerMatch::Value, std::numeric_limits<std::int64_t>::min()};
    return {IntegerMatch::Value, -static_cast<std::int64_t>(magnitude.value)};
}

//   [-+]?0b[0-1_]+ | [-+]?0[0-7_]+ | [-+]?0o[0-7_]+ | [-+]?(0|[1-9][0-9_]*)
// | [-+]?0x[0-9a-fA-F_]+ | [-+]?[1-9][0-9_]*(:[0-5]?[0-9])+
// The prefixed forms need a digit after the prefix: "0x_" matches the pattern but names no
// number. After the lone leading 0 of an octal the 0 itself is the digit ("0_" is 0).
IntegerResult matchInteger(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return {};
    Magnitude magnitude;
    if (text[0] == '0') {
        if (text.size() == 1) return {IntegerMatch::Value, 0};
        unsigned base = 8;
        std::size_t prefix = 1;
        if (text[1] == 'b' || text[1] == 'o' || text[1] == 'x') {
            base = text[1] == 'b' ? 2 : text[1] == 'o' ? 8 : 16;
            prefix = 2;
        }
        if (!accumulate(text.substr(prefix), base, magnitude)) return {};
        if (prefix == 2 && magnitude.digits == 0) return {};
        return withSign(negative, magnitude);
    }
    if (!isDigit(text[0])) return {};
    std::size_t position = 0;
    while (position < text.size() && (isDigit(text[position]) || text[position] == '_'))
        ++position;
    accumulate(text.substr(0, position), 10, magnitude);
    while (position < text.size()) {
        if (text[position] != ':') return {};
        ++position;
        const auto part = sexagesimalPart(text, position);
        if (!part) return {};
        if (magnitude.value > (std::numeric_limits<std::uint64_t>::max() - *part) / 60)
            magnitude.overflow = true;
        else
            magnitude.value = magnitude.value * 60 + *part;
    }
    return withSign(negative, magnitude);
}

// ---- floats

// The decimal number in text (sign and "_" allowed, already matched), locale-independent.
double parseDecimal(std::string_view text) {
    char stackBuffer[64];
    std::string heapBuffer;
    char* buffer = stackBuffer;
    if (text.size() > sizeof stackBuffer) {
        heapBuffer.resize(text.size());
        buffer = heapBuffer.data();
    }
    std::size_t length = 0;
    std::size_t point = std::string_view::npos;
    for (const char c : text) {
        if (c == '_' || c == '+') continue;
        if (c == '.') point = length;
        buffer[length++] = c;
    }
    double value = 0;
    const auto [end, error] = std::from_chars(buffer, buffer + length, value);
    if (error != std::errc::result_out_of_range) return value;
    // Beyond double's range: ±inf when the number is large, ±0 when it is tiny. Its decimal
    // magnitude is the exponent plus the place of the first significant digit.
    const std::string_view digits(buffer, length);
    const std::size_t exponentAt = digits.find_first_of("eE");
    long exponent = 0;
    if (exponentAt != std::string_view::npos)
        std::from_chars(digits.data() + exponentAt + 1, digits.data() + digits.size(), exponent);
    const std::string_view mantissa = digits.substr(0, exponentAt);
    const std::size_t first = mantissa.find_first_of("123456789");
    const std::size_t pointAt =
        point == std::string_view::npos || point > mantissa.size() ? mantissa.size() : point;
    const long place = first == std::string_view::npos ? 0
                       : first < pointAt               ? static_cast<long>(pointAt - first)
                                                       : -static_cast<long>(first - pointAt - 1);
    const bool negative = !digits.empty() && digits[0] == '-';
    const double magnitude = place + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -magnitude : magnitude;
}

// Base 10: [-+]? ( [0-9][0-9_]* (\.[0-9_]*)? | \.[0-9_]* ) ([eE][-+]?[0-9]+)?, with a digit in
// the mantissa and a point or an exponent (the exponent's sign optional: "1e3" is 1000.0;
// with allowInteger, neither is needed). One point only, so "1.2.3.4" stays an address.
// Base 60: [-+]?[0-9][0-9_]*(:[0-5]?[0-9])+\.[0-9_]*. Special: [-+]?\.(inf|Inf|INF), \.(nan|NaN|NAN).
std::optional<double> matchFloat(std::string_view text, bool allowInteger) {
    bool negative = false;
    const bool signedText = !text.empty() && (text[0] == '+' || text[0] == '-');
    std::string_view body = text;
    if (signedText) {
        negative = text[0] == '-';
        body.remove_prefix(1);
    }
    const std::size_t n = body.size();
    if (n == 4 && body[0] == '.') {
        const std::string_view word = body.substr(1);
        if (word == "inf" || word == "Inf" || word == "INF")
            return negative ? -std::numeric_limits<double>::infinity()
                            : std::numeric_limits<double>::infinity();
        if (!signedText && (word == "nan" || word == "NaN" || word == "NAN"))
            return std::numeric_limits<double>::quiet_NaN();
    }
    std::size_t p = 0;
    const bool hasInteger = p < n && isDigit(body[p]);
    while (p < n && (isDigit(body[p]) || (hasInteger && body[p] == '_')))
        ++p;
    bool hasPoint = false;
    bool fractionDigit = false;
    if (p < n && body[p] == '.') {
        hasPoint = true;
        ++p;
        for (; p < n && (isDigit(body[p]) || body[p] == '_'); ++p)
            fractionDigit = fractionDigit || isDigit(body[p]);
    }
    bool hasExponent = false;
    if (p < n && (body[p] == 'e' || body[p] == 'E')) {
        hasExponent = true;
        ++p;
        if (p < n && (body[p] == '+' || body[p] == '-')) ++p;
        const std::size_t digits = p;
        while (p < n && isDigit(body[p]))
            ++p;
        if (p == digits) return std::nullopt;
    }
    if (p == n) {
        if (!hasInteger && !fractionDigit) return std::nullopt;
        if (!hasPoint && !hasExponent && !allowInteger) return std::nullopt;
        return parseDecimal(text);
    }
    if (!hasInteger || hasPoint || hasExponent || body[p] != ':') return std::nullopt;

    Magnitude whole;
    accumulate(body.substr(0, p), 10, whole);
    while (p < n && body[p] == ':') {
        ++p;
        const auto part = sexagesimalPart(body, p);
        if (!part) return std::nullopt;
        if (whole.value > (std::numeric_limits<std::uint64_t>::max() - *part) / 60) return std::nullopt;
        whole.value = whole.value * 60 + *part;
    }
    if (whole.overflow || p == n || body[p] != '.') return std::nullopt;
    for (std::size_t i = p + 1; i < n; ++i)
        if (!isDigit(body[i]) && body[i] != '_') return std::nullopt;
    // The fraction belongs to the seconds: "190:20:30.15" reads as the decimal 685230.15, so it
    // rounds once, like any other float.
    std::string decimal = std::to_string(whole.value);
    decimal.append(body.substr(p));
    const double value = parseDecimal(decimal);
    return negative ? -value : value;
}

// ---- timestamps

// [0-9]{4}-[0-9]{2}-[0-9]{2}
// | [0-9]{4}-[0-9]{1,2}-[0-9]{1,2}([Tt]|[ \t]+)[0-9]{1,2}:[0-9]{2}:[0-9]{2}(\.[0-9]*)?
//   ([ \t]*(Z|[-+][0-9]{1,2}(:[0-9]{2})?))?
// Blanks may stand before a numeric zone too, as in YAML 1.1's own example
// "2001-12-14 21:59:43.10 -5", which its pattern (blanks only before Z) would miss.
// Only the form is checked: the text is kept as written, nothing computes a date from it.
bool matchTimestamp(std::string_view text) {
    const std::size_t n = text.size();
    std::size_t p = 0;
    const auto digits = [&](std::size_t least, std::size_t most) {
        const std::size_t start = p;
        while (p < n && p - start < most && isDigit(text[p]))
            ++p;
        return p - start >= least ? p - start : 0;
    };
    const auto skip = [&](char c) {
        if (p >= n || text[p] != c) return false;
        ++p;
        return true;
    };
    if (!digits(4, 4) || !skip('-')) return false;
    const std::size_t month = digits(1, 2);
    if (!month || !skip('-')) return false;
    const std::size_t day = digits(1, 2);
    if (!day) return false;
    if (p == n) return month == 2 && day == 2;
    if (text[p] == 'T' || text[p] == 't') {
        ++p;
    } else if (isBlank(text[p])) {
        while (p < n && isBlank(text[p]))
            ++p;
    } else {
        return false;
    }
    if (!digits(1, 2) || !skip(':') || !digits(2, 2) || !skip(':') || !digits(2, 2)) return false;
    if (skip('.'))
        while (p < n && isDigit(text[p]))
            ++p;
    if (p == n) return true;
    while (p < n && isBlank(text[p]))
        ++p;
    if (skip('Z')) return p == n;
    if (!skip('+') && !skip('-')) return false;
    if (!digits(1, 2)) return false;
    if (skip(':') && !digits(2, 2)) return false;
    return p == n;
}

} // namespace

YamlValue resolvePlainScalar(std::string_view text) {
    if (text.empty()) return {};
    switch (text[0]) {
    case '~':
        if (text.size() == 1) return {};
        break;
    case 'n':
    case 'N':
        if (isNullText(text)) return {};
        [[fallthrough]];
    case 'y':
    case 'Y':
    case 't':
    case 'T':
    case 'f':
    case 'F':
    case 'o':
    case 'O':
        if (const auto boolean = matchBoolean(text)) return *boolean;
        break;
    default:
        if (isDigit(text[0]) || text[0] == '+' || text[0] == '-' || text[0] == '.') {
            const auto integer = matchInteger(text);
            if (integer.match == IntegerMatch::Value) return integer.value;
            // Too large for 64 bits: the text as written, rather than a rounded float.
            if (integer.match == IntegerMatch::OutOfRange) break;
            if (const auto number = matchFloat(text, false)) return *number;
            if (isDigit(text[0]) && matchTimestamp(text)) return YamlValue::timestamp(text);
        }
        break;
    }
    return YamlValue(text);
}

namespace yaml_detail {

std::optional<YamlValue> convertTagged(std::string_view text, Tag tag) {
    switch (tag) {
    case Tag::Null:
        if (isNullText(text)) return YamlValue();
        break;
    case Tag::Boolean:
        if (const auto boolean = matchBoolean(text)) return YamlValue(*boolean);
        break;
    case Tag::Integer:
        if (const auto integer = matchInteger(text); integer.match == IntegerMatch::Value)
            return YamlValue(integer.value);
        break;
    case Tag::Float:
        if (const auto number = matchFloat(text, true)) return YamlValue(*number);
        break;
    case Tag::Timestamp:
        if (matchTimestamp(text)) return YamlValue::timestamp(text);
        break;
    }
    return std::nullopt;
}

} // namespace yaml_detail

} // namespace korvane
