#!/usr/bin/env bash
# The real program on temporary folders: empty folder, two files in two cycles, delete mode, and
# the defaults when send_mail and moveto_path are missing. The runs go in parallel (each takes at
# least one five-second cycle).
source "$(dirname "$0")/shell_lib.sh"

# Empty folder (twice: the second run reloads the first run's log).
mkdir -p "$scratch/empty/drop"
printf '[System]\nSmtp_DropMail_path=%s/\n' "$scratch/empty/drop" >"$scratch/empty/relay.ini"
( run_relay "$scratch/empty/relay.ini"; cp "$scratch/empty/relay.log" "$scratch/empty/first.log"
  run_relay "$scratch/empty/relay.ini" ) &

# Two files, moved in two cycles into an archive that does not exist yet.
mkdir -p "$scratch/two/drop"
printf 'Subject: one\r\n\r\nbody one\r\n' >"$scratch/two/drop/one.eml"
printf 'Subject: two\r\n\r\nbody two\r\n' >"$scratch/two/drop/two.eml"
printf '[system]\nmoveto_path=%s\nsend_mail=0\nSmtp_DropMail_path=%s/\n' \
  "$scratch/two/archive/sub" "$scratch/two/drop" >"$scratch/two/relay.ini"
run_relay "$scratch/two/relay.ini" &

# Delete mode.
mkdir -p "$scratch/delete/drop"
echo x >"$scratch/delete/drop/gone.eml"
printf '[System]\nSmtp_DropMail_path=%s/\nDelete_or_move=1\n' "$scratch/delete/drop" >"$scratch/delete/relay.ini"
run_relay "$scratch/delete/relay.ini" &

# send_mail and moveto_path missing: processed, not sent, moved to the default archive /tmp/.
mkdir -p "$scratch/defaults/drop"
default_name="droprelay-itest-$$-$RANDOM.eml"
echo x >"$scratch/defaults/drop/$default_name"
printf '[System]\nSmtp_DropMail_path=%s/\n' "$scratch/defaults/drop" >"$scratch/defaults/relay.ini"
run_relay "$scratch/defaults/relay.ini" &

wait

for run in empty two delete defaults; do
  expect_eq "$run: exit status" 0 "$(cat "$scratch/$run/relay.ini.rc")"
done

expect_log "$scratch/empty/first.log" "" "Начало работы..." "$(sending_off /tmp/)" "Просмотр папки $scratch/empty/drop/" "Нет новых файлов" \
  "Завершение работы..."
expect_log "$scratch/empty/relay.log" "" "Начало работы..." "$(sending_off /tmp/)" "Просмотр папки $scratch/empty/drop/" "Нет новых файлов" \
  "Завершение работы..." "" "Начало работы..." "$(sending_off /tmp/)" "Просмотр папки $scratch/empty/drop/" "Нет новых файлов" \
  "Завершение работы..."
if grep -qE '^[0-9]{2}\.[0-9]{2}\.[0-9]{4} [0-9]{1,2}:[0-9]{2}:[0-9]{2} Начало работы\.\.\.'$'\r''$' "$scratch/empty/first.log"; then
  pass "timestamped lines end in CR LF"
else
  fail "timestamp or line end format"
fi
secs=$(cat "$scratch/empty/relay.ini.secs")
[ "$secs" -ge 4 ] && pass "the first cycle waits for the timer" || fail "run took only ${secs}s"

# Which file the folder lists first is the file system's business; both orders are right.
first=$(log_messages "$scratch/two/relay.log" | sed -n 's/^Найден файл //p' | head -1)
second=$(log_messages "$scratch/two/relay.log" | sed -n 's/^Найден файл //p' | tail -1)
expect_eq "two: both files found" "one.eml two.eml" "$(printf '%s\n' "$first" "$second" | sort | xargs)"
expect_log "$scratch/two/relay.log" "" "Начало работы..." "$(sending_off "$scratch/two/archive/sub/")" \
  "Просмотр папки $scratch/two/drop/" "Найден файл $first" "Файл $first успешно перемещен в $scratch/two/archive/sub/" \
  "Просмотр папки $scratch/two/drop/" "Найден файл $second" "Файл $second успешно перемещен в $scratch/two/archive/sub/" \
  "Просмотр папки $scratch/two/drop/" "Нет новых файлов" "Завершение работы..."
expect_eq "two: archive holds both" "one.eml two.eml" "$(ls "$scratch/two/archive/sub" | xargs)"
expect_eq "two: drop folder empty" "" "$(ls -A "$scratch/two/drop")"
expect_eq "two: content kept" "body two" "$(sed -n 3p "$scratch/two/archive/sub/two.eml" | tr -d '\r')"
scans=$(grep 'Просмотр папки' "$scratch/two/relay.log")
t1=$(stamp_seconds "$(echo "$scans" | sed -n 1p)")
t2=$(stamp_seconds "$(echo "$scans" | sed -n 2p)")
gap=$(( (t2 - t1 + 86400) % 86400 ))
[ "$gap" -ge 5 ] && pass "cycles at least 5 s apart (${gap}s)" || fail "cycles only ${gap}s apart"

expect_log "$scratch/delete/relay.log" "" "Начало работы..." "$(sending_off)" \
  "Просмотр папки $scratch/delete/drop/" "Найден файл gone.eml" "Файл gone.eml успешно удален" \
  "Просмотр папки $scratch/delete/drop/" "Нет новых файлов" "Завершение работы..."
expect_eq "delete: drop folder empty" "" "$(ls -A "$scratch/delete/drop")"

expect_log "$scratch/defaults/relay.log" "" "Начало работы..." "$(sending_off /tmp/)" \
  "Просмотр папки $scratch/defaults/drop/" "Найден файл $default_name" "Файл $default_name успешно перемещен в /tmp/" \
  "Просмотр папки $scratch/defaults/drop/" "Нет новых файлов" "Завершение работы..."
if [ -f "/tmp/$default_name" ]; then pass "defaults: moved to /tmp/"; rm -f "/tmp/$default_name"; else fail "defaults: not in /tmp/"; fi

finish
