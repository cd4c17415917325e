#!/usr/bin/env bash
# A display that cannot be reached (a DISPLAY left over in the environment of cron or a service,
# a desktop session that has ended) must not stop the relay: it runs without a window, as it does
# with no display at all.
source "$(dirname "$0")/shell_lib.sh"

# A display number nobody serves: no socket and no lock file.
number=800
while [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ]; do number=$((number + 1)); done

mkdir -p "$scratch/drop"
printf '[System]\nSmtp_DropMail_path=%s/drop/\n' "$scratch" >"$scratch/relay.ini"

# run_with <label> <env assignments...>: the relay on the empty drop folder must end normally.
run_with() {
  local label=$1; shift
  local rc=0
  rm -f "$scratch/relay.log"
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$@" timeout 120 "$DROPRELAY_BIN" \
    --config "$scratch/relay.ini" >"$scratch/out" 2>"$scratch/err" || rc=$?
  expect_eq "exit status with $label" 0 "$rc"
  if [ "$rc" -ne 0 ]; then sed 's/^/  stderr: /' "$scratch/err" >&2; fi
  if [ -f "$scratch/relay.log" ]; then
    expect_log "$scratch/relay.log" "" "Начало работы..." "$(sending_off /tmp/)" "Просмотр папки $scratch/drop/" "Нет новых файлов" \
      "Завершение работы..."
  else
    fail "no log written with $label"
  fi
}

run_with "an unreachable X display" DISPLAY=":$number"
# A Wayland socket name that does not exist (and no X display beside it).
run_with "an unreachable Wayland display" WAYLAND_DISPLAY="droprelay-no-such-display-$$"
finish
