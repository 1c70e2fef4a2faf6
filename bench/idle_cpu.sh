#!/usr/bin/env bash
# Idle CPU of the real program as an operator runs it: a list of CUES cues (default 500) on
# generated files, the window up under Xvfb, nothing playing. Samples each thread's scheduler
# time over SECONDS (default 20) after a settling pause and prints the share of a core by thread.
# With a sound server up (scripts/soundbox.sh) it plays through the device, else on the clock.
#   bench/idle_cpu.sh [CUES] [SECONDS]     (after building: build/cuevox)
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cues="${1:-500}"
secs="${2:-20}"
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
python3 - "$cues" "$HOME/Documents/cuevox.json" <<'PY'
import json, sys
count, path = int(sys.argv[1]), sys.argv[2]
json.dump([{"fileName": "tone%d.wav" % (i % 10), "audioTitle": "Cue %d" % (i + 1)}
           for i in range(count)], open(path, "w"))
PY

start_xvfb
"$repo/build/cuevox" >"$scratch/program.log" 2>&1 &
pid=$!

snapshot() {
  for task in /proc/"$pid"/task/*; do
    echo "$(cat "$task/comm")|$(cut -d' ' -f1 "$task/schedstat")"
  done
}
sleep 5
snapshot >"$scratch/before"
sleep "$secs"
snapshot >"$scratch/after"
head -n 1 "$scratch/program.log" || true
python3 - "$scratch/before" "$scratch/after" "$secs" "$cues" <<'PY'
import sys
def load(path):
    used = {}
    for line in open(path):
        name, ns = line.rstrip("\n").rsplit("|", 1)
        used[name] = used.get(name, 0) + int(ns)
    return used
before, after, secs, cues = load(sys.argv[1]), load(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
total = 0
for name in sorted(after):
    used = after[name] - before.get(name, 0)
    total += used
    if used > 0:
        print("%-16s %6.3f %% of a core" % (name, used / secs / 1e7))
print("%-16s %6.3f %% of a core, idle with %s cues over %g s" % ("total", total / secs / 1e7,
                                                               cues, secs))
PY
