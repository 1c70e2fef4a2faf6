# Sourced by the scripts that need an X display. start_xvfb starts a private Xvfb and exports
# its DISPLAY once the server answers; the script's EXIT trap calls stop_xvfb.
#
# The server chooses its own display number (-displayfd) under its own lock, so two test runs,
# or a server that is starting or stopping beside us, can never be handed the same number; a
# number guessed from outside, before the server starts, races with both.

xvfb_pid=""
xvfb_log=""

# What the server said, and whether it still runs: for a script's failure report.
report_xvfb() {
  echo "Xvfb on ${DISPLAY:-?}: $(kill -0 "$xvfb_pid" 2>/dev/null && echo running || echo gone)"
  [ -z "$xvfb_log" ] || cat "$xvfb_log"
}

stop_xvfb() {
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
    xvfb_pid=""
  fi
  [ -z "$xvfb_log" ] || rm -f "$xvfb_log"
}

# start_xvfb [screen geometry, default 1280x800x24] [more server options]
start_xvfb() {
  local geometry="${1:-1280x800x24}"
  local numfile
  numfile="$(mktemp)"
  xvfb_log="$(mktemp)"
  # fd 3 gets the number, written once the server listens. Without -noreset the server resets
  # when its last client leaves, as the readiness check below does, and a program connecting
  # during that reset can be turned away.
  Xvfb -displayfd 3 -screen 0 "$geometry" -nolisten tcp -noreset "${@:2}" 3>"$numfile" 2>"$xvfb_log" &
  xvfb_pid=$!
  local number=""
  for _ in $(seq 200); do
    number="$(tr -dc '0-9' <"$numfile")"
    # The number ends with a line feed: a partly written number is not taken.
    if [ -n "$number" ] && [ "$(tail -c 1 "$numfile" | od -An -c | tr -d ' ')" = '\n' ]; then
      break
    fi
    number=""
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.05
  done
  rm -f "$numfile"
  if [ -z "$number" ]; then
    echo "Xvfb did not start" >&2
    report_xvfb >&2
    stop_xvfb
    return 1
  fi
  export DISPLAY=":$number"
  for _ in $(seq 100); do
    xdotool getdisplaygeometry >/dev/null 2>&1 && return 0
    sleep 0.05
  done
  echo "Xvfb on $DISPLAY does not answer" >&2
  report_xvfb >&2
  stop_xvfb
  return 1
}
