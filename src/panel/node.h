#pragma once

#include "panel/account_overview.h"

#include <cstdint>
#include <string>

namespace korvane {

// One usable proxy server of the subscription.
struct Node {
    std::string name; // exactly as in the subscription; unique within one list
    std::string type; // upper-cased protocol, "PROXY" when the entry has none
    std::string host;
    std::int64_t port = 0; // 1 to 65535

    bool operator==(const Node&) const = default;
};

// What a profile says about the account's subscription.
struct Subscription {
    std::string email; // the profile's email; "" when absent or not a string
    std::string url;   // the https subscription URL
    AccountOverview overview;
};

} // namespace korvane
