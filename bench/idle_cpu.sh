#!/usr/bin/env bash
# Idle CPU of the real program as an operator runs it: a list of CUES cues (default 500) on
# generated files, the window up under Xvfb, nothing playing. Samples each thread's scheduler
# time over SECONDS (default 20) after a settling pause and prints the share of a core by thread.
# With a sound server up (scripts/soundbox.sh) it plays through the device, else on the clock,
# and the server's own CPU is measured too: over the same time before the program starts, and
# while it runs. With "play" as third argument the first cue (a minute long) plays through the
# measurement, started with the Space key: the cost of one cue playing. Each thread's wake-ups
# (voluntary context switches: each is a sleep that ended) are counted over the same time.
# CUEVOX_BIN names another build of the program, to compare two side by side.
#   bench/idle_cpu.sh [CUES] [SECONDS] [play]     (after building: build/cuevox)
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cues="${1:-500}"
secs="${2:-20}"
play="${3:-}"
scratch="$(mktemp -d)"
source "$repo/tests/support/xvfb.sh"
trap 'kill "$pid" 2>/dev/null || true; stop_xvfb; rm -rf "$scratch"' EXIT
pid=""

export HOME="$scratch/home"
# The Documents folder is found through the configuration folder when that is set: keep both
# in the scratch home, so a desktop's real show is out of reach.
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share" \
  XDG_CACHE_HOME="$HOME/.cache" XDG_STATE_HOME="$HOME/.local/state"
mkdir -p "$HOME/Documents/audio"
for n in $(seq 0 9); do
  sox -n -r 48000 -c 2 -b 16 "$HOME/Documents/audio/tone$n.wav" synth 5 sine $((300 + 40 * n)) vol 0.2
done
[ -n "$play" ] && sox -n -r 48000 -c 2 -b 16 "$HOME/Documents/audio/tone0.wav" synth 60 sine 300 vol 0.2
python3 - "$cues" "$HOME/Documents/cuevox.json" <<'PY'
import json, sys
count, path = int(sys.argv[1]), sys.argv[2]
json.dump([{"fileName": "tone%d.wav" % (i % 10), "audioTitle": "Cue %d" % (i + 1)}
           for i in range(count)], open(path, "w"))
PY

server=""
[ -n "${XDG_RUNTIME_DIR:-}" ] && [ -f "$XDG_RUNTIME_DIR/pulse/pid" ] && server="$(cat "$XDG_RUNTIME_DIR/pulse/pid")"
server_ticks() { awk '{print $14 + $15}' "/proc/$server/stat"; }
if [ -n "$server" ]; then
  s0=$(server_ticks); sleep "$secs"; s1=$(server_ticks)
  server_closed=$(( s1 - s0 ))
fi

start_xvfb
"${CUEVOX_BIN:-$repo/build/cuevox}" >"$scratch/program.log" 2>&1 &
pid=$!

# The main thread is the GUI thread; it is named after the executable, which a copy renames.
snapshot() {
  for task in /proc/"$pid"/task/*; do
    name="$(cat "$task/comm")"
    [ "${task##*/}" = "$pid" ] && name="GUI"
    echo "$name|$(cut -d' ' -f1 "$task/schedstat")|$(awk '/^voluntary_ctxt_switches/ {print $2}' "$task/status")"
  done
}
sleep 5
if [ -n "$play" ]; then
  # No window manager: focus the main window, select the first row, Go.
  main="$(xdotool search --pid "$pid" --name '^Cuevox$' | while read -r w; do
    echo "$(xdotool getwindowgeometry "$w" | awk '/Geometry/ {split($2, g, "x"); print g[1] * g[2]}') $w"
  done | sort -n | tail -n 1 | cut -d' ' -f2)"
  xdotool windowfocus --sync "$main" key Down
  sleep 0.3
  xdotool key space
  sleep 2
fi
snapshot >"$scratch/before"
[ -n "$server" ] && s0=$(server_ticks)
sleep "$secs"
snapshot >"$scratch/after"
if [ -n "$server" ]; then
  s1=$(server_ticks)
  hz=$(getconf CLK_TCK)
  python3 -c "import sys; c, o, s, hz = map(float, sys.argv[1:]); print('sound server     %6.3f %% of a core with the program closed, %6.3f %% with it running' % (c / hz / s * 100, o / hz / s * 100))" "$server_closed" "$(( s1 - s0 ))" "$secs" "$hz"
fi
head -n 1 "$scratch/program.log" || true
python3 - "$scratch/before" "$scratch/after" "$secs" "$cues" $play <<'PY'
import sys
def load(path):
    used = {}
    for line in open(path):
        name, ns, woken = line.rstrip("\n").split("|")
        ns0, woken0 = used.get(name, (0, 0))
        used[name] = (ns0 + int(ns), woken0 + int(woken))
    return used
before, after, secs, cues = load(sys.argv[1]), load(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
total = wakeups = 0
for name in sorted(after):
    used = after[name][0] - before.get(name, (0, 0))[0]
    woken = after[name][1] - before.get(name, (0, 0))[1]
    total += used
    wakeups += woken
    if used > 0:
        print("%-16s %6.3f %% of a core %7.1f wakeups/s" % (name, used / secs / 1e7, woken / secs))
print("%-16s %6.3f %% of a core, %s with %s cues over %g s" % (
    "total", total / secs / 1e7, "one playing" if len(sys.argv) > 5 else "idle", cues, secs))
print("%-16s %7.1f a second" % ("wakeups", wakeups / secs))
PY
