#pragma once

// YAML as the client reads subscriptions (and writes configurations back): plain value trees of
// null, boolean, integer, float, string, timestamp, sequence and mapping. Loading is libyaml's
// parser plus YAML 1.1's implicit typing (resolvePlainScalar); a tree holds no reference to the
// text it came from, so it can be filtered, moved between threads and emitted again.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane {

// A document that cannot be loaded, or a value of another kind than the one asked for.
// For a syntax or encoding fault what() is libyaml's own problem text, followed by its context
// when it gave one ("did not find expected key while parsing a block mapping"). This is the
// sentence the user sees about a broken subscription, so it stays in libyaml's words.
// line() and column() count from 1; 0 when the fault has no place in the text.
class YamlError : public std::runtime_error {
public:
    explicit YamlError(const std::string& message, std::size_t line = 0, std::size_t column = 0)
        : std::runtime_error(message), line_(line), column_(column) {}
    std::size_t line() const noexcept { return line_; }
    std::size_t column() const noexcept { return column_; }

private:
    std::size_t line_;
    std::size_t column_;
};

class YamlValue;
struct YamlEntry;
using YamlSequence = std::vector<YamlValue>;

// Entries in document order. Keys are values of any kind; no two keys are equal: where a
// document (or the constructor) gives a key twice, the later value replaces the earlier one
// and the entry keeps the place where the key first appeared.
// Lookups are linear: subscription mappings have a dozen keys, where a scan beats hashing.
class YamlMapping {
public:
    using iterator = std::vector<YamlEntry>::iterator;
    using const_iterator = std::vector<YamlEntry>::const_iterator;

    YamlMapping() noexcept = default;
    // Applies the duplicate-key rule above to entries (linear up to a few dozen entries,
    // hashed beyond, so large documents do not load in quadratic time).
    explicit YamlMapping(std::vector<YamlEntry> entries);

    std::size_t size() const noexcept;
    bool empty() const noexcept;
    const_iterator begin() const noexcept;
    const_iterator end() const noexcept;
    // Values may be changed in place; a key changed to equal another one would break the rule.
    iterator begin() noexcept;
    iterator end() noexcept;
    const std::vector<YamlEntry>& entries() const noexcept { return entries_; }

    // The value of the string key `key`; keys of other kinds never match (find("1") does
    // not find the integer key 1).
    const YamlValue* find(std::string_view key) const noexcept;
    YamlValue* find(std::string_view key) noexcept;
    // The value of a key of any kind.
    const YamlValue* findKey(const YamlValue& key) const noexcept;
    bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }
    bool hasOnlyStringKeys() const noexcept;

    // Replaces the value of an equal key where it stands, or appends the entry. Linear.
    YamlValue& insertOrAssign(YamlValue key, YamlValue value);
    bool erase(std::string_view key);
    bool eraseKey(const YamlValue& key);
    void reserve(std::size_t count);

    friend bool operator==(const YamlMapping& a, const YamlMapping& b) noexcept;

private:
    static bool sameKey(const YamlValue& a, const YamlValue& b) noexcept;

    std::vector<YamlEntry> entries_;
};

class YamlValue {
public:
    enum class Kind : std::uint8_t { Null, Boolean, Integer, Float, String, Timestamp, Sequence, Mapping };

    YamlValue() noexcept : kind_(Kind::Null) {}
    YamlValue(std::nullptr_t) noexcept : kind_(Kind::Null) {}
    YamlValue(bool value) noexcept : boolean_(value), kind_(Kind::Boolean) {}
    // Any integer type that fits: a size_t or uint64_t needs a cast, where values above
    // INT64_MAX are the caller's to decide about.
    template <std::integral T>
    requires(!std::same_as<T, bool> && !std::same_as<T, char> && (std::signed_integral<T> || sizeof(T) < 8))
        YamlValue(T value)
    noexcept : integer_(static_cast<std::int64_t>(value)), kind_(Kind::Integer) {}
    YamlValue(double value) noexcept : float_(value), kind_(Kind::Float) {}
    YamlValue(std::string value) noexcept : string_(std::move(value)), kind_(Kind::String) {}
    YamlValue(std::string_view value) : string_(value), kind_(Kind::String) {}
    // Without it a literal would pick the bool constructor.
    YamlValue(const char* value) : YamlValue(std::string_view(value)) {}
    YamlValue(YamlSequence value) noexcept;
    YamlValue(YamlMapping value) noexcept;
    // A date or date-time kept as written ("2001-12-14t21:59:43.10-05:00"): nothing in the
    // client computes with it, and writing the same text back keeps it a timestamp.
    static YamlValue timestamp(std::string_view text);

