// The settings file, through the real file: typed reads answer what the file holds, and a
// change rewrites it keeping every other value as it was.

#include "base/json.h"
#include "fuzz_check.h"
#include "platform/posix_platform.h"

#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace korvane;
namespace fs = std::filesystem;

namespace {

const fs::path& directory() {
    static const fs::path path = [] {
        // scripts/fuzz.sh points TMPDIR at a memory-backed directory it removes afterwards:
        // every change is flushed to disk.
        std::string pattern = (fs::temp_directory_path() / "korvane-fuzz-settings-XXXXXX").string();
        FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(directory(), ignored);
        });
        return fs::path(pattern);
    }();
    return path;
}

std::string readAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fs::path file = directory() / "settings.json";
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
    Json parsed = Json::parse(fuzz::text(data, size), nullptr, false);
    if (!parsed.is_object()) parsed = Json::object();

    JsonFileDefaults defaults(file);
    for (const auto& [key, value] : parsed.items()) {
        FUZZ_CHECK(defaults.contains(key));
        FUZZ_CHECK(defaults.getString(key) ==
                   (value.is_string() ? std::optional(value.get<std::string>()) : std::nullopt));
        FUZZ_CHECK(defaults.getBool(key) ==
                   (value.is_boolean() ? std::optional(value.get<bool>()) : std::nullopt));
    }

    defaults.setBool("fuzz.changed", true);
    Json expected = parsed;
    expected["fuzz.changed"] = true;
    FUZZ_CHECK(Json::parse(readAll(file), nullptr, false) == expected);
    return 0;
}
