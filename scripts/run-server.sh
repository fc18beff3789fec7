#!/usr/bin/env bash
# Builds the server and qmctl and runs the server in the foreground with its default
# configuration. The server keeps qmserver.ini beside the executable (build/) and writes
# qmserver.log into the current directory. Stop it with Ctrl+C (or SIGTERM). Extra arguments go
# to the server (scripts/run-server.sh --help lists them).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
QM_WITH_WINDOWS=0 "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" --target qmserver qmctl
exec "$root/build/qmserver" "$@"
