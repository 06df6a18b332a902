#!/usr/bin/env python3
"""Soak run of the real talvex-server --headless against talvex-reader-sim.

The simulator spoils a share of its answers at random while up to 62 clients
at once send card requests, other requests (never answered), pipelined
requests, requests cut into pieces, requests abandoned half-way through a
line, resets (SO_LINGER 0) and slow reads. Every response must be a
well-formed header block with either the sample card's result text and a
102 x 126 JPEG in Base64, or a "code|message" body whose code a reader fault
can cause. The server must stay up, and its open descriptors and resident
memory must come back to where they were after the warm-up.

All traffic goes to 127.0.0.1, bounded in count and in time, on a free port
the run picks for its server (so an installed Talvex on 10012 or other tests
running beside it do not matter).

  soak.py                 reduced run (1,500 card requests)
  soak.py --full          10,000 card requests
  soak.py --requests N    any count
Exit status 0 when every check held, 1 otherwise.
"""

import argparse
import base64
import os
import random
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from talvex_http import CARD_REQUEST, HOST, free_port  # noqa: E402

MAX_CLIENTS = 62
# Requests the service reads and leaves unanswered.
OTHER_REQUESTS = [
    b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
    b"GET /favicon.ico HTTP/1.1\r\nAccept: */*\r\n\r\n",
    b"GET /readCard?x=1 HTTP/1.1\r\n\r\n",
    b"GET /readCard/ HTTP/1.1\r\n\r\n",
    b"HEAD /readCard HTTP/1.1\r\n\r\n",
    b"get /readCard HTTP/1.1\r\n\r\n",
    b"POST /readCard HTTP/1.1\r\nContent-Length: 11\r\n\r\n{\"a\":\"bcd\"}",
    b"OPTIONS /readCard HTTP/1.1\r\nOrigin: http://127.0.0.1:8000\r\n\r\n",
]

RESULT_TEXT = (
    "0|1|张三|1|男|01|汉|20000101|某省某市某区某路1号|000000200001010000|"
    "某市公安局|20200101|20400101|"
)
# The failures a spoilt reader answer can lead to, with their messages.
FAULT_MESSAGES = {
    1: "打开端口失败",
    2: "PC接收数据超时",
    3: "PC判断校验和错",
    16: "SAM判断校验和错",
    33: "接收业务终端的命令错误",
    65: "读卡操作失败",
    128: "寻卡失败",
    129: "选卡失败",
    159: "寻卡成功",
    281: "应答头错误",
    282: "应答长度错误",
    283: "寻卡应答错误",
    284: "信息长度错误",
}

HEADER_RE = re.compile(
    rb"HTTP/1\.1 200 OK\r\n"
    rb"Date: (?P<date>(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d "
    rb"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d GMT)\r\n"
    rb"Server: Talvex Http Server\r\n"
    rb"Content-Type: text/plain;charset=utf-8\r\n"
    rb"Content-Length: (?P<length>\d+)\r\n"
    rb"Last-Modified: (?P<modified>[^\r]*)\r\n"
    rb"access-control-allow-origin: \*\r\n"
    rb"Cache-Control: no-cache,no-store\r\n"
    rb"\r\n\Z"
)
BASE64_RE = re.compile(r"[A-Za-z0-9+/]+={0,2}\Z")

RESPONSE_TIMEOUT = 180.0  # a client may queue behind 61 others and several stalls


class SoakError(Exception):
    pass


def jpeg_size(data):
    """(width, height) from the first start-of-frame marker, or None."""
    if data[:2] != b"\xff\xd8":
        return None
    i = 2
    while i + 4 <= len(data):
        if data[i] != 0xFF:
            return None
        marker = data[i + 1]
        if marker == 0xFF:
            i += 1
            continue
        seglen = struct.unpack(">H", data[i + 2 : i + 4])[0]
        if marker in (0xC0, 0xC1, 0xC2) and i + 9 <= len(data):
            height, width = struct.unpack(">HH", data[i + 5 : i + 9])
            return width, height
        i += 2 + seglen
    return None


