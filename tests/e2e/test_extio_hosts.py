"""ExtIO_VEXA.dll under extio_host.exe behaving as real SDR hosts do: re-tuning from
the status handler, calling from threads with no message loop, slow callbacks,
unloading, and the exports newer hosts look up."""
from conftest import simulator
# env is the fixture both modules use.
from extio_support import (BANDS, assert_clean, env, host, millis, no_access_violation, section,
                           stats, statuses, windows_line)


# A host that answers "LO changed" by tuning to where the LO is, twice, and showing
# the GUI: the plug-in makes no status call from inside its own, so the loop ends and
# data flows; the ShowGUI made while the dialog's first fill calls the host finds
# that dialog and makes no second one.
def test_retune_from_the_lo_changed_handler_ends(env):
    with simulator("--band", 0, "--block", 1024):
        res, lines = host(env, "open", "dialog", "start", "data", 100, "setlo", 7000, "data",
                          100, "stop", options=("--retune",))
    assert statuses(section(lines, "setlo 7000")) == [101]
    assert windows_line(lines, lines.index("> dialog")) == (1, 1)
    assert stats(lines)["calls"] >= 200
    assert_clean(res, lines)


# A host that brings its radio's window up when told the LO moved (as --retune does),
# with the window closed again and again, under a publisher that changes the LO and,
# two blocks later, the block length, eight times: the window's fill can see the
# block change while the streaming thread is still inside the LO change's status
# call. The fill announces it and the stream goes on in calls of StartHW's count,
# nothing skipped.
def test_header_changes_while_the_window_comes_up_skip_nothing(env):
    changes = []
    for i in range(8):
        at = 2.5 + 0.6 * i
        changes += ["--at", at, f"l0={7100000 + 1000 * i}", "--at", round(at + 0.01, 3),
                    f"block={2048 if i % 2 == 0 else 1024}"]
    with simulator("--band", 0, "--block", 1024, *changes):
        res, lines = host(env, "open", "start", "data", 50, *["hide", "run", 1] * 6, "stop",
                          options=("--start-count", "--retune"))
    assert "start: StartHW returned 1024" in lines
    assert [l for l in lines if l.startswith("data: count")] == [
        "data: count 1024 on the first data call"]
    assert stats(lines)["calls"] > 5 * 192000 // 1024
    assert_clean(res, lines)


# ---- threads, windows and unloading --------------------------------------------------


# A host whose dialog and unload calls come from threads with no message loop: the
# dialog still answers and goes whichever thread asks, there is never a second one,
# and after the unload nothing of the plug-in is left, with no access violation.
def test_dialog_from_threads_without_a_loop_and_unload(env):
    with simulator(*BANDS):
        res, lines = host(env, "open", "dialog", "pick", 1, "hide", "dialog", "show", "show",
                          "dialog", "start", "data", 100, "stop", "close", "dialog", "run", 3,
                          "unload", "run", 1, options=("--other-thread",), debug="+seh")
    assert no_access_violation(res), res.stderr[-2000:]
    dialogs = [i for i, l in enumerate(lines) if l == "> dialog"]
    assert [windows_line(lines, i) for i in dialogs] == [(1, 1), (0, 0), (1, 1), (0, 0)]
    assert 'dialog: sample rate "96000 Hz"' in lines  # the band picked before the hide
    assert "unload: FreeLibrary returned" in lines[-5] and lines[-5].endswith("module unmapped")
    assert "module: unmapped" in lines
    assert_clean(res, lines)


# A data callback that blocks 3 s, longer than StopHW waits for it: StopHW gives up
# waiting, no new data call starts, and FreeLibrary while the callback still runs
# leaves the module to the thread until it has returned.
def test_unload_during_a_slow_callback(env):
    with simulator("--band", 0, "--block", 1024):
        res, lines = host(env, "open", "close", "start", "data", 20, "slowcall", 3000, "stop",
                          "unload", "run", 3, debug="+seh")
    assert no_access_violation(res), res.stderr[-2000:]
    assert "slowcall: a data call is blocking" in lines
    assert [l for l in lines if l.startswith("unload:")][0].endswith("module still mapped")
    assert "data: a data call returned after blocking 3000 ms" in lines
    assert "module: unmapped" in lines
    assert_clean(res, lines)


