#!/usr/bin/env bash
# The window on a real X server (Xvfb, started and stopped here): with showmainform=1 the window is
# mapped at 590 x 283, centred, and what the X server shows is what Qt painted for the log box, whose
# text is the log. Checked: the window's geometry (xwininfo); a screenshot of the window taken from
# the X server (ImageMagick import) against the program's own rendering of the same window (written
# by the program when DROPRELAY_DEBUG_DUMP names a folder), pixel for pixel; the box's text in that
# dump; and that the screenshot is not blank. No text is recognised from pixels. Then, at scale
# factors 1 to 3, that the window lies on the screen, and that it can be resized with the box.
source "$(dirname "$0")/shell_lib.sh"

for tool in Xvfb xwininfo xprop xdotool import compare identify; do
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
printf '[System]\nSmtp_DropMail_path=%s/\nshowmainform=1\nDelete_or_move=1\n' "$scratch/drop" >"$scratch/relay.ini"
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
  # Lines wrap, so there is no horizontal scroll bar: the bottom of the box is as empty as its
  # background (the log has only a few lines).
  expect_eq "no horizontal scroll bar (colours along the bottom)" 1 \
    "$(convert "$scratch/screen.png" -crop 540x14+4+266 -format '%k' info:)"
fi
# A plain X server has no notification area: no icon, and nothing else changes.
expect_eq "no icon without a notification area" "shown=0" "$(head -1 "$scratch/dump/tray.txt")"

expect_log "$scratch/dump/logmemo.txt" "Начало работы..." "$(sending_off)" "Просмотр папки $scratch/drop/" \
  "Найден файл $(sed -n 's/.*Найден файл //p' "$scratch/dump/logmemo.txt" | head -1)" \
  "Файл $(sed -n 's/.*Найден файл //p' "$scratch/dump/logmemo.txt" | head -1) успешно удален"

rc=0; wait "$relay_pid" || rc=$?
expect_eq "run ends by itself" 0 "$rc"
expect_eq "drop folder emptied" "" "$(ls -A "$scratch/drop")"
expect_eq "nothing printed" "" "$(cat "$scratch/relay.out")"

# At every scale factor the window starts at 590 x 283 device-independent pixels, as far as the
# screen allows, and lies wholly on the screen. A file that is still being written (modified "in
# the future") keeps each run going until it is stopped.
mkdir -p "$scratch/held/drop"
echo later >"$scratch/held/drop/later.eml"
touch -d '1 hour' "$scratch/held/drop/later.eml"
printf '[System]\nSmtp_DropMail_path=%s/drop/\n[system]\nshowmainform=1\ncycle_interval_ms=1000\n' "$scratch/held" \
  >"$scratch/held/relay.ini"
