#pragma once

// JSON as the client writes it: nlohmann's ordered-by-key objects, compact, UTF-8.

#include <nlohmann/json.hpp>

#include <string>

namespace korvane {

using Json = nlohmann::json;

// Compact JSON with sorted keys; "null" when the value cannot be encoded (invalid UTF-8).
std::string encodeJson(const Json& value);

// The same, with every "</" written as "<\/" so the text can sit inside a script.
std::string encodeJsonForScript(const Json& value);

} // namespace korvane