# The dialog's thread is held 5 s in the host's status callback (the user clicked
# the scale factor) while the host calls CloseHW: CloseHW waits half a second, not
# for the thread, which ends the dialog once the call returns.
def test_close_does_not_wait_for_a_dialog_held_in_the_host(env):
    with simulator("--band", 0, "--block", 1024):
        res, lines = host(env, "open", "slowstatus", 5000, "close", "run", 6, "dialog",
                          "unload", "run", 1)
    assert "slowstatus: a status call is blocking" in lines
    closed = [l for l in lines if l.startswith("close: CloseHW returned after ")]
    assert float(closed[0].split()[-2]) < 3000, closed  # 500 ms, on a loaded machine more
    assert "status: a status call returned after blocking 5000 ms" in lines
    assert windows_line(lines, lines.index("> dialog")) == (0, 0)
    assert "module: unmapped" in lines
    assert_clean(res, lines)


# A host that unloads without StopHW or CloseHW: the threads hold the module, so
# nothing runs in unmapped code; it is released once they are asked to end.
def test_unload_without_stop_keeps_the_module_for_its_threads(env):
    with simulator("--band", 0, "--block", 1024):
        res, lines = host(env, "open", "start", "data", 50, "unload", "data", 50)
    assert [l for l in lines if l.startswith("unload:")][0].endswith("module still mapped")
    assert_clean(res, lines)


# A host whose data callback hands each block to its window thread with SendMessage,
# and whose window thread presses Stop, then Start at once: StopHW answers the
# callback's message while it waits and returns only once the call is over (a slow
# one too). A call that outlasts StopHW's wait keeps the next thread out of the
# callback until it returns: never two data calls at once.
def test_stop_from_the_window_thread_a_callback_sends_to(env):
    with simulator("--band", 0, "--block", 1024):
        res, lines = host(env, "open", "start", "data", 50, "stop", "start", "data", 50,
                          "slowcall", 300, "stop", "start", "data", 50, "slowcall", 3000, "stop",
                          "start", "data", 50, "stop", options=("--send-to-window",))
    assert "data: a data call returned after blocking 300 ms" in lines
    assert "data: a data call returned after blocking 3000 ms" in lines
    assert len([l for l in lines if l.endswith("ms after the blocking data call")]) == 1
    assert stats(lines)["calls"] >= 200
    assert_clean(res, lines)


# The user closes and opens the window ten times while the band streams, with part
# of a call always waiting in the ring: every sample arrives and the host hears nothing, as nothing changed. Then a DLL of the
# host stops and closes the plug-in from its process detach, under the loader lock.
def test_window_toggles_lose_nothing_and_a_host_dll_closes_from_its_detach(env):
    with simulator("--band", 0, "--block", 1000):
        res, lines = host(env, "open", "start", "data", 50, "toggle", 10, "dialog", "data", 50,
                          "detachclose", "dialog", "unload", "run", 3)
    assert statuses(section(lines, "toggle 10")) == []
    dialogs = [i for i, l in enumerate(lines) if l == "> dialog"]
    assert [windows_line(lines, i) for i in dialogs] == [(1, 1), (0, 0)]
    detach = [l for l in lines if l.startswith("detach:")]
    assert len(detach) == 1
    assert float(detach[0].split("CloseHW after ")[1].split()[0]) < 5000  # a hang guard
    assert "module: unmapped" in lines
    assert_clean(res, lines)


