#pragma once

#include <filesystem>
#include <string>

namespace korvane {

// Every fixed absolute path of the system (tools, /Applications, launch daemons, sockets)
// goes through here, so that a test can move the whole tree under a temporary root.
// The root is taken from KORVANE_ROOT when set, else empty.
std::filesystem::path systemPath(const std::string& absolutePath);

// For tests inside one process: overrides the root read from the environment.
void setSystemRoot(const std::filesystem::path& root);

} // namespace korvane
