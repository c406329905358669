"""Shared harness for the end-to-end tests: runs the real .exe files under Wine.

The architecture under test comes from scripts/env.sh (vexa_use_arch), which exports
its build folder, Wine loader and prefix. Every program runs in that build's own
prefix, so the bands that the simulator publishes there are seen by the programs
under test and by nothing else.
"""
import math
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import uuid
from contextlib import contextmanager
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
_ARCH_VARS = ("VEXA_BUILD_ARCH", "VEXA_BUILD", "VEXA_WINE", "VEXA_TOOL_PREFIX", "WINEPREFIX", "WINEARCH")
if any(v not in os.environ for v in _ARCH_VARS):
    pytest.exit("run the tests through scripts/test.sh, which chooses the architecture "
                f"and sets {', '.join(_ARCH_VARS)}", returncode=2)
ARCH = os.environ["VEXA_BUILD_ARCH"]
BUILD = Path(os.environ["VEXA_BUILD"]).resolve()
BIN = BUILD / "bin"
ARTIFACTS = BUILD / "test-artifacts"
WINE = os.environ["VEXA_WINE"]


def clear_of_the_hour(seconds, tz_hours=0.0):
    """Waits, while the top of the hour (UTC, or tz_hours ahead) is less than
    `seconds` away, until it has passed: a recording across it rightly starts a
    file more than a test that counts them expects. A test that calls it allows
    `seconds` more in its timeout."""
    left = 3600 - (time.time() + tz_hours * 3600) % 3600
    if left < seconds:
        time.sleep(left + 1)


