"""A demodulated channel read by WSJT-X's own decoders: FT8 made by ft8sim and WSPR
made by wsprsim are placed as upper sideband in a simulated band (tools/vexa_iq.py,
vexa_sim --file --start-on); VEXA_File --spool writes cycle files that jt9 and
wsprd decode to what they decode from the simulators' own files, and VEXA_Wave
--demod usb plays audio that jt9 decodes alike."""
import subprocess
import sys
import time
from datetime import datetime, timezone

import numpy as np
import pytest

from conftest import ROOT, Proc, have, simulator
from test_wave import Sound

PYTHON = sys.executable
VEXA_IQ = ROOT / "tools" / "vexa_iq.py"
L0 = 14060000
FT8_DIAL = 14074000
WSPR_DIAL = 14095600
WSPR_L0 = 14090000
FT8 = [(600, "CQ K1ABC FN42"), (1100, "K1ABC W9XYZ EN37"), (1700, "W9XYZ K1ABC -11"),
       (2300, "CQ DX G4ABC IO91")]

pytestmark = pytest.mark.skipif(
    not all(have(t) for t in ("ft8sim", "jt9", "wsprsim", "wsprd")),
    reason="WSJT-X's simulators and decoders (Debian's wsjtx) are not installed")


def jt9(wav, folder):
    """The messages jt9 decodes from an FT8 file (it leaves its own files in folder)."""
    out = subprocess.run(["jt9", "-8", str(wav)], cwd=folder, capture_output=True, text=True,
                         timeout=60).stdout
    return sorted(line.split(" ~ ")[1].strip() for line in out.splitlines() if " ~ " in line)


def wsprd(path, folder, dial_mhz):
    """The messages wsprd decodes from a .c2 or a 12000 Hz .wav file."""
    out = subprocess.run(["wsprd", "-f", str(dial_mhz), str(path)], cwd=folder,
                         capture_output=True, text=True, timeout=120).stdout
    return sorted(" ".join(line.split()[5:]) for line in out.splitlines()
                  if line.strip() and not line.startswith("<"))


def wav16(path, samples, rate=12000):
    """A mono 16-bit WAV, as ft8sim writes one."""
    import wave
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(np.clip(np.round(samples), -32768, 32767).astype("<i2").tobytes())


def audio_of(wav):
    return np.fromfile(wav, "<i2", offset=44).astype(float)


def make_iq(source, target, rate, dial, l0=L0, level=-40):
    """The source's audio as upper sideband at dial, the rest of the band faint noise.
    At level -40 the recorder's steady level gives ft8sim's audio back at its own level;
    wsprsim's .c2 holds its noise at about 1.4 rms, so -100 puts that 95 dB under full scale."""
    subprocess.run([PYTHON, str(VEXA_IQ), str(source), str(target), "--rate", str(rate),
                    "--dial", str(dial - l0), "--level", str(level), "--noise", "-110"],
                   check=True, timeout=120)


@pytest.fixture(scope="module")
def ft8(tmp_path_factory):
    """Four FT8 signals of ft8sim in one 15 s file, the messages jt9 decodes from it,
    and the band's I/Q with them as upper sideband above the FT8 dial."""
    folder = tmp_path_factory.mktemp("ft8")
    mix = 0
    for hz, message in FT8:
        one = folder / str(hz)
        one.mkdir()
        subprocess.run(["ft8sim", message, str(hz), "0.0", "0.1", "1.0", "1", "-4"], cwd=one,
                       check=True, capture_output=True, timeout=60)
        mix = mix + audio_of(next(one.glob("*.wav"))) / 2
    wav16(folder / "000000_000000.wav", mix)
    expected = jt9(folder / "000000_000000.wav", folder)
    assert expected == sorted(m for _, m in FT8), "jt9 decodes ft8sim's own file"
    make_iq(folder / "000000_000000.wav", folder / "ft8_iq.wav", 48000, FT8_DIAL)
    return folder, expected


