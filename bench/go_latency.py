#!/usr/bin/python3
"""End-to-end Go latency: from the trigger to the first sample leaving the sound server,
measured at the null sink's monitor, for Cuevox and two references in the same run.

  Cuevox play()   build/go_trigger_bench, the engine the program plays through
  Cuevox key      the real program under Xvfb with 200 cues, Space sent through XTest
  pacat           a warm `pacat --latency-msec=5` stream fed silence, the cue written at Go
  GStreamer       filesrc ! wavparse ! pulsesink, built in advance, set PLAYING at Go

The recorder is `parec` on the sink's monitor with 1 ms fragments; each chunk is stamped on
arrival, and the first loud sample counts from its chunk's arrival (the null sink renders a
little ahead of time, so frames later in a chunk say nothing about when earlier ones left). The
monitor's own delay is the same for every subject. The cue's right channel carries its frame
numbers, so every trial also says how many frames of the cue's start were never heard
("skipped"); the bed under --bed is on the left channel only. Run inside the soundbox: eval "$(scripts/soundbox.sh start)".

  bench/go_latency.py [--build build] [--trials 20] [--cold 60] [--gap S] [--latency MS] [--no-key] [--bed] [--record-ms 10]
--bed: also Cuevox play() firing its cue while another cue plays quietly (Go in a running show).
Needs python3-xlib, python3-gi, gir1.2-gstreamer-1.0, gstreamer1.0-pulseaudio, Xvfb.
"""
import argparse
import json
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import wave

RATE = 48000
FRAME = 8  # float32 stereo; float32 times --sink-channels
THRESHOLD = 0.05
# The right channel's frame numbers run 1 ... COUNT, then again from 1.
COUNT = 32767