# A server whose client left: it calls CloseHW without StopHW, from a thread with no
# message loop, while a data call is in progress, and unloads at once; then from
# inside its own data callback. CloseHW waits for a call in progress (not for its
# own) and ends the stream: no call comes after it returns, the module goes once its
# threads have left, and nothing runs in unmapped code.
def test_close_without_stop_ends_the_stream_before_the_unload(env):
    with simulator("--band", 0, "--block", 1024):
        res, lines = host(env, "open", "start", "data", 50, "slowcall", 500, "close", "unload",
                          "run", 3, options=("--other-thread", "--start-count"), debug="+seh")
    assert no_access_violation(res), res.stderr[-2000:]
    assert "data: a data call returned after blocking 500 ms" in lines
    assert lines.index("data: a data call returned after blocking 500 ms") < lines.index(
        [l for l in lines if l.startswith("close: CloseHW returned")][0])
    assert millis(lines, "close:") < 5000  # a hang guard
    assert "module: unmapped" in lines
    assert_clean(res, lines)
    # The same host closes from inside its own data callback.
    with simulator("--band", 0, "--block", 1024):
        res, lines = host(env, "open", "start", "data", 50, "closeincall", "unload", "run", 3,
                          options=("--start-count",), debug="+seh")
    assert no_access_violation(res), res.stderr[-2000:]
    assert "data: CloseHW returned inside a data call" in lines
    assert "module: unmapped" in lines
    assert_clean(res, lines)


def test_process_exit_while_streaming(env):
    with simulator("--band", 0, "--block", 1024):
        res, lines = host(env, "open", "start", "data", 50)
    assert_clean(res, lines)


# ---- what newer hosts look up ----------------------------------------------------------


# The host saves the settings, unloads, loads again and gives them back: the band
# (by its frequency) and the scale factor, even the largest, come back. The
# attenuator list is the scale factor in 6 dB steps; whichever way a host takes its
# middle (count / 2, TempestSDR's half of a count one too high, (count - 1) / 2) it
# is the default level or quieter. It stays in step with the dialog, and the data
# follow it.
def test_settings_survive_a_reload_and_the_attenuator_sets_the_level(env):
    with simulator(*BANDS):
        res, lines = host(env, "open", "pick", 1, "scale", "+8", "settings", "close", "unload",
                          "run", 3, "reload", "restore", "open", "dialog", "settings", "att", "srates",
                          "start", "data", 50, "tempestatt", "dialog", "data", 50, "setatt", 16,
                          "stop", "close", "unload")
    saved = [l for l in lines if l.startswith("settings:")]
    assert saved == ['settings: 0 "Band centre frequency (Hz)" = "14100000"',
                     'settings: 1 "Scale factor (0..24)" = "24"'] * 2
    # Gone meanwhile, so what comes back is the host's to give.
    assert "reload: the module unloaded before is unmapped" in lines
    reopened = section(lines, "dialog")
    assert "dialog: band list of 2 items, item 1 selected" in reopened
    assert 'dialog: scale factor "24"' in reopened
    att = [l for l in lines if l.startswith("att: ")]
    count = len(att) - 1
    assert count == 16 and att[0] == "att: 0 -48.16 dB" and att[15] == "att: 15 42.14 dB"
    assert att[count // 2] == "att: 8 0.00 dB" and att[(count - 1) // 2] == "att: 7 -6.02 dB"
    assert att[16] == "att: actual 0"
    assert "srates: 0 96000" in lines and "srates: actual 0, SetSrate(0) 0, SetSrate(1) 1" in lines
    assert "tempestatt: counted 17, the middle is entry 8" in lines
    assert "setatt: SetAttenuator(8) returned 0" in lines
    assert "setatt: SetAttenuator(16) returned 1" in lines
    after = lines[lines.index("> dialog", lines.index("> tempestatt")):]
    assert 'dialog: scale factor "16"' in after and "dialog: up-down position 16" in after
    assert_clean(res, lines)
