#!/usr/bin/env bash
# Drives mk27x-monitor as an operator would: a real X server (Xvfb), the real
# program against its built-in virtual sensors A and B, and xdotool's mouse and
# keyboard. A channel typed (a refused expression first, by mouse into the
# field; then by keyboard), Connect all and Record by their mnemonics, the file
# dialog a typed path and Return, Stop and Statistics by mouse, the statistics
# box closed with Return, Start and Stop by F5 and Shift+F5, Ctrl+Q to quit.
#
#   monitor_operator_test.sh PATH/TO/mk27x-monitor
#
# Exit status 77 (skipped) when Xvfb or xdotool is missing.
set -euo pipefail

program=${1:?"usage: monitor_operator_test.sh PATH/TO/mk27x-monitor"}
command -v Xvfb >/dev/null && command -v xdotool >/dev/null || exit 77

# shellcheck source=tests/x11/x11_common.sh
. "$(dirname "$0")/x11_common.sh"
make_work

fail() {
  echo "FAIL: $*" >&2
  [ -f "$work/program.log" ] && cat "$work/program.log" >&2
  exit 1
}

start_xvfb xvfb_pid
start_program --simulator
wait_for "the monitor window shows" xdotool search --onlyvisible --name '^MK27x-SP Monitor$'
main=$(xdotool search --onlyvisible --name '^MK27x-SP Monitor$' | head -n 1)

titled() {
  local id
  for id in $(xdotool search --onlyvisible --classname mk27x-monitor 2>/dev/null); do
    [ "$(xdotool getwindowname "$id" 2>/dev/null)" = "$1" ] && echo "$id"
  done
  return 0
}
shown() { [ -n "$(titled "$1")" ]; }
gone() { ! shown "$1"; }
click() { xdotool mousemove --window "$main" "$1" "$2" click 1; }
lines() { wc -l <"$1"; }
more_lines_than() { [ -f "$2" ] && [ "$(lines "$2")" -gt "$1" ]; }

# A channel: by mouse into its field, a refused expression that Return does not
# take (the CSV's columns show it); then by keyboard, Alt+N to the field and
# the good one.
click 859 248
xdotool type --delay 2 "d = A - * B"
xdotool key Return
xdotool key alt+n ctrl+a
xdotool type --delay 2 "d = A - B"
xdotool key Return

# Connect all (Alt+C), then Record (Alt+O): the file dialog takes a typed path.
# Record is offered once the sensors are connected: pressed again until the
# dialog shows (a key that lands while the window is busy connecting is lost).
xdotool key alt+c
record_dialog() {
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    xdotool key alt+o
    for _ in $(seq 20); do
      shown 'Record to CSV' && return 0
      sleep 0.1
    done
  done
  fail "the record dialog shows"
}
record_dialog
xdotool key ctrl+a
xdotool type --delay 2 "$work/run.csv"
xdotool key Return
wait_for "the rows are recorded" more_lines_than 500 "$work/run.csv"

# Stop by mouse: the file is complete and grows no more.
click 136 396
sleep 0.3
size=$(stat -c %s "$work/run.csv")
sleep 0.5
[ "$(stat -c %s "$work/run.csv")" = "$size" ] || fail "the CSV grows after Stop"
[ "$(head -n 1 "$work/run.csv")" = $'index,time,seconds,A,B,d\r' ] ||
  fail "the CSV's columns: $(head -n 1 "$work/run.csv")"
# Every row: d = A - B to the last decimal (an empty cell only at the edges).
awk -F, 'NR > 1 && $4 != "" && $5 != "" {
  d = $4 - $5 - $6; if (d < -0.0015 || d > 0.0015) { print "row " NR ": " $0; bad = 1 }
} END { exit bad }' "$work/run.csv" || fail "a row's channel is not A - B"

# Statistics by mouse; Return closes the box.
click 318 396
wait_for "the statistics show" shown 'Statistics'
xdotool key Return
wait_for "Return closes the statistics" gone 'Statistics'

# The focus back in the window by a click on the table; start and stop by
# keyboard, then quit with Ctrl+Q: the program ends cleanly.
click 332 145
xdotool key F5
sleep 0.5
xdotool key shift+F5
sleep 0.2
xdotool key ctrl+q
for _ in $(seq 100); do
  kill -0 "$program_pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$program_pid" 2>/dev/null && fail "Ctrl+Q does not end the program"
status=0
wait "$program_pid" || status=$?
program_pid=""
[ "$status" = 0 ] || fail "the program ended with $status"
echo "monitor operator test passed: $(($(lines "$work/run.csv") - 1)) rows recorded"
