"""zelvan.RawReader on real recordings, a synthetic recording and bad inputs."""
import hashlib
import os
import shutil

import numpy as np
import pytest

import zelvan

EVT3_FILES = [
    "expelliarmus_evt3_sample.raw",
    "silkyevcam-tool_sparse.raw",
    "event_camera_codecs_evt3_trigger.derived.raw",
    "event_camera_py_test_events_1.derived.raw",
    "event_camera_py_test_events_ros2_1.derived.raw",
]


def same_events(a, b):
    return len(a) == len(b) and all(np.array_equal(a[f], b[f]) for f in ("x", "y", "p", "t"))


def cd_dump_sha256(events):
    lines = "".join(f"{x},{y},{p},{t}\n" for x, y, p, t in zip(*(events[f].tolist() for f in "xypt")))
    return hashlib.sha256(lines.encode()).hexdigest()


@pytest.mark.parametrize("name", EVT3_FILES)
def test_real_recording_reads_to_the_expected_figures(testdata, expected, name):
    want = expected[name]
    reader = zelvan.RawReader(str(testdata / name))
    events = reader.read_all()
    assert events.dtype.names == ("x", "y", "p", "t")
    assert [events.dtype[f].str for f in "xypt"] == ["<u2", "<u2", "|u1", "<i8"]
    assert len(events) == want["events"] == reader.event_count
    assert int(events["p"].sum(dtype=np.int64)) == want["on_events"]
    assert int(events["t"].sum()) == want["sum_t"]
    assert int(events["x"].sum(dtype=np.int64)) == want["sum_x"]
    assert int(events["y"].sum(dtype=np.int64)) == want["sum_y"]
    assert reader.start_timestamp == want["first_timestamp"]
    assert reader.end_timestamp == want["last_timestamp"]
    head = [list(e) for e in events[:3].tolist()]
    tail = [list(e) for e in events[-3:].tolist()]
    assert head == want["first_events"]
    assert tail == want["last_events"]
    assert cd_dump_sha256(events) == want["sha256_cd_dump"]

    triggers = reader.triggers()
    assert triggers.dtype.names == ("p", "id", "t")
    assert len(triggers) == want["triggers"]
    head = [[int(tr["id"]), int(tr["p"]), int(tr["t"])] for tr in triggers[: len(want["trigger_list_head"])]]
    assert head == want["trigger_list_head"]
    text = "".join(f"{i},{p},{t}\n" for p, i, t in triggers.tolist())
    assert hashlib.sha256(text.encode()).hexdigest() == want["sha256_trigger_dump"]


