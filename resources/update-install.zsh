#!/bin/zsh
# The install script of a prepared update, copied into the staging directory and started
# detached (no terminal, standard streams on the null device) by the running client just before
# it quits. Parameters:
#   1 the installed bundle   2 the staging directory (its ready.app is the new bundle)
#   3 the old copy's process id   4 the build replaced   5 the build installed
#   6 the directory that receives last-update-result.json
#
# It waits (bounded) for the old copy to exit, moves the installed bundle aside into the
# staging directory as a backup, moves ready.app in its place, writes the result and opens the
# new copy. Any failure after the swap puts the old bundle back and opens that instead. Every
# way out (the foreseen ones, an unforeseen error, a signal) goes through `finish`, which
# writes the result file and, once the old copy has exited, opens whatever bundle is at
# parameter 1: after the hand-off the system proxy still points at the client's local port,
# and only a running copy serves it or puts the settings back. While the old copy still runs,
# nothing is opened (a second copy beside a hung one helps nobody).
#
# The result file, replaced atomically and always before a bundle is opened:
#   {"status": "success" | "failed", "to_build": <the build now installed>, "exit_code": <code>}
# After a rollback "to_build" is the old build. The staging directory is removed on success and
# left for diagnosis otherwise (after a rollback it holds the new bundle as failed.app).
#
# Exit codes (each also the result's "exit_code"):
#    0  installed and the new copy opened
#   10  the old copy did not exit within the bound; nothing changed, nothing opened
#   11  the staging directory holds no ready.app; nothing changed, the old bundle opened
#   12  the installed bundle could not be moved aside; nothing changed, the old bundle opened
#   13  ready.app could not be moved in; rolled back, the old bundle opened
#   14  the new copy could not be opened; rolled back, the old bundle opened
#   15  a rollback could not put the old bundle back (the first failure is lost); whatever
#       bundle is at parameter 1 is opened
#   16  the result file could not be written; rolled back, the old bundle opened (its result
#       cannot be reported either)
#   64  not six parameters; nothing written, nothing opened
#   65  a parameter is malformed (process id or builds not decimal, paths not absolute); the
#       result is written when parameter 6 is a directory; opened only when the old copy exited
#   70  an unforeseen error (a command failing outside the checks above)
#   75  ended by a signal (TERM, INT, QUIT)
#
# Every fixed path (the tools, the Applications folder) is taken below $KORVANE_ROOT, which is
# empty in production. Parameters are only ever used quoted; nothing is evaluated.
emulate -L zsh
setopt no_unset pipe_fail err_exit extended_glob

(( $# == 6 )) || exit 64

readonly app=$1 transaction=$2 old_pid=$3 from_build=$4 to_build=$5 updates=$6
readonly root=${KORVANE_ROOT:-}
readonly MV=$root/bin/mv RM=$root/bin/rm SLEEP=$root/bin/sleep MKTEMP=$root/usr/bin/mktemp
readonly OPEN=$root/usr/bin/open PS=$root/bin/ps

# The wait for the old copy: at most this many checks, one every poll interval (~30 s).
readonly poll_limit=600 poll_interval=0.05

readonly backup=$transaction/backup.app

old_exited=0 # the old copy is gone: a bundle must be opened on the way out
moved_aside=0 # the installed bundle is at $backup
swapped=0     # the new bundle is at $app
opened=0      # a bundle was opened

is_decimal() { [[ $1 == (0|[1-9][0-9](#c0,17)) ]] }

# Replaces the result file in one step: a private temporary file beside it, then a rename.
write_result() {
    local status_text=$1 build=$2 code=$3 temporary
    [[ -d $updates ]] || return 1
    temporary=$("$MKTEMP" "$updates/.last-update-result.XXXXXX") || return 1
    if ! print -r -- "{\"status\":\"$status_text\",\"to_build\":$build,\"exit_code\":$code}" \
        >"$temporary" || ! "$MV" -f -- "$temporary" "$updates/last-update-result.json"; then
        "$RM" -f -- "$temporary" 2>/dev/null
        return 1
    fi
}

# Puts the old bundle back at $app, keeping the new one as failed.app for diagnosis.
roll_back() {
    if (( swapped )); then
        "$MV" -- "$app" "$transaction/failed.app" || "$RM" -rf -- "$app" || return 1
        swapped=0
    fi
    if (( moved_aside )); then
        "$MV" -- "$backup" "$app" || return 1
        moved_aside=0
    fi
}

open_bundle() {
    (( old_exited && ! opened )) || return 0
    [[ -d $app ]] || return 1
    "$OPEN" -n "$app" || return 1
    opened=1
}

finish() {
    local code=$1
    trap - EXIT ZERR
    unsetopt err_exit
    if (( code != 0 )); then
        roll_back || code=15
        local installed=$from_build
        is_decimal "$installed" || installed=0
        write_result failed "$installed" "$code"
        open_bundle
    fi
    exit $code
}

trap 'finish $?' EXIT
trap 'exit 70' ZERR
trap 'exit 75' TERM INT QUIT
trap '' HUP

is_decimal "$old_pid" && (( old_pid > 0 )) || exit 65

# Whether the old copy has exited: gone, or a zombie its parent has not collected yet (it holds
# no files or ports any more). It may be collected between the two looks: no state is gone too.
old_copy_exited() {
    local state
    kill -0 "$old_pid" 2>/dev/null || return 0
    state=$("$PS" -o stat= -p "$old_pid" 2>/dev/null) || state=
    [[ -z ${state// /} || $state == [[:space:]]#Z* ]]
}

# The old copy quits right after starting this script. Once seen gone it stays gone (a second
# look could find its id reused).
for (( polls = 0; polls < poll_limit; ++polls )); do
    if old_copy_exited; then
        old_exited=1
        break
    fi
    "$SLEEP" "$poll_interval"
done
(( old_exited )) || exit 10

is_decimal "$from_build" && is_decimal "$to_build" || exit 65
[[ $app == /* && $transaction == /* && $updates == /* && -d $app ]] || exit 65
[[ -d $transaction/ready.app && ! -L $transaction/ready.app ]] || exit 11

"$RM" -rf -- "$backup" 2>/dev/null || true
"$MV" -- "$app" "$backup" || exit 12
moved_aside=1
"$MV" -- "$transaction/ready.app" "$app" || exit 13
swapped=1

write_result success "$to_build" 0 || exit 16
open_bundle || exit 14

"$RM" -rf -- "$transaction" 2>/dev/null || true
exit 0
