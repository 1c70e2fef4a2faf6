#!/usr/bin/env bash
# What one cue playing costs: the program and the sound server together, RUNS rounds side by
# side with two others playing the same 60 s file, so that all see the same machine:
# - the GStreamer reference of bench/go_latency.py (filesrc ! wavparse ! pulsesink), the least
#   a player can spend;
# - a peer cue player, Debian's linux-show-player (GStreamer under a PyQt5 window, here under
#   Xvfb), from a show of one cue with its default pipeline, started through its own remote
#   control (XML-RPC on 127.0.0.1). Installed with apt-get when missing.
# Prints the medians, every run, and the program's own share. CUES is the show Cuevox plays the
# first cue of (default 1, like the peer's). Run inside the soundbox:
#   eval "$(scripts/soundbox.sh start)"; bench/one_cue_cpu.sh [RUNS] [SECONDS] [CUES]
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
runs="${1:-3}" secs="${2:-20}" cues="${3:-1}"
scratch="$(mktemp -d)"
gst="" lsp=""
source "$repo/tests/support/xvfb.sh"
trap '[ -n "$gst" ] && kill "$gst" 2>/dev/null; [ -n "$lsp" ] && kill "$lsp" 2>/dev/null; stop_xvfb; rm -rf "$scratch"' EXIT
server="$(cat "$XDG_RUNTIME_DIR/pulse/pid")"
hz="$(getconf CLK_TCK)"
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
sox -n -r 48000 -c 2 -b 16 "$scratch/tone.wav" synth 60 sine 300 vol 0.2

if ! command -v linux-show-player >/dev/null; then
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    --no-install-recommends linux-show-player gstreamer1.0-pulseaudio >&2
fi
lisp=/usr/lib/python3/dist-packages/lisp
# The peer's show: one cue on the file, with the pipeline its configuration gives a new cue.
python3 - "$scratch" "$lisp/default.cfg" <<'PY'
import configparser, json, sys
out, cfg = sys.argv[1], configparser.ConfigParser()
cfg.read(sys.argv[2])
pipe = ["UriInput"] + cfg["Gst"]["Pipeline"].replace(" ", "").split(",")
json.dump({"application": {"layout": "List Layout"}, "plugins": {},
           "cues": [{"_type_": "URIAudioCue", "id": "tone", "index": 0, "name": "tone",
                     "_media_": {"pipe": pipe,
                                 "elements": {"UriInput": {"uri": "file://%s/tone.wav" % out}}}}]},
          open("%s/show.lsp" % out, "w"))
PY
rpc() { python3 -c "import sys, xmlrpc.client
p = xmlrpc.client.ServerProxy('http://127.0.0.1:%s' % sys.argv[1])
print(p.get_cue_at(0).get('_media_', {}).get('duration', 0) if sys.argv[2] == 'ready' else p.execute(0))" "$@"; }

start_xvfb
for run in $(seq "$runs"); do
  bash "$repo/bench/idle_cpu.sh" "$cues" "$secs" play >"$scratch/cuevox.$run"

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

  # A fresh home each run: its configuration, with the remote control on the loopback only.
  home="$scratch/lsp-home.$run"
  mkdir -p "$home/.linux_show_player"
  port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
  sed -e 's/^BindIp = .*/BindIp = 127.0.0.1/' -e "s/^BindPort = .*/BindPort = $port/" \
    "$lisp/default.cfg" >"$home/.linux_show_player/config.cfg"
  HOME="$home" linux-show-player -f "$scratch/show.lsp" >"$scratch/lsp.$run.log" 2>&1 &
  lsp=$!
  ready=""
  for _ in $(seq 300); do
    [ "$(rpc "$port" ready 2>/dev/null || true)" -gt 0 ] 2>/dev/null && { ready=1; break; }
    sleep 0.1
  done
  if [ -z "$ready" ]; then
    echo "linux-show-player did not load its show:" >&2
    cat "$scratch/lsp.$run.log" >&2
    exit 1
  fi
  sleep 3  # settled, as the others are before their Go
  rpc "$port" go >/dev/null
  sleep 2
  p0=$(ticks "$lsp"); s0=$(ticks "$server")
  sleep "$secs"
  p1=$(ticks "$lsp"); s1=$(ticks "$server")
  kill "$lsp"
  wait "$lsp" 2>/dev/null || true
  lsp=""
  echo "$(( p1 - p0 )) $(( s1 - s0 ))" >"$scratch/lsp.$run"
done

python3 - "$scratch" "$runs" "$secs" "$hz" "$cues" <<'PY'
import re, statistics, sys
out, runs, secs, hz, cues = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4]), sys.argv[5]
rows = {"Cuevox": [], "Cuevox server": [], "GStreamer": [], "GStreamer server": [],
        "peer": [], "peer server": []}
for run in range(1, runs + 1):
    for line in open("%s/cuevox.%d" % (out, run)):
        m = re.match(r"total\s+([\d.]+) % of a core", line)
        if m:
            rows["Cuevox"].append(float(m.group(1)))
        m = re.match(r"sound server\s+[\d.]+ % .*?,\s+([\d.]+) % with it running", line)
        if m:
            rows["Cuevox server"].append(float(m.group(1)))
    for name, tag in (("GStreamer", "gst"), ("peer", "lsp")):
        p, s = map(float, open("%s/%s.%d" % (out, tag, run)).read().split())
        rows[name].append(p / hz / secs * 100)
        rows[name + " server"].append(s / hz / secs * 100)
print("one cue playing (Cuevox with %s cues loaded, the peer linux-show-player with 1), "
      "%% of a core, medians of %d runs of %g s (every run in brackets)" % (cues, runs, secs))
for name, values in rows.items():
    print("  %-18s %6.3f  %s" % (name, statistics.median(values),
                                 " ".join("%.3f" % v for v in values)))
both = {name: statistics.median([a + b for a, b in zip(rows[name], rows[name + " server"])])
        for name in ("Cuevox", "GStreamer", "peer")}
print("program + server: Cuevox %.3f, peer %.3f, GStreamer %.3f; Cuevox / peer %.2f, "
      "Cuevox / GStreamer %.2f (medians)" % (both["Cuevox"], both["peer"], both["GStreamer"],
                                            both["Cuevox"] / both["peer"],
                                            both["Cuevox"] / both["GStreamer"]))
print("the program's own share: Cuevox %.3f, peer %.3f, GStreamer %.3f %% of a core (medians)" % (
    statistics.median(rows["Cuevox"]), statistics.median(rows["peer"]),
    statistics.median(rows["GStreamer"])))
PY
