#!/usr/bin/env bash
# Cross-builds the Windows server into build-win/ (Release, Ninja).
# Extra arguments go to the build step, e.g. `scripts/build-windows.sh --target qmcore`.
# Installs nothing: the compilers come from Debian's g++-mingw-w64-x86-64-posix package.
# QM_WERROR=ON makes warnings errors (scripts/test.sh sets it).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QM_WIN_BUILD_DIR:-$root/build-win}"
triple=x86_64-w64-mingw32

missing=0
for tool in "$triple-gcc-posix" "$triple-g++-posix" "$triple-windres" cmake ninja; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "build-windows: '$tool' not found on PATH." >&2
    missing=1
  fi
done
if [ "$missing" -ne 0 ]; then
  echo "build-windows: install the cross toolchain first, e.g." >&2
  echo "  apt-get install g++-mingw-w64-x86-64-posix cmake ninja-build" >&2
  exit 2
fi

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DQM_WERROR="${QM_WERROR:-OFF}"
cmake --build "$build" "$@"
