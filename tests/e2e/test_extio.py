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
NEW_RATE = [100] + TRIPLE  # the rate is new to the host: 100 first


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


def host(env, *steps, options=(), timeout=90, debug=None):
    """Runs the host; debug names Wine debug channels to log on stderr."""
    env = dict(env, WINEDEBUG=debug) if debug else env
    res = run(HOST, *options, PLUGIN, *steps, env=env, timeout=timeout)
    return res, res.stdout.splitlines()


def no_access_violation(res):
    """With debug="+seh" Wine logs every exception; an access violation is c0000005."""
    return "c0000005" not in res.stderr


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
        count_errors=r"count errors (\d+)",
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
    assert s["lost"] == 0 and s["bad"] == 0 and s["count_errors"] == 0


def windows_line(lines, step_index):
    """The window counts the dialog step at lines[step_index] printed."""
    m = re.match(r"dialog: (\d+) shown; windows of the process: (\d+) dialogs",
                 lines[step_index + 1])
    return int(m.group(1)), int(m.group(2))


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
               "GetStatus": 0, "SetCallback": 4, "ExtIoGetSetting": 12, "ExtIoSetSetting": 8,
               "GetAttenuators": 8, "GetActualAttIdx": 0, "SetAttenuator": 4,
               "ExtIoGetSrates": 8, "ExtIoGetActualSrateIdx": 0, "ExtIoSetSrate": 4}
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
    assert lines[0].endswith("24 of 24 exports found, CloseHW and HideGUI are one function; "
                             "16 of 16 optional export names")
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
    assert shown[0].startswith("dialog: 1 shown; windows of the process: 1 dialogs")
    assert "dialog: band list of 0 items, item -1 selected" in shown
    assert 'dialog: sample rate ""' in shown and 'dialog: block length ""' in shown
    assert 'dialog: scale factor "16"' in shown
    assert windows_line(lines, lines.index("> hide", lines.index("> dialog")) + 1) == (0, 0)
    assert_clean(res, lines)


# ---- the dialog ---------------------------------------------------------------------


BANDS = ("--band", 0, "--block", 1024, "--band", 1, "--rate", 96000, "--block", 512,
         "--l0", 14100000, "--band", 3, "--rate", 0)


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
    # The same band again still refills and reopens; a second ShowGUI does nothing.
    assert statuses(lines) == NEW_RATE * 2 + TRIPLE
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
    # 3 up, 5 up (then the top), 24 down (then the bottom), 16 up.
    att = [int(l.split("=")[1]) for l in lines if l.startswith("status 125: GetActualAttIdx=")]
    assert len(att) == 3 + 5 + 24 + 16 and statuses(lines).count(125) == len(att)
    assert att[2] == 24 - 19 and att[7] == 0 and att[31] == 24 and att[-1] == 24 - 16
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


