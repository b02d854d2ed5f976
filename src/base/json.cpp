#include "base/json.h"

namespace korvane {

std::string encodeJson(const Json& value) {
    try {
        return value.dump();
    } catch (const Json::exception&) {
        return "null";
    }
}

std::string encodeJsonForScript(const Json& value) {
    std::string text = encodeJson(value);
    std::string out;
    out.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size(); ++i) {
        out.push_back(text[i]);
        if (text[i] == '<' && i + 1 < text.size() && text[i + 1] == '/') out.push_back('\\');
    }
    return out;
}

} // namespace korvane
