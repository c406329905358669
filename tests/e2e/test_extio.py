"""ExtIO_VEXA.dll driven by the test host extio_host.exe, against vexa_sim: exports,
the dialog and the stream."""
import os
import re
import shutil
import subprocess
from types import SimpleNamespace

from conftest import ARCH, ARTIFACTS, BIN, Proc, run, simulator
# env is the fixture both modules use.
from extio_support import (BANDS, HOST, NEW_RATE, PLUGIN, TRIPLE, assert_clean, env, host, millis,
                           section, stats, statuses, windows_line)


# ---- command line and exports -------------------------------------------------


# Argument bytes of each export: a 32-bit DLL also carries the decorated stdcall
# name _Name@bytes of each, an x64 DLL only the plain names.
EXPORTS = {"InitHW": 12, "OpenHW": 0, "StartHW": 4, "StopHW": 0, "CloseHW": 0,
           "HideGUI": 0, "ShowGUI": 0, "SetHWLO": 4, "GetHWLO": 0, "GetHWSR": 0,
           "GetStatus": 0, "SetCallback": 4, "ExtIoGetSetting": 12, "ExtIoSetSetting": 8,
           "GetAttenuators": 8, "GetActualAttIdx": 0, "SetAttenuator": 4,
           "ExtIoGetSrates": 8, "ExtIoGetActualSrateIdx": 0, "ExtIoSetSrate": 4}
DECORATED = ARCH == "x86"


def test_exports_are_the_names_hosts_of_this_architecture_look_up():
    objdump = shutil.which(os.environ["VEXA_TOOL_PREFIX"] + "-objdump")
    assert objdump, "the MinGW binutils of this architecture are missing (scripts/setup.sh)"
    text = subprocess.run([objdump, "-p", str(BIN / PLUGIN)], capture_output=True,
                          text=True, check=True).stdout
    assert ("Magic\t\t\t020b" if ARCH == "x64" else "Magic\t\t\t010b") in text  # PE32+ / PE32
    rvas = {int(i): rva for i, rva in re.findall(r"\[\s*(\d+)\] \+base\[\s*\d+\] (\w+) Export RVA",
                                                 text)}
    names = text.split("[Ordinal/Name Pointer] Table")[1].split("\n\n")[0]
    by_name = {name: rvas[int(i)] for i, name in re.findall(r"\[\s*(\d+)\] (\S+)", names)}
    expected = set(EXPORTS) | ({f"_{n}@{b}" for n, b in EXPORTS.items()} if DECORATED else set())
    assert set(by_name) == expected
    for name, size in EXPORTS.items():
        if DECORATED:
            assert by_name[name] == by_name[f"_{name}@{size}"], name
    assert by_name["CloseHW"] != by_name["HideGUI"]  # CloseHW also ends the stream
    assert len(set(by_name.values())) == len(EXPORTS)


def test_host_command_line_errors(env):
    res = run(HOST, env=env)
    assert res.returncode == 2 and "Usage: extio_host" in res.stderr
    res = run(HOST, PLUGIN, "init", "jump", env=env)
    assert res.returncode == 2 and "unknown step 'jump'" in res.stderr
    res = run(HOST, PLUGIN, "pick", "one", env=env)
    assert res.returncode == 2 and "step 'pick' needs a whole number" in res.stderr
    res = run(HOST, "--fast", PLUGIN, env=env)
    assert res.returncode == 2 and "unknown option '--fast'" in res.stderr
    res = run(HOST, "no_such_plugin.dll", "init", env=env)
    assert res.returncode == 1 and "can't load 'no_such_plugin.dll'" in res.stderr


def test_host_names_every_missing_export(env):
    res = run(HOST, "kernel32.dll", "init", env=env)
    assert res.returncode == 1
    names = ["InitHW", "SetCallback"] + (["_InitHW@12", "_SetCallback@4"] if DECORATED else [])
    for name in names:
        assert f"missing export: {name}\n" in res.stderr
    assert DECORATED or "@" not in res.stderr
    assert "can't drive a plug-in without InitHW" in res.stderr


