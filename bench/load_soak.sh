#!/usr/bin/env bash
# Eight cues playing from disk for five minutes through the sound server while 2 x nproc busy
# loops compete for the CPU; the sink's monitor is recorded throughout and searched for gaps.
# Prints the soak's counters (output underflows, decoder underruns) and the longest stretch of
# silence while the cues played. Run inside the soundbox: eval "$(scripts/soundbox.sh start)".
#   bench/load_soak.sh [SECONDS] [BUSY_LOOPS]     (after building: build/soak_bench)
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
secs="${1:-300}"
busy="${2:-$(( 2 * $(nproc) ))}"
scratch="$(mktemp -d)"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$scratch"; }
trap cleanup EXIT

parec -d soundbox.monitor --raw --latency-msec=20 --format=float32le --rate=48000 \
  --channels=2 >"$scratch/out.raw" &
pids+=($!)
for _ in $(seq "$busy"); do
  bash -c 'while :; do :; done' &
  pids+=($!)
done
"$repo/build/soak_bench" --benchmark_filter="BM_SoakFromDisk/seconds:$secs/cues:8" \
  --benchmark_counters_tabular=true 2>&1 | grep -v "^\*\*\*"
python3 - "$scratch/out.raw" <<'PY'
import array, sys
raw = open(sys.argv[1], "rb").read()
data = array.array("f")
data.frombytes(raw[: len(raw) // 8 * 8])
first = last = None
longest = run = 0
at = 0
# Silence counted only between the first and the last loud frame: the run's own start and end.
for i in range(0, len(data), 2):
    quiet = abs(data[i]) < 1e-4 and abs(data[i + 1]) < 1e-4
    if not quiet:
        if first is None:
            first = i
        last = i
        if run > longest:
            longest, at = run, i - 2 * run
        run = 0
    elif first is not None:
        run += 1
if first is None:
    print("no sound recorded")
    sys.exit(1)
print("recorded %.1f s of sound; longest silence inside it: %.2f ms, %.2f s into the sound" %
      ((last - first) / 2 / 48000, longest / 48.0, (at - first) / 2 / 48000))
PY
