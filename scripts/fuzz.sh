#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer) and runs
# each for a bounded time: scripts/fuzz.sh [seconds per target, default 60] [target...]
# The seed corpora in fuzz/corpus/ are read, not written: what a run finds goes into
# build-fuzz/corpus/<target>/ (kept between runs) and crashes into build-fuzz/findings/.
# Runs one target at a time; set QM_FUZZ_JOBS to give libFuzzer more workers.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_control fuzz_packets fuzz_udp fuzz_ini fuzz_http fuzz_operator)
QM_WITH_CLANG=1 QM_WITH_WINDOWS=0 "$root/scripts/install-deps.sh"

build="$root/build-fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQM_FUZZ=ON -DQM_SANITIZE=address -DQM_BUILD_TESTS=OFF -DQM_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "${QM_BUILD_JOBS:-2}" --target "${targets[@]}"

# What a harness writes (fuzz_ini's file) goes to a private temporary folder, removed at the end
# however the run ends.
TMPDIR="$(mktemp -d "${TMPDIR:-/tmp}/qmfuzz.XXXXXX")"
export TMPDIR
trap 'rm -rf "$TMPDIR"' EXIT
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
extra=()
[ -z "${QM_FUZZ_JOBS:-}" ] || extra=(-jobs="$QM_FUZZ_JOBS" -workers="$QM_FUZZ_JOBS")
status=0
for target in "${targets[@]}"; do
  seeds="$root/fuzz/corpus/${target#fuzz_}"
  work="$build/corpus/$target"
  findings="$build/findings/$target"
  mkdir -p "$work" "$findings"
  echo "=== $target: ${seconds}s ==="
  log="$build/$target.log"
  if ! "$build/fuzz/$target" "$work" "$seeds" -dict="$root/fuzz/quillmoot.dict" -max_total_time="$seconds" \
      -timeout=20 -rss_limit_mb=4096 -max_len=8192 -detect_leaks=0 -print_final_stats=1 -artifact_prefix="$findings/" \
      ${extra[@]+"${extra[@]}"} >"$log" 2>&1; then
    echo "$target: FINDING (see $log and $findings/)"
    tail -n 40 "$log"
    status=1
  fi
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$log" | sed "s/^/$target /" || true
done
exit $status
