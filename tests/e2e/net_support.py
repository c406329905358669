"""What the VEXA_Net end-to-end tests share: the server under Wine, clients from
here over loopback, and readers of its log and its datagrams."""
import re
import socket
import sys
import threading
import time
from contextlib import contextmanager

from conftest import ROOT, Proc, wine_env

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
def server(*args, **env):
    """VEXA_Net with args while the block runs, with env added to its environment;
    stopped with Ctrl+C, exit code 0."""
    net = Proc("VEXA_Net.exe", *args, env=wine_env(**env))
    try:
        wait_log(net, "Started\n")
        yield net
    finally:
        code = net.stop()
    assert code == 0, log(net)


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
    with draining(udp, quiet) as got:
        pass
    return got


@contextmanager
def draining(udp, quiet=0.5):
    """Receives udp's datagrams on a thread of its own while the block runs, as a
    client that keeps up does (datagrams left unread overflow the socket's buffer),
    then until nothing comes for `quiet` seconds (a stream that never pauses stops
    it at a million). Yields the list they go into."""
    got, done = [], threading.Event()

    def run():
        udp.settimeout(quiet)
        while len(got) < 1000000:
            try:
                got.append(vexa_client.parse_datagram(udp.recv(2048)))
            except socket.timeout:
                if done.is_set():
                    return
    reader = threading.Thread(target=run)
    reader.start()
    try:
        yield got
    finally:
        done.set()
        reader.join()
        udp.settimeout(5)


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
