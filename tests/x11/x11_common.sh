# Shared by the X11 tests (sourced): polling and the virtual X server. The
# sourcing script defines fail() and the folder $work.

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
