#pragma once

#include <string>
#include <vector>

namespace korvane {

// The desktop around the application.
class Workspace {
public:
    virtual ~Workspace() = default;

    // Opens url in the user's default browser.
    virtual void openURL(const std::string& url) = 0;
    virtual void openApplication(const std::string& path) = 0;
    // Process ids of running applications with this bundle identifier.
    virtual std::vector<int> runningApplications(const std::string& bundleIdentifier) const = 0;
    // Replaces the general pasteboard's content with text.
    virtual void setPasteboardString(const std::string& text) = 0;
};

} // namespace korvane
