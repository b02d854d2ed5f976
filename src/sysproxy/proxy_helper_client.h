#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace korvane {

// Client of the optional privileged helper daemon that switches the proxy settings without
// an administrator prompt per change. One request per connection.
namespace KorvaneProxyHelperClient {

// The helper's launch daemon file; the helper counts as installed exactly when it exists.
std::filesystem::path launchDaemonFile();
// The per-user socket the helper listens on.
std::filesystem::path socketPath();

// One exchange of "status", "enable" or "restore"; returns the trimmed reply "ON", "OFF"
// or "OK". Throws KorvaneError with the user's text for every failure. Blocks for up to
// the 15-second reply limit.
std::string send(const std::string& operation);

// What the helper's reply (the bytes of its one read, at most 128) says: "ON", "OFF" or "OK"
// once trimmed; KorvaneError with the user's text for an error reply or anything else.
std::string readReply(std::string_view raw);

// Installed and answering "ON" to "status"; every failure counts as false.
bool enabled();
// Installed and not answering an explicit "OFF" to "status": a helper that cannot be asked
// (restarting, timing out) may still have the proxy switched, so it counts as switched.
bool mayBeEnabled();

} // namespace KorvaneProxyHelperClient

} // namespace korvane
