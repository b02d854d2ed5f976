// Builds value trees from libyaml's parser events. Finished values wait on one flat stack until
// their sequence or mapping ends, then move once into a container of exactly their number:
// no container grows entry by entry, and each scalar is copied out of libyaml's buffer once.

#include "base/yaml.h"
#include "base/yaml_detail.h"

#include <yaml.h>

#include <iterator>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace korvane {

namespace {

using yaml_detail::Tag;

constexpr std::string_view kStandardTagPrefix = "tag:yaml.org,2002:";

// Up to this many keys, merging checks for present keys by scanning.
constexpr std::size_t kLinearMerge = 24;

enum class NodeTag { Implicit, NonSpecific, Str, Null, Bool, Int, Float, Timestamp, Merge, Seq, Map };

// Local and unknown tags count as none: the node is typed as if untagged.
NodeTag classifyTag(const yaml_char_t* tag) {
    if (!tag) return NodeTag::Implicit;
    std::string_view name(reinterpret_cast<const char*>(tag));
    if (name == "!") return NodeTag::NonSpecific;
    if (!name.starts_with(kStandardTagPrefix)) return NodeTag::Implicit;
    name.remove_prefix(kStandardTagPrefix.size());
    if (name == "str") return NodeTag::Str;
    if (name == "null") return NodeTag::Null;
    if (name == "bool") return NodeTag::Bool;
    if (name == "int") return NodeTag::Int;
    if (name == "float") return NodeTag::Float;
    if (name == "timestamp") return NodeTag::Timestamp;
    if (name == "merge") return NodeTag::Merge;
    if (name == "seq") return NodeTag::Seq;
    if (name == "map") return NodeTag::Map;
    return NodeTag::Implicit;
}

const char* tagText(NodeTag tag) {
    switch (tag) {
    case NodeTag::Str:
        return "!!str";
    case NodeTag::Null:
        return "!!null";
    case NodeTag::Bool:
        return "!!bool";
    case NodeTag::Int:
        return "!!int";
    case NodeTag::Float:
        return "!!float";
    case NodeTag::Timestamp:
        return "!!timestamp";
    case NodeTag::Seq:
        return "!!seq";
    case NodeTag::Map:
        return "!!map";
    default:
        return "!";
    }
}

std::size_t countValues(const YamlValue& value) {
    std::size_t count = 1;
    if (value.isSequence()) {
        for (const auto& item : value.asSequence())
            count += countValues(item);
    } else if (value.isMapping()) {
        for (const auto& entry : value.asMapping())
            count += countValues(entry.key) + countValues(entry.value);
    }
    return count;
}

class Parser {
public:
    explicit Parser(std::string_view text) {
        if (!yaml_parser_initialize(&parser_)) throw YamlError("out of memory");
        yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()),
                                     text.size());
    }
    ~Parser() { yaml_parser_delete(&parser_); }
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    // The next event, which the caller frees with yaml_event_delete.
    void next(yaml_event_t& event) {
        if (!yaml_parser_parse(&parser_, &event)) fail();
    }

private:
    // What the user sees about a subscription libyaml cannot read: libyaml's problem and
    // context, in its own words ("did not find expected key while parsing a block mapping").
    [[noreturn]] void fail() const {
        if (parser_.error == YAML_MEMORY_ERROR || !parser_.problem) throw YamlError("out of memory");
        std::string message = parser_.problem;
        if (parser_.context) message.append(" ").append(parser_.context);
        if (parser_.error == YAML_READER_ERROR) throw YamlError(message); // at a byte, not a line
        throw YamlError(message, parser_.problem_mark.line + 1, parser_.problem_mark.column + 1);
    }

    yaml_parser_t parser_;
};

class EventGuard {
public:
    explicit EventGuard(yaml_event_t& event) : event_(event) {}
    ~EventGuard() { yaml_event_delete(&event_); }
    EventGuard(const EventGuard&) = delete;
    EventGuard& operator=(const EventGuard&) = delete;

private:
    yaml_event_t& event_;
};

class Loader {
public:
    Loader(std::string_view text, const YamlLoadLimits& limits) : parser_(text), limits_(limits) {}

