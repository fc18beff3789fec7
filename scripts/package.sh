#!/usr/bin/env bash
# Builds the packages, through CPack, into dist/:
#   dist/quillmoot-server_<version>_amd64.deb   (Release build in build-pkg/, warnings as errors)
#   dist/quillmoot-server-<version>-win64.zip   (the Windows cross-build in build-win/, warnings as
#                                                errors: the very build scripts/test.sh tested, when
#                                                it ran before; brought up to date otherwise)
# QM_PACKAGE_WINDOWS=0 leaves the zip out. Installs what is missing from Debian's packages first.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
QM_WITH_WINE=0 QM_WITH_WINDOWS="${QM_PACKAGE_WINDOWS:-1}" QM_WITH_PACKAGING=1 "$root/scripts/install-deps.sh"
jobs="${QM_BUILD_JOBS:-2}"
mkdir -p "$root/dist"

echo "=== package: deb ==="
build="$root/build-pkg"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_WERROR=ON -DQM_BUILD_TESTS=OFF \
  -DQM_BUILD_BENCH=OFF -DQM_DIST_DIR="$root/dist" >/dev/null
cmake --build "$build" -j "$jobs"
(cd "$build" && cpack -G DEB)

if [ "${QM_PACKAGE_WINDOWS:-1}" = 1 ]; then
  echo "=== package: zip ==="
  # Configured as scripts/test.sh configures it, so a tested build-win/ is reused as it stands.
  QM_WERROR=ON QM_WIN_BUILD_DIR="$root/build-win" "$root/scripts/build-windows.sh" -j "$jobs"
  cmake -S "$root" -B "$root/build-win" -DQM_DIST_DIR="$root/dist" >/dev/null
  (cd "$root/build-win" && cpack -G ZIP)
fi
ls -l "$root/dist"