def wait_clear_of_boundary(period, margin):
    """Waits while the next UTC multiple of period is less than margin s away, so
    that the programs started next are running before the cycle begins."""
    left = period - time.time() % period
    if left < margin:
        time.sleep(left + 0.2)
    return (int(time.time()) // period + 1) * period


def cycle_name(t):
    return datetime.fromtimestamp(t, timezone.utc).strftime("%y%m%d_%H%M%S.wav")


def spool(folder, mode, dial, seconds):
    folder.mkdir()
    return Proc("VEXA_File.exe", "3", "--demod", mode, "--freq", dial, "--spool", seconds,
                cwd=folder)


def wait_for_cycles(rec, count, timeout=20):
    """Waits until count more cycle names are printed; returns how many were before."""
    written = rec.stdout.count(".wav")
    deadline = time.monotonic() + timeout
    while rec.stdout.count(".wav") < written + count and time.monotonic() < deadline:
        time.sleep(0.1)
    return written


def stop(proc):
    assert proc.stop() == 0, proc.stderr
    return proc.stdout.replace("\r\n", "\n")


@pytest.mark.timeout(150)
def test_ft8_cycles_decode_as_ft8sims_own_file_and_lsb_hears_none(ft8, tmp_path):
    """The cycle that begins when the band's FT8 does is one file, named after its
    UTC start, decoded by jt9 to every message of ft8sim's file; the cycle the
    recorder started in is not written; LSB on the same dial decodes nothing."""
    material, expected = ft8
    start = wait_clear_of_boundary(15, 8)
    with simulator("--band", 3, "--l0", L0, "--block", 1024, "--file",
                   material / "ft8_iq.wav", "--start-on", 15):
        usb = spool(tmp_path / "usb", "usb", FT8_DIAL, 15)
        lsb = spool(tmp_path / "lsb", "lsb", FT8_DIAL, 15)
        try:
            for p in (usb, lsb):
                p.wait_for(cycle_name(start), timeout=60)
        finally:
            out = {"usb": stop(usb), "lsb": stop(lsb)}
    for mode in ("usb", "lsb"):
        files = sorted(f.name for f in (tmp_path / mode).iterdir())
        assert files[0] == cycle_name(start), (mode, files)  # the cycle begun before: none
        assert all(f.stat().st_size == 44 + 15 * 12000 * 2 for f in (tmp_path / mode).iterdir())
        assert not any(f.endswith(".part") for f in files), files
        assert out[mode].startswith(
            f"Channel: {mode.upper()} at {FT8_DIAL} Hz, one 15 s file of 12000 Hz mono 16-bit "
            "audio per cycle\n3 receiver : SampleRate=48000 BlockInSamples=1024 L0=14060000\n"
        ), out[mode]
        assert "\n" + cycle_name(start) in out[mode], out[mode]
    assert jt9(tmp_path / "usb" / cycle_name(start), tmp_path) == expected
    assert jt9(tmp_path / "lsb" / cycle_name(start), tmp_path) == []


def wine_gaps_removed(sound):
    """The tests' sound device (ALSA's file plug-in on its null device) takes sound some
    7 % faster than 48000 Hz, so Wine fills the queue's every underrun with a 10 ms period
    of silence (480 frames of exact zeros, about every 160 ms): a device's, not the
    player's, doing. A real sound card or virtual cable keeps its rate to a few ppm."""
    silent = np.concatenate([[False], sound == 0, [False]])
    edges = np.diff(silent.astype(np.int8))
    starts, ends = np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)
    keep = np.ones(len(sound), bool)
    heard = np.flatnonzero(sound)
    for a, b in zip(starts, ends):
        if b - a >= 240 and heard[0] < a and b <= heard[-1]:
            keep[a:b] = False
    return sound[keep]


