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
