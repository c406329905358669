"""VEXA_Net end to end: the UDP I/Q stream, and the reference client against it."""
import re
import socket
import struct
import subprocess
import sys
import threading

import numpy
import soundfile

from conftest import ROOT
from net_support import (QUIT, SCALE, assert_contiguous, blocks, c_ok, connect, drain,
                         draining, receiver, server, vexa_client, wait_all_closed)


def test_stream_carries_the_counter_pattern_and_numbers_blocks(band0):
    with server():
        c, u = connect(), receiver()
        assert c.command("attach 0") == "OK 192000"
        assert c.command("start iq %d" % u.getsockname()[1]) == "OK"
        first = blocks(u, 40)
        assert first[0][0] == 0
        assert_contiguous(first)
        assert c.command("stop iq") == "OK"
        # The stop may come before another datagram was sent after the 40th block.
        last = max([first[-1][0]] + [d[0] for d in drain(u)])
        u2 = receiver()
        assert c.command("start iq %d" % u2.getsockname()[1]) == "OK"
        second = blocks(u2, 20)
        # A block cut short by the stop has used up its number.
        assert last + 1 <= second[0][0] <= last + 2
        assert_contiguous(second)
        # A new connection starts again at block 0.
        c2, u3 = connect(), receiver()
        assert c2.command("attach 0") == "OK 192000"
        assert c2.command("start iq %d" % u3.getsockname()[1]) == "OK"
        assert blocks(u3, 1)[0][0] == 0
        for s in (c, c2):
            s.close()


def test_two_connections_on_one_band_each_get_the_full_stream(band0):
    with server():
        pairs = [(connect(), receiver()) for _ in range(2)]
        for c, u in pairs:
            assert c.command("attach 0") == "OK 192000"
            assert c.command("start iq %d" % u.getsockname()[1]) == "OK"
        for c, u in pairs:
            got = blocks(u, 60)
            assert got[0][0] == 0
            assert_contiguous(got)
            c.close()


def test_port_above_65535_streams_to_its_low_sixteen_bits(band0):
    with server():
        u = receiver(70000 % 65536)
        c = connect()
        assert c.command("attach 0") == "OK 192000"
        assert c.command("start iq 65536") == "Error: Invalid Command"  # port 0
        assert c.command("start iq 70000") == "OK"
        assert blocks(u, 2)[0][0] == 0
        c.close()


def test_detach_pauses_and_attach_resumes_with_the_next_block(band0):
    with server():
        c, u = connect(), receiver()
        assert c.command("attach 0") == "OK 192000"
        assert c.command("start iq %d" % u.getsockname()[1]) == "OK"
        blocks(u, 5)
        assert c.command("detach 0") == "OK"
        tail = drain(u)
        last = max(d[0] for d in tail) if tail else 4
        assert drain(u, 1.0) == []  # detached: nothing is sent
        assert c.command("attach 0") == "OK 192000"
        got = blocks(u, 10)
        assert got[0][0] == last + 1
        assert_contiguous(got)
        assert c.command("stop iq") == "OK"
        c.close()


def test_thousand_attach_detach_cycles_on_a_streaming_connection(band0):
    with server() as net:
        c, u = connect(), receiver()
        assert c_ok(c.command("attach 0"))
        with draining(u) as sent:  # empty when the cycles left the sender no block to send
            assert c.command("start iq %d" % u.getsockname()[1]) == "OK"
            for _ in range(1000):
                assert c.command("detach 0") == "OK"
                assert c_ok(c.command("attach 0"))
            assert c.command("stop iq") == "OK"
        last = max(d[0] for d in sent) if sent else -1
        u2 = receiver()
        assert c.command("start iq %d" % u2.getsockname()[1]) == "OK"
        got = blocks(u2, 20)
        assert last < got[0][0] <= last + 2
        assert_contiguous(got)
        assert c.command("quit") == QUIT
        c.close()
        wait_all_closed(net)


def test_reference_client_checks_a_server_and_saves_a_wav(band0, workdir):
    wav = workdir / "band0.wav"
    with server():
        res = subprocess.run(
            [sys.executable, str(ROOT / "tools" / "vexa_client.py"), "--band", "0",
             "--seconds", "1.5", "--wav", str(wav)],
            capture_output=True, text=True, timeout=60)
    assert res.returncode == 0, res.stdout + res.stderr
    m = re.search(r"blocks received (\d+), missing 0, incomplete 0", res.stdout)
    assert m, res.stdout
    data, rate = soundfile.read(str(wav), dtype="float32")
    assert rate == 192000
    assert data.shape == (int(m.group(1)) * 1024, 2)
    # Left is I, right is Q, of consecutive counter samples.
    index = numpy.rint(data[:, 0] * 32768).astype(numpy.int64) + 32768
    assert numpy.array_equal(numpy.diff(index) % 65536, numpy.ones(len(index) - 1))
    assert numpy.array_equal(numpy.rint(data[:, 1] * 32768), 32767 - index)


def fake_server_that_drops_the_connection(listener, blocks_to_send):
    """Answers attach, lo? and start iq like VEXA_Net, streams a few blocks of the
    counter pattern, then closes the connection instead of answering stop iq."""
    conn, _ = listener.accept()
    with conn:
        for reply in (b"OK 192000", b"OK 7050000", b"OK"):
            request = conn.recv(100).decode()
            conn.sendall(reply)
        port = int(request.split()[2])  # start iq PORT
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        for number in range(blocks_to_send):
            m = range(number * 1024, number * 1024 + 1024)
            block = (struct.pack("<1024f", *((32767 - k) * 65536 * SCALE for k in m))
                     + struct.pack("<1024f", *((k - 32768) * 65536 * SCALE for k in m)))
            for offset in range(0, 8192, 500):
                piece = block[offset:offset + 500]
                header = struct.pack("<QHH", number, offset, len(piece))
                udp.sendto(header + piece.ljust(500, b"\0"), ("127.0.0.1", port))
        udp.close()
        conn.recv(100)  # stop iq: no answer, the connection goes


def test_reference_client_keeps_the_wav_when_the_server_goes_away(workdir):
    wav = workdir / "cut.wav"
    listener = socket.create_server(("127.0.0.1", 0))
    fake = threading.Thread(target=fake_server_that_drops_the_connection, args=(listener, 3))
    fake.start()
    code = vexa_client.main(["--port", str(listener.getsockname()[1]), "--seconds", "1",
                             "--wav", str(wav)])
    fake.join(10)
    listener.close()
    assert code == 2
    data, rate = soundfile.read(str(wav), dtype="float32")
    assert rate == 192000 and data.shape == (3 * 1024, 2)
    assert numpy.array_equal(numpy.rint(data[:, 0] * 32768), numpy.arange(3 * 1024) - 32768)


def test_reference_client_wav_sizes_stop_at_the_32_bit_cap(workdir):
    path = workdir / "long.wav"
    wav = vexa_client.WavWriter(str(path), 192000)
    wav.data_bytes = 5 << 30  # as after 58 minutes of a 192000 samples/s stream
    wav.close()
    header = path.read_bytes()
    assert struct.unpack_from("<I", header, 4) == struct.unpack_from("<I", header, 40) == (
        0xFFFFFFFF,)
