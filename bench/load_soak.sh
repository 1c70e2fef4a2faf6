#!/usr/bin/env bash
# Eight cues playing from disk for five minutes through the sound server under CPU load; the
# sink's monitor is recorded throughout and searched for gaps. Prints the soak's counters
# (output underflows, decoder underruns, how far positions strayed from the wall clock), the
# longest stretch of silence while the sound played, and the load average before and after.
# Run inside the soundbox: eval "$(scripts/soundbox.sh start)".
#   bench/load_soak.sh [SECONDS] [LOAD] [PLAYER]      (after building: build/soak_bench)
# SOAK_BENCH names another build of build/soak_bench, to compare two.
# LOAD: a number of busy loops (default 2 x nproc), in this session; or "build": a parallel
# build (-j2) of a clean copy of this tree, over and over, in a session of its own as a build
# in a terminal would be. PLAYER: "cuevox" (default), or "pacat", the reference: one tone
# through `pacat --latency-msec=20` under the same load (its underruns as pacat reports them);
# "pacat-rt": the same at the real-time priority Cuevox's audio thread asks for, so that what
# is left is the sound server's own doing.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
secs="${1:-300}"
load="${2:-$(( 2 * $(nproc) ))}"
player="${3:-cuevox}"
scratch="$(mktemp -d)"
pids=()
groups=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for g in "${groups[@]}"; do kill -- "-$g" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
if [ "$load" = build ]; then
  mkdir "$scratch/src"
  git -C "$repo" archive HEAD | tar -x -C "$scratch/src"
  setsid bash -c 'while :; do
      rm -rf "$1/b"
      cmake -S "$1/src" -B "$1/b" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null 2>&1
      cmake --build "$1/b" -j2 >/dev/null 2>&1
    done' _ "$scratch" &
  groups+=($!)
  sleep 20  # into the compiling
else
  for _ in $(seq "$load"); do
    bash -c 'while :; do :; done' &
    pids+=($!)
  done
fi

parec -d soundbox.monitor --raw --latency-msec=20 --format=float32le --rate=48000 \
  --channels=2 >"$scratch/out.raw" &
pids+=($!)
sleep 1
if [ "${player%-rt}" = pacat ]; then
  sox -n -r 48000 -c 2 -e floating-point -b 32 -t raw "$scratch/tone.raw" \
    synth "$secs" sine 330 vol 0.2
  rt=()
  [ "$player" = pacat-rt ] && rt=(chrt -f 4)
  "${rt[@]}" pacat -v --latency-msec=20 --raw --format=float32le --rate=48000 --channels=2 \
    "$scratch/tone.raw" 2>"$scratch/pacat.log" || true
  echo "pacat: $(grep -ci underrun "$scratch/pacat.log" || true) underruns reported"
else
  "${SOAK_BENCH:-$repo/build/soak_bench}" --benchmark_filter="BM_SoakFromDisk/seconds:$secs/cues:8" \
    --benchmark_counters_tabular=true 2>&1 | grep -v "^\*\*\*"
fi
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
python3 - "$scratch/out.raw" <<'PY'
import array, sys
raw = open(sys.argv[1], "rb").read()
data = array.array("f")
data.frombytes(raw[: len(raw) // 8 * 8])
first = last = None
longest = run = 0
at = 0
gaps = 0
# Silence counted only between the first and the last loud frame: the run's own start and end.
for i in range(0, len(data), 2):
    quiet = abs(data[i]) < 1e-4 and abs(data[i + 1]) < 1e-4
    if not quiet:
        if first is None:
            first = i
        last = i
        if run > longest:
            longest, at = run, i - 2 * run
        if run >= 48:  # 1 ms: longer than any zero crossing of these tones
            gaps += 1
        run = 0
    elif first is not None:
        run += 1
if first is None:
    print("no sound recorded")
    sys.exit(1)
print("recorded %.1f s of sound; %d silences of 1 ms or more; longest: %.2f ms, %.2f s in" %
      ((last - first) / 2 / 48000, gaps, longest / 48.0, (at - first) / 2 / 48000))
PY
