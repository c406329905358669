"""Callback delivery of ExtIO_VEXA.dll from vexa_sim, through extio_host.exe.

For each publishing speed (multiples of real time at 192000 samples/s, blocks of
2048) it streams for a while and prints the delivered rate as a multiple of real
time, the lost samples and the streaming thread's CPU time per second of stream
(the host's counter check in the callback included). The host reads every call
with StartHW's count, as real hosts do. Run by hand:

    scripts/bench.sh extio [seconds]
"""
import os
import re
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
from conftest import Proc, run, wine_cmd, wine_env  # noqa: E402

RATE = 192000
SPEEDS = ["1", "10", "50", "100", "200", "max"]
SPEEDUP = "100000"


def start_display(display):
    if subprocess.run(["xdpyinfo", "-display", display], capture_output=True).returncode == 0:
        return None
    xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1)
    return xvfb


def measure(env, speed, seconds):
    sim = Proc("vexa_sim.exe", "--band", 0, "--block", 2048, "--rate", RATE, "--speed", speed,
               env=env)
    try:
        sim.wait_for("Ctrl+C to stop")
        # The reader must know the publisher runs faster than real time, or it takes
        # the fast WritePos for a glitch.
        res = run("extio_host.exe", "--start-count", "ExtIO_VEXA.dll", "open", "start", "data",
                  10, "stats", "run", seconds, "stats", "stop",
                  env=dict(env, VEXA_PUBLISHER_SPEEDUP=SPEEDUP), timeout=seconds + 60)
    finally:
        sim.stop()
    lines = [l for l in res.stdout.splitlines() if l.startswith("stats:")]
    before, after = (parse(l) for l in lines[:2])
    stream_seconds = (after["samples"] - before["samples"]) / RATE
    return dict(
        stop=stop_ms(res.stdout),
        times=(after["samples"] - before["samples"]) / RATE / (after["seconds"] - before["seconds"]),
        lost=after["lost"], bad=after["bad"],
        cpu=(after["cpu"] - before["cpu"]) / stream_seconds if stream_seconds else 0)


def silent_stop(env):
    sim = Proc("vexa_sim.exe", "--band", 0, "--block", 2048, "--blocks", 50, env=env)
    try:
        sim.wait_for("Ctrl+C to stop")
        res = run("extio_host.exe", "ExtIO_VEXA.dll", "open", "start", "run", 2, "stop",
                  env=env, timeout=60)
    finally:
        sim.stop()
    return stop_ms(res.stdout)


def stop_ms(output):
    return float(re.search(r"stop: StopHW returned after ([\d.]+) ms", output).group(1))


def parse(line):
    pats = dict(samples=r"(\d+) samples in", seconds=r"in ([\d.]+) s", lost=r"lost (\d+)",
                bad=r"bad blocks (\d+)", cpu=r"cpu ([\d.]+) ms")
    return {k: float(re.search(p, line).group(1)) for k, p in pats.items()}


def main():
    seconds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    display = os.environ.get("VEXA_DISPLAY", ":95")
    xvfb = start_display(display)
    env = wine_env(DISPLAY=display)
    # One wineserver and one desktop process for the whole run, started unpiped, so
    # no program's output pipe is held open by them.
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-p", "30"], env=env, check=False, **quiet)
    subprocess.run(wine_cmd("extio_host.exe", "ExtIO_VEXA.dll", "show"), env=env, timeout=120,
                   **quiet)
    print(f"ExtIO_VEXA callback delivery, {RATE} samples/s bands, blocks of 2048, {seconds} s each")
    print(f"{'sim speed':>10} {'delivered':>12} {'lost':>10} {'cpu ms/s of stream':>20} "
          f"{'StopHW ms':>10}")
    best = 0.0
    try:
        for speed in SPEEDS:
            r = measure(env, speed, seconds)
            print(f"{speed:>10} {r['times']:>11.1f}x {int(r['lost']):>10} {r['cpu']:>20.2f} "
                  f"{r['stop']:>10.1f}")
            if r["lost"] == 0 and r["bad"] == 0:
                best = max(best, r["times"])
        print(f"StopHW with the publisher silent: {silent_stop(env):.1f} ms")
    finally:
        if xvfb:
            xvfb.terminate()
    print(f"highest sustained rate with no lost block: {best:.1f}x real time "
          f"({best * RATE / 1e6:.1f} M samples/s)")


if __name__ == "__main__":
    main()
