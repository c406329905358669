"""A SpyServer client as strict as the strictest real one: it checks every header
(ProtocolID, MessageType's gain bits, BodySize never 0 nor above 1 MiB, the
stream type of IQ and FFT messages), waits for DeviceInfo and ClientSync with
the real clients' deadlines, refuses int24 messages, decodes each IQ message by
the format it asked for and counts sequence gaps. Gain bits are allowed only on
8- and 16-bit IQ to a client that asked for auto gain, which then scales the
samples by 10^(-d/20) as SDR# does. SdrSharp replays what SDR#'s own SpyServer
front end sends and reads its FFT frames."""
import socket
import struct
import time

import numpy

PROTOCOL_ID = 0x020006A4
HEADER = struct.Struct("<5I")
MAX_BODY = 1 << 20
HELLO, SET_SETTING, PING = 0, 2, 3
DEVICE_INFO, CLIENT_SYNC, PONG = 0, 1, 2
MODE, ENABLED, GAIN = 0, 1, 2
FORMAT, FREQUENCY, DECIMATION, DIGITAL_GAIN = 100, 101, 102, 103
FFT_FORMAT, FFT_FREQUENCY, FFT_DECIMATION, FFT_DB_OFFSET, FFT_DB_RANGE, FFT_PIXELS = range(200, 206)
FFT_U8, STREAM_IQ, STREAM_FFT = 301, 1, 4
AUTO_GAIN = 0xFFFFFFFF
U8, S16, S24, F32 = 1, 2, 3, 4
IQ_TYPE = {U8: 100, S16: 101, S24: 102, F32: 103}
SAMPLE_BYTES = {U8: 2, S16: 4, S24: 6, F32: 8}
DEVICE_FIELDS = ("DeviceType DeviceSerial MaximumSampleRate MaximumBandwidth DecimationStageCount "
                 "GainStageCount MaximumGainIndex MinimumFrequency MaximumFrequency Resolution "
                 "MinimumIQDecimation ForcedIQFormat").split()
SYNC_FIELDS = ("CanControl Gain DeviceCenterFrequency IQCenterFrequency FFTCenterFrequency "
               "MinimumIQCenterFrequency MaximumIQCenterFrequency MinimumFFTCenterFrequency "
               "MaximumFFTCenterFrequency").split()


class ProtocolError(AssertionError):
    pass


class SpyClient:
    def __init__(self, host, port, name=b"SpyTest", timeout=5.0):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.format = S16
        self.auto_gain = False  # asked IQ_DIGITAL_GAIN = AUTO_GAIN
        self.gains = []  # the dB each IQ message stated, in order
        self.fft = []  # FFT frames (uint8 arrays) not yet taken
        self.sequence = None  # of the last IQ message
        self.lost = 0  # messages missing by their sequence numbers
        self.messages = 0
        self.sync = None
        self.device = None
        self.send(HELLO, struct.pack("<I", PROTOCOL_ID) + name)
        # Soapy gives each reply 1 s: a late one fails the open.
        self.device = self._expect(DEVICE_INFO, DEVICE_FIELDS, 1.0)
        self.sync = self._expect(CLIENT_SYNC, SYNC_FIELDS, 1.0)
        if self.device["DeviceType"] not in (1, 2, 3):
            raise ProtocolError("device type %d" % self.device["DeviceType"])
        if self.device["ForcedIQFormat"] in (3, 5):
            raise ProtocolError("forced IQ format %d" % self.device["ForcedIQFormat"])

    def close(self):
        self.sock.close()

    def send(self, command, body=b""):
        self.sock.sendall(struct.pack("<II", command, len(body)) + body)

    def set(self, setting, value):
        if setting == FORMAT:
            self.format = value
        if setting == DIGITAL_GAIN:
            self.auto_gain = value == AUTO_GAIN
        self.send(SET_SETTING, struct.pack("<II", setting, value))

    def _read(self, n):
        data = bytearray()
        while len(data) < n:
            got = self.sock.recv(n - len(data))
            if not got:
                raise ConnectionError("server closed the connection")
            data += got
        return bytes(data)

    def message(self):
        """The next message as (type, body), the type without its gain bits; every
        header is checked."""
        protocol, mtype, stream, sequence, size = HEADER.unpack(self._read(HEADER.size))
        if protocol >> 16 != PROTOCOL_ID >> 16:
            raise ProtocolError("protocol id 0x%08x" % protocol)
        gain, mtype = mtype >> 16, mtype & 0xFFFF
        scaled = self.auto_gain and self.format in (U8, S16) and mtype in (100, 101)
        if gain and not scaled:
            raise ProtocolError("gain flags 0x%x in the message type %d" % (gain, mtype))
        if size == 0:
            raise ProtocolError("message of type %d with BodySize 0" % mtype)
        if size > MAX_BODY:
            raise ProtocolError("BodySize %d above 1 MiB" % size)
        if mtype == 102 and self.format != S24:
            raise ProtocolError("int24 message to a client that did not ask for it")
        if mtype in IQ_TYPE.values() and stream != STREAM_IQ:
            raise ProtocolError("IQ message on stream type %d" % stream)
        if mtype == FFT_U8 and stream != STREAM_FFT:
            raise ProtocolError("FFT message on stream type %d" % stream)
        body = self._read(size)
        if mtype in IQ_TYPE.values():
            self.gains.append(gain)
            self._count(sequence)
        elif mtype == FFT_U8:
            self.fft.append(numpy.frombuffer(body, numpy.uint8))
        elif mtype == CLIENT_SYNC:
            self.sync = self._fields(body, SYNC_FIELDS)
        return mtype, body

    def _count(self, sequence):
        expected = 0 if self.sequence is None else (self.sequence + 1) & 0xFFFFFFFF
        self.lost += (sequence - expected) & 0xFFFFFFFF
        self.sequence = sequence
        self.messages += 1

    def _fields(self, body, names):
        if len(body) != 4 * len(names):
            raise ProtocolError("body of %d bytes for %d fields" % (len(body), len(names)))
        return dict(zip(names, struct.unpack("<%dI" % len(names), body)))

    def _expect(self, mtype, names, deadline):
        self.sock.settimeout(deadline)
        got, body = self.message()
        self.sock.settimeout(5.0)
        if got != mtype:
            raise ProtocolError("message type %d where %d was due" % (got, mtype))
        return self._fields(body, names)

    def wait_sync(self, field, value, timeout=5.0):
        """Reads (and drops) messages until ClientSync's field has value."""
        end = time.monotonic() + timeout
        while self.sync[field] != value:
            if time.monotonic() > end:
                raise ProtocolError("ClientSync %s stays %d, not %d" % (field, self.sync[field], value))
            self.message()

    def iq(self, count):
        """count complex samples from the IQ messages, decoded by the format asked for
        (full scale 1.0, the stated gain taken out); a message of another IQ type
        fails."""
        parts, have = [], 0
        while have < count:
            mtype, body = self.message()
            if mtype not in IQ_TYPE.values():
                continue
            if mtype != IQ_TYPE[self.format]:
                raise ProtocolError("IQ type %d for format %d" % (mtype, self.format))
            x = decode(body, self.format) * 10 ** (-self.gains[-1] / 20)
            parts.append(x)
            have += len(x)
        return numpy.concatenate(parts)[:count]


