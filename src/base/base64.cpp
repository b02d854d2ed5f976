#include "base/base64.h"

#include <array>
#include <cstdint>

namespace korvane {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int, 256> makeReverse() {
    std::array<int, 256> table{};
    for (auto& v : table)
        v = -1;
    for (int i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(kAlphabet[i])] = i;
    return table;
}
constexpr auto kReverse = makeReverse();

} // namespace

std::string base64Encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = (std::uint32_t(static_cast<unsigned char>(bytes[i])) << 16) |
                                (std::uint32_t(static_cast<unsigned char>(bytes[i + 1])) << 8) |
                                std::uint32_t(static_cast<unsigned char>(bytes[i + 2]));
        out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63], kAlphabet[v & 63]};
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        const std::uint32_t v = std::uint32_t(static_cast<unsigned char>(bytes[i])) << 16;
        out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], '=', '='};
    } else if (rest == 2) {
        const std::uint32_t v = (std::uint32_t(static_cast<unsigned char>(bytes[i])) << 16) |
                                (std::uint32_t(static_cast<unsigned char>(bytes[i + 1])) << 8);
        out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63], '='};
    }
    return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int values[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + static_cast<std::size_t>(k)];
            if (c == '=' && last && k >= 2) {
                values[k] = 0;
                ++padding;
                continue;
            }
            if (padding > 0) return std::nullopt; // data after padding
            values[k] = kReverse[static_cast<unsigned char>(c)];
            if (values[k] < 0) return std::nullopt;
        }
        const std::uint32_t v = (std::uint32_t(values[0]) << 18) | (std::uint32_t(values[1]) << 12) |
                                (std::uint32_t(values[2]) << 6) | std::uint32_t(values[3]);
        if (padding == 2 && (v & 0xFFFF) != 0) return std::nullopt;
        if (padding == 1 && (v & 0xFF) != 0) return std::nullopt;
        out.push_back(static_cast<char>(v >> 16));
        if (padding < 2) out.push_back(static_cast<char>((v >> 8) & 0xFF));
        if (padding < 1) out.push_back(static_cast<char>(v & 0xFF));
    }
    return out;
}

} // namespace korvane
