#include "platform/posix_platform.h"

#include "base/files.h"
#include "base/json.h"
#include "platform/system_paths.h"

#include <plist/plist.h>

#include <cstdlib>
#include <sys/stat.h>
#include <system_error>

namespace korvane {

namespace fs = std::filesystem;

namespace {

// Far beyond what the client writes; a larger file is not the client's own.
constexpr std::size_t kMaximumSettingsSize = 1 << 20;

} // namespace

std::optional<fs::path> Bundle::resource(const fs::path& relative) const {
    std::error_code error;
    auto path = resourcesDirectory() / relative;
    if (fs::exists(path, error)) return path;
    return std::nullopt;
}

PlistBundle::PlistBundle(fs::path location) : location_(std::move(location)) {
    auto data = readFile(location_ / "Contents" / "Info.plist");
    if (!data || data->size() > 1'000'000) return;
    plist_t root = nullptr;
    plist_from_memory(data->data(), static_cast<uint32_t>(data->size()), &root);
    if (!root) return;
    if (plist_get_node_type(root) == PLIST_DICT) {
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(root, &it);
        for (;;) {
            char* key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(root, it, &key, &value);
            if (!key) break;
            if (value && plist_get_node_type(value) == PLIST_STRING) {
                uint64_t length = 0;
                const char* text = plist_get_string_ptr(value, &length);
                if (text) strings_.emplace(key, std::string(text, length));
            }
            std::free(key);
        }
        std::free(it);
    }
    plist_free(root);
}

fs::path PlistBundle::locate() {
    if (const char* bundle = std::getenv("KORVANE_BUNDLE"); bundle && *bundle) return bundle;
    std::error_code error;
    auto executable = fs::read_symlink("/proc/self/exe", error);
    if (error) return fs::current_path(error);
    // <bundle>/Contents/MacOS/<executable>
    return executable.parent_path().parent_path().parent_path();
}

fs::path PlistBundle::resourcesDirectory() const { return location_ / "Contents" / "Resources"; }

std::optional<std::string> PlistBundle::infoString(const std::string& key) const {
    if (auto it = strings_.find(key); it != strings_.end()) return it->second;
    return std::nullopt;
}

HomeDirectories::HomeDirectories() {
    if (const char* home = std::getenv("HOME"); home && *home) home_ = home;
}

std::optional<fs::path> HomeDirectories::applicationSupport() const {
    if (home_.empty()) return std::nullopt;
    return home_ / "Library" / "Application Support";
}

std::optional<fs::path> HomeDirectories::downloads() const {
    if (home_.empty()) return std::nullopt;
    return home_ / "Downloads";
}

fs::path HomeDirectories::applications() const { return systemPath("/Applications"); }

struct JsonFileDefaults::Store {
    Json values = Json::object();
};

JsonFileDefaults::JsonFileDefaults(fs::path file)
    : file_(std::move(file)), store_(std::make_unique<Store>()) {
    // Read without blocking or following a link: a FIFO or a foreign file here starts the
    // client with default settings.
    if (auto text = readPrivateFile(file_, kMaximumSettingsSize).bytes) {
        Json parsed = Json::parse(*text, nullptr, false);
        if (parsed.is_object()) store_->values = std::move(parsed);
    }
}

JsonFileDefaults::~JsonFileDefaults() = default;

bool JsonFileDefaults::contains(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return store_->values.contains(key);
}

std::optional<std::string> JsonFileDefaults::getString(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = store_->values.find(key);
    if (it == store_->values.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

std::optional<bool> JsonFileDefaults::getBool(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = store_->values.find(key);
    if (it == store_->values.end() || !it->is_boolean()) return std::nullopt;
    return it->get<bool>();
}

void JsonFileDefaults::setString(const std::string& key, const std::string& value) {
    std::lock_guard lock(mutex_);
    store_->values[key] = value;
    save();
}

void JsonFileDefaults::setBool(const std::string& key, bool value) {
    std::lock_guard lock(mutex_);
    store_->values[key] = value;
    save();
}

void JsonFileDefaults::remove(const std::string& key) {
    std::lock_guard lock(mutex_);
    if (store_->values.erase(key) > 0) save();
}

void JsonFileDefaults::save() const {
    // Settings are best effort, as on the target platform: a failed write keeps the value
    // in memory for this run.
    createPrivateDirectories(file_.parent_path());
    try {
        writeFileAtomically(file_, encodeJson(store_->values), 0600);
    } catch (const std::exception&) {
    }
}

} // namespace korvane
