"""Levels on VEXA_Net's SDR-program ports: SpyServer's auto gain as SDR# asks
for it (FFT+IQ mode, 8 bits, a 12 kHz channel), and rtl_tcp's manual gain and
its rate kept after a refused one, each measured in the samples themselves."""
import socket
import struct

import numpy

from conftest import simulator
from net_support import log, server, wait_log
import spyserver_client as spy

SPY, RTL = 5555, 1234
L0, TONE = 7050000, 20000
CHANNEL = L0 + TONE - 3000  # a 12 kHz channel with the tone 3 kHz above its centre
SDRSHARP = b"SDR# v1.0.0.1920 on Microsoft Windows NT 10.0.19045.0"


def level_db(x):
    return 20 * numpy.log10(numpy.sqrt(numpy.mean(numpy.abs(x) ** 2)))


def sdrsharp(port):
    """A client that opens as SDR# does by default: FFT+IQ (mode 5), its FFT
    settings, auto gain, 8-bit IQ, the channel at stage 4 (12 kHz)."""
    c = spy.SpyClient("127.0.0.1", port, name=SDRSHARP)
    for setting, value in ((spy.MODE, 5), (205, 1000), (203, 0), (204, 127),
                           (spy.DIGITAL_GAIN, spy.AUTO_GAIN), (200, 1), (spy.FORMAT, spy.U8),
                           (201, L0), (spy.FREQUENCY, CHANNEL), (202, 0), (spy.DECIMATION, 4),
                           (spy.FORMAT, spy.U8), (spy.ENABLED, 1)):
        c.set(setting, value)
    return c


def plain(port, fmt, auto_gain=False):
    """A client in IQ mode at the same channel, in fmt, asking auto gain or not."""
    c = spy.SpyClient("127.0.0.1", port)
    c.set(spy.FORMAT, fmt)
    if auto_gain:
        c.set(spy.DIGITAL_GAIN, spy.AUTO_GAIN)
    c.set(spy.FREQUENCY, CHANNEL)
    c.set(spy.DECIMATION, 4)
    c.set(spy.MODE, 1)
    c.set(spy.ENABLED, 1)
    return c


def settled(c):
    """One second of the channel after its first quarter second, and the dB the
    server applied (the median over those messages)."""
    c.iq(3000)
    first = len(c.gains)
    x = c.iq(12000)
    return x, numpy.median(c.gains[first:])


def test_sdrsharp_gets_its_channel_lifted_by_auto_gain_at_true_levels():
    bands = ("--band", 0, "--signal", "tone", "--tone", TONE, "--level", -50,
             "--band", 1, "--signal", "tone", "--tone", TONE, "--level", -100)
    with simulator(*bands), server("--spyserver", SPY, "--max-clients", 5) as net:
        sharp = sdrsharp(SPY)
        s16 = plain(SPY, spy.S16)
        f32 = plain(SPY, spy.F32, auto_gain=True)  # float: never scaled, gain bits 0
        wait_log(net, "spyserver 00 settings: 8-bit, decimation 16 (12000 samples/s), IQ centre "
                      "%d Hz, streaming, auto gain" % CHANNEL)
        x, db = settled(sharp)
        reference, none = settled(s16)
        assert none == 0
        assert abs(level_db(reference) + 50) < 0.5
        assert db >= 30, db  # lifted: -50 dBFS fills a few of the 8-bit steps alone
        assert abs(level_db(x) - level_db(reference)) < 1.0
        # Float asked for auto gain too, and gets none (the client fails on gain bits).
        assert abs(level_db(settled(f32)[0]) - level_db(reference)) < 0.2

        weak = sdrsharp(SPY + 1)
        exact = plain(SPY + 1, spy.F32)
        x, db = settled(weak)
        truth = level_db(settled(exact)[0])
        assert abs(truth + 100) < 0.5
        assert abs(level_db(x) - truth) < 1.0
        steps = 10 ** ((truth + db) / 20) * 128  # the tone's amplitude in 8-bit steps
        assert steps >= 16, (db, steps)
        for c in (sharp, s16, f32, weak, exact):
            assert c.lost == 0
            c.close()
    assert "refused" not in log(net)


def rtl_samples(sock, count):
    """count complex samples of an rtl_tcp stream, (b - 127.5) / 127.5."""
    raw = numpy.frombuffer(sock.recv(2 * count, socket.MSG_WAITALL), numpy.uint8)
    assert len(raw) == 2 * count
    v = (raw.astype(float) - 127.5) / 127.5
    return v[0::2] + 1j * v[1::2]


def test_rtltcp_manual_gain_doubles_the_amplitude_and_a_refused_rate_keeps_the_stream_rate():
    rate, tuned = 250000, L0 - 10000  # the tone 30 kHz above the stream's centre
    with simulator("--band", 0, "--signal", "tone", "--tone", TONE, "--level", -20), \
            server("--rtltcp", RTL) as net:
        r = socket.create_connection(("127.0.0.1", RTL))
        assert r.recv(12, socket.MSG_WAITALL)[:4] == b"RTL0"
        r.sendall(struct.pack(">BI", 2, rate) + struct.pack(">BI", 1, tuned))
        # Read all along, so that little is in flight: what was sent before a
        # command is gone within the seconds read after it.
        before = rtl_samples(r, 2 * rate)[-rate // 2:]
        r.sendall(struct.pack(">BI", 3, 1) + struct.pack(">BI", 4, 60))  # manual, +6.0 dB
        after = rtl_samples(r, 3 * rate)[-rate // 2:]
        ratio = numpy.mean(numpy.abs(after)) / numpy.mean(numpy.abs(before))
        assert abs(ratio - 2.0) < 0.05, ratio  # 10^(6/20) = 1.995
        wait_log(net, "settings: %d Hz, %d samples/s, gain 6.0 dB: band 0" % (tuned, rate))

        r.sendall(struct.pack(">BI", 2, 500000))  # between librtlsdr's two ranges
        x = rtl_samples(r, 3 * rate)[-rate // 2:]
        wait_log(net, "sample rate 500000 refused (librtlsdr's ranges): %d kept" % rate)
        # Samples per second, as the tone's cycles per sample tell them.
        spectrum = numpy.abs(numpy.fft.fft(x * numpy.hanning(len(x))))
        cycles = numpy.fft.fftfreq(len(x))[numpy.argmax(spectrum)]
        assert abs(TONE + L0 - tuned - cycles * rate) <= rate / len(x)
        assert abs((TONE + L0 - tuned) / cycles - rate) < 0.001 * rate
        r.close()
