#!/usr/bin/env bash
# A private sound server with one null sink, so that what Cuevox plays through its real
# output path (the server's client library, or PortAudio -> ALSA "default" -> the server) can be
# recorded on a machine with no sound card. SOUNDBOX_SERVER picks the server: pulseaudio
# (default) or pipewire (PipeWire with WirePlumber and its pulse protocol server), which most
# desktops run.
#   soundbox.sh start            start it (idempotent) and print the env lines to eval
#   soundbox.sh record FILE SECS record the sink's output to a 48 kHz float WAV
#   soundbox.sh stop
#   soundbox.sh freeze|thaw       stop (SIGSTOP) or continue the server: a hung server
set -euo pipefail
RT="${SOUNDBOX_DIR:-/tmp/cuevox-soundbox-$(id -u)}"
SERVER="${SOUNDBOX_SERVER:-pulseaudio}"
envlines() { echo "export XDG_RUNTIME_DIR=$RT PULSE_SERVER=unix:$RT/pulse/native"; }
# The server's processes, one pid a line (PipeWire's three; PulseAudio's one).
pids() {
  if [ -f "$RT/soundbox.pids" ]; then cat "$RT/soundbox.pids"; else cat "$RT/pulse/pid"; fi
}
start_pipewire() {
  export PIPEWIRE_RUNTIME_DIR="$RT" DISABLE_RTKIT=1
  # A session bus of its own: WirePlumber wants one, and the desktop's must not see this one.
  dbus-daemon --session --fork --address="unix:path=$RT/bus" --print-pid >"$RT/bus.pid"
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$RT/bus"
  : >"$RT/soundbox.pids"
  for program in pipewire wireplumber pipewire-pulse; do
    setsid "$program" >>"$RT/pipewire.log" 2>&1 </dev/null &
    echo $! >>"$RT/soundbox.pids"
    sleep 0.3
  done
  for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
  pactl load-module module-null-sink sink_name=soundbox rate=48000 channels=2 >&2
  for _ in $(seq 50); do pactl list short sinks | grep -q soundbox && break; sleep 0.1; done
}
case "${1:-}" in
  start)
    mkdir -p "$RT"; chmod 700 "$RT"
    export XDG_RUNTIME_DIR="$RT"
    unset PULSE_SERVER
    if ! pactl info >/dev/null 2>&1 && [ "$SERVER" = pipewire ]; then
      start_pipewire
      pactl set-default-sink soundbox >&2
    elif ! pactl info >/dev/null 2>&1; then
      pulseaudio --daemonize=yes --exit-idle-time=-1 --disallow-exit -n \
        --load="module-null-sink sink_name=soundbox rate=48000 channels=2" \
        --load="module-native-protocol-unix" --log-target=file:"$RT/pulse.log" >&2
      for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
      # The server lowers its own nice level to -11, as desktops let it (RealtimeKit), but it
      # daemonizes into a session of its own, and with autogroup scheduling a nice level
      # counts only inside its session: against a build in another session the server ran as
      # nice 0, and its main thread (which talks to every client) sat runnable for up to a
      # second at a time while compilers ran. Its session gets that weight, so that the nice
      # level counts as it does without session groups. Allowed to root; else left as is.
      pid="$(cat "$RT/pulse/pid" 2>/dev/null || true)"
      [ -n "$pid" ] && echo -11 2>/dev/null >"/proc/$pid/autogroup" || true
      pactl set-default-sink soundbox >&2
      # A null sink that nothing listens to idles in its largest blocks (2 s), and takes a new
      # stream only when the block ends: 0.1 to 2 s after the stream is ready, where a sound
      # card's sink starts it at once. A listener of its own (20 ms, 50 wakeups a second)
      # keeps it as a device would be; the tests' own recorders still ask for less.
      setsid parec -d soundbox.monitor --raw --latency-msec=20 >/dev/null 2>&1 </dev/null &
      echo $! >"$RT/listener.pid"
    fi
    envlines ;;
  env) envlines ;;
  record)
    export XDG_RUNTIME_DIR="$RT"
    out="$2"; secs="$3"; raw="$out.raw"
    timeout -s INT "$secs" parec -d soundbox.monitor --raw --latency-msec=10 \
      --format=float32le --rate=48000 --channels=2 >"$raw" || true
    sox -t raw -r 48000 -e floating-point -b 32 -c 2 "$raw" "$out" && rm -f "$raw" ;;
  stop)
    export XDG_RUNTIME_DIR="$RT"
    if [ -f "$RT/soundbox.pids" ]; then
      # Started by this script, by pid: nothing else of the same name is touched.
      for pid in $(cat "$RT/soundbox.pids") $(cat "$RT/bus.pid" 2>/dev/null); do
        kill -CONT "$pid" 2>/dev/null || true; kill "$pid" 2>/dev/null || true
      done
      rm -f "$RT/soundbox.pids" "$RT/bus.pid"
      for _ in $(seq 50); do [ -S "$RT/pulse/native" ] && pactl info >/dev/null 2>&1 || break; sleep 0.1; done
    else
      [ -f "$RT/listener.pid" ] && kill "$(cat "$RT/listener.pid")" 2>/dev/null || true
      rm -f "$RT/listener.pid"
      pulseaudio --kill 2>/dev/null || true
    fi ;;
  freeze) for pid in $(pids); do kill -STOP "$pid"; done ;;
  thaw) for pid in $(pids); do kill -CONT "$pid"; done ;;
  *) sed -n '2,13p' "$0"; exit 2 ;;
esac
