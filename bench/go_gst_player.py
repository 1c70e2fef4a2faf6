#!/usr/bin/python3
"""The GStreamer reference of bench/go_latency.py (Debian's python3-gi, hence /usr/bin/python3): a pipeline to pulsesink, built in advance and
left in READY, set to PLAYING at each Go so that it opens its stream then, the way a
GStreamer-based player starts a cue. Lines on stdin: "go" prints "t <ns>" (monotonic, taken
just before the state change), "stop", "quit"."""
import sys
import time

import gi

gi.require_version("Gst", "1.0")
from gi.repository import Gst  # noqa: E402

Gst.init(None)
path = sys.argv[1]
pipeline = Gst.parse_launch(
    f'filesrc location="{path}" ! wavparse ! audioconvert ! audioresample ! pulsesink')
pipeline.set_state(Gst.State.READY)
pipeline.get_state(Gst.CLOCK_TIME_NONE)
print("ready", flush=True)
for line in sys.stdin:
    verb = line.strip()
    if verb == "go":
        t = time.monotonic_ns()
        pipeline.set_state(Gst.State.PLAYING)
        print("t", t, flush=True)
    elif verb == "stop":
        pipeline.set_state(Gst.State.READY)
        pipeline.get_state(Gst.CLOCK_TIME_NONE)
        print("stopped", flush=True)
    elif verb == "quit":
        break
pipeline.set_state(Gst.State.NULL)
