#!/usr/bin/env bash
# Checks the Debian packages scripts/package built, without installing them: their metadata
# (dpkg-deb -I), their content (dpkg-deb -c), the maintainer scripts that create the user and the
# folders and leave the timer disabled, the version (the changelog's, in the programs and man pages), the relay's libraries (no Qt, X11 or GL in droprelay), and lintian
# (no errors). Usage: check_package.sh FOLDER-WITH-THE-DEBS
set -euo pipefail
# (Under pipefail a "grep -q" that stops reading early can fail the pipeline through SIGPIPE on
# the writer, so the checks below let grep read everything.)
folder=${1:?usage: check_package.sh FOLDER}
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

relay=$(ls "$folder"/droprelay_*.deb | tail -n 1)
window=$(ls "$folder"/droprelay-window_*.deb | tail -n 1)
work=$(mktemp -d /tmp/droprelay-package-XXXXXX)
trap 'rm -rf "$work"' EXIT

field() { dpkg-deb -f "$1" "$2"; }
version=$(field "$relay" Version)
graphics='libqt|libx11|libxcb|libgl|libegl|libopengl|libwayland'

# Metadata.
[ "$(field "$relay" Package)" = droprelay ] && [ "$(field "$window" Package)" = droprelay-window ] && pass "package names" || fail "package names"
depends=$(field "$relay" Depends)
if grep -Eiq "$graphics" <<<"$depends"; then fail "droprelay depends on graphics: $depends"; else pass "droprelay Depends without graphics: $depends"; fi
grep -q 'libcurl4' <<<"$depends" && pass "shared libraries in Depends" || fail "no libcurl in Depends: $depends"
window_depends=$(field "$window" Depends)
grep -q "droprelay (= $version)" <<<"$window_depends" && grep -qi 'libqt6widgets6' <<<"$window_depends" \
  && pass "droprelay-window depends on droprelay and Qt" || fail "droprelay-window Depends: $window_depends"
dpkg-deb -I "$relay" | grep -c '^ Description: ' >/dev/null && pass "description" || fail "no description"

# Content.
dpkg-deb -c "$relay" | awk '{ print $1, $2, $6 }' >"$work/content"
expect_entry() {  # <mode> <path>
  grep -q "^$1 [^ ]* \./${2#/}\$" "$work/content" && pass "contains $2 ($1)" || fail "lacks $2 with $1: $(grep -F "${2#/}" "$work/content" || true)"
}
expect_entry -rwxr-xr-x /usr/bin/droprelay
expect_entry -rwxr-xr-x /usr/bin/mailinspect
expect_entry -rw-r--r-- /lib/systemd/system/droprelay.service
expect_entry -rw-r--r-- /lib/systemd/system/droprelay.timer
expect_entry -rw-r--r-- /usr/lib/sysusers.d/droprelay.conf
expect_entry -rw-r--r-- /usr/lib/tmpfiles.d/droprelay.conf
expect_entry -rw-r----- /etc/droprelay/droprelay.ini
expect_entry -rw-r----- /etc/droprelay/profiles.ini
expect_entry -rw-r--r-- /usr/share/man/man8/droprelay.8.gz
expect_entry -rw-r--r-- /usr/share/man/man1/mailinspect.1.gz
expect_entry -rw-r--r-- /usr/share/doc/droprelay/copyright
grep -q 'droprelay-window' "$work/content" && fail "the window program is in droprelay"
dpkg-deb -c "$window" >"$work/window-content"
grep -q ' \./usr/bin/droprelay-window$' "$work/window-content" && pass "droprelay-window holds the window program" || fail "no droprelay-window"

# Maintainer scripts: user, folders, the timer left disabled; configuration files kept on upgrade.
dpkg-deb -e "$relay" "$work/control"
grep -q 'systemd-sysusers' "$work/control/postinst" && pass "postinst creates the user" || fail "postinst lacks systemd-sysusers"
grep -Eq 'systemd-tmpfiles .*--create droprelay.conf' "$work/control/postinst" && pass "postinst creates the folders" || fail "postinst lacks systemd-tmpfiles"
# The timer is shipped disabled: nothing runs before the configuration is written. debhelper then
# enables it only where the administrator had (debian-installed), and never starts it.
if grep -Eq "deb-systemd-invoke .*(start|restart) .*'?droprelay\.timer" "$work/control/postinst"; then
  fail "postinst starts the timer"
elif grep -q "deb-systemd-helper debian-installed 'droprelay.timer'" "$work/control/postinst"; then
  pass "postinst leaves the timer disabled"
else
  fail "postinst enables the timer on installation"
fi
sysusers_line=$(grep -n 'systemd-sysusers' "$work/control/postinst" | head -n 1 | cut -d: -f1)
tmpfiles_line=$(grep -n 'systemd-tmpfiles' "$work/control/postinst" | head -n 1 | cut -d: -f1)
[ -n "$sysusers_line" ] && [ -n "$tmpfiles_line" ] && [ "$sysusers_line" -lt "$tmpfiles_line" ] \
  && pass "the user exists before its folders are made" || fail "postinst order: sysusers $sysusers_line, tmpfiles $tmpfiles_line"
statoverride_line=$(grep -n 'dpkg-statoverride --update' "$work/control/postinst" | head -n 1 | cut -d: -f1)
[ -n "$statoverride_line" ] && [ "$sysusers_line" -lt "$statoverride_line" ] \
  && pass "the group exists before the configuration is given to it" || fail "postinst order: sysusers $sysusers_line, statoverride $statoverride_line"
grep -qx '/etc/droprelay/droprelay.ini' "$work/control/conffiles" && pass "configuration is a conffile" || fail "conffiles: $(cat "$work/control/conffiles")"

# The relay's libraries, as installed.
dpkg-deb -x "$relay" "$work/root"
needed=$(readelf -d "$work/root/usr/bin/droprelay" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
if grep -Eiq "$graphics" <<<"$needed"; then fail "packaged droprelay links graphics"; else pass "packaged droprelay NEEDED: $(tr '\n' ' ' <<<"$needed")"; fi
grep -qx "ExecStart=/usr/bin/droprelay" "$work/root/lib/systemd/system/droprelay.service" && pass "unit runs /usr/bin/droprelay" || fail "ExecStart"

# One version: the package's is the changelog's, and the packaged program and man page say it.
[ "$version" = "$(dpkg-parsechangelog -l "$(dirname "$0")/../../debian/changelog" -S Version)" ] \
  && pass "package version $version is the changelog's" || fail "package version $version differs from debian/changelog"
[ "$("$work/root/usr/bin/droprelay" --version)" = "droprelay $version" ] && pass "packaged droprelay --version" \
  || fail "packaged droprelay --version: $("$work/root/usr/bin/droprelay" --version)"
zcat "$work/root/usr/share/man/man8/droprelay.8.gz" | head -n 1 | grep -c "\"droprelay $version\"" >/dev/null \
  && pass "droprelay(8) names $version" || fail "droprelay(8) title: $(zcat "$work/root/usr/share/man/man8/droprelay.8.gz" | head -n 1)"
grep -c '^License: MIT' "$work/root/usr/share/doc/droprelay/copyright" >/dev/null && pass "copyright: MIT" || fail "copyright is not MIT"

# lintian: no errors (warnings are listed).
if lintian --fail-on error --tag-display-limit 0 "$relay" "$window" >"$work/lintian" 2>&1; then
  pass "lintian: no errors ($(grep -c '^W:' "$work/lintian" || true) warnings)"
else
  fail "lintian:"
fi
sed 's/^/  lintian: /' "$work/lintian"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "all package checks passed"
