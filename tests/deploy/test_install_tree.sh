#!/usr/bin/env bash
# `cmake --install` into a staging folder (DESTDIR): exactly the files an installation needs, with
# their modes; the units name the installed program and every folder the relay writes; the units
# pass `systemd-analyze verify` and `systemd-analyze security` (offline) rates the service 3.0 or
# better; sysusers.d and tmpfiles.d, applied to a scratch root, create the user and the folders with
# their owners and modes; the man pages render without warnings and describe every configuration
# key, which the example configuration lists too; uninstalling removes it all again.
set -euo pipefail
build=${DROPRELAY_BUILD_DIR:?}
source_dir=${DROPRELAY_SOURCE_DIR:?}
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

work=$(mktemp -d /tmp/droprelay-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
stage=$work/stage
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
unitdir=$(sed -n 's/^DROPRELAY_SYSTEMD_UNIT_DIR:PATH=//p' "$build/CMakeCache.txt")
sysusers=$(sed -n 's/^DROPRELAY_SYSUSERS_DIR:PATH=//p' "$build/CMakeCache.txt")/droprelay.conf
tmpfiles=$(sed -n 's/^DROPRELAY_TMPFILES_DIR:PATH=//p' "$build/CMakeCache.txt")/droprelay.conf

# The install lists what it wrote in the build tree's install_manifest.txt; uninstalling reads it.
DESTDIR=$stage cmake --install "$build" >"$work/install.log"

# The files and their modes.
expected=(
  "755 $prefix/bin/droprelay"
  "755 $prefix/bin/mailinspect"
  "644 $unitdir/droprelay.service"
  "644 $unitdir/droprelay.timer"
  "644 $sysusers"
  "644 $tmpfiles"
  "640 /etc/droprelay/droprelay.ini"
  "640 /etc/droprelay/profiles.ini"
  "644 $prefix/share/man/man8/droprelay.8"
  "644 $prefix/share/man/man1/mailinspect.1"
)
[ -x "$build/app/droprelay" ] && expected+=("755 $prefix/bin/droprelay-window")
actual=$(cd "$stage" && find . -type f -printf '%m /%P\n' | sort)
want=$(printf '%s\n' "${expected[@]}" | sort)
[ "$actual" == "$want" ] && pass "installed files and modes" || { fail "installed files differ:"; diff <(echo "$want") <(echo "$actual") >&2 || true; }

# The installed relay is the headless one.
if readelf -d "$stage$prefix/bin/droprelay" | grep -Eq 'libQt|libX11|libGL'; then fail "installed droprelay links graphics"; else pass "installed droprelay is headless"; fi
"$stage$prefix/bin/droprelay" --version | grep -c '^droprelay ' >/dev/null && pass "installed droprelay runs" || fail "installed droprelay --version"

# The service names the installed program and every folder it writes.
service=$stage$unitdir/droprelay.service
grep -qx "ExecStart=$prefix/bin/droprelay" "$service" && pass "ExecStart" || fail "ExecStart: $(grep ExecStart "$service")"
grep -qx 'User=droprelay' "$service" && grep -q '^u droprelay ' "$stage$sysusers" && pass "service user from sysusers.d" || fail "user"
grep -Eq '^RuntimeMaxSec=[1-9]' "$service" && pass "RuntimeMaxSec" || fail "no RuntimeMaxSec"
writable=$(sed -n 's/^ReadWritePaths=//p' "$service")
for folder in $(awk '$1 == "d" { print $2 }' "$stage$tmpfiles"); do
  covered=no
  for w in $writable; do [[ "$folder/" == "$w/"* ]] && covered=yes; done
  [ "$covered" = yes ] || fail "$folder is created by tmpfiles.d but not writable for the service"
done
ini=$stage/etc/droprelay/droprelay.ini
for key in moveto_path temppath; do
  value=$(sed -n "s/^$key=//p" "$ini")
  grep -q "^d ${value%/} " "$stage$tmpfiles" && pass "$key=$value is created by tmpfiles.d" || fail "$key=$value has no tmpfiles.d line"
done
for value in /var/spool/droprelay/drop /var/spool/droprelay/failed /var/lib/droprelay/state /var/log/droprelay; do
  grep -q "^d $value " "$stage$tmpfiles" || fail "tmpfiles.d lacks $value"
done

# sysusers.d and tmpfiles.d applied to a scratch root.
root=$work/root
mkdir -p "$root/etc"
printf 'root:x:0:0::/root:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\nadm:x:4:\n' >"$root/etc/group"
touch "$root/etc/shadow" "$root/etc/gshadow"
systemd-sysusers --root="$root" "$stage$sysusers" >/dev/null 2>&1 || fail "systemd-sysusers failed"
uid=$(awk -F: '$1 == "droprelay" { print $3 }' "$root/etc/passwd")
gid=$(awk -F: '$1 == "droprelay" { print $3 }' "$root/etc/group")
if [ -n "$uid" ] && [ -n "$gid" ]; then
  pass "sysusers.d creates droprelay ($uid:$gid)"
  systemd-tmpfiles --root="$root" --create "$stage$tmpfiles" || fail "systemd-tmpfiles failed"
  folders=$(cd "$root" && find var -mindepth 2 -path 'var/*/*' -printf '%m %U %G /%p\n' | sort)
  want_folders=$(printf '%s\n' \
    "2750 $uid 4 /var/log/droprelay" \
    "750 $uid $gid /var/lib/droprelay" "750 $uid $gid /var/lib/droprelay/state" "700 $uid $gid /var/lib/droprelay/tmp" \
    "750 $uid $gid /var/spool/droprelay" "2770 $uid $gid /var/spool/droprelay/drop" \
    "750 $uid $gid /var/spool/droprelay/archive" "750 $uid $gid /var/spool/droprelay/failed" | sort)
  [ "$folders" == "$want_folders" ] && pass "tmpfiles.d folders, owners, modes" || { fail "tmpfiles.d folders differ:"; diff <(echo "$want_folders") <(echo "$folders") >&2 || true; }
else
  fail "systemd-sysusers created no droprelay user"
fi

# systemd-analyze: the units exactly as installed. The staged prefix is bound onto the real one in
# a mount namespace of this test alone, so ExecStart= and the man page references resolve.
analyze() {
  unshare -m sh -c 'mount --bind "$1" "$2" && shift 2 && exec "$@"' sh "$stage$prefix" "$prefix" "$@"
}
if analyze true 2>/dev/null; then
  if out=$(MANPATH=$prefix/share/man analyze systemd-analyze verify "$unitdir/droprelay.service" "$unitdir/droprelay.timer" 2>&1) && [ -z "$out" ]; then
    pass "systemd-analyze verify"
  else
    fail "systemd-analyze verify: $out"
  fi
  security=$(analyze systemd-analyze security --offline=true --threshold=30 "$unitdir/droprelay.service" 2>&1) || fail "security above 3.0"
  level=$(sed -n 's/.*Overall exposure level for droprelay.service: \([0-9.]*\) \([A-Z]*\).*/\1 \2/p' <<<"$security")
  [ -n "$level" ] && awk -v l="${level% *}" 'BEGIN { exit !(l <= 3.0) }' && pass "systemd-analyze security: $level" \
    || fail "systemd-analyze security: '$level'"
else
  # Without a mount namespace the staged copy is checked with ExecStart pointed into the stage.
  sed "s|^ExecStart=$prefix|ExecStart=$stage$prefix|" "$service" >"$work/droprelay.service"
  cp "$stage$unitdir/droprelay.timer" "$work/"
  out=$(systemd-analyze verify --man=no "$work/droprelay.service" "$work/droprelay.timer" 2>&1) && [ -z "$out" ] \
    && pass "systemd-analyze verify (ExecStart into the stage)" || fail "systemd-analyze verify: $out"
  systemd-analyze security --offline=true --threshold=30 "$work/droprelay.service" >/dev/null 2>&1 \
    && pass "systemd-analyze security <= 3.0" || fail "systemd-analyze security above 3.0"
fi

# The man pages: no warnings, the sections, every key the relay reads.
for page in "$stage$prefix/share/man/man8/droprelay.8" "$stage$prefix/share/man/man1/mailinspect.1"; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] && pass "$(basename "$page") renders cleanly" || fail "$(basename "$page"): $warnings"
done
text=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$stage$prefix/share/man/man8/droprelay.8" 2>/dev/null)
for section in NAME SYNOPSIS OPTIONS CONFIGURATION FILES "EXIT STATUS" EXAMPLES; do
  grep -q "^$section" <<<"$text" || fail "droprelay(8) lacks $section"
