#!/usr/bin/env bash
# Two builds of the program side by side under bench/idle_cpu.sh: RUNS rounds, each running A
# then B, so that both see the same machine. Prints each thread's median share of a core.
#   bench/compare_cpu.sh A_BINARY B_BINARY [RUNS] [CUES] [SECONDS] [play]
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
a="$1" b="$2" runs="${3:-3}" cues="${4:-200}" secs="${5:-20}" play="${6:-}"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
for run in $(seq "$runs"); do
  for side in a b; do
    bin="$a"
    [ "$side" = b ] && bin="$b"
    CUEVOX_BIN="$bin" bash "$repo/bench/idle_cpu.sh" "$cues" "$secs" $play >"$out/$side.$run"
  done
done
python3 - "$out" "$runs" "$a" "$b" <<'PY'
import re, statistics, sys
out, runs, names = sys.argv[1], int(sys.argv[2]), {"a": sys.argv[3], "b": sys.argv[4]}
shares = {"a": {}, "b": {}}
for side in shares:
    for run in range(1, runs + 1):
        for line in open("%s/%s.%d" % (out, side, run)):
            m = re.match(r"(\S+)\s+([\d.]+) % of a core", line)
            if m:
                shares[side].setdefault(m.group(1), []).append(float(m.group(2)))
            m = re.match(r"sound server\s+[\d.]+ % .*?,\s+([\d.]+) % with it running", line)
            if m:
                shares[side].setdefault("sound-server", []).append(float(m.group(1)))
print("A = %s\nB = %s\nmedians of %d runs of each, %% of a core (every run in brackets)" %
      (names["a"], names["b"], runs))
for thread in sorted(set(shares["a"]) | set(shares["b"]), key=lambda t: (t == "total", t)):
    cols = []
    for side in "ab":
        v = shares[side].get(thread, [])
        cols.append("%6.3f [%s]" % (statistics.median(v), " ".join("%.3f" % x for x in v))
                    if v else "%6s" % "-")
    ratio = ""
    va, vb = shares["a"].get(thread), shares["b"].get(thread)
    if va and vb and statistics.median(vb) > 0:
        ratio = "A/B %.2f" % (statistics.median(va) / statistics.median(vb))
    print("%-16s A %-36s B %-36s %s" % (thread, cols[0], cols[1], ratio))
PY
