#!/usr/bin/env bash
# Runs qmserver.exe as a real NT service under Wine: in a fresh Wine prefix the WineService tests
# install, start, serve a native client, stop, restart and uninstall it through its own switches,
# then install it with the MSI (msiexec /qn), serve through it, upgrade it with a second MSI of a
# higher version (five clients watching: when they are dropped and can log in again, printed as
# wine-msi-upgrade lines) and remove it; and whether sockets pass from one Windows process to
# another (a probe cross-built here, tests/service/wine/SocketPassProbe.cpp).
#   scripts/wine-test.sh [path/to/qmserver.exe] [path/to/test_service]
# QM_WINE_FILTER narrows the tests run (a gtest filter; default WineService.*).
# qmctl.exe and README-Windows.txt are taken from beside qmserver.exe for the MSIs.
# Needs Debian's wine64, wixl and msitools packages (scripts/install-deps.sh with QM_WITH_WINE=1).
# Exits non-zero when a tool is missing or any step fails; always ends the wineserver it started.
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
for tool in wixl msibuild msiinfo; do
  command -v "$tool" >/dev/null 2>&1 ||
    { echo "wine-test: $tool not found; install Debian's wixl and msitools (QM_WITH_WINE=1 scripts/install-deps.sh)" >&2; exit 2; }
done
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 ||
  { echo "wine-test: x86_64-w64-mingw32-g++-posix not found; install Debian's g++-mingw-w64-x86-64-posix" >&2; exit 2; }
bindir="$(dirname "$exe")"
for f in "$exe" "$tests" "$bindir/qmctl.exe" "$bindir/README-Windows.txt"; do
  [ -f "$f" ] || { echo "wine-test: $f is missing; build it first" >&2; exit 2; }
done

echo "=== wine: version resource ==="
resource="$(x86_64-w64-mingw32-windres -i "$exe" -O rc)"
for want in 'FILEVERSION 1, 3, 0, 0' 'PRODUCTVERSION 1, 3, 0, 0' 'BLOCK "040704E4"' \
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

echo "=== wine: installers ==="
# The release's version, and a higher one for the upgrade.
version="$(sed -n 's/^project(Quillmoot VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
"$root/packaging/windows/build-msi.sh" "$version" "$bindir" "$bindir/README-Windows.txt" "$work/first.msi"
# The upgrade's program differs from the installed one (its file version one higher in the last
# place), so the test sees it replaced, not left running until a reboot.
mkdir "$work/upgrade-bin"
cp "$bindir/qmctl.exe" "$work/upgrade-bin/"
python3 - "$exe" "$work/upgrade-bin/qmserver.exe" <<'PY'
import struct, sys
image = bytearray(open(sys.argv[1], "rb").read())
at = image.find(b"\xbd\x04\xef\xfe")  # VS_FIXEDFILEINFO's signature
if at < 0:
    sys.exit("wine-test: no version resource in " + sys.argv[1])
file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<IIII", image, at + 8)
struct.pack_into("<IIII", image, at + 8, file_ms, file_ls + 1, product_ms, product_ls + 1)
open(sys.argv[2], "wb").write(image)
PY
"$root/packaging/windows/build-msi.sh" "${version%.*}.$((${version##*.} + 1))" "$work/upgrade-bin" \
  "$bindir/README-Windows.txt" "$work/upgrade.msi"

echo "=== wine: socket probe ==="
# A small Windows program of its own: whether sockets pass to another process (WSADuplicateSocketW).
x86_64-w64-mingw32-g++-posix -std=c++20 -O1 -Wall -Wextra -Werror -static \
  -o "$work/socketpassprobe.exe" "$root/tests/service/wine/SocketPassProbe.cpp" -lws2_32

echo "=== wine: service scenario ==="
QM_WINE="$wine" QM_WINE_EXE="$exe" QM_REQUIRE_WINE=1 QM_WINE_MSI="$work/first.msi" \
  QM_WINE_MSI_UPGRADE="$work/upgrade.msi" QM_WINE_MSI_VERSION="$version" \
  QM_WINE_MSI_UPGRADE_EXE="$work/upgrade-bin/qmserver.exe" \
  QM_WINE_SOCKET_PROBE="$work/socketpassprobe.exe" \
  timeout 900 "$tests" --gtest_filter="${QM_WINE_FILTER:-WineService.*}" </dev/null
