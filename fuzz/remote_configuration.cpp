// The remote configuration: a document that is not an object changes nothing, and every
// address it does change is an https address with a host, trimmed of slashes.

#include "fuzz_check.h"
#include "panel/korvane_remote.h"

using namespace korvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const KorvaneRemote before(std::vector<std::string>{});
    KorvaneRemote remote(std::vector<std::string>{});
    const bool applied = remote.apply(fuzz::text(data, size));
    const std::pair<const std::string*, const std::string*> fields[] = {
        {&before.api, &remote.api},           {&before.site, &remote.site},
        {&before.renew, &remote.renew},       {&before.support, &remote.support},
        {&before.manifest, &remote.manifest},
    };
    for (const auto& [old, now] : fields) {
        if (!applied) FUZZ_CHECK(*now == *old);
        if (*now == *old) continue;
        FUZZ_CHECK(KorvaneRemote::validHTTPS(*now) == *now);
        FUZZ_CHECK(!now->ends_with('/'));
    }
    return 0;
}