def check_body(body):
    """The outcome of a body ("card" or the failure code); raises when it is wrong."""
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError:
        raise SoakError(f"body is not UTF-8: {body[:80]!r}")
    if text.startswith("0|"):
        if not text.startswith(RESULT_TEXT):
            raise SoakError(f"wrong result text: {text[:200]!r}")
        b64 = text[len(RESULT_TEXT) :]
        if len(b64) % 4 or not BASE64_RE.match(b64):
            raise SoakError(f"photo is not Base64: {b64[:60]!r}...")
        size = jpeg_size(base64.b64decode(b64))
        if size != (102, 126):
            raise SoakError(f"photo is not a 102 x 126 JPEG: {size}")
        if not b64.endswith("="):
            # JPEG data ends with the EOI marker FF D9.
            if base64.b64decode(b64)[-2:] != b"\xff\xd9":
                raise SoakError("photo does not end with the end-of-image marker")
        return "card"
    m = re.fullmatch(r"(\d+)\|(.*)", text, re.S)
    if not m:
        raise SoakError(f"body is neither a card nor a failure: {text[:200]!r}")
    code = int(m.group(1))
    if code not in FAULT_MESSAGES:
        raise SoakError(f"code {code} is not one a reader fault can cause: {text!r}")
    if m.group(2) != FAULT_MESSAGES[code]:
        raise SoakError(f"wrong message for {code}: {text!r}")
    return code


def read_exact(sock, n, deadline, chunk=65536, pause=0.0):
    data = b""
    while len(data) < n:
        sock.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            piece = sock.recv(min(chunk, n - len(data)))
        except socket.timeout:
            raise SoakError(f"no response within {RESPONSE_TIMEOUT} s")
        if not piece:
            raise SoakError(f"connection closed after {len(data)} of {n} bytes")
        data += piece
        if pause:
            time.sleep(pause)
    return data


class Conn:
    """One client connection with its own receive buffer."""

    def __init__(self, rcvbuf=None):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        s.settimeout(30)
        s.connect((HOST, Conn.port))
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock = s
        self.pending = b""

    def send(self, data):
        self.sock.settimeout(30)
        self.sock.sendall(data)

    port = 0  # the server's, once it listens
    longest_wait = 0.0  # the longest a response took to start arriving

    def response(self, chunk=65536, pause=0.0):
        """Reads one response; returns its outcome. Raises on anything malformed."""
        began = time.monotonic()
        deadline = began + RESPONSE_TIMEOUT
        while b"\r\n\r\n" not in self.pending:
            self.sock.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                piece = self.sock.recv(chunk)
            except socket.timeout:
                raise SoakError(f"no response within {RESPONSE_TIMEOUT} s")
            if not piece:
                raise SoakError(f"connection closed before a response: {self.pending[:80]!r}")
            self.pending += piece
            if len(self.pending) > 4096 and b"\r\n\r\n" not in self.pending:
                raise SoakError(f"header block too long: {self.pending[:120]!r}")
            if pause:
                time.sleep(pause)
        Conn.longest_wait = max(Conn.longest_wait, time.monotonic() - began)
        end = self.pending.index(b"\r\n\r\n") + 4
        head, rest = self.pending[:end], self.pending[end:]
        m = HEADER_RE.match(head)
        if not m:
            raise SoakError(f"malformed header block: {head!r}")
        if m.group("date") != m.group("modified"):
            raise SoakError(f"Date and Last-Modified differ: {head!r}")
        length = int(m.group("length"))
        if len(rest) < length:
            rest += read_exact(self.sock, length - len(rest), deadline, chunk, pause)
        body, self.pending = rest[:length], rest[length:]
        return check_body(body)

    def nothing_more(self, seconds):
        """Raises when a byte arrives that no request asked for."""
        if self.pending:
            raise SoakError(f"unrequested bytes: {self.pending[:80]!r}")
        r, _, _ = select.select([self.sock], [], [], seconds)
        if r:
            try:
                extra = self.sock.recv(4096, socket.MSG_DONTWAIT)
            except BlockingIOError:
                return
            if extra:
                raise SoakError(f"unrequested bytes: {extra[:80]!r}")
            raise SoakError("the server closed a connection it should keep")

    def closed_by_server(self, seconds):
        """Raises unless the server ends the connection within `seconds`."""
        r, _, _ = select.select([self.sock], [], [], seconds)
        try:
            closed = bool(r) and self.sock.recv(4096, socket.MSG_DONTWAIT) == b""
        except ConnectionResetError:
            closed = True
        except BlockingIOError:
            closed = False
        if not closed:
            raise SoakError("the server kept a connection whose request ran out of time")

    def close(self):
        self.sock.close()

    def reset(self):
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()


