// The proxy backup record: what decodes encodes to a text that decodes to an equal record, and
// encoding is stable.

#include "sysproxy/proxy_backup.h"
#include "base/errors.h"
#include "fuzz_check.h"

using namespace korvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ProxyBackup backup;
    try {
        backup = decodeProxyBackup(fuzz::text(data, size));
    } catch (const KorvaneError&) {
        return 0;
    }
    const std::string encoded = encodeProxyBackup(backup);
    const ProxyBackup again = decodeProxyBackup(encoded);
    FUZZ_CHECK(again == backup);
    FUZZ_CHECK(encodeProxyBackup(again) == encoded);
    return 0;
}
