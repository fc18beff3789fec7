#!/usr/bin/env bash
# Builds the server and qmctl and runs the server in the foreground with its default
# configuration. The server keeps qmserver.ini beside the executable (build/) and writes
# qmserver.log into the current directory. Stop it with Ctrl+C (or SIGTERM). Extra arguments go
# to the server (scripts/run-server.sh --help lists them).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Only what building and running the server needs: no test, lint, Windows or packaging tools.
QM_WITH_TESTS=0 QM_WITH_RULES=0 QM_WITH_WINDOWS=0 QM_WITH_WINE=0 QM_WITH_PACKAGING=0 QM_SKIP_LINT=1 \
  "$root/scripts/install-deps.sh"
# The test suites need GoogleTest; without it build/ is configured without them. The option stays
# in build/'s cache, so the scripts that build tests there (scripts/test.sh and the rest) ask for
# QM_BUILD_TESTS=ON themselves.
tests=ON
[ -f /usr/include/gtest/gtest.h ] && [ -f /usr/include/nlohmann/json.hpp ] || tests=OFF
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_BUILD_TESTS=$tests >/dev/null
cmake --build "$root/build" --target qmserver qmctl
exec "$root/build/qmserver" "$@"
