// Writes value trees through libyaml's emitter. Only the choice of each scalar's text and of
// whether it may stay plain is ours; style, folding and escaping are the emitter's, so what it
// writes is what libyaml (and any YAML 1.1 reader) reads back.

#include "base/yaml.h"

#include <yaml.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <vector>

namespace korvane {

namespace {

// The text of a float that reads back as the same float: shortest round-trip digits, always
// with a point (YAML 1.1 has no float without one), or .inf / -.inf / .nan.
std::string floatText(double value) {
    if (std::isnan(value)) return ".nan";
    if (std::isinf(value)) return value > 0 ? ".inf" : "-.inf";
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, result.ptr);
    if (text.find('.') == std::string::npos) {
        auto exponent = text.find('e');
        text.insert(exponent == std::string::npos ? text.size() : exponent, ".0");
    }
    return text;
}

// The text of a scalar, and whether it may be written plain (unquoted, untagged).
// A formatted number lives in `owned` (so the value can move); other texts are views of the
// value or of literals.
struct ScalarText {
    std::string owned;
    std::string_view borrowed;
    bool plain = true;
    bool isOwned = false;
    std::string_view text() const { return isOwned ? std::string_view(owned) : borrowed; }
};

constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Whether text is a number to a YAML 1.2 core-schema reader, such as the proxy core's:
//   [-+]?[0-9]+   0o[0-7]+   0x[0-9a-fA-F]+   [-+]?(\.[0-9]+|[0-9]+(\.[0-9]*)?)([eE][-+]?[0-9]+)?
// The core's reader is laxer than the schema: it drops every "_" first, and takes a sign before
// any base prefix, "0b" and prefixes in upper case; so does this test. Unlike YAML 1.1, digits
// after a leading zero are decimal: "0123456789" and "09" are numbers here, strings in 1.1.
// (The special floats .inf and .nan are spelt alike in both schemas.) A prefix followed by "_"
// alone ("0x_") names no number, but 1.1 readers other than ours take it for one and fail.
bool isCoreSchemaNumber(std::string_view text) {
    if (text.empty() || !(isDigit(text[0]) || text[0] == '+' || text[0] == '-' || text[0] == '.'))
        return false;
    std::string digits;
    for (const char c : text)
        if (c != '_') digits += c;
    std::string_view s = digits;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
    const auto all = [](std::string_view part, auto&& accepted) {
        if (part.empty()) return false;
        for (const char c : part)
            if (!accepted(c)) return false;
        return true;
    };
    if (s.size() >= 2 && s[0] == '0') {
        const std::string_view rest = s.substr(2);
        if (rest.empty() && std::string_view("xXoObB").find(s[1]) != std::string_view::npos)
            return digits.size() < text.size();
        switch (s[1]) {
        case 'x':
        case 'X':
            return all(rest,
                       [](char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); });
        case 'o':
        case 'O':
            return all(rest, [](char c) { return c >= '0' && c <= '7'; });
        case 'b':
        case 'B':
            return all(rest, [](char c) { return c == '0' || c == '1'; });
        default:
            break;
        }
    }
    const std::size_t n = s.size();
    std::size_t p = 0;
    const auto skipDigits = [&] {
        const std::size_t start = p;
        while (p < n && isDigit(s[p]))
            ++p;
        return p - start;
    };
    const std::size_t whole = skipDigits();
    std::size_t fraction = 0;
    if (p < n && s[p] == '.') {
        ++p;
        fraction = skipDigits();
    }
    if (whole == 0 && fraction == 0) return false;
    if (p < n && (s[p] == 'e' || s[p] == 'E')) {
        ++p;
        if (p < n && (s[p] == '+' || s[p] == '-')) ++p;
        if (skipDigits() == 0) return false;
    }
    return p == n;
}

// Plain text that some reader would take for another type than a string: ours (YAML 1.1 as
// resolvePlainScalar reads it), other YAML 1.1 readers ("y" and "n" as booleans, "<<" as a merge
// key, "=" as the value key) and YAML 1.2 core-schema readers. The core reads the configuration
// with the latter, so a string it took for a number would silently change a password or an id.
bool readsAsAnotherType(std::string_view text) {
    if (!resolvePlainScalar(text).isString()) return true;
    if (text == "<<" || text == "=" || text == "y" || text == "n" || text == "Y" || text == "N") return true;
    return isCoreSchemaNumber(text);
}

