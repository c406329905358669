"""VEXA_Wave under Wine, playing into an ALSA file device of the tests' own."""
import re
import time
from types import SimpleNamespace

import numpy as np
import pytest

from conftest import ROOT, Proc, run, simulator, wine_env

USAGE = ("Usage: VEXA_Wave <BandNr|Frequency_in_band_in_kHz> <WaveOutNr> [Scale_factor]\n"
         "                 [--demod usb|lsb|cw|am|fm --freq Hz [--width Hz]]\n")
HEADING = "\nWaveOut devices:\n----------------------------------------\n"
ASOUNDRC = ROOT / "tests" / "wave" / "asoundrc.in"
RATE, BLOCK = 48000, 256
BAND = ["--band", 3, "--rate", RATE, "--block", BLOCK]


class Sound:
    """A private HOME whose ALSA default device writes what Wine plays to a raw file."""

    def __init__(self, home):
        self.home = home
        self.raw = home / "play.raw"
        (home / ".asoundrc").write_text(
            ASOUNDRC.read_text().replace("@VEXA_WAVE_RAW@", str(self.raw)))

    @property
    def env(self):
        """Taken when the player starts, so it has the running simulator's pace."""
        return wine_env(HOME=self.home)


@pytest.fixture
def sound(tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    return Sound(home)


def wave(*args, env=None):
    """Runs a player that must fail."""
    res = run("VEXA_Wave.exe", *args, env=env)
    assert res.returncode == 1, res
    return res


@pytest.mark.parametrize("rate", [0, -48000])
def test_a_band_not_in_use_is_refused_naming_its_rate(sound, rate):
    with simulator("--band", 3, "--rate", rate, "--block", BLOCK):
        res = wave("3", "0", env=sound.env)
    assert res.stdout == f"3 receiver : SampleRate={rate} BlockInSamples={BLOCK} L0=7050000\n"
    assert res.stderr == f"Can't play 3 receiver: SampleRate={rate}, the band is not in use\n"
    assert not sound.raw.exists(), "the device was never opened"


def test_a_block_the_ring_cannot_hold_is_refused(sound):
    with simulator("--band", 3, "--block", 1024, "--ring", 8192, "--signal", "silence"):
        res = wave("3", "0", env=sound.env)
    assert res.stderr == "Can't play 3 receiver: BufferSize=8192 can't hold a block of 1024 samples\n"
    assert not sound.raw.exists(), "the device was never opened"


def test_blocks_the_queue_refuses_show_as_marks(sound):
    # Four times real time: the ring of 256 buffers fills and blocks are refused.
    with simulator(*BAND, "--speed", 4):
        player = Proc("VEXA_Wave.exe", "3", "0", env=sound.env)
        try:
            player.wait_for("####")
        finally:
            player.kill()
    out = player.stdout.replace("\r\n", "\n")
    assert re.fullmatch(rf"3 receiver : SampleRate={RATE} BlockInSamples={BLOCK} L0=7050000\n"
                        r"0 waveout device\n#+", out), out
    assert player.stderr == ""


def test_a_key_ends_the_program_while_the_publisher_is_silent(sound, console):
    with simulator(*BAND, "--blocks", 1):
        player = console("VEXA_Wave.exe", "3", "-1", env=sound.env)
        player.wait_for("-1 waveout device")
        player.press()
        assert player.exit_code() == 0


def tone_in(raw):
    """Frequency (Hz), Q's phase against I (degrees), I/Q amplitude ratio and level
    of the tone in the played sound. The ring's silence comes first, 256 blocks long
    at the band's rate, so its length also tells the rate Wine played at."""
    pcm = np.fromfile(raw, dtype="<i2").reshape(-1, 2).astype(float)
    loud = np.nonzero(np.hypot(pcm[:, 0], pcm[:, 1]) > 1000)[0]
    assert len(loud), "no tone in the sound"
    played_rate = RATE * loud[0] / (256 * BLOCK)
    start = loud[0] + int(played_rate / 4)  # past the first, possibly refused, blocks
    part = pcm[start:start + int(played_rate)]
    assert len(part) >= played_rate / 2, "less than half a second of tone"
    window = np.hanning(len(part))
    i, q = (np.fft.rfft(part[:, c] * window) for c in (0, 1))
    k = int(np.argmax(np.abs(i)))
    return SimpleNamespace(
        hz=k * played_rate / len(part),
        phase=np.degrees(np.angle(q[k] / i[k])),
        ratio=abs(q[k]) / abs(i[k]),
        level=part[:, 0].std() * np.sqrt(2))


def test_a_tone_plays_with_i_left_and_q_a_quarter_period_behind(sound, console):
    tone_hz = 1500
    with simulator(*BAND, "--signal", "tone", "--tone", tone_hz, "--level", -12):
        player = console("VEXA_Wave.exe", "3", "0", "15", env=sound.env)
        player.wait_for("0 waveout device")
        # 256 blocks of silence (1.4 s) are queued ahead of the band's sound: wait
        # until two seconds of it have been played.
        wanted = 4 * (256 * BLOCK + 2 * RATE)
        for _ in range(300):
            if sound.raw.exists() and sound.raw.stat().st_size >= wanted:
                break
            time.sleep(0.1)
        player.press()
        assert player.exit_code() == 0
    found = tone_in(sound.raw)
    assert found.hz == pytest.approx(tone_hz, rel=0.01)
    assert found.phase == pytest.approx(-90, abs=5)  # Q = sin lags I = cos by 90 degrees
    assert found.ratio == pytest.approx(1, abs=0.05)
    assert found.level == pytest.approx(32768 / 2, rel=0.1)  # -12 dB, doubled by scale factor 15


def counter_runs(raw):
    """The played sound as runs of the counter pattern (I = m - 32768, Q = 32767 - m
    at scale factor 16) between stretches of silence: [(frames, silence frames
    before the run)]. Fails on a frame that is neither silence nor the counter, and
    where a run does anything but go on by one sample or skip whole blocks (those
    the queue refused) forward; m repeats every 256 blocks, so a skip of more than
    128 counts as a step back."""
    pcm = np.fromfile(raw, dtype="<i2").reshape(-1, 2).astype(np.int64)
    silent = (pcm[:, 0] == 0) & (pcm[:, 1] == 0)
    m = pcm[:, 0] + 32768
    assert np.array_equal(pcm[~silent, 1], 32767 - m[~silent]), "not the counter pattern"
    runs, start, quiet = [], 0, 0
    for end in list(np.flatnonzero(np.diff(silent.astype(np.int8))) + 1) + [len(pcm)]:
        if silent[start]:
            quiet = end - start
        else:
            skipped = (np.diff(m[start:end]) - 1) % 65536
            bad = np.flatnonzero((skipped % BLOCK != 0) | (skipped > 128 * BLOCK))
            assert not len(bad), "the stream goes back at frame %d" % (start + bad[0])
            runs.append((end - start, quiet))
        start = end
    return runs


def test_a_jump_of_the_publisher_restarts_the_sound_without_old_blocks(sound):
    """WritePos leaps 5 s into the run: what the player had queued is dropped, a
    fresh ring of silence is queued as at the start, then the band plays on from
    its new position."""
    with simulator(*BAND, "--at", 5, "writepos=3000000") as sim:
        player = Proc("VEXA_Wave.exe", "3", "0", env=sound.env)
        try:
            player.wait_for("the sound restarts from its new position", timeout=30)
            size = sound.raw.stat().st_size
            # The fresh ring's silence, then half a second of the band.
            wanted = size + 4 * (256 * BLOCK + RATE // 2)
            for _ in range(100):
                if sound.raw.stat().st_size >= wanted:
                    break
                time.sleep(0.1)
        finally:
            player.kill()
    assert "writepos" in sim.stdout.lower()
    out = player.stdout.replace("\r\n", "\n")
    assert out.count("the sound restarts") == 1, out
    runs = counter_runs(sound.raw)
    assert len(runs) == 2, runs
    (before, lead), (after, gap) = runs
    assert lead == gap == 256 * BLOCK, runs  # the ring of silence, at start and restart
    assert before >= RATE // 2 and after >= RATE // 4, runs


def play_demod(sound, mode, dial, seconds):
    """Plays the simulated band 3 demodulated until `seconds` of sound are in the
    file; returns the sound as 16-bit stereo frames and what the player printed."""
    player = Proc("VEXA_Wave.exe", "3", "0", "--demod", mode, "--freq", dial, env=sound.env)
    try:
        player.wait_for("of queue")
        for _ in range(int(seconds * 10) + 100):
            if sound.raw.exists() and sound.raw.stat().st_size >= 4 * seconds * 48000:
                break
            time.sleep(0.1)
    finally:
        player.kill()
    pcm = np.fromfile(sound.raw, dtype="<i2").reshape(-1, 2).astype(float)
    sound.raw.unlink()
    return pcm, player.stdout.replace("\r\n", "\n")


def test_usb_plays_a_tone_over_the_dial_at_its_pitch_on_both_channels_and_lsb_drops_it(sound):
    """A tone 1500 Hz over the dial, at -60 dBFS: USB plays it at 1500 Hz, the same
    on both channels at 48000 Hz, brought up by the AGC, within half a second of
    the band; LSB on the same dial leaves it out."""
    dial = 7050000 + 10000
    with simulator(*BAND, "--signal", "tone", "--tone", 10000 + 1500, "--level", -60):
        usb, out = play_demod(sound, "usb", dial, 2.5)
        lsb, _ = play_demod(sound, "lsb", dial, 2.5)
    assert re.fullmatch(
        rf"3 receiver : SampleRate={RATE} BlockInSamples={BLOCK} L0=7050000\n0 waveout device\n"
        rf"Playing usb at {dial} Hz: passband {dial + 50} to {dial + 3000} Hz, 48000 Hz audio on "
        r"both channels, 0\.34 s of queue\n#*", out), out
    assert np.array_equal(usb[:, 0], usb[:, 1]), "the two channels differ"
    loud = np.flatnonzero(np.abs(usb[:, 0]) > 1000)
    assert len(loud), "no tone in the sound"
    # The queue's silence, then the band's sound: the delay from band to speaker.
    print(f"first sound of the band after {loud[0] / 48000:.3f} s")
    assert loud[0] < 0.5 * 48000
    part = usb[loud[0] + 24000:loud[0] + 72000, 0]
    spectrum = np.abs(np.fft.rfft(part * np.hanning(len(part))))
    assert np.argmax(spectrum) * 48000 / len(part) == pytest.approx(1500, abs=2)
    assert part.std() * np.sqrt(2) == pytest.approx(32768 / 4, rel=0.1)  # the AGC's target
    other = lsb[loud[0] + 24000:loud[0] + 72000, 0]
    assert np.array_equal(lsb[:, 0], lsb[:, 1])
    assert other.std() < part.std() / 300, "LSB lets the upper sideband through"
