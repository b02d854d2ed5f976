#!/usr/bin/env bash
# Refreshes docs/screenshots/ (sign-in, dashboard and connected dashboard at 920×650 and
# 790×540) from the desktop client of a local build, under Xvfb. Usage: scripts/screenshots.sh [build dir, default build/demo]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build/demo}
client="$build/Korvane.app/Contents/MacOS/Korvane"
services="$build/testing/korvane-demo-services"
for f in "$client" "$services"; do
    [ -x "$f" ] || { echo "screenshots: $f is missing; build the local deployment first" >&2; exit 1; }
done
mkdir -p "$root/docs/screenshots"
xvfb-run -a -s "-screen 0 1280x800x24" python3 "$root/testing/gui/screenshots.py" \
    --client "$client" --services "$services" --out "$root/docs/screenshots"