ScalarText scalarText(const YamlValue& value) {
    ScalarText out;
    switch (value.kind()) {
    case YamlValue::Kind::Null:
        out.borrowed = "null";
        break;
    case YamlValue::Kind::Boolean:
        out.borrowed = value.asBoolean() ? "true" : "false";
        break;
    case YamlValue::Kind::Integer:
        out.owned = std::to_string(value.asInteger());
        out.isOwned = true;
        break;
    case YamlValue::Kind::Float:
        out.owned = floatText(value.asFloat());
        out.isOwned = true;
        break;
    case YamlValue::Kind::Timestamp:
        out.borrowed = value.timestampText();
        out.plain = true;
        break;
    case YamlValue::Kind::String:
        out.borrowed = value.asString();
        out.plain = !readsAsAnotherType(out.borrowed);
        break;
    case YamlValue::Kind::Sequence:
    case YamlValue::Kind::Mapping:
        break;
    }
    return out;
}

class Emitter {
public:
    Emitter() {
        if (!yaml_emitter_initialize(&emitter_)) throw YamlError("cannot start the YAML emitter");
        yaml_emitter_set_output(&emitter_, &Emitter::write, &output_);
        yaml_emitter_set_encoding(&emitter_, YAML_UTF8_ENCODING);
        yaml_emitter_set_unicode(&emitter_, 0);
        yaml_emitter_set_indent(&emitter_, 2);
        yaml_emitter_set_width(&emitter_, 80);
        yaml_emitter_set_break(&emitter_, YAML_LN_BREAK);
        yaml_emitter_set_canonical(&emitter_, 0);
    }
    ~Emitter() { yaml_emitter_delete(&emitter_); }
    Emitter(const Emitter&) = delete;
    Emitter& operator=(const Emitter&) = delete;

    std::string run(const YamlValue& root) {
        yaml_event_t event;
        yaml_stream_start_event_initialize(&event, YAML_UTF8_ENCODING);
        emit(event);
        yaml_document_start_event_initialize(&event, nullptr, nullptr, nullptr, 1);
        emit(event);
        value(root);
        yaml_document_end_event_initialize(&event, 1);
        emit(event);
        yaml_stream_end_event_initialize(&event);
        emit(event);
        return std::move(output_);
    }

private:
    static int write(void* data, unsigned char* buffer, size_t size) {
        static_cast<std::string*>(data)->append(reinterpret_cast<const char*>(buffer), size);
        return 1;
    }

    // yaml_emitter_emit takes the event over, also when it fails.
    void emit(yaml_event_t& event) {
        if (!yaml_emitter_emit(&emitter_, &event))
            throw YamlError(emitter_.problem ? emitter_.problem : "the YAML emitter failed");
    }

    void value(const YamlValue& node) {
        yaml_event_t event;
        if (node.isSequence()) {
            yaml_sequence_start_event_initialize(&event, nullptr, nullptr, 1, YAML_BLOCK_SEQUENCE_STYLE);
            emit(event);
            for (const auto& item : node.asSequence())
                value(item);
            yaml_sequence_end_event_initialize(&event);
            emit(event);
        } else if (node.isMapping()) {
            mapping(node.asMapping());
        } else {
            scalar(scalarText(node));
        }
    }

    // Not plain: quoted (the emitter picks single or double quotes), so it reads as a string.
    void scalar(const ScalarText& scalar) {
        yaml_event_t event;
        std::string_view text = scalar.text();
        if (!yaml_scalar_event_initialize(
                &event, nullptr, nullptr, reinterpret_cast<const yaml_char_t*>(text.data()),
                static_cast<int>(text.size()), scalar.plain ? 1 : 0, 1, YAML_ANY_SCALAR_STYLE))
            throw YamlError("a value to write is not valid UTF-8");
        emit(event);
    }

    // Keys in ascending code-point order of their text (UTF-8 byte order is code-point order);
    // keys that are sequences or mappings follow the scalar ones in their own order.
    void mapping(const YamlMapping& map) {
        struct Key {
            ScalarText text;
            bool collection;
            const YamlEntry* entry;
        };
        std::vector<Key> keys;
        keys.reserve(map.size());
        for (const auto& entry : map) {
            bool collection = entry.key.isSequence() || entry.key.isMapping();
            keys.push_back(Key{collection ? ScalarText{} : scalarText(entry.key), collection, &entry});
        }
        std::stable_sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
            if (a.collection != b.collection) return b.collection;
            return !a.collection && a.text.text() < b.text.text();
        });

        yaml_event_t event;
        yaml_mapping_start_event_initialize(&event, nullptr, nullptr, 1, YAML_BLOCK_MAPPING_STYLE);
        emit(event);
        for (const auto& key : keys) {
            if (key.collection)
                value(key.entry->key);
            else
                scalar(key.text);
            value(key.entry->value);
        }
        yaml_mapping_end_event_initialize(&event);
        emit(event);
    }

    yaml_emitter_t emitter_;
    std::string output_;
};

} // namespace

std::string dumpYaml(const YamlValue& value) { return Emitter().run(value); }

} // namespace korvane
