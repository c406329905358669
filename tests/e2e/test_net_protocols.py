"""VEXA_Net's SpyServer and rtl_tcp ports end to end: real rtl_tcp clients
(gr-osmosdr, rtl_433) and a strict SpyServer client against the simulator."""
import socket
import struct
import subprocess
import time

import numpy

from conftest import run, simulator
from net_support import log, server, wait_log
import spyserver_client as spy

SPY, RTL = 5555, 1234
L0, RATE, TONE = 7050000, 192000, 20000
TONE_AT = L0 + TONE
# Band 0 carries a tone, band 1 the counter.
BANDS = ("--band", 0, "--signal", "tone", "--tone", TONE, "--band", 1, "--signal", "counter")
PYTHON = "/usr/bin/python3"


def peak(x, rate, centre):
    """The absolute frequency of the strongest FFT bin, and the bin's width."""
    spectrum = numpy.abs(numpy.fft.fft(x * numpy.hanning(len(x))))
    return centre + numpy.fft.fftfreq(len(x), 1.0 / rate)[numpy.argmax(spectrum)], rate / len(x)


def assert_tone(x, rate, centre, at=TONE_AT):
    found, bin_width = peak(x, rate, centre)
    assert abs(found - at) <= bin_width, (found, at, bin_width)


def test_spyserver_clients_get_their_own_settings_and_a_vanished_one_frees_its_slot():
    with simulator(*BANDS), server("--spyserver", SPY, "--max-clients", 3) as net:
        counter = spy.SpyClient("127.0.0.1", SPY + 1)
        assert counter.device["MaximumSampleRate"] == RATE
        assert counter.device["DecimationStageCount"] == 6
        assert counter.sync["IQCenterFrequency"] == L0
        counter.set(spy.ENABLED, 1)  # as SoapySDR: no mode, no format: IQ in 16-bit
        full = spy.SpyClient("127.0.0.1", SPY)
        full.set(spy.MODE, 1)
        full.set(spy.FORMAT, spy.U8)
        full.set(spy.ENABLED, 1)
        narrow = spy.SpyClient("127.0.0.1", SPY)
        narrow.set(spy.FORMAT, spy.F32)
        narrow.set(spy.DECIMATION, 3)
        narrow.wait_sync("IQCenterFrequency", L0)
        narrow.set(spy.FREQUENCY, L0 + 25000)
        narrow.wait_sync("IQCenterFrequency", L0 + 25000)
        narrow.set(spy.MODE, 1)
        narrow.set(spy.ENABLED, 1)
        wait_log(net, "spyserver 02 settings: float, decimation 8 (24000 samples/s), "
                      "IQ centre 7075000 Hz, streaming")

        x = counter.iq(RATE)
        i = numpy.round(x.real * 32768).astype(int)
        q = numpy.round(x.imag * 32768).astype(int)
        m = (i + 32768) % 65536
        assert (numpy.diff(m) % 65536 == 1).all(), "the counter skips"
        assert ((32767 - m) == q).all()
        assert counter.lost == 0
        assert_tone(full.iq(RATE)[RATE // 4:], RATE, L0)
        assert_tone(narrow.iq(24000)[6000:], 24000, L0 + 25000)
        assert full.lost == 0 and narrow.lost == 0

        # Beyond the band: the centre is clamped so the decimated stream stays in.
        narrow.set(spy.FREQUENCY, L0 + 500000)
        narrow.wait_sync("IQCenterFrequency", L0 + (RATE - RATE // 8) // 2)

        # A client that vanishes without a word frees its slot at once.
        counter.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        counter.close()
        wait_log(net, "spyserver 00 connection with client")
        again = spy.SpyClient("127.0.0.1", SPY + 1)
        again.set(spy.ENABLED, 1)
        assert len(again.iq(1000)) == 1000
        for c in (again, full, narrow):
            c.close()
    assert "refused" not in log(net)


FLOWGRAPH = """
import sys, numpy
from gnuradio import gr, blocks
import osmosdr
rate, freq, seconds = float(sys.argv[1]), float(sys.argv[2]), 1.5
top = gr.top_block()
src = osmosdr.source("rtl_tcp=127.0.0.1:%d")
src.set_sample_rate(rate)
src.set_center_freq(freq)
head = blocks.head(gr.sizeof_gr_complex, int(rate * seconds))
sink = blocks.vector_sink_c()
top.connect(src, head, sink)
top.run()
numpy.save(sys.argv[3], numpy.array(sink.data()))
""" % RTL


def osmosdr_samples(tmp_path, rate, freq):
    out = tmp_path / ("osmo%d.npy" % rate)
    subprocess.run([PYTHON, "-c", FLOWGRAPH, str(rate), str(freq), str(out)], check=True,
                   timeout=60, capture_output=True)
    x = numpy.load(out)
    assert len(x) == int(rate * 1.5)
    # What was queued before the commands still has the start settings.
    return x[int(rate * 0.5):]


def test_rtltcp_real_clients_get_the_tone_at_its_frequency_at_the_rate_they_asked(tmp_path):
    with simulator(*BANDS), server("--rtltcp", RTL) as net:
        assert_tone(osmosdr_samples(tmp_path, 250000, L0), 250000, L0)
        # Tuned beside the band: the stream holds the whole band off its centre.
        tuned = osmosdr_samples(tmp_path, 1024000, L0 - 200000)
        assert_tone(tuned, 1024000, L0 - 200000)
        # Tuned inside, off the centre: the band's far edge must not fold over.
        assert_tone(osmosdr_samples(tmp_path, 1024000, L0 - 90000), 1024000, L0 - 90000)
        # Outside the band's own width the stream is empty but for the few
        # spurs that 8-bit samples of a pure tone make (about -55 dB).
        spectrum = numpy.abs(numpy.fft.fftshift(numpy.fft.fft(tuned)))
        freqs = L0 - 200000 + numpy.fft.fftshift(numpy.fft.fftfreq(len(tuned), 1 / 1024000))
        outside = spectrum[abs(freqs - L0) > RATE / 2 + 5000]
        assert numpy.percentile(outside, 99) < spectrum.max() * 10 ** (-80 / 20)
        assert outside.max() < spectrum.max() * 10 ** (-45 / 20)

        cu8 = tmp_path / "rtl433.cu8"
        res = subprocess.run(["rtl_433", "-d", "rtl_tcp:127.0.0.1:%d" % RTL, "-f", str(L0 - 10000),
                              "-s", "250000", "-T", "3", "-w", str(cu8)],
                             capture_output=True, text=True, timeout=60)
        assert "rtl_tcp connected to 127.0.0.1:%d (Tuner: R820T)" % RTL in res.stderr, res.stderr
        raw = numpy.fromfile(cu8, numpy.uint8).astype(float)
        assert len(raw) > 2 * 250000
        x = (raw[0::2] - 127.5) / 127.5 + 1j * (raw[1::2] - 127.5) / 127.5
        assert_tone(x[125000:125000 + 250000], 250000, L0 - 10000)
        wait_log(net, "settings: 7040000 Hz, 250000 samples/s, gain 0.0 dB: band 0")
    assert "rtltcp 00 new client from 127.0.0.1:" in log(net)


def test_rtltcp_client_tuned_before_the_receiver_started_gets_its_band_once_published():
    with server("--rtltcp", RTL) as net:
        r = raw(RTL)
        assert r.recv(12, socket.MSG_WAITALL)[:4] == b"RTL0"
        r.sendall(struct.pack(">BI", 2, 250000) + struct.pack(">BI", 1, L0))
        wait_log(net, "settings: %d Hz, 250000 samples/s, gain 0.0 dB: no band covers it" % L0)
        attached = "settings: %d Hz, 250000 samples/s, gain 0.0 dB: band 0" % L0
        with simulator(*BANDS):
            # The silence streamed until the band comes is read as it comes, however
            # long the receiver takes to start, so what follows is the band's.
            deadline = time.monotonic() + 20
            while attached not in log(net) and time.monotonic() < deadline:
                r.recv(65536)
            wait_log(net, attached)
            data = r.recv(4 * 250000, socket.MSG_WAITALL)
        r.close()
    raw_iq = numpy.frombuffer(data[-2 * 250000:], numpy.uint8).astype(float)
    assert_tone((raw_iq[0::2] - 127.5) / 127.5 + 1j * (raw_iq[1::2] - 127.5) / 127.5, 250000, L0)


def test_options_help_usage_errors_and_a_busy_port():
    res = run("VEXA_Net.exe", "--help")
    assert res.returncode == 0 and "--spyserver BASEPORT" in res.stdout
    for bad in (["--spyserver", "x"], ["--allow", "10.0.0.0/33"], ["--max-clients", "0"],
                ["--bind"], ["--colour"]):
        res = run("VEXA_Net.exe", *bad)
        assert res.returncode == 2, (bad, res)
        assert "Usage: VEXA_Net" in res.stdout
    # Earlier tests' connections may leave the port in TIME_WAIT: a listening
    # socket holds it whatever else is there.
    held = socket.socket()
    held.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    held.bind(("127.0.0.1", RTL))
    held.listen()
    try:
        res = run("VEXA_Net.exe", "--rtltcp", RTL)
    finally:
        held.close()
    assert res.returncode == 1
    assert "bind() failed: " in res.stdout and "(port %d)" % RTL in res.stdout


def closed_by_server(sock, timeout=15):
    """Waits for the server to close the connection; returns what it sent first."""
    sock.settimeout(timeout)
    got = bytearray()
    try:
        while True:
            data = sock.recv(65536)
            if not data:
                break
            got += data
    except ConnectionResetError:
        pass
    return bytes(got)


def raw(port, source="127.0.0.1"):
    s = socket.socket()
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def test_bad_input_closes_only_that_client_and_good_ones_stream_on():
    args = ("--spyserver", SPY, "--rtltcp", RTL, "--allow", "127.0.0.1/32", "--max-clients", 3)
    with simulator(*BANDS), server(*args) as net:
        good = spy.SpyClient("127.0.0.1", SPY)
        good.set(spy.ENABLED, 1)
        silent = raw(SPY)  # never says HELLO
        half = spy.SpyClient("127.0.0.1", SPY).sock
        half.sendall(struct.pack("<I", spy.SET_SETTING))  # half a command header
        wait_log(net, "spyserver 02 new client")
        extra = raw(SPY)
        wait_log(net, "on port %d: all 3 SpyServer client slots are taken" % SPY)
        assert closed_by_server(extra) == b""
        for port in (SPY, RTL, 11000):
            stranger = raw(port, "127.0.0.2")
            wait_log(net, "refused connection from 127.0.0.2:%d on port %d: address not in the "
                          "allow list" % (stranger.getsockname()[1], port))
            assert closed_by_server(stranger) == b""
        assert closed_by_server(silent) == b""  # nothing before HELLO
        closed_by_server(half)
        wait_log(net, "spyserver 01 connection with client 127.0.0.1:%d closed: no HELLO within 5 s"
                 % silent.getsockname()[1])
        wait_log(net, "closed: a command stayed half sent for 5 s")

        bad = [(spy.SET_SETTING, struct.pack("<II", 999, 1), "unknown setting 999"),
               (7, b"", "unknown command 7"),
               (spy.PING, b"x" * 300, "command body of 300 bytes, more than 256")]
        for command, body, reason in bad:
            c = spy.SpyClient("127.0.0.1", SPY)
            c.send(command, body)
            closed_by_server(c.sock)
            wait_log(net, "closed: " + reason)
        c = spy.SpyClient("127.0.0.1", SPY)
        c.sock.sendall(struct.pack("<IIII", spy.SET_SETTING, 8, spy.MODE, 1) * 5000)
        closed_by_server(c.sock)
        wait_log(net, "closed: command flood: more than 1000 commands in one second")
        # Out of range: clamped and told, never closed.
        c = spy.SpyClient("127.0.0.1", SPY)
        c.set(spy.DECIMATION, 99)
        c.wait_sync("IQCenterFrequency", L0)
        c.set(spy.FORMAT, 5)  # dint4, not offered: the format stays 16-bit
        c.format = spy.S16
        c.set(spy.ENABLED, 1)
        wait_log(net, "settings: 16-bit, decimation 64 (3000 samples/s), IQ centre 7050000 Hz, "
                      "streaming")
        assert len(c.iq(300)) == 300
        c.close()
        c = spy.SpyClient("127.0.0.1", SPY)  # as SDRangel: int24, decoded as asked
        c.set(spy.FORMAT, spy.S24)
        c.format = spy.S24
        c.set(spy.ENABLED, 1)
        assert len(c.iq(300)) == 300
        c.close()

        r = raw(RTL)
        assert r.recv(12, socket.MSG_WAITALL)[:4] == b"RTL0"
        r.sendall(b"\xff\x00\x00\x00\x01" + struct.pack(">BI", 2, 5000) + b"\x01\x00")
        wait_log(net, "unknown command 0xff (value 1) ignored")
        wait_log(net, "sample rate 5000 refused")
        assert len(r.recv(4096, socket.MSG_WAITALL)) == 4096  # still streaming
        closed_by_server(r)  # the half command
        wait_log(net, "rtltcp 00 connection with client 127.0.0.1:%d closed: a command stayed "
                      "half sent" % r.getsockname()[1])
        flood = raw(RTL)
        flood.sendall(struct.pack(">BI", 8, 0) * 5000)
        closed_by_server(flood)
        wait_log(net, "closed: command flood")

        # The good client read nothing meanwhile: it lost its oldest messages,
        # counted, and then streams on.
        wait_log(net, "spyserver 00 client reads too slowly: ")
        for _ in range(2000):
            if good.lost:
                break
            good.message()
        assert good.lost > 0
        lost = good.lost
        assert_tone(good.iq(RATE // 2), RATE, L0)
        assert good.lost == lost