done
for status in 0 66 75 78; do
  grep -Eq "^ +$status +[A-Z]" <<<"$text" || fail "droprelay(8) lacks exit status $status"
done
keys=$(grep -o 'Read[A-Za-z]*(kSection[A-Za-z]*, "[A-Za-z_]*"' "$source_dir/app/relay_config.h" | sed 's/.*"\(.*\)"/\1/')
[ -n "$keys" ] || fail "no keys found in relay_config.h"
for key in $keys; do
  grep -qw -- "$key" <<<"$text" || fail "droprelay(8) does not describe $key"
  grep -Eq "^;?$key=" "$ini" || fail "the example configuration lacks $key"
done
pass "man page and example configuration cover $(wc -w <<<"$keys") keys"

# Uninstall removes every installed file. The uninstall target runs exactly this script; calling it
# directly keeps a second Ninja out of a build folder that other tests may be using.
grep -q 'uninstall.cmake' "$build/build.ninja" || fail "no uninstall target"
DESTDIR=$stage cmake -DMANIFEST="$build/install_manifest.txt" -P "$source_dir/deploy/uninstall.cmake" >/dev/null
left=$(find "$stage" -type f)
[ -z "$left" ] && pass "uninstall removes every file" || fail "left after uninstall: $left"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "all checks passed"
