#!/usr/bin/env bash
# Runs qmserver.exe as a real NT service under Wine: in a fresh Wine prefix the WineService tests
# install, start, serve a native client, stop, restart and uninstall it through its own switches.
#   scripts/wine-test.sh [path/to/qmserver.exe] [path/to/test_service]
# Needs Debian's wine64 package (scripts/install-deps.sh with QM_WITH_WINE=1). Exits non-zero when
# Wine is missing or any step fails; always ends the wineserver it started.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
exe="$(realpath "${1:-$root/build-win/qmserver.exe}")"
tests="$(realpath "${2:-$root/build/tests/test_service}")"

# Debian keeps the 64-bit loader off PATH.
find_tool() {
  local name="$1" path
  path="$(command -v "$name" 2>/dev/null || true)"
  if [ -z "$path" ] && [ -x "/usr/lib/wine/$name" ]; then path="/usr/lib/wine/$name"; fi
  echo "$path"
}
wine="$(find_tool wine64)"
wineserver="$(find_tool wineserver)"
if [ -z "$wine" ] || [ -z "$wineserver" ]; then
  echo "wine-test: wine64/wineserver not found; install Debian's wine64 (QM_WITH_WINE=1 scripts/install-deps.sh)" >&2
  exit 2
fi
for f in "$exe" "$tests"; do
  [ -f "$f" ] || { echo "wine-test: $f is missing; build it first" >&2; exit 2; }
done

echo "=== wine: version resource ==="
resource="$(x86_64-w64-mingw32-windres -i "$exe" -O rc)"
for want in 'FILEVERSION 1, 2, 2, 0' 'PRODUCTVERSION 1, 2, 2, 0' 'BLOCK "040704E4"' \
  'VALUE "FileDescription", "Quillmoot server, win32 Service"' 'VALUE "ProductName", "Quillmoot Server"' \
  'VALUE "Translation", 0x407, 1252'; do
  if ! grep -qF "$want" <<<"$resource"; then
    echo "wine-test: the version resource lacks: $want" >&2
    exit 1
  fi
done

work="$(mktemp -d)"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Headless on purpose: message boxes then return at once instead of waiting for a click.
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
  timeout 30 "$wineserver" -k >/dev/null 2>&1 || true
  timeout 30 "$wineserver" -w >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "=== wine: preparing a fresh prefix ==="
timeout 300 "$wine" wineboot --init </dev/null >/dev/null 2>&1
# The set-up's own wineserver ends a few seconds after it; then a persistent one, so services.exe
# and the service outlive each short wine command of the test.
timeout 60 "$wineserver" -w
timeout 30 "$wineserver" -p

echo "=== wine: service scenario ==="
QM_WINE="$wine" QM_WINE_EXE="$exe" QM_REQUIRE_WINE=1 \
  timeout 900 "$tests" --gtest_filter='WineService.*' </dev/null
