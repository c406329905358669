"""VEXA_File end to end, when things go wrong in a station: a publisher that
restarts or jumps, a recorder killed hard, a full disk."""
import re
import signal
import struct
import subprocess
import time

import numpy as np
import pytest
import soundfile

from conftest import Proc, simulator
from test_file import BLOCK, EXE, L0, assert_contiguous, check_layout, counter_indices

RATE = 192000


def file_names(rec):
    """The files the recorder announced (or tried), in order."""
    return [line.split()[0] for line in rec.stdout.splitlines() if ".wav" in line]


def wait_for_files(rec, count, timeout=20):
    deadline = time.monotonic() + timeout
    while len(file_names(rec)) < count and time.monotonic() < deadline:
        time.sleep(0.2)
    assert len(file_names(rec)) == count, rec.stdout


def read_16_bit_file(path):
    """Sample rate, L0 and counter indices of a completed 16-bit file."""
    _, _, l0, _ = check_layout(path, 16)
    samples, rate = soundfile.read(str(path), dtype="int16")
    m = counter_indices(samples[:, 0], samples[:, 1])
    assert_contiguous(m)
    return rate, l0, m


def test_a_publisher_that_jumps_or_restarts_gets_a_new_file_with_nothing_stale(workdir):
    band = ("--band", 13, "--signal", "counter")
    resync = "13 receiver : band re-synchronised, "
    # The jump comes late enough for the recorder to be running by then, even on
    # a loaded machine where Wine takes seconds to start it. At 3.7 s the publisher
    # is 1.0 s into its 2.7-second ring: the jump to its start skips 1.7 s, which
    # no publisher at its pace can write between two looks of the recorder.
    with simulator(*band, "--at", "3.7", "writepos=8") as sim:
        rec = Proc(EXE, 13, cwd=workdir)
        try:
            rec.wait_for(resync + "SampleRate=192000 BlockInSamples=2048 L0=7050000")
            wait_for_files(rec, 2)
            time.sleep(1)
            assert sim.stop() == 0
            # A new publisher, in the mapping the recorder still holds: a smaller
            # ring and other values.
            with simulator(*band, "--ring", 1 << 20, "--rate", 96000, "--l0", 14074000):
                rec.wait_for(resync + "SampleRate=96000 BlockInSamples=2048 L0=14074000")
                wait_for_files(rec, 3)
                time.sleep(1)
                assert rec.stop() == 0
        finally:
            rec.kill()
    names = file_names(rec)
    assert sorted(names) == sorted(p.name for p in workdir.iterdir())
    assert names[2].endswith("_14074kHz.wav")
    # Each file holds one run of the counter, so none has old ring contents
    # spliced in; the files before the restart follow one another.
    rates = []
    for name in names:
        rate, l0, m = read_16_bit_file(workdir / name)
        rates.append((rate, l0, len(m) % BLOCK))
    assert rates == [(192000, L0, 0), (192000, L0, 0), (96000, 14074000, 0)]


