"""ExtIO_VEXA.dll driven by the test host extio_host.exe, against vexa_sim.

The settings dialog needs an X display: DISPLAY when set, else VEXA_DISPLAY (:95 by
default); an Xvfb is started there for this module unless one already answers.
"""
import os
import re
import shutil
import subprocess
import time

import pytest

from conftest import ARTIFACTS, BIN, Proc, have, run, simulator, wine_cmd, wine_env

PLUGIN = "ExtIO_VEXA.dll"
HOST = "extio_host.exe"
TRIPLE = [103, 101, 102]


@pytest.fixture(scope="module")
def env():
    display = os.environ.get("DISPLAY") or os.environ.get("VEXA_DISPLAY", ":95")
    if not have("Xvfb"):
        pytest.skip("Xvfb is not installed")
    started = None
    if subprocess.run(["xdpyinfo", "-display", display], capture_output=True).returncode != 0:
        started = subprocess.Popen(
            ["Xvfb", display, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(50):
            if subprocess.run(["xdpyinfo", "-display", display],
                              capture_output=True).returncode == 0:
                break
            time.sleep(0.1)
    env = wine_env(DISPLAY=display)
    # The first window starts Wine's desktop process, which would hold on to the
    # output pipes of whichever program made it: let it start here, unpiped.
    subprocess.run(wine_cmd(HOST, PLUGIN, "show"), env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    yield env
    if started:
        started.terminate()
        started.wait(10)


def host(env, *steps, options=(), timeout=90):
    res = run(HOST, *options, PLUGIN, *steps, env=env, timeout=timeout)
    return res, res.stdout.splitlines()


def statuses(lines, thread=None):
    """The status codes of the callback, in order, optionally only from one thread."""
    out = []
    for line in lines:
        m = re.match(r"status (\d+) after (\d+) data calls, on the (\S+) thread", line)
        if m and (thread is None or m.group(3) == thread):
            out.append(int(m.group(1)))
    return out


def section(lines, step, next_step=None):
    """The lines a step printed: from its "> step" line to the next "> " line."""
    start = lines.index("> " + step) + 1
    end = start
    while end < len(lines) and not lines[end].startswith("> "):
        end += 1
    return lines[start:end]


def stats(lines):
    line = [l for l in lines if l.startswith("stats:")][-1]
    nums = dict(
        calls=r"(\d+) data calls", lost=r"lost (\d+)", bad=r"bad blocks (\d+)",
        threads=r"data threads since start (\d+)", after_stop=r"after stop (\d+)",
        after_unload=r"after unload (\d+)", status_errors=r"status errors (\d+)")
    return {k: int(re.search(p, line).group(1)) for k, p in nums.items()}


def millis(lines, prefix):
    line = [l for l in lines if l.startswith(prefix)][-1]
    return float(re.search(r"after ([\d.]+) ms", line).group(1))


def assert_clean(res, lines):
    assert res.returncode == 0, res.stdout + res.stderr
    assert lines[-1] == "done: 0 errors"
    s = stats(lines)
    assert s["status_errors"] == 0 and s["after_stop"] == 0 and s["after_unload"] == 0


# ---- command line and exports -------------------------------------------------


def test_exports_carry_both_names_of_one_function():
    objdump = shutil.which("i686-w64-mingw32-objdump")
    if not objdump:
        pytest.skip("i686-w64-mingw32-objdump is not installed")
    text = subprocess.run([objdump, "-p", str(BIN / PLUGIN)], capture_output=True,
                          text=True, check=True).stdout
    rvas = {int(i): rva for i, rva in re.findall(r"\[\s*(\d+)\] \+base\[\s*\d+\] (\w+) Export RVA",
                                                 text)}
    names = text.split("[Ordinal/Name Pointer] Table")[1].split("\n\n")[0]
    by_name = {name: rvas[int(i)] for i, name in re.findall(r"\[\s*(\d+)\] (\S+)", names)}
    exports = {"InitHW": 12, "OpenHW": 0, "StartHW": 4, "StopHW": 0, "CloseHW": 0,
               "HideGUI": 0, "ShowGUI": 0, "SetHWLO": 4, "GetHWLO": 0, "GetHWSR": 0,
               "GetStatus": 0, "SetCallback": 4}
    assert len(by_name) == 2 * len(exports)
    for name, size in exports.items():
        assert by_name[name] == by_name[f"_{name}@{size}"], name
    assert by_name["CloseHW"] == by_name["HideGUI"]
    assert len(set(by_name.values())) == len(exports) - 1


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
    for name in ("InitHW", "_InitHW@12", "SetCallback", "_SetCallback@4"):
        assert f"missing export: {name}\n" in res.stderr
    assert "can't drive a plug-in without InitHW" in res.stderr


def test_host_sees_both_names_resolve_alike(env):
    res, lines = host(env, "status")
    assert lines[0].endswith("24 of 24 exports found, CloseHW and HideGUI are one function")
    assert "status: GetStatus returned 0" in lines
    assert_clean(res, lines)


# ---- without a band -------------------------------------------------------------


def test_without_bands_nothing_is_selected(env):
    res, lines = host(env, "stop", "init", "sr", "lo", "start", "setlo", "7000", "nocallback",
                      "setlo", "8000", "callback", "stop", "stop", "close", "hide", "show",
                      "show", "dialog", "hide", "dialog")
    assert 'init: false, name "No VEXA buffers", model " ", type 3' in lines
    assert "sr: GetHWSR returned 0" in lines and "lo: GetHWLO returned 0" in lines
    assert "start: StartHW returned 0" in lines
    assert statuses(section(lines, "setlo 7000")) == [101]
    assert "setlo: SetHWLO(7000) returned 0" in lines
    assert statuses(section(lines, "setlo 8000")) == []
    assert "setlo: SetHWLO(8000) returned 0" in lines
    assert statuses(lines) == [101]  # the empty dialog reopens nothing
    shown = section(lines, "dialog")
    assert shown[0] == "dialog: 1 shown"
    assert "dialog: band list of 0 items, item -1 selected" in shown
    assert 'dialog: sample rate ""' in shown and 'dialog: block length ""' in shown
    assert 'dialog: scale factor "16"' in shown
    assert lines[lines.index("> hide", lines.index("> dialog")) + 2] == "dialog: 0 shown"
    assert_clean(res, lines)


# ---- the dialog ---------------------------------------------------------------------


BANDS = ("--band", 0, "--block", 1024, "--band", 1, "--rate", 96000, "--block", 512,
         "--l0", 14100000, "--band", 3, "--rate", 0)


def test_dialog_lists_bands_and_picks_one(env):
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
    assert statuses(section(lines, "open"), "host's") == TRIPLE
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
    assert statuses(picked) == TRIPLE
    assert all("GetHWSR=96000 GetHWLO=14100000" in l for l in picked if l.startswith("status"))
    after = lines[lines.index("> dialog", lines.index("> pick 1")):]
    assert "dialog: band list of 2 items, item 1 selected" in after
    assert 'dialog: sample rate "96000 Hz"' in after and 'dialog: block length "512 Smpls"' in after
    # The same band again still refills and reopens; a second ShowGUI does nothing.
    assert statuses(lines) == TRIPLE * 3
    assert lines[lines.index("> dialog", lines.index("> show")) + 1] == "dialog: 1 shown"


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
    s = stats(lines)
    assert s["lost"] == 0 and s["bad"] == 0
    assert_clean(res, lines)


# ---- streaming --------------------------------------------------------------------


def test_stream_delivers_every_block_once_and_stops(env):
    with simulator("--band", 0, "--block", 1024):
        res, lines = host(env, "open", "start", "data", 300, "stop", "run", 1)
    counts = [l for l in lines if l.startswith("data: count")]
    assert counts == ["data: count 1024 on the first data call"]
    s = stats(lines)
    assert s["calls"] >= 300 and s["lost"] == 0 and s["bad"] == 0 and s["threads"] == 1
    assert millis(lines, "stop:") < 1000  # a hang guard, not a speed figure
    assert_clean(res, lines)


def test_second_start_keeps_one_reading_thread(env):
    with simulator("--band", 0, "--block", 1024):
        res, lines = host(env, "open", "start", "data", 50, "start", "data", 200, "stop")
    assert statuses(lines, "plug-in's") == TRIPLE  # one thread opened the band
    s = stats(lines)
    assert s["threads"] == 1 and s["lost"] == 0 and s["bad"] == 0
    assert_clean(res, lines)


def test_start_before_a_band_is_chosen_streams_after_the_dialog(env):
    with simulator("--band", 0, "--block", 1024):
        res, lines = host(env, "init", "sr", "lo", "start", "run", 1, "open", "data", 100, "stop")
    assert "sr: GetHWSR returned 0" in lines and "lo: GetHWLO returned 0" in lines
    assert "start: StartHW returned 0" in lines
    assert statuses(section(lines, "run 1")) == []
    assert statuses(section(lines, "open"), "host's") == TRIPLE
    assert stats(lines)["lost"] == 0
    assert_clean(res, lines)


def test_header_change_is_reported_after_the_block(env):
    with simulator("--band", 0, "--block", 1024, "--at", 1.5, "l0=7100000",
                   "--at", 3, "block=512"):
        res, lines = host(env, "open", "start", "run", 5, "lo", "stop")
    stream = [l for l in lines if l.startswith(("status", "data:"))]
    thread_statuses = [l for l in stream if "plug-in's" in l]
    assert [int(l.split()[1]) for l in thread_statuses] == TRIPLE * 3
    change_lo = thread_statuses[3:6]
    assert all("GetHWLO=7100000" in l for l in change_lo)
    assert int(re.search(r"after (\d+) data", change_lo[0]).group(1)) > 0
    change_block = thread_statuses[6:9]
    calls = int(re.search(r"after (\d+) data", change_block[0]).group(1))
    switch = f"data: count 512 (was 1024) after {calls} data calls"
    assert stream.index(switch) == stream.index(change_block[2]) + 1
    assert "lo: GetHWLO returned 7100000" in lines
    s = stats(lines)
    assert s["lost"] == 0 and s["bad"] == 0
    assert_clean(res, lines)


def test_stop_while_the_publisher_is_silent(env):
    with simulator("--band", 0, "--block", 1024, "--blocks", 300):
        res, lines = host(env, "open", "start", "data", 50, "run", 3, "stop")
    assert millis(lines, "stop:") < 1000
    assert stats(lines)["lost"] == 0
    assert_clean(res, lines)


def test_block_too_long_for_the_buffers_is_never_read(env):
    with simulator("--band", 0, "--block", 4096, "--at", 2, "block=1024"):
        res, lines = host(env, "open", "start", "run", 1, "stats", "data", 50, "stop")
    assert "start: StartHW returned 4096" in lines
    assert stats(section(lines, "stats"))["calls"] == 0
    # Once the band is mended the thread notices and streams.
    assert statuses(lines, "plug-in's") == TRIPLE * 2
    assert [l for l in lines if l.startswith("data: count")] == [
        "data: count 1024 on the first data call"]
    assert_clean(res, lines)


@pytest.mark.parametrize("steps", [
    ("open", "start", "data", 50, "unload", "run", 1),
    ("open", "start", "data", 50, "stop", "unload", "run", 1),
    ("open", "close", "start", "data", 50, "unload", "run", 1),
    ("start", "unload", "run", 1),
], ids=["streaming", "stopped", "no-dialog", "no-band"])
def test_unload_neither_crashes_nor_hangs(env, steps):
    with simulator("--band", 0, "--block", 1024):
        res, lines = host(env, *steps)
    assert millis(lines, "unload:") < 1000
    assert_clean(res, lines)


def test_process_exit_while_streaming(env):
    with simulator("--band", 0, "--block", 1024):
        res, lines = host(env, "open", "start", "data", 50)
    assert_clean(res, lines)
