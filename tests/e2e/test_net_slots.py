"""VEXA_Net's SpyServer and rtl_tcp slots: a client that closes and connects
again at once (as SoapySDR's probe does) is never kept out by its own slot,
which its server thread may not yet have let go; a server that is really full
still refuses, after a moment's wait. SoapySDR's module is told it may control,
so that its setGain (which GQRX calls at open) does not throw."""
import socket

from conftest import simulator
from net_support import log, server, wait_log
import spyserver_client as spy
from test_net_protocols import closed_by_server

SPY, RTL = 5555, 1234


def rtl_open(port=RTL):
    r = socket.create_connection(("127.0.0.1", port))
    r.settimeout(5)
    return r


def test_reconnects_on_both_protocols_get_the_last_slot_and_a_full_server_refuses():
    with simulator("--band", 0, "--signal", "tone"), \
            server("--spyserver", SPY, "--rtltcp", RTL, "--max-clients", 2) as net:
        holders = [spy.SpyClient("127.0.0.1", SPY), rtl_open()]
        for _ in range(40):
            # As SoapySDR opens a device: the whole handshake within its 1 s
            # deadlines, closed, and at once the real connection.
            probe = spy.SpyClient("127.0.0.1", SPY, name=b"SoapySDR")
            assert probe.sync["CanControl"] == 1  # else its setGain throws (GQRX stops)
            probe.close()
        for _ in range(40):
            r = rtl_open()
            assert r.recv(12, socket.MSG_WAITALL)[:4] == b"RTL0"
            r.close()
        # GQRX's gain at open: taken (the gain stays fixed), and the stream flows.
        soapy = spy.SpyClient("127.0.0.1", SPY, name=b"SoapySDR")
        soapy.set(spy.GAIN, 10)
        soapy.set(spy.ENABLED, 1)
        assert len(soapy.iq(1000)) == 1000 and soapy.sync["Gain"] == 0
        soapy.close()
        assert "refused" not in log(net)

        holders += [spy.SpyClient("127.0.0.1", SPY), rtl_open()]
        for port, name in ((SPY, "SpyServer"), (RTL, "rtl_tcp")):
            extra = rtl_open(port)
            wait_log(net, "refused connection from 127.0.0.1:%d on port %d: all 2 %s client "
                          "slots are taken" % (extra.getsockname()[1], port, name))
            assert closed_by_server(extra) == b""
        for h in holders:
            getattr(h, "sock", h).close()
