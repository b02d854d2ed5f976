#pragma once

#include <functional>

namespace korvane {

// Starts body on a thread that is never joined: work that ends on its own once told to stop (a
// pulse, a package download) and whose waiter may be gone by then. At the process's orderly
// exit, threads still ending get a moment (half a second at most) to finish, so that none is cut
// off holding what it allocated, such as OpenSSL's state of its thread. A thread that cannot be
// started throws std::system_error.
void startDetachedThread(std::function<void()> body);

} // namespace korvane
