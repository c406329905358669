"""tools/vexa_waterfall.py: pictures of every kind of I/Q WAV, and refusals."""
import struct
import subprocess
import sys
import wave

import numpy as np
import pytest

from conftest import ROOT
from test_file import L0, record

sys.path.insert(0, str(ROOT / "tools"))
import vexa_client  # noqa: E402  (its WAV writer makes the float files)

TOOL = ROOT / "tools" / "vexa_waterfall.py"
RATE = 192000
ABOVE, BELOW = 25000, -40000  # tone offsets; the one above is 20 dB stronger
BIN_HZ = RATE / 1024
GUID_PCM = bytes.fromhex("0100000000001000800000aa00389b71")


def tones(seconds=0.5):
    t = np.arange(int(RATE * seconds)) / RATE
    return 0.3 * np.exp(2j * np.pi * ABOVE * t) + 0.03 * np.exp(2j * np.pi * BELOW * t)


def chunk(cid, body):
    return cid + struct.pack("<I", len(body)) + body + b"\0" * (len(body) & 1)


def riff(*chunks):
    body = b"WAVE" + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def auxi():
    start = struct.pack("<8H", 2015, 3, 2, 3, 9, 30, 0, 250)
    stop = struct.pack("<8H", 2015, 3, 2, 3, 9, 30, 1, 0)
    return chunk(b"auxi", start + stop + struct.pack("<I", L0) + bytes(128))


def int_samples(x, bits):
    full = 2 ** (bits - 1) - 1
    v = np.stack([x.real, x.imag], axis=1).ravel()
    v = np.round(v * full).astype("<i4")
    if bits == 16:
        return v.astype("<i2").tobytes()
    return np.frombuffer(v.tobytes(), np.uint8).reshape(-1, 4)[:, :3].tobytes()


def recorder_layout(layout, x):
    """A file laid out as VEXA_File writes it for scale factor 16 (with flag C
    for "16c"), -1 and -2; the -1 file is left as a killed recorder leaves it."""
    if layout in ("16", "16c"):
        fmt = struct.pack("<HHIIHH", 1, 2, RATE, RATE * 4, 4, 16)
        fmt += b"" if layout == "16c" else struct.pack("<H", 0)
        return riff(chunk(b"fmt ", fmt), auxi(), chunk(b"data", int_samples(x, 16)))
    tag, cb = (0xFFFE, 22) if layout == "-1" else (1, 0)
    fmt = struct.pack("<HHIIHHHHI", tag, 2, RATE, RATE * 6, 6, 24, cb, 24, 3) + GUID_PCM
    samples = int_samples(x, 24)
    if layout == "-1":
        head = riff(chunk(b"fmt ", fmt), auxi(), chunk(b"data", b""))
        return head + samples
    info = chunk(b"LIST", b"INFO" + chunk(b"CHAN", b"I/Q"))
    return riff(chunk(b"fmt ", fmt), auxi(), chunk(b"data", samples), info)


def client_wav(path, x):
    """Written by the reference client's own writer, which has no auxi chunk."""
    w = vexa_client.WavWriter(str(path), RATE)
    frames = np.stack([x.real, x.imag], axis=1).astype("<f4")
    w.f.write(frames.tobytes())
    w.data_bytes = frames.nbytes
    w.close()


def draw(path, *args):
    return subprocess.run([sys.executable, str(TOOL), "--peaks", "2", *args, str(path)],
                          capture_output=True, text=True, timeout=120)


def peaks(stdout):
    return [float(line.split()[1]) for line in stdout.splitlines() if line.startswith("peak ")]


def assert_png(path):
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("layout", ["16", "16c", "-1", "-2", "float"])
def test_each_kind_of_file_shows_the_tones_on_their_own_side_of_the_centre(tmp_path, layout):
    path = tmp_path / "rec.wav"
    if layout == "float":
        client_wav(path, tones())
        centre = 0
    else:
        path.write_bytes(recorder_layout(layout, tones()))
        centre = L0
    res = draw(path)
    assert res.returncode == 0, res.stderr
    found = peaks(res.stdout)
    assert len(found) == 2
    # Strongest first: a mirrored spectrum would put them at -25 and +40 kHz.
    assert abs(found[0] - (centre + ABOVE)) <= BIN_HZ
    assert abs(found[1] - (centre + BELOW)) <= BIN_HZ
    assert_png(tmp_path / "rec.png")
    if centre:
        assert "start 2015-03-03 09:30:00 UTC, centre 7050.000 kHz" in res.stdout
    else:
        assert "start" not in res.stdout
    assert ("note: data size 0: taking the file to its end" in res.stdout) == (layout == "-1")


def test_a_real_recording_shows_the_simulated_tone_below_the_centre(workdir):
    tone = ("--signal", "tone", "--tone", BELOW, "--level", -20)
    files, _, _, _ = record(workdir, 11, [11, "16", "C"], seconds=1.5, sim_args=tone)
    res = draw(files[0], "-o", str(workdir / "picture.png"))
    assert res.returncode == 0, res.stderr
    assert abs(peaks(res.stdout)[0] - (L0 + BELOW)) <= BIN_HZ
    assert_png(workdir / "picture.png")


def mono_wav(path):
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(bytes(4096))
    return path.read_bytes()


@pytest.mark.parametrize("content, reason", [
    (lambda p: b"just some text\n", "no RIFF/WAVE header"),
    (mono_wav, "1 channel(s); I/Q needs 2 (I left, Q right)"),
    (lambda p: recorder_layout("16", tones())[:36], "no data chunk"),
    (lambda p: recorder_layout("16c", tones(0.001)), "192 frames are fewer than one FFT of 1024"),
])
def test_a_file_that_is_not_an_iq_wav_is_refused_with_the_reason(tmp_path, content, reason):
    path = tmp_path / "bad.wav"
    path.write_bytes(content(path))
    res = draw(path)
    assert res.returncode == 1
    assert res.stderr == f"vexa_waterfall: {path}: not an I/Q WAV file: {reason}\n"
    assert res.stdout == ""
    assert not (tmp_path / "bad.png").exists()
