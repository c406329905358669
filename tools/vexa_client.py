#!/usr/bin/env python3
"""vexa_client: reference client of the VEXA_Net server.

Connects to the server, attaches a band, streams its I/Q samples to a local UDP
port for a while and reports what arrived. Standard library only.
"""
import argparse
import socket
import struct
import sys
import time

USAGE = """\
vexa_client.py [options]

Checks a VEXA_Net server: connects to it (TCP port 11000), attaches a band,
starts the I/Q stream to a local UDP port, rebuilds the 8192-byte blocks from
their datagrams and reports blocks received, missing and incomplete and the
sample rate achieved. Exit code 0 when the stream was complete, 1 otherwise,
2 when the server could not be reached or refused a command.

Options:
  --host HOST        server address (default 127.0.0.1)
  --port PORT        server TCP port (default 11000)
  --band N           band to attach (default 0)
  --seconds S        how long to stream (default 10)
  --udp-port P       local UDP port for the stream (default: any free port)
  --wav FILE         save the stream as a 32-bit float stereo WAV (I left, Q right;
                     a missing block is saved as silence)
  --command TEXT     send TEXT and print the reply; may be repeated; no stream
  -h, --help         this text

Examples:
  vexa_client.py --band 0 --seconds 30
  vexa_client.py --command "attach 0" --command "lo? 0"
"""

BLOCK_BYTES = 8192
BLOCK_SAMPLES = 1024
DATAGRAM_BYTES = 512
HEADER = struct.Struct("<QHH")
PIECE_BYTES = 500
PIECES = (BLOCK_BYTES + PIECE_BYTES - 1) // PIECE_BYTES
RECEIVE_BUFFER = 8 << 20
REPLY_WAIT = 5.0
SIZE_CAP = 0xFFFFFFFF  # a RIFF size field is 32 bits


class Server:
    """One TCP connection: one request, one reply."""

    def __init__(self, host, port, timeout=REPLY_WAIT):
        self.sock = socket.create_connection((host, port), timeout=timeout)

    def command(self, text):
        self.sock.sendall(text.encode("ascii", "replace"))
        reply = self.sock.recv(4096)
        if not reply:
            raise ConnectionError("the server closed the connection")
        return reply.decode("ascii", "replace")

    def close(self):
        self.sock.close()


def open_receiver(host, port=0):
    """A UDP socket with a large receive buffer, bound on the given port."""
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, RECEIVE_BUFFER)
    udp.bind((host, port))
    return udp


def parse_datagram(data):
    """(block number, offset, payload) of one datagram, or None when malformed."""
    if len(data) != DATAGRAM_BYTES:
        return None
    number, offset, length = HEADER.unpack_from(data)
    if offset + length > BLOCK_BYTES or length > PIECE_BYTES:
        return None
    return number, offset, data[HEADER.size:HEADER.size + length]


class Assembler:
    """Rebuilds blocks from pieces placed by BlockNumber and Offset."""

    def __init__(self, on_block=None):
        self.pending = {}  # block number -> (bytearray, set of offsets)
        self.on_block = on_block
        self.complete = 0
        self.first = None
        self.last = None
        self.malformed = 0

    def add(self, data):
        parsed = parse_datagram(data)
        if parsed is None:
            self.malformed += 1
            return
        number, offset, payload = parsed
        if self.first is None:
            self.first = number
        self.last = number if self.last is None else max(self.last, number)
        block, offsets = self.pending.setdefault(number, (bytearray(BLOCK_BYTES), set()))
        block[offset:offset + len(payload)] = payload
        offsets.add(offset)
        if len(offsets) == PIECES:
            del self.pending[number]
            self.complete += 1
            if self.on_block:
                self.on_block(number, bytes(block))

    def end_of_stream(self):
        """Forgets the last block if it is incomplete: stop iq may cut it short."""
        if self.last is not None and self.last in self.pending:
            del self.pending[self.last]
            self.last -= 1
            if self.last < self.first:
                self.first = self.last = None

    def report(self):
        """Counts over the block numbers from the first to the last seen."""
        span = 0 if self.first is None else self.last - self.first + 1
        incomplete = len(self.pending)
        return {
            "received": self.complete,
            "incomplete": incomplete,
            "missing": span - self.complete - incomplete,
            "first": self.first,
            "last": self.last,
            "malformed": self.malformed,
        }


