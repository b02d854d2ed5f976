#!/usr/bin/env bash
# Runs the headless client of a build directory on a fresh, empty home and talks to it the
# way the page would: page loaded, "bootstrap", then quit. Commands are shown as "->",
# events as "<-".
set -euo pipefail
build=${1:-build/demo}
binary="$build/Korvane.app/Contents/MacOS/korvane-headless"
[ -x "$binary" ] || { echo "demo: $binary is missing; build first" >&2; exit 1; }

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT

commands=(
    '{"cmd":"pageLoaded"}'
    '{"cmd":"message","body":{"id":"demo-1","action":"bootstrap"}}'
    '{"cmd":"message","body":{"id":"demo-2","action":"connect","arg":{"nodeName":"HK 1"}}}'
    '{"cmd":"terminate"}'
)

{
    sleep 0.3
    for c in "${commands[@]}"; do
        echo "-> $c" >&2
        echo "$c"
        sleep 0.3
    done
} | HOME="$home" "$binary" | while IFS= read -r line; do
    # The raw page scripts repeat what the parsed events say; leave them out of the demo.
    case "$line" in *'"event":"eval"'*) continue ;; esac
    echo "<- $line" >&2
done

echo >&2
echo "demo: the event log written on the way:" >&2
cat "$home/Library/Application Support/Korvane/logs/"client-*.jsonl >&2