    YamlValue(const YamlValue& other);
    YamlValue(YamlValue&& other) noexcept;
    YamlValue& operator=(const YamlValue& other);
    YamlValue& operator=(YamlValue&& other) noexcept;
    ~YamlValue() { destroy(); }

    Kind kind() const noexcept { return kind_; }
    bool isNull() const noexcept { return kind_ == Kind::Null; }
    bool isBoolean() const noexcept { return kind_ == Kind::Boolean; }
    bool isInteger() const noexcept { return kind_ == Kind::Integer; }
    bool isFloat() const noexcept { return kind_ == Kind::Float; }
    bool isString() const noexcept { return kind_ == Kind::String; }
    bool isTimestamp() const noexcept { return kind_ == Kind::Timestamp; }
    bool isSequence() const noexcept { return kind_ == Kind::Sequence; }
    bool isMapping() const noexcept { return kind_ == Kind::Mapping; }

    // Each throws YamlError ("expected a string, found an integer") when the value is of
    // another kind, so a subscription of the wrong shape fails like a broken one.
    bool asBoolean() const {
        expect(Kind::Boolean);
        return boolean_;
    }
    std::int64_t asInteger() const {
        expect(Kind::Integer);
        return integer_;
    }
    double asFloat() const {
        expect(Kind::Float);
        return float_;
    }
    const std::string& asString() const {
        expect(Kind::String);
        return string_;
    }
    std::string& asString() {
        expect(Kind::String);
        return string_;
    }
    const std::string& timestampText() const {
        expect(Kind::Timestamp);
        return string_;
    }
    const YamlSequence& asSequence() const {
        expect(Kind::Sequence);
        return sequence_;
    }
    YamlSequence& asSequence() {
        expect(Kind::Sequence);
        return sequence_;
    }
    const YamlMapping& asMapping() const {
        expect(Kind::Mapping);
        return mapping_;
    }
    YamlMapping& asMapping() {
        expect(Kind::Mapping);
        return mapping_;
    }

    // The value of a string key when this is a mapping; nullptr otherwise.
    const YamlValue* find(std::string_view key) const noexcept;
    YamlValue* find(std::string_view key) noexcept;

    // Same kind and same value; mappings compare entry by entry in order. A NaN equals a NaN
    // (as YAML compares nodes by their canonical form), so ".nan" works as a key like any other.
    friend bool operator==(const YamlValue& a, const YamlValue& b) noexcept;

private:
    void expect(Kind kind) const {
        if (kind_ != kind) throwKind(kind);
    }
    [[noreturn]] void throwKind(Kind expected) const;
    void destroy() noexcept;
    void moveFrom(YamlValue&& other) noexcept;
    friend class YamlMapping; // reads string_ directly once it has seen a key is a string

    union {
        bool boolean_;
        std::int64_t integer_;
        double float_;
        std::string string_; // String and Timestamp
        YamlSequence sequence_;
        YamlMapping mapping_;
    };
    Kind kind_;
};

struct YamlEntry {
    YamlEntry() = default;
    YamlEntry(YamlValue&& k, YamlValue&& v) noexcept : key(std::move(k)), value(std::move(v)) {}
    YamlValue key;
    YamlValue value;
    friend bool operator==(const YamlEntry&, const YamlEntry&) noexcept = default;
};

// "null", "boolean", ... for messages.
std::string_view yamlKindName(YamlValue::Kind kind) noexcept;

