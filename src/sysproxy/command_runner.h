#pragma once

#include "base/errors.h"

#include <string>
#include <string_view>
#include <vector>

namespace korvane {

class ProxyChangeLock;

// The user dismissed the administrator prompt. A KorvaneError so that it reaches the user
// like any other failure.
class ProxyAuthorizationCancelled : public KorvaneError {
public:
    ProxyAuthorizationCancelled();
};

namespace CommandRunner {

// Runs the program at path with arguments (no shell), standard output and standard error on
// one pipe, and returns that output (empty when it is not valid UTF-8). A non-zero exit
// throws KorvaneError "系统代理命令失败：" + the first 180 characters of the output; a program
// that cannot be started throws FileError. Blocks: call it inside blocking().
// With a change, the program runs in a process group of its own that keeps the change's lock
// for as long as it runs (see ProxyChangeLock).
std::string run(const std::string& path, const std::vector<std::string>& arguments,
                const ProxyChangeLock* change = nullptr);

} // namespace CommandRunner

// 'text' for a POSIX shell, every ' written as '\''.
std::string shellQuote(std::string_view text);

// A double-quoted string of the script host's language: \ and " escaped with a backslash.
std::string scriptHostLiteral(std::string_view text);

} // namespace korvane
