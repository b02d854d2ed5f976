#pragma once

// The pulse's answer, classified as it arrives. Every byte is looked at once: the head is
// searched from where the last search stopped, chunks are decoded as they complete and the
// body is parsed once it is whole, so an answer that trickles in costs what it costs at once.
//
// The answer is an HTTP/1.x head, then for a 2xx status a JSON body framed by Content-Length,
// by chunks, or by the end of the connection. The classification depends on the bytes only,
// never on how they were split into reads. Framing that could be read two ways (a negative,
// repeated or malformed Content-Length, Content-Length together with chunks, another transfer
// coding, a header line without a name) is an invalid answer, never a guess.

#include "pulse/korvane_pulse_result.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace korvane {

// Incremental decoding of a chunked body, bounded to kMaximumBody decoded bytes.
class ChunkedBodyDecoder {
public:
    enum class State { NeedMore, Done, Malformed };

    // Decodes what it can of body (the whole chunked body received so far; each call passes
    // the previous bytes again, followed by any new ones).
    State decode(std::string_view body);
    const std::string& decoded() const { return decoded_; }

private:
    State state_ = State::NeedMore;
    std::size_t position_ = 0;  // start of the next size line, or of the chunk's data
    std::size_t scannedTo_ = 0; // the size line has no line end before this
    std::size_t chunkSize_ = 0;
    bool inData_ = false;
    std::string decoded_;
};

class PulseResponseParser {
public:
    // The whole answer may hold at most this many bytes, and so may a declared or decoded body.
    static constexpr std::size_t kMaximumAnswer = 65536;
    static constexpr std::size_t kMaximumBody = 65536;

    // Adds bytes; finished when the peer has closed its side. Returns the classification once
    // it is known (and the same one on every later call), none while more bytes are needed.
    std::optional<KorvanePulseResult> feed(std::string_view bytes, bool finished);

private:
    enum class Framing { Length, Chunked, UntilClose };

    std::optional<KorvanePulseResult> examine(bool finished);
    std::optional<KorvanePulseResult> readHead();
    std::optional<KorvanePulseResult> readBody(bool finished);

    std::string buffer_;
    std::size_t headSearchedTo_ = 0;
    std::size_t bodyStart_ = 0; // 0 until the head is complete
    Framing framing_ = Framing::UntilClose;
    std::size_t contentLength_ = 0;
    ChunkedBodyDecoder chunks_;
    std::optional<KorvanePulseResult> result_;
};

// The classification of an answer received so far (one-shot form of PulseResponseParser).
std::optional<KorvanePulseResult> parsePulseResponse(std::string_view data, bool finished);
// A whole chunked body decoded, or none when it is malformed, too large or lacks its last
// (zero-size) chunk.
std::optional<std::string> decodePulseChunks(std::string_view data);

} // namespace korvane