def test_host_sees_both_names_resolve_alike(env):
    res, lines = host(env, "status")
    names = 2 if DECORATED else 1
    assert lines[0].endswith(f"{12 * names} of {12 * names} exports found, CloseHW and HideGUI "
                             f"are two functions; {8 * names} of {8 * names} optional export names")
    assert "status: GetStatus returned 0" in lines
    assert_clean(res, lines)


# ---- without a band -------------------------------------------------------------


def test_without_bands_nothing_is_selected(env):
    res, lines = host(env, "stop", "init", "sr", "lo", "srates", "start", "setlo", "7000",
                      "nocallback",
                      "setlo", "8000", "callback", "stop", "stop", "close", "hide", "show",
                      "show", "dialog", "hide", "dialog")
    assert 'init: false, name "No VEXA buffers", model " ", type 3' in lines
    assert "sr: GetHWSR returned 0" in lines and "lo: GetHWLO returned 0" in lines
    assert section(lines, "srates") == ["srates: actual 0, SetSrate(0) 0, SetSrate(1) 1"]
    assert "start: StartHW returned 0" in lines
    assert statuses(section(lines, "setlo 7000")) == [101]
    assert "setlo: SetHWLO(7000) returned 0" in lines
    assert statuses(section(lines, "setlo 8000")) == []
    assert "setlo: SetHWLO(8000) returned 0" in lines
    assert statuses(lines) == [101]  # the empty dialog reopens nothing
    shown = section(lines, "dialog")
    assert shown[0].startswith("dialog: 1 shown; windows of the process: 1 dialogs")
    assert "dialog: band list of 0 items, item -1 selected" in shown
    assert 'dialog: sample rate ""' in shown and 'dialog: block length ""' in shown
    assert 'dialog: scale factor "16"' in shown
    assert windows_line(lines, lines.index("> hide", lines.index("> dialog")) + 1) == (0, 0)
    assert_clean(res, lines)


# ---- the dialog ---------------------------------------------------------------------


def test_dialog_lists_bands_and_picks_one(env):
    # The host registers no window class: the plug-in's up-down control is its own.
    with simulator(*BANDS):
        proc = Proc(HOST, PLUGIN, "init", "open", "dialog", "run", 3, "pick", 1, "dialog",
                    "pick", 1, "show", "dialog", env=env)
        proc.wait_for("> run 3")
        shot = ARTIFACTS / "extio_dialog.png"
        subprocess.run(["import", "-display", env["DISPLAY"], "-window", "root", str(shot)],
                       check=True, timeout=30)
        assert proc.wait(60) == 0, proc.stdout + proc.stderr
        lines = proc.stdout.splitlines()
    assert shot.stat().st_size > 0
    assert "init: true, name \"VEXA\", model \" \", type 3" in lines
    assert statuses(section(lines, "open"), "plug-in's") == NEW_RATE
    first = section(lines, "dialog")
    assert re.match(r"dialog: at \d+,0 size \d+x\d+ on a 1280x1024 desktop; top-right corner: "
                    r"yes; top-most: yes; visible: yes", first[1])
    assert first[2:6] == [
        "dialog: band list of 2 items, item 0 selected",
        'dialog: item 0 " 0 -   7050000 Hz" band 0',
        'dialog: item 1 " 1 -  14100000 Hz" band 1',
        'dialog: sample rate "192000 Hz"']
    assert 'dialog: block length "1024 Smpls"' in first
    assert 'dialog: scale factor "16"' in first and "dialog: up-down position 16" in first
    picked = section(lines, "pick 1")
    assert statuses(picked) == NEW_RATE  # 192000 -> 96000: the host re-reads the rate
    assert all("GetHWSR=96000 GetHWLO=14100000" in l for l in picked if l.startswith("status"))
    after = lines[lines.index("> dialog", lines.index("> pick 1")):]
    assert "dialog: band list of 2 items, item 1 selected" in after
    assert 'dialog: sample rate "96000 Hz"' in after and 'dialog: block length "512 Smpls"' in after
    # The same band again refills but does not reopen; a second ShowGUI does nothing.
    assert statuses(lines) == NEW_RATE * 2
    assert windows_line(lines, lines.index("> dialog", lines.index("> show"))) == (1, 1)


