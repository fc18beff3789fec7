#!/usr/bin/env bash
# Builds and runs every test: the normal build, an AddressSanitizer + UndefinedBehaviorSanitizer
# build, a ThreadSanitizer build of the suites that run threads, the Windows cross-build, and that
# build run as an NT service under Wine; warnings are errors in every build. After the normal build,
# scripts/lint.sh checks formatting, clang-tidy and the folder layers (QM_SKIP_LINT=1: not). Set
# QM_QUICK=1 to run the normal build (and lint) only, QM_WITH_WINE=0 to leave out Wine.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/install-deps.sh"
jobs="$(nproc 2>/dev/null || echo 2)"

run_suite() {  # build-dir, cmake args..., then -- ctest args...
  local dir="$1"; shift
  local cfg=() ct=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do cfg+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  ct=("$@")
  echo "=== $(basename "$dir") ==="
  cmake -S "$root" -B "$dir" -G Ninja -DQM_WERROR=ON "${cfg[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" "${ct[@]}")
}

run_suite "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
if [ "${QM_SKIP_LINT:-0}" != 1 ]; then
  echo "=== lint ==="
  QM_LINT_BUILD="$root/build" "$root/scripts/lint.sh"
fi
if [ "${QM_QUICK:-0}" = 1 ]; then exit 0; fi
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_suite "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DQM_SANITIZE=address -DQM_BUILD_BENCH=OFF
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  run_suite "$root/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_SANITIZE=thread -DQM_BUILD_BENCH=OFF
echo "=== build-win ==="
QM_WERROR=ON "$root/scripts/build-windows.sh"
echo "Windows build: $root/build-win/qmserver.exe"
if [ "${QM_WITH_WINE:-${QM_WITH_WINDOWS:-1}}" = 1 ]; then
  echo "=== wine ==="
  "$root/scripts/wine-test.sh" "$root/build-win/qmserver.exe" "$root/build/tests/test_service"
fi

"$root/scripts/package-test.sh"  # both packages built and checked; the .deb installed and purged (QM_SKIP_PACKAGE=1: not)

# --- hostile input and long runs: each fuzz target for about a minute, then the soak for two
# minutes against the normal server and two minutes against the ThreadSanitizer one ---
if [ "${QM_SKIP_FUZZ:-0}" != 1 ]; then
  echo "=== fuzz ==="
  "$root/scripts/fuzz.sh" "${QM_FUZZ_SECONDS:-60}"
fi
if [ "${QM_SKIP_SOAK:-0}" != 1 ]; then
  echo "=== soak ==="
  "$root/scripts/soak.sh" "${QM_SOAK_SECONDS:-120}"
  echo "=== soak (tsan) ==="
  "$root/scripts/soak.sh" "${QM_SOAK_SECONDS:-120}" --tsan
fi
