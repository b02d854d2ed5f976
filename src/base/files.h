#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace korvane {

// Replaces path with data in one step: an exclusive temporary file ".<UUID>.tmp" next to it, written in
// full, flushed to disk, given `mode`, then renamed over path. Throws FileError.
void writeFileAtomically(const std::filesystem::path& path, std::string_view data, mode_t mode = 0600);

// The whole file, or nothing when it cannot be read.
std::optional<std::string> readFile(const std::filesystem::path& path);

// Whether bytes form valid UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool isValidUtf8(std::string_view bytes);

// Number of Unicode scalar values in valid UTF-8 text.
std::size_t countScalars(std::string_view utf8);

} // namespace korvane
