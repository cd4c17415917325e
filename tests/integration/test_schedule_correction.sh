#!/usr/bin/env bash
# The real droprelay binary with correct_scheduled_time=1 against a PostgreSQL server of the test's own:
# the first row of MSP_WEB_ADMIN gets the next half or full hour and the log says so; an unreachable
# server gives the two error lines and the run still goes on to its cycle and ends normally; without
# the key nothing touches the database.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bin=${DROPRELAY_BIN:?DROPRELAY_BIN names the droprelay program}
pg() { bash "$here/pg_server.sh" "$@"; }

work=$(mktemp -d /tmp/droprelay-schedule-XXXXXX)
# Apart from $work, which the server's user (postgres, when run as root) cannot enter.
db=$(mktemp -d /tmp/droprelay-pg-XXXXXX)
cleanup() { pg stop "$db" >/dev/null 2>&1 || true; rm -rf "$work"; }
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; [ -f "${log:-/nonexistent}" ] && sed 's/^/  log: /' "$log" >&2; exit 1; }

port=$(pg start "$db")
password='Sched;Pw}9'
pg psql "$db" \
  "CREATE ROLE relay LOGIN PASSWORD 'Sched;Pw}9'" \
  "CREATE TABLE MSP_WEB_ADMIN (WADMIN_CURRENT_VERSION varchar(20), WADMIN_NPE_SCHEDULED_TIME integer, WADMIN_NPE_INTERVAL integer)" \
  "INSERT INTO MSP_WEB_ADMIN VALUES ('a', 120000, 1), ('b', 130000, 2), ('a', 120000, 1)" \
  "GRANT ALL ON MSP_WEB_ADMIN TO relay"
odbc="Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=$port;Database=postgres;UID=relay;PWD={Sched;Pw}}9};UpdatableCursors=1"
# The rows as a set: one line each, sorted by the shell, so the comparison does not depend on where
# the new time sorts among the untouched rows (which changes with the hour of the run).
rows() { pg psql "$db" "SELECT * FROM MSP_WEB_ADMIN" | LC_ALL=C sort | tr '\n' ' '; }

mkdir -p "$work/drop" "$work/tmp"

# Runs droprelay once with the given [System] ConnectionString and [system] extra lines; the run
# must end by itself (the drop folder is empty) with status 0.
run() {
  local connection=$1 extra=$2
  ini=$work/relay.ini
  log=$work/relay.log
  rm -f "$log"
  cat >"$ini" <<EOF
[System]
Smtp_DropMail_path=$work/drop/
ConnectionString=$connection
temppath=$work/tmp/
moveto_path=$work/tmp/
$extra
EOF
  # The connection string may hold a password: closed to others, or the run refuses to start.
  chmod 0640 "$ini"
  local status=0
  env -u DISPLAY -u WAYLAND_DISPLAY timeout 120 "$bin" --config "$ini" >"$work/out" 2>&1 || status=$?
  [ "$status" -eq 0 ] || { cat "$work/out" >&2; fail "droprelay ended with status $status"; }
  [ -f "$log" ] || fail "no log file"
}

# The log's messages without their date and time ("07.12.2026 10:15:30 ") and CR LF line ends.
messages() { sed -E 's/\r$//; s/^[0-9.]+ [0-9:]+ //' "$log"; }

expect_line_after() {  # the message $2 comes right after a message matching $1
  messages | grep -A1 -E "$1" | tail -n 1 | grep -qxF "$2" || fail "no \"$2\" after /$1/"
}

scheduled_for() {  # HHMMSS for a local time HH MM, as the relay computes it
  local h=$((10#$1)) m=$((10#$2))
  if [ "$m" -le 30 ]; then printf '%02d3000' "$h"; else printf '%02d0000' $(((h + 1) % 24)); fi
}

# 1. The correction on: first row changed, one log line with the six digits.
before=$(scheduled_for $(date +'%H %M'))
run "$odbc" "correct_scheduled_time=1"
after=$(scheduled_for $(date +'%H %M'))
line=$(messages | grep -E '^Новое время обновления [0-9]{6}$') || fail "no new-time line"
logged=${line##* }
[ "$logged" = "$before" ] || [ "$logged" = "$after" ] || fail "logged $logged, expected $before or $after"
expected=$(printf '%s\n' "a|$((10#$logged))|1" "a|120000|1" "b|130000|2" | LC_ALL=C sort | tr '\n' ' ')
[ "$(rows)" = "$expected" ] || fail "table is [$(rows)], expected [$expected]"
messages | grep -qxF "Нет новых файлов" || fail "no cycle ran"
messages | tail -n 1 | grep -qxF "Завершение работы..." || fail "no orderly end"
# (After the start line comes the one saying that sending is off.)
expect_line_after '^Отправка писем выключена ' "$line"

# 2. Unreachable server: the driver's text, then the fixed line, then the cycle as usual.
unused=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
run "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=$unused;Database=postgres;UID=relay;PWD={Sched;Pw}}9}" \
    "correct_scheduled_time=1"
expect_line_after 'Connection refused' "Ошибка при работе с базой данных"
expect_line_after '^Отправка писем выключена ' "$(messages | grep 'Connection refused')"
messages | grep -qxF "Нет новых файлов" || fail "no cycle after the database error"
messages | tail -n 1 | grep -qxF "Завершение работы..." || fail "no orderly end"
! grep -qF "$password" "$log" || fail "the password is in the log"
! grep -qF "Pw}" "$log" || fail "part of the password is in the log"

# 3. The default ADO string goes to FreeTDS; there is no SQL Server here, so the two lines again.
run "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=False;Initial Catalog=ProjectServer;Data Source=127.0.0.1,$unused" \
    "correct_scheduled_time=1"
expect_line_after '^\[FreeTDS\]' "Ошибка при работе с базой данных"
messages | grep -qxF "Нет новых файлов" || fail "no cycle after the FreeTDS error"

# 4. Without the key (and with it 0) the database is not touched.
pg psql "$db" "UPDATE MSP_WEB_ADMIN SET WADMIN_NPE_SCHEDULED_TIME = 120000 WHERE WADMIN_CURRENT_VERSION = 'a'"
for extra in "" "correct_scheduled_time=0"; do
  run "$odbc" "$extra"
  [ "$(rows)" = "a|120000|1 a|120000|1 b|130000|2 " ] || fail "table changed without correct_scheduled_time: $(rows)"
  ! messages | grep -qE 'Новое время обновления|Ошибка при работе с базой данных' || fail "a database line without the key"
  messages | grep -qxF "Нет новых файлов" || fail "no cycle"
done

echo "schedule correction: ok"
