"""Who VEXA_Net admits, and where its own protocol listens, seen from PCs at
other addresses: each address is put on the loopback interface of the test's
private network namespace, and a client connects from it to it."""
import socket
import subprocess

import pytest

from conftest import run
from net_support import log, server, wait_log

RTL = 1234
ADDED, STRANGER, LAN_PC = "203.0.113.9", "198.51.100.7", "192.168.1.20"


@pytest.fixture(scope="module")
def addresses():
    """The three addresses on lo; only in a namespace of the test's own, where
    lo is the only interface, so a real machine's network is never changed."""
    links = subprocess.run(["ip", "-o", "link"], capture_output=True, text=True).stdout
    if [line.split(":")[1].strip() for line in links.splitlines()] != ["lo"]:
        pytest.skip("needs a private network namespace (unshare -n), where lo is alone")
    for address in (ADDED, STRANGER, LAN_PC):
        subprocess.run(["ip", "addr", "replace", address + "/32", "dev", "lo"], check=True)


def connect(source, port):
    """A connection from source to the server's port at the same address, with
    the first bytes the server sends (b"" when it closes at once)."""
    s = socket.create_connection((source, port), timeout=10, source_address=(source, 0))
    if port != RTL:
        s.sendall(b"lo? 0")
    try:
        got = s.recv(64)
    except ConnectionResetError:
        got = b""
    return s, got


def refused(net, source, sock, port):
    wait_log(net, "refused connection from %s:%d on port %d: address not in the allow list; "
                  "to admit it, start VEXA_Net with --allow private --allow %s (or %s.0/24 for "
                  "its network)\n" % (source, sock.getsockname()[1], port, source,
                                      source.rsplit(".", 1)[0]))


def port_closed(port):
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", port), timeout=10)


def test_allow_private_adds_a_network_and_an_allow_alone_admits_only_itself(addresses):
    with server("--port", 12000, "--rtltcp", RTL, "--allow", "private", "--allow",
                "203.0.113.0/24") as net:
        assert "VEXA protocol: port 12000\n" in log(net)
        port_closed(11000)
        for source in (ADDED, "127.0.0.1"):
            s, got = connect(source, 12000)
            assert got == b"Error: Client is not attached to receiver", source
            s.close()
        s, got = connect(STRANGER, RTL)
        refused(net, STRANGER, s, RTL)
        assert got == b""

    with server("--port", 0, "--rtltcp", RTL, "--allow", LAN_PC + "/32") as net:
        s, got = connect(LAN_PC, RTL)
        assert got[:4] == b"RTL0"
        s.close()
        s, got = connect("127.0.0.1", RTL)
        refused(net, "127.0.0.1", s, RTL)
        assert got == b""
        port_closed(11000)
    out = log(net)
    assert "VEXA protocol: off (--port 0)\n" in out
    assert "Stopping ...\n" in out and "Stopped\n" in out and "accept() failed" not in out

    nothing = run("VEXA_Net.exe", "--port", 0)
    assert nothing.returncode == 2 and "--port 0 turns off the only port" in nothing.stdout
