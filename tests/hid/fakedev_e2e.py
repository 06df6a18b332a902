"""End-to-end: the headless server with simulated HID and USB-driver readers
(talvex-server-fakedev) answers /readCard over loopback, on a free port of its
own, and auto-detection takes HID before the USB driver before the serial
ports."""

import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from talvex_http import CARD_REQUEST, free_port, read_reply  # noqa: E402

SERVER = os.environ.get("TALVEX_FAKEDEV", "")


def read_card(conn):
    """GET /readCard on an open connection; the body as text."""
    conn.sendall(CARD_REQUEST)
    return read_reply(conn)[1].decode("utf-8")


class Server:
    def __init__(self, *args):
        self.dir = tempfile.TemporaryDirectory(prefix="talvex-fakedev-")
        ports = os.path.join(self.dir.name, "ports")  # an empty port directory:
        os.mkdir(ports)                               # no serial port exists
        runtime = os.path.join(self.dir.name, "run")
        os.mkdir(runtime, 0o700)
        env = dict(os.environ, TALVEX_PORTS=ports, XDG_RUNTIME_DIR=runtime,
                   TALVEX_CONFIG=os.devnull)
        # A free port; another program may bind it before the server does,
        # and then the server is started again on another one.
        for _ in range(5):
            self.port = free_port()
            self.proc = subprocess.Popen([SERVER, *args, "--port", str(self.port)],
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                         env=env, text=True)
            line = self.proc.stdout.readline()
            if line == "Talvex listening on port %d\n" % self.port:
                return
            _, err = self.proc.communicate()
            if "already in use" not in err:
                break
        self.dir.cleanup()
        raise AssertionError("server did not start: %r %r" % (line, err))

    def connect(self):
        return socket.create_connection(("127.0.0.1", self.port), timeout=30)

    def stop(self):
        """Stops the server cleanly; returns the frames each reader answered."""
        self.proc.send_signal(signal.SIGTERM)
        out, _ = self.proc.communicate(timeout=30)
        self.dir.cleanup()
        if self.proc.returncode != 0:
            raise AssertionError("server exit %d" % self.proc.returncode)
        counts = {}
        for reader, fields in re.findall(r"(hid|usb)((?: [a-z-]+=\d+)+)", out):
            counts[reader] = {k: int(v) for k, v in re.findall(r"([a-z-]+)=(\d+)", fields)}
        return counts

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.communicate()
        self.dir.cleanup()


@unittest.skipUnless(SERVER and os.path.exists(SERVER), "talvex-server-fakedev not built")
class AutoDetection(unittest.TestCase):
    def run_server(self, *args):
        server = Server(*args)
        self.addCleanup(server.kill)
        return server

    def test_hid_reader_is_found_first_and_kept(self):
        server = self.run_server("--hid", "--usb")
        with server.connect() as conn:
            first = read_card(conn)
            second = read_card(conn)
        for body in (first, second):
            self.assertTrue(body.startswith("0|1|张三|1|男|01|汉|20000101|"), body[:80])
            self.assertIn("|/9j/", body)  # the Base64 JPEG right behind the last field
        counts = server.stop()
        # Probed and started once; the second read went straight to the reader.
        self.assertEqual(counts["hid"]["probe"], 1)
        self.assertEqual(counts["hid"]["startup"], 1)
        self.assertEqual(counts["hid"]["read-base-message"], 2)
        self.assertEqual(sum(counts["usb"].values()), 0)

    def test_usb_reader_is_found_when_there_is_no_hid_reader(self):
        server = self.run_server("--usb", "--sample", "foreign")
        with server.connect() as conn:
            body = read_card(conn)
        self.assertTrue(body.startswith("0|2|"), body[:80])
        counts = server.stop()
        self.assertEqual(counts["usb"]["probe"], 1)
        self.assertEqual(counts["usb"]["startup"], 1)
        self.assertEqual(sum(counts["hid"].values()), 0)

    def test_no_card_on_the_hid_reader(self):
        server = self.run_server("--hid", "--no-card")
        with server.connect() as conn:
            self.assertEqual(read_card(conn), "128|寻卡失败")
        server.stop()

    def test_no_reader_anywhere(self):
        server = self.run_server()
        with server.connect() as conn:
            self.assertEqual(read_card(conn), "1|打开端口失败")
        server.stop()


if __name__ == "__main__":
    unittest.main()
