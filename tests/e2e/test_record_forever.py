"""examples/record_forever.bat under Wine's cmd, from a folder named as a
browser's second download with a non-ASCII letter: a failure at run time is
retried until the receiver is there, a key press ends it all, and wrong
arguments end it at once."""
import shutil
import subprocess
import time

import pytest

from conftest import BIN, ROOT, WINE, clear_of_the_hour, simulator, wine_env, windows_path

FOLDER = "VEXA-1.0.0-win64 (1) & Ünï"
CMD = "C:\\windows\\system32\\cmd.exe"


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
