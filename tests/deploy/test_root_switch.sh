#!/usr/bin/env bash
# The installed relay started as root: it becomes the user droprelay before it opens a file of its
# own (the log it creates belongs to that user), and it refuses with a clear line when the user does
# not exist. The headless program is put where installed programs live, and a password database
# with or without the user is put in place of /etc/passwd and /etc/group, each only inside a mount
# namespace of this test, so the machine itself is not changed.
set -euo pipefail
headless=${DROPRELAY_HEADLESS_BIN:?DROPRELAY_HEADLESS_BIN names the headless relay}
build=${DROPRELAY_BUILD_DIR:?}
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

if [ "$(id -u)" -ne 0 ] || ! unshare -m true 2>/dev/null; then
  echo "SKIP: needs root and mount namespaces"
  exit 77
fi
bindir=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")/bin
work=$(mktemp -d /tmp/droprelay-root-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/spool/drop" "$work/spool/archive" "$work/spool/tmp"
cp "$headless" "$work/bin/droprelay"
chmod 0755 "$work"
chmod 0777 "$work/spool" "$work/spool/drop" "$work/spool/archive" "$work/spool/tmp"
# The log beside the INI (an installed program's default is /var/log/droprelay/).
printf '[System]\nSmtp_DropMail_path=%s/spool/drop/\nmoveto_path=%s/spool/archive/\ntemppath=%s/spool/tmp/\ncycle_interval_ms=0\nsend_mail=0\nlog_path=spool/relay.log\n' \
  "$work" "$work" "$work" >"$work/relay.ini"
chmod 0644 "$work/relay.ini"
grep -v '^droprelay:' /etc/passwd >"$work/passwd.without"
grep -v '^droprelay:' /etc/group >"$work/group.without"
cp "$work/passwd.without" "$work/passwd.with"
cp "$work/group.without" "$work/group.with"
echo 'droprelay:x:4321:4321:test relay user:/nonexistent:/usr/sbin/nologin' >>"$work/passwd.with"
echo 'droprelay:x:4321:' >>"$work/group.with"

# as_installed <with|without> <args...>: runs the program as $bindir/droprelay, as root.
as_installed() {
  local users=$1; shift
  rc=0
  unshare -m sh -c 'mount --bind "$1" "$2" && mount --bind "$3" /etc/passwd && mount --bind "$4" /etc/group && shift 4 && exec "$@"' \
    sh "$work/bin" "$bindir" "$work/passwd.$users" "$work/group.$users" \
    env -u DISPLAY -u WAYLAND_DISPLAY -u JOURNAL_STREAM "$bindir/droprelay" "$@" >"$work/out" 2>"$work/err" || rc=$?
}

as_installed without --config "$work/relay.ini"
[ "$rc" -eq 78 ] && pass "no user droprelay: status 78" || fail "no user droprelay: status $rc"
grep -q '^droprelay: refusing to run as root: there is no user droprelay to switch to' "$work/err" \
  && pass "no user droprelay: said on stderr" || fail "stderr: $(cat "$work/err")"
[ ! -e "$work/spool/relay.log" ] && pass "no user droprelay: no log written" || fail "a log was written as root"

as_installed with --config "$work/relay.ini"
[ "$rc" -eq 0 ] && pass "as root with the user: the run goes on" || fail "status $rc: $(cat "$work/err")"
owner=$(stat -c %u:%g "$work/spool/relay.log" 2>/dev/null || echo none)
[ "$owner" = 4321:4321 ] && pass "the log belongs to droprelay (4321:4321)" || fail "log owner $owner"
state_owner=$(stat -c %u "$work/spool/drop.droprelay-state" 2>/dev/null || echo none)
[ "$state_owner" = 4321 ] && pass "the state folder belongs to droprelay" || fail "state folder owner $state_owner"

# The same program from elsewhere (a build tree) stays root: only the installed one switches.
rm -rf "$work/spool/relay.log" "$work/spool/drop.droprelay-state"
rc=0
env -u DISPLAY -u WAYLAND_DISPLAY -u JOURNAL_STREAM "$work/bin/droprelay" --config "$work/relay.ini" >/dev/null 2>&1 || rc=$?
owner=$(stat -c %u "$work/spool/relay.log" 2>/dev/null || echo none)
[ "$rc" -eq 0 ] && [ "$owner" = 0 ] && pass "not installed: runs as root" || fail "not installed: status $rc, log owner $owner"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "all checks passed"
