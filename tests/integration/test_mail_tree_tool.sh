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

# A tool like the relay's own: help, version, usage errors with status 2, JSON.
"$bin" --help | grep -q '^usage: mailinspect \[--json\] FILE' || fail "--help"
"$bin" --version | grep -Eq '^mailinspect \(droprelay\) [0-9]+\.[0-9]+' || fail "--version"
for args in "" "--bogus $work/multipart.eml" "--json"; do
  set +e; "$bin" $args > /dev/null 2>&1; rc=$?; set -e
  [ "$rc" -eq 2 ] || fail "usage error '$args' gave status $rc"
done
cp "$work/multipart.eml" "$work/--json"
"$bin" -- "$work/--json" | grep -q '^-- subject: Привет$' || fail "a file name after --"

# A KOI8-R subject, a damaged base64 attachment and text in its declared charset.
{ printf 'Subject: =?koi8-r?B?8NLJ18XU?=\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n'
  printf 'Content-Type: text/plain; charset=koi8-r\r\n\r\n\xf0\xd2\xc9\xd7\xc5\xd4\r\n--b\r\n'
  printf 'Content-Type: application/pdf; name="=?koi8-r?Q?=EF=D4=DE=A3=D4?=.pdf"\r\n'
  printf 'Content-Transfer-Encoding: base64\r\n\r\nJVBE*Ri0xLjQ\r\n--b--\r\n'; } > "$work/koi8.eml"
out=$("$bin" "$work/koi8.eml")
grep -q '^-- subject: Привет$' <<<"$out" || fail "KOI8-R subject not shown as Cyrillic: $out"
grep -q '^  > Привет$' <<<"$out" || fail "KOI8-R body"
grep -q '^  \* Отчёт.pdf$' <<<"$out" || fail "KOI8-R name"
grep -q '! message\[1\]: base64 content holds 1 characters outside the alphabet' <<<"$out" || fail "base64 repair"

# The damaged kinds of the test data: read, with their warnings; checked through --json with
# Python's json module, together with every other field the JSON promises.
data=${DROPRELAY_SOURCE_DIR:?}/tests/data/messages
"$bin" --json "$work/koi8.eml" "$data/own-uuencode-malformed-block.eml" "$data/own-list-flattened-pgp-signature.eml" \
  "$work/missing.eml" > "$work/out.json" 2> /dev/null && fail "missing file in --json gave status 0"
/usr/bin/python3 - "$work/out.json" <<'PY' || fail "JSON output"
import json, sys
reports = json.load(open(sys.argv[1], encoding="utf-8"))
koi8, uu, signed, missing = reports
assert koi8["subject"] == "Привет", koi8["subject"]
assert koi8["plain"] == "Привет\n", koi8["plain"]
assert koi8["tree"]["type"] == "multipart/mixed" and [p["path"] for p in koi8["tree"]["parts"]] == ["message[0]", "message[1]"]
assert [(a["name"], a["size"], a["part"]) for a in koi8["attachments"]] == [("Отчёт.pdf", 6, "message[1]")], koi8["attachments"]
assert any(w["part"] == "message[1]" and "base64" in w["text"] for w in koi8["warnings"]), koi8["warnings"]
assert "i;b!o" in uu["plain"] and [(a["name"], a["size"]) for a in uu["attachments"]] == [("report.txt", 45)], uu
assert [(w["part"], w["code"], w["offset"]) for w in uu["warnings"]] == [("message", "uuencode-damaged", 343)], uu["warnings"]
assert all(a["type"] != "application/pgp-signature" for a in signed["attachments"]), signed["attachments"]
assert [w["part"] for w in signed["warnings"]] == ["message[1]"], signed["warnings"]
assert signed["html"] == "" and signed["plain"].startswith("Minutes of Friday")
assert "error" in missing and missing["file"].endswith("missing.eml")
PY

# A FIFO is refused at once, not waited on; output into a closed pipe ends the run quietly.
mkfifo "$work/fifo.eml"
set +e; timeout 10 "$bin" "$work/fifo.eml" > /dev/null 2> "$work/err.txt"; rc=$?; set -e
[ "$rc" -eq 1 ] || fail "FIFO gave status $rc (124 is a hang)"
grep -q 'Not a regular file' "$work/err.txt" || fail "FIFO not named as such"
files=(); for i in $(seq 300); do files+=("$work/multipart.eml"); done
set +e; "$bin" "${files[@]}" 2> /dev/null | head -c 1 > /dev/null; rc=${PIPESTATUS[0]}; set -e
[ "$rc" -eq 1 ] || fail "a closed output pipe gave status $rc (141 is death by SIGPIPE)"
echo "mailinspect: all checks passed"