def test_scale_factor_follows_the_up_down_control(env):
    with simulator("--band", 0, "--block", 1024):
        res, lines = host(env, "open", "start", "data", 20, "scale", "+3", "data", 20,
                          "scale", "+20", "data", 20, "scale", "-30", "data", 20, "scale", "+16",
                          "data", 40, "stop", "dialog")
    assert 'scale: 3 clicks up, position 19, buddy "19"' in lines
    assert 'scale: 20 clicks up, position 24, buddy "24"' in lines
    assert 'scale: 30 clicks down, position 0, buddy "0"' in lines
    assert 'scale: 16 clicks up, position 16, buddy "16"' in lines
    seen = [int(m.group(1)) for m in map(re.compile(r"data: at scale factor (\d+)").match, lines)
            if m]
    assert seen == [19, 24, 0, 16]
    # Every move is announced as an attenuator change, so the host's gain follows:
    # 3 up, 5 up (then the top), 24 down (then the bottom), 16 up. Below scale factor
    # 9 the loudest entry, 15, is the nearest.
    att = [int(l.split("=")[1]) for l in lines if l.startswith("status 125: GetActualAttIdx=")]
    assert len(att) == 3 + 5 + 24 + 16 and statuses(lines).count(125) == len(att)
    assert att[2] == 24 - 19 and att[7] == 0 and att[21] == 24 - 10 and att[22] == 24 - 9
    assert att[23] == 15 and att[31] == 15 and att[39] == 15 and att[41] == 24 - 10
    assert att[-1] == 8
    assert_clean(res, lines)


# ---- streaming --------------------------------------------------------------------


def test_stream_delivers_every_block_once_and_stops(env):
    with simulator("--band", 0, "--block", 1024):
        res, lines = host(env, "open", "start", "data", 300, "stop", "run", 1)
    counts = [l for l in lines if l.startswith("data: count")]
    assert counts == ["data: count 1024 on the first data call"]
    s = stats(lines)
    assert s["calls"] >= 300 and s["threads"] == 1
    assert millis(lines, "stop:") < 1000  # a hang guard, not a speed figure
    assert_clean(res, lines)


def test_second_start_keeps_one_reading_thread(env):
    with simulator("--band", 0, "--block", 1024):
        res, lines = host(env, "open", "start", "data", 50, "start", "data", 200, "stop")
    assert statuses(lines) == NEW_RATE + TRIPLE  # the dialog's reopen, then one thread's
    assert stats(lines)["threads"] == 1
    assert_clean(res, lines)


def test_start_before_a_band_is_chosen_streams_after_the_dialog(env):
    with simulator("--band", 0, "--block", 1024):
        res, lines = host(env, "init", "sr", "lo", "start", "run", 1, "open", "data", 100, "stop")
    assert "sr: GetHWSR returned 0" in lines and "lo: GetHWLO returned 0" in lines
    assert "start: StartHW returned 0" in lines
    assert statuses(section(lines, "run 1")) == []
    assert statuses(section(lines, "open")) == NEW_RATE
    assert [l for l in lines if l.startswith("data: count")] == [
        "data: count 1024 on the first data call"]
    assert_clean(res, lines)


# The user restarts the receiver and presses Start before it is back: the stream
# waits for the band, and data flows as soon as the publisher is there, announced as
# for a restart.
def test_start_before_the_publisher_is_back_streams_when_it_comes(env):
    steps = ("open", "start", "data", 50, "stop", "run", 5, "start", "run", 1, "data", 100, "stop")
    with simulator("--band", 0, "--block", 1024):
        proc = Proc(HOST, PLUGIN, *map(str, steps), env=env)
        proc.wait_for("> run 5", timeout=60)
    proc.wait_for("> run 1", timeout=60)
    with simulator("--band", 0, "--block", 1024):
        res = SimpleNamespace(returncode=proc.wait(60), stdout=proc.stdout, stderr=proc.stderr)
    lines = res.stdout.splitlines()
    restart = lines[lines.index("> start", lines.index("> run 5")):]
    assert statuses(restart) == TRIPLE + NEW_RATE
    assert stats(lines)["calls"] >= 150
    assert_clean(res, lines)


