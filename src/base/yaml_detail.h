#pragma once

// What the parts of the YAML layer share and its users need not see.

#include "base/yaml.h"

#include <cstddef>
#include <optional>
#include <string_view>

namespace korvane::yaml_detail {

// The standard scalar tags a document may name explicitly.
enum class Tag { Null, Boolean, Integer, Float, Timestamp };

// The value of text under an explicit tag, or nothing when the text does not read as one
// ("!!int abc", an integer beyond 64 bits). "!!float" also reads plain decimal integers.
std::optional<YamlValue> convertTagged(std::string_view text, Tag tag);

// A hash consistent with operator== on YamlValue, for indexing mapping keys.
std::size_t hashKey(const YamlValue& value) noexcept;

} // namespace korvane::yaml_detail
