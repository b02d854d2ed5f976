#pragma once

#include <string_view>

namespace korvane {

// Subscriptions mix real servers with informational entries (remaining traffic, expiry,
// renewal site...) dressed up as proxies. This tells them apart by name.
namespace KorvaneNodePresentation {
bool isServer(std::string_view name);
} // namespace KorvaneNodePresentation

} // namespace korvane
