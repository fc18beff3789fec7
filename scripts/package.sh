#!/usr/bin/env bash
# Builds the packages, through CPack, into dist/:
#   dist/quillmoot-server_<version>_amd64.deb   (Release build in build-pkg/, warnings as errors)
#   dist/quillmoot-server-<version>-win64.zip   (the Windows cross-build in build-win/, warnings as
#                                                errors: the very build scripts/test.sh tested, when
#                                                it ran before; brought up to date otherwise)
#   dist/quillmoot-server-<version>-win64.msi   (the same build, through packaging/windows/)
# QM_PACKAGE_WINDOWS=0 leaves the zip and the MSI out. QM_PACKAGE_VERSION=1.3.1 builds only the deb,
# from the same sources as that version (in build-pkg/: only what shows the version is built again;
# the next run without it goes back to the project's version). Installs what is missing from Debian's packages first.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
windows="${QM_PACKAGE_WINDOWS:-1}"
[ -z "${QM_PACKAGE_VERSION:-}" ] || windows=0
QM_WITH_WINE=0 QM_WITH_WINDOWS="$windows" QM_WITH_PACKAGING=1 "$root/scripts/install-deps.sh"
jobs="${QM_BUILD_JOBS:-2}"
mkdir -p "$root/dist"

echo "=== package: deb ==="
build="$root/build-pkg"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_WERROR=ON -DQM_BUILD_TESTS=OFF \
  -DQM_BUILD_BENCH=OFF -DQM_DIST_DIR="$root/dist" -DQM_VERSION="${QM_PACKAGE_VERSION:-}" >/dev/null
cmake --build "$build" -j "$jobs"
(cd "$build" && cpack -G DEB)

if [ "$windows" = 1 ]; then
  echo "=== package: zip ==="
  # Configured as scripts/test.sh configures it, so a tested build-win/ is reused as it stands.
  QM_WERROR=ON QM_WIN_BUILD_DIR="$root/build-win" "$root/scripts/build-windows.sh" -j "$jobs"
  cmake -S "$root" -B "$root/build-win" -DQM_DIST_DIR="$root/dist" >/dev/null
  (cd "$root/build-win" && cpack -G ZIP)
fi

if [ "$windows" = 1 ]; then
  echo "=== package: msi ==="
  # The zip's files (stripped, the generated readme), staged by the build's own install rules.
  msi_build="${QM_MSI_BUILD_DIR:-$root/build-win}"
  msi_version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$msi_build/CMakeCache.txt")"
  msi_stage="$(mktemp -d)"
  cmake --install "$msi_build" --prefix "$msi_stage" --strip >/dev/null
  "$root/packaging/windows/build-msi.sh" "$msi_version" "$msi_stage" "$msi_stage/README-Windows.txt" \
    "$root/dist/quillmoot-server-$msi_version-win64.msi"
  rm -rf "$msi_stage"
fi
ls -l "$root/dist"
