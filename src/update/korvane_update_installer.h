#pragma once

// The preparation of a verified update beside the installation: the package is screened,
// unpacked into a private staging directory next to the installed bundle, turned into the
// complete new bundle (a full package as it is, a delta patch laid over a copy of the
// installed bundle), and that bundle is checked for identity, build, architecture and
// signature; the install script is copied in and syntax-checked. Only a staging directory
// that passed all of it is handed on; every failure removes it and leaves the installation
// as it was.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

// A verified, staged update, ready for the install script.
struct PreparedKorvaneUpdate {
    std::filesystem::path app;         // the installed bundle it replaces
    std::filesystem::path transaction; // the staging directory (its ready.app is the new bundle)
    std::filesystem::path helper;      // install.zsh inside the staging directory
    std::filesystem::path updates;     // the support directory's "updates", for the script's result
    std::int64_t fromBuild = 0;
    std::int64_t toBuild = 0;

    // Starts the install script for this process: nohup (at its fixed path under systemPath())
    // runs the system's zsh with the script and its six parameters (the installed bundle, the
    // staging directory, this process's id, the two builds, the updates directory), detached,
    // with every standard stream on the null device. Not waited for: the script outlives this
    // process. A start error throws FileError.
    void launch() const;
};

namespace KorvaneUpdateInstaller {

inline constexpr const char* kBundleIdentifier = "art.korvane.mac.native";
inline constexpr std::int64_t kHighestBuild = 100'000'000;
// A tool still running after this long is killed and the preparation fails.
inline constexpr std::chrono::milliseconds kToolTimeLimit{120'000};

struct Options {
    // Stopping it kills the tool that runs and ends the preparation with Cancelled, its staging
    // directory removed.
    std::stop_token stop;
    std::chrono::milliseconds toolTimeLimit = kToolTimeLimit;
};

// Prepares package (a full package, or a delta patch when isPatch) for currentBuild →
// targetBuild on arch ("x64" or "arm64"). runningBundle is the bundle this process runs from;
// it must be the installation in the Applications folder (as systemPath() places it), and its
// resource update-install.zsh becomes the staging directory's install script. Every tool runs
// from its fixed path under systemPath(), within options.toolTimeLimit. Throws the user's text
// of each refusal (KorvaneError), FileError and the parsers' errors; blocks for the duration of
// several child processes.
PreparedKorvaneUpdate prepare(const std::filesystem::path& package, bool isPatch, std::int64_t targetBuild,
                              std::int64_t currentBuild, const std::string& arch,
                              const std::filesystem::path& supportDir,
                              const std::filesystem::path& runningBundle, const Options& options = {});

// Checks the text of a patch's patch.json: a JSON object whose "from_build" and "to_build" are
// currentBuild and targetBuild (as manifestBuild reads builds) and whose "arch" and "format" are
// arch and the one delta format applied. Throws KorvaneError "补丁与当前版本或芯片不匹配", or
// the JSON parser's error for a syntax error.
void checkPatchManifest(std::string_view text, std::int64_t currentBuild, std::int64_t targetBuild,
                        const std::string& arch);

// Runs the tool at executable with arguments (no shell), its standard output and error on one
// pipe, and returns that output (empty when it is not valid UTF-8). A non-zero exit, a tool
// still running after timeLimit (killed with everything it started) or an output beyond 16 MiB
// throw KorvaneError "更新准备未通过校验，旧版本和连接保持不变"; a stop request kills it and
// throws Cancelled; a tool that cannot be started throws FileError. Blocks.
std::string run(const std::string& executable, const std::vector<std::string>& arguments,
                std::chrono::milliseconds timeLimit = kToolTimeLimit, std::stop_token stop = {});

} // namespace KorvaneUpdateInstaller

// The support directory's "updates", created 0700 with its parents when missing. Throws
// FileError when it cannot be created, or when what is there is a link, not a directory, or
// another user's.
std::filesystem::path prepareUpdatesDirectory(const std::filesystem::path& supportDir);

} // namespace korvane
