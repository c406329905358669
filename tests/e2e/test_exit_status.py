"""How VEXA_File and VEXA_Wave end when they cannot do their work: each failure
with its own message and nothing made; status 2 when the arguments are at fault
(a retry can't mend them), 1 when the run failed (no band yet, a band refused, a
device that can't be had). A script, a scheduled task or a service wrapper
tells both from a normal stop (status 0) by the status."""
import re

import pytest

from conftest import run, simulator
from test_file import USAGE as FILE_USAGE
from test_wave import BLOCK, HEADING, RATE, USAGE as WAVE_USAGE, Sound

FILE, WAVE = "VEXA_File.exe", "VEXA_Wave.exe"
# The usage line, then the listing of the one device that Wine offers here.
WAVE_LISTING = re.compile(re.escape(WAVE_USAGE + HEADING) + r"(?: [ \d]\d - .{32,}\n)+")
BAND3 = ("--band", 3, "--block", BLOCK, "--rate", RATE)


CHANNEL = "Channel: USB at 7051000 Hz, one 15 s file of 12000 Hz mono 16-bit audio per cycle\n"


def bad_band(text):
    return f"Bad BandNr|Frequency_in_band_in_kHz ({text})\n"


def no_band(band):
    return f"Can't open shared memory for {band} receiver\n"


def receiver(band, rate=RATE, block=BLOCK):
    return f"{band} receiver : SampleRate={rate} BlockInSamples={block} L0=7050000\n"