class Tally:
    def __init__(self, budget):
        self.lock = threading.Lock()
        self.budget = budget  # card requests still to send
        self.sent = 0
        self.outcomes = {}
        self.scenarios = {}
        self.errors = []

    def take(self, n):
        """Up to n card requests from the budget (0 when it is spent)."""
        with self.lock:
            if self.errors:
                return 0
            n = min(n, self.budget)
            self.budget -= n
            self.sent += n
            return n

    def record(self, outcome):
        with self.lock:
            self.outcomes[outcome] = self.outcomes.get(outcome, 0) + 1

    def scenario(self, name):
        with self.lock:
            self.scenarios[name] = self.scenarios.get(name, 0) + 1

    def fail(self, message):
        with self.lock:
            self.errors.append(message)


# --- what one client does, one scenario at a time --------------------------


def sc_card(conn, rng, tally):
    if not tally.take(1):
        return conn
    conn.send(CARD_REQUEST)
    tally.record(conn.response())
    return conn


def sc_other(conn, rng, tally):
    # A request that gets no answer, then a card request on the same
    # connection: exactly one response comes back.
    if not tally.take(1):
        return conn
    conn.send(rng.choice(OTHER_REQUESTS) + CARD_REQUEST)
    tally.record(conn.response())
    conn.nothing_more(0.02)
    return conn


def sc_pipelined(conn, rng, tally):
    n = tally.take(rng.randint(2, 5))
    if not n:
        return conn
    parts = []
    for _ in range(n):
        if rng.random() < 0.3:
            parts.append(rng.choice(OTHER_REQUESTS))
        parts.append(CARD_REQUEST)
    conn.send(b"".join(parts))
    for _ in range(n):
        tally.record(conn.response())
    conn.nothing_more(0.02)
    return conn


def sc_pieces(conn, rng, tally):
    # A request sent in pieces with short pauses, cuts inside lines.
    if not tally.take(1):
        return conn
    data = CARD_REQUEST
    cuts = sorted(rng.sample(range(1, len(data)), rng.randint(1, 4)))
    start = 0
    for cut in cuts + [len(data)]:
        conn.send(data[start:cut])
        start = cut
        time.sleep(rng.uniform(0.001, 0.02))
    tally.record(conn.response())
    return conn


def sc_reset(conn, rng, tally):
    # A card request, then a reset before (or while) the answer comes.
    if not tally.take(1):
        return conn
    conn.send(CARD_REQUEST)
    if rng.random() < 0.5:
        time.sleep(rng.uniform(0, 0.01))
    conn.reset()
    return None


def sc_reset_idle(conn, rng, tally):
    conn.reset()
    return None


def sc_slow_reader(conn, rng, tally):
    # A small receive buffer read a little at a time: the server has to wait
    # for room to send.
    n = tally.take(rng.randint(1, 2))
    if not n:
        return conn
    conn.close()
    slow = Conn(rcvbuf=2048)
    slow.send(CARD_REQUEST * n)
    for _ in range(n):
        tally.record(slow.response(chunk=512, pause=0.003))
    slow.close()
    return None


def sc_close(conn, rng, tally):
    conn.close()
    return None


SCENARIOS = [
    (sc_card, 40),
    (sc_other, 12),
    (sc_pipelined, 12),
    (sc_pieces, 10),
    (sc_reset, 8),
    (sc_reset_idle, 3),
    (sc_slow_reader, 6),
    (sc_close, 5),
]


def client(seed, tally, stop_at, think):
    rng = random.Random(seed)
    funcs = [f for f, _ in SCENARIOS]
    weights = [w for _, w in SCENARIOS]
    conn = None
    try:
        while time.monotonic() < stop_at:
            with tally.lock:
                if tally.budget == 0 or tally.errors:
                    break
            if conn is None:
                conn = Conn()
            f = rng.choices(funcs, weights)[0]
            tally.scenario(f.__name__[3:])
            conn = f(conn, rng, tally)
            # A pause between requests, as people at a page make. The loop
            # serves the lowest ready entry first, so clients that are ready
            # again at once and together ask for more than the service can
            # answer would keep the later entries waiting for as long as the
            # run lasts; the pauses keep the offered load below what it serves.
            time.sleep(rng.uniform(0, 2 * think))
    except (SoakError, OSError) as e:
        tally.fail(f"client {seed}: {type(e).__name__}: {e}")
    finally:
        if conn is not None:
            conn.close()


def abandoned_line(seed, tally, start_after, stop_at):
    """Half a request line and then nothing: the server waits 15 s for the
    rest, gives up on that line and closes the connection; a new one carries
    the next card request."""
    rng = random.Random(seed)
    time.sleep(start_after)
    if time.monotonic() > stop_at or tally.errors:
        return
    try:
        conn = Conn()
        tally.scenario("abandoned_line")
        conn.send(CARD_REQUEST[: rng.randint(3, 20)])
        time.sleep(17)
        if tally.take(1):
            # Its 15 s ran out 2 s ago; a send to a slow reader may hold
            # the service for up to 15 s more before it ends the request.
            conn.closed_by_server(20)
            conn.close()
            conn = Conn()
            conn.send(CARD_REQUEST)
            tally.record(conn.response())
            conn.nothing_more(0.05)
        conn.close()
    except (SoakError, OSError) as e:
        tally.fail(f"abandoned-line client {seed}: {type(e).__name__}: {e}")


