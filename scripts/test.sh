#!/usr/bin/env bash
# Builds and runs every test, stage by stage; warnings are errors in every build:
#   build      the normal build (RelWithDebInfo, build/) and its tests
#   lint       scripts/lint.sh over that build: formatting, clang-tidy, the folder layers
#   rules      the alert rules' tests and a real scrape under promtool (scripts/rules-test.sh)
#   asan       AddressSanitizer + UndefinedBehaviorSanitizer build (build-asan/) and its tests
#   tsan       ThreadSanitizer build (build-tsan/) and its tests
#   win        the Windows cross-build (build-win/)
#   wine       that build run as an NT service under Wine
#   package    the .deb and the zip (the zip from build-win/ as tested), checked, the .deb installed
#              and purged (scripts/package-test.sh)
#   page       the status page in headless chromium, installed for this stage only when missing
#              (scripts/page-test.sh; about 120 MB to fetch and 410 MB installed)
#   fuzz       each fuzz target for QM_FUZZ_SECONDS (default 60)
#   soak       the soak against build/qmserver for QM_SOAK_SECONDS (default 120)
#   soak-tsan  the soak against the ThreadSanitizer server
# Each stage prints its time, and the run ends with all of them. The whole run takes about
# 27 minutes on two cores, 24 of them the stages (the README says the same; rules and page add
# about ten seconds once chromium is installed).
#
#   QM_ONLY=asan scripts/test.sh         one stage (or several: QM_ONLY=win,wine)
#   QM_FROM=tsan scripts/test.sh         from that stage to the end (resume after a failure)
#   QM_QUICK=1                           build and lint only
#   scripts/test.sh --list               the stages a run with these settings would run
#   QM_SKIP_LINT=1, QM_WITH_WINE=0, QM_SKIP_PACKAGE=1, QM_SKIP_PAGE=1, QM_SKIP_FUZZ=1, QM_SKIP_SOAK=1
#                                        leave those stages out
# A stage that fails ends the run and says how to resume from it.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
stages=(build lint rules asan tsan win wine package page fuzz soak soak-tsan)

usage() { sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed '$d' | sed 's/^# \{0,1\}//'; }
list=0
case "${1:-}" in
  -h | --help) usage; exit 0 ;;
  --list) list=1 ;;
  "") ;;
  *) echo "test.sh: unknown argument $1 (stages are chosen with QM_ONLY= or QM_FROM=; see --help)" >&2; exit 2 ;;
esac

known() { local s; for s in "${stages[@]}"; do [ "$s" = "$1" ] && return 0; done; return 1; }
only=()
if [ -n "${QM_ONLY:-}" ]; then IFS=', ' read -r -a only <<<"$QM_ONLY"; fi
[ "${QM_QUICK:-0}" = 1 ] && [ ${#only[@]} -eq 0 ] && only=(build lint)
for s in ${only[@]+"${only[@]}"} ${QM_FROM:+"$QM_FROM"}; do
  if ! known "$s"; then echo "test.sh: no stage '$s'; the stages are: ${stages[*]}" >&2; exit 2; fi
done

selected() {  # stage: chosen by QM_ONLY / QM_FROM and not left out by a QM_SKIP_* or QM_WITH_* switch
  local stage="$1" s
  if [ ${#only[@]} -gt 0 ]; then
    local hit=0
    for s in "${only[@]}"; do [ "$s" = "$stage" ] && hit=1; done
    [ "$hit" = 1 ] || return 1
  elif [ -n "${QM_FROM:-}" ]; then
    for s in "${stages[@]}"; do
      [ "$s" = "$QM_FROM" ] && break
      [ "$s" = "$stage" ] && return 1
    done
  fi
  case "$stage" in
    lint) [ "${QM_SKIP_LINT:-0}" != 1 ] ;;
    wine) [ "${QM_WITH_WINE:-${QM_WITH_WINDOWS:-1}}" = 1 ] ;;
    package) [ "${QM_SKIP_PACKAGE:-0}" != 1 ] ;;
    page) [ "${QM_SKIP_PAGE:-0}" != 1 ] ;;
    fuzz) [ "${QM_SKIP_FUZZ:-0}" != 1 ] ;;
    soak | soak-tsan) [ "${QM_SKIP_SOAK:-0}" != 1 ] ;;
    *) return 0 ;;
  esac
}