class Recorder:
    def __init__(self, sink, latency_ms=1):
        # In the sink's own channel count, so that nothing is mixed down on the way: the
        # first two channels are the cue's.
        self.proc = subprocess.Popen(
            ["parec", "-d", sink + ".monitor", "--raw", f"--latency-msec={latency_ms}",
             "--format=float32le", f"--rate={RATE}", f"--channels={FRAME // 4}"],
            stdout=subprocess.PIPE, bufsize=0)
        self.chunks = []  # (arrival ns, first frame index, frame count)
        self.data = bytearray()
        self.lock = threading.Lock()
        threading.Thread(target=self._read, daemon=True).start()
        while not self.chunks:
            time.sleep(0.01)

    def _read(self):
        fd = self.proc.stdout.fileno()
        pending = b""
        while True:
            block = os.read(fd, 65536)
            now = time.monotonic_ns()
            if not block:
                return
            pending += block
            whole = len(pending) // FRAME * FRAME
            with self.lock:
                first = len(self.data) // FRAME
                self.data += pending[:whole]
                self.chunks.append((now, first, whole // FRAME))
            pending = pending[whole:]

    def first_sound_after(self, t_ns, timeout=2.0):
        """Time (ns) of the first loud frame that arrived after t_ns, and its frame number
        (right channel), as (time, number); None when nothing came."""
        deadline = time.monotonic() + timeout
        start_chunk = None
        while time.monotonic() < deadline:
            with self.lock:
                chunks = list(self.chunks)
                data = bytes(self.data)
            if start_chunk is None:
                start_chunk = next((i for i, c in enumerate(chunks) if c[0] > t_ns), None)
            if start_chunk is not None:
                for arrival, first, count in chunks[start_chunk:]:
                    for k in range(count):
                        off = (first + k) * FRAME
                        left, right = struct.unpack_from("<ff", data, off)
                        if abs(left) > THRESHOLD:
                            return arrival, round(right * 32768)
                start_chunk = len(chunks)
            time.sleep(0.005)
        return None

    def close(self):
        self.proc.terminate()
        self.proc.wait()


def cue_frame(i, numbered=True):
    """Frame i of the cue: a 100 Hz square at 0.5 on the left, loud from its first frame on,
    and the frame's number on the right (or silence there)."""
    left = 16384 if (i // (RATE // 200)) % 2 == 0 else -16384
    return left, (i % COUNT + 1 if numbered else 0)


def write_square(path, seconds=2.0, numbered=True):
    frames = int(seconds * RATE)
    body = b"".join(struct.pack("<hh", *cue_frame(i, numbered)) for i in range(frames))
    with wave.open(path, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(body)


class LineDriver:
    """A subprocess that takes one command a line and answers with lines."""

    def __init__(self, argv, env=None):
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True, bufsize=1, env=env)

    def ask(self, line, prefix):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        while True:
            answer = self.proc.stdout.readline()
            if not answer:
                raise RuntimeError(f"{line}: driver ended")
            if answer.startswith(prefix):
                return answer.split()

    def wait_for(self, prefix):
        while True:
            answer = self.proc.stdout.readline()
            if not answer or answer.startswith(prefix):
                return answer.split()

    def close(self):
        try:
            self.proc.stdin.write("quit\n")
            self.proc.stdin.flush()
        except BrokenPipeError:
            pass
        self.proc.wait(timeout=10)


class CuevoxPlay:
    name = "Cuevox play()"

    def __init__(self, build, cue, start=0.0, latency=None, bed=None):
        argv = [os.path.join(build, "go_trigger_bench")]
        if latency:
            argv.append(str(latency))
        self.driver = LineDriver(argv)
        self.driver.ask(f"open {cue} {start}", "ready")
        if bed:
            # Below the threshold: only the cue's onset is heard as its start. It plays for
            # 1.5 s before each Go and stops with the cue, leaving the sink free between.
            self.driver.ask(f"bed {bed}", "bed")
        self.underruns = 0

    def go(self):
        return int(self.driver.ask("go", "t ")[1])

    def stop(self):
        answer = self.driver.ask("stop", "stopped")
        self.underruns = int(answer[1])

    def close(self):
        self.driver.close()


class CuevoxKey:
    """The real program under Xvfb with CUES cues, the first one selected; Go is Space sent
    through XTest, the time taken just before the key press."""
    name = "Cuevox key"

    def __init__(self, build, cue, cues=200, latency=None):
        from Xlib import X, XK, display
        from Xlib.ext import xtest
        self.X, self.xtest = X, xtest
        self.home = tempfile.mkdtemp(prefix="cuevox-go-home-")
        audio = os.path.join(self.home, "Documents", "audio")
        os.makedirs(audio)
        shutil.copy(cue, os.path.join(audio, "cue.wav"))
        with open(os.path.join(self.home, "Documents", "cuevox.json"), "w") as f:
            json.dump([{"fileName": "cue.wav", "audioTitle": f"Cue {i + 1}"}
                       for i in range(cues)], f)
        if latency:
            os.makedirs(os.path.join(self.home, ".config", "cuevox"))
            with open(os.path.join(self.home, ".config", "cuevox", "cuevox.conf"), "w") as f:
                f.write(f"[output]\nlatencyMs={latency}\n")
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                                      "1280x800x24", "-nolisten", "tcp"], pass_fds=(write_end,),
                                     stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        while not number.endswith(b"\n"):
            number += os.read(read_end, 16)
        os.close(read_end)
        name = ":" + number.decode().strip()
        env = dict(os.environ, DISPLAY=name, HOME=self.home,
                   XDG_CONFIG_HOME=os.path.join(self.home, ".config"))
        env.pop("QT_QPA_PLATFORM", None)
        self.program = subprocess.Popen([os.path.join(build, "cuevox")], env=env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.display = display.Display(name)
        time.sleep(4.0)
        # No window manager: give the main window (the largest named Cuevox) the focus.
        windows = [w for w in self.display.screen().root.query_tree().children
                   if w.get_wm_name() == "Cuevox"]
        main = max(windows, key=lambda w: w.get_geometry().width * w.get_geometry().height)
        main.set_input_focus(X.RevertToParent, X.CurrentTime)
        self.display.sync()
        self.keys = {k: self.display.keysym_to_keycode(XK.string_to_keysym(k))
                     for k in ("space", "Escape", "Down")}
        self.press("Down")  # the table has the focus: select the first row
        time.sleep(0.5)

    def press(self, key):
        code = self.keys[key]
        self.xtest.fake_input(self.display, self.X.KeyPress, code)
        self.display.sync()
        self.xtest.fake_input(self.display, self.X.KeyRelease, code)
        self.display.sync()

    def go(self):
        code = self.keys["space"]
        t = time.monotonic_ns()
        self.xtest.fake_input(self.display, self.X.KeyPress, code)
        self.display.sync()
        self.xtest.fake_input(self.display, self.X.KeyRelease, code)
        self.display.sync()
        return t

    def stop(self):
        self.press("Escape")

    def close(self):
        self.program.terminate()
        self.program.wait()
        self.display.close()
        self.xvfb.terminate()
        self.xvfb.wait()
        shutil.rmtree(self.home, ignore_errors=True)


class GstPlayer:
    name = "GStreamer"

    def __init__(self, here, cue):
        self.driver = LineDriver(["/usr/bin/python3", os.path.join(here, "go_gst_player.py"), cue])
        self.driver.wait_for("ready")

    def go(self):
        return int(self.driver.ask("go", "t ")[1])

    def stop(self):
        self.driver.ask("stop", "stopped")

    def close(self):
        self.driver.close()


class WarmPacat:
    """A pacat stream connected in advance and left idle; the cue is written at Go."""
    name = "pacat 5 ms"

    def __init__(self, sink):
        self.proc = subprocess.Popen(
            ["pacat", "--playback", "-d", sink, "--latency-msec=5", "--raw",
             "--format=float32le", f"--rate={RATE}", "--channels=2"], stdin=subprocess.PIPE)
        self.sound = b"".join(struct.pack("<ff", *(v / 32768 for v in cue_frame(i)))
                              for i in range(RATE // 10))
        time.sleep(1.0)

    def go(self):
        t = time.monotonic_ns()
        os.write(self.proc.stdin.fileno(), self.sound)
        return t

    def stop(self):
        pass

    def close(self):
        self.proc.terminate()
        self.proc.wait()


SKIPPED = {}  # subject name -> frames of the start never heard, by trial


def trial(recorder, subject, key=None, start_frame=0):
    t = subject.go()
    heard = recorder.first_sound_after(t)
    time.sleep(0.3)
    subject.stop()
    time.sleep(0.3)
    if heard is None:
        SKIPPED.setdefault(key or subject.name, []).append(None)
        return None
    SKIPPED.setdefault(key or subject.name, []).append(
        (heard[1] - 1 - start_frame % COUNT) % COUNT)
    return (heard[0] - t) / 1e6


def summary(name, values):
    got = [v for v in values if v is not None]
    if not got:
        return f"{name:16s} no sound"
    # The worst trial alone says more about the machine than about the subject (a warm pacat
    # meets the same stalls of the sink's timer), so the 90th percentile is shown beside it.
    p90 = sorted(got)[min(len(got) - 1, int(0.9 * len(got)))]
    return (f"{name:16s} median {statistics.median(got):6.2f} ms  min {min(got):6.2f}  "
            f"p90 {p90:6.2f}  max {max(got):6.2f}  over 10 ms {sum(v > 10 for v in got)}  "
            f"(n={len(got)}, missed {len(values) - len(got)})")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(here, "..", "build"))
    parser.add_argument("--trials", type=int, default=20)
    parser.add_argument("--cold", type=float, default=60.0,
                        help="seconds of silence before Cuevox's first Go (0: none)")
    parser.add_argument("--sink", default="soundbox")
    parser.add_argument("--no-key", action="store_true",
                        help="leave out the real program driven by key presses")
    parser.add_argument("--bed", action="store_true",
                        help="also Cuevox play() firing over another cue playing quietly")
    parser.add_argument("--gap", type=float, default=0.0,
                        help="seconds of quiet between rounds of trials (10: every Go after "
                             "its output went to sleep)")
    parser.add_argument("--sink-channels", type=int, default=2,
                        help="channels of the sink (recorded in its default map)")
    parser.add_argument("--record-ms", type=int, default=1,
                        help="the recorder's latency; a desktop's recorder asks for 10 ms, and "
                             "the sink then mixes further ahead of what it has passed on")
    parser.add_argument("--latency", type=int, default=0,
                        help="Cuevox's output latency in ms (default: the program's)")
    args = parser.parse_args()
    global FRAME
    FRAME = 4 * args.sink_channels

    work = tempfile.mkdtemp(prefix="cuevox-go-")
    cue = os.path.join(work, "square.wav")
    trimmed = os.path.join(work, "square-long.wav")
    bed = os.path.join(work, "bed.wav")
    write_square(cue)
    write_square(trimmed, 6.0)
    write_square(bed, 6.0, numbered=False)
    recorder = Recorder(args.sink, args.record_ms)
    results = {}
    try:
        cuevox = CuevoxPlay(args.build, cue, latency=args.latency)
        if args.cold > 0:
            # Nothing listens meanwhile either: a recorder left on the monitor through a long
            # silence leaves the sink slow for every stream afterwards (about 25 ms more for
            # all four subjects, pacat included), which no player would meet on stage.
            print(f"waiting {args.cold:.0f} s of silence before Cuevox's first Go", flush=True)
            recorder.close()
            time.sleep(args.cold - 1.0)
            recorder = Recorder(args.sink, args.record_ms)
            time.sleep(1.0)
        cold = trial(recorder, cuevox)
        results["Cuevox play()"] = [cold]
        gst = GstPlayer(here, cue)
        pacat = WarmPacat(args.sink)
        subjects = [(cuevox, "Cuevox play()")]
        if args.bed:
            over = CuevoxPlay(args.build, cue, latency=args.latency, bed=bed)
            subjects.append((over, "Cuevox over a cue"))
            results["Cuevox over a cue"] = []
        if not args.no_key:
            keyed = CuevoxKey(args.build, cue, latency=args.latency)
            subjects.append((keyed, "Cuevox key"))
            results["Cuevox key"] = []
        subjects += [(gst, "GStreamer"), (pacat, "pacat 5 ms")]
        results["GStreamer"] = []
        results["pacat 5 ms"] = []
        for n in range(args.trials):
            if n > 0 and args.gap > 0:
                # Nothing listens through the quiet either (see --cold).
                recorder.close()
                time.sleep(max(args.gap - 1.0, 0.0))
                recorder = Recorder(args.sink, args.record_ms)
                time.sleep(1.0)
            for subject, key in subjects:
                if key == "Cuevox play()" and n == args.trials - 1 and args.cold > 0:
                    continue  # its cold Go was the first of its trials
                results[key].append(trial(recorder, subject, key))
        underruns_plain = cuevox.underruns
        if not args.no_key:
            keyed.close()
        cuevox.close()
        if args.bed:
            over.close()
        gst.close()
        pacat.close()

        # A cue with a start time, first Go right after loading.
        trimmed_firsts = []
        for _ in range(5):
            player = CuevoxPlay(args.build, trimmed, 2.5, latency=args.latency)
            time.sleep(0.5)
            trimmed_firsts.append(trial(recorder, player, "Cuevox start time",
                                        start_frame=int(2.5 * RATE)))
            trimmed_firsts.append(player.underruns)
            player.close()
    finally:
        recorder.close()
        shutil.rmtree(work, ignore_errors=True)

    if args.cold > 0:
        print(f"first Go after {args.cold:.0f} s of silence: {results['Cuevox play()'][0]:.2f} ms")
    for name, values in results.items():
        print(summary(name, values))
    cv = statistics.median([v for v in results["Cuevox play()"] if v is not None])
    kv = [v for v in results.get("Cuevox key", []) if v is not None]
    for ref in ("GStreamer", "pacat 5 ms"):
        got = [v for v in results[ref] if v is not None]
        if got:
            print(f"Cuevox play() / {ref}: {cv / statistics.median(got):.2f} (medians)")
            if kv:
                print(f"Cuevox key / {ref}: "
                      f"{statistics.median(kv) / statistics.median(got):.2f} (medians)")
    print(f"decoder underruns over the play() trials: {underruns_plain}")
    print("frames of the cue's start skipped, by trial:")
    for name, skipped in SKIPPED.items():
        print(f"  {name:18s} " + " ".join("-" if n is None else str(n) for n in skipped))
    print("first Go of a cue with a start time (ms, decoder underruns):",
          ", ".join(f"{trimmed_firsts[i]:.2f} ({trimmed_firsts[i + 1]})"
                    if trimmed_firsts[i] is not None else "no sound"
                    for i in range(0, len(trimmed_firsts), 2)))


if __name__ == "__main__":
    main()