# --- the processes -----------------------------------------------------------


def proc_status(pid):
    """(open descriptors, VmRSS in KiB, utime + stime in clock ticks)."""
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    rss = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu = int(fields[11]) + int(fields[12])
    return fds, rss, cpu


def settle(pid, fds_expected, timeout=10.0):
    deadline = time.monotonic() + timeout
    while True:
        fds, rss, cpu = proc_status(pid)
        if fds == fds_expected or time.monotonic() > deadline:
            return fds, rss, cpu
        time.sleep(0.05)


def stop(p, timeout=30):
    if p.poll() is None:
        p.send_signal(signal.SIGTERM)
        try:
            p.wait(timeout)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
    return p.returncode


class Run:
    def __init__(self, bin_dir, sim_args):
        self.root = tempfile.mkdtemp(prefix="talvex-soak-")
        self.ports = os.path.join(self.root, "ports")
        self.runtime = os.path.join(self.root, "runtime")
        os.mkdir(self.ports, 0o700)
        os.mkdir(self.runtime, 0o700)
        env = dict(os.environ)
        for k in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
            env.pop(k, None)
        env["TALVEX_PORTS"] = self.ports
        env["XDG_RUNTIME_DIR"] = self.runtime
        env["TALVEX_CONFIG"] = os.devnull  # not the machine's own site settings
        self.env = env
        self.bin_dir = bin_dir
        self.sim = None
        self.server = None
        self.server_err = None
        self.start_sim(sim_args)

    def start_sim(self, args):
        link = os.path.join(self.ports, "com7")
        self.sim = subprocess.Popen(
            [os.path.join(self.bin_dir, "talvex-reader-sim"), "--link", link, *args],
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            env=self.env,
        )
        r, _, _ = select.select([self.sim.stdout], [], [], 20)
        if not r or not self.sim.stdout.readline():
            raise SoakError("reader simulator did not get ready")

    def start_server(self, tries=5):
        """Starts the server on a free port. Another program may bind the port
        between the probe and the server's own bind; then another is tried."""
        for _ in range(tries):
            port = free_port()
            self.server_err = tempfile.TemporaryFile()
            started = time.monotonic()
            p = subprocess.Popen(
                [os.path.join(self.bin_dir, "talvex-server"), "--headless", "--port", str(port)],
                stdout=subprocess.PIPE,
                stderr=self.server_err,
                env=self.env,
            )
            r, _, _ = select.select([p.stdout], [], [], 30)
            line = p.stdout.readline() if r else b""
            if line == f"Talvex listening on port {port}\n".encode():
                self.server = p
                Conn.port = port
                return time.monotonic() - started
            stop(p)
            self.server_err.seek(0)
            err = self.server_err.read().decode(errors="replace")
            self.server_err.close()
            self.server_err = None
            if "already in use" not in err:
                break
        raise SoakError(f"server did not start: {line!r} {err}")

    def close(self):
        for p in (self.server, self.sim):
            if p is not None:
                stop(p)
                if p.stdout:
                    p.stdout.close()
        shutil.rmtree(self.root, ignore_errors=True)


