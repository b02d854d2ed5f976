#pragma once

#include <string>

namespace korvane {

// A random (version 4) UUID in its standard upper-case text form.
std::string makeUuid();

} // namespace korvane
