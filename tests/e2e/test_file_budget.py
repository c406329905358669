"""VEXA_File with a budget: a recording of many files in a folder it shares
with other files deletes only the oldest of its own band's recordings, and
what it keeps stays within the budget."""
import re
import time

from conftest import Proc, simulator
from test_file import EXE, check_layout

RATE, BLOCK = 8000, 2048
BUDGET = 50_000_000  # "0.05G": one quarter-hour file at 8000 samples/s is 28.8 MB
OLD = "B3_20000101_000000_7050kHz.wav"  # an earlier run's recording: the oldest
FOREIGN = {"notes.wav": 1000, "B3_notes.wav": 1000, "B1_20000101_000000_7050kHz.wav": 10_000_000,
           "B31_20000101_000000_7050kHz.wav": 10_000_000, "B3_20000101_000000_7050kHz.WAV.bak": 5}
RING = 32 << 20
# A band published anew every second starts a new file: at 200 times real time
# each holds 6.4 MB, so the files pass the budget within seconds. The first comes
# late enough for the recorder to be running by then, even after a slow start.
CHANGES = [a for s in range(8, 14) for a in ("--at", s, f"ring={RING}")]


def own(names):
    # Two files begun in one second: the second is named with _2.
    return sorted(n for n in names if re.fullmatch(r"B3_\d{8}_\d{6}_\d+kHz(_\d+)?\.wav", n))


def test_a_budget_deletes_only_the_oldest_own_recordings_and_keeps_within_it(workdir):
    (workdir / OLD).write_bytes(b"\0" * 10_000_000)
    for name, size in FOREIGN.items():
        (workdir / name).write_bytes(b"\0" * size)
    with simulator("--speed", 200, "--band", 3, "--rate", RATE, "--block", BLOCK,
                   "--ring", RING, "--signal", "counter", *CHANGES) as sim:
        rec = Proc(EXE, 3, 16, "Q", "0.05G", cwd=workdir)
        try:
            rec.wait_for("Disk use: 0.12 GB per hour; the free space holds ")
            rec.wait_for("the budget of 0.05G holds 0.4 hours")
            sim.wait_for("band 3 at 13", timeout=30)
            time.sleep(1)
            assert rec.stop() == 0
        finally:
            rec.kill()
    out = rec.stdout.replace("\r\n", "\n")
    deleted = re.findall(r"\nBudget 0\.050 GB: deleted (\S+) \(\d\.\d{3} GB\)(?=\n)", out)
    assert "can't delete" not in out
    left = {p.name: p.stat().st_size for p in workdir.iterdir()}
    # Every foreign file and every other band's recording is still there.
    assert {n: left.get(n) for n in FOREIGN} == FOREIGN
    kept = own(left)
    made = own(deleted + kept)
    assert deleted[0] == OLD and len(deleted) >= 3, out
    # Oldest first: what went is older than all that stayed.
    assert deleted == made[:len(deleted)] and kept == made[len(deleted):]
    assert sum(left[n] for n in kept) <= BUDGET
    for name in kept:
        assert check_layout(workdir / name, 16)[3] > 0
