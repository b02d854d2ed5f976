#pragma once

// Which network interface the system would send traffic for a host through, answered in the
// form of the route tool ("route -n get <host>"): a line "interface: <name>" names it.
//
// On the target platform the tool itself answers. Elsewhere the kernel is asked directly (on
// Linux through rtnetlink, after resolving the host), unless the system root (KORVANE_ROOT)
// holds an executable sbin/route: then that program answers, run exactly like the real tool,
// so tests can choose the answer (a tunnel interface, a hang, an oversized output).

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace korvane {

// The label of the answer's line that names the interface.
inline constexpr std::string_view kRouteInterfaceLabel = "interface:";

// A lookup that has not answered after this long is stopped and counts as failed.
inline constexpr std::chrono::milliseconds kRouteLookupTimeLimit{900};
// An answer longer than this is refused.
inline constexpr std::size_t kRouteLookupOutputLimit = 16384;

// The route answer for host, or none when the lookup failed: no route, a tool that could not
// start, exited with a failure, ran past kRouteLookupTimeLimit, or printed more than
// kRouteLookupOutputLimit bytes or text that is not UTF-8. Blocks for at most about the time
// limit: call it off the main thread.
std::optional<std::string> lookUpRoute(const std::string& host);

} // namespace korvane
