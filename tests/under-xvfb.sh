#!/usr/bin/env bash
# Runs a test program on a private X server, as Kelvane runs on an X11 desktop: Xvfb, the xcb
# platform, and the tools the test drives the server with. Under CI a missing tool fails.
set -u
. "$(dirname "$0")/require-tools.sh"
require_tools Xvfb xdotool xmessage
dir=$(mktemp -d)
Xvfb -displayfd 5 -screen 0 1400x900x24 -nolisten tcp 5>"$dir/display" 2>/dev/null &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; rm -rf "$dir"' EXIT
for _ in $(seq 100); do [ -s "$dir/display" ] && break; sleep 0.1; done
[ -s "$dir/display" ] || { echo "Xvfb did not start"; exit 1; }
DISPLAY=":$(head -n 1 "$dir/display")" QT_QPA_PLATFORM=xcb "$@"
