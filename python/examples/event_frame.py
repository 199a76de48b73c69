#!/usr/bin/env python3
"""Draws one event frame of a recording: 10 ms of events, ON white, OFF black, on grey.

    PYTHONPATH=build/python python3 python/examples/event_frame.py REC.raw --output frame.png
    PYTHONPATH=build/python python3 python/examples/event_frame.py --generate build/bin/zelvan-raw

--generate makes a short synthetic recording with that zelvan-raw first. Exits with status 77
(skipped) when matplotlib is missing.
"""
import argparse
import os
import subprocess
import sys
import tempfile

import numpy as np

import zelvan


def event_frame(events, width, height):
    """A grey image with the pixels of ON events white and of OFF events black (the last event wins)."""
    frame = np.full((height, width), 128, dtype=np.uint8)
    frame[events["y"], events["x"]] = np.where(events["p"] == 1, 255, 0)
    return frame


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("recording", nargs="?")
    parser.add_argument("--generate", metavar="ZELVAN_RAW")
    parser.add_argument("--output", default="event_frame.png")
    parser.add_argument("--dt-us", type=int, default=10_000)
    args = parser.parse_args()
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is missing: nothing drawn")
        return 77

    with tempfile.TemporaryDirectory() as tmp:
        path = args.recording
        if args.generate:
            path = os.path.join(tmp, "generated.raw")
            subprocess.run([args.generate, "generate", path, "--seconds", "1", "--rate", "500000"], check=True)
        if not path:
            parser.error("give a recording or --generate")

        reader = zelvan.RawReader(path)
        start = reader.start_timestamp  # None for a recording without events: a plain grey frame
        if start is None:
            events = np.zeros(0, dtype=zelvan.EVENT_DTYPE)
        else:
            events = reader.read_time(start, start + args.dt_us)
        frame = event_frame(events, reader.width, reader.height)

    fig, ax = plt.subplots(figsize=(reader.width / 100, reader.height / 100), dpi=100)
    ax.imshow(frame, cmap="gray", vmin=0, vmax=255)
    ax.set_title(f"{len(events)} events from {start} us" if start is not None else "no events")
    ax.axis("off")
    fig.savefig(args.output)
    print(f"{args.output}: {len(events)} events, {int(events['p'].sum())} ON")
    return 0


if __name__ == "__main__":
    sys.exit(main())
