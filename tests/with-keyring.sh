#!/usr/bin/env bash
# Runs a test program with a Secret Service of its own: a private D-Bus session and a GNOME
# Keyring unlocked for it, gone afterwards. Under CI a missing tool fails.
set -u
. "$(dirname "$0")/require-tools.sh"
require_tools dbus-daemon gnome-keyring-daemon gdbus
dir=$(mktemp -d)
mkdir -p "$dir/data" "$dir/run"
chmod 700 "$dir/run"
export XDG_DATA_HOME="$dir/data" XDG_RUNTIME_DIR="$dir/run" HOME="$dir"
eval "$(dbus-daemon --session --fork --print-address=1 --print-pid=1 |
  { read -r address; read -r pid; echo "export DBUS_SESSION_BUS_ADDRESS='$address' BUS_PID=$pid"; })"
keyring_pid=""
trap 'kill $keyring_pid "$BUS_PID" 2>/dev/null; rm -rf "$dir"' EXIT
# A new login keyring, made and unlocked with this password, as a desktop login does.
eval "$(printf 'kelvane-test' | gnome-keyring-daemon --unlock --components=secrets --daemonize)"
keyring_pid=${GNOME_KEYRING_PID:-$(pgrep -n -f "gnome-keyring-daemon --unlock --components=secrets")}
KELVANE_KEYRING=1 "$@"
