#!/usr/bin/env bash
# Runs the soak: 255 clients churning against a qmserver process for the given time, then the
# end checks (server alive and serving, list packet, threads back to baseline, memory).
#   scripts/soak.sh <seconds> [--tsan] [extra qmsoak options, e.g. --rate 300 --seed 7]
# With --tsan the server is build-tsan/qmserver (ThreadSanitizer; any report ends the server and
# fails the run); otherwise build/qmserver. The soak program itself comes from build/.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-120}"
shift || true
server_build="$root/build"
if [ "${1:-}" = "--tsan" ]; then
  server_build="$root/build-tsan"
  shift
fi
QM_WITH_WINDOWS=0 "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_BUILD_TESTS=ON >/dev/null
cmake --build "$root/build" -j "${QM_BUILD_JOBS:-2}" --target qmsoak qmserver
if [ "$server_build" = "$root/build-tsan" ]; then
  cmake -S "$root" -B "$server_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_SANITIZE=thread \
    -DQM_BUILD_BENCH=OFF >/dev/null
  cmake --build "$server_build" -j "${QM_BUILD_JOBS:-2}" --target qmserver
  export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/scripts/tsan.supp ${TSAN_OPTIONS:-}"
  # ThreadSanitizer's shadow and history memory grow with every thread it has seen, so the memory
  # check is off there and the run says so (the normal run checks it); its run is also slower.
  set -- --rss-margin-mb -1 --rate 120 "$@"
fi
exec "$root/build/tests/soak/qmsoak" --server "$server_build/qmserver" --seconds "$seconds" "$@"
