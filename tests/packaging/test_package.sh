#!/usr/bin/env bash
# Builds the Debian package, installs it on this machine, checks what it put where and that the
# installed program works for root and for another user, then purges it and checks that nothing
# of it is left. Run by CI as root; it installs and removes only the project's own package.
set -euo pipefail
cd "$(dirname "$0")/../.."
fail() { echo "FAIL: $*" >&2; exit 1; }

if dpkg-query -W -f='${Status}' quorvex 2>/dev/null | grep -q 'install ok installed'; then
    fail "a quorvex package is installed already; this test would replace it"
fi
bash scripts/package.sh
deb=$(ls dist/quorvex_*_amd64.deb)
export DEBIAN_FRONTEND=noninteractive
apt-get -o DPkg::Lock::Timeout=900 install -y -qq "./$deb" >/dev/null
fixture=$(mktemp -d)
trap 'rm -rf "$fixture"; apt-get -o DPkg::Lock::Timeout=900 purge -y -qq quorvex >/dev/null 2>&1 || true' EXIT

echo "== the package's files"
expected="/usr/bin/quorvex
/usr/lib/systemd/system/quorvex-scan.service
/usr/lib/systemd/system/quorvex-scan.timer
/usr/lib/systemd/system/quorvex-update.service
/usr/lib/systemd/system/quorvex-update.timer
/usr/share/bash-completion/completions/quorvex
/usr/share/man/man1/quorvex.1
/usr/share/quorvex/hashes.local.txt
/usr/share/quorvex/update_sources.txt"
actual=$(dpkg -L quorvex | while read -r path; do [ -d "$path" ] || echo "$path"; done | sort)
[ "$actual" = "$(sort <<<"$expected")" ] || fail "dpkg -L lists:
$actual"
dpkg -s quorvex | grep -q '^Depends: .*libcurl4' || fail "Depends misses libcurl4"
dpkg -s quorvex | grep -q '^Depends: .*libyara' || fail "Depends misses libyara"
[ -d /var/lib/quorvex/rules ] || fail "postinst did not make /var/lib/quorvex/rules"
[ -f /var/lib/quorvex/hashes.local.txt ] && [ -f /var/lib/quorvex/update_sources.txt ] ||
    fail "postinst did not put the starter files into /var/lib/quorvex"
[ "$(command -v quorvex)" = /usr/bin/quorvex ] || fail "quorvex is not on PATH"

echo "== a scan by another user before root ever ran it: read-only data folder"
printf '%s' 'X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*' \
    > "$fixture/eicar.com"
echo harmless > "$fixture/clean.bin"
chmod 755 "$fixture"
chmod 644 "$fixture"/*
status=0
out=$(cd "$fixture" && setpriv --reuid=nobody --regid=nogroup --clear-groups \
    quorvex scan "$fixture" 2>"$fixture/stderr") || status=$?
[ "$status" = 1 ] || fail "the unprivileged scan exited $status: $out $(cat "$fixture/stderr")"
grep -qx "$fixture/eicar.com: MALICIOUS" <<<"$out" || fail "the unprivileged scan missed it: $out"
grep -q "The data folder /var/lib/quorvex cannot be written" "$fixture/stderr" ||
    fail "the read-only data folder is not reported: $(cat "$fixture/stderr")"
[ ! -e /var/lib/quorvex/hash_cache.bin ] || fail "the unprivileged scan wrote the cache"

echo "== a scan as root"
status=0
out=$(cd "$fixture" && quorvex scan --json "$fixture") || status=$?
[ "$status" = 1 ] || fail "the root scan exited $status: $out"
grep -q "\"path\":\"$fixture/eicar.com\"" <<<"$out" || fail "the root scan missed it: $out"
[ -f /var/lib/quorvex/hash_cache.bin ] || fail "no cache in /var/lib/quorvex"
[ -f /var/lib/quorvex/hashes.bin ] || fail "no database in /var/lib/quorvex"
status=0
quorvex scan "$fixture/clean.bin" >/dev/null || status=$?
[ "$status" = 0 ] || fail "a clean file exited $status"

echo "== a rule in the packaged rules folder"
printf 'rule PackagedMarker { strings: $m = "packaged-rule-marker" condition: $m }\n' \
    > /var/lib/quorvex/rules/marker.yar
echo "packaged-rule-marker" > "$fixture/marked.bin"
status=0
out=$(cd "$fixture" && quorvex scan --json "$fixture/marked.bin" 2>/dev/null) || status=$?
[ "$status" = 1 ] || fail "the rule scan exited $status: $out"
grep -q '"rules":\["PackagedMarker"\]' <<<"$out" || fail "the packaged rule did not match: $out"

echo "== the man page, the completion and the units"
man -l /usr/share/man/man1/quorvex.1 2>/dev/null | grep -q 'EXIT STATUS' || fail "man -l"
bash -c 'source /usr/share/bash-completion/completions/quorvex && complete -p quorvex' \
    >/dev/null || fail "the completion does not load"
if command -v systemd-analyze >/dev/null; then
    out=$(systemd-analyze verify /usr/lib/systemd/system/quorvex-*.service \
        /usr/lib/systemd/system/quorvex-*.timer 2>&1) || fail "systemd-analyze verify: $out"
    [ -z "$out" ] || fail "systemd-analyze verify says: $out"
else
    echo "   (no systemd-analyze here: units not verified)"
fi
systemctl is-enabled quorvex-scan.timer >/dev/null 2>&1 && fail "the scan timer came enabled"

echo "== purge"
apt-get -o DPkg::Lock::Timeout=900 purge -y -qq quorvex >/dev/null
! dpkg-query -W quorvex >/dev/null 2>&1 || dpkg-query -W -f='${Status}' quorvex | grep -q 'not-installed' ||
    fail "the package is still known to dpkg"
[ ! -e /var/lib/quorvex ] || fail "/var/lib/quorvex survived the purge"
while read -r path; do [ ! -e "$path" ] || fail "$path survived the purge"; done <<<"$expected"
echo "PASS: package"
