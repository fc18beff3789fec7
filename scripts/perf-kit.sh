#!/usr/bin/env bash
# Runs the relay measuring kit (../shared/perf beside the checkout, or QM_PERF_KIT) against a
# qmserver build with every [Limits] lifted: the kit logs all its clients in from 127.0.0.1 and
# drives speakers far above a voice budget, which a public server's limits would rightly refuse.
# The kit's own variables pass through (QM_BENCH_SCENARIOS, QM_BENCH_REPEAT, QM_BENCH_SAT_RATE ...).
#   scripts/perf-kit.sh [path/to/qmserver]          (default: build/qmserver)
# QM_PERF_METRICS=PORT also serves the metrics there, to read the server's relay delay histogram.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
kit="${QM_PERF_KIT:-$root/../shared/perf}"
server="$(cd "$(dirname "${1:-$root/build/qmserver}")" && pwd)/$(basename "${1:-$root/build/qmserver}")"
[ -x "$server" ] || { echo "perf-kit: no server at $server (build it first)" >&2; exit 2; }
[ -x "$kit/run_bench.sh" ] || { echo "perf-kit: no kit at $kit (set QM_PERF_KIT)" >&2; exit 2; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
metrics=()
[ -n "${QM_PERF_METRICS:-}" ] && metrics=("-METRICS=127.0.0.1:$QM_PERF_METRICS")
# The kit copies this stand-in beside the ini it writes; exec keeps the process id it measures.
cat >"$work/qmserver" <<WRAP
#!/bin/sh
printf '[Limits]\r\nMaxClientsPerAddress=0\r\nVoicePacketsPerSecond=0\r\nVoiceBytesPerSecond=0\r\nVoiceSpeakersPerAddress=0\r\nChannelChangesPerSecond=0\r\nLoginsPerAddressPerSecond=0\r\n' >>qmserver.ini
exec "$server" "-INI=\$PWD/qmserver.ini" ${metrics[*]:-} "\$@"
WRAP
chmod +x "$work/qmserver"
QM_SERVER_BIN="$work/qmserver" "$kit/run_bench.sh"
