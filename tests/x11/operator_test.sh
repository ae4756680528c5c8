#!/usr/bin/env bash
# Drives mk27x-sp as an operator would: a real X server (Xvfb), the real
# program against its built-in virtual sensor, and xdotool's mouse and keyboard.
# Menus are worked by keyboard, file dialogs take a typed path and Return,
# message boxes take Return for their default button and Escape for Cancel.
#
#   operator_test.sh PATH/TO/mk27x-sp
#
# Exit status 77 (skipped) when Xvfb or xdotool is missing.
set -euo pipefail

program=${1:?"usage: operator_test.sh PATH/TO/mk27x-sp"}
command -v Xvfb >/dev/null && command -v xdotool >/dev/null || exit 77

# shellcheck source=tests/x11/x11_common.sh
. "$(dirname "$0")/x11_common.sh"
make_work

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

start_xvfb xvfb_pid
start_program --simulator
wait_for "the main window shows" xdotool search --onlyvisible --name 'MK27x-SP\(Setup program\)'
main=$(xdotool search --onlyvisible --name 'MK27x-SP\(Setup program\)' | head -n 1)

height() { xdotool getwindowgeometry "$main" | sed -n 's/.*Geometry: [0-9]*x\([0-9]*\).*/\1/p'; }
height_is() { [ "$(height)" = "$1" ]; }
# The visible windows with exactly this title, one id a line.
titled() {
  local id
  for id in $(xdotool search --onlyvisible --class mk27x-sp 2>/dev/null); do
    [ "$(xdotool getwindowname "$id" 2>/dev/null)" = "$1" ] && echo "$id"
  done
  return 0
}
shown() { [ -n "$(titled "$1")" ]; }
gone() { ! shown "$1"; }
click() { xdotool mousemove --window "$main" "$1" "$2" click "${3:-1}"; }
# A right-click at x, y until the context menu shows (a click that lands while
# the window is still busy with the last box is not repeated by the toolkit).
open_menu() {
  for _ in 1 2 3 4 5; do
    click "$1" "$2" 3
    for _ in $(seq 40); do
      shown 'MK27x-SP' && return 0
      sleep 0.05
    done
  done
  fail "the context menu at $1, $2 opens"
}

# Connect: the window grows to its full height.
click 278 19
wait_for "the window grows after Connect" height_is 675

# "Default" from the grid's menu by keyboard (the third item from the end);
# Escape cancels the confirmation.
open_menu 100 140
xdotool key Up Up Up Return
wait_for "the restore confirmation shows" shown 'MK271-SP.'
xdotool key Escape
wait_for "Escape cancels the confirmation" gone 'MK271-SP.'

# "Write to FLASH": Return confirms, then Return closes the outcome.
open_menu 100 140
xdotool key Up Up Up Up Return
wait_for "the FLASH confirmation shows" shown 'MK271-SP.'
first=$(titled 'MK271-SP.')
xdotool key Return
another() { titled 'MK271-SP.' | grep -vxq "$first"; }
wait_for "the FLASH outcome follows" another
xdotool key Return
wait_for "Return closes the outcome" gone 'MK271-SP.'

# The keyboard out of the grid: Tab goes from cell to cell, Ctrl+Tab on to the
# port lists and Tab from there past Connect and Measure to Stream; back from
# the grid, Ctrl+Shift+Tab and Shift+Tab pass "<<", "Load Clbr File" and Teach.
for keys in "Tab Tab Tab ctrl+Tab Tab Tab Tab Tab Tab" \
  "Tab ctrl+shift+Tab shift+Tab shift+Tab shift+Tab"; do
  click 100 140
  # shellcheck disable=SC2086
  xdotool key $keys space
  wait_for "Stream starts by keyboard ($keys)" height_is 195
  sleep 0.5  # the shrinking ends a tick after the last height
  xdotool key space
  wait_for "Stream stops by keyboard ($keys)" height_is 675
  sleep 0.5
done

# A recording: Stream start shrinks the window, Stream stop grows it again.
click 319 51
wait_for "the window shrinks for the stream" height_is 195
sleep 0.5
click 319 51
wait_for "the window grows after the stream" height_is 675

# Save it from the chart's menu into a typed path.
open_menu 450 300
xdotool key Down Return
wait_for "the save dialog opens" shown 'Save As'
xdotool type --delay 2 "$work/samples.txt"
xdotool key Return
wait_for "the samples are saved" test -s "$work/samples.txt"
grep -qvP '^-?[0-9]+\.[0-9]{3}\r$' "$work/samples.txt" && fail "a line is not a distance"

# Load Clbr File: a typed path and Return; the Russian success message.
{
  echo "calibration table"
  for i in $(seq 0 15899); do printf '%-17s%d\n' "#$i" "$i"; done
} >"$work/table.tbl"
sleep 0.5
click 319 84
wait_for "the open dialog shows" shown 'Open'
xdotool key ctrl+a
xdotool type --delay 2 "$work/table.tbl"
xdotool key Return
wait_for "the upload reports success" shown 'Сообщение...'
xdotool key Return
wait_for "Return closes the report" gone 'Сообщение...'

# Disconnect: back to the minimum height.
click 278 19
wait_for "the window shrinks after Disconnect" height_is 195

kill -0 "$program_pid" || fail "the program ended early"
echo "operator test passed: $(wc -l <"$work/samples.txt") samples saved"