def decode(body, fmt):
    if fmt == U8:
        v = (numpy.frombuffer(body, numpy.uint8).astype(numpy.float64) - 128) / 128
    elif fmt == S16:
        v = numpy.frombuffer(body, "<i2").astype(numpy.float64) / 32768
    elif fmt == S24:
        b = numpy.frombuffer(body, numpy.uint8).reshape(-1, 3).astype(numpy.int32)
        v = ((b[:, 0] << 8 | b[:, 1] << 16 | b[:, 2] << 24) >> 8).astype(numpy.float64) / 8388608
    else:
        v = numpy.frombuffer(body, "<f4").astype(numpy.float64)
    if len(v) % 2:
        raise ProtocolError("half an I/Q pair")
    return v[0::2] + 1j * v[1::2]


class SdrSharp(SpyClient):
    """SDR#'s SpyServer front end with "Use full IQ" unticked: FFT + IQ (mode 5), a
    display of `pixels` from the server's FFT frames, the VFO's narrow channel in
    8 bits with auto gain; each setting sent only when it changes."""

    def __init__(self, host, port, pixels=1000):
        super().__init__(host, port, name=b"SDR# v1.0.0.1920 on Windows")
        self.pixels = pixels
        self.sent = {}
        for setting, value in ((MODE, 5), (FFT_PIXELS, pixels), (FFT_DB_OFFSET, 0),
                               (FFT_DB_RANGE, 127), (DIGITAL_GAIN, AUTO_GAIN),
                               (FFT_FORMAT, 1), (FORMAT, U8)):
            self.change(setting, value)

    def change(self, setting, value):
        if self.sent.get(setting) != value:
            self.sent[setting] = value
            self.set(setting, value)

    def start(self, display, vfo, display_stage, iq_stage):
        self.change(FFT_FREQUENCY, display)
        self.change(FREQUENCY, vfo)
        self.change(FFT_DECIMATION, display_stage)
        self.change(DECIMATION, iq_stage)
        self.set(FORMAT, U8)  # re-sent after every IQ_DECIMATION
        self.change(ENABLED, 1)

    def zoom(self, stage):
        self.change(FFT_DECIMATION, stage)

    def drag(self, display):
        self.change(FFT_FREQUENCY, display)

    def span(self):
        return self.device["MaximumBandwidth"] >> self.sent.get(FFT_DECIMATION, 0)

    def frames(self, count):
        """The next count FFT frames, after dropping those already received, and the
        IQ samples that came meanwhile; every frame must be `pixels` bytes."""
        self.fft = []
        samples = 0
        while len(self.fft) < count:
            mtype, body = self.message()
            if mtype in IQ_TYPE.values():
                samples += len(body) // SAMPLE_BYTES[self.format]
        for f in self.fft:
            if len(f) != self.pixels:
                raise ProtocolError("FFT frame of %d bytes for %d pixels" % (len(f), self.pixels))
        return self.fft[:count], samples

    def pixel_of(self, hz):
        """The pixel that shows frequency hz on the display SDR# draws."""
        left = self.sync["FFTCenterFrequency"] - self.span() / 2
        return int((hz - left) / self.span() * self.pixels)


def level_db(byte, offset=0, range_db=127):
    """An FFT byte in dB relative to full scale: 0 = offset - range, 255 = offset."""
    return offset - range_db + byte * range_db / 255.0
