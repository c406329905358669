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

from conftest import Proc, clear_of_the_hour, simulator
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


def finish(rec, files):
    """Lets the recorder write its `files`-th file for a second, stops it with
    Ctrl+C and returns what it printed."""
    wait_for_files(rec, files)
    time.sleep(1)
    assert rec.stop() == 0
    return rec.stdout.replace("\r\n", "\n")


def the_one_line(pattern, out):
    """The group of the one line of out that matches pattern (none or two fail)."""
    found = re.findall(pattern, out)
    assert len(found) == 1, out
    return found[0]


def read_16_bit_file(path):
    """Sample rate, L0 and counter indices of a completed 16-bit file."""
    _, _, l0, _ = check_layout(path, 16)
    samples, rate = soundfile.read(str(path), dtype="int16")
    m = counter_indices(samples[:, 0], samples[:, 1])
    assert_contiguous(m)
    return rate, l0, m


def files_true_to_their_samples(workdir, names):
    """Checks that each 16-bit file is at the simulator's rate with its counter
    intact, and that its times span the samples it holds, up to the blocks' own
    pace; returns (start, stop, counter indices) for each."""
    files = []
    for name in names:
        start, stop, _, _ = check_layout(workdir / name, 16)
        rate, _, m = read_16_bit_file(workdir / name)
        assert rate == RATE
        span = (stop - start).total_seconds()
        assert abs(span - len(m) / RATE) <= 0.5, (name, span, len(m))
        files.append((start, stop, m))
    return files


@pytest.mark.timeout(100)
def test_a_publisher_that_jumps_or_restarts_gets_a_new_file_with_nothing_stale(workdir):
    clear_of_the_hour(50)
    band = ("--band", 13, "--signal", "counter")
    resync = "13 receiver : band re-synchronised, "
    # The jump comes late enough for the recorder to be running by then, even on
    # a loaded machine where Wine takes seconds to start it. At 9.16 s the publisher
    # is 0.97 s into the fourth lap of its 2.73-second ring: the jump to its start
    # skips 1.76 s, which no publisher at its pace can write between two looks of
    # the recorder.
    with simulator(*band, "--at", "9.16", "writepos=8") as sim:
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


@pytest.mark.timeout(90)
def test_a_recorder_frozen_longer_than_its_ring_says_what_it_lost_and_keeps_files_true(workdir):
    clear_of_the_hour(30)
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
            out = finish(rec, 2)
        finally:
            rec.kill()
    lost = the_one_line(r"\n12 receiver : fell a ring behind at "
                        r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC, about (\d+) samples lost\n", out)
    assert "re-synchronised" not in out
    names = file_names(rec)
    assert len(names) == 2
    files_true_to_their_samples(workdir, names)
    # Two seconds frozen at 192000 samples/s: the estimate comes from the time away.
    assert RATE * 1.5 <= int(lost) <= RATE * 4


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


@pytest.mark.timeout(180)
def test_a_full_disk_is_reported_once_and_recording_goes_on_when_space_returns(small_disk):
    clear_of_the_hour(60)
    filler = small_disk / "filler"
    filler.write_bytes(bytes(7 << 20))  # leaves room for about one second of recording
    with simulator("--band", 11, "--signal", "counter"):
        rec = Proc(EXE, 11, "-1", cwd=small_disk)
        try:
            rec.wait_for("; recording goes on as soon as there is room", stream="stderr")
            time.sleep(12)  # no file is tried while the disk has no room
            filler.unlink()
            wait_for_files(rec, 2)  # six seconds of room now, taken within a second
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


# Late enough for the recorder to have started under Wine on a loaded machine.
PAUSE_AT = 6


@pytest.mark.timeout(135)
@pytest.mark.parametrize("stall", [2.5, 5.5, 8])
def test_a_receiver_that_stalls_and_goes_on_gets_a_new_file_with_nothing_lost(workdir, stall):
    clear_of_the_hour(45)
    # The simulator writes nothing for `stall` seconds, then goes on at its pace
    # with no burst. The longer stalls outlast the 5 s after which the readers let
    # a quiet band go, so the band is looked up again before it goes on.
    with simulator("--band", 14, "--signal", "counter", "--pause", PAUSE_AT, stall):
        rec = Proc(EXE, 14, cwd=workdir)
        try:
            rec.wait_for(".wav ", timeout=PAUSE_AT)
            rec.wait_for("no data from the receiver", timeout=PAUSE_AT + stall + 10)
            out = finish(rec, 2)
        finally:
            rec.kill()
    seconds = the_one_line(r"\n14 receiver : no data from the receiver for (\d+\.\d) s from "
                           r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC\n", out)
    assert abs(float(seconds) - stall) <= 0.5, out
    assert "re-synchronised" not in out and "samples lost" not in out, out
    names = file_names(rec)
    assert len(names) == 2, out
    (_, stop, before), (start, _, after) = files_true_to_their_samples(workdir, names)
    # Nothing lost at the stall, and the files' times leave the stall between them.
    assert (int(before[-1]) + 1) & 0xFFFF == int(after[0])
    assert abs((start - stop).total_seconds() - stall) <= 0.5