    YamlValue load() {
        values_.reserve(64);
        yaml_event_t event;
        for (bool done = false; !done;) {
            parser_.next(event);
            EventGuard guard(event);
            mark_ = event.start_mark;
            switch (event.type) {
            case YAML_DOCUMENT_START_EVENT:
                if (++documents_ > 1)
                    fail("expected a single document in the stream but found another document");
                break;
            case YAML_SCALAR_EVENT:
                scalar(event.data.scalar);
                break;
            case YAML_ALIAS_EVENT:
                alias(reinterpret_cast<const char*>(event.data.alias.anchor));
                break;
            case YAML_SEQUENCE_START_EVENT:
                open(false, classifyTag(event.data.sequence_start.tag), event.data.sequence_start.anchor);
                break;
            case YAML_MAPPING_START_EVENT:
                open(true, classifyTag(event.data.mapping_start.tag), event.data.mapping_start.anchor);
                break;
            case YAML_SEQUENCE_END_EVENT:
                closeSequence();
                break;
            case YAML_MAPPING_END_EVENT:
                closeMapping();
                break;
            case YAML_STREAM_END_EVENT:
                done = true;
                break;
            default:
                break;
            }
        }
        return values_.empty() ? YamlValue() : std::move(values_.front());
    }

private:
    struct Frame {
        std::size_t start;  // its first value in values_
        std::size_t merges; // its first merge key in merges_
        bool mapping;
        std::string anchor;
    };
    struct Anchored {
        YamlValue value;
        std::size_t count;
    };

    [[noreturn]] void fail(const std::string& message) const {
        throw YamlError(message, mark_.line + 1, mark_.column + 1);
    }

    bool atKey() const {
        return !frames_.empty() && frames_.back().mapping && (values_.size() - frames_.back().start) % 2 == 0;
    }

    void scalar(const decltype(yaml_event_t::data.scalar)& event) {
        const std::string_view text(reinterpret_cast<const char*>(event.value), event.length);
        const NodeTag tag = classifyTag(event.tag);
        if (atKey() && (tag == NodeTag::Merge ||
                        (!event.tag && event.style == YAML_PLAIN_SCALAR_STYLE && text == "<<"))) {
            // A placeholder key; the mapping's end merges the value that follows it.
            merges_.push_back(values_.size());
            values_.emplace_back();
            return;
        }
        YamlValue value = typed(text, tag, event.style == YAML_PLAIN_SCALAR_STYLE);
        if (event.anchor) remember(reinterpret_cast<const char*>(event.anchor), value);
        values_.push_back(std::move(value));
    }

    YamlValue typed(std::string_view text, NodeTag tag, bool plain) const {
        Tag standard = Tag::Null;
        switch (tag) {
        case NodeTag::Implicit:
        case NodeTag::Merge: // outside a key: nothing to merge into
            return plain ? resolvePlainScalar(text) : YamlValue(text);
        case NodeTag::NonSpecific:
        case NodeTag::Str:
            return YamlValue(text);
        case NodeTag::Seq:
        case NodeTag::Map:
            fail(std::string("a scalar cannot be tagged ") + tagText(tag));
        case NodeTag::Null:
            standard = Tag::Null;
            break;
        case NodeTag::Bool:
            standard = Tag::Boolean;
            break;
        case NodeTag::Int:
            standard = Tag::Integer;
            break;
        case NodeTag::Float:
            standard = Tag::Float;
            break;
        case NodeTag::Timestamp:
            standard = Tag::Timestamp;
            break;
        }
        if (auto value = yaml_detail::convertTagged(text, standard)) return std::move(*value);
        fail(std::string("the value does not match its tag ") + tagText(tag));
    }

    void alias(const char* name) {
        const auto found = anchors_.find(name);
        if (found == anchors_.end()) fail("found undefined alias");
        const std::size_t count = found->second.count;
        if (count > limits_.aliasValues - aliasValues_) fail("document too large");
        aliasValues_ += count;
        values_.push_back(found->second.value);
    }

    void remember(const char* anchor, const YamlValue& value) {
        anchors_.insert_or_assign(anchor, Anchored{value, countValues(value)});
    }

    void open(bool mapping, NodeTag tag, const yaml_char_t* anchor) {
        const bool fits = tag == NodeTag::Implicit || tag == NodeTag::NonSpecific ||
                          tag == (mapping ? NodeTag::Map : NodeTag::Seq);
        if (!fits)
            fail(std::string(mapping ? "a mapping" : "a sequence") + " cannot be tagged " + tagText(tag));
        if (frames_.size() >= limits_.depth) fail("document nested too deeply");
        frames_.push_back({values_.size(), merges_.size(), mapping,
                           anchor ? std::string(reinterpret_cast<const char*>(anchor)) : std::string()});
    }