# The band's LO, rate and block length change under a host that reads every call
# with StartHW's count: each change is reported after its block, the rate change
# with 100 first, and the count never moves while nothing is lost or repeated.
def test_header_changes_are_reported_and_the_count_stays(env):
    with simulator("--band", 0, "--block", 1024, "--at", 1, "l0=7100000", "--at", 2,
                   "rate=96000", "--at", 3, "block=512", "--at", 4, "block=2048"):
        res, lines = host(env, "open", "start", "run", 6, "lo", "sr", "stop",
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


def test_stop_while_the_publisher_is_silent(env):
    with simulator("--band", 0, "--block", 1024, "--blocks", 300):
        res, lines = host(env, "open", "start", "data", 50, "run", 3, "stop")
    assert millis(lines, "stop:") < 1000
    assert_clean(res, lines)


# A host that answers "LO changed" by tuning to where the LO is, twice: the plug-in
# makes no status call from inside its own, so the loop ends and data flows.
def test_retune_from_the_lo_changed_handler_ends(env):
    with simulator("--band", 0, "--block", 1024):
        res, lines = host(env, "open", "start", "data", 100, "setlo", 7000, "data", 100, "stop",
                          options=("--retune",))
    assert statuses(section(lines, "setlo 7000")) == [101]
    assert stats(lines)["calls"] >= 200
    assert_clean(res, lines)


# ---- threads, windows and unloading --------------------------------------------------


# A host whose dialog and unload calls come from threads with no message loop: the
# dialog still answers and goes whichever thread asks, there is never a second one,
# and after the unload nothing of the plug-in is left, with no access violation.
def test_dialog_from_threads_without_a_loop_and_unload(env):
    with simulator(*BANDS):
        res, lines = host(env, "open", "dialog", "pick", 1, "hide", "dialog", "show", "show",
                          "dialog", "start", "data", 100, "stop", "close", "dialog", "unload",
                          "run", 1, options=("--other-thread",), debug="+seh")
    assert no_access_violation(res), res.stderr[-2000:]
    dialogs = [i for i, l in enumerate(lines) if l == "> dialog"]
    assert [windows_line(lines, i) for i in dialogs] == [(1, 1), (0, 0), (1, 1), (0, 0)]
    assert 'dialog: sample rate "96000 Hz"' in lines  # the band picked before the hide
    assert "unload: FreeLibrary returned" in lines[-5] and lines[-5].endswith("module unmapped")
    assert "module: unmapped" in lines
    assert_clean(res, lines)


# A data callback that blocks 1.5 s (as one that waits for a GUI thread busy in
# StopHW): StopHW gives up waiting, no new data call starts, and FreeLibrary while
# the callback still runs leaves the module to the thread until it has returned.
def test_unload_during_a_slow_callback(env):
    with simulator("--band", 0, "--block", 1024):
        res, lines = host(env, "open", "close", "start", "data", 20, "slowcall", "stop",
                          "unload", "run", 3, debug="+seh")
    assert no_access_violation(res), res.stderr[-2000:]
    assert "slowcall: a data call is blocking" in lines
    assert [l for l in lines if l.startswith("unload:")][0].endswith("module still mapped")
    assert "data: a data call returned after blocking 1500 ms" in lines
    assert "module: unmapped" in lines
    assert_clean(res, lines)


# A host that unloads without StopHW or CloseHW: the threads hold the module, so
# nothing runs in unmapped code; it is released once they are asked to end.
def test_unload_without_stop_keeps_the_module_for_its_threads(env):
    with simulator("--band", 0, "--block", 1024):
        res, lines = host(env, "open", "start", "data", 50, "unload", "data", 50)
    assert [l for l in lines if l.startswith("unload:")][0].endswith("module still mapped")
    assert_clean(res, lines)


def test_process_exit_while_streaming(env):
    with simulator("--band", 0, "--block", 1024):
        res, lines = host(env, "open", "start", "data", 50)
    assert_clean(res, lines)


# ---- what newer hosts look up ----------------------------------------------------------


# The host saves the settings, unloads, loads again and gives them back: the band
# (by its frequency) and the scale factor come back. The attenuator list is the
# scale factor in 6 dB steps, kept in step with the dialog, and the data follow it.
def test_settings_survive_a_reload_and_the_attenuator_sets_the_level(env):
    with simulator(*BANDS):
        res, lines = host(env, "open", "pick", 1, "scale", "+2", "settings", "close", "unload",
                          "reload", "restore", "open", "dialog", "settings", "att", "srates",
                          "start", "data", 50, "setatt", 10, "dialog", "data", 50, "setatt", 25,
                          "stop", "close", "unload")
    saved = [l for l in lines if l.startswith("settings:")]
    assert saved == ['settings: 0 "Band centre frequency (Hz)" = "14100000"',
                     'settings: 1 "Scale factor (0..24)" = "18"'] * 2
    assert "module: unmapped" in lines or lines.count("> unload") == 2
    reopened = section(lines, "dialog")
    assert "dialog: band list of 2 items, item 1 selected" in reopened
    assert 'dialog: scale factor "18"' in reopened
    att = [l for l in lines if l.startswith("att: ")]
    assert len(att) == 26 and att[0] == "att: 0 -48.16 dB" and att[8] == "att: 8 0.00 dB"
    assert att[24] == "att: 24 96.33 dB" and att[25] == "att: actual 6"
    assert "srates: 0 96000" in lines and "srates: actual 0, SetSrate(0) 0, SetSrate(1) 1" in lines
    assert "setatt: SetAttenuator(10) returned 0" in lines
    assert "setatt: SetAttenuator(25) returned 1" in lines
    after = lines[lines.index("> dialog", lines.index("> setatt 10")):]
    assert 'dialog: scale factor "14"' in after and "dialog: up-down position 14" in after
    assert_clean(res, lines)
