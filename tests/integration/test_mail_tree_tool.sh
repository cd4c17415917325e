#!/usr/bin/env bash
# mailinspect on real files: a multipart message with Cyrillic subject and an attachment, an
# LF-only uuencoded message, an empty file, binary garbage, and a file that cannot be read.
set -euo pipefail
bin=${MAILINSPECT_BIN:?MAILINSPECT_BIN is not set}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

printf '%s\r\n' \
  'Subject: =?utf-8?B?0J/RgNC40LLQtdGC?=' \
  'To: "Ivanov, I" <ivanov@example.org>, petrov@example.org' \
  'Content-Type: multipart/mixed; boundary=outer' \
  '' \
  '--outer' \
  'Content-Type: multipart/alternative; boundary=inner' \
  '' \
  '--inner' \
  'Content-Type: text/plain; charset=utf-8' \
  'Content-Transfer-Encoding: quoted-printable' \
  '' \
  'Hello =3D world' \
  '--inner' \
  'Content-Type: text/html' \
  '' \
  '<p>Hello</p>' \
  '--inner--' \
  '--outer' \
  'Content-Type: application/pdf; name="=?utf-8?B?0L7RgtGH0ZHRgg==?=.pdf"' \
  'Content-Transfer-Encoding: base64' \
  '' \
  'JVBERi0xLjQ=' \
  '--outer--' > "$work/multipart.eml"

# Written by a Linux tool: LF line ends only.
printf '%s\n' 'Subject: files' '' 'See the file.' 'begin 644 cat.txt' '#0V%T' '`' 'end' 'best regards' 'end' \
  > "$work/uuencoded.eml"
: > "$work/empty.eml"
head -c 65536 /dev/urandom > "$work/garbage.eml"

out=$("$bin" "$work/multipart.eml")
grep -q '^-- subject: Привет$' <<<"$out" || fail "subject not decoded: $out"
grep -q '^-- to: ivanov@example.org,petrov@example.org$' <<<"$out" || fail "addresses"
grep -q '^  > Hello = world$' <<<"$out" || fail "plain line"
grep -q '^  > <p>Hello</p>$' <<<"$out" || fail "html line"
grep -q '^  \* отчёт.pdf$' <<<"$out" || fail "attachment name"
grep -q 'message multipart/mixed boundary="boundary[0-9A-F]\{8\}_mixed"' <<<"$out" || fail "new mixed container"
grep -q '\[0\] multipart/alternative boundary="boundary[0-9A-F]\{8\}_alternative"' <<<"$out" || fail "alternative"

out=$("$bin" "$work/uuencoded.eml")
grep -q '^  \* cat.txt$' <<<"$out" || fail "uuencoded attachment: $out"
grep -q '^  > See the file.$' <<<"$out" || fail "text before the block"

# Empty and garbage files are read without error; an unreadable file is reported and the next one
# is still processed.
"$bin" "$work/empty.eml" "$work/garbage.eml" > "$work/out.txt" || fail "empty or garbage file refused"
set +e
"$bin" "$work/missing.eml" "$work/multipart.eml" > "$work/out.txt" 2> "$work/err.txt"
rc=$?
set -e
[ "$rc" -ne 0 ] || fail "missing file gave exit status 0"
grep -q 'missing.eml' "$work/err.txt" || fail "no message naming the missing file"
grep -q '^-- subject: Привет$' "$work/out.txt" || fail "next file not processed after the missing one"
"$bin" > /dev/null 2>&1 && fail "no arguments accepted"

# What had to be repaired or guessed is listed after the parsed tree: a cut-off message with a NUL
# byte, an unknown encoding and an RFC 2231 name; a well-formed message has no warnings.
printf '%s\r\n' 'Subject: cut' 'Content-Type: multipart/mixed; boundary=b' '' '--b' \
  'Content-Type: text/plain' 'Content-Transfer-Encoding: x-mystery' '' 'text' '--b' \
  "Content-Type: application/pdf; name*=utf-8''%D0%B0.pdf" '' > "$work/damaged.eml"
printf 'a\0b\r\n' >> "$work/damaged.eml"
out=$("$bin" "$work/damaged.eml")
warnings=$(sed -n '/^-- warnings/,/^-- tree after/p' <<<"$out")
grep -q '^-- warnings (4)$' <<<"$warnings" || fail "warning count: $warnings"
grep -q '! message: missing closing delimiter "--b--"' <<<"$warnings" || fail "closing delimiter warning"
grep -q '! message: NUL bytes' <<<"$warnings" || fail "NUL warning"
grep -q '! message\[0\]: unknown transfer encoding "x-mystery"' <<<"$warnings" || fail "encoding warning"
grep -q '! message\[1\]: name read from its RFC 2231 form: а.pdf' <<<"$warnings" || fail "RFC 2231 warning"
grep -q '^  \* а.pdf$' <<<"$out" || fail "RFC 2231 name not used: $out"
grep -q '^-- warnings (0)$' <<<"$("$bin" "$work/multipart.eml")" || fail "warnings for a well-formed message"
echo "mailinspect: all checks passed"
