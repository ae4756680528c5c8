#!/usr/bin/env bash
# The main window's outer heights under a real window manager (openbox in
# Xvfb), whose frame arrives only after the window is shown: 195 at start,
# frame included, and 675 after Connect with the whole frame on the screen.
#
#   window_frame_test.sh PATH/TO/mk27x-sp
#
# Exit status 77 (skipped) when Xvfb, xdotool, xprop, xwininfo or openbox is missing.
set -euo pipefail

program=${1:?"usage: window_frame_test.sh PATH/TO/mk27x-sp"}
for tool in Xvfb xdotool xprop xwininfo openbox; do command -v "$tool" >/dev/null || exit 77; done

work=$(mktemp -d)
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  [ -n "${main:-}" ] && echo "frame top and height: $(frame 2>/dev/null)" >&2
  tail -n 5 "$work/program.log" >&2 2>/dev/null || true
  exit 1
}
# shellcheck source=tests/x11/x11_common.sh
. "$(dirname "$0")/x11_common.sh"
start_xvfb xvfb_pid
pids+=("$xvfb_pid")
openbox --sm-disable >/dev/null 2>&1 &
pids+=($!)
wm_ready() { xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"; }
wait_for "the window manager starts" wm_ready

QT_QPA_PLATFORM=xcb "$program" --simulator >"$work/program.log" 2>&1 &
pids+=($!)
wait_for "the main window shows" xdotool search --onlyvisible --name 'MK27x-SP\(Setup program\)'
main=$(xdotool search --onlyvisible --name 'MK27x-SP\(Setup program\)' | head -n 1)
framed() { xprop -id "$main" -notype _NET_FRAME_EXTENTS | grep -q "= "; }
wait_for "the window is framed" framed

# The frame's top and height: the client's place and size plus the extents
# (left, right, top, bottom) the window manager announces. (xdotool's window
# position counts the frame twice under a reparenting window manager.)
frame() {
  local left right top bottom y h
  read -r left right top bottom < <(xprop -id "$main" -notype _NET_FRAME_EXTENTS |
    sed 's/.*= //; s/,//g')
  y=$(xwininfo -id "$main" | sed -n 's/.*Absolute upper-left Y: *//p')
  h=$(xwininfo -id "$main" | sed -n 's/^ *Height: *//p')
  echo "$((y - top)) $((h + top + bottom))"
}
outer_is() { [ "$(frame | cut -d' ' -f2)" = "$1" ]; }

wait_for "the window starts 195 high with its frame" outer_is 195
xdotool mousemove --window "$main" 278 19 click 1
wait_for "the window grows to 675 with its frame" outer_is 675
sleep 0.3
read -r top height < <(frame)
[ "$top" -ge 0 ] && [ $((top + height)) -le 1024 ] ||
  fail "the grown window reaches from $top to $((top + height)) on a 1024 high screen"
echo "window frame test passed: $height high from $top"
