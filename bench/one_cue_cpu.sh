#!/usr/bin/env bash
# What one cue playing costs: the program and the sound server together, against the GStreamer
# reference of bench/go_latency.py (filesrc ! wavparse ! pulsesink) playing the same kind of
# file, RUNS rounds side by side so that both see the same machine. Prints the medians and the
# ratio. Run inside the soundbox: eval "$(scripts/soundbox.sh start)".
#   bench/one_cue_cpu.sh [RUNS] [SECONDS]
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
runs="${1:-3}" secs="${2:-20}"
scratch="$(mktemp -d)"
gst=""
trap '[ -n "$gst" ] && kill "$gst" 2>/dev/null; rm -rf "$scratch"' EXIT
server="$(cat "$XDG_RUNTIME_DIR/pulse/pid")"
hz="$(getconf CLK_TCK)"
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
sox -n -r 48000 -c 2 -b 16 "$scratch/tone.wav" synth 60 sine 300 vol 0.2

for run in $(seq "$runs"); do
  bash "$repo/bench/idle_cpu.sh" 1 "$secs" play >"$scratch/cuevox.$run"

  mkfifo "$scratch/in.$run"
  /usr/bin/python3 "$repo/bench/go_gst_player.py" "$scratch/tone.wav" <"$scratch/in.$run" \
    >"$scratch/gst.log" 2>&1 &
  gst=$!
  exec 3>"$scratch/in.$run"
  until grep -q ready "$scratch/gst.log"; do sleep 0.1; done
  echo go >&3
  sleep 2
  p0=$(ticks "$gst"); s0=$(ticks "$server")
  sleep "$secs"
  p1=$(ticks "$gst"); s1=$(ticks "$server")
  echo quit >&3
  exec 3>&-
  wait "$gst" 2>/dev/null || true
  gst=""
  echo "$(( p1 - p0 )) $(( s1 - s0 ))" >"$scratch/gst.$run"
done

python3 - "$scratch" "$runs" "$secs" "$hz" <<'PY'
import re, statistics, sys
out, runs, secs, hz = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
rows = {"Cuevox": [], "Cuevox server": [], "GStreamer": [], "GStreamer server": []}
for run in range(1, runs + 1):
    for line in open("%s/cuevox.%d" % (out, run)):
        m = re.match(r"total\s+([\d.]+) % of a core", line)
        if m:
            rows["Cuevox"].append(float(m.group(1)))
        m = re.match(r"sound server\s+[\d.]+ % .*?,\s+([\d.]+) % with it running", line)
        if m:
            rows["Cuevox server"].append(float(m.group(1)))
    p, s = map(float, open("%s/gst.%d" % (out, run)).read().split())
    rows["GStreamer"].append(p / hz / secs * 100)
    rows["GStreamer server"].append(s / hz / secs * 100)
print("one cue playing, %% of a core, medians of %d runs (every run in brackets)" % runs)
for name, values in rows.items():
    print("  %-18s %6.3f  %s" % (name, statistics.median(values),
                                 " ".join("%.3f" % v for v in values)))
cue = [a + b for a, b in zip(rows["Cuevox"], rows["Cuevox server"])]
ref = [a + b for a, b in zip(rows["GStreamer"], rows["GStreamer server"])]
print("program + server: Cuevox %.3f, GStreamer %.3f, ratio %.2f (medians)" % (
    statistics.median(cue), statistics.median(ref),
    statistics.median(cue) / statistics.median(ref)))
PY
