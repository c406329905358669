"""SDR#'s way of using a SpyServer: FFT frames for its display and a narrow 8-bit
channel, replayed by a strict SDR#-like client against VEXA_Net and the
simulator, beside a plain SDR++-like client whose stream must not change."""
import numpy

from conftest import simulator
from net_support import log, server, wait_log
import spyserver_client as spy

SPY = 5555
L0, RATE, TONE, LEVEL = 7050000, 192000, 20000, -20
TONE_AT = L0 + TONE
BANDS = ("--band", 0, "--signal", "tone", "--tone", TONE, "--level", LEVEL,
         "--band", 1, "--signal", "counter")


def assert_display(client, frames, tone_at=TONE_AT, level=LEVEL):
    """Every frame shows the tone at its pixel (+-1) and level (+-1 dB), and nothing
    else above the window's floor 90 dB under it."""
    want = client.pixel_of(tone_at)
    for f in frames:
        brightest = int(numpy.argmax(f))
        assert abs(brightest - want) <= 1, (brightest, want)
        assert abs(spy.level_db(f[brightest]) - level) <= 1.0, spy.level_db(f[brightest])
        rest = numpy.delete(f, range(max(0, brightest - 5), brightest + 6))
        assert spy.level_db(rest.max()) < level - 90, spy.level_db(rest.max())


def test_sdrsharp_sees_the_band_zooms_and_drags_while_an_sdrpp_client_sees_no_change():
    with simulator(*BANDS), server("--spyserver", SPY, "--max-clients", 4) as net:
        plain = spy.SpyClient("127.0.0.1", SPY + 1, name=b"SDR++")  # the counter
        for setting, value in ((spy.FORMAT, spy.S16), (spy.DECIMATION, 0), (spy.MODE, 1),
                               (spy.GAIN, 0), (spy.ENABLED, 1)):
            plain.set(setting, value)
        sdr = spy.SdrSharp("127.0.0.1", SPY)
        sdr.start(display=L0, vfo=TONE_AT, display_stage=0, iq_stage=4)
        wait_log(net, "spyserver 01 FFT: 1000 pixels, decimation 1 (span 192000 Hz), "
                      "centre 7050000 Hz, -127..0 dB; 1 spectrum views in use")
        # A second SDR# on the same display shares the first one's view.
        twin = spy.SdrSharp("127.0.0.1", SPY)
        twin.start(display=L0, vfo=L0, display_stage=0, iq_stage=4)
        wait_log(net, "spyserver 02 FFT: 1000 pixels, decimation 1 (span 192000 Hz), "
                      "centre 7050000 Hz, -127..0 dB; 1 spectrum views in use")
        assert sdr.sync["MinimumFFTCenterFrequency"] == L0 - RATE // 2
        assert sdr.sync["MaximumFFTCenterFrequency"] == L0 + RATE // 2

        frames, samples = sdr.frames(40)
        assert_display(sdr, frames[2:])
        assert_display(twin, twin.frames(5)[0][2:])
        # 15 to 30 frames a second of the band, timed by the IQ that came with them.
        per_second = len(frames) / (samples / (RATE >> 4))
        assert 15 <= per_second <= 30, per_second
        iq = sdr.iq(RATE >> 4)
        spectrum = numpy.abs(numpy.fft.fft(iq * numpy.hanning(len(iq))))
        assert numpy.argmax(spectrum) in (0, len(iq) - 1, 1)  # the VFO's tone at its centre

        # Zoom in 8 times and drag the tone to the left third of the display.
        sdr.zoom(3)
        sdr.drag(L0 + 25000)
        sdr.wait_sync("FFTCenterFrequency", L0 + 25000)
        assert sdr.sync["IQCenterFrequency"] == TONE_AT
        wait_log(net, "spyserver 01 FFT: 1000 pixels, decimation 8 (span 24000 Hz), "
                      "centre 7075000 Hz, -127..0 dB; 2 spectrum views in use")
        assert_display(sdr, sdr.frames(10)[0][2:])
        assert sdr.pixel_of(TONE_AT) == 291
        # Dragged past the band's edge: the display stops at it.
        sdr.drag(L0 + 1000000)
        sdr.wait_sync("FFTCenterFrequency", L0 + (RATE - RATE // 8) // 2)
        assert sdr.pixel_of(TONE_AT) < 0
        f = sdr.frames(3)[0][-1]
        assert spy.level_db(f.max()) < LEVEL - 90  # the tone left the display
        assert sdr.lost == 0 and twin.lost == 0

        # The plain client: no FFT message, the counter whole.
        x = plain.iq(RATE)
        i = numpy.round(x.real * 32768).astype(int)
        m = (i + 32768) % 65536
        assert (numpy.diff(m) % 65536 == 1).all(), "the counter skips"
        assert plain.fft == [] and plain.lost == 0
        for c in (plain, sdr, twin):
            c.close()
        wait_log(net, "spyserver 02 connection with client")
    assert "dropped" not in log(net)


def test_bad_fft_settings_are_clamped_and_fft_only_modes_stream():
    with simulator(*BANDS), server("--spyserver", SPY) as net:
        c = spy.SdrSharp("127.0.0.1", SPY, pixels=0)
        c.change(spy.MODE, 4)  # FFT only: no IQ
        c.change(spy.FFT_DB_RANGE, 0)
        c.change(spy.FFT_FORMAT, 7)
        c.start(display=0, vfo=L0, display_stage=99, iq_stage=0)
        low, high = L0 - (RATE - RATE // 64) // 2, L0 + (RATE - RATE // 64) // 2
        c.wait_sync("FFTCenterFrequency", low)
        c.pixels = 100
        wait_log(net, "spyserver 00 FFT: 100 pixels, decimation 64 (span 3000 Hz), "
                      "centre %d Hz, -1..0 dB; 1 spectrum views in use" % low)
        frames, samples = c.frames(3)
        assert samples == 0
        c.drag(4000000000)
        c.wait_sync("FFTCenterFrequency", high)
        c.change(spy.FFT_DB_RANGE, 1000)
        c.change(spy.FFT_DB_OFFSET, -50 & 0xFFFFFFFF)
        c.change(spy.MODE, 6)  # FFT and audio: the audio declined, the FFT streams
        c.zoom(0)
        c.change(spy.FFT_PIXELS, 10 ** 6)
        c.pixels = 32768
        wait_log(net, "spyserver 00 FFT: 32768 pixels, decimation 1 (span 192000 Hz), "
                      "centre 7050000 Hz, -250..-50 dB")
        frames, samples = c.frames(2)
        assert samples == 0
        # The tone, above the scale's top, is clipped there; the floor sits above -250 dB.
        assert frames[-1].max() == 255 and 0 < frames[-1].min() < 255
        c.close()
        wait_log(net, "spyserver 00 connection with client")
