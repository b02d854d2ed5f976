// The archive tool's listing: it reads as exactly as many entries as its header counts, no
// name spans lines, the same entries listed again read the same, and the screen lets through
// only relative names that stay below the staging directory and plain files or directories.

#include "update/package_listing.h"
#include "base/errors.h"
#include "fuzz_check.h"

using namespace korvane;

namespace {

std::string listing(const std::vector<PackageEntry>& entries) {
    std::string text = "Archive:  package.zip\nZip file size: 1 bytes, number of entries: " +
                       std::to_string(entries.size()) + "\n";
    for (const auto& entry : entries)
        text += std::string(1, entry.type) + "rw-r--r--  3.0 unx        0 bx stor 24-Jan-01 00:00 " +
                entry.name + "\n";
    return text + std::to_string(entries.size()) +
           " files, 0 bytes uncompressed, 0 bytes compressed:  0.0%\n";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto entries = parseZipListing(fuzz::text(data, size));
    if (!entries) return 0;
    for (const auto& entry : entries.value())
        FUZZ_CHECK(!entry.name.empty() && entry.name.find('\n') == std::string::npos);
    const auto again = parseZipListing(listing(*entries));
    FUZZ_CHECK(again && again->size() == entries->size());
    for (std::size_t i = 0; i < entries->size(); ++i)
        FUZZ_CHECK((*again)[i].name == (*entries)[i].name && (*again)[i].type == (*entries)[i].type);
    try {
        screenPackageEntries(*entries);
    } catch (const KorvaneError&) {
        return 0;
    }
    FUZZ_CHECK(!entries->empty() && entries->size() <= kMaximumPackageEntries);
    for (const auto& entry : entries.value()) {
        FUZZ_CHECK(entry.type == '-' || entry.type == 'd' || entry.type == '?');
        FUZZ_CHECK(!entry.name.starts_with('/') && entry.name.find('\\') == std::string::npos);
        const std::string wrapped = "/" + entry.name + "/";
        FUZZ_CHECK(wrapped.find("/../") == std::string::npos);
    }
    return 0;
}
