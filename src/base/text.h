#pragma once

#include <string_view>

namespace korvane {

// text without leading and trailing Unicode white space and line breaks.
std::string_view trimWhitespaceAndNewlines(std::string_view text);

} // namespace korvane

#include <cstdint>
#include <optional>
#include <string>

namespace korvane {

// A whole decimal integer: an optional "+" or "-", then one or more ASCII digits, nothing
// else (no blanks). None when the text does not have that form or does not fit 64 bits.
std::optional<std::int64_t> parseDecimalInteger(std::string_view text);

} // namespace korvane

namespace korvane {

// The number of user-perceived characters (extended grapheme clusters) in UTF-8 text:
// combining marks, variation selectors, emoji modifiers and zero-width-joiner sequences
// count with the character they belong to, a flag (two regional indicators) counts once,
// and so does CR LF.
std::size_t countGraphemes(std::string_view utf8);

// Decodes the UTF-8 scalar at text[at] and advances at past it; none, and at unchanged, when
// the bytes there are not well-formed UTF-8 (overlong, surrogate, beyond U+10FFFF, cut short).
std::optional<char32_t> decodeStrictScalar(std::string_view text, std::size_t& at);
// The same, but a malformed byte reads as U+FFFD and is skipped.
char32_t decodeScalar(std::string_view text, std::size_t& at);

} // namespace korvane
