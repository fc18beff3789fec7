#!/usr/bin/env bash
# The alert rules and the metrics against Prometheus's own checker: promtool checks
# packaging/prometheus/quillmoot-rules.yml and runs its tests (tests/prometheus/, series the tests
# write), then `promtool check metrics` lints a real scrape of build/qmserver with two players on.
#   scripts/rules-test.sh [BUILD_DIR]    (default build/; qmserver and qmctl are built there)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
command -v promtool >/dev/null 2>&1 || QM_WITH_RULES=1 "$root/scripts/install-deps.sh"

promtool check rules "$root/packaging/prometheus/quillmoot-rules.yml"
(cd "$root/tests/prometheus" && promtool test rules quillmoot-rules.test.yml)

[ -f "$build/build.ninja" ] ||
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_BUILD_TESTS=ON >/dev/null
cmake --build "$build" --target qmserver qmctl
work="$(mktemp -d)"
pids=()
cleanup() {
  local pid
  for pid in ${pids[@]+"${pids[@]}"}; do kill "$pid" 2>/dev/null || true; done
  for pid in ${pids[@]+"${pids[@]}"}; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
# Free ports on loopback: a TCP/UDP pair for the server, one for the metrics.
read -r port metrics < <(python3 - <<'PY'
import socket
def free(n):
    while True:
        t = socket.socket(); t.bind(("127.0.0.1", 0)); p = t.getsockname()[1]
        ok = True
        for extra in range(1, n):
            u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            try: u.bind(("127.0.0.1", p + extra))
            except OSError: ok = False
            u.close()
        t.close()
        if ok: return p
print(free(2), free(1))
PY
)
printf '[Networking]\nTCPPort=%s\n[Channels]\n0=Lobby\n1=Ops\n' "$port" >"$work/qmserver.ini"
"$build/qmserver" "-INI=$work/qmserver.ini" "-LOG=$work/qmserver.log" "-METRICS=127.0.0.1:$metrics" \
  >"$work/server.out" 2>&1 &
pids+=($!)
scrape() { python3 -c 'import sys, urllib.request; sys.stdout.write(urllib.request.urlopen(sys.argv[1], timeout=5).read().decode())' "http://127.0.0.1:$metrics/metrics"; }
# The metrics listener opens last in the start-up: once it answers, the server takes logins.
for _ in $(seq 100); do
  if scrape >/dev/null 2>&1; then break; fi
  sleep 0.1
done
for name in Ann 'Bob "the" <b>'; do
  "$build/qmctl" --port "$port" --name "$name" watch --seconds 30 >/dev/null 2>&1 &
  pids+=($!)
done
for _ in $(seq 100); do
  if scrape 2>/dev/null | grep -q '^quillmoot_clients 2$'; then break; fi
  sleep 0.1
done
scrape >"$work/scrape.txt"
grep -q '^quillmoot_clients 2$' "$work/scrape.txt" || { echo "rules-test: the two players are not in the scrape" >&2; cat "$work/server.out" >&2; exit 1; }
# Every family the rules use is there.
for family in quillmoot_clients quillmoot_max_clients quillmoot_voice_dropped_total quillmoot_logins_refused_total \
  quillmoot_relay_delay_seconds_bucket; do
  grep -q "^$family" "$work/scrape.txt" || { echo "rules-test: no $family in the scrape" >&2; exit 1; }
done
promtool check metrics <"$work/scrape.txt"
echo "rules-test: the rules' tests pass and a scrape of $(grep -c '^quillmoot_' "$work/scrape.txt") samples passes promtool check metrics"
