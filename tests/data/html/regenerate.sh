#!/bin/bash
# Regenerates the golden files of the HTML engine: for every NAME.html here (or given), NAME.txt
# beside it is what headless Chromium answers for document.documentElement.innerText at a
# 1280 x 800 window, with the
# invisible format characters dropped (U+200B, U+200C, U+200D, U+2060, U+FEFF, U+00AD) and lines
# joined by CR LF, the same post-processing the engine applies to its own result.
#
# Needs Debian's chromium (apt-get install --no-install-recommends chromium); it is not part of
# scripts/setup and the test suite never runs this script. Usage: regenerate.sh [NAME.html ...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
chromium_bin=${CHROMIUM:-chromium}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ $# -eq 0 ]; then set -- "$here"/*.html; fi
for page in "$@"; do
  name=$(basename "$page" .html)
  # The engine receives decoded text, so the page is given to the browser as UTF-8 whatever its
  # <meta charset> says: a byte-order mark takes precedence over the meta element.
  # The probe is appended after the page: it runs once everything before it is parsed and styled,
  # and a script element renders nothing, so it does not change the answer.
  { printf '\xEF\xBB\xBF'
    cat "$page"
    printf '%s\n' '<script>(function(){var t=document.documentElement.innerText;' \
      'var b=btoa(unescape(encodeURIComponent(t)));var m=document.createElement("x-golden");' \
      'm.setAttribute("data-text",b);document.documentElement.appendChild(m);})();</script>'
  } > "$work/page.html"
  rm -rf "$work/profile"; mkdir "$work/profile"
  "$chromium_bin" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$work/profile" --window-size=1280,800 \
    --dump-dom "file://$work/page.html" 2>/dev/null > "$work/dom.html"
  /usr/bin/python3 - "$work/dom.html" "$(dirname "$page")/$name.txt" <<'PY'
import base64, re, sys
dom = open(sys.argv[1], encoding="utf-8").read()
m = re.search(r'<x-golden data-text="([A-Za-z0-9+/=]*)"', dom)
if not m:
    sys.exit("no innerText found in the dumped DOM of " + sys.argv[2])
text = base64.b64decode(m.group(1)).decode("utf-8")
for ch in "\u200b\u200c\u200d\u2060\ufeff\u00ad":
    text = text.replace(ch, "")
open(sys.argv[2], "wb").write(text.replace("\n", "\r\n").encode("utf-8"))
PY
  echo "$name.txt"
done