def block_samples(block):
    """The block's 1024 (I, Q) pairs as floats in -1..1 (Q half first on the wire)."""
    q = struct.unpack_from("<1024f", block, 0)
    i = struct.unpack_from("<1024f", block, BLOCK_BYTES // 2)
    return i, q


class WavWriter:
    """32-bit float stereo WAV, I left and Q right, with sizes fixed at close.
    Blocks go in by number: a missing block becomes silence, a late one is dropped."""

    def __init__(self, path, rate):
        self.f = open(path, "wb")
        self.rate = rate
        self.data_bytes = 0
        self.next = None
        self.f.write(self._header())

    def _header(self):
        fmt = struct.pack("<HHIIHH", 3, 2, self.rate, self.rate * 8, 8, 32)
        # A stream of more than 4 GiB keeps its samples; its sizes stop at the cap.
        riff = min(4 + 8 + len(fmt) + 8 + self.data_bytes, SIZE_CAP)
        return (b"RIFF" + struct.pack("<I", riff) + b"WAVE"
                + b"fmt " + struct.pack("<I", len(fmt)) + fmt
                + b"data" + struct.pack("<I", min(self.data_bytes, SIZE_CAP)))

    def write_block(self, number, block):
        if self.next is not None and number < self.next:
            return
        gap = 0 if self.next is None else number - self.next
        self.f.write(bytes(BLOCK_BYTES) * gap)
        i, q = block_samples(block)
        frames = [v for pair in zip(i, q) for v in pair]
        self.f.write(struct.pack("<%df" % len(frames), *frames))
        self.data_bytes += BLOCK_BYTES * (gap + 1)
        self.next = number + 1

    def close(self):
        self.f.seek(0)
        self.f.write(self._header())
        self.f.close()


def receive(assembler, udp, seconds):
    """Feeds the datagrams of the next `seconds` to the assembler."""
    udp.settimeout(0.2)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            assembler.add(udp.recv(2048))
        except socket.timeout:
            pass


def receive_rest(assembler, udp, quiet=0.5):
    """After stop iq: takes what is still on its way, until `quiet` s pass without."""
    udp.settimeout(quiet)
    try:
        while True:
            assembler.add(udp.recv(2048))
    except socket.timeout:
        pass
    assembler.end_of_stream()


def check_stream(args):
    server = Server(args.host, args.port)
    reply = server.command("attach %d" % args.band)
    if not reply.startswith("OK "):
        print("attach %d: %s" % (args.band, reply))
        return 2
    rate = int(reply.split()[1])
    lo = server.command("lo? %d" % args.band)
    print("band %d: sample rate %d, %s" % (args.band, rate, lo))
    udp = open_receiver("0.0.0.0", args.udp_port)
    reply = server.command("start iq %d" % udp.getsockname()[1])
    if reply != "OK":
        print("start iq: %s" % reply)
        return 2
    wav = WavWriter(args.wav, rate) if args.wav else None
    assembler = Assembler(wav.write_block if wav else None)
    try:
        started = time.monotonic()
        receive(assembler, udp, args.seconds)
        elapsed = time.monotonic() - started
        timed_blocks = assembler.complete
        print("stop iq: %s" % server.command("stop iq"))
        receive_rest(assembler, udp)
        server.command("quit")
        server.close()
    finally:
        # The samples received so far stay readable if the server goes away.
        if wav:
            wav.close()
    r = assembler.report()
    print("blocks received %d, missing %d, incomplete %d (numbers %s..%s)"
          % (r["received"], r["missing"], r["incomplete"], r["first"], r["last"]))
    if r["malformed"]:
        print("malformed datagrams %d" % r["malformed"])
    print("sample rate achieved %.0f samples/s" % (timed_blocks * BLOCK_SAMPLES / elapsed))
    ok = r["received"] > 0 and not (r["missing"] or r["incomplete"] or r["malformed"])
    return 0 if ok else 1


def run_commands(args):
    server = Server(args.host, args.port)
    for text in args.command:
        print("%s -> %s" % (text, server.command(text)))
    server.close()
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(add_help=False, usage=USAGE)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=11000)
    parser.add_argument("--band", type=int, default=0)
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--udp-port", type=int, default=0)
    parser.add_argument("--wav")
    parser.add_argument("--command", action="append")
    parser.add_argument("-h", "--help", action="store_true")
    args = parser.parse_args(argv)
    if args.help:
        print(USAGE, end="")
        return 0
    try:
        return run_commands(args) if args.command else check_stream(args)
    except OSError as e:
        print("vexa_client: %s" % e, file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
