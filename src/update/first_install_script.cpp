// The first-install script the application carries: written to disk and started by
// KorvaneMigration::begin once the user agreed to install this copy into the Applications folder.

#include "update/korvane_migration.h"

namespace korvane {

const char* const KorvaneMigration::kFirstInstallScript = R"KORVANE(#!/bin/zsh
# Installs a copy of Korvane into /Applications once the copy that started this script has quit.
#
#   zsh install-<UUID>.zsh SOURCE APP SELF_PID OTHERS REQUIRED_BUILD LOG REMOVE_SOURCE
#
# SOURCE the bundle to install, APP the installation (/Applications/Korvane.app), SELF_PID the
# copy that started this script, OTHERS the other running copies of the installation joined
# with ",", REQUIRED_BUILD the build SOURCE must carry, LOG the log appended to, REMOVE_SOURCE
# "yes" when SOURCE is the known copy in the user's Downloads folder.
#
# Every fixed path lies below $KORVANE_ROOT (empty on a real system). Every parameter is used
# quoted and never evaluated: a path may hold spaces, quotes or "$(...)".
#
# Exit codes:
#   0  installed and opened; the staging directory and this script removed
#   10 an old copy still ran after about 120 seconds; nothing touched
#   11 SOURCE is not a bundle
#   12 /Applications is not writable
#   13 the staging directory could not be created
#   14 copying SOURCE failed; the staging directory is left behind
#   15 the copy has the wrong build or identifier, or an invalid signature; staging removed
#   16 the installed build is newer; staging removed
#   17 the installed version could not be moved aside; staging removed
#   18 installing failed; the old version is put back and opened; staging left behind
#   19 the new version could not be opened; rolled back, the old one opened; staging left behind

# Whatever the user's zsh startup files changed, this script runs with zsh's own defaults.
emulate -R zsh
setopt no_unset

SCRIPT="$0"
SOURCE="$1"
APP="$2"
SELF_PID="$3"
OTHERS="$4"
REQUIRED_BUILD="$5"
LOG="$6"
REMOVE_SOURCE="$7"

ROOT="${KORVANE_ROOT:-}"
APPLICATIONS="$ROOT/Applications"
KILL="$ROOT/bin/kill"
SLEEP="$ROOT/bin/sleep"
MKTEMP="$ROOT/usr/bin/mktemp"
DITTO="$ROOT/usr/bin/ditto"
PLISTBUDDY="$ROOT/usr/libexec/PlistBuddy"
CODESIGN="$ROOT/usr/bin/codesign"
MV="$ROOT/bin/mv"
RM="$ROOT/bin/rm"
OPEN="$ROOT/usr/bin/open"
DATE="$ROOT/bin/date"
IDENTIFIER="art.korvane.mac.native"

exec >>"$LOG" 2>&1

log_line() {
    print -r -- "$1"
}

# A value of a bundle's Info.plist, empty when it cannot be read.
info_value() {
    local value
    value="$("$PLISTBUDDY" -c "Print :$2" "$1/Contents/Info.plist" 2>/dev/null)" || value=""
    print -r -- "$value"
}

signature_valid() {
    "$CODESIGN" --verify --deep --strict "$1"
}

# A build is a whole number written in digits only, of any length; anything else is no number.
is_number() {
    [[ -n "$1" && "$1" != *[^0123456789]* ]]
}

# Whether the number $1 is greater than the number $2, compared as text so that no length
# overflows: leading zeros dropped, then the longer one is greater, then digit by digit.
greater_number() {
    local a="$1" b="$2"
    while [[ "$a" == 0?* ]]; do a="${a#0}"; done
    while [[ "$b" == 0?* ]]; do b="${b#0}"; done
    if (( ${#a} != ${#b} )); then
        (( ${#a} > ${#b} ))
        return
    fi
    [[ "$a" > "$b" ]]
}

log_line "$("$DATE" '+%Y-%m-%d %H:%M:%S') Korvane install to /Applications build $REQUIRED_BUILD"

# An application must never be replaced while the old copy or the new installer is still
# running, and the old application has to put the system proxy back before it goes. Every copy
# is waited for, all of them together for about 120 seconds at most.
POLLS=0
for PID in "$SELF_PID" "${(@s:,:)OTHERS}"; do
    # Only a real process id: "0" or "-1" would ask about whole groups of processes.
    is_number "$PID" && [[ "$PID" == *[123456789]* ]] || continue
    while "$KILL" -0 "$PID" 2>/dev/null; do
        (( POLLS += 1 ))
        if (( POLLS > 240 )); then
            log_line "App PID $PID did not exit; original installation untouched"
            exit 10
        fi
        "$SLEEP" 0.5
    done
done

[[ -d "$SOURCE/Contents" ]] || exit 11
[[ -w "$APPLICATIONS" ]] || exit 12

STAGING="$("$MKTEMP" -d "$APPLICATIONS/.korvane-bootstrap.XXXXXX")" || exit 13
# Everything below is removed with rm -rf at some point: never anything but a fresh directory.
[[ -d "$STAGING" && ! -L "$STAGING" && "$STAGING" == "$APPLICATIONS"/.korvane-bootstrap.* ]] || exit 13
READY="$STAGING/Korvane.new.app"
BACKUP="$STAGING/Korvane.old.app"

"$DITTO" "$SOURCE" "$READY" || exit 14

NEW_BUILD="$(info_value "$READY" CFBundleVersion)"
NEW_IDENTIFIER="$(info_value "$READY" CFBundleIdentifier)"
if [[ "$NEW_BUILD" != "$REQUIRED_BUILD" || "$NEW_IDENTIFIER" != "$IDENTIFIER" ]] ||
    ! signature_valid "$READY"; then
    log_line "Invalid new Korvane.app; old one untouched"
    "$RM" -rf "$STAGING"
    exit 15
fi

if [[ -d "$APP" ]]; then
    INSTALLED_BUILD="$(info_value "$APP" CFBundleVersion)"
    [[ -n "$INSTALLED_BUILD" ]] || INSTALLED_BUILD="0"
    if is_number "$INSTALLED_BUILD" && is_number "$REQUIRED_BUILD" &&
        greater_number "$INSTALLED_BUILD" "$REQUIRED_BUILD"; then
        log_line "Refusing to downgrade already installed version"
        "$RM" -rf "$STAGING"
        exit 16
    fi
    if ! "$MV" "$APP" "$BACKUP"; then
        # A move that failed half way must not take the only installed copy with the staging.
        if [[ ! -e "$APP" && -d "$BACKUP" ]]; then
            "$MV" "$BACKUP" "$APP"
        fi
        [[ -e "$BACKUP" ]] || "$RM" -rf "$STAGING"
        exit 17
    fi
fi

if ! "$MV" "$READY" "$APP" || ! signature_valid "$APP"; then
    log_line "Install failed, restoring old Korvane"
    if [[ -e "$APP" || -L "$APP" ]]; then
        "$RM" -rf "$APP"
    fi
    if [[ -e "$BACKUP" ]]; then
        "$MV" "$BACKUP" "$APP"
    fi
    if [[ -e "$APP" ]]; then
        "$OPEN" -n "$APP"
    fi
    exit 18
fi

log_line "Installed build $REQUIRED_BUILD at $APP"

if ! "$OPEN" -n "$APP"; then
    log_line "Launch failed; rolling back"
    "$RM" -rf "$APP"
    if [[ -e "$BACKUP" ]]; then
        "$MV" "$BACKUP" "$APP" && "$OPEN" -n "$APP"
    fi
    exit 19
fi

# Only the known copy in the user's Downloads folder is deleted once it is installed; mounted
# installers, other paths and development workspaces are never touched.
if [[ "$REMOVE_SOURCE" == "yes" && "$SOURCE" != "$APP" ]]; then
    "$RM" -rf "$SOURCE"
fi

"$RM" -rf "$STAGING"
"$RM" -f "$SCRIPT"
log_line "Korvane canonical install complete"
exit 0
)KORVANE";

} // namespace korvane
