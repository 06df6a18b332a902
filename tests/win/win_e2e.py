"""TalvexServer.exe under wine against talvex-reader-sim on a pseudo-terminal
mapped to COM7, compared with the Linux talvex-server on the same reader.

Everything runs from a private temporary folder (its own wine prefix, the
port directory, the servers' temporary folders), and each server listens on
a free port of its own.

The environment says how wine runs (the defaults are Debian's wine script):
  TALVEX_WINE        the command that runs TalvexServer.exe, e.g.
                     "/usr/lib/wine/wine64" for an x86_64 build, or
                     "qemu-i386 /usr/lib/wine/wine" for the i686 build on a
                     machine that runs no 32-bit programs
  TALVEX_WINE_TOOLS  the command that runs wine's own tools (reg, cmd)
  TALVEX_WINESERVER  wine's server
  TALVEX_WIN_E2E_KINDS     the sample cards to read (default all three)
  TALVEX_WIN_E2E_DEADLINE  seconds for the first answer (default 30)
"""

import base64
import os
import shutil
import shlex
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from talvex_http import free_port, read_card  # noqa: E402

WIN_BIN = os.environ.get("TALVEX_WIN_BIN_DIR", "")
LINUX_BIN = os.environ.get("TALVEX_BIN_DIR", "")
WINE = shlex.split(os.environ.get("TALVEX_WINE", "wine"))
WINE_TOOLS = shlex.split(os.environ.get("TALVEX_WINE_TOOLS", "")) or WINE
WINESERVER = os.environ.get("TALVEX_WINESERVER", "wineserver")
KINDS = os.environ.get("TALVEX_WIN_E2E_KINDS", "resident foreign hmt").split()
DEADLINE = float(os.environ.get("TALVEX_WIN_E2E_DEADLINE", "30"))
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def first_card_event(port, deadline_s, server):
    """Opens GET /events (connecting until `deadline_s` has passed while the
    server runs) and returns (head, data) of the first card event."""
    end = time.monotonic() + deadline_s
    while True:
        if server.poll() is not None:
            raise AssertionError(f"the server ended with {server.returncode} before it answered")
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=5)
            break
        except OSError:
            if time.monotonic() > end:
                raise
            time.sleep(0.2)
    end = time.monotonic() + max(deadline_s, 30.0)
    with s:
        s.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        data = b""
        while True:
            head, sep, rest = data.partition(b"\r\n\r\n")
            if sep:
                for block in rest.split(b"\n\n")[:-1]:
                    if block.startswith(b"event: card\ndata: "):
                        return head, block[len(b"event: card\ndata: "):]
            if time.monotonic() > end:
                raise AssertionError(f"no card event: {data[:300]!r}")
            s.settimeout(max(0.1, end - time.monotonic()))
            chunk = s.recv(65536)
            if not chunk:
                raise AssertionError(f"the stream ended: {data[:200]!r}")
            data += chunk


def without_date(head):
    return b"\r\n".join(l for l in head.split(b"\r\n")
                        if not l.startswith((b"Date:", b"Last-Modified:")))


@unittest.skipUnless(WIN_BIN and LINUX_BIN and shutil.which(WINE[0]), "needs both builds and wine")
class WindowsServer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="talvex-win-e2e-")
        cls.env = dict(os.environ, WINEPREFIX=os.path.join(cls.tmp, "wine"), WINEDEBUG="-all")
        cls.env.pop("WINEARCH", None)
        os.makedirs(cls.env["WINEPREFIX"])
        cls.ports = os.path.join(cls.tmp, "ports")
        os.makedirs(cls.ports)
        # wine's services first, with nothing of ours open: they outlive the
        # programs and would hold the test runner's output open.
        subprocess.run([WINESERVER, "-p"], env=cls.env, **QUIET)
        subprocess.run([*WINE_TOOLS, "cmd", "/c", "exit"], env=cls.env, timeout=300, **QUIET)

    @classmethod
    def tearDownClass(cls):
        subprocess.run([WINESERVER, "-k"], env=cls.env, **QUIET)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def start_sim(self, *args):
        sim = subprocess.Popen([os.path.join(LINUX_BIN, "talvex-reader-sim"), "--link",
                                os.path.join(self.ports, "com7"), *args],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        pty = sim.stdout.readline().strip()
        self.assertTrue(pty.startswith("/dev/pts/"), pty)
        return sim, pty

    def stop(self, proc):
        proc.send_signal(signal.SIGINT)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()

    def windows_body(self, pty, events=False):
        subprocess.run([*WINE_TOOLS, "reg", "add", r"HKLM\Software\Wine\Ports", "/v", "COM7", "/d", pty,
                        "/f"], env=self.env, timeout=60, **QUIET)
        subprocess.run([WINESERVER, "-k"], env=self.env, **QUIET)
        subprocess.run([WINESERVER, "-p"], env=self.env, **QUIET)
        port = free_port()
        server = subprocess.Popen([*WINE, os.path.join(WIN_BIN, "TalvexServer.exe"), "--headless",
                                   "--port", str(port)], env=self.env, **QUIET)
        try:
            return first_card_event(port, DEADLINE, server) if events else read_card(
                port, DEADLINE, server)
        finally:
            server.kill()
            server.wait()
            # Stop wine before the terminal's owner goes away.
            subprocess.run([WINESERVER, "-k"], env=self.env, **QUIET)
            subprocess.run([WINESERVER, "-p"], env=self.env, **QUIET)

    def linux_body(self):
        runtime = tempfile.mkdtemp(dir=self.tmp)
        os.chmod(runtime, 0o700)
        env = dict(os.environ, TALVEX_PORTS=self.ports, XDG_RUNTIME_DIR=runtime)
        port = free_port()
        server = subprocess.Popen([os.path.join(LINUX_BIN, "talvex-server"), "--headless",
                                   "--port", str(port)], env=env, **QUIET)
        try:
            return read_card(port, 30.0, server)
        finally:
            self.stop(server)

    def compare(self, *sim_args):
        sim, pty = self.start_sim(*sim_args)
        try:
            win_head, win_body = self.windows_body(pty)
            linux_head, linux_body = self.linux_body()
        finally:
            self.stop(sim)
        self.assertEqual(without_date(win_head), without_date(linux_head), (win_body[:40], linux_body[:40]))
        return win_body, linux_body

    def test_cards_of_all_three_kinds_read_as_on_linux(self):
        firsts = {"resident": b"0|1|", "foreign": b"0|2|", "hmt": b"0|3|"}
        for kind in KINDS:
            first = firsts[kind]
            with self.subTest(kind=kind):
                win, linux = self.compare("--sample", kind)
                self.assertTrue(win.startswith(first), win[:60])
                text, _, photo = win.rpartition(b"|")
                self.assertEqual(text, linux.rpartition(b"|")[0])
                self.assertEqual(base64.b64decode(photo)[:2], b"\xff\xd8")
                # Same libjpeg-turbo version on both sides: the same JPEG.
                self.assertEqual(win, linux)

    def test_the_event_stream_sends_the_card_linux_reads(self):
        sim, pty = self.start_sim("--sample", "resident")
        try:
            head, data = self.windows_body(pty, events=True)
            _, linux = self.linux_body()
        finally:
            self.stop(sim)
        self.assertIn(b"\r\nContent-Type: text/event-stream\r\n", head)
        self.assertEqual(data, linux)

    def test_no_card_gives_the_same_error_body(self):
        win, linux = self.compare("--no-card")
        self.assertEqual(win, linux)
        self.assertFalse(win.startswith(b"0|"), win[:80])


if __name__ == "__main__":
    unittest.main()
