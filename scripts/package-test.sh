#!/usr/bin/env bash
# Builds both packages (scripts/package.sh) and checks them: contents and control data, lintian,
# the zip's listing; then installs the .deb on this machine (dpkg -i; without systemd nothing
# starts), checks the account, who owns what (the program root, the ini and the log the account),
# the first configuration and the installed programs, runs a server as the account the way the
# documentation says, reinstalls it (an upgrade keeps the ini, and a link the account planted
# changes no owner), upgrades from the earlier layout (ini and log beside the program) and checks
# the move, upgrades to the same sources built as the next version while a server with clients
# runs (it must hand over: same process, every client kept, the new version), purges it and
# checks that nothing is left.
# Needs root for the install part (skipped otherwise). QM_SKIP_PACKAGE=1 skips everything;
# QM_PACKAGE_WINDOWS=0 leaves the zip out.
set -euo pipefail
[ "${QM_SKIP_PACKAGE:-0}" = 1 ] && exit 0
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/package.sh"

version="$(sed -n 's/^project(Quillmoot VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
deb="$root/dist/quillmoot-server_${version}_amd64.deb"
zip="$root/dist/quillmoot-server-${version}-win64.zip"
failures=0
check() {  # description, command...
  local what="$1"; shift
  if "$@" >/dev/null 2>&1; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
lacks() { ! "$@"; }

echo "=== package-test: contents ==="
contents="$(dpkg-deb -c "$deb")"
info="$(dpkg-deb -I "$deb")"
for path in ./opt/quillmoot/qmserver ./usr/bin/qmctl ./lib/systemd/system/quillmoot.service \
  ./lib/systemd/system/quillmoot@.service ./usr/share/quillmoot-server/qmserver.ini.default \
  ./usr/share/quillmoot-server/prometheus/quillmoot-rules.yml \
  ./usr/share/doc/quillmoot-server/copyright ./usr/share/doc/quillmoot-server/changelog.gz \
  ./usr/share/doc/quillmoot-server/operations.md ./usr/share/doc/quillmoot-server/operator-socket.md \
  ./usr/share/doc/quillmoot-server/qmctl.md ./etc/logrotate.d/quillmoot \
  ./usr/share/man/man1/qmctl.1.gz \
  ./usr/lib/quillmoot-server/write-first-ini; do
  check "deb holds $path" grep -qE " $path\$" <<<"$contents"
done
check "qmserver is executable by all" grep -qE '^-rwxr-xr-x root/root .* ./opt/quillmoot/qmserver$' <<<"$contents"
check "deb ships no ini, log or unit in /etc" lacks grep -qE '\.(ini|log)$|/etc/' <<<"$(grep -vE ' ./etc/(logrotate.d/(quillmoot)?)?$' <<<"$contents")"
check "the logrotate snippet is a conffile" grep -qx '/etc/logrotate.d/quillmoot' <(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)
for field in "Package: quillmoot-server" "Version: $version" "Architecture: amd64" "Section: net"; do
  check "control: $field" grep -qF " $field" <<<"$info"
done
check "control: Depends on adduser" grep -qE '^ Depends:.*adduser' <<<"$info"
check "control: Depends on the metrics library" grep -qE '^ Depends:.*libprometheus-cpp-core' <<<"$info"
for script in postinst prerm postrm; do check "control holds $script" grep -qE "^ +[0-9]+ bytes, .* $script +#!/bin/sh" <<<"$info"; done
template="$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/quillmoot-server/qmserver.ini.default)"
check "default ini: current version" grep -q '^ServerVersion=v' <<<"$template"
check "default ini: password placeholder" grep -q '^AdminPassword=@QM_ADMIN_PASSWORD@' <<<"$template"

if [ -f "$zip" ] || [ "${QM_PACKAGE_WINDOWS:-1}" = 1 ]; then
  listing="$(unzip -Z1 "$zip")"
  for f in qmserver.exe qmctl.exe README-Windows.txt; do
    check "zip holds $f" grep -qx "quillmoot-server-${version}-win64/$f" <<<"$listing"
  done
  # The MSI's tables: the service as /INSTALL registers it (own process, automatic, normal errors,
  # LocalSystem) with the ini and log in ProgramData; started at install, stopped at install and
  # removal, deleted at removal (163), waiting; the program folder; the first-ini action.
  msi="$root/dist/quillmoot-server-${version}-win64.msi"
  msi_table() { msiinfo export "$msi" "$1" | tr -d '\r'; }
  check "msi: service registration" grep -qP '^QuillmootService\tQuillmoot\tQuillmoot\t16\t2\t1\t\t\t\t\t"-INI=\[CommonAppDataFolder\]Quillmoot\\qmserver.ini" "-LOG=\[CommonAppDataFolder\]Quillmoot\\qmserver.log"\tServer\t' <<<"$(msi_table ServiceInstall)"
  check "msi: service control" grep -qP '^QuillmootControl\tQuillmoot\t163\t\t1\tServer$' <<<"$(msi_table ServiceControl)"
  check "msi: program folder" grep -qP '^INSTALLDIR\tProgramFiles64Folder\tQuillmoot Server$' <<<"$(msi_table Directory)"
  check "msi: first ini before the start" grep -qP '^WriteFirstIni\tNOT REMOVE~="ALL"\t5850$' <<<"$(msi_table InstallExecuteSequence)"
  check "msi: old version removed last" grep -qP '^RemoveExistingProducts\t\t6601$' <<<"$(msi_table InstallExecuteSequence)"
  check "msi: qmctl on PATH" grep -qP '^PathEntry\t=-\*PATH\t\[~\];\[INSTALLDIR\]\tControl$' <<<"$(msi_table Environment)"
  check "msi: version" grep -qP "^ProductVersion\t${version}\$" <<<"$(msi_table Property)"
  check "msi: publisher" grep -qP '^Manufacturer\tQuillmoot$' <<<"$(msi_table Property)"
fi

echo "=== package-test: lintian ==="
# The program lives in /opt, as on earlier versions and in the units operators copied from them;
# lintian's dir-or-file-in-opt errors about that are expected and marked so.
# Its notice about running as root is left out: this script installs the package, so it is root.
lintian_out="$(lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v '^running with root privileges' || true)"
sed -E 's/^(E: .* dir-or-file-in-opt( .*)?)$/\1   (expected: the program stays in \/opt)/' <<<"$lintian_out"
errors="$(grep -E '^E: ' <<<"$lintian_out" | grep -vE ' (dir-or-file-in-opt)( |$)' || true)"
check "lintian: no error but the /opt tags" test -z "$errors"

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if sudo -n true 2>/dev/null; then sudo="sudo -n"; else
    echo "package-test: not root, install checks skipped"
    [ "$failures" -eq 0 ] || exit 1
    exit 0
  fi
fi

# dpkg refuses at once while another install holds its lock; wait for it, bounded.
dpkg_run() {
  local out status i
  for i in $(seq 1 60); do
    status=0
    out="$($sudo dpkg "$@" 2>&1)" || status=$?
    if [ "$status" -eq 0 ] || ! grep -q "lock" <<<"$out"; then
      # /opt holds other programs too: dpkg's note that it stays is expected.
      sed -E "s|^(dpkg: warning: .*directory '/opt' not empty so not removed)$|\1   (expected: /opt is not ours alone)|" <<<"$out"
      return "$status"
    fi
    sleep 5
  done
  echo "$out"
  return 1
}

echo "=== package-test: install ==="
# A leftover from an earlier run (installed, half-installed or removed-not-purged) goes first.
status="$(dpkg-query -W -f='${db:Status-Status}' quillmoot-server 2>/dev/null || true)"
if [ -n "$status" ] && [ "$status" != not-installed ]; then
  dpkg_run --purge --force-remove-reinstreq quillmoot-server || true
fi
if [ -d /opt/quillmoot ]; then
  $sudo rm -f /opt/quillmoot/*.ini /opt/quillmoot/*.log /opt/quillmoot/.qmserver.ini.*
  $sudo rmdir /opt/quillmoot 2>/dev/null || { echo "package-test: /opt/quillmoot holds files of its own; not touching it" >&2; exit 1; }
fi
for d in /var/lib/quillmoot /var/log/quillmoot; do
  [ ! -e "$d" ] || { echo "package-test: $d exists without the package; not touching it" >&2; exit 1; }
done
dpkg_run -i "$deb"
server_pid=""
# Root-owned files for links the account plants: their owner must stay root.
bait="$(mktemp -d)"
watcher_pids=""
next_deb=""
cleanup() {
  [ -z "$server_pid" ] || $sudo kill -TERM "$server_pid" 2>/dev/null || true
  local pid
  for pid in $watcher_pids; do kill "$pid" 2>/dev/null || true; done
  $sudo rm -rf "$bait"
  [ -z "$next_deb" ] || rm -f "$next_deb"
}
trap cleanup EXIT

check "account quillmoot exists" getent passwd quillmoot
check "account has /var/lib/quillmoot as home and no shell" \
  grep -qE '^quillmoot:[^:]*:[0-9]+:[0-9]+:[^:]*:/var/lib/quillmoot:/usr/sbin/nologin$' <(getent passwd quillmoot)
owners() { $sudo stat -c '%U:%G %a' "$@" 2>/dev/null | tr '\n' ' ' | sed 's/ $//'; }
check "root owns /opt/quillmoot and the program" test "$(owners /opt/quillmoot /opt/quillmoot/qmserver)" = \
  "root:root 755 root:root 755"
check "no ownership override on /opt/quillmoot" lacks bash -c "dpkg-statoverride --list /opt/quillmoot"
check "quillmoot owns /var/lib/quillmoot and /var/log/quillmoot (0750)" \
  test "$(owners /var/lib/quillmoot /var/log/quillmoot)" = "quillmoot:quillmoot 750 quillmoot:quillmoot 750"
check "nothing but the program in /opt/quillmoot" test "$(ls -A /opt/quillmoot)" = qmserver
ini=/var/lib/quillmoot/qmserver.ini
check "ini is mode 0600, owned by quillmoot" test "$($sudo stat -c '%a %U' "$ini")" = "600 quillmoot"
password="$($sudo sed -n 's/^AdminPassword=\([^\r]*\).*/\1/p' "$ini")"
check "ini has a random administrator password" grep -qE '^[A-Za-z0-9]{20}$' <<<"$password"
check "ini is complete (version, ports)" bash -c "$sudo grep -q '^ServerVersion=v' '$ini' && $sudo grep -q '^TCPPort=' '$ini'"
check "qmserver --version from /opt/quillmoot" grep -q "$version" <<<"$(/opt/quillmoot/qmserver --version 2>&1)"
check "qmctl --help from the PATH" bash -c 'test "$(command -v qmctl)" = /usr/bin/qmctl && qmctl --help'
check "unit enabled (multi-user.target.wants)" test -L /etc/systemd/system/multi-user.target.wants/quillmoot.service
if command -v systemd-analyze >/dev/null 2>&1; then
  units="$(mktemp -d)"
  cp /lib/systemd/system/quillmoot@.service "$units/quillmoot@pkgtest.service"
  check "units pass systemd-analyze verify" systemd-analyze verify --man=no /lib/systemd/system/quillmoot.service \
    "$units/quillmoot@pkgtest.service"
  rm -rf "$units"
fi

check "qmctl --version names the version" test "$(qmctl --version)" = "qmctl $version"
check "units give the ini and the log as absolute paths in the account's directories" bash -c "
  grep -qx 'ExecStart=/opt/quillmoot/qmserver -INI=/var/lib/quillmoot/qmserver.ini -LOG=/var/log/quillmoot/qmserver.log -CONTROL=/run/quillmoot/qmserver.sock \\\$QM_OPTIONS' /lib/systemd/system/quillmoot.service &&
  grep -qx 'ExecStart=/opt/quillmoot/qmserver -INI=/var/lib/quillmoot/%i.ini -LOG=/var/log/quillmoot/%i.log -CONTROL=/run/quillmoot/%i.sock \\\$QM_OPTIONS' /lib/systemd/system/quillmoot@.service &&
  ! grep -q '^ReadWritePaths=' /lib/systemd/system/quillmoot.service /lib/systemd/system/quillmoot@.service"

# A second server as the template unit runs it (quillmoot@pkgtest), by hand since systemd may be
# absent, the way the package and operations.md say (runuser): as the account, with its own ini
# (copied as the documentation says, on a free port) and log in the account's directories, and
# with the metrics listener.
port=$((20000 + RANDOM % 20000))
mport=$((port + 2))
$sudo install -m 0600 -o quillmoot -g quillmoot "$ini" /var/lib/quillmoot/pkgtest.ini
$sudo sed -i "s/^TCPPort=[0-9]*/TCPPort=$port/" /var/lib/quillmoot/pkgtest.ini
(cd /var/lib/quillmoot && exec $sudo runuser -u quillmoot -- /opt/quillmoot/qmserver -INI=/var/lib/quillmoot/pkgtest.ini \
  -LOG=/var/log/quillmoot/pkgtest.log "-METRICS=127.0.0.1:$mport" </dev/null >"$bait/instance.out" 2>&1) &
runner_pid=$!
for _ in $(seq 1 300); do
  $sudo grep -q -- "----Quillmoot server started----" /var/log/quillmoot/pkgtest.log 2>/dev/null && break
  sleep 0.1
done
$sudo grep -q -- "----Quillmoot server started----" /var/log/quillmoot/pkgtest.log 2>/dev/null ||
  { echo "package-test: the instance did not start within 30 s; its output:"; cat "$bait/instance.out"; }
# runuser waits for the server as its child.
server_pid="$(pgrep -P "$runner_pid" -x qmserver || true)"
check "instance runs as quillmoot" test "$(ps -o user= -p "${server_pid:-0}")" = quillmoot
check "instance serves qmctl on its own port" env QM_SERVER_PASSWORD= qmctl --port "$port" who
scrape="$(timeout 10 bash -c "exec 3<>/dev/tcp/127.0.0.1/$mport && printf 'GET /metrics HTTP/1.0\r\n\r\n' >&3 && cat <&3" || true)"
check "instance answers a metrics scrape" grep -q '^quillmoot_clients ' <<<"$scrape"
check "instance log belongs to quillmoot" test "$($sudo stat -c %U /var/log/quillmoot/pkgtest.log)" = quillmoot
check "instance wrote nothing beside the program" test "$(ls -A /opt/quillmoot)" = qmserver
# A new instance's ini, as the template unit's ExecStartPre writes it.
$sudo runuser -u quillmoot -- /usr/lib/quillmoot-server/write-first-ini /var/lib/quillmoot/seeded.ini >/dev/null
check "new instance ini: mode 0600, random password" bash -c "test \"\$($sudo stat -c '%a %U' /var/lib/quillmoot/seeded.ini)\" = '600 quillmoot' &&
  $sudo grep -qE '^AdminPassword=[A-Za-z0-9]{20}' /var/lib/quillmoot/seeded.ini &&
  ! $sudo cmp -s /var/lib/quillmoot/seeded.ini '$ini'"
[ -z "$server_pid" ] || $sudo kill -TERM "$server_pid" 2>/dev/null || true
wait "$runner_pid" 2>/dev/null || true
server_pid=""

# A reinstall keeps the ini and changes no owner through a link the account planted where the
# package writes (the log directory, a missing instance's ini).
$sudo install -m 0644 -o root -g root /dev/null "$bait/target"
$sudo runuser -u quillmoot -- ln -s "$bait/target" /var/log/quillmoot/qmserver.log
$sudo runuser -u quillmoot -- ln -s "$bait/target" /var/lib/quillmoot/planted.ini
sum_before="$($sudo sha256sum "$ini")"
dpkg_run -i "$deb"
check "reinstall keeps the ini" test "$($sudo sha256sum "$ini")" = "$sum_before"
check "reinstall: the planted links' target keeps its owner" test "$(owners "$bait/target")" = "root:root 644"
$sudo rm -f /var/log/quillmoot/qmserver.log /var/lib/quillmoot/planted.ini

# The earlier layout: ini and log beside the program in an /opt/quillmoot the account owned (an
# ownership override), the account's home there, a log root left behind by a run as root, and a
# link the account planted there. An upgrade moves the plain files and leaves the link.
echo "=== package-test: upgrade from the layout in /opt/quillmoot ==="
echo "(the postinst's note that it left /opt/quillmoot/linked.ini is expected: the test planted that link)"
$sudo dpkg-statoverride --update --add quillmoot quillmoot 0755 /opt/quillmoot
$sudo usermod -d /opt/quillmoot quillmoot
$sudo mv "$ini" /opt/quillmoot/qmserver.ini
$sudo install -m 0600 -o quillmoot -g quillmoot /dev/null /opt/quillmoot/qmserver.log
echo "a line of the old log" | $sudo tee -a /opt/quillmoot/qmserver.log >/dev/null
$sudo install -m 0644 -o root -g root /dev/null /opt/quillmoot/root-run.log
$sudo runuser -u quillmoot -- ln -s "$bait/target" /opt/quillmoot/linked.ini
$sudo rm -rf /var/lib/quillmoot /var/log/quillmoot
log_before="$($sudo sha256sum </opt/quillmoot/qmserver.log)"
dpkg_run -i "$deb"
check "upgrade: the ini moved, unchanged, to /var/lib/quillmoot" test "$($sudo sha256sum "$ini")" = "$sum_before"
check "upgrade: the log moved, unchanged, to /var/log/quillmoot" \
  test "$($sudo sha256sum </var/log/quillmoot/qmserver.log)" = "$log_before"
check "upgrade: moved files are the account's" test "$(owners "$ini" /var/log/quillmoot/qmserver.log /var/log/quillmoot/root-run.log)" = \
  "quillmoot:quillmoot 600 quillmoot:quillmoot 600 quillmoot:quillmoot 644"
check "upgrade: the account's directories" \
  test "$(owners /var/lib/quillmoot /var/log/quillmoot)" = "quillmoot:quillmoot 750 quillmoot:quillmoot 750"
check "upgrade: /opt/quillmoot is root's again, without the override" bash -c \
  "test \"\$(stat -c %U /opt/quillmoot)\" = root && ! dpkg-statoverride --list /opt/quillmoot"
check "upgrade: the account's home is /var/lib/quillmoot" test "$(getent passwd quillmoot | cut -d: -f6)" = /var/lib/quillmoot
check "upgrade: the planted link stays, its target keeps its owner" bash -c \
  "test -L /opt/quillmoot/linked.ini && test \"\$(stat -c '%U:%G %a' '$bait/target')\" = 'root:root 644'"

# An upgrade hands the running server over: a server of this version, run by hand as the account
# (no systemd here), with several clients logged in (qmctl watch: players that stay, and print what
# they are told), is upgraded with dpkg -i to the same sources built as the next version. The
# postinst signals it (SIGUSR2); it must keep its process, every client, their player ids, and
# serve as the new version afterwards.
echo "=== package-test: upgrade hands the running server over ==="
next="${version%.*}.$((${version##*.} + 1))"
next_deb="$root/dist/quillmoot-server_${next}_amd64.deb"
build_began=$SECONDS
QM_PACKAGE_VERSION="$next" "$root/scripts/package.sh" >"$bait/next-build.out" 2>&1 ||
  { cat "$bait/next-build.out"; echo "package-test: building $next failed"; exit 1; }
echo "(built $next_deb in $((SECONDS - build_began)) s)"
part_began=$SECONDS
# Ports nothing listens on: TCP P, UDP P + 1 (voice) and the metrics P + 2.
in_use="$(ss -Htuln | awk '{print $5}' | sed 's/.*://')"
for _ in $(seq 1 50); do
  port=$((20000 + RANDOM % 20000))
  mport=$((port + 2))
  grep -qxE "$port|$((port + 1))|$mport" <<<"$in_use" || break
done
$sudo install -m 0600 -o quillmoot -g quillmoot "$ini" /var/lib/quillmoot/handover.ini
$sudo sed -i "s/^TCPPort=[0-9]*/TCPPort=$port/" /var/lib/quillmoot/handover.ini
(cd /var/lib/quillmoot && exec $sudo runuser -u quillmoot -- /opt/quillmoot/qmserver -INI=/var/lib/quillmoot/handover.ini \
  -LOG=/var/log/quillmoot/handover.log "-METRICS=127.0.0.1:$mport" </dev/null >"$bait/handover.out" 2>&1) &
runner_pid=$!
for _ in $(seq 1 300); do
  $sudo grep -q -- "----Quillmoot server started----" /var/log/quillmoot/handover.log 2>/dev/null && break
  sleep 0.1
done
server_pid="$(pgrep -P "$runner_pid" -x qmserver || true)"
ctl() { env QM_SERVER_PASSWORD= timeout 10 qmctl --port "$port" "$@"; }
# The watchers' player ids by name, as the server lists them.
watcher_ids() { ctl --json who 2>/dev/null | grep -oE '"id":[0-9]+,"name":"watcher[0-9]"' | sort | tr '\n' ' '; }
watchers=4
watcher_pids=""
for i in $(seq 1 "$watchers"); do
  env QM_SERVER_PASSWORD= qmctl --port "$port" --name "watcher$i" --timeout 10000 watch --seconds 120 \
    >"$bait/watcher$i.out" 2>&1 &
  watcher_pids="$watcher_pids $!"
done
for _ in $(seq 1 100); do
  [ "$(wc -w <<<"$(watcher_ids)")" -eq "$watchers" ] && break
  sleep 0.1
done
ids_before="$(watcher_ids)"
check "handover: $watchers clients logged in before the upgrade" test "$(wc -w <<<"$ids_before")" -eq "$watchers"
upgrade_began=$SECONDS
upgrade_out="$(dpkg_run -i "$next_deb" 2>&1)" || true
echo "$upgrade_out"
echo "(dpkg -i $next with the handover: $((SECONDS - upgrade_began)) s)"
check "handover: dpkg says it handed the server over" grep -qF "handed the server in process $server_pid " <<<"$upgrade_out"
check "handover: $next is installed" test "$(dpkg-query -W -f='${Version}' quillmoot-server)" = "$next"
check "handover: the same process runs the new program" \
  test "$($sudo readlink "/proc/${server_pid:-0}/exe")" = /opt/quillmoot/qmserver
check "handover: the log says it ended with every client" \
  grep -qE "Handover ended: $watchers clients, .* process $server_pid," <<<"$($sudo cat /var/log/quillmoot/handover.log)"
alive=0
for pid in $watcher_pids; do kill -0 "$pid" 2>/dev/null && alive=$((alive + 1)); done
check "handover: every client's connection is still open" test "$alive" -eq "$watchers"
check "handover: the same players with the same ids" test "$(watcher_ids)" = "$ids_before"
# A login after the upgrade is announced to every client: each connection still carries news.
ctl --name newcomer who >/dev/null 2>&1 || true
told=0
for _ in $(seq 1 50); do
  told=0
  for i in $(seq 1 "$watchers"); do grep -q "joined .*newcomer" "$bait/watcher$i.out" && told=$((told + 1)); done
  [ "$told" -eq "$watchers" ] && break
  sleep 0.1
done
check "handover: every client is told of a login after it" test "$told" -eq "$watchers"
scrape="$(timeout 10 bash -c "exec 3<>/dev/tcp/127.0.0.1/$mport && printf 'GET /metrics HTTP/1.0\r\n\r\n' >&3 && cat <&3" || true)"
check "handover: the server reports version $next" grep -qF "quillmoot_build_info{version=\"$next\"} 1" <<<"$scrape"
for pid in $watcher_pids; do kill "$pid" 2>/dev/null || true; done
for pid in $watcher_pids; do wait "$pid" 2>/dev/null || true; done
watcher_pids=""
[ -z "$server_pid" ] || $sudo kill -TERM "$server_pid" 2>/dev/null || true
wait "$runner_pid" 2>/dev/null || true
server_pid=""
rm -f "$next_deb"
echo "(the handover part took $((SECONDS - part_began)) s, the build of $next not counted)"

echo "=== package-test: purge ==="
dpkg_run --purge quillmoot-server
status="$(dpkg-query -W -f='${db:Status-Status}' quillmoot-server 2>/dev/null || true)"
check "package gone" test -z "$status" -o "$status" = not-installed
check "/opt/quillmoot gone" test ! -e /opt/quillmoot
check "/var/lib/quillmoot and /var/log/quillmoot gone" test ! -e /var/lib/quillmoot -a ! -e /var/log/quillmoot
check "the planted link's target is still there, root's" test "$(owners "$bait/target")" = "root:root 644"
check "qmctl gone" test ! -e /usr/bin/qmctl
check "units gone" bash -c '! ls /lib/systemd/system/quillmoot* /etc/systemd/system/*/quillmoot* 2>/dev/null | grep -q .'
check "enablement state gone" lacks grep -rqs quillmoot /var/lib/systemd/deb-systemd-helper-enabled \
  /var/lib/systemd/deb-systemd-helper-masked
check "account gone" lacks getent passwd quillmoot
check "group gone" lacks getent group quillmoot
check "no ownership override left" lacks bash -c "dpkg-statoverride --list /opt/quillmoot"

echo "package-test: $failures failed"
[ "$failures" -eq 0 ]