# status, program, arguments, simulator arguments (None: no publisher), stdout, stderr
FAILURES = [
    (2, FILE, [], None, "", FILE_USAGE),
    (2, FILE, ["abc"], None, "", bad_band("abc")),
    (2, FILE, ["-3"], None, "", bad_band("-3")),
    (2, FILE, ["4294967299"], None, "", bad_band("4294967299")),
    (2, FILE, ["3", "25"], None, "", "Bad Scale_factor (25)\n"),
    (2, FILE, ["3", "-3"], None, "", "Bad Scale_factor (-3)\n"),
    (2, FILE, ["3", "x"], None, "", "Bad Scale_factor (x)\n"),
    (2, FILE, ["3", "Q"], None, "", "Bad Scale_factor (Q)\n"),
    (2, FILE, ["3", "4294967312"], None, "", "Bad Scale_factor (4294967312)\n"),
    (2, FILE, ["3", "-4294967297"], None, "", "Bad Scale_factor (-4294967297)\n"),
    # A character that is no flag is skipped: the run goes on to the band.
    (1, FILE, ["3", "16", "QX"], None, "Scale factor = 16 bits\nOne file per quarter of hour\n",
     no_band(3)),
    (2, FILE, ["3", "-1", "-", "72"], None, "Wav files are in 24-bit format\n", "Bad Budget (72)\n"),
    # A budget must hold one whole file: a quarter hour at 48000 samples/s in 16 bits.
    (2, FILE, ["3", "16", "Q", "0.17G"], BAND3,
     "Scale factor = 16 bits\nOne file per quarter of hour\n" + receiver(3),
     "Bad Budget (0.17G): one file takes up to 0.173 GB\n"),
    (2, FILE, ["3", "-2", "c", "0.2h"], BAND3,
     "Wav files are in 24-bit format\nWav files using WAVEFORMATEX in format tag\n"
     "Flag C has no effect on 24-bit files\n" + receiver(3),
     "Bad Budget (0.2h): one file takes up to 1.037 GB\n"),
    # A frequency that matches no band is reported as given.
    (1, FILE, ["14000"], None, "Scale factor = 16 bits\n", no_band(14000)),
    (1, FILE, ["3", "-1"], BAND3 + ("--ring", 2048),
     "Wav files are in 24-bit format\n" + receiver(3),
     f"Can't record 3 receiver: BufferSize=2048 can't hold a block of {BLOCK} samples\n"),
    # A demodulated channel: its options, its band, its place in the band.
    (2, FILE, ["3", "--demod", "usb", "--freq", "7074000", "--spool", "7"], None, "",
     "Bad --spool (7): whole seconds from 5 to 3600 that divide 3600 (15 for FT8, 120 for WSPR)\n"),
    (2, FILE, ["3", "--demod", "usb", "--spool", "15", "--budget", "0.0003G"], None, "",
     "A channel needs --demod, --freq and --spool (missing: --freq)\n"),
    (2, FILE, ["3", "--demod", "usb", "--freq", "7051000", "--spool", "15", "--budget", "0.0003G"],
     None, CHANNEL, "Bad --budget (0.0003G): two 15 s files take 0.000720 GB\n"),
    (1, FILE, ["3", "--demod", "usb", "--freq", "7051000", "--spool", "15"], None, CHANNEL,
     no_band(3)),
    (2, FILE, ["3", "--demod", "usb", "--freq", "7072000", "--spool", "15"], BAND3,
     CHANNEL.replace("7051000", "7072000") + receiver(3),
     "Can't demodulate 7072000 Hz (passband 7072050..7075000 Hz) in 3 receiver: it covers "
     "7026000..7074000 Hz (L0=7050000 SampleRate=48000)\n"),
    (2, WAVE, [], None, "", WAVE_LISTING),
    (2, WAVE, ["3"], None, "", WAVE_LISTING),
    (2, WAVE, ["-1", "0"], None, "", "Bad " + bad_band("-1")),
    (2, WAVE, ["band", "0"], None, "", "Bad " + bad_band("band")),
    (2, WAVE, ["4294967299", "0"], None, "", "Bad " + bad_band("4294967299")),
    (2, WAVE, ["-1", "x"], None, "", "Bad " + bad_band("-1")),  # the first bad one only
    (2, WAVE, ["3", "256"], None, "", "Bad WaveOutdNr (256)\n"),
    (2, WAVE, ["3", "-2"], None, "", "Bad WaveOutdNr (-2)\n"),
    (2, WAVE, ["3", "x"], None, "", "Bad WaveOutdNr (x)\n"),
    (2, WAVE, ["3", "4294967295"], None, "", "Bad WaveOutdNr (4294967295)\n"),
    (2, WAVE, ["3", "0", "25"], None, "", "Bad Scale_factor (25)\n"),
    (2, WAVE, ["3", "0", "x"], None, "", "Bad Scale_factor (x)\n"),
    (2, WAVE, ["3", "0", "-1"], None, "", "Bad Scale_factor (-1)\n"),
    (2, WAVE, ["3", "0", "4294967312"], None, "", "Bad Scale_factor (4294967312)\n"),
    (1, WAVE, ["14000", "0"], None, "", no_band(14000)),
    (1, WAVE, ["3abc", "-1", "24", "extra"], None, "", no_band(3)),
    (1, WAVE, ["31", "255", "0"], None, "", no_band(31)),
    (1, WAVE, ["7050", "0"], ("--band", 3, "--block", 8192), receiver(3, 192000, 8192),
     "Can't play 3 receiver: BlockInSamples=8192 is not supported\n"),
    # The device is looked for only once the band is open.
    (1, WAVE, ["3", "200"], BAND3, receiver(3), "Can't open waveout device 200 \n"),
    # A demodulated channel: each option at fault is named, then the usage.
    (2, WAVE, ["3", "0", "--demod", "ssb", "--freq", "7051000"], None, "",
     "VEXA_Wave: bad value for --demod: 'ssb'\n" + WAVE_USAGE),
    (2, WAVE, ["3", "0", "16", "--demod", "usb", "--freq"], None, "",
     "VEXA_Wave: bad value for --freq: '(missing)'\n" + WAVE_USAGE),
    (2, WAVE, ["3", "0", "--demod", "usb", "--freq", "7.051M"], None, "",
     "VEXA_Wave: bad value for --freq: '7.051M'\n" + WAVE_USAGE),
    (2, WAVE, ["3", "0", "--demod", "--freq", "7051000"], None, "",
     "VEXA_Wave: bad value for --demod: '(missing)'\n" + WAVE_USAGE),
    (2, WAVE, ["3", "0", "--demod", "usb"], None, "", "VEXA_Wave: --demod needs --freq HZ\n" + WAVE_USAGE),
    (2, WAVE, ["3", "0", "--freq", "7051000"], None, "",
     "VEXA_Wave: --freq and --width need --demod MODE (usb, lsb, cw, am, fm)\n" + WAVE_USAGE),
    (2, WAVE, ["3", "0", "--demod", "usb", "--freq", "7051000", "--width", "9000"], None, "",
     "VEXA_Wave: --width 9000 is outside 200..5000 Hz for this mode\n" + WAVE_USAGE),
    (2, WAVE, ["3", "0", "--demod", "fm", "--freq", "7051000", "--squelch", "3"], None, "",
     "VEXA_Wave: unknown option '--squelch'\n" + WAVE_USAGE),
    (2, WAVE, ["3", "0", "--demod", "am", "--freq", "7051000", "loud"], None, "",
     "VEXA_Wave: unexpected argument 'loud'\n" + WAVE_USAGE),
    (2, WAVE, ["3", "0", "--demod", "usb", "--freq", "7072000"], BAND3, receiver(3),
     "VEXA_Wave: --freq 7072000: the channel's passband, 7072050 to 7075000 Hz, is not within "
     "band 3, 7026000 to 7074000 Hz\n" + WAVE_USAGE),
]


@pytest.mark.parametrize("status, exe, args, band, out, err", FAILURES,
                         ids=[f"{f[1][5:9]}({' '.join(f[2])})" for f in FAILURES])
def test_every_failure_has_its_message_and_its_status(tmp_path, status, exe, args, band, out, err):
    home, cwd = tmp_path / "home", tmp_path / "cwd"
    home.mkdir()
    cwd.mkdir()
    sound = Sound(home)
    if band is None:
        res = run(exe, *args, cwd=cwd, env=sound.env)
    else:
        with simulator(*band, "--signal", "silence"):
            res = run(exe, *args, cwd=cwd, env=sound.env)
    assert res.returncode == status, res
    assert res.stdout == out
    if isinstance(err, str):
        assert res.stderr == err
    else:
        assert err.fullmatch(res.stderr), res.stderr
    assert list(cwd.iterdir()) == [], "a file was made"
    assert not sound.raw.exists(), "the sound device was opened"
