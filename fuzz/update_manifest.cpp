// The update manifest: a plan offers a newer build through an https address and a digest of
// 64 characters, a patch only from the running build, and the package's name is a plain file
// name; a manifest is refused only with the user's text or the JSON parser's error.

#include "update/update_manifest.h"
#include "base/errors.h"
#include "base/url.h"
#include "fuzz_check.h"

using namespace korvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body = fuzz::text(data, size);
    Json parsed;
    try {
        parsed = parseManifest(body);
    } catch (const Json::parse_error&) {
        return 0;
    } catch (const Json::out_of_range& error) {
        FUZZ_CHECK(error.id == 406); // a number too large for a double: the parser's refusal too
        return 0;
    } catch (const KorvaneError&) {
        return 0;
    }
    const Json& manifest = parsed;
    // The builds a client may run: the manifest's own neighbourhood and the far ends.
    fuzz::Choices choices(body);
    const auto member = [](const Json& object, const char* name) -> const Json* {
        const auto found = object.find(name);
        return found == object.end() ? nullptr : &*found;
    };
    const std::int64_t build = manifestBuild(member(manifest, "build")).value_or(0);
    const std::int64_t builds[] = {0, 100, build > 0 ? build - 1 : 0, build,
                                   static_cast<std::int64_t>(choices.next() >> 1)};
    for (const std::int64_t appBuild : builds) {
        std::optional<UpdatePlan> plan;
        try {
            plan = planUpdate(manifest, appBuild);
        } catch (const KorvaneError&) {
            continue;
        }
        if (!plan) continue;
        FUZZ_CHECK(plan->targetBuild > appBuild && plan->targetBuild == build);
        FUZZ_CHECK(isHTTPSWithHost(plan->url));
        FUZZ_CHECK(plan->sha256.size() == 64);
        if (plan->isPatch) {
            // Only a patch from this very build to the one on offer, in the one format applied.
            bool named = false;
            for (const auto& patch : manifest.at("patches")) {
                const Json* format = member(patch, "format");
                named = named || (manifestBuild(member(patch, "from_build")) == appBuild &&
                                  manifestBuild(member(patch, "to_build")) == build && format &&
                                  *format == kPatchFormat);
            }
            FUZZ_CHECK(named);
        }
        const std::string name = packageFileName(*plan, appBuild);
        FUZZ_CHECK(name.find('/') == std::string::npos && name.starts_with("Korvane-"));
    }
    return 0;
}
