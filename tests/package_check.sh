#!/usr/bin/env bash
# The Debian package: its files, its dependencies read off the binary, and that the installed
# program starts (offscreen) and ends cleanly on SIGTERM from an extracted tree.
set -uo pipefail
deb=$(ls "${1:-build-package}"/kelvane_*_amd64.deb) || { echo "no package built"; exit 1; }
failures=0
check() { # DESCRIPTION COMMAND...
  if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; failures=$((failures + 1)); fi
}
contents=$(dpkg-deb -c "$deb")
for path in ./usr/bin/kelvane ./usr/share/applications/kelvane.desktop \
    ./usr/share/icons/hicolor/scalable/apps/kelvane.svg; do
  check "the package holds $path" grep -q -F " $path" <<< "$contents"
done
depends=$(dpkg-deb -f "$deb" Depends)
for library in libqt6core6 libqt6widgets6 libqt6network6 libqt6websockets6 libpulse0 zlib1g; do
  check "it depends on $library" grep -q "$library" <<< "$depends"
done
check "it recommends a font with Chinese glyphs" grep -q "fonts-noto-cjk" <<< "$(dpkg-deb -f "$deb" Recommends)"
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
mkdir -m 700 "$root/run" # (its own command socket: a Kelvane running elsewhere is not asked)
QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$root/config" XDG_RUNTIME_DIR="$root/run" \
  "$root/usr/bin/kelvane" > "$root/log" 2>&1 &
pid=$!
for _ in $(seq 100); do grep -q "Application initialized successfully" "$root/log" && break; sleep 0.1; done
check "the installed program starts" grep -q "Application initialized successfully" "$root/log"
kill -TERM "$pid"
wait "$pid"
check "it ends with code 0 on SIGTERM" test $? -eq 0
# The check the Windows workflow runs on its package too.
QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$root/config" timeout 60 "$root/usr/bin/kelvane" \
  --smoke-test > "$root/smoke.log" 2>&1
check "--smoke-test starts, shows the window and quits with code 0" test $? -eq 0
check "--smoke-test logs its start" grep -q "Application initialized successfully" "$root/smoke.log"
echo "$failures failed"
[ "$failures" -eq 0 ]
