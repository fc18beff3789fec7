#!/usr/bin/env bash
# The style and fault checks CI runs, each failing the script on any finding:
#  1. clang-format: every tracked .cpp/.hpp already formatted as .clang-format says (no diff);
#  2. clang-tidy: the checks of .clang-tidy over src/ and tools/, zero findings;
#  3. folder layers: no folder under src/ includes a header of a folder that includes one of its
#     headers back (dependencies point one way).
# clang-tidy reads compile_commands.json from $QM_LINT_BUILD (default: build/, which scripts/test.sh
# configures with it); a build folder without one is configured (not built) first.
# Usage: scripts/lint.sh [format|tidy|layers]...   (no argument: all three)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(format tidy layers)
failed=()

lint_format() {
  echo "--- clang-format"
  git ls-files -z '*.cpp' '*.hpp' | xargs -0 clang-format --dry-run --Werror
}

lint_tidy() {
  echo "--- clang-tidy (src/, tools/)"
  local build="${QM_LINT_BUILD:-$root/build}"
  if [ ! -f "$build/compile_commands.json" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DQM_BUILD_TESTS=ON >/dev/null
  fi
  local jobs
  jobs="$(nproc 2>/dev/null || echo 2)"
  # run-clang-tidy prints every file it starts; only the findings matter.
  local out
  if ! out="$(run-clang-tidy -p "$build" -j "$jobs" -quiet "$root/(src|tools)/" 2>&1)"; then
    printf '%s\n' "$out" | grep -v -e '^clang-tidy' -e 'warnings\? generated\.$' -e '^Suppressed' -e '^Use -header-filter'
    return 1
  fi
}

lint_layers() {
  echo "--- folder layers (src/)"
  python3 - "$root/src" <<'PY'
import os, re, sys
src = sys.argv[1]
folders = sorted(d for d in os.listdir(src) if os.path.isdir(os.path.join(src, d)))
include = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]+"', re.M)
uses = {}  # (from, to) -> first file that includes across
for top in folders:
    for dirpath, _, files in os.walk(os.path.join(src, top)):
        for name in sorted(files):
            if not name.endswith(('.cpp', '.hpp')):
                continue
            path = os.path.join(dirpath, name)
            with open(path, encoding='utf-8', errors='replace') as f:
                for target in include.findall(f.read()):
                    if target != top and target in folders:
                        uses.setdefault((top, target), os.path.relpath(path, os.path.dirname(src)))
bad = sorted((a, b) for (a, b) in uses if a < b and (b, a) in uses)
for a, b in bad:
    print(f"{a} <-> {b}: {uses[(a, b)]} includes {b}/, {uses[(b, a)]} includes {a}/")
sys.exit(1 if bad else 0)
PY
}

for step in "${steps[@]}"; do
  case "$step" in
    format | tidy | layers) "lint_$step" || failed+=("$step") ;;
    *)
      echo "lint.sh: unknown step '$step' (format, tidy, layers)" >&2
      exit 2
      ;;
  esac
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "lint: FAILED: ${failed[*]}"
  exit 1
fi
echo "lint: clean"
