"""Hostile clients beside one honest one, against the real talvex-server.

Shared by the suite's hostile test and bench/hostile_bench.py. Each hostile
client runs on a thread of its own until stop() is called.
"""
import os
import random
import select
import signal
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402

CARD_REQUEST = harness.CARD_REQUEST


def start_server(ws, *args, ready_timeout=20):
    """The server on a free port of its own with extra arguments; returns
    (process, port)."""
    for _ in range(5):
        port = harness.free_port()
        p = ws.popen_server([harness.binary("talvex-server"), "--headless", "--port", str(port),
                             *args])
        r, _, _ = select.select([p.stdout], [], [], ready_timeout)
        line = p.stdout.readline() if r else b""
        if line == f"Talvex listening on port {port}\n".encode():
            ws.port = port
            return p, port
        harness.stop(p)
        ws.processes.remove(p)
    raise RuntimeError("server did not start")


class Hostiles:
    """Trickling, pipelining non-reading, idle, garbage-and-reset clients."""

    def __init__(self, port, tricklers=2, pipeliners=1, idle=5, garbage=1):
        self.port = port
        self.done = threading.Event()
        self.threads = []
        self.sockets = []
        self.lock = threading.Lock()
        for _ in range(tricklers):
            self._spawn(self._trickle)
        for _ in range(pipeliners):
            self._spawn(self._pipeline)
        for _ in range(idle):
            self._hold(socket.create_connection(("127.0.0.1", port)))
        for _ in range(garbage):
            self._spawn(self._garbage)

    def _spawn(self, fn):
        t = threading.Thread(target=fn, daemon=True)
        t.start()
        self.threads.append(t)

    def _hold(self, s):
        with self.lock:
            self.sockets.append(s)
        return s

    def _trickle(self):
        # One byte of a card request every 5 s: the request never comes whole
        # within its 15 s, and the server closes the connection.
        payload = CARD_REQUEST * 1000
        s = self._hold(socket.create_connection(("127.0.0.1", self.port)))
        i = 0
        while not self.done.wait(0 if i == 0 else 5.0):
            try:
                s.send(payload[i:i + 1])
            except OSError:
                return
            i += 1

    def _pipeline(self):
        # 2,500 card requests in one burst, and never a byte read.
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.connect(("127.0.0.1", self.port))
        self._hold(s)
        s.setblocking(False)
        burst = memoryview(CARD_REQUEST * 2500)
        while burst and not self.done.is_set():
            try:
                n = s.send(burst)
                burst = burst[n:]
            except BlockingIOError:
                self.done.wait(0.05)
            except OSError:
                return

    def _garbage(self):
        rng = random.Random(7)
        while not self.done.wait(0.2):
            try:
                s = socket.create_connection(("127.0.0.1", self.port), timeout=5)
                s.sendall(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 300))) + b"\r\n")
                s.sendall(b"GET /readCard HTTP/1.1\r\nContent-Length: 99999\r\n\r\nxx")
                harness.reset_close(s)
            except OSError:
                pass

    def stop(self):
        self.done.set()
        for t in self.threads:
            t.join(timeout=10)
        with self.lock:
            for s in self.sockets:
                try:
                    s.close()
                except OSError:
                    pass


HOLD_KINDS = ("idle", "unanswered", "websocket", "trickle")


class Holders:
    """`count` connections that each hold a slot without being served:
    "idle" ones that never send, "unanswered" requests for another path,
    "websocket" handshakes, or "trickle" ones sending a card request with an
    endless header one byte a second on each connection."""

    def __init__(self, port, kind, count=62):
        self.done = threading.Event()
        self.started = threading.Event()  # every trickler has sent its first byte
        self.sockets = []
        self.thread = None
        host = f"Host: 127.0.0.1:{port}\r\n".encode()
        first = {
            "idle": b"",
            "unanswered": b"GET /x HTTP/1.1\r\n" + host + b"\r\n",
            "websocket": (b"GET /socket HTTP/1.1\r\n" + host + b"Upgrade: websocket\r\n"
                          b"Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                          b"Sec-WebSocket-Version: 13\r\nOrigin: http://page.example\r\n\r\n"),
            "trickle": b"",
        }[kind]
        for _ in range(count):
            s = socket.create_connection(("127.0.0.1", port))
            if first:
                s.sendall(first)
            self.sockets.append(s)
        if kind == "trickle":
            self.thread = threading.Thread(target=self._trickle, daemon=True)
            self.thread.start()
            self.started.wait(30)

    def _trickle(self):
        payload = b"GET /readCard HTTP/1.1\r\nX-Pad: " + b"a" * 4096
        i = 0
        while not self.done.wait(1.0 if i else 0):
            for s in self.sockets:
                try:
                    s.send(payload[i:i + 1])
                except OSError:
                    pass
            i += 1
            self.started.set()

    def closed_by_server(self):
        """How many of the connections the server has closed."""
        closed = 0
        for s in self.sockets:
            r, _, _ = select.select([s], [], [], 0)
            if r:
                try:
                    closed += s.recv(1, socket.MSG_PEEK) == b""
                except OSError:
                    closed += 1
        return closed

    def stop(self):
        self.done.set()
        if self.thread:
            self.thread.join(timeout=10)
        for s in self.sockets:
            s.close()


def honest_card(port, timeout=30.0):
    """One card request on a new connection: (text, seconds from connect)."""
    start = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(CARD_REQUEST)
        text = harness.read_response(s, timeout=timeout).text()
    return text, time.monotonic() - start


def honest_run(port, count, pause=0.5):
    """`count` card requests on one connection; returns (texts, seconds each)."""
    texts, times = [], []
    with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
        for _ in range(count):
            start = time.monotonic()
            s.sendall(CARD_REQUEST)
            texts.append(harness.read_response(s, timeout=60).text())
            times.append(time.monotonic() - start)
            time.sleep(pause)
    return texts, times


def stop_under_trickle(ws, port, server):
    """SIGTERM while a client trickles and another's answer is blocked;
    returns (exit code, seconds to exit, photo files left)."""
    hostiles = Hostiles(port, tricklers=1, pipeliners=1, idle=0, garbage=0)
    try:
        time.sleep(3.0)  # the pipeliner's answers fill its connection by now
        start = time.monotonic()
        server.send_signal(signal.SIGTERM)
        code = server.wait(timeout=30)
        seconds = time.monotonic() - start
    finally:
        hostiles.stop()
    ws.processes.remove(server)
    folder = os.path.join(ws.runtime, "talvex")
    left = [f for f in os.listdir(folder) if f.startswith("image.")] if os.path.isdir(folder) else []
    return code, seconds, left


def percentile(values, q):
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    k = min(len(ordered) - 1, max(0, int(round(q / 100.0 * (len(ordered) - 1)))))
    return ordered[k]
