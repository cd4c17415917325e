#!/bin/bash
# Regenerates the golden files of the HTML engine: for every NAME.html here (or given), NAME.txt
# beside it is what headless Chromium answers for document.documentElement.innerText at a
# 1280 x 800 window with scripting off (the relay never runs a message's scripts, so <noscript>
# content shows and <canvas> shows its fallback content), with the invisible format characters
# U+200B, U+200C, U+200D, U+2060 and U+FEFF dropped and lines joined by CR LF, the same
# post-processing the engine applies to its own result. The soft hyphen U+00AD stays, as in the
# browser's answer.
#
# The page is loaded into a tab whose script execution is switched off through the DevTools
# protocol (over --remote-debugging-pipe, so nothing listens on a port), and innerText is asked for
# through the same protocol, which works with page scripts off.
#
# Needs Debian's chromium (apt-get install --no-install-recommends chromium); it is not part of
# scripts/setup and the test suite never runs this script. Usage: regenerate.sh [NAME.html ...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
chromium_bin=${CHROMIUM:-chromium}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ $# -eq 0 ]; then set -- "$here"/*.html; fi
pages=()
for page in "$@"; do
  name=$(basename "$page" .html)
  # The engine receives decoded text, so the page is given to the browser as UTF-8 whatever its
  # <meta charset> says: a byte-order mark takes precedence over the meta element.
  { printf '\xEF\xBB\xBF'; cat "$page"; } > "$work/$name.html"
  pages+=("$work/$name.html" "$(cd "$(dirname "$page")" && pwd)/$name.txt")
done
mkdir "$work/profile"

/usr/bin/python3 - "$chromium_bin" "$work/profile" "${pages[@]}" <<'PY'
import json, os, subprocess, sys

chromium, profile, pairs = sys.argv[1], sys.argv[2], sys.argv[3:]
# The protocol pipe is the child's descriptors 3 (commands in) and 4 (answers out).
to_child_r, to_child_w = os.pipe()
from_child_r, from_child_w = os.pipe()
high_r, high_w = 100, 101
os.dup2(to_child_r, high_r)
os.dup2(from_child_w, high_w)

def child_setup():
    os.dup2(high_r, 3)
    os.dup2(high_w, 4)

browser = subprocess.Popen(
    [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
     "--disable-background-networking", "--disable-component-update", "--disable-sync",
     "--remote-debugging-pipe", "--user-data-dir=" + profile, "--window-size=1280,800"],
    preexec_fn=child_setup, close_fds=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
for fd in (to_child_r, from_child_w, high_r, high_w):
    os.close(fd)
commands = os.fdopen(to_child_w, "wb", buffering=0)
answers = os.fdopen(from_child_r, "rb", buffering=0)
pending = b""
last_id = 0

def next_message(wanted):
    global pending
    while True:
        while b"\0" in pending:
            raw, pending = pending.split(b"\0", 1)
            message = json.loads(raw)
            if wanted(message):
                return message
        chunk = answers.read(65536)
        if not chunk:
            sys.exit("chromium ended unexpectedly")
        pending += chunk

def call(method, params=None, session=None):
    global last_id
    last_id += 1
    message = {"id": last_id, "method": method, "params": params or {}}
    if session:
        message["sessionId"] = session
    commands.write(json.dumps(message).encode() + b"\0")
    answer = next_message(lambda m, i=last_id: m.get("id") == i)
    if "error" in answer:
        sys.exit("%s: %s" % (method, answer["error"]))
    return answer["result"]

for page, golden in zip(pairs[0::2], pairs[1::2]):
    target = call("Target.createTarget", {"url": "about:blank"})["targetId"]
    session = call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
    call("Page.enable", session=session)
    call("Emulation.setScriptExecutionDisabled", {"value": True}, session=session)
    call("Page.navigate", {"url": "file://" + page}, session=session)
    next_message(lambda m: m.get("method") == "Page.loadEventFired" and m.get("sessionId") == session)
    result = call("Runtime.evaluate", {"expression": "document.documentElement.innerText",
                                       "returnByValue": True}, session=session)["result"]
    if result.get("type") != "string":
        sys.exit("no innerText for " + golden)
    text = result["value"]
    for ch in "\u200b\u200c\u200d\u2060\ufeff":
        text = text.replace(ch, "")
    with open(golden, "wb") as out:
        out.write(text.replace("\n", "\r\n").encode("utf-8"))
    call("Target.closeTarget", {"targetId": target})
    print(os.path.basename(golden))
call("Browser.close")
browser.wait()
PY