held_window=""
find_held_window() {
  held_window=$(DISPLAY=$display xwininfo -root -children | awk '/"droprelay": \("droprelay"/ && !/ [0-9]x[0-9]\+/ {print $1; exit}')
  [ -n "$held_window" ] && DISPLAY=$display xwininfo -id "$held_window" | grep -q 'Map State: IsViewable'
}
geometry() {  # <window>: width height x y
  DISPLAY=$display xwininfo -id "$1" | awk '/Width:/ {w=$2} /Height:/ {h=$2} /Absolute upper-left X:/ {x=$4}
    /Absolute upper-left Y:/ {y=$4} END {print w, h, x, y}'
}
right_edge() {  # <window> <picture>: the top of the window's right edge: the scroll bar's up arrow
  DISPLAY=$display import -window "$1" "$scratch/resized.png"
  convert "$scratch/resized.png" -gravity NorthEast -crop 18x14+0+0 +repage "$2"
}
held_painted() {  # the screen shows what Qt painted for the window
  DISPLAY=$display import -window "$held_window" "$scratch/held.png" 2>/dev/null || return 1
  [ "$(compare -metric AE "$scratch/held.png" "$scratch/held/dump/window.png" null: 2>&1 || true)" == 0 ]
}
for scale in 1 1.5 2 3; do
  rm -rf "$scratch/held/dump" && mkdir -p "$scratch/held/dump"
  DISPLAY=$display QT_SCALE_FACTOR=$scale DROPRELAY_DEBUG_DUMP="$scratch/held/dump" timeout 120 "$DROPRELAY_BIN" \
    --config "$scratch/held/relay.ini" \
    >"$scratch/held/out" 2>&1 &
  held_pid=$!
  found=1
  for _ in $(seq 200); do find_held_window && { found=0; break; }; sleep 0.05; done
  if [ "$found" -ne 0 ]; then
    fail "scale $scale: no window"
  else
    read -r w h x y <<<"$(geometry "$held_window")"
    want_w=$(awk -v s="$scale" 'BEGIN {v = int(590 * s + 0.5); print (v > 1024 ? 1024 : v)}')
    want_h=$(awk -v s="$scale" 'BEGIN {v = int(283 * s + 0.5); print (v > 768 ? 768 : v)}')
    if [ "$x" -ge 0 ] && [ "$y" -ge 0 ] && [ $((x + w)) -le 1024 ] && [ $((y + h)) -le 768 ]; then
      pass "scale $scale: ${w}x${h}+${x}+${y} lies on the 1024x768 screen"
    else
      fail "scale $scale: ${w}x${h}+${x}+${y} leaves the 1024x768 screen"
    fi
    # Rounding to whole device-independent pixels may cost a device pixel or two.
    if [ $((want_w - w)) -le "${scale%.*}" ] && [ $((want_w - w)) -ge -1 ] && [ $((want_h - h)) -le "${scale%.*}" ] \
      && [ $((want_h - h)) -ge -1 ]; then
      pass "scale $scale: size ${w}x${h} (${want_w}x${want_h} wanted)"
    else
      fail "scale $scale: size ${w}x${h}, wanted ${want_w}x${want_h}"
    fi
    DISPLAY=$display import -window root "$scratch/screen-$scale.png"
    if [ "$scale" == 1 ]; then
      # Resizable, and the log box follows: its scroll bar stays at the window's right edge.
      painted=1
      for _ in $(seq 200); do held_painted && { painted=0; break; }; sleep 0.05; done
      [ "$painted" -eq 0 ] || fail "scale 1: window not painted"
      right_edge "$held_window" "$scratch/edge-590.png"
      for size in 400x200 800x400; do
        DISPLAY=$display xdotool windowsize "$held_window" "${size%x*}" "${size#*x}"
        sized() { [ "$(geometry "$held_window" | cut -d' ' -f1-2)" == "${size%x*} ${size#*x}" ]; }
        edge_follows() {
          right_edge "$held_window" "$scratch/edge-$size.png"
          [ "$(compare -metric AE "$scratch/edge-590.png" "$scratch/edge-$size.png" null: 2>&1 || true)" == 0 ]
        }
        ok=1
        for _ in $(seq 100); do sized && edge_follows && { ok=0; break; }; sleep 0.05; done
        [ "$ok" -eq 0 ] && pass "resized to $size, the box follows" || fail "resize to $size: $(geometry "$held_window")"
      done
    fi
    # Never larger than the screen: the window manager is told the largest size.
    hints=$(DISPLAY=$display xprop -id "$held_window" WM_NORMAL_HINTS)
    read -r max_w max_h <<<"$(echo "$hints" | awk '/maximum size:/ {print $5, $7}')"
    if [ -n "$max_w" ] && [ "$max_w" -le 1024 ] && [ "$max_h" -le 768 ]; then
      pass "scale $scale: largest size ${max_w}x${max_h}"
    else
      fail "scale $scale: largest size not within the screen: $hints"
    fi
  fi
  kill -TERM "$held_pid"
  rc=0; wait "$held_pid" || rc=$?
  expect_eq "scale $scale: stopped run's exit status" 0 "$rc"
  expect_eq "scale $scale: nothing printed" "" "$(cat "$scratch/held/out")"
done

finish
