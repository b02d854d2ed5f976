#pragma once

#include "panel/node.h"

#include <filesystem>
#include <vector>

namespace korvane {

// The node list cached as nodes.json beside subscription.yaml. Reading never fails: any
// unreadable or invalid file gives an empty list, and entries that would not be offered to
// the user are left out.
std::vector<Node> readNodeCache(const std::filesystem::path& file);

} // namespace korvane
