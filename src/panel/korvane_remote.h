#pragma once

#include "base/task.h"
#include "panel/http.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

// Every address the client talks to or opens for the user. Starts from the deployment's
// defaults and can be redirected at run time by a remote configuration document; nothing
// of it is persisted. Main thread only.
class KorvaneRemote {
public:
    KorvaneRemote();
    // For tests: other sources than the deployment's.
    explicit KorvaneRemote(std::vector<std::string> sources);

    std::string api;
    std::string site;
    std::string renew;
    std::string support;
    std::string manifest;

    const std::vector<std::string>& sources() const { return sources_; }

    // The value with "/" stripped from both ends when it is an https URL with a host.
    static std::optional<std::string> validHTTPS(std::string_view text);

    // Fetches the remote configuration through http, first source first, and applies the
    // first document that parses. Only cancellation escapes; on any failure the fields stay
    // as they are.
    Task<void> refresh(HttpClient& http);

    // Applies one parsed document (a JSON object text); false when it is not one.
    bool apply(std::string_view document);

private:
    std::vector<std::string> sources_;
};

} // namespace korvane
