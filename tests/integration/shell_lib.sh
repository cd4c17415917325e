# Helpers for the integration tests of the relay shell; sourced, not run.
set -euo pipefail

: "${DROPRELAY_BIN:?DROPRELAY_BIN must name the droprelay binary}"

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/droprelay-itest-XXXXXX")
cleanup() { rm -rf "$scratch"; }
trap cleanup EXIT

# run_relay <ini> [more args...]: runs the real binary without a display, bounded in time.
# Leaves the exit status in <ini>.rc and the run time in seconds in <ini>.secs.
run_relay() {
  local ini=$1; shift
  local start end rc=0
  start=$(date +%s)
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM timeout 300 "$DROPRELAY_BIN" --config "$ini" "$@" \
    >"$ini.out" 2>"$ini.err" || rc=$?
  end=$(date +%s)
  echo "$rc" >"$ini.rc"
  echo $((end - start)) >"$ini.secs"
}

# Relaying a message logs its own steps (recipient, subject, body, ...); these tests look at the
# cycle around it, so those lines are left out of what they compare.
relay_step_lines='^(Charset=|Адресат: |Адресат после обработки: |Тема: |Тема после обработки: |Текст: |Текст после обработки: |Письмо содержит вложение: )'

# The log's lines without timestamps and CRs, one per line, relay-step lines left out.
log_messages() {
  sed -E 's/\r$//; s/^[0-9]{2}\.[0-9]{2}\.[0-9]{4} [0-9]{1,2}:[0-9]{2}:[0-9]{2} //' "$1" | { grep -Ev "$relay_step_lines" || true; }
}

# The line a run with send_mail=0 logs after "Начало работы...": files moved to the archive $1, or
# deleted when $1 is empty.
sending_off() {
  if [ -n "${1:-}" ]; then
    echo "Отправка писем выключена (send_mail=0): письма не отправляются, файлы перемещаются в $1"
  else
    echo "Отправка писем выключена (send_mail=0): письма не отправляются, файлы удаляются"
  fi
}

# expect_log <log> <expected lines...>: the log's messages must be exactly these.
expect_log() {
  local log=$1; shift
  local expected actual
  expected=$(printf '%s\n' "$@")
  actual=$(log_messages "$log")
  if [ "$expected" == "$actual" ]; then
    pass "log $(basename "$log")"
  else
    fail "log $(basename "$log") differs:"
    diff <(echo "$expected") <(echo "$actual") >&2 || true
  fi
}

expect_eq() {  # <what> <expected> <actual>
  if [ "$2" == "$3" ]; then pass "$1"; else fail "$1: expected '$2', got '$3'"; fi
}

# Seconds since midnight of a log line's timestamp.
stamp_seconds() {
  echo "$1" | sed -E 's/^[0-9.]+ ([0-9]+):([0-9]+):([0-9]+) .*/\1 \2 \3/' | { read -r h m s; echo $((10#$h * 3600 + 10#$m * 60 + 10#$s)); }
}

finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  echo "all checks passed"
}
