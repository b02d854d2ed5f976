#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace korvane {

// The running application bundle: <bundle>/Contents/{Info.plist, MacOS, Resources}.
class Bundle {
public:
    virtual ~Bundle() = default;

    virtual std::filesystem::path location() const = 0;
    virtual std::filesystem::path resourcesDirectory() const = 0;
    // A string value of Info.plist; none when missing or not a string.
    virtual std::optional<std::string> infoString(const std::string& key) const = 0;
    // The path of a resource when it exists, e.g. resource("UI/index.html").
    std::optional<std::filesystem::path> resource(const std::filesystem::path& relative) const;
};

} // namespace korvane
