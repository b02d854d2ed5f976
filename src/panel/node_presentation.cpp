#include "panel/node_presentation.h"

#include "base/text.h"

#include <algorithm>
#include <array>
#include <string>

namespace korvane {

namespace {

// Renewal, website, mail, support, contact, notice, purchase, plan, traffic, expiry,
// update, reset, countdown, subscription: simplified and traditional forms.
constexpr std::array<std::string_view, 23> kInformationalWords = {
    "续费", "續費", "官网", "官網", "网站", "網站", "邮箱", "郵箱",     "客服",     "联系", "聯繫", "公告",
    "购买", "購買", "套餐", "流量", "到期", "更新", "重置", "距离下次", "距離下次", "订阅", "訂閱",
};

constexpr std::array<std::string_view, 3> kAddressMarkers = {"www.", "http://", "https://"};

} // namespace

bool KorvaneNodePresentation::isServer(std::string_view name) {
    const std::string_view trimmed = trimWhitespaceAndNewlines(name);
    if (trimmed.empty()) return false;
    for (auto word : kInformationalWords) {
        if (trimmed.find(word) != std::string_view::npos) return false;
    }
    std::string lower(trimmed);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    for (auto marker : kAddressMarkers) {
        if (lower.find(marker) != std::string::npos) return false;
    }
    return true;
}

} // namespace korvane