    void closeSequence() {
        Frame frame = std::move(frames_.back());
        frames_.pop_back();
        const auto first = values_.begin() + static_cast<std::ptrdiff_t>(frame.start);
        YamlSequence sequence(std::make_move_iterator(first), std::make_move_iterator(values_.end()));
        values_.erase(first, values_.end());
        finish(YamlValue(std::move(sequence)), frame.anchor);
    }

    void closeMapping() {
        Frame frame = std::move(frames_.back());
        frames_.pop_back();
        const std::size_t end = values_.size();
        const std::size_t mergeCount = merges_.size() - frame.merges;
        std::vector<YamlEntry> own;
        own.reserve((end - frame.start) / 2 - mergeCount);
        std::size_t nextMerge = frame.merges;
        for (std::size_t i = frame.start; i < end; i += 2) {
            if (nextMerge < merges_.size() && merges_[nextMerge] == i) {
                ++nextMerge;
                continue;
            }
            own.emplace_back(std::move(values_[i]), std::move(values_[i + 1]));
        }
        YamlMapping mapping(std::move(own));
        if (mergeCount > 0) mapping = merged(std::move(mapping), frame.merges);
        values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(frame.start), values_.end());
        merges_.resize(frame.merges);
        finish(YamlValue(std::move(mapping)), frame.anchor);
    }

    // own with the entries it lacks from the values of its merge keys merges_[firstMerge...],
    // merged entries first. Precedence: own keys, then a later "<<" over an earlier one (the
    // duplicate-key rule), and within one "<<" sequence an earlier mapping over a later one.
    YamlMapping merged(YamlMapping own, std::size_t firstMerge) {
        std::vector<YamlMapping*> sources; // by precedence
        std::size_t candidates = 0;
        for (std::size_t k = merges_.size(); k-- > firstMerge;) {
            YamlValue& value = values_[merges_[k] + 1];
            if (value.isMapping()) {
                sources.push_back(&value.asMapping());
            } else if (value.isSequence()) {
                for (auto& item : value.asSequence()) {
                    if (!item.isMapping()) fail("expected a mapping or a sequence of mappings for merging");
                    sources.push_back(&item.asMapping());
                }
            } else {
                fail("expected a mapping or a sequence of mappings for merging");
            }
        }
        for (const YamlMapping* source : sources)
            candidates += source->size();

        std::vector<YamlEntry> entries;
        entries.reserve(candidates + own.size());
        const bool hashed = own.size() + candidates > kLinearMerge;
        const auto hash = [](const YamlValue* key) { return yaml_detail::hashKey(*key); };
        const auto equal = [](const YamlValue* a, const YamlValue* b) { return *a == *b; };
        std::unordered_set<const YamlValue*, decltype(hash), decltype(equal)> present(0, hash, equal);
        if (hashed)
            for (const auto& entry : own)
                present.insert(&entry.key);
        const auto isPresent = [&](const YamlValue& key) {
            if (hashed) return present.contains(&key);
            if (own.findKey(key)) return true;
            for (const auto& entry : entries)
                if (entry.key == key) return true;
            return false;
        };
        for (YamlMapping* source : sources) {
            for (auto& entry : *source) {
                if (isPresent(entry.key)) continue;
                entries.emplace_back(std::move(entry.key), std::move(entry.value));
                if (hashed) present.insert(&entries.back().key); // entries does not reallocate
            }
        }
        present.clear();
        for (auto& entry : own)
            entries.emplace_back(std::move(entry.key), std::move(entry.value));
        return YamlMapping(std::move(entries));
    }

    void finish(YamlValue value, const std::string& anchor) {
        if (!anchor.empty()) remember(anchor.c_str(), value);
        values_.push_back(std::move(value));
    }

    Parser parser_;
    YamlLoadLimits limits_;
    yaml_mark_t mark_{};
    int documents_ = 0;
    std::vector<YamlValue> values_;
    std::vector<Frame> frames_;
    std::vector<std::size_t> merges_; // positions in values_ of merge keys of open mappings
    std::unordered_map<std::string, Anchored> anchors_;
    std::size_t aliasValues_ = 0;
};

} // namespace

YamlValue loadYaml(std::string_view text) { return loadYaml(text, YamlLoadLimits{}); }

YamlValue loadYaml(std::string_view text, const YamlLoadLimits& limits) {
    return Loader(text, limits).load();
}

} // namespace korvane
