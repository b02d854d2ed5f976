#!/usr/bin/env bash
# Starts the desktop client of a local build against the loopback demo services, signs in with
# the demo account through the page and connects through the demo's live node (see
# testing/gui/demo.py). Without a display it runs under Xvfb, saves the connected dashboard as
# <build>/demo-dashboard.png, disconnects and exits.
set -euo pipefail
build=${1:-build/demo}
client="$build/Korvane.app/Contents/MacOS/Korvane"
services="$build/testing/korvane-demo-services"
for f in "$client" "$services"; do
    [ -x "$f" ] || { echo "demo: $f is missing; build first" >&2; exit 1; }
done
here=$(dirname "$0")

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    exec python3 "$here/../testing/gui/demo.py" --client "$client" --services "$services"
fi
echo "demo: no display; running under Xvfb"
xvfb-run -a -s "-screen 0 1280x800x24" python3 "$here/../testing/gui/demo.py" \
    --client "$client" --services "$services" --screenshot "$build/demo-dashboard.png"
