#include "base/yaml.h"
#include "base/yaml_detail.h"

#include <cmath>
#include <functional>
#include <new>
#include <unordered_set>

namespace korvane {

namespace {

// Up to this many entries a pairwise scan finds duplicate keys faster than a hash set is built.
constexpr std::size_t kLinearDeduplication = 24;

} // namespace

std::string_view yamlKindName(YamlValue::Kind kind) noexcept {
    using Kind = YamlValue::Kind;
    switch (kind) {
    case Kind::Null:
        return "null";
    case Kind::Boolean:
        return "boolean";
    case Kind::Integer:
        return "integer";
    case Kind::Float:
        return "float";
    case Kind::String:
        return "string";
    case Kind::Timestamp:
        return "timestamp";
    case Kind::Sequence:
        return "sequence";
    case Kind::Mapping:
        return "mapping";
    }
    return "value";
}

// ---- YamlValue

YamlValue YamlValue::timestamp(std::string_view text) {
    YamlValue value(text);
    value.kind_ = Kind::Timestamp;
    return value;
}

YamlValue::YamlValue(const YamlValue& other) : kind_(other.kind_) {
    switch (kind_) {
    case Kind::Null:
        break;
    case Kind::Boolean:
        boolean_ = other.boolean_;
        break;
    case Kind::Integer:
        integer_ = other.integer_;
        break;
    case Kind::Float:
        float_ = other.float_;
        break;
    case Kind::String:
    case Kind::Timestamp:
        new (&string_) std::string(other.string_);
        break;
    case Kind::Sequence:
        new (&sequence_) YamlSequence(other.sequence_);
        break;
    case Kind::Mapping:
        new (&mapping_) YamlMapping(other.mapping_);
        break;
    }
}

YamlValue::YamlValue(YamlValue&& other) noexcept : kind_(other.kind_) { moveFrom(std::move(other)); }

// Expects kind_ == other.kind_ and no live member in this.
void YamlValue::moveFrom(YamlValue&& other) noexcept {
    switch (kind_) {
    case Kind::Null:
        break;
    case Kind::Boolean:
        boolean_ = other.boolean_;
        break;
    case Kind::Integer:
        integer_ = other.integer_;
        break;
    case Kind::Float:
        float_ = other.float_;
        break;
    case Kind::String:
    case Kind::Timestamp:
        new (&string_) std::string(std::move(other.string_));
        break;
    case Kind::Sequence:
        new (&sequence_) YamlSequence(std::move(other.sequence_));
        break;
    case Kind::Mapping:
        new (&mapping_) YamlMapping(std::move(other.mapping_));
        break;
    }
}

YamlValue& YamlValue::operator=(YamlValue&& other) noexcept {
    if (this == &other) return *this;
    // Through a temporary: other may live inside this value's tree ("root = std::move(child)"),
    // and destroying this first would free it.
    YamlValue taken(std::move(other));
    destroy();
    kind_ = taken.kind_;
    moveFrom(std::move(taken));
    return *this;
}

YamlValue& YamlValue::operator=(const YamlValue& other) {
    // Copy first: other may live inside this value's tree.
    YamlValue copy(other);
    return *this = std::move(copy);
}

void YamlValue::destroy() noexcept {
    switch (kind_) {
    case Kind::String:
    case Kind::Timestamp:
        string_.~basic_string();
        break;
    case Kind::Sequence:
        sequence_.~YamlSequence();
        break;
    case Kind::Mapping:
        mapping_.~YamlMapping();
        break;
    default:
        break;
    }
    kind_ = Kind::Null;
}

void YamlValue::throwKind(Kind expected) const {
    const auto article = [](Kind kind) {
        return kind == Kind::Integer ? std::string("an ") : std::string("a ");
    };
    throw YamlError("expected " + article(expected) + std::string(yamlKindName(expected)) + ", found " +
                    article(kind_) + std::string(yamlKindName(kind_)));
}

bool operator==(const YamlValue& a, const YamlValue& b) noexcept {
    using Kind = YamlValue::Kind;
    if (a.kind_ != b.kind_) return false;
    switch (a.kind_) {
    case Kind::Null:
        return true;
    case Kind::Boolean:
        return a.boolean_ == b.boolean_;
    case Kind::Integer:
        return a.integer_ == b.integer_;
    case Kind::Float:
        return a.float_ == b.float_ || (std::isnan(a.float_) && std::isnan(b.float_));
    case Kind::String:
    case Kind::Timestamp:
        return a.string_ == b.string_;
    case Kind::Sequence:
        return a.sequence_ == b.sequence_;
    case Kind::Mapping:
        return a.mapping_ == b.mapping_;
    }
    return false;
}

// ---- YamlMapping

// Collections hash by kind and size only: equality sorts them out, and they are rare as keys.
std::size_t yaml_detail::hashKey(const YamlValue& value) noexcept {
    using Kind = YamlValue::Kind;
    const auto kind = static_cast<std::size_t>(value.kind());
    switch (value.kind()) {
    case Kind::Null:
        return kind;
    case Kind::Boolean:
        return kind * 31 + value.asBoolean();
    case Kind::Integer:
        return std::hash<std::int64_t>{}(value.asInteger()) ^ kind;
    case Kind::Float:
        // +0.0 and -0.0 are equal, and every NaN equals every NaN.
        if (std::isnan(value.asFloat())) return kind * 131;
        return std::hash<double>{}(value.asFloat() == 0 ? 0.0 : value.asFloat()) ^ kind;
    case Kind::String:
        return std::hash<std::string_view>{}(value.asString());
    case Kind::Timestamp:
        return std::hash<std::string_view>{}(value.timestampText()) ^ kind;
    case Kind::Sequence:
        return value.asSequence().size() * 31 + kind;
    case Kind::Mapping:
        return value.asMapping().size() * 31 + kind;
    }
    return 0;
}

// Nearly all keys are strings: compared here without a call.
bool YamlMapping::sameKey(const YamlValue& a, const YamlValue& b) noexcept {
    if (a.kind_ == YamlValue::Kind::String && b.kind_ == YamlValue::Kind::String)
        return a.string_ == b.string_;
    return a == b;
}

YamlMapping::YamlMapping(std::vector<YamlEntry> entries) : entries_(std::move(entries)) {
    const std::size_t count = entries_.size();
    if (count < 2) return;
    // Entries [0, kept) have distinct keys. Each next entry is moved to entries_[kept] and
    // either joins them or hands its value to the equal key and leaves the slot to be reused.
    std::size_t kept = 1;
    if (count <= kLinearDeduplication) {
        for (std::size_t next = 1; next < count; ++next) {
            const YamlValue& key = entries_[next].key;
            std::size_t same = 0;
            while (same < kept && !sameKey(entries_[same].key, key))
                ++same;
            if (same < kept) {
                entries_[same].value = std::move(entries_[next].value);
            } else {
                if (kept != next) entries_[kept] = std::move(entries_[next]);
                ++kept;
            }
        }
    } else {
        // Indices into entries_, which is not reallocated while the set lives.
        const auto hash = [this](std::size_t i) { return yaml_detail::hashKey(entries_[i].key); };
        const auto equal = [this](std::size_t i, std::size_t j) {
            return entries_[i].key == entries_[j].key;
        };
        std::unordered_set<std::size_t, decltype(hash), decltype(equal)> keys(count, hash, equal);
        keys.insert(0);
        for (std::size_t next = 1; next < count; ++next) {
            if (kept != next) entries_[kept] = std::move(entries_[next]);
            const auto [at, inserted] = keys.insert(kept);
            if (inserted)
                ++kept;
            else
                entries_[*at].value = std::move(entries_[kept].value);
        }
    }
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(kept), entries_.end());
}

const YamlValue* YamlMapping::findKey(const YamlValue& key) const noexcept {
    if (key.isString()) return find(std::string_view(key.string_));
    for (const auto& entry : entries_)
        if (entry.key == key) return &entry.value;
    return nullptr;
}

bool YamlMapping::hasOnlyStringKeys() const noexcept {
    for (const auto& entry : entries_)
        if (!entry.key.isString()) return false;
    return true;
}

YamlValue& YamlMapping::insertOrAssign(YamlValue key, YamlValue value) {
    if (const YamlValue* existing = findKey(key)) {
        auto& slot = const_cast<YamlValue&>(*existing);
        slot = std::move(value);
        return slot;
    }
    entries_.emplace_back(std::move(key), std::move(value));
    return entries_.back().value;
}

bool YamlMapping::erase(std::string_view key) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->key.isString() && it->key.string_ == key) {
            entries_.erase(it);
            return true;
        }
    }
    return false;
}

bool YamlMapping::eraseKey(const YamlValue& key) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->key == key) {
            entries_.erase(it);
            return true;
        }
    }
    return false;
}

} // namespace korvane
