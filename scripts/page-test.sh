#!/usr/bin/env bash
# The status page in a real browser: Debian's chromium, headless, loads the page from a running
# server with players in two channels (StatusPage.RenderedByAHeadlessBrowser in test_metrics) and
# the test reads the rendered page. Chromium is installed here when missing, and only here: no
# other stage needs it. The screenshot goes to $QM_SCREENSHOT (default BUILD_DIR/status-page.png;
# QM_SCREENSHOT=docs/status-page.png refreshes the one in the docs).
#   scripts/page-test.sh [BUILD_DIR]    (default build/)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
if ! command -v chromium >/dev/null 2>&1; then
  begin=$SECONDS
  before=$(df -Pm / | awk 'NR == 2 { print $3 }')
  QM_WITH_BROWSER=1 "$root/scripts/install-deps.sh"
  after=$(df -Pm / | awk 'NR == 2 { print $3 }')
  echo "page-test: chromium installed in $((SECONDS - begin)) s, $((after - before)) MB more on disk"
fi
[ -f "$build/build.ninja" ] ||
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_BUILD_TESTS=ON >/dev/null
cmake --build "$build" --target test_metrics
shot="${QM_SCREENSHOT:-$build/status-page.png}"
QM_BROWSER=chromium QM_SCREENSHOT="$shot" "$build/tests/test_metrics" --gtest_filter='StatusPage.*:StatusJson.*'
echo "page-test: screenshot in $shot"
