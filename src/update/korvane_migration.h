#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <filesystem>
#include <string>

namespace korvane {

// The client works only from its canonical installation, "/Applications/Korvane.app". A copy
// started from anywhere else (a download, a disk image, a second copy) does none of its normal
// work: it offers to install itself there, or to open the installed version when that one is
// the same or newer, and quits. The installation is done after it has quit, by a zsh script the
// application carries (kFirstInstallScript), writes into the updates directory and starts.
namespace KorvaneMigration {

// "/Applications/Korvane.app" below the system root.
std::filesystem::path target();

// Whether the running bundle's location, standardised, is exactly target's.
bool isCanonical(const Bundle& bundle);

// Asks the user what to do with this copy (installing it, or opening the installed version)
// and then asks the application to terminate; returns at once, without terminating, when the
// copy is the canonical one. Runs modal alerts on the main thread.
void offer(Platform& platform);

// Writes the install script into the updates directory of Application Support, starts it
// detached with "/bin/zsh" and asks the other running copies of the installation to quit.
// source: the running bundle, standardised; versionBuild: its build. Throws KorvaneError when
// the Applications folder is not writable or the build is not valid, and the platform's error
// when the script cannot be written or started.
void begin(Platform& platform, const std::filesystem::path& source, std::int64_t versionBuild);

// The "CFBundleVersion" string of bundle's Contents/Info.plist; "" when the file is not a
// dictionary or the value is missing or not a string. Throws when the file cannot be read or
// parsed.
std::string loadPlistVersion(const std::filesystem::path& bundle);

// The install script's text; its header comment lists its parameters and exit codes.
extern const char* const kFirstInstallScript;

} // namespace KorvaneMigration

} // namespace korvane