# The band's LO, rate and block length change under a host that reads every call
# with StartHW's count: each change is reported after its block, the rate change
# with 100 first, and the count never moves while nothing is lost or repeated. The
# first change comes 2 s in: a loaded machine may take a second to start the host.
def test_header_changes_are_reported_and_the_count_stays(env):
    with simulator("--band", 0, "--block", 1024, "--at", 2, "l0=7100000", "--at", 3,
                   "rate=96000", "--at", 4, "block=512", "--at", 5, "block=2048"):
        res, lines = host(env, "open", "start", "run", 7, "lo", "sr", "stop",
                          options=("--start-count",))
    assert "start: StartHW returned 1024" in lines
    stream = [l for l in lines if l.startswith("status") and "plug-in's" in l]
    codes = [int(l.split()[1]) for l in stream]
    assert codes == NEW_RATE + TRIPLE * 2 + NEW_RATE + TRIPLE * 2
    assert all("GetHWLO=7100000" in l for l in stream[7:10])
    assert all("GetHWSR=96000" in l for l in stream[10:14])
    assert all(int(re.search(r"after (\d+) data", l).group(1)) > 0 for l in stream[7:])
    assert "lo: GetHWLO returned 7100000" in lines and "sr: GetHWSR returned 96000" in lines
    assert [l for l in lines if l.startswith("data: count")] == [
        "data: count 1024 on the first data call"]
    assert_clean(res, lines)


# Blocks longer than a call, not a multiple of 512, shorter than 512: StartHW's count
# is a multiple of 512 up to 2048, and every band streams in calls of it.
def test_any_block_length_streams_in_calls_of_startHWs_count(env):
    blocks = [4096, 1000, 256, 2049]
    args = [a for n, b in enumerate(blocks) for a in ("--band", n, "--block", b)]
    steps = ["open"]
    for n in range(len(blocks)):
        steps += (["pick", n] if n else []) + ["start", "data", 100, "stop"]
    with simulator(*args):
        res, lines = host(env, *steps, options=("--start-count",))
    assert [int(l.split()[-1]) for l in lines if l.startswith("start:")] == [2048, 512, 512, 2048]
    assert stats(lines)["calls"] >= 400
    assert_clean(res, lines)


# The publisher jumps far ahead in its ring (as one that lost its place): the stream
# restarts at the new position. Nothing stale from the skipped part of the ring and
# no call pieced together across the jump: the counter (which the simulator keeps
# counting) skips once, by the part of a call that was waiting and at most the block
# written at the new position before the reader looked, and runs on from there.
def test_stream_restarts_cleanly_where_the_publisher_jumps(env):
    with simulator("--band", 0, "--block", 1000, "--at", 1, "writepos=3500000"):
        res, lines = host(env, "open", "start", "run", 3, "stop", options=("--start-count",))
    assert "start: StartHW returned 512" in lines
    assert len([l for l in lines if "counter jumped" in l]) <= 1
    s = stats(lines)
    assert s["lost"] < 512 + 1000 and s["bad"] == 0 and s["count_errors"] == 0
    assert s["calls"] > 3 * 192000 // 512 // 2
    assert s["status_errors"] == 0 and s["after_stop"] == 0
    skipped = "extio_host: data calls lost samples or broke the counter pattern\n"
    assert res.stderr == (skipped if s["lost"] else "")


# The publisher writes for 4 s, long enough for a host that starts slowly to see its
# data, and is silent when the host stops 4 s after the data came.
def test_stop_while_the_publisher_is_silent(env):
    with simulator("--band", 0, "--block", 1024, "--blocks", 750):
        res, lines = host(env, "open", "start", "data", 50, "run", 4, "stop")
    assert millis(lines, "stop:") < 1000
    assert_clean(res, lines)