def test_a_recorder_frozen_longer_than_its_ring_says_what_it_lost_and_keeps_files_true(workdir):
    # A 1 MiB ring lasts 0.68 s; the recorder is frozen for 2 s, as a slow disk or
    # a virus scan would hold it.
    with simulator("--band", 12, "--signal", "counter", "--ring", 1 << 20):
        rec = Proc(EXE, 12, cwd=workdir)
        try:
            rec.wait_for(".wav ")
            time.sleep(1)
            rec.popen.send_signal(signal.SIGSTOP)
            time.sleep(2)
            rec.popen.send_signal(signal.SIGCONT)
            rec.wait_for(" samples lost")
            wait_for_files(rec, 2)
            time.sleep(1)
            assert rec.stop() == 0
        finally:
            rec.kill()
    out = rec.stdout.replace("\r\n", "\n")
    found = re.findall(r"\n12 receiver : fell a ring behind at "
                       r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC, about (\d+) samples lost\n", out)
    assert len(found) == 1, out
    assert "re-synchronised" not in out
    names = file_names(rec)
    assert len(names) == 2
    indices = []
    for name in names:
        start, stop, _, data_size = check_layout(workdir / name, 16)
        rate, _, m = read_16_bit_file(workdir / name)
        assert rate == RATE
        # The times span the samples the file holds, up to the blocks' own pace.
        span = (stop - start).total_seconds()
        assert abs(span - len(m) / RATE) <= 0.5, (name, span, len(m))
        indices.append(m)
    # Two seconds frozen at 192000 samples/s: the estimate comes from the time away.
    assert RATE * 1.5 <= int(found[0]) <= RATE * 4


def test_a_recorder_killed_hard_in_its_first_seconds_leaves_a_readable_file(workdir):
    with simulator("--band", 10, "--signal", "counter"):
        rec = Proc(EXE, 10, "-1", cwd=workdir)
        try:
            rec.wait_for(".wav ")
            time.sleep(2)
        finally:
            rec.kill()
    path = sorted(workdir.glob("*.wav"))[0]
    data = path.read_bytes()
    data_size = struct.unpack_from("<I", data, 236)[0]
    assert struct.unpack_from("<I", data, 4)[0] == data_size + 240 - 8
    assert 0 < data_size <= len(data) - 240  # the header came up to date with the first block
    assert data_size % (BLOCK * 6) == 0
    samples, _ = soundfile.read(str(path), dtype="int32")
    assert len(samples) == data_size // 6
    values = samples.astype(np.int64) >> 16
    assert_contiguous(counter_indices(values[:, 0], values[:, 1]))


@pytest.fixture
def small_disk(tmp_path):
    """An 8 MiB tmpfs, mounted for the test (needs root)."""
    disk = tmp_path / "disk"
    disk.mkdir()
    res = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m", "tmpfs", str(disk)],
                         capture_output=True, text=True)
    if res.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {res.stderr.strip() or res.returncode}")
    try:
        yield disk
    finally:
        subprocess.run(["umount", "-l", str(disk)], check=False)


def check_24_bit_file(path):
    """Whole frames, sizes that match the file (with or without the INFO list
    that a full disk may have kept out), and the counter intact."""
    data = path.read_bytes()
    data_size = struct.unpack_from("<I", data, 236)[0]
    assert data_size % 6 == 0
    trailer = data[240 + data_size:]
    assert trailer == b"" or (trailer[:4] == b"LIST" and trailer[8:12] == b"INFO")
    assert struct.unpack_from("<I", data, 4)[0] == len(data) - 8
    samples, _ = soundfile.read(str(path), dtype="int32")
    assert len(samples) == data_size // 6 > 0
    values = samples.astype(np.int64) >> 16
    assert_contiguous(counter_indices(values[:, 0], values[:, 1]))


@pytest.mark.timeout(120)  # two 10-second waits for the next file
def test_a_full_disk_is_reported_once_and_recording_goes_on_when_space_returns(small_disk):
    filler = small_disk / "filler"
    filler.write_bytes(bytes(7 << 20))  # leaves room for about one second of recording
    with simulator("--band", 11, "--signal", "counter"):
        rec = Proc(EXE, 11, "-1", cwd=small_disk)
        try:
            rec.wait_for("; a new file is tried every 10 s", stream="stderr")
            time.sleep(12)  # a retry, still on a full disk, which shows no name
            filler.unlink()
            wait_for_files(rec, 2)  # six seconds of room now
            time.sleep(1)
            assert rec.stop() == 0
        finally:
            rec.kill()
    first, resumed = file_names(rec)
    errors = rec.stderr.replace("\r\n", "\n")
    assert errors.startswith(f"\nCan't write {first}: ")
    assert errors.count("\n") == 2  # one message, for the whole outage
    # The retry got no samples and is gone.
    assert sorted(p.name for p in small_disk.iterdir()) == sorted([first, resumed])
    for name in (first, resumed):
        check_24_bit_file(small_disk / name)
