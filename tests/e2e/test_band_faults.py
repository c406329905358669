"""Every tool against a band that goes wrong under it: a header no reader may trust,
a publisher that jumps or restarts, one that comes back with a larger ring."""
import re
import time

import pytest

from conftest import Proc, clear_of_the_hour, run, simulator
from extio_support import HOST, PLUGIN, env, stats  # noqa: F401 (env: the display fixture)
from net_support import (blocks, connect, counter_index, log, receiver, server, vexa_client,
                         wait_log)
from test_file import EXE as RECORDER
from test_file_faults import file_names, read_16_bit_file, wait_for_files

PLAYER = "VEXA_Wave.exe"


def hostile(band, change):
    """The simulator publishing band with a header broken from the start; it writes
    nothing, so the broken value stays."""
    return simulator("--band", band, "--blocks", 0, "--at", 0, change)


@pytest.mark.parametrize("change, why", [
    ("buffersize=12", "BufferSize=12 is not a whole number of samples"),
    ("buffersize=0", "BufferSize=0 is not a ring size"),
    ("buffersize=8388608", "BufferSize=8388608 is larger than the 4194304 bytes the mapping holds"),
    ("writepos=-8", "WritePos=-8 lies outside the ring of 4194304 bytes"),
    ("writepos=4", "WritePos=4 is not on a whole sample"),
])
def test_a_hostile_header_is_refused_naming_the_value(workdir, change, why):
    with hostile(15, change) as sim:
        sim.wait_for("band 15 at ")
        res = run(RECORDER, 15, cwd=workdir)
    assert (res.returncode, res.stderr) == (1, f"Can't record 15 receiver: {why}\n")
    assert "15 receiver : SampleRate=" not in res.stdout
    assert list(workdir.iterdir()) == []


def test_the_player_the_server_and_the_plugin_say_why_a_band_is_refused(workdir, env):
    why = "BufferSize=12 is not a whole number of samples"
    with hostile(0, "buffersize=12") as sim:
        sim.wait_for("band 0 at ")
        played = run(PLAYER, 0, 0, cwd=workdir)
        with server() as net:
            c = connect()
            assert c.command("attach 0") == "Error: Can't attach to receiver"
            wait_log(net, "SEND: 'Error: Can't attach to receiver'")
            c.close()
        listed = run(HOST, PLUGIN, "init", "open", "dialog", env=env, timeout=90)
    assert (played.returncode, played.stderr) == (1, f"Can't play 0 receiver: {why}\n")
    assert f"RECV: 'attach 0'\nCan't attach 0 receiver: {why}\n" in log(net)
    assert f'dialog: item 0 " 0 - refused: {why}" band -1' in listed.stdout.splitlines()


def collect(u, until):
    """Blocks as they come, [(number, bytes)] in order, until until() holds."""
    done = []
    asm = vexa_client.Assembler(lambda n, b: done.append((n, b)))
    while not until(done):
        asm.add(u.recv(2048))
    return done


def runs(got):
    """Checks that block numbers step by one and every block is whole (its 1024
    samples follow on); returns the indices where the counter starts a new run."""
    starts = [0]
    for j in range(1, len(got)):
        assert got[j][0] == got[j - 1][0] + 1
        if counter_index(got[j][1]) != (counter_index(got[j - 1][1]) + 1024) % 65536:
            starts.append(j)
    return starts


def republish(old, sims, *args):
    """A new receiver (args), started while the stalled old one still holds the
    band's mapping, so it finds the name held smaller; then the old one quits.
    Returns the new one, also added to sims, once it publishes, and the seconds
    it took after the old one had gone."""
    sims.append(Proc("vexa_sim.exe", *args))
    sims[-1].wait_for("is held smaller by its readers, waiting")
    assert old.stop() == 0
    gone = time.monotonic()
    sims[-1].wait_for("Ctrl+C to stop", timeout=30)
    return sims[-1], time.monotonic() - gone


# The plug-in's host runs on for a fixed time: long enough for the new publisher to
# wait for the readers to let go and start, also on a loaded machine.
@pytest.mark.timeout(230)
def test_a_restart_with_a_larger_ring_is_followed_by_the_recorder_server_and_plugin(
        workdir, env):
    clear_of_the_hour(80)
    band = ("--band", 14, "--signal", "counter")
    with server() as net:
        c, u = connect(), receiver()
        rec = plugin = None
        sims = []
        try:
            # The old receiver stalls, holding its mapping until the new one has found
            # the name held smaller, however long Wine takes to start either.
            sims.append(Proc("vexa_sim.exe", *band, "--ring", 1 << 20, "--pause", 15, 600))
            old = sims[0]
            old.wait_for("Ctrl+C to stop")
            rec = Proc(RECORDER, 14, cwd=workdir)
            plugin = Proc(HOST, PLUGIN, "open", "dialog", "start", "data", 100, "run", 50,
                          "stop", env=env)
            assert c.command("attach 14") == "OK 192000"
            assert c.command("start iq %d" % u.getsockname()[1]) == "OK"
            before = blocks(u, 20)
            rec.wait_for(".wav ")
            plugin.wait_for("> run 50", timeout=60)
            old.wait_for("band 14 at ", timeout=30)
            # The readers hold the old mapping: the new publisher waits until they
            # let it go, once the band has been quiet for five seconds.
            new, _ = republish(old, sims, *band, "--ring", 1 << 23)
            rec.wait_for("14 receiver : band re-synchronised, ", timeout=30)
            wait_for_files(rec, 2)
            u.settimeout(30)
            after = blocks(u, 60)[-40:]
            # The counter repeats every 65,536 samples: an old publisher that
            # stopped on a whole number of those is followed without a jump.
            written = int(re.search(r"band 14: (\d+) blocks written", old.stdout).group(1))
            jumps = 0 if written * 2048 % 65536 == 0 else 1
            try:
                if jumps:
                    plugin.wait_for("data: the counter jumped", timeout=40)
            except AssertionError as e:  # what the other readers saw meanwhile
                raise AssertionError("%s\nrecorder:\n%s\nsimulator:\n%s\nserver:\n%s" % (
                    e, rec.stdout, new.stdout, log(net)[-2000:])) from None
            time.sleep(1)
            assert rec.stop() == 0
            plugin.wait(90)
            assert new.stop() == 0
        finally:
            c.close()
            for p in [rec, plugin] + sims:
                if p:
                    p.kill()
    assert runs(before) == [0] and runs(after) == [0]
    assert after[0][0] > before[-1][0]  # the server's block numbers went on
    assert "Can't" not in log(net)
    names = file_names(rec)
    assert len(names) == 2
    for name in names:
        rate, _, m = read_16_bit_file(workdir / name)  # one run of the counter each
        assert rate == 192000
    # The plug-in's calls: one jump of the counter, to the new publisher's, more
    # calls than the old one had blocks, and no call with samples that do not follow on.
    lines = plugin.stdout.splitlines()
    assert len([l for l in lines if l.startswith("data: the counter jumped")]) == jumps
    s = stats(lines)
    assert s["calls"] > written
    assert s["bad"] == 0 and s["count_errors"] == 0 and s["status_errors"] == 0


