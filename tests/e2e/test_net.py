"""VEXA_Net end to end: the server under Wine, clients from here over loopback."""
import os
import random
import re
import select
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
from contextlib import contextmanager

import numpy
import pytest
import soundfile

from conftest import ROOT, Proc, run, simulator, wine_env

sys.path.insert(0, str(ROOT / "tools"))
import vexa_client  # noqa: E402

PORT = 11000
QUIT = "Client requested to quit ... bye !"
SCALE = 2.0 ** -31


def log(net):
    """The server's output with the C run-time's CR LF line ends back to LF."""
    return net.stdout.replace("\r\n", "\n")


def wait_log(net, text, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if text in log(net):
            return
        time.sleep(0.05)
    raise AssertionError("%r not logged:\n%s" % (text, log(net)[-3000:]))


@contextmanager
def server(**env):
    """VEXA_Net while the block runs, with env added to its environment; stopped
    with Ctrl+C, exit code 0."""
    net = Proc("VEXA_Net.exe", env=wine_env(**env))
    try:
        wait_log(net, "Started\n")
        yield net
    finally:
        code = net.stop()
    assert code == 0, log(net)


@pytest.fixture
def band0():
    with simulator("--band", "0") as sim:
        yield sim


def connect():
    return vexa_client.Server("127.0.0.1", PORT)


def receiver(port=0):
    udp = vexa_client.open_receiver("127.0.0.1", port)
    udp.settimeout(5)
    return udp


def slot_of(net, peer_port):
    """The slot number that the server logged for the client at peer_port."""
    m = re.search(r"(\d\d) new client from 127\.0\.0\.1:%d\n" % peer_port, log(net))
    return m and m.group(1)


def wait_slot(net, client):
    port = client.sock.getsockname()[1]
    wait_log(net, "new client from 127.0.0.1:%d\n" % port)
    return slot_of(net, port)


def blocks(udp, count):
    """Receives datagrams until count whole blocks are in; [(number, bytes)] in order."""
    done = []
    asm = vexa_client.Assembler(lambda n, b: done.append((n, b)))
    while len(done) < count:
        asm.add(udp.recv(2048))
    return done


def drain(udp, quiet=0.5):
    """Receives until nothing comes for `quiet` seconds; returns the datagrams.
    Only for a stream that has been stopped or paused."""
    udp.settimeout(quiet)
    got = []
    try:
        while len(got) < 100000:
            got.append(vexa_client.parse_datagram(udp.recv(2048)))
    except socket.timeout:
        pass
    udp.settimeout(5)
    return got


def counter_index(block):
    """The counter index m of the block's first sample; checks all 1024 follow it."""
    i, q = vexa_client.block_samples(block)
    m = int(round(i[0] / SCALE / 65536)) + 32768
    for k in range(1024):
        mk = (m + k) % 65536
        assert i[k] == (mk - 32768) * 65536 * SCALE, k
        assert q[k] == (32767 - mk) * 65536 * SCALE, k
    return m


def assert_contiguous(got):
    """Block numbers step by one and the samples follow on without a gap."""
    first_m = counter_index(got[0][1])
    for j, (number, block) in enumerate(got):
        assert number == got[0][0] + j
        assert counter_index(block) == (first_m + 1024 * j) % 65536


def escaped(data):
    """A request as the log shows it: printable ASCII but the backslash as it is,
    every other byte as \\xNN."""
    return "".join(chr(b) if 0x20 <= b < 0x7F and b != 0x5C else "\\x%02X" % b for b in data)


def test_log_lines_request_framing_and_quit():
    with server() as net:
        c = connect()
        peer = c.sock.getsockname()[1]
        assert wait_slot(net, c) == "00"
        assert c.command("\r\n") == "Error: Invalid Command"
        # Bytes that could forge a log line or drive the operator's terminal, and
        # everything after a zero byte, show escaped on the request's one line.
        hostile = (b"\x00\n01 SEND: 'OK'\r\n\x1b[2J\x1b]0;owned\x07 \\x41 "
                   + bytes(range(1, 32)) + bytes(range(0x7F, 0x100)))
        c.sock.sendall(hostile)
        assert c.sock.recv(100) == b"Error: Invalid Command"
        c.sock.sendall(b"x" * 5000)
        replies = b""
        while replies.count(b"Error") < 2:
            replies += c.sock.recv(4096)
        assert replies == b"Error: Not Implemented Command" * 2
        assert c.command("QUIT now") == QUIT
        assert c.sock.recv(100) == b""  # the server closed the connection
        wait_log(net, "00 connection with client 127.0.0.1:%d closed\n" % peer)
        out = log(net)
        assert "00 RECV: '\\x0D\\x0A'\n00 SEND: 'Error: Invalid Command'\n" in out
        assert "00 RECV: '%s'\n00 SEND: 'Error: Invalid Command'\n" % escaped(hostile) in out
        assert "\n01 " not in out
        assert all(0x20 <= ord(ch) < 0x7F or ch == "\n" for ch in out), repr(out)
        assert "00 RECV: '%s'\n" % ("x" * 4096) in out
        assert "00 RECV: '%s'\n" % ("x" * 904) in out
        assert "00 SEND: '%s'\n" % QUIT in out
        c.close()
    assert out.startswith("Starting ...\nStarted\n")


def test_thirty_two_slots_and_reuse_of_a_freed_slot():
    with server() as net:
        clients = [connect() for _ in range(32)]
        slots = [wait_slot(net, c) for c in clients]
        assert sorted(slots) == ["%02d" % i for i in range(32)]
        extra = socket.create_connection(("127.0.0.1", PORT), timeout=5)
        assert extra.recv(10) == b""  # closed at once, no reply
        extra.close()
        wait_log(net, "clientNew() failed: ")
        fifth = clients[slots.index("05")]
        fifth.close()
        wait_log(net, "05 connection with client")
        while True:  # the slot is free a moment after its closed line
            again = connect()
            try:
                assert again.command("lo? 0") == "Error: Client is not attached to receiver"
                break
            except (ConnectionError, OSError):
                again.close()
        assert wait_slot(net, again) == "05"
        assert "05 RECV: 'lo? 0'\n" in log(net)
        for c in clients + [again]:
            c.close()


def test_a_burst_of_connects_waits_in_the_queue_and_is_served():
    """100 connects in four bursts made while the server is frozen: the system
    queues every one until the server accepts, and each is served."""
    with server() as net:
        for _ in range(4):
            net.popen.send_signal(signal.SIGSTOP)
            try:
                clients = [socket.socket() for _ in range(25)]
                for c in clients:
                    c.setblocking(False)
                    c.connect_ex(("127.0.0.1", PORT))
                pending = set(clients)
                deadline = time.monotonic() + 10
                while pending and time.monotonic() < deadline:
                    pending -= set(select.select([], list(pending), [], 0.5)[1])
                assert not pending, "%d of 25 connects found the queue full" % len(pending)
                for c in clients:
                    c.settimeout(10)
                    c.sendall(b"lo? 0")
            finally:
                net.popen.send_signal(signal.SIGCONT)
            for c in clients:
                assert c.recv(100) == b"Error: Client is not attached to receiver"
                c.close()
            wait_all_closed(net)
        out = log(net)
        assert out.count(" new client from ") == 100
        assert out.count(" SEND: 'Error: Client is not attached to receiver'\n") == 100
        assert "clientNew() failed" not in out


def test_idle_connections_are_closed_but_never_a_streaming_one(band0):
    with server(VEXA_NET_IDLE_SECONDS=2) as net:
        streaming, u = connect(), receiver()
        assert streaming.command("attach 0") == "OK 192000"
        assert streaming.command("start iq %d" % u.getsockname()[1]) == "OK"
        silent = connect()  # never sends a thing
        attached = connect()
        assert attached.command("attach 0") == "OK 192000"
        slots = {c: wait_slot(net, c) for c in (streaming, silent, attached)}
        for c in (silent, attached):
            wait_log(net, "%s no request for 2 s: closing the idle connection\n" % slots[c])
            wait_log(net, "%s connection with client" % slots[c])
            assert c.sock.recv(10) == b""
        # Silent longer than both, the streaming connection stays.
        assert "%s no request" % slots[streaming] not in log(net)
        assert streaming.command("lo? 0") == "OK 7050000"
        asked = time.monotonic()
        assert streaming.command("stop iq") == "OK"
        wait_log(net, "%s no request for 2 s: closing the idle connection\n" % slots[streaming])
        assert time.monotonic() - asked >= 1.9, "counted from the last request"
        assert streaming.sock.recv(10) == b""
        for c in (streaming, silent, attached):
            c.close()


def test_second_server_on_the_busy_port_fails_with_exit_code_1():
    with server():
        second = run("VEXA_Net.exe", timeout=30)
    assert second.returncode == 1
    assert re.search(r"bind\(\) failed: \d+\n", second.stdout.replace("\r\n", "\n"))
    assert "Started" not in second.stdout.replace("\r\n", "\n")


def test_ctrl_c_with_clients_streaming(band0):
    with server() as net:
        clients, udps = [], []
        for _ in range(3):
            c, u = connect(), receiver()
            assert c.command("attach 0") == "OK 192000"
            assert c.command("start iq %d" % u.getsockname()[1]) == "OK"
            blocks(u, 2)
            clients.append(c)
            udps.append(u)
    out = log(net)  # stopped, exit code 0
    tail = out[out.index("\nCtrl+C event!\n"):]
    assert re.search(r"accept\(\) failed: \d+\nStopping \.\.\.\n", tail)
    assert tail.endswith("Stopped\n"), tail
    for slot in ("00", "01", "02"):
        assert tail.count("%s connection with client" % slot) == 1
    for c in clients:
        assert c.sock.recv(10) == b""
    for u in udps:
        drain(u, 0.3)
        u.settimeout(0.5)
        with pytest.raises(socket.timeout):
            u.recv(2048)


def test_stream_carries_the_counter_pattern_and_numbers_blocks(band0):
    with server():
        c, u = connect(), receiver()
        assert c.command("attach 0") == "OK 192000"
        assert c.command("start iq %d" % u.getsockname()[1]) == "OK"
        first = blocks(u, 40)
        assert first[0][0] == 0
        assert_contiguous(first)
        assert c.command("stop iq") == "OK"
        last = max(d[0] for d in drain(u))
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


def vanish(c):
    """Drops a connection with a reset, as a crashed client does."""
    c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    c.close()


def test_bad_input_while_another_client_streams(band0):
    rng = random.Random(4)
    with server() as net:
        good, u = connect(), receiver()
        assert c_ok(good.command("attach 0"))
        assert good.command("start iq %d" % u.getsockname()[1]) == "OK"
        blocks(u, 2)
        for round_ in range(6):
            bad = connect()
            bad.sock.sendall(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 3000))))
            bad.sock.sendall(b"attach\x00 0\r\n")
            bad.sock.sendall(b"\x00" * 100 + b"start iq 5000")
            bad.sock.sendall(os.urandom(20000))
            vanish(bad)
            for _ in range(5):  # open and close at once, the last ones with a reset
                socket.create_connection(("127.0.0.1", PORT)).close()
                vanish(vexa_client.Server("127.0.0.1", PORT))
            streamer, su = connect(), receiver()
            assert c_ok(streamer.command("attach 0"))
            assert streamer.command("start iq %d" % su.getsockname()[1]) == "OK"
            blocks(su, 1)
            if round_ % 2:
                vanish(streamer)  # gone while streaming
            else:
                streamer.close()
            su.close()
            assert good.command("lo? 0") == "OK 7050000"
        got = blocks(u, 30)
        assert_contiguous(got)
        assert good.command("quit") == QUIT
        good.close()
        wait_all_closed(net)
        # Every slot is free again: 32 new connections are all served.
        clients = [connect() for _ in range(32)]
        assert sorted(wait_slot(net, c) for c in clients) == ["%02d" % i for i in range(32)]
        assert all(c.command("hardware?") == "Error: Invalid Command" for c in clients)
        for c in clients:
            c.close()


def c_ok(reply):
    return reply == "OK 192000"


def wait_all_closed(net, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        out = log(net)
        if out.count(" new client from ") == out.count(" closed\n"):
            return
        time.sleep(0.1)
    raise AssertionError("connections left open:\n" + log(net)[-3000:])


def test_thousand_attach_detach_cycles_on_a_streaming_connection(band0):
    with server() as net:
        c, u = connect(), receiver()
        assert c_ok(c.command("attach 0"))
        assert c.command("start iq %d" % u.getsockname()[1]) == "OK"
        for _ in range(1000):
            assert c.command("detach 0") == "OK"
            assert c_ok(c.command("attach 0"))
        assert c.command("stop iq") == "OK"
        last = max(d[0] for d in drain(u))
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
