// The YAML value layer: whatever loadYaml accepts dumps, and the dump loads again to an equal
// tree (NaN equal to itself, mappings as sets of entries) and dumps to the same text.

#include "base/yaml.h"
#include "fuzz_check.h"
#include "yaml_canonical.h"

using namespace korvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A lower alias ceiling than the client's keeps each run short; the ceiling's own
    // check is what is exercised either way.
    YamlLoadLimits limits;
    limits.aliasValues = 100'000;
    YamlValue value;
    try {
        value = loadYaml(fuzz::text(data, size), limits);
    } catch (const YamlError&) {
        return 0;
    }
    const std::string dumped = dumpYaml(value); // a loaded tree always dumps
    const YamlValue again = loadYaml(dumped);
    FUZZ_CHECK(fuzz::sameYaml(again, value));
    FUZZ_CHECK(dumpYaml(again) == dumped);
    return 0;
}
