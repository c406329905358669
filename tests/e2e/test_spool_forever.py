"""examples/spool_forever.bat under Wine's cmd, from a folder whose name holds
( ) & and blanks: a channel's folder of its own, a failure retried until the
receiver is there, a key press ending it all (wrong arguments: test_record_forever.py)."""
import pytest

from test_record_forever import loop_until_key


@pytest.mark.timeout(150)
def test_a_run_time_failure_is_retried_and_a_key_ends_the_loop(tmp_path, tmux):
    folder, screen = loop_until_key(tmp_path, tmux, "spool_forever.bat",
                                    ["3", "usb", "7054000", "5"],
                                    ["--l0", 7050000, "--rate", 48000, "--signal", "tone"], ".wav")
    assert "Can't open shared memory for 3 receiver" in screen
    assert "Channel: USB at 7054000 Hz, one 5 s file" in screen
    files = list((folder / "Channels" / "7054000_usb_5s").iterdir())
    assert len(files) == 1 and files[0].stat().st_size == 44 + 5 * 12000 * 2, files