if [ "$list" = 1 ]; then
  for stage in "${stages[@]}"; do selected "$stage" && echo "$stage"; done
  exit 0
fi
"$root/scripts/install-deps.sh"
jobs="$(nproc 2>/dev/null || echo 2)"

run_suite() {  # build-dir, cmake args..., then -- ctest args...
  local dir="$1"; shift
  local cfg=() ct=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do cfg+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  ct=("$@")
  cmake -S "$root" -B "$dir" -G Ninja -DQM_WERROR=ON "${cfg[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" ${ct[@]+"${ct[@]}"})
}
normal_build() {
  run_suite "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DQM_BUILD_TESTS=ON
}
windows_build() { QM_WERROR=ON "$root/scripts/build-windows.sh"; }

stage_build() { normal_build; }
# lint.sh configures build/ itself when the build stage did not run.
stage_lint() { QM_LINT_BUILD="$root/build" "$root/scripts/lint.sh"; }
stage_asan() {
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_suite "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DQM_SANITIZE=address -DQM_BUILD_BENCH=OFF
}
stage_tsan() {
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/scripts/tsan.supp" \
    run_suite "$root/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_SANITIZE=thread -DQM_BUILD_BENCH=OFF
}
stage_win() {
  windows_build
  echo "Windows build: $root/build-win/qmserver.exe"
}
stage_wine() {
  # Both builds are up to date when the stages before ran; a resumed run brings them up to date.
  windows_build
  cmake -S "$root" -B "$root/build" -G Ninja -DQM_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DQM_BUILD_TESTS=ON >/dev/null
  cmake --build "$root/build" -j "$jobs" --target test_service
  "$root/scripts/wine-test.sh" "$root/build-win/qmserver.exe" "$root/build/tests/test_service"
}
# The zip is packed from build-win/ as the win stage built it and the wine stage ran it.
stage_package() { "$root/scripts/package-test.sh"; }
stage_rules() { "$root/scripts/rules-test.sh" "$root/build"; }
stage_page() { "$root/scripts/page-test.sh" "$root/build"; }
stage_fuzz() { "$root/scripts/fuzz.sh" "${QM_FUZZ_SECONDS:-60}"; }
stage_soak() { "$root/scripts/soak.sh" "${QM_SOAK_SECONDS:-120}"; }
stage_soak_tsan() { "$root/scripts/soak.sh" "${QM_SOAK_SECONDS:-120}" --tsan; }

# The command that runs the failed stage and those chosen after it, with the same choice: QM_ONLY's
# stages from the failed one on when QM_ONLY was given, else QM_FROM (the QM_SKIP_* and QM_WITH_*
# switches of the run stay in the environment they were given in).
resume_hint() {
  local failed="$1" s rest=() on=0
  if [ ${#only[@]} -eq 0 ]; then
    echo "QM_FROM=$failed scripts/test.sh"
    return
  fi
  for s in "${stages[@]}"; do
    [ "$s" = "$failed" ] && on=1
    [ "$on" = 1 ] && selected "$s" && rest+=("$s")
  done
  local IFS=,
  echo "QM_ONLY=${rest[*]} scripts/test.sh"
}

summary=()
report() {
  [ ${#summary[@]} -gt 0 ] || return 0
  echo "=== test.sh: stage times ==="
  printf '%s\n' "${summary[@]}"
}
started=$SECONDS
for stage in "${stages[@]}"; do
  selected "$stage" || continue
  echo "=== $stage ==="
  begin=$SECONDS
  set +e
  (set -e; "stage_${stage//-/_}")
  status=$?
  set -e
  took=$((SECONDS - begin))
  if [ "$status" -ne 0 ]; then
    summary+=("$(printf '  %-10s FAILED after %d:%02d' "$stage" $((took / 60)) $((took % 60)))")
    report
    echo "test.sh: stage $stage FAILED (status $status). After the fix, resume with: $(resume_hint "$stage")" >&2
    exit "$status"
  fi
  summary+=("$(printf '  %-10s ok  %d:%02d' "$stage" $((took / 60)) $((took % 60)))")
  echo "--- $stage: ok in $((took / 60)):$(printf '%02d' $((took % 60)))"
done
report
total=$((SECONDS - started))
echo "test.sh: all chosen stages passed in $((total / 60)):$(printf '%02d' $((total % 60)))"
