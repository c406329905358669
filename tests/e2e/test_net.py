"""VEXA_Net end to end: connections, slots, the log and bad input."""
import os
import random
import re
import select
import signal
import socket
import struct
import time

import pytest

from conftest import run
from net_support import (PORT, QUIT, assert_contiguous, blocks, c_ok, connect, drain, log,
                         receiver, server, vexa_client, wait_all_closed, wait_log, wait_slot)


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
        port = extra.getsockname()[1]
        assert extra.recv(10) == b""  # closed at once, no reply
        extra.close()
        wait_log(net, "clientNew() failed: all 32 client slots are taken; connection from "
                 "127.0.0.1:%d closed\n" % port)
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
        # The reply can overtake the log line on its way through the output pipe.
        wait_log(net, "05 RECV: 'lo? 0'\n")
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
