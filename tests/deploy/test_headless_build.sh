#!/usr/bin/env bash
# The headless relay links no Qt, X11 or GL library (neither directly nor through another library),
# while the window program does; both answer --version and --help, and --inspect works headless.
set -euo pipefail
headless=${DROPRELAY_HEADLESS_BIN:?DROPRELAY_HEADLESS_BIN names the headless relay}
source_dir=${DROPRELAY_SOURCE_DIR:?}
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

graphics='libQt|libX11|libxcb|libGL|libEGL|libOpenGL|libxkb|libwayland|libfontconfig|libfreetype'

needed=$(readelf -d "$headless" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
[ -n "$needed" ] || fail "readelf found no NEEDED entries in $headless"
if grep -Eq "$graphics" <<<"$needed"; then fail "headless NEEDED has graphics: $(grep -E "$graphics" <<<"$needed" | tr '\n' ' ')"; else pass "NEEDED without graphics ($(tr '\n' ' ' <<<"$needed"))"; fi
resolved=$(ldd "$headless")
if grep -Eq "$graphics" <<<"$resolved"; then fail "ldd pulls graphics: $(grep -E "$graphics" <<<"$resolved" | tr '\n' ' ')"; else pass "ldd without graphics"; fi
grep -q 'not found' <<<"$resolved" && fail "unresolved libraries: $resolved"

if [ -n "${DROPRELAY_BIN:-}" ]; then
  # The check means something only if the window program, built from the same tree, does link them.
  if readelf -d "$DROPRELAY_BIN" | grep -c 'libQt6Widgets' >/dev/null; then pass "window program links Qt"; else fail "window program without Qt?"; fi
fi

version=$("$headless" --version)
[ "$version" = "droprelay $(sed -n 's/^project(droprelay VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")" ] \
  && pass "--version: $version" || fail "--version said '$version'"
"$headless" --help | grep -c -- '--inspect' >/dev/null && pass "--help" || fail "--help lacks --inspect"
rc=0; "$headless" --bogus >/dev/null 2>&1 || rc=$?
[ "$rc" -eq 2 ] && pass "wrong option: status 2" || fail "wrong option: status $rc"

work=$(mktemp -d /tmp/droprelay-headless-XXXXXX)
trap 'rm -rf "$work"' EXIT
printf '[System]\ndomain_name=corp.example\n' >"$work/relay.ini"
printf 'From: a@example.net\r\nTo: Ivan <ivan@example.net>\r\nSubject: =?UTF-8?B?0J/RgNC40LLQtdGC?=\r\n\r\nbody\r\n' >"$work/m.eml"
out=$(env -u DISPLAY -u WAYLAND_DISPLAY "$headless" --config "$work/relay.ini" --inspect --json "$work/m.eml" 2>/dev/null)
grep -q '"recipient": *"ivan@corp.example"' <<<"$out" && grep -q '"subject": *"Привет"' <<<"$out" \
  && pass "--inspect --json headless" || fail "--inspect said: $out"
[ ! -e "$work/relay.log" ] && pass "--inspect writes no log" || fail "--inspect wrote a log"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "all checks passed"
