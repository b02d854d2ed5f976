#pragma once

// The update package's download: one streaming transfer straight into a file beside its
// destination, moved into place only once it has arrived complete with a good status; and
// the SHA-256 digest of the file.

#include "base/task.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace korvane {

namespace detail {
class DownloadWait;
}

class KorvaneUpdateDownload {
public:
    // No package is larger; a larger one, announced or sent, is refused while it arrives.
    static constexpr std::uint64_t kMaximumPackageSize = std::uint64_t{512} << 20;
    // A transfer that receives nothing for this long (connecting included) is given up.
    static constexpr std::chrono::milliseconds kStallLimit{60'000};

    // reportProgress receives the percentage on the main thread whenever it changes, while
    // run() waits; never once run() has ended or its task has gone.
    KorvaneUpdateDownload(std::filesystem::path destination, std::function<void(int)> reportProgress,
                          std::chrono::milliseconds stallLimit = kStallLimit);

    const std::filesystem::path& destination() const { return destination_; }

    // Downloads url (https only, redirects only to https) to destination. The body goes into a
    // new private file next to it (created without following links), which replaces
    // destination only after a 2xx answer arrived complete; any failure leaves destination as
    // it was and removes the partial file. Throws KorvaneError "更新中心返回了不正确的下载响应"
    // for a status outside 200 to 299 and for a package beyond kMaximumPackageSize or longer
    // than announced, TransportError for transport failures and a stalled transfer, FileError
    // when the file cannot be written or moved, and Cancelled as soon as its task is
    // cancelled (the transfer then stops and its partial file goes).
    Task<void> run(std::string url);

private:
    std::filesystem::path destination_;
    std::function<void(int)> reportProgress_;
    std::chrono::milliseconds stallLimit_;
};

// written × 100 ÷ expected, truncated and kept within 0 to 100; -1 when the length is unknown
// (expected below 1).
int downloadPercentage(std::int64_t written, std::int64_t expected);

// The SHA-256 digest of a file as 64 small hexadecimal digits, read in chunks of 1 MiB. Throws
// FileError when the file cannot be opened (a link is not followed) or read. Blocks.
std::string sha256(const std::filesystem::path& file);

} // namespace korvane
