#pragma once

#include <filesystem>
#include <optional>

namespace korvane {

// The user's standard folders.
class Directories {
public:
    virtual ~Directories() = default;

    virtual std::optional<std::filesystem::path> applicationSupport() const = 0;
    virtual std::optional<std::filesystem::path> downloads() const = 0;
    virtual std::filesystem::path applications() const = 0;
};

} // namespace korvane
