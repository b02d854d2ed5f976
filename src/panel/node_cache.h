#pragma once

#include "panel/node.h"

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

// Each cache file is refused beyond this size, as a file the client cannot have written.
inline constexpr std::size_t kMaximumCacheSize = 64u << 20;

// The node list cached as nodes.json beside subscription.yaml. Reading never fails or blocks:
// any unreadable, foreign or invalid file gives an empty list, and entries that would not be
// offered to the user are left out.
std::vector<Node> readNodeCache(const std::filesystem::path& file);

// The list a nodes.json text holds, by the rules of readNodeCache, and the text that holds a list.
std::vector<Node> decodeNodeCache(std::string_view text);
std::string encodeNodeCache(const std::vector<Node>& nodes);

// Writes subscription.yaml (the text as received) and then nodes.json into directory,
// each replaced atomically with mode 0600. Throws FileError.
void writeSubscriptionCache(const std::filesystem::path& directory, std::string_view subscriptionText,
                            const std::vector<Node>& nodes);

} // namespace korvane
