"""What the ExtIO_VEXA.dll tests share: the display fixture, the host runner and
readers of what extio_host prints.

The settings dialog needs an X display: DISPLAY when set, else VEXA_DISPLAY (:95 by
default); an Xvfb is started there for a test module unless one already answers.
"""
import os
import re
import subprocess
import time

import pytest

from conftest import have, run, wine_cmd, wine_env

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
        after_close=r"after close (\d+)",
        after_unload=r"after unload (\d+)", overlaps=r"overlapping (\d+)",
        status_errors=r"status errors (\d+)")
    return {k: int(re.search(p, line).group(1)) for k, p in nums.items()}


def millis(lines, prefix):
    line = [l for l in lines if l.startswith(prefix)][-1]
    return float(re.search(r"after ([\d.]+) ms", line).group(1))


def assert_clean(res, lines):
    assert res.returncode == 0, res.stdout + res.stderr
    assert lines[-1] == "done: 0 errors"
    s = stats(lines)
    assert s["status_errors"] == 0 and s["after_stop"] == 0 and s["after_unload"] == 0
    assert s["after_close"] == 0
    assert s["overlaps"] == 0
    assert s["lost"] == 0 and s["bad"] == 0 and s["count_errors"] == 0


def windows_line(lines, step_index):
    """The window counts the dialog step at lines[step_index] printed."""
    m = re.match(r"dialog: (\d+) shown; windows of the process: (\d+) dialogs",
                 lines[step_index + 1])
    return int(m.group(1)), int(m.group(2))


BANDS = ("--band", 0, "--block", 1024, "--band", 1, "--rate", 96000, "--block", 512,
         "--l0", 14100000, "--band", 3, "--rate", 0)
