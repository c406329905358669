"""Benchmark of VEXA_File: how much faster than real time a 192000 samples/s band
with BlockInSamples 2048 can be recorded without losing a block, and what the
recorder costs in CPU at real time.

  VEXA_BUILD=build /usr/bin/python3 bench/bench_file.py

The simulator publishes the band silently (SampleRate 0) until the recorder has
opened it, then writes a known number of counter blocks at the chosen speed: a
recording that holds every one of them, in order, lost nothing.
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
START_AT = 3.0  # seconds after the simulator starts: the recorder is open by then
SPEEDS = [1, 10, 25, 50, 100, 150, 200, 300, 400]
PER_RUN_SECONDS = 2.0  # of publishing, at every speed


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def recorded_blocks(path, scale):
    """Whole blocks in the file, and whether the counter runs on without a gap."""
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
    contiguous = len(m) > 0 and m[0] == 0 and bool(np.all(np.diff(m) & 0xFFFF == 1))
    return size // (BLOCK * width), contiguous


def run(speed, scale, seconds):
    """Records `seconds` of publishing at `speed`; returns (blocks published,
    blocks recorded, counter contiguous, recorder CPU seconds)."""
    blocks = int(seconds * speed * RATE / BLOCK)
    with tempfile.TemporaryDirectory() as work:
        with simulator("--speed", speed, "--band", BAND, "--rate", 0, "--block", BLOCK,
                       "--signal", "counter", "--blocks", blocks,
                       "--at", START_AT, f"rate={RATE}") as sim:
            rec = Proc("VEXA_File.exe", BAND, scale, cwd=work)
            try:
                rec.wait_for("receiver :")
                sim.wait_for(f"SampleRate={RATE} BlockInSamples", timeout=START_AT + 10)
                # Publishing ends after `seconds`; then let the recorder drain.
                time.sleep(seconds + 0.5)
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
        got, contiguous = recorded_blocks(files[0], scale)
        return blocks, got, contiguous, cpu


def main():
    start_wine()
    for scale, name in ((16, "16-bit"), (-1, "24-bit")):
        published, recorded, _, cpu = run(1, scale, 10.0)
        hour = cpu / (recorded * BLOCK / RATE) * 3600 if recorded else float("nan")
        print(f"{name}: real time, {recorded}/{published} blocks, "
              f"recorder CPU {hour:.1f} s per recorded hour")
        best = None
        for speed in SPEEDS[1:]:
            published, recorded, contiguous, _ = run(speed, scale, PER_RUN_SECONDS)
            ok = recorded == published and contiguous
            print(f"{name}: {speed:>4}x  {recorded}/{published} blocks  "
                  f"{'no block lost' if ok else 'LOST BLOCKS'}")
            if not ok:
                break
            best = speed
        print(f"{name}: highest speed-up without a lost block: {best}x "
              f"(target 50x)\n")
    subprocess.run(["wineserver", "-k"], env=wine_env(), check=False)


if __name__ == "__main__":
    main()
