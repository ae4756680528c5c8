# Shared by the X11 tests (sourced): the scratch folder, polling, the virtual
# X server and the program under test. The sourcing script defines fail().

# Makes the scratch folder $work; at exit the program ($program_pid) and the X
# server ($xvfb_pid) are killed if they still run and the folder is removed.
make_work() {
  work=$(mktemp -d)
  xvfb_pid=""
  program_pid=""
  trap remove_work EXIT
}

remove_work() {
  [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}

# Polls a command for up to 20 s (a safety net: nothing waits for it on success).
wait_for() {
  local what=$1
  shift
  for _ in $(seq 400); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.05
  done
  fail "$what"
}

# Starts Xvfb on a free display (1280 x 1024) and exports DISPLAY; prints the
# server's process id into the variable named by $1.
start_xvfb() {
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
  printf -v "$1" '%s' $!
  wait_for "the X server starts" test -s "$work/display"
  export DISPLAY=":$(cat "$work/display")"
}

# Starts $program with the arguments given on the X server (xcb), its output
# in $work/program.log; its process id in $program_pid.
start_program() {
  export QT_QPA_PLATFORM=xcb
  "$program" "$@" >"$work/program.log" 2>&1 &
  program_pid=$!
}
