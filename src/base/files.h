#pragma once

#include "base/clock.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace korvane {

// Replaces path with data in one step: an exclusive temporary file ".<UUID>.tmp" next to it,
// created with `mode` (never wider, never a link followed), written in full, flushed to disk,
// then renamed over path, and the directory flushed so the rename survives a crash. Throws
// FileError.
void writeFileAtomically(const std::filesystem::path& path, std::string_view data, mode_t mode = 0600);

// The whole file, or nothing when it cannot be read. For the application's own resources; a
// file that another program may have planted is read with readPrivateFile.
std::optional<std::string> readFile(const std::filesystem::path& path);

// A private file of the user as read by readPrivateFile: its bytes, or why it was refused.
struct PrivateFileRead {
    enum class Refusal {
        None,
        Missing,    // nothing at that path
        NotRegular, // a FIFO, a device, a directory, a socket or a symbolic link
        NotOwned,   // owned by another user
        TooLarge,   // beyond the caller's limit
        Unreadable, // any other failure to open or read
    };
    std::optional<std::string> bytes;
    Refusal refusal = Refusal::None;
    mode_t mode = 0; // the file's permission bits, when it was opened
};

// Reads a file of the user's own without ever blocking or following a link: it is opened
// non-blocking with O_NOFOLLOW and must be a regular file owned by the current user, of at most
// maxSize bytes. A FIFO planted at the path is refused instead of hanging the caller.
PrivateFileRead readPrivateFile(const std::filesystem::path& path, std::size_t maxSize);
// The refusal as a short code for the event log ("not_regular_file" and the like).
const char* refusalCode(PrivateFileRead::Refusal refusal);

// Removes the files of directory named prefix…suffix whose last change is before cutoff. A
// directory that cannot be listed completely is left alone; links are removed, never followed.
void pruneOldFiles(const std::filesystem::path& directory, std::string_view prefix, std::string_view suffix,
                   WallTime cutoff);

// mkdir -p where every directory it creates is created 0700 (never created wider and tightened
// later). Components that already exist are accepted as they are; the caller examines the final
// directory itself. False when a component could not be created.
bool createPrivateDirectories(const std::filesystem::path& path);

// Whether bytes form valid UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool isValidUtf8(std::string_view bytes);

// Number of Unicode scalar values in valid UTF-8 text.
std::size_t countScalars(std::string_view utf8);

} // namespace korvane
