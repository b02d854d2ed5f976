#pragma once

#include <optional>
#include <string>

namespace korvane {

// The application's persisted settings. Typed reads answer none when the key is absent or
// holds a value of another type.
class UserDefaults {
public:
    virtual ~UserDefaults() = default;

    virtual bool contains(const std::string& key) const = 0;
    virtual std::optional<std::string> getString(const std::string& key) const = 0;
    virtual std::optional<bool> getBool(const std::string& key) const = 0;
    virtual void setString(const std::string& key, const std::string& value) = 0;
    virtual void setBool(const std::string& key, bool value) = 0;
    virtual void remove(const std::string& key) = 0;
};

} // namespace korvane
