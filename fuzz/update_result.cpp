// The install script's result file: what is read is what the text says, and the result written
// again reads the same.

#include "app/update_handover.h"
#include "base/json.h"
#include "fuzz_check.h"

using namespace korvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::text(data, size);
    const auto result = readUpdateResult(text);
    if (!result) return 0;
    const Json parsed = Json::parse(text);
    FUZZ_CHECK(parsed.at("status") == (result->success ? "success" : "failed"));
    const std::string written = Json{
        {"status", result->success ? "success" : "failed"},
        {"to_build", result->toBuild},
        {"exit_code",
         result->exitCode}}.dump();
    const auto again = readUpdateResult(written);
    FUZZ_CHECK(again && again->success == result->success && again->toBuild == result->toBuild &&
               again->exitCode == result->exitCode);
    return 0;
}
