"""The publisher simulator and the band monitor, each in its own Wine process."""
import os
import re
import time
from pathlib import Path

import pytest

from conftest import ARCH, Proc, run, simulator

# Where 32-bit code runs, the 64-bit tools are also tried on a 32-bit publisher, in
# the 64-bit prefix: the shared memory holds no pointers, only 32-bit integers.
PEER = os.environ.get("VEXA_PEER_BIN")
PUBLISHERS = [pytest.param({}, id=f"{ARCH}-publisher")]
if PEER:
    PUBLISHERS.append(pytest.param(
        {"wine": os.environ["VEXA_PEER_WINE"], "folder": Path(PEER)}, id="x86-publisher"))


@pytest.mark.parametrize("publisher", PUBLISHERS)
def test_counter_pattern_crosses_processes_intact(publisher):
    with simulator("--band", 2, "--block", 1024, "--speed", 4, "--band", 5, "--rate", 48000,
                   **publisher):
        res = run("vexa_monitor.exe", 2, "--seconds", 3, "--counter")
    assert res.returncode == 0, res.stderr
    assert "band 2: SampleRate=192000 BlockInSamples=1024 L0=7050000 BufferSize=4194304" in res.stdout
    total = re.search(r"total: (\d+) blocks, (\d+) samples, (\d+) counter errors", res.stdout)
    assert total, res.stdout
    blocks, samples, errors = map(int, total.groups())
    assert blocks > 1000  # 4x real time is 750 blocks a second
    assert samples == blocks * 1024
    assert errors == 0


def test_reader_follows_a_publisher_that_jumps_is_republished_and_restarts():
    band = ("--band", 2, "--block", 1024)
    # The changes come late enough for the monitor to be running by then, even on
    # a loaded machine where Wine takes seconds to start it. At 11.89 s the publisher
    # is 0.97 s into the fifth lap of its 2.73-second ring: the jump to its start
    # skips 1.76 s, which no publisher at its pace can write in the monitor's last 0.1 s.
    # The smaller ring still lasts 0.7 s: a monitor held up on a loaded machine must
    # not also fall a ring behind, which would count as more resyncs.
    with simulator(*band, "--at", "11.89", "writepos=8", "--at", "13.2", "ring=1048576") as sim:
        monitor = Proc("vexa_monitor.exe", 2, "--seconds", 120, "--counter")
        try:
            monitor.wait_for("band 2: SampleRate=")
            assert "band 2 at" not in sim.stdout, "the monitor started too late"
            sim.wait_for("band 2 at 13.2", timeout=30)
            monitor_seconds(monitor, 2)  # so it has seen the new ring
            assert sim.stop() == 0
            with simulator(*band):  # a new publisher in the mapping the reader still holds
                monitor_seconds(monitor, 2, until=lambda line: int(line.split()[2]) > 0)
            assert monitor.stop() == 0
        finally:
            monitor.kill()
    total = re.search(r"total: (\d+) blocks, \d+ samples, (\d+) counter errors, (\d+) resyncs",
                      monitor.stdout)
    assert total, monitor.stdout
    blocks, errors, resyncs = map(int, total.groups())
    assert errors == 0, monitor.stdout
    # The restart is one resync, or two when the reader looks between the new
    # publisher's ring size and its WritePos.
    assert resyncs in (3, 4), monitor.stdout
    assert blocks > 3 * 187, monitor.stdout  # 187.5 blocks a second, some seconds lost to restarts


def monitor_seconds(monitor, count, until=lambda line: True, timeout=30):
    """Waits for count more of the monitor's seconds ("3 s: 187 blocks"), counted
    from the first for which until() holds."""
    deadline = time.monotonic() + timeout
    seen = monitor.stdout.count(" s: ")
    counting = False
    while time.monotonic() < deadline:
        lines = [line for line in monitor.stdout.splitlines() if " s: " in line]
        for line in lines[seen:]:
            seen += 1
            counting = counting or until(line)
            if counting:
                count -= 1
            if count == 0:
                return
        time.sleep(0.1)
    raise AssertionError(f"the monitor's seconds stopped:\n{monitor.stdout}")


