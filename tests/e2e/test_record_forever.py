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


def unpack(tmp_path, batch="record_forever.bat"):
    """The batch file and VEXA_File as a user unpacks them, in a folder named as above."""
    folder = tmp_path / FOLDER
    folder.mkdir()
    shutil.copy(ROOT / "examples" / batch, folder)
    shutil.copy(BIN / "VEXA_File.exe", folder)
    return folder


def loop_until_key(tmp_path, tmux, batch, args, band, shown):
    """Starts the batch file with no receiver, sees it retry, publishes the band until
    `shown` is on the console and presses a key, which must end it all with 0.
    Returns the unpacked folder and the console's text."""
    folder = unpack(tmp_path, batch)
    trigger = tmp_path / "press"
    con = tmux("press_key.exe", windows_path(trigger), CMD, "/c",
               windows_path(folder / batch), *args, cwd=tmp_path,
               env=wine_env(RETRY_SECONDS=1))
    try:
        con.wait_for("exit code 1; starting it again in 1 seconds", timeout=60)
        with simulator("--band", 3, *band):
            con.wait_for(shown, timeout=60)
            time.sleep(1)
            trigger.touch()
            assert con.exit_code(timeout=40) == 0, con.screen()
        return folder, con.screen()
    finally:
        con.close()


@pytest.mark.timeout(180)
def test_a_run_time_failure_is_retried_and_a_key_ends_the_loop(tmp_path, tmux):
    clear_of_the_hour(30)
    # A screen line has no trailing blanks: the name, not "name ".
    folder, screen = loop_until_key(tmp_path, tmux, "record_forever.bat", [],
                                    ["--signal", "silence", "--rate", 48000], "_7050kHz.wav")
    assert "Can't open shared memory for 3 receiver" in screen
    assert "16-bit files with a 16-byte fmt chunk" in screen
    assert len(list((folder / "Recordings").glob("B3_*_7050kHz.wav"))) == 1


@pytest.mark.parametrize("batch, args, error", [
    ("record_forever.bat", ["3", "Q"], "Bad Scale_factor (Q)\n"),
    ("spool_forever.bat", ["3", "usb", "7074000", "7"],
     "Bad --spool (7): whole seconds from 5 to 3600 that divide 3600 (15 for FT8, 120 for WSPR)\n"),
])
def test_wrong_arguments_end_the_loop_at_once(tmp_path, batch, args, error):
    folder = unpack(tmp_path, batch)
    # Run from its folder as a user in Explorer or a Command Prompt there would.
    res = subprocess.run([WINE, "cmd", "/c", batch, *args],
                         cwd=folder, env=wine_env(), stdin=subprocess.DEVNULL,
                         capture_output=True, timeout=60)
    out, err = res.stdout.decode(errors="replace"), res.stderr.decode(errors="replace")
    assert res.returncode == 2, (out, err)
    assert err.replace("\r\n", "\n").count(error) == 1
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
