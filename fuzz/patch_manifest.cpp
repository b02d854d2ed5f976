// A patch's patch.json: accepted only when it names exactly the builds, architecture and
// format it is checked against; refused with the user's text or the JSON parser's error.

#include "base/errors.h"
#include "fuzz_check.h"
#include "update/korvane_update_installer.h"
#include "update/update_manifest.h"

using namespace korvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::text(data, size);
    const std::string arches[] = {"x64", "arm64"};
    for (const auto& arch : arches) {
        try {
            KorvaneUpdateInstaller::checkPatchManifest(text, 100, 101, arch);
        } catch (const KorvaneError&) {
            continue;
        } catch (const Json::parse_error&) {
            return 0;
        } catch (const Json::out_of_range& error) {
            FUZZ_CHECK(error.id == 406); // a number too large for a double: the parser's refusal too
            return 0;
        }
        const Json patch = Json::parse(text);
        FUZZ_CHECK(patch.is_object());
        FUZZ_CHECK(manifestBuild(&patch.at("from_build")) == 100);
        FUZZ_CHECK(manifestBuild(&patch.at("to_build")) == 101);
        FUZZ_CHECK(patch.at("arch") == arch && patch.at("format") == kPatchFormat);
    }
    return 0;
}