def warm_up(tally_outcomes):
    """Runs every path once on its own so the later levels are the steady ones:
    the reader detection, the decoder library, 62 connections at once."""
    conns = [Conn() for _ in range(MAX_CLIENTS)]
    for c in conns:
        c.send(CARD_REQUEST)
    for c in conns:
        outcome = c.response()
        tally_outcomes[outcome] = tally_outcomes.get(outcome, 0) + 1
    for i, c in enumerate(conns):
        if i % 2:
            c.reset()
        else:
            c.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--bin", default=os.environ.get("TALVEX_BIN_DIR", ""),
                    help="folder with talvex-server, talvex-reader-sim, libWltRS.so")
    ap.add_argument("--full", action="store_true", help="10,000 card requests")
    ap.add_argument("--requests", type=int, help="card requests to send")
    ap.add_argument("--clients", type=int, default=MAX_CLIENTS,
                    help="concurrent clients, 62 at most (some abandon a line)")
    ap.add_argument("--abandoned", type=int, help="clients that stop half-way through a line")
    ap.add_argument("--seed", type=int, default=20261208)
    ap.add_argument("--percent", type=int, default=2, help="share of spoilt reader answers")
    ap.add_argument("--think-ms", type=float, default=800,
                    help="mean pause of a client between two scenarios")
    ap.add_argument("--rss-tolerance-kib", type=int, default=512)
    ap.add_argument("--time-limit", type=float, help="seconds before the clients stop")
    args = ap.parse_args()

    requests = args.requests or (10000 if args.full else 1500)
    abandoned = args.abandoned if args.abandoned is not None else (4 if args.full else 2)
    clients = min(args.clients, MAX_CLIENTS) - abandoned
    time_limit = args.time_limit or (1500.0 if args.full else 400.0)
    if clients < 1:
        ap.error("--clients must leave room beside the abandoned-line clients")
    for name in ("talvex-server", "talvex-reader-sim", "libWltRS.so"):
        if not os.path.exists(os.path.join(args.bin, name)):
            print(f"soak: {name} not found in {args.bin!r} (--bin)", file=sys.stderr)
            return 1

    run = Run(args.bin, ["--sample", "resident", "--random-faults", f"{args.seed}:{args.percent}"])
    failures = []
    try:
        startup = run.start_server()
        pid = run.server.pid
        idle_fds, idle_rss, _ = proc_status(pid)
        warm = {}
        warm_up(warm)
        fds0, rss0, cpu0 = settle(pid, idle_fds)
        print(f"soak: server up on port {Conn.port} in {startup * 1000:.0f} ms; "
              f"idle {idle_fds} fds, {idle_rss} KiB; after warm-up {fds0} fds, {rss0} KiB "
              f"(warm-up outcomes {warm})", flush=True)

        tally = Tally(requests)
        began = time.monotonic()
        stop_at = began + time_limit
        threads = [threading.Thread(target=client, args=(args.seed * 1000 + i, tally, stop_at, args.think_ms / 1000))
                   for i in range(clients)]
        # The abandoned lines spread over the run; each holds the service 15 s.
        for i in range(abandoned):
            threads.append(threading.Thread(
                target=abandoned_line,
                args=(args.seed * 1000 + 900 + i, tally, 1.0 + i * 20.0, stop_at)))
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        elapsed = time.monotonic() - began

        alive = run.server.poll() is None
        if not alive:
            failures.append(f"the server ended during the run (status {run.server.returncode})")
        else:
            fds1, rss1, cpu1 = settle(pid, fds0)
            cpu_s = (cpu1 - cpu0) / os.sysconf("SC_CLK_TCK")
            answered = sum(tally.outcomes.values())
            cards = tally.outcomes.get("card", 0)
            print(f"soak: {tally.sent} card requests in {elapsed:.1f} s, {answered} responses "
                  f"checked ({cards} cards), server CPU {cpu_s:.1f} s", flush=True)
            print(f"soak: outcomes {dict(sorted(tally.outcomes.items(), key=str))}", flush=True)
            print(f"soak: scenarios {tally.scenarios}", flush=True)
            print(f"soak: longest wait for a response {Conn.longest_wait:.1f} s", flush=True)
            print(f"soak: descriptors {fds0} -> {fds1}, VmRSS {rss0} -> {rss1} KiB", flush=True)
            if tally.budget and not tally.errors:
                failures.append(f"time limit reached with {tally.budget} requests unsent")
            if fds1 != fds0:
                failures.append(f"open descriptors {fds0} before, {fds1} after")
            if rss1 > rss0 + args.rss_tolerance_kib:
                failures.append(f"VmRSS grew from {rss0} to {rss1} KiB "
                                f"(tolerance {args.rss_tolerance_kib} KiB)")
            if cards < answered // 2:
                failures.append(f"only {cards} of {answered} responses carried the card")
            if len(tally.outcomes) < 3:
                failures.append(f"too few kinds of fault were answered: {tally.outcomes}")
            status = stop(run.server)
            if status != 0:
                failures.append(f"the server exited with status {status} on SIGTERM")
        failures.extend(tally.errors[:20])
        if run.server_err is not None:
            run.server_err.seek(0)
            # The request log has a line per answer; anything else is news.
            err = "\n".join(line for line in run.server_err.read().decode(errors="replace")
                             .splitlines() if " request client=" not in line).strip()
            if err:
                print(f"soak: server's standard error: {err[:2000]}", flush=True)
    finally:
        run.close()

    for f in failures:
        print(f"soak: FAIL: {f}", flush=True)
    if not failures:
        print("soak: PASS", flush=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
