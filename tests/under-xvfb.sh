#!/usr/bin/env bash
# Runs a test program on a private X server, as Kelvane runs on an X11 desktop: Xvfb, the xcb
# platform, and the tools the test drives the server with. Under CI a missing tool fails.
set -u
for tool in Xvfb xdotool xmessage; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "$tool is missing (scripts/setup test)"
    [ "${CI:-}" = "true" ] && exit 1
    exit 77
  fi
done
dir=$(mktemp -d)
Xvfb -displayfd 5 -screen 0 1400x900x24 -nolisten tcp 5>"$dir/display" 2>/dev/null &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; rm -rf "$dir"' EXIT
for _ in $(seq 100); do [ -s "$dir/display" ] && break; sleep 0.1; done
[ -s "$dir/display" ] || { echo "Xvfb did not start"; exit 1; }
DISPLAY=":$(head -n 1 "$dir/display")" QT_QPA_PLATFORM=xcb "$@"
