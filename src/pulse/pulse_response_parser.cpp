#include "pulse/pulse_response_parser.h"

#include "base/files.h"
#include "base/json.h"

#include <algorithm>

namespace korvane {

namespace {

using Result = KorvanePulseResult;

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

bool equalsIgnoringCase(std::string_view text, std::string_view lowerCase) {
    return text.size() == lowerCase.size() &&
           std::equal(text.begin(), text.end(), lowerCase.begin(), [](char a, char b) {
               return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
           });
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A size of at most limit from digits only (no sign, no blanks); none otherwise.
std::optional<std::size_t> boundedSize(std::string_view digits, int base, std::size_t limit) {
    if (digits.empty()) return std::nullopt;
    std::size_t value = 0;
    for (char c : digits) {
        const int digit = base == 16 ? hexValue(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (digit < 0) return std::nullopt;
        value = value * static_cast<std::size_t>(base) + static_cast<std::size_t>(digit);
        if (value > limit) return std::nullopt;
    }
    return value;
}

// The body of a 2xx answer decides: the panel's {"status":"success","data":{"accepted":true}}.
Result evaluate(std::string_view body) {
    const Json parsed = Json::parse(body, nullptr, false);
    if (!parsed.is_object()) return Result::InvalidResponse;
    const auto status = parsed.find("status");
    const auto data = parsed.find("data");
    if (status == parsed.end() || !status->is_string() || *status != "success")
        return Result::InvalidResponse;
    if (data == parsed.end() || !data->is_object()) return Result::InvalidResponse;
    const auto accepted = data->find("accepted");
    if (accepted == data->end() || !accepted->is_boolean() || !accepted->get<bool>())
        return Result::InvalidResponse;
    return Result::Accepted;
}

} // namespace

ChunkedBodyDecoder::State ChunkedBodyDecoder::decode(std::string_view body) {
    while (state_ == State::NeedMore) {
        if (!inData_) {
            const std::size_t lineEnd = body.find("\r\n", std::max(scannedTo_, position_));
            if (lineEnd == std::string_view::npos) {
                // A CR at the very end may still be followed by its LF.
                scannedTo_ = body.size() > position_ ? body.size() - 1 : position_;
                return state_;
            }
            const std::string_view line = body.substr(position_, lineEnd - position_);
            const auto size =
                boundedSize(line.substr(0, line.find(';')), 16, PulseResponseParser::kMaximumBody);
            if (!size) return state_ = State::Malformed;
            position_ = scannedTo_ = lineEnd + 2;
            if (*size == 0) return state_ = State::Done; // trailers, if any, are not read
            chunkSize_ = *size;
            inData_ = true;
        }
        if (body.size() - position_ < chunkSize_ + 2) return state_;
        if (body.substr(position_ + chunkSize_, 2) != "\r\n") return state_ = State::Malformed;
        decoded_.append(body.substr(position_, chunkSize_));
        if (decoded_.size() > PulseResponseParser::kMaximumBody) return state_ = State::Malformed;
        position_ = scannedTo_ = position_ + chunkSize_ + 2;
        inData_ = false;
    }
    return state_;
}

std::optional<KorvanePulseResult> PulseResponseParser::feed(std::string_view bytes, bool finished) {
    if (result_) return result_;
    // Only the first kMaximumAnswer bytes are looked at: an answer decided within them is
    // decided however the bytes after them arrive; one that is not is too large.
    const std::size_t room = kMaximumAnswer - buffer_.size();
    const bool overflow = bytes.size() > room;
    buffer_.append(bytes.substr(0, room));
    result_ = examine(finished && !overflow);
    if (!result_ && overflow) result_ = Result::InvalidResponse;
    return result_;
}

std::optional<KorvanePulseResult> PulseResponseParser::examine(bool finished) {
    if (bodyStart_ == 0) {
        if (auto decided = readHead()) return decided;
        if (bodyStart_ == 0) return finished ? std::optional(Result::InvalidResponse) : std::nullopt;
    }
    return readBody(finished);
}

std::optional<KorvanePulseResult> PulseResponseParser::readHead() {
    const std::string_view data(buffer_);
    const std::size_t headEnd = data.find("\r\n\r\n", headSearchedTo_ >= 3 ? headSearchedTo_ - 3 : 0);
    if (headEnd == std::string_view::npos) {
        headSearchedTo_ = data.size();
        return std::nullopt;
    }
    bodyStart_ = headEnd + 4;
    std::string_view head = data.substr(0, headEnd);
    if (!isValidUtf8(head)) return Result::InvalidResponse;

    const std::size_t statusEnd = std::min(head.find("\r\n"), head.size());
    std::string_view statusLine = head.substr(0, statusEnd);
    head.remove_prefix(std::min(statusEnd + 2, head.size()));
    if (!statusLine.starts_with("HTTP/1.")) return Result::InvalidResponse;
    // Runs of blanks count as one: the status is the second field.
    statusLine.remove_prefix(std::min(statusLine.find(' '), statusLine.size()));
    statusLine.remove_prefix(std::min(statusLine.find_first_not_of(' '), statusLine.size()));
    const std::string_view statusText = statusLine.substr(0, statusLine.find(' '));
    const auto status = statusText.size() == 3 ? boundedSize(statusText, 10, 999) : std::nullopt;
    if (!status) return Result::InvalidResponse;
    if (*status == 401 || *status == 403) return Result::Unauthorized;
    if (*status == 429) return Result::RateLimited;
    if (*status >= 500 && *status <= 599) return Result::ServerError;
    if (*status < 200 || *status > 299) return Result::InvalidResponse;

    bool hasLength = false;
    bool chunked = false;
    while (!head.empty()) {
        const std::size_t lineEnd = std::min(head.find("\r\n"), head.size());
        const std::string_view line = head.substr(0, lineEnd);
        head.remove_prefix(std::min(lineEnd + 2, head.size()));
        const std::size_t colon = line.find(':');
        // No name, or blanks in it (a folded line included): nothing to read it as.
        if (colon == 0 || colon == std::string_view::npos ||
            line.substr(0, colon).find_first_of(" \t") != std::string_view::npos)
            return Result::InvalidResponse;
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = trimBlanks(line.substr(colon + 1));
        if (equalsIgnoringCase(name, "content-length")) {
            const auto length = boundedSize(value, 10, kMaximumBody);
            if (hasLength || !length) return Result::InvalidResponse;
            hasLength = true;
            contentLength_ = *length;
        } else if (equalsIgnoringCase(name, "transfer-encoding")) {
            // The request asks for the identity coding; chunks are the only framing beyond it.
            if (chunked || !equalsIgnoringCase(value, "chunked")) return Result::InvalidResponse;
            chunked = true;
        }
    }
    if (hasLength && chunked) return Result::InvalidResponse;
    framing_ = chunked ? Framing::Chunked : hasLength ? Framing::Length : Framing::UntilClose;
    return std::nullopt;
}

std::optional<KorvanePulseResult> PulseResponseParser::readBody(bool finished) {
    const std::string_view body = std::string_view(buffer_).substr(bodyStart_);
    const std::optional<Result> incomplete = finished ? std::optional(Result::InvalidResponse) : std::nullopt;
    switch (framing_) {
    case Framing::Length:
        if (body.size() < contentLength_) return incomplete;
        return evaluate(body.substr(0, contentLength_));
    case Framing::Chunked:
        switch (chunks_.decode(body)) {
        case ChunkedBodyDecoder::State::Done:
            return evaluate(chunks_.decoded());
        case ChunkedBodyDecoder::State::Malformed:
            return Result::InvalidResponse;
        case ChunkedBodyDecoder::State::NeedMore:
            return incomplete;
        }
        return Result::InvalidResponse;
    case Framing::UntilClose:
        break;
    }
    // Without framing the body ends where the connection does (the request asks for that).
    // Deciding as soon as the bytes so far parse would make the same answer accepted or not
    // depending on where a read happened to end, when more bytes follow the object.
    return finished ? std::optional(evaluate(body)) : std::nullopt;
}

std::optional<KorvanePulseResult> parsePulseResponse(std::string_view data, bool finished) {
    PulseResponseParser parser;
    return parser.feed(data, finished);
}

std::optional<std::string> decodePulseChunks(std::string_view data) {
    ChunkedBodyDecoder decoder;
    if (decoder.decode(data) != ChunkedBodyDecoder::State::Done) return std::nullopt;
    return decoder.decoded();
}

} // namespace korvane