// What a plain (unquoted, untagged) scalar means, by YAML 1.1's implicit types plus "0o"
// octals and exponents without a sign or point ("1e3"); anything else is a string:
//   null       ~ null Null NULL and the empty scalar
//   boolean    yes no true false on off, each as lower, Capitalised or UPPER case ("y" and
//              "yEs" are strings)
//   integer    0b1010, 0o17 and 017 (octal), 0x1F, 1_000, 190:20:30; "_" is a separator, also
//              right after a prefix ("0x_1F" is 31) but a prefix needs a digit ("0x_" is a
//              string); values beyond 64 bits stay strings, exactly as written
//   float      1.5, 1., .5, 1e3, 1.5e-3, 1_000.5, 190:20:30.15, .inf, -.Inf, .NaN; one point
//              at most ("1.2.3.4" is an address, a string), and a digit before the point or
//              the exponent ("." and ".e3" are strings)
//   timestamp  2002-12-14, 2001-12-14t21:59:43.10-05:00, 2001-12-14 21:59:43.10 -5
// A writer uses it to tell which strings must be quoted to stay strings.
YamlValue resolvePlainScalar(std::string_view text);

struct YamlLoadLimits {
    // Values that aliases may copy in, over the whole document: a few nested aliases
    // ("billion laughs") would otherwise make gigabytes from a kilobyte.
    std::size_t aliasValues = 10'000'000;
    // Open sequences and mappings at once; trees are freed recursively.
    std::size_t depth = 256;
};

// The single document of text. An empty stream or an empty document is null; a second
// document is an error (a subscription is one configuration). Only plain scalars are typed:
// quoted and block scalars are strings. Tags: !!str, !!int, !!float, !!bool, !!null and
// !!timestamp convert the text or fail ("!!float 1" is 1.0); "!" makes a string; other tags
// are ignored. An alias is a copy of its anchored value. A plain "<<" key (or !!merge) merges
// in the entries of the mapping, or of each mapping of the sequence, it names: keys of the
// mapping itself win; in "<<: [*a, *b]" a wins over b; of two "<<" keys the later wins, as
// for any duplicate key. Merged entries come first, the winning ones first, then the mapping's
// own. Throws YamlError.
YamlValue loadYaml(std::string_view text);
YamlValue loadYaml(std::string_view text, const YamlLoadLimits& limits);

// The text of one document holding value, as libyaml's emitter writes it: block style, two-space
// indentation, width 80, "\n" line breaks, no document markers; mapping keys in ascending
// code-point order at every depth; non-ASCII characters escaped in double quotes (\xXX,
// \uXXXX or \UXXXXXXXX, the shortest that holds them). A string that loadYaml would type as
// something else is quoted, as are "<<", "=", "y", "n", "Y" and "N" (which other YAML 1.1
// readers type) and every number of a YAML 1.2 core-schema reader ("0123", "09", "0X1F"), so
// loadYaml(dumpYaml(v)) == v and either kind of reader sees the same strings. Throws YamlError
// for a string that is not valid UTF-8.
std::string dumpYaml(const YamlValue& value);

// ---- inline definitions that need YamlEntry complete

inline YamlValue::YamlValue(YamlSequence value) noexcept
    : sequence_(std::move(value)), kind_(Kind::Sequence) {}
inline YamlValue::YamlValue(YamlMapping value) noexcept : mapping_(std::move(value)), kind_(Kind::Mapping) {}

inline void YamlMapping::reserve(std::size_t count) { entries_.reserve(count); }
inline std::size_t YamlMapping::size() const noexcept { return entries_.size(); }
inline bool YamlMapping::empty() const noexcept { return entries_.empty(); }
inline YamlMapping::const_iterator YamlMapping::begin() const noexcept { return entries_.begin(); }
inline YamlMapping::const_iterator YamlMapping::end() const noexcept { return entries_.end(); }
inline YamlMapping::iterator YamlMapping::begin() noexcept { return entries_.begin(); }
inline YamlMapping::iterator YamlMapping::end() noexcept { return entries_.end(); }

inline bool operator==(const YamlMapping& a, const YamlMapping& b) noexcept {
    return a.entries_ == b.entries_;
}

inline const YamlValue* YamlMapping::find(std::string_view key) const noexcept {
    for (const auto& entry : entries_)
        if (entry.key.isString() && entry.key.string_ == key) return &entry.value;
    return nullptr;
}

inline YamlValue* YamlMapping::find(std::string_view key) noexcept {
    return const_cast<YamlValue*>(std::as_const(*this).find(key));
}

inline const YamlValue* YamlValue::find(std::string_view key) const noexcept {
    return kind_ == Kind::Mapping ? mapping_.find(key) : nullptr;
}

inline YamlValue* YamlValue::find(std::string_view key) noexcept {
    return kind_ == Kind::Mapping ? mapping_.find(key) : nullptr;
}

} // namespace korvane