@pytest.mark.parametrize("name", EVT3_FILES)
def test_real_recording_header_size_and_partial_reads(testdata, name):
    reader = zelvan.RawReader(str(testdata / name))
    everything = reader.read_all()
    assert isinstance(reader.header, dict) and reader.header
    assert (reader.width, reader.height) in ((1280, 720), (640, 480))
    assert int(everything["x"].max()) < reader.width and int(everything["y"].max()) < reader.height

    start, end = reader.start_timestamp, reader.end_timestamp
    middle = (start + end) // 2
    for lo, hi in ((start, end + 1), (start, middle), (middle, end + 1), (middle - 1000, middle + 1000)):
        part = reader.read_time(lo, hi)
        want = everything[(everything["t"] >= lo) & (everything["t"] < hi)]
        assert same_events(part, want), (lo, hi)
    assert len(reader.read_time(end + 1, end + 100)) == 0
    assert len(reader.read_time(middle, middle)) == 0

    n = len(everything)
    for first, count in ((0, n), (0, 10), (n // 3, 12345), (n - 5, 100), (n, 10)):
        assert same_events(reader.read_count(first, count), everything[first : first + count]), (first, count)


@pytest.mark.parametrize("name", EVT3_FILES)
@pytest.mark.parametrize("dt", [10_000, 333])
def test_slices_cover_the_recording_without_gaps_or_repeats(testdata, name, dt):
    reader = zelvan.RawReader(str(testdata / name))
    everything = reader.read_all()
    start = reader.start_timestamp
    slices = list(reader.slices(dt_us=dt))
    assert len(slices) == (reader.end_timestamp - start) // dt + 1
    for k, s in enumerate(slices):
        if len(s):
            assert s["t"].min() >= start + k * dt and s["t"].max() < start + (k + 1) * dt, k
    assert same_events(np.concatenate(slices), everything)


def test_synthetic_recording_across_chunks_and_wraparound(synthetic):
    path, events, triggers = synthetic
    reader = zelvan.RawReader(str(path))
    assert reader.event_count == len(events)
    assert same_events(reader.read_all(), events)
    got = [(int(t), int(i), int(p)) for p, i, t in reader.triggers().tolist()]
    assert got == triggers

    rng = np.random.default_rng(3)
    for _ in range(40):
        lo = int(rng.integers(0, 17_600_000))
        hi = lo + int(rng.integers(0, 3_000_000))
        want = events[(events["t"] >= lo) & (events["t"] < hi)]
        assert same_events(reader.read_time(lo, hi), want), (lo, hi)
        first = int(rng.integers(0, len(events)))
        count = int(rng.integers(0, 300_000))
        assert same_events(reader.read_count(first, count), events[first : first + count]), (first, count)

    slices = list(reader.slices(dt_us=250_000))
    assert same_events(np.concatenate(slices), events)


def test_arrays_outlive_their_reader(synthetic):
    path, events, _ = synthetic
    reader = zelvan.RawReader(str(path))
    part = reader.read_count(1000, 5000)
    it = reader.slices(dt_us=1_000_000)
    del reader
    assert same_events(part, events[1000:6000])
    assert same_events(np.concatenate(list(it)), events)


def test_recording_without_events(tmp_path):
    path = tmp_path / "empty.raw"
    path.write_bytes(b"% evt 3.0\n% format EVT3;height=480;width=640\n% end\n")
    reader = zelvan.RawReader(str(path))
    assert reader.event_count == 0
    assert reader.start_timestamp is None and reader.end_timestamp is None
    assert len(reader.read_all()) == 0
    assert len(reader.read_time(0, 10**9)) == 0
    assert len(reader.read_count(0, 10)) == 0
    assert list(reader.slices()) == []
    assert (reader.width, reader.height) == (640, 480)


def test_missing_file_raises_file_not_found(tmp_path):
    missing = tmp_path / "missing.raw"
    with pytest.raises(FileNotFoundError, match="missing.raw"):
        zelvan.RawReader(str(missing))


def test_folder_raises_os_error(tmp_path):
    with pytest.raises(OSError, match="folder"):
        zelvan.RawReader(str(tmp_path))


def test_device_or_pipe_raises_os_error(tmp_path):
    # A device may never end and a pipe waits for a writer: neither is opened.
    pipe = tmp_path / "pipe.raw"
    os.mkfifo(pipe)
    for path in ("/dev/null", str(pipe)):
        with pytest.raises(OSError, match="not a regular file"):
            zelvan.RawReader(path)


def test_header_of_another_format_raises_value_error(tmp_path):
    path = tmp_path / "evt2.raw"
    path.write_bytes(b"% format EVT2;height=480;width=640\n% end\n" + bytes(64))
    with pytest.raises(ValueError, match="not an EVT 3.0 raw file"):
        zelvan.RawReader(str(path))


def test_file_without_header_is_read_as_evt3_data(tmp_path):
    # As the driver's readers do: no header lines, so the whole file is EVT 3.0 data of 1280 x 720.
    path = tmp_path / "noise.raw"
    path.write_bytes(np.random.default_rng(1).integers(0, 2**16, 50_000, dtype="<u2").tobytes())
    reader = zelvan.RawReader(str(path))
    assert (reader.width, reader.height) == (1280, 720)
    events = reader.read_all()
    assert len(events) == reader.event_count
    assert same_events(np.concatenate(list(reader.slices(dt_us=10**7))), events)


def test_evt2_recording_raises_value_error(testdata):
    with pytest.raises(ValueError, match="2.0"):
        zelvan.RawReader(str(testdata / "expelliarmus_evt2_sample.raw"))


def test_truncated_recording_raises_value_error(testdata, tmp_path):
    source = testdata / "expelliarmus_evt3_sample.raw"
    data = source.read_bytes()
    cut = tmp_path / "cut.raw"
    cut.write_bytes(data[: 166 + 200_001])  # the payload starts at byte 166
    with pytest.raises(ValueError, match="truncated"):
        zelvan.RawReader(str(cut))
    # Cut at a word boundary the file is a shorter recording: its events are a prefix of the whole's.
    whole = zelvan.RawReader(str(source)).read_all()
    even = tmp_path / "even.raw"
    shutil.copyfile(source, even)
    with open(even, "r+b") as f:
        f.truncate(166 + 200_000)
    part = zelvan.RawReader(str(even)).read_all()
    assert 0 < len(part) < len(whole)
    assert same_events(part, whole[: len(part)])


def test_bad_arguments_raise_value_error(synthetic):
    reader = zelvan.RawReader(str(synthetic[0]))
    with pytest.raises(ValueError):
        reader.slices(dt_us=0)
    with pytest.raises(ValueError):
        reader.read_count(-1, 5)
    with pytest.raises(TypeError):
        reader.read_time("a", 5)


def test_reads_from_several_threads_at_once(synthetic):
    import threading

    path, events, _ = synthetic
    reader = zelvan.RawReader(str(path))
    failures = []

    def work(seed):
        rng = np.random.default_rng(seed)
        for _ in range(10):
            lo = int(rng.integers(0, 17_000_000))
            hi = lo + int(rng.integers(0, 1_000_000))
            if not same_events(reader.read_time(lo, hi), events[(events["t"] >= lo) & (events["t"] < hi)]):
                failures.append((lo, hi))

    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert not any(thread.is_alive() for thread in threads)
    assert failures == []


def test_extreme_times_read_the_whole_recording(synthetic):
    path, events, _ = synthetic
    reader = zelvan.RawReader(path)  # a pathlib.Path: any os.PathLike is taken
    int64 = np.iinfo(np.int64)
    assert same_events(reader.read_time(int(int64.min), int(int64.max)), events)
    assert same_events(reader.read_time(int(int64.min), int(events["t"][100])), events[:100])


@pytest.mark.parametrize("dt", [2**63 - 1, 2**63 - 2**23, 2**62 + 1])
def test_huge_slice_holds_the_whole_recording_and_ends(synthetic, dt):
    path, events, _ = synthetic
    slices = []
    for s in zelvan.RawReader(path).slices(dt):
        slices.append(s)
        assert len(slices) <= 2, "slices go on past the end of the recording"
    assert len(slices) == 1
    assert same_events(slices[0], events)


def test_header_with_undecodable_bytes_is_read_with_replacements(tmp_path):
    path = tmp_path / "latin1.raw"
    path.write_bytes(b"% evt 3.0\n% format EVT3;height=480;width=640\n% camera caf\xe9\n% end\n")
    header = zelvan.RawReader(os.fsencode(path)).header
    assert header["camera"] == "caf\ufffd"
