#pragma once

// What the fuzz targets share. A broken invariant aborts with its text, which libFuzzer
// reports like a crash, keeping the input that caused it.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#define FUZZ_CHECK(condition)                                                                                \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition);           \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (false)

namespace korvane::fuzz {

inline std::string_view text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// A small deterministic generator seeded from the input, for choices (where to split a
// stream, which build to plan for) that should vary with the input without eating into it.
class Choices {
public:
    explicit Choices(std::string_view seed) {
        for (unsigned char c : seed)
            state_ = (state_ ^ c) * 0x100000001b3ull;
    }
    std::uint64_t next() {
        state_ ^= state_ >> 33;
        state_ *= 0xff51afd7ed558ccdull;
        state_ ^= state_ >> 33;
        return state_;
    }
    // 1 to limit.
    std::size_t upTo(std::size_t limit) { return 1 + static_cast<std::size_t>(next() % limit); }

private:
    std::uint64_t state_ = 0xcbf29ce484222325ull;
};

} // namespace korvane::fuzz
