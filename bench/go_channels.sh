#!/usr/bin/env bash
# Go latency and idle cost on a stereo sink and on an eight-channel one, one after the other in
# one run (the eight-channel sink is made for the run and made the default, as an operator's
# multi-channel interface would be). Both are recorded in stereo: the eight-channel monitor
# recorded whole in 1 ms fragments arrives tens of ms late for every stream, a warm pacat as
# much as Cuevox, which says nothing about either. The cue is on the first two channels, which
# the server folds into the stereo recording (the frames-skipped count means nothing there).
# Run inside the soundbox: eval "$(scripts/soundbox.sh start)".
#   bench/go_channels.sh [TRIALS] [ROUNDS]
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
trials="${1:-20}" rounds="${2:-2}"
module="$(pactl load-module module-null-sink sink_name=eight rate=48000 channels=8)"
trap 'pactl set-default-sink soundbox; pactl unload-module "$module"' EXIT
for round in $(seq "$rounds"); do
  for sink in soundbox eight; do
    channels=2
    [ "$sink" = eight ] && channels=8
    pactl set-default-sink "$sink"
    echo "== round $round, $sink ($channels channels)"
    /usr/bin/python3 "$repo/bench/go_latency.py" --trials "$trials" --cold 0 --no-key --bed \
      --sink "$sink" | grep -E '^(Cuevox|pacat)' | grep -v ' / '
    bash "$repo/bench/idle_cpu.sh" 200 10 | grep -E '^(total|sound server)'
  done
done
