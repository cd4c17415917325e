#!/usr/bin/env bash
# The real program against bad input: no INI file, an unwritable log file, a drop folder written
# without its final "/", garbage and oversized values, and the command line. Runs in parallel.
source "$(dirname "$0")/shell_lib.sh"

# Command line: no run, so no wait.
out=$("$DROPRELAY_BIN" --help); rc=$?
expect_eq "--help exit status" 0 "$rc"
[[ "$out" == Usage:* ]] && pass "--help prints the usage" || fail "--help output: $out"
expect_eq "--version" "droprelay" "$("$DROPRELAY_BIN" --version | cut -d' ' -f1)"
rc=0; "$DROPRELAY_BIN" --no-such-option >"$scratch/bad.out" 2>"$scratch/bad.err" || rc=$?
expect_eq "unknown option exit status" 2 "$rc"
grep -q '^Usage:' "$scratch/bad.err" && pass "usage on stderr" || fail "no usage on stderr"
expect_eq "nothing on stdout" "" "$(cat "$scratch/bad.out")"

# A settings file named on the command line that is not there is a configuration error.
mkdir -p "$scratch/noini"
run_relay "$scratch/noini/absent.ini" &

# No INI file beside the program: the defaults would take the production drop folder and send
# nothing, so the run ends at once, touching nothing.
mkdir -p "$scratch/beside"
cp "$DROPRELAY_BIN" "$scratch/beside/droprelay"
( rc=0; env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM timeout 300 "$scratch/beside/droprelay" \
    >"$scratch/beside/out" 2>"$scratch/beside/err" || rc=$?; echo "$rc" >"$scratch/beside/rc" ) &

# The log file cannot be written (a folder stands in its way, which stops root too): the messages
# still reach the box and the relay goes on.
mkdir -p "$scratch/nolog/drop" "$scratch/nolog/relay.log" "$scratch/nolog/dump"
echo x >"$scratch/nolog/drop/m.eml"
printf '[System]\nSmtp_DropMail_path=%s\nDelete_or_move=1\n' "$scratch/nolog/drop/" >"$scratch/nolog/relay.ini"
DROPRELAY_DEBUG_DUMP="$scratch/nolog/dump" run_relay "$scratch/nolog/relay.ini" &

# Drop folder without a final "/": its own file is taken, not the decoy beside the folder.
mkdir -p "$scratch/slash/drop"
echo decoy >"$scratch/slash/drop-decoy.eml"
echo x >"$scratch/slash/drop/m.eml"
printf '[System]\nSmtp_DropMail_path=%s\nDelete_or_move=1\n' "$scratch/slash/drop" >"$scratch/slash/relay.ini"
run_relay "$scratch/slash/relay.ini" &

# Garbage and oversized values: an unparsable bound is the default, a 100 KB value is cut to 2047
# characters (no such folder, so the run ends), showmainform without a display stays harmless.
mkdir -p "$scratch/garbage"
{ printf '[SYSTEM]\nMax_log_length=lots\nSmtp_DropMail_path=%s/' "$scratch/garbage"
  head -c 102400 /dev/zero | tr '\0' 'x'
  printf '\nshowmainform=1\ncorrect_scheduled_time=maybe\n'; } >"$scratch/garbage/relay.ini"
run_relay "$scratch/garbage/relay.ini" &

# Stopped from outside (systemd sends SIGTERM): the run still ends with its last log line.
mkdir -p "$scratch/stop/drop"
printf '[System]\nSmtp_DropMail_path=%s/\n' "$scratch/stop/drop" >"$scratch/stop/relay.ini"
( env -u DISPLAY -u WAYLAND_DISPLAY "$DROPRELAY_BIN" --config "$scratch/stop/relay.ini" 2>/dev/null & pid=$!
  for _ in $(seq 50); do grep -q 'Начало' "$scratch/stop/relay.log" 2>/dev/null && break; sleep 0.1; done
  kill -TERM "$pid"; rc=0; wait "$pid" || rc=$?; echo "$rc" >"$scratch/stop/rc" ) &

wait

