#!/usr/bin/env bash
# Installs what building and testing need, from Debian's packages, when it is missing.
# Needs root (or sudo) only when something is actually missing. Groups left out with
# QM_WITH_TESTS=0, QM_WITH_RULES=0, QM_WITH_WINDOWS=0, QM_WITH_WINE=0, QM_WITH_PACKAGING=0,
# QM_SKIP_LINT=1; added with QM_WITH_CLANG=1 (fuzzing) and QM_WITH_BROWSER=1 (the page stage).
set -euo pipefail

need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
command -v g++ >/dev/null 2>&1 || need+=(g++)
# The test suites and benchmarks (QM_WITH_TESTS=0: building and running the server only, as
# scripts/run-server.sh does).
if [ "${QM_WITH_TESTS:-1}" = 1 ]; then
  [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
  [ -f /usr/include/gmock/gmock.h ] || need+=(libgmock-dev)
  [ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
  [ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
fi
# promtool, from Debian's Prometheus, checks the alert rules and the metrics (scripts/rules-test.sh).
if [ "${QM_WITH_RULES:-1}" = 1 ]; then
  command -v promtool >/dev/null 2>&1 || need+=(prometheus)
fi
# A headless browser for the status page's test (scripts/page-test.sh): large, so only on request.
if [ "${QM_WITH_BROWSER:-0}" = 1 ]; then
  command -v chromium >/dev/null 2>&1 || need+=(chromium)
fi
if [ "${QM_WITH_WINDOWS:-1}" = 1 ]; then
  command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || need+=(g++-mingw-w64-x86-64-posix)
fi
# Wine runs the Windows build as a real NT service (scripts/wine-test.sh); Debian keeps its loader
# in /usr/lib/wine, off PATH.
if [ "${QM_WITH_WINE:-${QM_WITH_WINDOWS:-1}}" = 1 ]; then
  command -v wine64 >/dev/null 2>&1 || [ -x /usr/lib/wine/wine64 ] || need+=(wine64)
fi
# The Windows installer (MSI): built by wixl, amended and inspected with msitools, for the package
# and for the Wine scenario that installs it.
if { [ "${QM_WITH_WINDOWS:-1}" = 1 ] && [ "${QM_WITH_PACKAGING:-1}" = 1 ]; } ||
  [ "${QM_WITH_WINE:-${QM_WITH_WINDOWS:-1}}" = 1 ]; then
  command -v wixl >/dev/null 2>&1 || need+=(wixl)
  command -v msiinfo >/dev/null 2>&1 || need+=(msitools)
fi
# The operator socket's messages are JSON, read and written with Debian's header-only library.
[ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
# The metrics listener (-METRICS=) serves through Debian's prometheus-cpp.
[ -f /usr/include/prometheus/exposer.h ] || need+=(prometheus-cpp-dev)
# Packages (scripts/package.sh) and their checks (scripts/package-test.sh).
if [ "${QM_WITH_PACKAGING:-1}" = 1 ]; then
  command -v dpkg-deb >/dev/null 2>&1 || need+=(dpkg)
  command -v dpkg-shlibdeps >/dev/null 2>&1 || need+=(dpkg-dev)
  command -v lintian >/dev/null 2>&1 || need+=(lintian)
  command -v zip >/dev/null 2>&1 || need+=(zip)
  command -v unzip >/dev/null 2>&1 || need+=(unzip)
  command -v gzip >/dev/null 2>&1 || need+=(gzip)
fi
# scripts/lint.sh: clang-format, clang-tidy with its parallel driver run-clang-tidy (the same
# package; a Python script), git.
if [ "${QM_SKIP_LINT:-0}" != 1 ]; then
  command -v clang-format >/dev/null 2>&1 || need+=(clang-format)
  { command -v clang-tidy && command -v run-clang-tidy; } >/dev/null 2>&1 || need+=(clang-tidy)
  command -v python3 >/dev/null 2>&1 || need+=(python3)
  command -v git >/dev/null 2>&1 || need+=(git)
fi
if [ "${QM_WITH_CLANG:-0}" = 1 ]; then
  command -v clang++ >/dev/null 2>&1 || need+=(clang)
  ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need+=(libclang-rt-dev)
fi

if [ ${#need[@]} -eq 0 ]; then exit 0; fi
echo "install-deps: installing ${need[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${need[@]}"
