#!/usr/bin/env python3
"""VEXA_Net under load: 32 connections each stream a 192000 samples/s band for
30 s over loopback. Prints blocks received and missing per client, datagrams
per second, and the server's CPU time per second of stream; then the CPU time
per second while the same connections are detached (idle senders).

    scripts/bench.sh net [--clients 32] [--seconds 30] [--bands 4]
"""
import argparse
import os
import select
import socket
import struct
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
sys.path.insert(0, str(ROOT / "tools"))
from conftest import Proc  # noqa: E402
import vexa_client  # noqa: E402

SO_RCVBUFFORCE = 33  # Linux: beyond rmem_max for a privileged process
RECEIVE_BUFFER = 16 << 20


def cpu_seconds(pid):
    """User plus system CPU time of a Linux process."""
    fields = Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wineserver_pid():
    for p in Path("/proc").iterdir():
        if p.name.isdigit():
            try:
                cmd = (p / "cmdline").read_bytes().split(b"\0")[0]
                env = (p / "environ").read_bytes()
            except OSError:
                continue
            if b"wineserver" in cmd and os.environ["WINEPREFIX"].encode() in env:
                return int(p.name)
    return None


class Client:
    """One receiving socket: its blocks, and whether the samples follow on."""

    def __init__(self):
        self.udp = open_receiver()
        self.assembler = vexa_client.Assembler(self.on_block)
        self.last = None  # (block number, counter index of its first sample)
        self.skips = 0

    def on_block(self, number, block):
        # Counter pattern: I of sample k is (k mod 65536 - 32768) * 65536.
        m = (round(struct.unpack_from("<f", block, 4096)[0] * 32768) + 32768) % 65536
        if self.last and number == self.last[0] + 1 and m != (self.last[1] + 1024) % 65536:
            self.skips += 1
        self.last = (number, m)


def open_receiver():
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        udp.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, RECEIVE_BUFFER)
    except OSError:
        udp.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, RECEIVE_BUFFER)
    udp.bind(("127.0.0.1", 0))
    udp.setblocking(False)
    return udp


def receive(receivers, seconds):
    """Feeds every datagram to its client's Assembler until the time is up."""
    by_fd = {r.udp.fileno(): (r.udp, r.assembler) for r in receivers}
    poller = select.epoll()
    for fd in by_fd:
        poller.register(fd, select.EPOLLIN)
    count = 0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        for fd, _ in poller.poll(0.2):
            u, a = by_fd[fd]
            try:
                while True:
                    a.add(u.recv(2048))
                    count += 1
            except BlockingIOError:
                pass
    poller.close()
    return count


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--clients", type=int, default=32)
    ap.add_argument("--seconds", type=float, default=30)
    ap.add_argument("--bands", type=int, default=4)
    ap.add_argument("--idle", type=float, default=5, help="seconds of the detached phase")
    args = ap.parse_args()
    sim_args = []
    for b in range(args.bands):
        # A ring that is no multiple of the counter's period, so an overrun shows.
        sim_args += ["--band", b, "--rate", 192000, "--l0", 7050000 + 200000 * b,
                     "--ring", 4000000]
    sim = Proc("vexa_sim.exe", *sim_args)
    net = Proc("VEXA_Net.exe")
    try:
        sim.wait_for("Ctrl+C to stop")
        net.wait_for("Started")
        clients, receivers = [], []
        for i in range(args.clients):
            c = vexa_client.Server("127.0.0.1", 11000)
            assert c.command("attach %d" % (i % args.bands)) == "OK 192000"
            clients.append(c)
            receivers.append(Client())
        server = net.popen.pid
        wine = wineserver_pid()
        for c, r in zip(clients, receivers):
            assert c.command("start iq %d" % r.udp.getsockname()[1]) == "OK"
        cpu0, wine0, t0 = cpu_seconds(server), wine and cpu_seconds(wine), time.monotonic()
        count = receive(receivers, args.seconds)
        elapsed = time.monotonic() - t0
        cpu1, wine1 = cpu_seconds(server), wine and cpu_seconds(wine)
        for i, c in enumerate(clients):
            assert c.command("detach %d" % (i % args.bands)) == "OK"
        count += receive(receivers, 0.5)
        idle0, t1 = cpu_seconds(server), time.monotonic()
        time.sleep(args.idle)
        idle = (cpu_seconds(server) - idle0) / (time.monotonic() - t1)
        for c in clients:
            c.close()
    finally:
        net.stop()
        sim.stop()

    expected = 192000 / 1024 * elapsed
    totals = dict(missing=0, incomplete=0, skips=0)
    print("client  band  received  missing  incomplete  overrun")
    for i, r in enumerate(receivers):
        rep = r.assembler.report()
        for key in ("missing", "incomplete"):
            totals[key] += rep[key]
        totals["skips"] += r.skips
        print("%6d  %4d  %8d  %7d  %10d  %7d" % (i, i % args.bands, rep["received"], rep["missing"],
                                                rep["incomplete"], r.skips))
    print("clients %d on %d bands, %.1f s of stream, %.0f blocks expected per client"
          % (args.clients, args.bands, elapsed, expected))
    print("blocks missing %d, incomplete %d (a block cut by the detach may be), "
          "overrun (samples skipped) %d" % (totals["missing"], totals["incomplete"],
                                             totals["skips"]))
    print("datagrams per second %.0f (a keeping-up stream: %.0f)"
          % (count / elapsed, args.clients * 192000 / 1024 * 17))
    print("server CPU per second of stream %.3f s" % ((cpu1 - cpu0) / elapsed))
    if wine:
        print("wineserver CPU per second of stream %.3f s (shared with the simulator)"
              % ((wine1 - wine0) / elapsed))
    print("server CPU per second with every connection detached %.3f s" % idle)


if __name__ == "__main__":
    main()