def test_the_server_stream_goes_on_across_a_jump_and_a_restart():
    # At 48000 samples/s the 4 MiB ring lasts 11 s. At 5 s WritePos jumps back to the
    # ring's start; at 9 s the publisher starts anew in a 1 MiB ring, the counter
    # from 0.
    with simulator("--band", 16, "--rate", 48000, "--signal", "counter",
                   "--at", 5, "writepos=8", "--at", 9, "ring=1048576") as sim:
        with server():
            c, u = connect(), receiver()
            assert c.command("attach 16") == "OK 48000"
            assert c.command("start iq %d" % u.getsockname()[1]) == "OK"
            seen = {}

            def until(done):
                if done and "first" not in seen:
                    seen["first"] = "band 16 at 5" not in sim.stdout  # before the jump
                if "restart" not in seen and "band 16 at 9" in sim.stdout:
                    seen["restart"] = len(done)
                return len(done) > seen.get("restart", 1 << 30) + 40

            got = collect(u, until)
            jumped_later = seen["first"]
            c.close()
    starts = runs(got)
    # The jump skips what the publisher wrote at the ring's start; after the restart
    # the stream starts where the new publisher did, at sample 0.
    assert len(starts) == (3 if jumped_later else 2), starts
    assert counter_index(got[starts[-1]][1]) == 0


def first_index(folder, name):
    """The counter index a completed 16-bit file begins with."""
    _, _, m = read_16_bit_file(folder / name)
    return int(m[0])


# A ring one sample short of 4 MiB, so the counter's period (65536 samples) does
# not divide it: a restarted publisher's bytes differ from the old ones anywhere.
RING = (1 << 22) - 8


@pytest.mark.timeout(180)
def test_a_recorder_across_a_receiver_that_quits_and_restarts_keeps_its_first_samples(workdir):
    clear_of_the_hour(60)
    band = ("--band", 11, "--signal", "counter", "--ring", RING)
    rec = None
    try:
        with simulator(*band):
            rec = Proc(RECORDER, 11, cwd=workdir)
            rec.wait_for(".wav ")
            time.sleep(1)
        time.sleep(8)  # the recorder lets the quiet band go, and the name with it
        with simulator(*band) as new:
            assert "held smaller" not in new.stdout
            rec.wait_for("11 receiver : band re-synchronised, ")
            wait_for_files(rec, 2)
            time.sleep(1)
            assert rec.stop() == 0
    finally:
        if rec:
            rec.kill()
    assert "samples lost" not in rec.stdout
    names = file_names(rec)
    assert first_index(workdir, names[1]) == 0  # the new run from its first sample


@pytest.mark.timeout(230)
def test_two_recorders_behind_a_dead_publisher_let_it_come_back_with_a_larger_ring(tmp_path):
    clear_of_the_hour(90)
    band = ("--band", 8, "--signal", "counter")
    folders = [tmp_path / "a", tmp_path / "b"]
    for folder in folders:
        folder.mkdir()
    recs, sims = [], []
    try:
        # The old receiver stalls and holds its mapping until it is stopped, so the
        # second recorder opens the quiet band however long Wine takes to start it,
        # and the new receiver finds the name held smaller whatever its own start.
        sims.append(Proc("vexa_sim.exe", *band, "--ring", 1 << 20, "--pause", 14, 600))
        sims[0].wait_for("Ctrl+C to stop")
        recs.append(Proc(RECORDER, 8, cwd=folders[0]))
        recs[0].wait_for(".wav ")
        sims[0].wait_for("band 8 at ", timeout=30)
        recs.append(Proc(RECORDER, 8, cwd=folders[1]))
        recs[1].wait_for("8 receiver : SampleRate=")
        _, waited = republish(sims[0], sims, *band, "--ring", 1 << 23)
        for rec in recs:
            rec.wait_for("8 receiver : band re-synchronised, ", timeout=30)
        time.sleep(1)
        for rec in recs:
            assert rec.stop() == 0
        assert sims[1].stop() == 0
    finally:
        for proc in recs + sims:
            proc.kill()
    assert waited < 15  # both had let the quiet band go, and look it up once a second
    for rec, folder in zip(recs, folders):
        assert "samples lost" not in rec.stdout
        assert first_index(folder, file_names(rec)[-1]) == 0
