"""examples/spool_forever.bat under Wine's cmd, from a folder whose name holds
( ) & and blanks: a channel's folder of its own, a failure retried until the
receiver is there, a key press ending it all, wrong arguments ending it at once."""
import shutil
import subprocess

import pytest

from conftest import BIN, ROOT, WINE, simulator, wine_env, windows_path

FOLDER = "VEXA-1.0.0-win64 (1) & Ünï"
CMD = "C:\\windows\\system32\\cmd.exe"


def unpack(tmp_path):
    folder = tmp_path / FOLDER
    folder.mkdir()
    shutil.copy(ROOT / "examples" / "spool_forever.bat", folder)
    shutil.copy(BIN / "VEXA_File.exe", folder)
    return folder


@pytest.mark.timeout(150)
def test_a_run_time_failure_is_retried_and_a_key_ends_the_loop(tmp_path, tmux):
    folder = unpack(tmp_path)
    trigger = tmp_path / "press"
    con = tmux("press_key.exe", windows_path(trigger), CMD, "/c",
               windows_path(folder / "spool_forever.bat"), "3", "usb", "7054000", "5",
               cwd=tmp_path, env=wine_env(RETRY_SECONDS=1))
    try:
        con.wait_for("exit code 1; starting it again in 1 seconds", timeout=60)
        with simulator("--band", 3, "--l0", 7050000, "--rate", 48000, "--signal", "tone"):
            con.wait_for(".wav", timeout=60)
            trigger.touch()
            assert con.exit_code(timeout=40) == 0, con.screen()
        screen = con.screen()
    finally:
        con.close()
    assert "Can't open shared memory for 3 receiver" in screen
    assert "Channel: USB at 7054000 Hz, one 5 s file" in screen
    files = list((folder / "Channels" / "7054000_usb_5s").iterdir())
    assert len(files) == 1 and files[0].stat().st_size == 44 + 5 * 12000 * 2, files


def test_wrong_arguments_end_the_loop_at_once(tmp_path):
    folder = unpack(tmp_path)
    res = subprocess.run([WINE, "cmd", "/c", "spool_forever.bat", "3", "usb", "7074000", "7"],
                         cwd=folder, env=wine_env(), stdin=subprocess.DEVNULL,
                         capture_output=True, timeout=60)
    out, err = res.stdout.decode(errors="replace"), res.stderr.decode(errors="replace")
    assert res.returncode == 2, (out, err)
    assert err.replace("\r\n", "\n").count(
        "Bad --spool (7): whole seconds from 5 to 3600 that divide 3600 "
        "(15 for FT8, 120 for WSPR)\n") == 1
    assert "exit code 2: not started again" in out and "starting it again" not in out
