"""VEXA_File end to end: the real recorder under Wine against vexa_sim."""
import datetime
import struct
import subprocess
import time
import wave

import numpy as np
import pytest
import soundfile

from conftest import Proc, clear_of_the_hour, have, run, simulator, wine_env

EXE = "VEXA_File.exe"
L0 = 7050000
BLOCK = 2048

USAGE = (
    "\n"
    "Usage: VEXA_File <BandNr|Frequency_in_band_in_kHz> [Scale_factor] [Flags] [Budget]\n"
    "\n"
    "       Scale_factor can be:\n"
    "          from 0 to 24 for conversion to 16-bit samples\n"
    "          -1 for 24-bit wav files with WAVEFORMATEXTENSIBLE in header\n"
    "          -2 for 24-bit wav files with WAVEFORMATEX in header\n"
    "\n"
    "       Flags: L - File names in local time\n"
    "              H - One file per half of hour\n"
    "              Q - One file per quarter of hour\n"
    "              C - 16-bit files with a 16-byte fmt chunk\n"
    "                  (no effect on 24-bit files)\n"
    "              - - none, to give a budget without flags\n"
    "\n"
    "       Budget: the most this band's recordings may take in the folder,\n"
    "               in decimal GB (500G) or hours (72h); the oldest are deleted\n"
    "\n"
    "   or: VEXA_File <BandNr|Frequency_in_band_in_kHz> --demod <usb|lsb|cw|am|fm>\n"
    "                 --freq <Hz> --spool <seconds> [--width <Hz>] [--budget <500G|72h>]\n"
    "\n"
    "       Writes one channel as 12000 Hz mono 16-bit files for WSJT-X's decoders,\n"
    "       one per cycle (--spool 15 for FT8, 120 for WSPR), named YYMMDD_HHMMSS.wav\n"
    "       after the UTC of their first sample. --freq is the dial for usb and lsb,\n"
    "       the signal itself for cw, am and fm\n"
    "\n")
SHORT_FMT = "16-bit files with a 16-byte fmt chunk"


# ---------------------------------------------------------------- command line

@pytest.mark.parametrize("args, lines", [
    (["30"], ["Scale factor = 16 bits"]),
    (["30", "16abc"], ["Scale factor = 16 bits"]),
    (["30", "0"], ["Scale factor = 0 bits"]),
    (["30", "-1"], ["Wav files are in 24-bit format"]),
    (["30", "-2"], ["Wav files are in 24-bit format",
                    "Wav files using WAVEFORMATEX in format tag"]),
    (["30", "24", "hq"], ["Scale factor = 24 bits", "One file per half of hour",
                          "One file per quarter of hour"]),
    (["30", "16", "-", "500G"], ["Scale factor = 16 bits"]),
    (["30", "-1", "cL"], ["Wav files are in 24-bit format", "Flag C has no effect on 24-bit files",
                          "File names in local time"]),
    (["30", "16", "LL", "72h", "ignored"], ["Scale factor = 16 bits", "File names in local time",
                                            "File names in local time"]),
])
def test_choices_are_echoed_and_a_missing_band_is_reported(workdir, args, lines):
    res = run(EXE, *args, cwd=workdir)
    assert res.returncode == 1
    assert res.stdout.splitlines() == lines
    assert res.stderr == "Can't open shared memory for 30 receiver\n"
    assert list(workdir.iterdir()) == []


# ---------------------------------------------------------------- recordings

def systemtime(raw):
    y, mo, _dow, d, h, mi, s, ms = struct.unpack("<8H", raw)
    return datetime.datetime(y, mo, d, h, mi, s, ms * 1000, tzinfo=datetime.timezone.utc)


def chunks(data):
    """The RIFF chunks of a file as (id, offset of the body, size)."""
    assert data[:4] == b"RIFF" and data[8:12] == b"WAVE"
    out, pos = [], 12
    while pos + 8 <= len(data):
        cid, size = data[pos:pos + 4], struct.unpack_from("<I", data, pos + 4)[0]
        out.append((cid, pos + 8, size))
        pos += 8 + size + (size & 1)
    return out


# fmt chunk body bytes of each header length
FMT_BODY = {218: 18, 216: 16, 240: 40}