def test_ft8_played_by_vexa_wave_decodes_alike(ft8, tmp_path):
    """VEXA_Wave --demod usb plays the same audio on both channels at 48000 Hz; 15 s
    of it, brought to 12000 Hz, decode to every message."""
    material, expected = ft8
    home = tmp_path / "home"
    home.mkdir()
    sound = Sound(home)
    wait_clear_of_boundary(15, 3)
    with simulator("--band", 3, "--l0", L0, "--block", 1024, "--file",
                   material / "ft8_iq.wav", "--start-on", 15):
        player = Proc("VEXA_Wave.exe", "3", "0", "--demod", "usb", "--freq", FT8_DIAL,
                      env=sound.env)
        try:
            wanted = 4 * 48000 * 36  # the wait for the cycle, the cycle and the queue
            for _ in range(450):
                if sound.raw.exists() and sound.raw.stat().st_size >= wanted:
                    break
                time.sleep(0.1)
        finally:
            player.kill()
    pcm = np.fromfile(sound.raw, "<i2").reshape(-1, 2).astype(float)
    assert np.array_equal(pcm[:, 0], pcm[:, 1]), "the same audio left and right"
    played = wine_gaps_removed(pcm[:, 0])
    spectrum = np.fft.rfft(played)
    audio = np.fft.irfft(spectrum[:len(spectrum) // 4 + 1]) / 4  # 48000 Hz to 12000 Hz
    # The band is silent until the file's first sample, the cycle's start.
    level = np.array([audio[i:i + 1200].std() for i in range(0, len(audio) - 1200, 1200)])
    begins = int(np.argmax(level > level.max() / 4)) * 1200
    assert begins > 0 and len(audio) - begins >= 15 * 12000, "the band's FT8 was played"
    wav16(tmp_path / "000000_000000.wav", audio[begins:begins + 15 * 12000])
    assert jt9(tmp_path / "000000_000000.wav", tmp_path) == expected


@pytest.mark.slow
@pytest.mark.timeout(330)
def test_wspr_cycle_decodes_as_wsprsims_own_file(tmp_path):
    """A 120 s cycle of a WSPR signal made by wsprsim decodes with wsprd to the
    message wsprd finds in wsprsim's own .c2 file."""
    c2 = tmp_path / "000000_0000.c2"  # wsprsim ends with status 1 even when it worked
    subprocess.run(["wsprsim", "-s", "-22", "-f", "20", "-o", c2.name, "K1ABC FN42 33"],
                   cwd=tmp_path, capture_output=True, timeout=60)
    expected = wsprd(c2, tmp_path, WSPR_DIAL / 1e6)
    assert expected == ["K1ABC FN42 33"]
    make_iq(c2, tmp_path / "wspr_iq.wav", 24000, WSPR_DIAL, WSPR_L0, level=-100)
    start = wait_clear_of_boundary(120, 8)
    with simulator("--band", 3, "--l0", WSPR_L0, "--block", 1024, "--file", tmp_path / "wspr_iq.wav",
                   "--start-on", 120):
        rec = spool(tmp_path / "usb", "usb", WSPR_DIAL, 120)
        try:
            rec.wait_for(cycle_name(start), timeout=300)
        finally:
            stop(rec)
    wav = tmp_path / "usb" / cycle_name(start)
    assert wav.stat().st_size == 44 + 120 * 12000 * 2
    assert wsprd(wav, tmp_path, WSPR_DIAL / 1e6) == expected


@pytest.mark.timeout(90)
def test_a_band_retuned_in_place_breaks_the_cycle_and_the_channel_follows(tmp_path):
    """The receiver moves the band's centre so that the channel leaves it, then back:
    the cycle in which it moved is not written, the channel waits while it does not
    fit and goes on, in whole cycles on their boundaries, once it fits again (the
    cycles before the move are written when the recorder started early enough)."""
    with simulator("--band", 3, "--rate", 48000, "--block", 1024, "--signal", "tone",
                   "--tone", 5000, "--level", -60, "--at", 14, "l0=7100000", "--at", 21,
                   "l0=7050000") as sim:
        rec = spool(tmp_path / "usb", "usb", 7054000, 5)
        try:
            sim.wait_for("band 3 at 21.", timeout=30)
            rec.wait_for("the channel goes on")
            wait_for_cycles(rec, 2)
        finally:
            out = stop(rec)
    for l0 in (7100000, 7050000):
        line = f"\n3 receiver : band re-synchronised, SampleRate=48000 BlockInSamples=1024 L0={l0}\n"
        assert line in out, out
    assert "not written: the band was re-synchronised" in out, out
    assert ("Can't demodulate 7054000 Hz (passband 7054050..7057000 Hz) in 3 receiver: it covers "
            "7076000..7124000 Hz (L0=7100000 SampleRate=48000)\n") in rec.stderr.replace("\r", "")
    names = sorted(f.name for f in (tmp_path / "usb").iterdir())
    stamps = [datetime.strptime(n, "%y%m%d_%H%M%S.wav").timestamp() for n in names]
    assert all(int(t) % 5 == 0 for t in stamps), names
    back = out.index("the channel goes on")
    assert out[back:].count(".wav") >= 2 and len(names) >= 2, out  # whole cycles go on


@pytest.mark.timeout(90)
def test_a_band_slowed_in_place_and_then_out_of_use_is_followed_and_told_once(tmp_path):
    """A 192 kHz band of long blocks drops to 48 kHz in place (four times the audio
    per input sample: the channel must keep within the buffer made at the start),
    then goes out of use: the channel writes whole cycles at the new rate, says once
    that the band is not in use, and stops cleanly."""
    with simulator("--band", 3, "--rate", 192000, "--block", 16384, "--ring", 8388608,
                   "--signal", "tone", "--tone", 5000, "--level", -60,
                   "--at", 4, "rate=48000", "--at", 22, "rate=0") as sim:
        rec = spool(tmp_path / "usb", "usb", 7054000, 5)
        try:
            sim.wait_for("band 3 at 4.")
            rec.wait_for("SampleRate=48000")
            written = wait_for_cycles(rec, 2)
            sim.wait_for("band 3 at 22.")
            time.sleep(3)
        finally:
            out = stop(rec)
    assert out.count(".wav") >= written + 2, out
    for f in (tmp_path / "usb").glob("*.wav"):
        assert f.stat().st_size == 44 + 5 * 12000 * 2
    told = (out + rec.stderr).count("SampleRate=0")
    assert told <= 2, out  # the re-synchronised line and the reason, once
