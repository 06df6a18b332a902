"""The real server against hostile clients, and on a non-loopback address."""
import os
import select
import shutil
import socket
import subprocess
import unittest

import hostile_clients as hc
from hostile_clients import harness


class HostileClients(unittest.TestCase):
    def setUp(self):
        self.ws = harness.Workspace()
        self.ws.start_sim()
        self.server, self.port = hc.start_server(self.ws)

    def tearDown(self):
        self.ws.close()

    def test_honest_client_is_answered_beside_tricklers_pipeliner_idlers_and_resets(self):
        hostiles = hc.Hostiles(self.port)
        try:
            texts, times = hc.honest_run(self.port, 20)
        finally:
            hostiles.stop()
        self.assertEqual(len(texts), 20)
        for text, seconds in zip(texts, times):
            self.assertTrue(text.startswith("0|1|"), text[:40])
            self.assertLess(seconds, 16.0)
        self.assertIsNone(self.server.poll())

    def test_honest_client_gets_its_card_beside_62_connections_that_hold_a_slot(self):
        # Without room made for it, the honest client would wait for as long
        # as the holders stay (a trickler for ever): its read would time out.
        for kind in hc.HOLD_KINDS:
            with self.subTest(kind=kind):
                holders = hc.Holders(self.port, kind)
                try:
                    text, _ = hc.honest_card(self.port, timeout=40)
                    closed = holders.closed_by_server()
                finally:
                    holders.stop()
                self.assertTrue(text.startswith("0|1|"), text[:40])
                # Idle holders and unanswered requests make room one at a
                # time; tricklers lose their connections when their time runs out.
                self.assertGreaterEqual(closed, 1)
                if kind != "trickle":
                    self.assertLess(closed, 62)
        self.assertIsNone(self.server.poll())

    def test_sigterm_during_a_trickle_ends_at_once_and_leaves_no_photo(self):
        self.assertTrue(self.ws.request().text().startswith("0|1|"))  # the photo files exist
        code, seconds, left = hc.stop_under_trickle(self.ws, self.port, self.server)
        self.assertEqual(code, 0)
        self.assertLess(seconds, 2.0)
        self.assertEqual(left, [])


def own_non_loopback_address():
    """An IPv4 address of this machine outside 127/8, or None."""
    try:
        out = subprocess.run(["ip", "-o", "-4", "addr", "show"], capture_output=True,
                             text=True, timeout=5).stdout
    except (OSError, subprocess.SubprocessError):
        out = ""
    for line in out.splitlines():
        parts = line.split()
        if "inet" in parts:
            address = parts[parts.index("inet") + 1].split("/")[0]
            if not address.startswith("127."):
                return address
    return None


class NetworkNamespace:
    """A veth pair into a namespace of its own: the host side gets
    10.213.7.1, the namespace 10.213.7.2 (root and ip(8) needed)."""

    def __init__(self):
        self.name = f"talvexlan{os.getpid()}"
        self.host = f"tvx{os.getpid() % 100000}a"
        peer = f"tvx{os.getpid() % 100000}b"
        steps = [
            ["ip", "netns", "add", self.name],
            ["ip", "link", "add", self.host, "type", "veth", "peer", "name", peer],
            ["ip", "link", "set", peer, "netns", self.name],
            ["ip", "addr", "add", "10.213.7.1/24", "dev", self.host],
            ["ip", "link", "set", self.host, "up"],
            ["ip", "netns", "exec", self.name, "ip", "addr", "add", "10.213.7.2/24", "dev", peer],
            ["ip", "netns", "exec", self.name, "ip", "link", "set", peer, "up"],
        ]
        for step in steps:
            if subprocess.run(step, capture_output=True, timeout=10).returncode != 0:
                self.close()
                raise OSError("cannot set up " + " ".join(step))

    def reaches(self, port):
        code = ("import socket,sys\n"
                "try:\n socket.create_connection(('10.213.7.1', %d), timeout=3).close()\n"
                "except OSError: sys.exit(1)\n" % port)
        return subprocess.run(["ip", "netns", "exec", self.name, "python3", "-c", code],
                              capture_output=True, timeout=20).returncode == 0

    def close(self):
        subprocess.run(["ip", "link", "del", self.host], capture_output=True, timeout=10)
        subprocess.run(["ip", "netns", "del", self.name], capture_output=True, timeout=10)


class Lan(unittest.TestCase):
    """With the defaults nothing answers on an address other hosts can reach;
    with --listen 0.0.0.0 the service does (after its warning)."""

    def setUp(self):
        self.ws = harness.Workspace()
        self.ns = None
        self.address = None
        if hasattr(os, "geteuid") and os.geteuid() == 0 and shutil.which("ip"):
            try:
                self.ns = NetworkNamespace()
            except (OSError, subprocess.SubprocessError):
                self.ns = None
        if self.ns is None:
            self.address = own_non_loopback_address()
        if self.ns is None and self.address is None:
            self.ws.close()
            self.skipTest("neither a network namespace (needs root and ip) nor a "
                          "non-loopback address of this machine is available")

    def tearDown(self):
        if self.ns:
            self.ns.close()
        self.ws.close()

    def reaches(self, port):
        if self.ns:
            return self.ns.reaches(port)
        try:
            socket.create_connection((self.address, port), timeout=3).close()
            return True
        except OSError:
            return False

    def test_loopback_by_default_and_the_network_only_when_asked(self):
        server, port = hc.start_server(self.ws)
        self.assertFalse(self.reaches(port))
        harness.stop(server)
        self.ws.processes.remove(server)
        server, port = hc.start_server(self.ws, "--listen", "0.0.0.0")
        self.assertTrue(self.reaches(port))
        # The warning comes before the listening line.
        self.assertIn("warning: listening on 0.0.0.0", self.ws.server_log(server))


if __name__ == "__main__":
    unittest.main()
