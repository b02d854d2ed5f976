#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvane {

// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
std::string base64Encode(std::string_view bytes);
// Strict decoding: none for any character outside the alphabet, missing or misplaced
// padding, or non-zero bits left over in the last character.
std::optional<std::string> base64Decode(std::string_view text);

} // namespace korvane
