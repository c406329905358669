"""Benchmark of VEXA_File: how much faster than real time a 192000 samples/s band
with BlockInSamples 2048 can be recorded without losing a block, and what the
recorder costs in CPU at real time, and what handing the file to the disk at
every header refresh (every 10 s) costs: the same runs, long enough to hold a
refresh, with the flushing left to the system (VEXA_FILE_FLUSH=0) as the
baseline.

  scripts/bench.sh file            (everything)
  scripts/bench.sh file --flush    (the flushing figures only)

The simulator publishes a known number of counter blocks at the chosen speed,
from before the recorder opens the band to a while after. A recording that runs
without a gap up to the last block published lost nothing from the moment it
opened: the ring's size is not a multiple of the counter's period, so a block
overwritten before it was read shows as a jump. The recorder is told the
simulator's pace (VEXA_PUBLISHER_SPEEDUP), or it would take it for a jumping
publisher and start new files.
"""
import os
import struct
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
from conftest import Proc, simulator, start_wine, wine_env  # noqa: E402

import subprocess  # noqa: E402

BAND = 12
BLOCK = 2048
RATE = 192000
LEAD_SECONDS = 2.0  # of publishing before the recorder is sure to have opened the band
RING = (4 << 20) + BLOCK * 8  # 526336 samples: a lap moves the counter by 2048
SPEEDS = [1, 50, 100, 150, 200, 300]
PER_RUN_SECONDS = 2.0  # of publishing after the lead, at every speed
FLUSH_RUN_SECONDS = 12.0  # holds the refresh 10 s after the first block
# Long runs outgrow what a machine's page cache takes in without slowing the
# writer: the limit here is the disk's, so the steps are smaller.
FLUSH_SPEEDS = [5, 10, 20, 50, 100]


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def recorded_blocks(path, scale, last):
    """Whole blocks in the file, and whether the counter runs on without a gap up
    to sample index `last` (mod 65536)."""
    data = path.read_bytes()
    header, width = (218, 4) if scale >= 0 else (240, 6)
    size = struct.unpack_from("<I", data, header - 4)[0]
    raw = np.frombuffer(data, np.uint8, size, header)
    if width == 4:
        i = raw.view("<i2")[0::2].astype(np.int64)
    else:
        frames = raw.reshape(-1, 6)
        i = (frames[:, 0].astype(np.int64) | frames[:, 1].astype(np.int64) << 8
             | frames[:, 2].astype(np.int64) << 16)
        i = (i ^ 0x800000) - 0x800000 >> 8
    m = (i + 32768) & 0xFFFF
    whole = len(m) > 0 and m[-1] == last and bool(np.all(np.diff(m) & 0xFFFF == 1))
    return size // (BLOCK * width), whole


def run(speed, scale, seconds, flush=True):
    """Publishes for the lead and `seconds` more at `speed` while the recorder
    runs; returns (blocks published, blocks recorded, nothing lost since the
    recorder opened, recorder CPU seconds)."""
    blocks = int((LEAD_SECONDS + seconds) * speed * RATE / BLOCK)
    with tempfile.TemporaryDirectory() as work:
        with simulator("--speed", speed, "--band", BAND, "--rate", RATE, "--block", BLOCK,
                       "--ring", RING, "--signal", "counter", "--blocks", blocks):
            rec = Proc("VEXA_File.exe", BAND, scale, cwd=work,
                       env=wine_env(VEXA_PUBLISHER_SPEEDUP=100000,
                                    VEXA_FILE_FLUSH=int(flush)))
            try:
                rec.wait_for("receiver :")
                # Publishing ends within the lead and `seconds`; then let the
                # recorder drain.
                time.sleep(LEAD_SECONDS + seconds)
                files = list(Path(work).glob("*.wav"))
                last = -1
                while files and files[0].stat().st_size != last:
                    last = files[0].stat().st_size
                    time.sleep(0.5)
                cpu = cpu_seconds(rec.popen.pid)
                assert rec.stop() == 0
            finally:
                rec.kill()
        files = sorted(Path(work).glob("*.wav"))
        if len(files) != 1:
            return blocks, 0, False, cpu
        got, whole = recorded_blocks(files[0], scale, (blocks * BLOCK - 1) & 0xFFFF)
        return blocks, got, whole, cpu


def highest_speed(scale, seconds, flush):
    """The highest of FLUSH_SPEEDS without a lost block, trying upwards."""
    best = None
    for speed in FLUSH_SPEEDS:
        _, _, ok, _ = run(speed, scale, seconds, flush)
        if not ok:
            break
        best = speed
    return best


def flush_cost(scale, name, sweep):
    """CPU at real time and (sweep) the speed-up limit, each with and without
    flushing."""
    cpu = {}
    for flush in (False, True):
        _, recorded, _, seconds = run(1, scale, FLUSH_RUN_SECONDS, flush)
        cpu[flush] = seconds / (recorded * BLOCK / RATE) * 3600 if recorded else float("nan")
    print(f"{name}: flushing every 10 s: recorder CPU {cpu[True]:.1f} s per recorded hour, "
          f"{cpu[True] / cpu[False]:.2f} times the {cpu[False]:.1f} s without")
    if not sweep:
        return
    limits = {flush: highest_speed(scale, FLUSH_RUN_SECONDS, flush) for flush in (False, True)}
    print(f"{name}: {FLUSH_RUN_SECONDS:.0f} s runs that hold a refresh: highest speed-up "
          f"without a lost block {limits[True]}x flushing, {limits[False]}x without\n")


def main():
    start_wine()
    for scale, name in (() if sys.argv[1:] == ["--flush"] else ((16, "16-bit"), (-1, "24-bit"))):
        published, recorded, _, cpu = run(1, scale, 10.0)
        hour = cpu / (recorded * BLOCK / RATE) * 3600 if recorded else float("nan")
        print(f"{name}: real time, the last {recorded} of {published} blocks, "
              f"recorder CPU {hour:.1f} s per recorded hour")
        best = None
        for speed in SPEEDS[1:]:
            published, recorded, ok, _ = run(speed, scale, PER_RUN_SECONDS)
            print(f"{name}: {speed:>4}x  the last {recorded} of {published} blocks  "
                  f"{'no block lost' if ok else 'LOST BLOCKS'}")
            if not ok:
                break
            best = speed
        print(f"{name}: highest speed-up without a lost block: {best}x "
              f"(target 50x)\n")
    for scale, name in ((16, "16-bit"), (-1, "24-bit")):
        flush_cost(scale, name, sweep=scale == 16)
    subprocess.run(["wineserver", "-k"], env=wine_env(), check=False)


if __name__ == "__main__":
    main()
