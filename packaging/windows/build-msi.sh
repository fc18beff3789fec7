#!/usr/bin/env bash
# Builds the Windows installer from quillmoot-server.wxs with wixl (Debian's wixl package), then
# adds with msibuild (msitools) what wixl cannot express:
#   - the PATH entry for qmctl (the Environment table; wixl knows no Environment element),
#   - TCPPORT as a secure property (wixl has no Secure attribute),
#   - a fixed place for removing an older version: right after InstallFinalize (wixl's own choice
#     of place varies with the custom actions).
#   packaging/windows/build-msi.sh VERSION BINDIR README OUTPUT.msi
# BINDIR holds qmserver.exe and qmctl.exe; README is the Windows readme (README-Windows.txt).
set -euo pipefail
if [ $# -ne 4 ]; then
  echo "usage: build-msi.sh VERSION BINDIR README OUTPUT.msi" >&2
  exit 2
fi
version="$1" bindir="$2" readme="$3" output="$4"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
for tool in wixl msibuild msiinfo; do
  command -v "$tool" >/dev/null 2>&1 || { echo "build-msi: $tool not found (apt-get install wixl msitools)" >&2; exit 2; }
done
for f in "$bindir/qmserver.exe" "$bindir/qmctl.exe" "$readme"; do
  [ -f "$f" ] || { echo "build-msi: $f is missing" >&2; exit 2; }
done

output="$(realpath -m "$output")"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
rm -f "$output"
# wixl takes the sources by names relative to where it runs (an absolute Source fails): stage them.
mkdir "$tmp/stage"
cp "$bindir/qmserver.exe" "$bindir/qmctl.exe" "$tmp/stage/"
cp "$readme" "$tmp/stage/README-Windows.txt"
cp "$here/quillmoot-server.wxs" "$tmp/"
(cd "$tmp" && wixl -a x64 -D Version="$version" -D BinDir=stage -o out.msi quillmoot-server.wxs)

# "=-*PATH": set in the system environment at install, taken out again at removal; "[~];" keeps
# what PATH held and appends the install folder.
printf 'Environment\tName\tValue\tComponent_\ns72\tl255\tL255\ts72\nEnvironment\tEnvironment\nPathEntry\t=-*PATH\t[~];[INSTALLDIR]\tControl\n' \
  >"$tmp/Environment.idt"
msibuild "$tmp/out.msi" -i "$tmp/Environment.idt"
msibuild "$tmp/out.msi" -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('RemoveEnvironmentStrings', 3300)"
msibuild "$tmp/out.msi" -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('WriteEnvironmentStrings', 5200)"
# A public property that a UI-run install hands on to its elevated part.
msibuild "$tmp/out.msi" -q "UPDATE \`Property\` SET \`Value\` = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;TCPPORT' WHERE \`Property\` = 'SecureCustomProperties'"
# After InstallFinalize: the new version has taken over the components (same GUIDs), so removing
# the old one leaves the service and files alone and only drops its registration. Removing it
# first instead would have the new service registered while the old one is still being deleted,
# which Wine's installer does not wait for.
msibuild "$tmp/out.msi" -q "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = 6601 WHERE \`Action\` = 'RemoveExistingProducts'"

# Read whole before matching: grep -q would stop reading early and, under pipefail, msiinfo's
# broken pipe would fail the check now and then.
sequence="$(msiinfo export "$tmp/out.msi" InstallExecuteSequence)"
grep -q "^RemoveExistingProducts.*6601" <<<"$sequence" ||
  { echo "build-msi: the upgrade step was not moved" >&2; exit 1; }
mv "$tmp/out.msi" "$output"
echo "build-msi: wrote $output"