def test_simulator_announces_bands_and_header_changes_and_stops_on_ctrl_c():
    sim = Proc("vexa_sim.exe", "--band", 0, "--rate", 96000, "--block", 512, "--l0", 14074000,
               "--ring", 65536, "--signal", "tone", "--at", "0.5", "l0=14100000")
    sim.wait_for("band 0 at")
    assert sim.stop() == 0
    out = sim.stdout
    assert ("band 0: VEXA0Band SampleRate=96000 BlockInSamples=512 L0=14074000 BufferSize=65536 "
            "signal=tone") in out
    assert "SampleRate=96000 BlockInSamples=512 L0=14100000" in out
    assert re.search(r"band 0: \d+ blocks written", out)
    assert out.rstrip().endswith("stopped")


def test_simulator_rejects_bad_arguments_clearly():
    cases = [
        ([], "Usage: vexa_sim"),
        (["--band", "32"], "bad value for --band: '32'"),
        (["--band", "1", "--rate", "fast"], "bad value for --rate: 'fast'"),
        (["--band", "1", "--ring", "1001"], "bad value for --ring: '1001'"),
        (["--band", "1", "--block", "0"], "bad value for --block: '0'"),
        (["--band", "1", "--signal", "noise"], "bad value for --signal: 'noise'"),
        (["--band", "1", "--at", "1", "gain=3"], "bad value for --at: 'gain=3'"),
        (["--band", "1", "--pause", "1", "-2"], "bad value for --pause: '-2'"),
        (["--band", "1", "--pause", "1"], "bad value for --pause: '(missing)'"),
        (["--band", "1", "--band", "1"], "named twice"),
        (["--rate", "1"], "comes before any --band"),
        (["--band", "1", "--color", "red"], "unknown option '--color'"),
        (["--speed", "0", "--band", "1"], "bad value for --speed: '0'"),
    ]
    for args, message in cases:
        res = run("vexa_sim.exe", *args)
        assert res.returncode == 2, args
        assert message in res.stderr, (args, res.stderr)
        assert "publishing" not in res.stdout


def test_monitor_reports_a_missing_band_and_bad_arguments():
    res = run("vexa_monitor.exe", 7)
    assert res.returncode == 1
    assert "can't open band 7 (VEXA7Band)" in res.stderr
    res = run("vexa_monitor.exe", "x")
    assert res.returncode == 2 and "bad band number 'x'" in res.stderr


# The table a user picks band numbers from: two bands that stream, one not in use
# and one whose header every reader refuses are listed, absent numbers are not;
# with no publisher it says so. Following the refused band tells why.
def test_monitor_lists_every_published_band():
    res = run("vexa_monitor.exe", "--list")
    assert (res.returncode, res.stdout) == (1, "")
    assert res.stderr == "vexa_monitor: no band is published (VEXA0Band .. VEXA31Band)\n"
    with simulator("--band", 0, "--band", 1, "--l0", 14074000, "--rate", 96000, "--block", 1024,
                   "--ring", 1048576, "--band", 5, "--rate", 0, "--band", 7, "--blocks", 0,
                   "--at", 0, "buffersize=12") as sim:
        sim.wait_for("band 7 at ")
        res = run("vexa_monitor.exe", "--list")
        refused = run("vexa_monitor.exe", 7)
    assert (refused.returncode, refused.stderr) == (
        1, "vexa_monitor: can't open band 7 (VEXA7Band): BufferSize=12 is not a whole number of "
        "samples\n")
    assert res.returncode == 0, res.stderr
    assert res.stdout.splitlines() == [
        "band  centre kHz  range kHz              SampleRate    block  ring s",
        "   0    7050.000  6954.000..7146.000         192000     2048    2.73",
        "   1   14074.000  14026.000..14122.000        96000     1024    1.37",
        "   5  not in use (SampleRate=0)",
        "   7  refused: BufferSize=12 is not a whole number of samples",
    ]


