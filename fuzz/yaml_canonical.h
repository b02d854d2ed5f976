#pragma once

// YAML trees compared as YAML compares them: a mapping is a set of entries, so a tree and its
// dump (whose keys are sorted) are the same. canonical() sorts every mapping's entries by a
// total order of values (NaN equal to itself), keys included.

#include "base/yaml.h"

#include <algorithm>
#include <cmath>

namespace korvane::fuzz {

inline int compareYaml(const YamlValue& a, const YamlValue& b) {
    if (a.kind() != b.kind()) return a.kind() < b.kind() ? -1 : 1;
    auto order = [](auto x, auto y) { return x < y ? -1 : y < x ? 1 : 0; };
    switch (a.kind()) {
    case YamlValue::Kind::Null:
        return 0;
    case YamlValue::Kind::Boolean:
        return order(a.asBoolean(), b.asBoolean());
    case YamlValue::Kind::Integer:
        return order(a.asInteger(), b.asInteger());
    case YamlValue::Kind::Float: {
        const bool nanA = std::isnan(a.asFloat()), nanB = std::isnan(b.asFloat());
        if (nanA || nanB) return order(nanA, nanB);
        return order(a.asFloat(), b.asFloat());
    }
    case YamlValue::Kind::String:
        return a.asString().compare(b.asString());
    case YamlValue::Kind::Timestamp:
        return a.timestampText().compare(b.timestampText());
    case YamlValue::Kind::Sequence: {
        const auto &x = a.asSequence(), &y = b.asSequence();
        for (std::size_t i = 0; i < std::min(x.size(), y.size()); ++i)
            if (int c = compareYaml(x[i], y[i])) return c;
        return order(x.size(), y.size());
    }
    case YamlValue::Kind::Mapping: {
        const auto &x = a.asMapping().entries(), &y = b.asMapping().entries();
        for (std::size_t i = 0; i < std::min(x.size(), y.size()); ++i) {
            if (int c = compareYaml(x[i].key, y[i].key)) return c;
            if (int c = compareYaml(x[i].value, y[i].value)) return c;
        }
        return order(x.size(), y.size());
    }
    }
    return 0;
}

inline YamlValue canonical(const YamlValue& value) {
    if (value.isSequence()) {
        YamlSequence items;
        for (const auto& item : value.asSequence())
            items.push_back(canonical(item));
        return items;
    }
    if (!value.isMapping()) return value;
    std::vector<YamlEntry> entries;
    for (const auto& entry : value.asMapping())
        entries.emplace_back(canonical(entry.key), canonical(entry.value));
    std::sort(entries.begin(), entries.end(),
              [](const YamlEntry& x, const YamlEntry& y) { return compareYaml(x.key, y.key) < 0; });
    const std::size_t count = entries.size();
    YamlMapping mapping(std::move(entries));
    // Keys that differed only in the order of their own entries are one key in YAML.
    if (mapping.size() != count) return YamlValue(nullptr);
    return mapping;
}

inline bool sameYaml(const YamlValue& a, const YamlValue& b) { return canonical(a) == canonical(b); }

} // namespace korvane::fuzz
