# Sourced by the scripts that run a test program on a service of its own: each named tool must
# be there; without one the test skips (code 77), or fails under CI.
require_tools() {
  local tool
  for tool in "$@"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
      echo "$tool is missing (scripts/setup test)"
      [ "${CI:-}" = "true" ] && exit 1
      exit 77
    fi
  done
}
