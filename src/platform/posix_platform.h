#pragma once

// The portable implementations of the platform pieces that need no window system.

#include "platform/bundle.h"
#include "platform/directories.h"
#include "platform/user_defaults.h"

#include <map>
#include <memory>
#include <mutex>

namespace korvane {

// Info.plist read once with libplist; a missing or malformed file reads as empty.
class PlistBundle final : public Bundle {
public:
    explicit PlistBundle(std::filesystem::path location);

    // KORVANE_BUNDLE when set, else <bundle> of <bundle>/Contents/MacOS/<executable>.
    static std::filesystem::path locate();

    std::filesystem::path location() const override { return location_; }
    std::filesystem::path resourcesDirectory() const override;
    std::optional<std::string> infoString(const std::string& key) const override;

private:
    std::filesystem::path location_;
    std::map<std::string, std::string> strings_;
};

// Application Support and Downloads below a home directory, laid out as on the target
// platform: <home>/Library/Application Support, <home>/Downloads.
class HomeDirectories final : public Directories {
public:
    // From HOME; no home means no Application Support directory.
    HomeDirectories();
    explicit HomeDirectories(std::filesystem::path home) : home_(std::move(home)) {}

    std::optional<std::filesystem::path> applicationSupport() const override;
    std::optional<std::filesystem::path> downloads() const override;
    std::filesystem::path applications() const override;

private:
    std::filesystem::path home_;
};

// Settings kept as one JSON object in a private file (0600 in a 0700 directory), rewritten
// atomically on every change. A missing or malformed file starts empty.
class JsonFileDefaults final : public UserDefaults {
public:
    explicit JsonFileDefaults(std::filesystem::path file);
    ~JsonFileDefaults() override;

    bool contains(const std::string& key) const override;
    std::optional<std::string> getString(const std::string& key) const override;
    std::optional<bool> getBool(const std::string& key) const override;
    void setString(const std::string& key, const std::string& value) override;
    void setBool(const std::string& key, bool value) override;
    void remove(const std::string& key) override;

private:
    struct Store;
    void save() const;

    std::filesystem::path file_;
    mutable std::mutex mutex_;
    std::unique_ptr<Store> store_;
};

} // namespace korvane