def wine_env(**extra):
    env = dict(os.environ)
    env.update(WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=", WINELOADER=WINE)
    env.update({k: str(v) for k, v in extra.items()})
    return env


def wine_cmd(exe, *args, wine=WINE, folder=BIN):
    return [wine, str(folder / exe), *[str(a) for a in args]]


def run(exe, *args, cwd=None, timeout=60, env=None):
    """Runs a program to its end; returns the CompletedProcess (text output).

    The output goes through files, not pipes: a Wine service that the program
    starts may inherit its handles and keep a pipe open long after it ended.
    """
    cmd = wine_cmd(exe, *args)
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.run(cmd, cwd=cwd, env=env or wine_env(), stdin=subprocess.DEVNULL,
                              stdout=out, stderr=err, timeout=timeout).returncode
        return subprocess.CompletedProcess(cmd, code, _text(out), _text(err))


def _text(file):
    """What a program wrote, with its line ends as Python's text mode reads them."""
    file.seek(0)
    return file.read().decode(errors="replace").replace("\r\n", "\n")


class Proc:
    """A program running in the background, its output collected as it comes."""

    def __init__(self, exe, *args, cwd=None, env=None, wine=WINE, folder=BIN):
        self.name = exe
        self.popen = subprocess.Popen(
            wine_cmd(exe, *args, wine=wine, folder=folder), cwd=cwd, env=env or wine_env(), stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self._out = bytearray()
        self._err = bytearray()
        self._lock = threading.Lock()
        self._threads = [
            threading.Thread(target=self._pump, args=(self.popen.stdout, self._out), daemon=True),
            threading.Thread(target=self._pump, args=(self.popen.stderr, self._err), daemon=True),
        ]
        for t in self._threads:
            t.start()

    def _pump(self, stream, sink):
        for chunk in iter(lambda: stream.read1(65536), b""):
            with self._lock:
                sink.extend(chunk)

    @property
    def stdout(self):
        with self._lock:
            return self._out.decode(errors="replace")

    @property
    def stderr(self):
        with self._lock:
            return self._err.decode(errors="replace")

    def wait_for(self, text, timeout=20, stream="stdout"):
        """Waits until text shows in the output; fails the test otherwise."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in getattr(self, stream):
                return
            if self.popen.poll() is not None:
                time.sleep(0.2)  # let the pumps drain
                if text in getattr(self, stream):
                    return
                break
            time.sleep(0.05)
        raise AssertionError(
            f"{self.name}: {text!r} not seen on {stream}\n"
            f"stdout:\n{self.stdout}\nstderr:\n{self.stderr}")

    def interrupt(self):
        """Ctrl+C: Wine hands SIGINT to the console control handler."""
        if self.popen.poll() is None:
            self.popen.send_signal(signal.SIGINT)

    def wait(self, timeout=20):
        code = self.popen.wait(timeout)
        for t in self._threads:
            t.join(5)
        return code

    def kill(self):
        if self.popen.poll() is None:
            self.popen.kill()
        self.popen.wait(10)
        for t in self._threads:
            t.join(5)

    def stop(self, timeout=20):
        """Ctrl+C, then waits; kills what does not end. Returns the exit code."""
        self.interrupt()
        try:
            return self.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise


@contextmanager
def simulator(*args, **where):
    """Runs vexa_sim with the given arguments while the block runs (another build's
    with wine= and folder=). Readers started meanwhile are told how much faster than
    real time it publishes, or they would take its pace for a publisher that jumped."""
    speedup = _speedup(args)
    saved = os.environ.get("VEXA_PUBLISHER_SPEEDUP")
    if speedup > 1:
        os.environ["VEXA_PUBLISHER_SPEEDUP"] = str(speedup)
    sim = Proc("vexa_sim.exe", *args, **where)
    try:
        sim.wait_for("Ctrl+C to stop")
        yield sim
    finally:
        sim.stop()
        if saved is None:
            os.environ.pop("VEXA_PUBLISHER_SPEEDUP", None)
        else:
            os.environ["VEXA_PUBLISHER_SPEEDUP"] = saved


def _speedup(args):
    args = [str(a) for a in args]
    if "--speed" not in args:
        return 1
    speed = args[args.index("--speed") + 1]
    return 100000 if speed == "max" else max(1, math.ceil(float(speed)))


class TmuxProc:
    """A program on a real console (tmux), for tests that press keys."""

    def __init__(self, exe, *args, cwd=None, env=None, width=200):
        self.session = "vexa-" + uuid.uuid4().hex[:8]
        env = env or wine_env()
        cmd = " ".join(_quote(c) for c in wine_cmd(exe, *args))
        done = "; echo __EXIT=$? ; sleep 600"
        subprocess.run(
            ["tmux", "new-session", "-d", "-s", self.session, "-x", str(width), "-y", "50",
             "bash", "-c", cmd + done], cwd=cwd, env=env, check=True)

    def screen(self):
        res = subprocess.run(["tmux", "capture-pane", "-p", "-J", "-S", "-1000", "-t", self.session],
                             capture_output=True, text=True)
        return res.stdout

    def send_keys(self, *keys):
        subprocess.run(["tmux", "send-keys", "-t", self.session, *keys], check=True)

    def wait_for(self, text, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.screen():
                return
            time.sleep(0.1)
        raise AssertionError(f"{text!r} not on the console:\n{self.screen()}")

    def exit_code(self, timeout=20):
        self.wait_for("__EXIT=", timeout)
        line = [l for l in self.screen().splitlines() if "__EXIT=" in l][-1]
        return int(line.split("__EXIT=")[1].split()[0])

    def close(self):
        subprocess.run(["tmux", "kill-session", "-t", self.session], capture_output=True)


def _quote(text):
    return "'" + text.replace("'", "'\\''") + "'"


@pytest.fixture
def tmux():
    """Factory for console sessions; every session is closed after the test."""
    made = []

    def start(exe, *args, **kw):
        t = TmuxProc(exe, *args, **kw)
        made.append(t)
        return t

    yield start
    for t in made:
        t.close()


def start_wine():
    """Starts the prefix's wineserver and Wine's own services, and keeps them up.

    The first program of a fresh wineserver starts Wine's services, which keep the
    standard handles they inherit open: they must not inherit a test's pipes, or
    reading that program's output to its end would wait for the services.
    """
    subprocess.run(["wineserver", "-p", "30"], env=wine_env(), check=False)
    subprocess.run([WINE, "cmd", "/c", "exit"], env=wine_env(), stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120, check=False)


@pytest.fixture(scope="session", autouse=True)
def wine_session():
    """Keeps one wineserver alive for the whole run, so each start costs little."""
    if not (BIN / "vexa_sim.exe").exists():
        pytest.exit(f"build first: {BIN / 'vexa_sim.exe'} is missing", returncode=2)
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    start_wine()
    yield
    subprocess.run(["wineserver", "-k"], env=wine_env(), check=False)


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


@pytest.fixture
def console(monkeypatch, tmux):
    """Factory that starts a program on a console (tmux) under press_key, which
    presses a key on that console when press() is called: under Wine a terminal's
    own key presses never reach _kbhit. The tmux server is this test's own, so its
    sessions get the environment given here (a running server would hand them its)."""
    sockets = Path(tempfile.mkdtemp(prefix="vexa-tmux"))
    monkeypatch.setenv("TMUX_TMPDIR", str(sockets))

    def start(exe, *args, cwd=None, env=None):
        trigger = sockets / f"press-{uuid.uuid4().hex[:8]}"
        env = dict(env or wine_env(), TMUX_TMPDIR=str(sockets))
        con = tmux("press_key.exe", windows_path(trigger), windows_path(BIN / exe), *args,
                   cwd=cwd or sockets, env=env)
        con.press = trigger.touch
        return con

    yield start
    subprocess.run(["tmux", "kill-server"], capture_output=True)
    shutil.rmtree(sockets, ignore_errors=True)


@pytest.fixture
def workdir(tmp_path):
    """An empty working folder for programs that write files."""
    return tmp_path


def have(tool):
    return shutil.which(tool) is not None


@pytest.fixture
def band0():
    """The simulator publishing band 0 with its defaults."""
    with simulator("--band", "0") as sim:
        yield sim
