#!/usr/bin/env bash
# The window on a real X server (Xvfb, started and stopped here): with showmainform=1 the window is
# mapped at 590 x 283, centred, and what the X server shows is what Qt painted for the log box, whose
# text is the log. Checked: the window's geometry (xwininfo); a screenshot of the window taken from
# the X server (ImageMagick import) against the program's own rendering of the same window (written
# by the program when DROPRELAY_DEBUG_DUMP names a folder), pixel for pixel; the box's text in that
# dump; and that the screenshot is not blank. No text is recognised from pixels.
source "$(dirname "$0")/shell_lib.sh"

for tool in Xvfb xwininfo import compare identify; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/setup installs it)" >&2; exit 1; }
done

# Xvfb picks a free display number itself and tells it through a file descriptor.
exec 3> >(cat >"$scratch/display")
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >"$scratch/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 3>&-
stop_xvfb() { kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; cleanup; }
trap stop_xvfb EXIT
for _ in $(seq 100); do [ -s "$scratch/display" ] && break; sleep 0.1; done
display=":$(head -1 "$scratch/display")"
[ "$display" != ":" ] || { fail "Xvfb did not start"; cat "$scratch/xvfb.log" >&2; finish; }

mkdir -p "$scratch/drop" "$scratch/dump"
echo one >"$scratch/drop/first.eml"
echo two >"$scratch/drop/second.eml"
printf '[System]\nSmtp_DropMail_path=%s/\n[system]\nshowmainform=1\nDelete_or_move=1\n' "$scratch/drop" >"$scratch/relay.ini"
DISPLAY=$display DROPRELAY_DEBUG_DUMP="$scratch/dump" timeout 120 "$DROPRELAY_BIN" --config "$scratch/relay.ini" \
  >"$scratch/relay.out" 2>&1 &
relay_pid=$!

# After the first file is deleted nothing changes on screen until the next cycle, five seconds on.
for _ in $(seq 200); do
  grep -q 'успешно удален' "$scratch/dump/logmemo.txt" 2>/dev/null && break
  sleep 0.1
done
sleep 0.5

window=$(DISPLAY=$display xwininfo -root -children | awk '/590x283\+/ {print $1; exit}')
if [ -z "$window" ]; then
  fail "no 590x283 window on the screen"
  DISPLAY=$display xwininfo -root -children >&2
else
  info=$(DISPLAY=$display xwininfo -id "$window")
  width=$(echo "$info" | awk '/Width:/ {print $2}')
  height=$(echo "$info" | awk '/Height:/ {print $2}')
  x=$(echo "$info" | awk '/Absolute upper-left X:/ {print $4}')
  y=$(echo "$info" | awk '/Absolute upper-left Y:/ {print $4}')
  expect_eq "window size" "590x283" "${width}x${height}"
  dx=$(( x - (1024 - 590) / 2 )); dy=$(( y - (768 - 283) / 2 ))
  [ "${dx#-}" -le 1 ] && [ "${dy#-}" -le 1 ] && pass "window centred ($x,$y)" || fail "window at ($x,$y), not centred"
  echo "$info" | grep -q 'Map State: IsViewable' && pass "window mapped" || fail "window not viewable"

  DISPLAY=$display import -window "$window" "$scratch/screen.png"
  cp "$scratch/dump/window.png" "$scratch/qt.png"
  expect_eq "screenshot size" "590x283" "$(identify -format '%wx%h' "$scratch/screen.png")"
  differing=$(compare -metric AE "$scratch/screen.png" "$scratch/qt.png" null: 2>&1 || true)
  expect_eq "screen shows what Qt painted (differing pixels)" 0 "${differing%% *}"
  colours=$(convert "$scratch/screen.png" -format '%k' info:)
  [ "$colours" -gt 10 ] && pass "screenshot not blank ($colours colours)" || fail "screenshot nearly blank ($colours colours)"
  # Text is drawn in dark pixels on the box's light background.
  dark=$(convert "$scratch/screen.png" -crop 560x250+4+4 -colorspace Gray -threshold 40% -negate -format '%[fx:round(mean*w*h)]' info:)
  [ "$dark" -gt 200 ] && pass "log text drawn ($dark dark pixels)" || fail "too few dark pixels: $dark"
fi

expect_log "$scratch/dump/logmemo.txt" "Начало работы..." "Просмотр папки $scratch/drop/" \
  "Найден файл $(sed -n 's/.*Найден файл //p' "$scratch/dump/logmemo.txt" | head -1)" \
  "Файл $(sed -n 's/.*Найден файл //p' "$scratch/dump/logmemo.txt" | head -1) успешно удален"

rc=0; wait "$relay_pid" || rc=$?
expect_eq "run ends by itself" 0 "$rc"
expect_eq "drop folder emptied" "" "$(ls -A "$scratch/drop")"

finish