def check_layout(path, bits, header=None):
    """Sizes and chunks as the recorder writes them; returns the auxi times, L0
    and the data chunk's size."""
    data = path.read_bytes()
    header = header or (218 if bits == 16 else 240)
    assert struct.unpack_from("<I", data, 4)[0] == len(data) - 8
    found = {cid: (off, size) for cid, off, size in chunks(data)}
    assert list(found)[:3] == [b"fmt ", b"auxi", b"data"]
    assert found[b"fmt "][1] == FMT_BODY[header]
    assert found[b"data"][0] == header
    data_size = found[b"data"][1]
    assert data_size % (bits // 4) == 0
    if bits == 16:
        assert len(data) == header + data_size
    else:
        info_off = header + data_size
        assert data[info_off:info_off + 4] == b"LIST" and data[info_off + 8:info_off + 12] == b"INFO"
        assert b"ISFT\x09\x00\x00\x00VEXA_File" in data[info_off:]
        assert b"QRG \x07\x00\x00\x007050000" in data[info_off:]
    auxi = found[b"auxi"][0]
    start, stop = systemtime(data[auxi:auxi + 16]), systemtime(data[auxi + 16:auxi + 32])
    l0 = struct.unpack_from("<i", data, auxi + 32)[0]
    return start, stop, l0, data_size


def counter_indices(i_values, q_values):
    """Checks that I and Q carry one counter sample each; returns the indices."""
    m = (np.asarray(i_values, np.int64) + 32768) & 0xFFFF
    assert np.array_equal((32767 - m), np.asarray(q_values, np.int64)), "Q does not match I"
    return m


def assert_contiguous(m):
    assert len(m) > 0
    steps = np.diff(m) & 0xFFFF
    bad = np.nonzero(steps != 1)[0]
    assert len(bad) == 0, f"counter jumps after sample {bad[:5]}: a block lost or repeated"


def record(workdir, band, args, seconds=2.0, sim_args=(), tz_hours=0.0):
    """Records band for a while and stops with Ctrl+C; returns the files, the
    recorder's output and the UTC times around the run. tz_hours puts the
    recorder in a time zone that many hours ahead of UTC."""
    clear_of_the_hour(15, tz_hours)
    # The run-time library reads POSIX-style zones: name, hours west of UTC, no DST.
    zone = "VXT%+d:%02d" % (-int(tz_hours), round(abs(tz_hours) % 1 * 60))
    with simulator("--band", band, "--l0", L0, "--signal", "counter", *sim_args):
        before = datetime.datetime.now(datetime.timezone.utc)
        rec = Proc(EXE, *args, cwd=workdir, env=wine_env(TZ=zone))
        try:
            rec.wait_for(".wav ")
            time.sleep(seconds)
            assert rec.stop() == 0
        finally:
            rec.kill()
        after = datetime.datetime.now(datetime.timezone.utc)
    files = sorted(workdir.glob("*.wav"))
    return files, rec.stdout.replace("\r\n", "\n"), before, after


# With flag L the recorder runs 5:30 ahead of UTC: only the name takes that time.
@pytest.mark.parametrize("scale, flags", [
    ("16", ""), ("0", ""), ("24", ""), ("-1", ""), ("-2", ""), ("16", "c"), ("-1", "L")])
def test_a_recording_stopped_by_ctrl_c_is_complete_and_exact(workdir, scale, flags):
    band = 4
    tz_hours = 5.5 if "L" in flags else 0.0
    files, out, before, after = record(workdir, band, [band, scale] + ([flags] if flags else []),
                                       tz_hours=tz_hours)
    assert f"{band} receiver : SampleRate=192000 BlockInSamples=2048 L0={L0}\n" in out
    assert out.endswith("\nCtrl+C event!\n")
    assert len(files) == 1
    path = files[0]
    assert path.name.startswith(f"B{band}_") and path.name.endswith("_7050kHz.wav")
    assert f"\n{path.name} " in out

    bits = 16 if int(scale) >= 0 else 24
    header = 216 if "c" in flags else None
    start, stop, l0, data_size = check_layout(path, bits, header)
    assert l0 == L0
    slack = datetime.timedelta(seconds=1)
    assert before - slack <= start <= stop <= after + slack
    name_time = datetime.datetime.strptime(path.name.split("_", 1)[1][:15], "%Y%m%d_%H%M%S")
    name_utc = name_time.replace(tzinfo=datetime.timezone.utc) - datetime.timedelta(hours=tz_hours)
    assert abs(name_utc - start) <= slack
    if bits == 24:
        data = path.read_bytes()
        at = data.rindex(b"QTR \x17\x00\x00\x00") + 8
        qtr = datetime.datetime.strptime(data[at:at + 23].decode(), "%Y-%m-%d %H:%M:%S UTC")
        assert abs(qtr.replace(tzinfo=datetime.timezone.utc) - start) <= slack

    info = soundfile.info(str(path))
    frames = data_size // (bits // 4)
    assert (info.samplerate, info.channels, info.frames) == (192000, 2, frames)
    assert frames % BLOCK == 0
    assert info.subtype == ("PCM_16" if bits == 16 else "PCM_24")
    samples, _ = soundfile.read(str(path), dtype="int32")
    sox = subprocess.run(["sox", str(path), "-t", "s32", "-"], capture_output=True, check=True)
    assert np.array_equal(np.frombuffer(sox.stdout, "<i4").reshape(-1, 2), samples)
    if bits == 16:
        with wave.open(str(path)) as w:
            assert (w.getframerate(), w.getnchannels(), w.getsampwidth()) == (192000, 2, 2)
            raw = np.frombuffer(w.readframes(w.getnframes()), "<i2").reshape(-1, 2)
        assert np.array_equal(raw.astype(np.int32) << 16, samples)
        if "c" in flags:
            # A reader that takes int16 pairs from byte 44 on, whatever the
            # header says, meets 43 frames of header and then every sample whole.
            data = path.read_bytes()
            pairs = np.frombuffer(data, "<i2", offset=44).reshape(-1, 2)
            assert np.array_equal(pairs[(216 - 44) // 4:], raw)
        values = raw.astype(np.int64)
        sf = int(scale)
        if sf == 16:
            m = counter_indices(values[:, 0], values[:, 1])
        else:
            # Recover the indices from the unsaturated I values, then compare all.
            j = int(np.nonzero((values[:, 0] > -32768) & (values[:, 0] < 32767))[0][0])
            m0 = int(np.round(values[j, 0] * 2.0 ** sf / 65536)) + 32768
            m = (np.arange(frames) - j + m0) & 0xFFFF
            for col, full in ((0, (m - 32768) * 65536), (1, (32767 - m) * 65536)):
                want = np.clip(np.round(full / 2.0 ** sf), -32768, 32767)
                assert np.max(np.abs(values[:, col] - want)) <= 1
        assert_contiguous(m)
    else:
        values = samples.astype(np.int64) >> 8  # 24-bit keeps value >> 8
        assert np.array_equal(values[:, 0] & 0xFF, np.zeros(frames))
        m = counter_indices(values[:, 0] >> 8, values[:, 1] >> 8)
        assert_contiguous(m)
        if have("soxi"):
            out = subprocess.run(["soxi", str(path)], capture_output=True, text=True).stdout
            assert "Precision      : 24-bit" in out and "Channels       : 2" in out


def test_24_bit_plain_and_extensible_differ_only_in_the_format_tag_whatever_flag_c(workdir):
    band = 5
    files, out, _, _ = record(workdir, band, [band, "-2", "C"], seconds=0.5)
    assert "\nFlag C has no effect on 24-bit files\n" in out and SHORT_FMT not in out
    check_layout(files[0], 24)
    data = files[0].read_bytes()
    assert data[20:22] == b"\x01\x00" and data[36:38] == b"\x00\x00"
    assert data[38:44] == b"\x18\x00\x03\x00\x00\x00"


def test_a_frequency_chooses_the_band_and_larger_blocks_are_recorded(workdir):
    files, out, _, _ = record(workdir, 6, ["7100"], seconds=1.0, sim_args=("--block", "8192"))
    assert "6 receiver : SampleRate=192000 BlockInSamples=8192" in out
    _, _, _, data_size = check_layout(files[0], 16)
    samples, _ = soundfile.read(str(files[0]), dtype="int16")
    assert data_size % (8192 * 4) == 0
    assert_contiguous(counter_indices(samples[:, 0], samples[:, 1]))


@pytest.mark.parametrize("sim_args, message", [
    (("--block", 4096, "--ring", 16384),
     "Can't record 7 receiver: BufferSize=16384 can't hold a block of 4096 samples\n"),
    (("--rate", 0), "Can't record 7 receiver: SampleRate=0, the band is not in use\n"),
    (("--rate", -48000), "Can't record 7 receiver: SampleRate=-48000, the band is not in use\n"),
])
def test_a_band_that_cannot_be_recorded_is_refused_naming_the_value(workdir, sim_args, message):
    with simulator("--band", 7, *sim_args):
        res = run(EXE, 7, cwd=workdir)
    assert res.returncode == 1
    assert "7 receiver : SampleRate=" in res.stdout
    assert res.stderr == message
    assert list(workdir.iterdir()) == []


def test_ctrl_c_while_the_band_is_silent_ends_in_order(workdir):
    blocks = 750  # 8 s, time enough for a slow start of the recorder, then nothing more
    with simulator("--band", 8, "--signal", "counter", "--blocks", blocks):
        silent = time.monotonic() + blocks * BLOCK / 192000 + 1.5
        rec = Proc(EXE, 8, cwd=workdir)
        try:
            rec.wait_for(".wav ")
            time.sleep(max(0.0, silent - time.monotonic()))
            assert rec.stop(timeout=10) == 0
        finally:
            rec.kill()
    path = sorted(workdir.glob("*.wav"))[0]
    _, _, _, data_size = check_layout(path, 16)
    samples, _ = soundfile.read(str(path), dtype="int16")
    m = counter_indices(samples[:, 0], samples[:, 1])
    assert_contiguous(m)
    assert m[-1] == (blocks * BLOCK - 1) & 0xFFFF  # every block up to the last one


def test_a_key_press_ends_the_recording_and_completes_the_file(workdir, console):
    with simulator("--band", 9, "--signal", "counter"):
        con = console(EXE, 9, "-1", cwd=workdir)
        con.wait_for("kHz.wav")  # the console drops the blank after the name
        time.sleep(1)
        con.press()
        assert con.exit_code(timeout=5) == 0
    path = sorted(workdir.glob("*.wav"))[0]
    _, _, _, data_size = check_layout(path, 24)
    assert data_size > 0