def stereo_wav(path, rate, frames, tag=1, bits=16, channels=2):
    """A WAV file of the given format around raw frame bytes."""
    import struct
    fmt = struct.pack("<HHIIHH", tag, channels, rate, rate * channels * bits // 8,
                      channels * bits // 8, bits)
    path.write_bytes(b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + len(frames)) + b"WAVE"
                     + b"fmt " + struct.pack("<I", len(fmt)) + fmt
                     + b"data" + struct.pack("<I", len(frames)) + frames)


# A 16-bit I/Q file goes out whole, once, at its own rate, from a UTC boundary
# and after silence only: the recorder's 16-bit file at scale factor 16 holds
# exactly its samples (sample k: I = k mod 32000 + 1, Q = -(k div 32000 + 1)).
def test_simulator_publishes_an_iq_file_sample_for_sample(tmp_path):
    import numpy as np
    n = 192000  # 8 s, longer than Wine may take to start the recorder
    iq = np.empty((n, 2), "<i2")
    iq[:, 0] = np.arange(n) % 32000 + 1
    iq[:, 1] = -(np.arange(n) // 32000 + 1)
    stereo_wav(tmp_path / "iq.wav", 24000, iq.tobytes())
    (tmp_path / "rec").mkdir()
    with simulator("--band", 4, "--block", 500, "--file", tmp_path / "iq.wav",
                   "--start-on", 2) as sim:
        published = time.monotonic() + 2 + n / 24000 + 1
        rec = Proc("VEXA_File.exe", 4, 16, "C", cwd=tmp_path / "rec")
        try:
            rec.wait_for(".wav", timeout=30)
            time.sleep(max(0.0, published - time.monotonic()))
        finally:
            assert rec.stop() == 0
    assert "SampleRate=24000 BlockInSamples=500 L0=7050000 BufferSize=4194304 signal=file" in sim.stdout
    data = next((tmp_path / "rec").iterdir()).read_bytes()[216:]
    got = np.frombuffer(data, "<i2").reshape(-1, 2)
    start = np.flatnonzero(got[:, 0])
    assert len(start), "the file was published"
    # Most often the recorder is there before the file begins; on a slow start it
    # holds the file from where it came in.
    first = (-int(got[start[0], 1]) - 1) * 32000 + int(got[start[0], 0]) - 1
    assert first == 0 or start[0] == 0, (first, start[0])
    assert np.array_equal(got[start[0]:start[0] + n - first], iq[first:]), "the file's samples"
    assert not got[start[0] + n - first:].any(), "silence after the file"


@pytest.mark.parametrize("make, why", [
    (lambda p: p.write_bytes(b"not a wav file at all"), "it is no WAV file"),
    (lambda p: stereo_wav(p, 12000, b"\0" * 400, channels=1),
     "it is not stereo I/Q in 16-bit PCM or 32-bit float"),
    (lambda p: stereo_wav(p, 12000, b"\0" * 600, bits=24),
     "it is not stereo I/Q in 16-bit PCM or 32-bit float"),
    (lambda p: stereo_wav(p, 12000, b""), "it holds no samples"),
    (lambda p: p.write_bytes(b"RIFF\x04\0\0\0WAVE"), "it can't be read (or is empty or over 1 GB)"),
])
def test_simulator_refuses_a_file_it_cannot_publish(tmp_path, make, why):
    path = tmp_path / "bad.wav"
    make(path)
    res = run("vexa_sim.exe", "--band", 4, "--file", path, "--start-on", 15)
    assert res.returncode == 1
    assert res.stderr == f"vexa_sim: can't publish {path}: {why}\n"
