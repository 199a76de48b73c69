"""Shared fixtures of the zelvan module's tests."""
import json
import os
import pathlib
import shutil

import numpy as np
import pytest

SOURCE_ROOT = pathlib.Path(__file__).resolve().parents[2]


def testdata_dir():
    """The folder of real recordings: ZELVAN_TESTDATA_DIR, else ../shared/testdata beside the sources."""
    configured = os.environ.get("ZELVAN_TESTDATA_DIR")
    folder = pathlib.Path(configured) if configured else SOURCE_ROOT.parent / "shared" / "testdata"
    return folder


@pytest.fixture(scope="session")
def testdata(tmp_path_factory):
    """A copy of the real recordings: a reader saves its index beside the recording it opens, and
    the shared folder stays as it was given."""
    folder = testdata_dir()
    if not (folder / "EXPECTED.json").is_file():
        pytest.skip(f"no real recordings in {folder}")
    copy = tmp_path_factory.mktemp("testdata")
    for item in folder.iterdir():
        if item.is_file() and (item.suffix == ".raw" or item.name == "EXPECTED.json"):
            shutil.copyfile(item, copy / item.name)
    return copy


@pytest.fixture(scope="session")
def expected(testdata):
    with open(testdata / "EXPECTED.json") as f:
        return json.load(f)


def evt3_words(x, y, p, t, triggers=()):
    """EVT 3.0 words (uint16) for events given in stream order with non-decreasing t.

    Writes TIME_HIGH when t[23:12] changes, TIME_LOW when t changes, ADDR_Y when y changes, then
    ADDR_X; triggers are (t, id, value) tuples put before the first event at or after their time.
    """
    words = []
    high = low = row = None
    trig = sorted(triggers)
    ti = 0

    def set_time(tt):
        nonlocal high, low
        if tt >> 12 != high:
            high = tt >> 12
            words.append(0x8000 | (high & 0xFFF))
            low = None
        if tt & 0xFFF != low:
            low = tt & 0xFFF
            words.append(0x6000 | low)

    for xi, yi, pi, tt in zip(x.tolist(), y.tolist(), p.tolist(), t.tolist()):
        while ti < len(trig) and trig[ti][0] <= tt:
            set_time(trig[ti][0])
            words.append(0xA000 | (trig[ti][1] << 8) | trig[ti][2])
            ti += 1
        set_time(tt)
        if yi != row:
            row = yi
            words.append(yi)
        words.append(0x2000 | (pi << 11) | xi)
    return np.array(words, dtype="<u2")


def write_raw(path, words, width=640, height=480, extra_header=""):
    header = f"% evt 3.0\n% format EVT3;height={height};width={width}\n{extra_header}% end\n"
    with open(path, "wb") as f:
        f.write(header.encode())
        f.write(words.tobytes())
    return path


@pytest.fixture(scope="session")
def synthetic(tmp_path_factory):
    """A recording of 600000 events (more than two decoding chunks) with known contents.

    Time runs over 2^24 us (a TIME_HIGH wrap-around), several events share each time, rows change
    often, and three trigger edges are mixed in.
    """
    rng = np.random.default_rng(7)
    n = 600_000
    t = np.sort(rng.integers(1_000, 17_500_000, n, dtype=np.int64))
    x = rng.integers(0, 640, n, dtype=np.uint16)
    y = rng.integers(0, 480, n, dtype=np.uint16)
    p = rng.integers(0, 2, n, dtype=np.uint8)
    triggers = [(5_000_000, 2, 1), (5_000_500, 2, 0), (16_800_000, 0, 1)]
    words = evt3_words(x, y, p, t, triggers)
    path = write_raw(tmp_path_factory.mktemp("synthetic") / "synthetic.raw", words)
    events = np.zeros(n, dtype=[("x", "<u2"), ("y", "<u2"), ("p", "u1"), ("t", "<i8")])
    events["x"], events["y"], events["p"], events["t"] = x, y, p, t
    return path, events, triggers
