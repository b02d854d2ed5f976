#pragma once

#include <string>

namespace korvane {

// The operating system's name and release, e.g. "Linux 6.1.0-27-amd64".
std::string operatingSystemVersion();

} // namespace korvane
