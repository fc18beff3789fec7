#!/usr/bin/env bash
# Builds the server and the relay benchmark (optimised) and runs the benchmark against
# build/qmserver on loopback. Extra arguments go to the benchmark (--seconds, --rate, --payload,
# --configs 16/2,64/8,255/32).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" --target qmserver bench_relay -j2
exec "$root/build/bench/bench_relay" --server "$root/build/qmserver" "$@"