expect_eq "SIGTERM: exit status" 0 "$(cat "$scratch/stop/rc")"
expect_log "$scratch/stop/relay.log" "" "Начало работы..." "$(sending_off /tmp/)" "Получен сигнал завершения" "Завершение работы..."

expect_log "$scratch/noini/absent.log" "" "Начало работы..." \
  "Файл настроек не найден или не читается: $scratch/noini/absent.ini (No such file or directory)" "Завершение работы..."
expect_eq "named INI missing: exit status" 78 "$(cat "$scratch/noini/absent.ini.rc")"
expect_eq "named INI missing: stderr" \
  "droprelay: cannot read the configuration file $scratch/noini/absent.ini: No such file or directory" \
  "$(cat "$scratch/noini/absent.ini.err")"

expect_eq "no INI: exit status" 78 "$(cat "$scratch/beside/rc")"
expect_eq "no INI: nothing written" "droprelay err out rc" "$(ls "$scratch/beside" | xargs)"
expect_eq "no INI: stdout" "" "$(cat "$scratch/beside/out")"
grep -q "^droprelay: no configuration: cannot read $scratch/beside/droprelay.ini (No such file or directory); nothing was done" \
  "$scratch/beside/err" && pass "no INI: said on stderr" || fail "no INI: stderr $(cat "$scratch/beside/err")"

expect_eq "unwritable log: exit status" 0 "$(cat "$scratch/nolog/relay.ini.rc")"
expect_eq "unwritable log: file deleted" "" "$(ls -A "$scratch/nolog/drop")"
expect_log "$scratch/nolog/dump/logmemo.txt" "Начало работы..." "$(sending_off)" \
  "Просмотр папки $scratch/nolog/drop/" "Найден файл m.eml" "Файл m.eml успешно удален" \
  "Просмотр папки $scratch/nolog/drop/" "Нет новых файлов" "Завершение работы..."

expect_log "$scratch/slash/relay.log" "" "Начало работы..." "$(sending_off)" \
  "Просмотр папки $scratch/slash/drop/" "Найден файл m.eml" "Файл m.eml успешно удален" \
  "Просмотр папки $scratch/slash/drop/" "Нет новых файлов" "Завершение работы..."
expect_eq "slash: decoy untouched" "decoy" "$(cat "$scratch/slash/drop-decoy.eml")"

# The folder named by the cut value does not exist: a loud end, and nothing else on the output
# (under cron any output is mailed to the administrator every run).
expect_eq "garbage: exit status" 66 "$(cat "$scratch/garbage/relay.ini.rc")"
long_folder="$scratch/garbage/$(head -c $((2047 - ${#scratch} - 9)) /dev/zero | tr '\0' 'x')/"
expect_eq "the warnings and the error line, nothing from the display" \
  "droprelay: warning: $scratch/garbage/relay.ini:2: Max_log_length=lots is not a number; the default 510 is used
droprelay: warning: $scratch/garbage/relay.ini:5: correct_scheduled_time=maybe is not a number (0 or 1); the default 0 is used
droprelay: warning: sending is off (send_mail=0): messages are not sent, their files are moved to /tmp/
droprelay: cannot read the drop folder $long_folder: File name too long" \
  "$(cat "$scratch/garbage/relay.ini.out" "$scratch/garbage/relay.ini.err")"
expect_eq "a run that does not send says that alone" "droprelay: warning: $(echo "sending is off (send_mail=0): messages are not sent, their files are deleted")" \
  "$(cat "$scratch/slash/relay.ini.out" "$scratch/slash/relay.ini.err")"
expect_log "$scratch/garbage/relay.log" "" "Начало работы..." \
  "Предупреждение настроек: $scratch/garbage/relay.ini, строка 2: значение Max_log_length=lots не является числом, используется значение по умолчанию: 510" \
  "Предупреждение настроек: $scratch/garbage/relay.ini, строка 5: значение correct_scheduled_time=maybe не является числом, используется значение по умолчанию: 0" \
  "$(sending_off /tmp/)" \
  "Папка не найдена или не читается: $long_folder (File name too long)" "Завершение работы..."

finish
