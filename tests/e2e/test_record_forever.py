"""examples/record_forever.bat and serve.bat under Wine's cmd, from a folder
named as a browser's second download with a non-ASCII letter: a failure at run
time or a crash is retried until the program ends well, a key press ends it all,
wrong arguments end it at once; the README shows both files as they are."""
import re
import shutil
import subprocess
import time

import pytest

from conftest import BIN, ROOT, WINE, clear_of_the_hour, simulator, wine_env, windows_path

FOLDER = "VEXA-1.0.0-win64 (1) & Ünï"
CMD = "C:\\windows\\system32\\cmd.exe"
CRASH = -1073741819  # 0xC0000005, an access violation, as cmd's errorlevel shows it


def unpack(tmp_path):
    folder = tmp_path / FOLDER
    folder.mkdir()
    shutil.copy(ROOT / "examples" / "record_forever.bat", folder)
    shutil.copy(BIN / "VEXA_File.exe", folder)
    return folder


@pytest.mark.timeout(180)
def test_a_run_time_failure_is_retried_and_a_key_ends_the_loop(tmp_path, tmux):
    clear_of_the_hour(30)
    folder = unpack(tmp_path)
    trigger = tmp_path / "press"
    con = tmux("press_key.exe", windows_path(trigger), CMD, "/c",
               windows_path(folder / "record_forever.bat"), cwd=tmp_path,
               env=wine_env(RETRY_SECONDS=1))
    try:
        con.wait_for("exit code 1; starting it again in 1 seconds", timeout=60)
        with simulator("--band", 3, "--signal", "silence", "--rate", 48000):
            # A screen line has no trailing blanks: the name, not "name ".
            con.wait_for("_7050kHz.wav", timeout=60)
            time.sleep(1)
            trigger.touch()
            assert con.exit_code(timeout=40) == 0, con.screen()
        screen = con.screen()
    finally:
        con.close()
    assert "Can't open shared memory for 3 receiver" in screen
    assert "16-bit files with a 16-byte fmt chunk" in screen
    assert len(list((folder / "Recordings").glob("B3_*_7050kHz.wav"))) == 1


def test_wrong_arguments_end_the_loop_at_once(tmp_path):
    folder = unpack(tmp_path)
    # Run from its folder as a user in Explorer or a Command Prompt there would.
    res = subprocess.run([WINE, "cmd", "/c", "record_forever.bat", "3", "Q"],
                         cwd=folder, env=wine_env(), stdin=subprocess.DEVNULL,
                         capture_output=True, timeout=60)
    out, err = res.stdout.decode(errors="replace"), res.stderr.decode(errors="replace")
    assert res.returncode == 2, (out, err)
    assert err.replace("\r\n", "\n").count("Bad Scale_factor (Q)\n") == 1
    assert "exit code 2: not started again" in out and "starting it again" not in out


# Each batch file with the program it loops on, its arguments and what that
# program is given for them.
LOOPS = {
    "record_forever.bat": ("VEXA_File.exe", ["7050", "12", "-", "Rec", "72h"], "7050 12 - 72h"),
    "serve.bat": ("VEXA_Net.exe", ["--allow", "private", "--allow", "203.0.113.0/24"],
                  "--spyserver 5555 --rtltcp 1234 --allow private --allow 203.0.113.0/24"),
}


def run_loop(tmp_path, batch, codes):
    """Runs the batch file with a stand-in for its program that ends with codes
    one run after another; returns the batch file's exit code, its output and
    the arguments of each run."""
    program, args, _ = LOOPS[batch]
    folder = tmp_path / FOLDER
    folder.mkdir(parents=True)
    shutil.copy(ROOT / "examples" / batch, folder)
    shutil.copy(BIN / "exit_codes.exe", folder / program)
    log = tmp_path / "runs.log"
    env = wine_env(RETRY_SECONDS=0, VEXA_EXIT_CODES=",".join(map(str, codes)),
                   VEXA_EXIT_LOG=windows_path(log))
    res = subprocess.run([WINE, "cmd", "/c", batch, *args], cwd=folder, env=env,
                         stdin=subprocess.DEVNULL, capture_output=True, timeout=90)
    runs = log.read_text().splitlines() if log.exists() else []
    return res.returncode, res.stdout.decode(errors="replace"), runs


@pytest.mark.timeout(120)
@pytest.mark.parametrize("batch", sorted(LOOPS))
def test_every_end_but_a_stop_or_bad_arguments_starts_the_program_again(tmp_path, batch):
    name = LOOPS[batch][0][:-4]
    code, out, runs = run_loop(tmp_path / "crash", batch, [1, CRASH, 3, 0])
    assert code == 0, out
    assert runs == [LOOPS[batch][2]] * 4, out
    for ended in (1, CRASH, 3):
        assert f"{name} ended with exit code {ended}; starting it again in 0 seconds" in out, out
    assert "not started again" not in out

    code, out, runs = run_loop(tmp_path / "bad", batch, [1, 2, 0])
    assert code == 2 and len(runs) == 2, out
    assert f"{name} ended with exit code 2: not started again" in out


def test_the_readme_shows_both_loops_as_they_are():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    listings = re.findall(r"```bat\n(.*?)```", readme, re.S)
    for batch in LOOPS:
        text = (ROOT / "examples" / batch).read_bytes().decode().replace("\r\n", "\n")
        assert text in listings, f"README.md does not show {batch} as it is"
