#!/usr/bin/env bash
# The real binary end to end, as the headless scripts/run drives it: Xvfb, a private
# PulseAudio, both stand-ins, spoken questions. Asserts on the program's own log.
set -uo pipefail
BIN=$1
OUT=$2
ROOT=$(cd "$(dirname "$0")/.." && pwd)

for tool in Xvfb pulseaudio espeak-ng paplay xdotool; do
  command -v "$tool" >/dev/null && continue
  echo "$tool missing (scripts/setup installs it)"
  [ "${CI:-}" = "true" ] && exit 1 # under CI a dropped install step must fail, not skip
  exit 77
done

KELVANE_PRIVATE_PULSE=1 KELVANE_DEMO_XVFB=1 timeout 150 \
  bash "$ROOT/scripts/demo-session" "$BIN" "$OUT"
rc=$?
log="$OUT/kelvane.log"
err="$OUT/kelvane.err.log"
failures=0
check() { # DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

check "the session script ended cleanly" test "$rc" -eq 0
check "SIGTERM ended the program with code 0" test "$(cat "$OUT/kelvane.exit" 2>/dev/null)" = 0
mapfile -t expected < "$OUT/script.txt"
mapfile -t asked < <(sed -n 's/.*新问题触发: //p' "$log")
check "one question per spoken question (${#asked[@]} of ${#expected[@]})" \
  test "${#asked[@]}" -eq "${#expected[@]}"
for i in "${!expected[@]}"; do
  check "question $((i + 1)) is '${expected[$i]}'" test "${asked[$i]:-}" = "${expected[$i]}"
done
# What the window shows: each question under its number, with its own whole answer.
record="$OUT/record.md"
check "the window's record was exported" test -s "$record"
for i in "${!expected[@]}"; do
  section=$(awk -v head="## Q$((i + 1)): ${expected[$i]}" \
    '$0 == head {on = 1; next} /^## Q/ {on = 0} on' "$record")
  check "Q$((i + 1)) shows its own complete answer" \
    bash -c 'grep -q -F -- "$1" <<< "$2" && grep -q -F "回答时控制在两分钟以内。" <<< "$2" &&
             ! grep -q -E "回答失败|回答不完整|回答尚未结束" <<< "$2"' _ "${expected[$i]}" "$section"
done
check "listening stopped before the end" grep -q -F "[Application] Stopping listening..." "$log"
check "the recognition connection closed with 1000" \
  grep -q -F "session closed (code 1000)" "$OUT/standin-asr.log"
# Standard error holds only what a clean session may print (Qt's own start-up notes).
unexpected=$(grep -v -E '^QStandardPaths: |^qt\.qpa\.' "$err" || true)
check "nothing unexpected on standard error" test -z "$unexpected"
[ -n "$unexpected" ] && printf '%s\n' "$unexpected" | head -20

left=$(pgrep -f -- "$BIN/kelvane" || true)
check "nothing the demo started is still running" test -z "$left"

echo "$failures failed"
[ "$failures" -eq 0 ]
