#!/usr/bin/env bash
# Starts the program under Xvfb on a private session and accessibility bus, on a list of three
# cues, and runs one check of tests/accessibility_probe.py against it ("play", "icons" or "table").
set -euo pipefail
build="$1"
check="$2"
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
scratch="$(mktemp -d)"
source "$repo/tests/support/xvfb.sh"
trap 'stop_xvfb; rm -rf "$scratch"' EXIT

export HOME="$scratch/home"
# The Documents folder is found through the configuration folder when that is set: keep both
# in the scratch home, so a desktop's real show is out of reach.
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share" \
  XDG_CACHE_HOME="$HOME/.cache" XDG_STATE_HOME="$HOME/.local/state"
audio="$HOME/Documents/audio"
mkdir -p "$audio"
for n in 1 2 3; do
  sox -n -r 48000 -c 2 -b 16 "$audio/tone$n.wav" synth 20 sine 440 vol 0.3
done
# Row 2: cut at the start, a fade in, no repeat, neither chaining option, half volume.
cat >"$HOME/Documents/cuevox.json" <<'EOF'
[
  {"fileName": "tone1.wav", "audioTitle": "First"},
  {"fileName": "tone2.wav", "audioTitle": "Second", "startTime": 0.0, "endTime": 15.0,
   "fadeIn": true, "fadeInLength": 0.1, "repeatCount": 0, "volumeLevel": 0.5},
  {"fileName": "tone3.wav", "audioTitle": "Third"}
]
EOF

export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_QPA_PLATFORM=xcb
start_xvfb
status=0
dbus-run-session -- bash -c '
  # Qt joins the accessibility bus once it is there; asking for its address starts it.
  dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus \
    org.a11y.Bus.GetAddress >/dev/null
  "$1" >"$2/program.log" 2>&1 &
  pid=$!
  trap "kill $pid 2>/dev/null || true" EXIT
  /usr/bin/python3 "$3" "$4"
' _ "$build/cuevox" "$scratch" "$repo/tests/accessibility_probe.py" "$check" \
  2> >(grep -v '^dbus-daemon\|SpiRegistry' >&2) || status=$?
if [ "$status" -ne 0 ]; then
  echo "program output:"; cat "$scratch/program.log" || true
  report_xvfb
fi
exit "$status"
