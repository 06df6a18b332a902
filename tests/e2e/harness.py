"""Runs the real talvex-server and talvex-reader-sim for the end-to-end tests.

Everything lives in a private temporary folder: the port directory in which
the simulator links com7 (TALVEX_PORTS), the server's temporary folder
(XDG_RUNTIME_DIR), and, for decoder faults, a copy of the server beside a
different decoder library. A server's stderr, where it logs every answered
request, goes to a file there (server_log): a pipe nobody reads would fill
and stop the server. Each server listens on a free port of its own
(Workspace.port), so that an installed Talvex on 10012 or tests running side
by side do not matter. All traffic goes to 127.0.0.1.
"""

import base64
import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from talvex_http import CARD_REQUEST, HOST, free_port  # noqa: E402,F401

DEFAULT_PORT = 10012

BIN_DIR = os.environ.get("TALVEX_BIN_DIR", "")
NULL_DECODER_DIR = os.environ.get("TALVEX_NULL_DECODER_DIR", "")

HEADER_RE = re.compile(
    rb"HTTP/1\.1 200 OK\r\n"
    rb"Date: (?P<date>[^\r]*)\r\n"
    rb"Server: Talvex Http Server\r\n"
    rb"Content-Type: text/plain;charset=utf-8\r\n"
    rb"Content-Length: (?P<length>-?\d+)\r\n"
    rb"Last-Modified: (?P<modified>[^\r]*)\r\n"
    rb"access-control-allow-origin: \*\r\n"
    rb"Cache-Control: no-cache,no-store\r\n"
    rb"\r\n\Z"
)
TIME_RE = re.compile(
    rb"(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
    rb"\d{4} \d\d:\d\d:\d\d GMT\Z"
)

RESULT_TEXT = {
    "resident": "0|1|张三|1|男|01|汉|20000101|某省某市某区某路1号|000000200001010000|"
    "某市公安局|20200101|20400101|",
    "foreign": "0|2|DOE JANE|2|女/F|000000000000000|USA|美国/USA|多伊|20200101|20300101|"
    "19800101|01|0000|公安部/Ministry of Public Security|",
    "hmt": "0|3|李四|1|男|19900101|某省某市某区某路2号|000000199001010000|某市公安局|"
    "20200101|20250101|H00000000|01|",
}


def binary(name):
    path = os.path.join(BIN_DIR, name)
    if not os.path.exists(path):
        raise FileNotFoundError(f"{path} is not built")
    return path


class Response:
    def __init__(self, head, body):
        self.head = head
        self.body = body
        m = HEADER_RE.match(head)
        self.well_formed = m is not None
        self.content_length = int(m.group("length")) if m else -1
        self.date = m.group("date") if m else b""
        self.modified = m.group("modified") if m else b""

    def text(self):
        return self.body.decode("utf-8")


def read_response(sock, timeout=30.0):
    """One response off the connection: the header block, then Content-Length bytes."""
    deadline = time.monotonic() + timeout
    data = b""
    while b"\r\n\r\n" not in data:
        sock.settimeout(max(0.01, deadline - time.monotonic()))
        chunk = sock.recv(1)
        if not chunk:
            raise ConnectionError(f"connection closed after {data!r}")
        data += chunk
    m = re.search(rb"\r\nContent-Length: (\d+)\r\n", data)
    length = int(m.group(1)) if m else 0
    body = b""
    while len(body) < length:
        sock.settimeout(max(0.01, deadline - time.monotonic()))
        chunk = sock.recv(length - len(body))
        if not chunk:
            raise ConnectionError("connection closed inside the body")
        body += chunk
    return Response(data, body)


def nothing_arrives(sock, seconds):
    """True when no byte arrives within `seconds` and the connection stays open."""
    r, _, _ = select.select([sock], [], [], seconds)
    return not r


def connect(port, timeout=10.0):
    s = socket.create_connection((HOST, port), timeout=timeout)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def reset_close(sock):
    """Closes with a TCP reset instead of an orderly end."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def request(port, payload=CARD_REQUEST, timeout=30.0):
    with connect(port) as s:
        s.sendall(payload)
        return read_response(s, timeout)


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


def photo_of(body_text, result_text):
    """The JPEG behind the result text of a success body."""
    b64 = body_text[len(result_text) :]
    if not re.fullmatch(r"[A-Za-z0-9+/]*={0,2}", b64) or len(b64) % 4:
        return None
    return base64.b64decode(b64)


def fd_count(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def wait_until(check, timeout=10):
    """Polls `check` until it holds; False when the time is up first."""
    deadline = time.monotonic() + timeout
    while not check():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def socket_count(pid):
    try:
        links = [os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")]
    except OSError:
        return -1  # a descriptor closed while they were counted
    return sum(link.startswith("socket:") for link in links)


def wait_for_sockets(p, count, timeout=10):
    """Waits until process `p` holds `count` sockets; False if it ends first."""
    return wait_until(lambda: p.poll() is not None or socket_count(p.pid) == count,
                      timeout) and p.poll() is None


def wait_until_taken(sock, timeout=10):
    """Waits until the server's end of `sock` has an empty receive queue."""
    ends = f":{sock.getpeername()[1]:04X} 0100007F:{sock.getsockname()[1]:04X} "

    def taken():
        with open("/proc/net/tcp") as f:
            return any(ends in line and line.split()[4].endswith(":00000000") for line in f)

    return wait_until(taken, timeout)


class Workspace:
    """A private folder with the port directory and the server's temp folder."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="talvex-e2e-")
        self.ports = os.path.join(self.root, "ports")
        self.runtime = os.path.join(self.root, "runtime")
        os.mkdir(self.ports, 0o700)
        os.mkdir(self.runtime, 0o700)
        self.processes = []
        self.port = None  # the port of the last server started

    def env(self):
        env = dict(os.environ)
        for k in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
            env.pop(k, None)
        env["TALVEX_PORTS"] = self.ports
        env["XDG_RUNTIME_DIR"] = self.runtime
        # Not the machine's own site settings (/etc/talvex/talvex.conf).
        env["TALVEX_CONFIG"] = os.devnull
        return env

    def start_sim(self, *args):
        link = os.path.join(self.ports, "com7")
        p = subprocess.Popen(
            [binary("talvex-reader-sim"), "--link", link, *args],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=self.env(),
        )
        self.processes.append(p)
        r, _, _ = select.select([p.stdout], [], [], 10)
        if not r or not p.stdout.readline():
            raise RuntimeError("reader simulator did not get ready: " + p.stderr.read1().decode())
        deadline = time.monotonic() + 5
        while not os.path.lexists(link) and time.monotonic() < deadline:
            time.sleep(0.01)
        return p

    def stop_sim(self, p):
        stop(p)
        self.processes.remove(p)

    def server_copy_with_decoder(self, decoder_dir):
        """A copy of the server in a folder of its own, beside the decoder of
        `decoder_dir` (or none when it is None)."""
        d = os.path.join(self.root, "server-" + str(len(os.listdir(self.root))))
        os.mkdir(d)
        shutil.copy2(binary("talvex-server"), d)
        if decoder_dir:
            shutil.copy2(os.path.join(decoder_dir, "libWltRS.so"), d)
        return os.path.join(d, "talvex-server")

    def start_server(self, exe=None, wrapper=(), ready_timeout=20, tries=5, args=()):
        """Starts the server on a free port and waits for its listening line.
        Another program may bind the port between the probe and the server's
        own bind; then the server is started again on another port."""
        exe = exe or binary("talvex-server")
        for _ in range(tries):
            port = free_port()
            p = self.popen_server([*wrapper, exe, "--headless", "--port", str(port), *args])
            r, _, _ = select.select([p.stdout], [], [], ready_timeout)
            line = p.stdout.readline() if r else b""
            if line == f"Talvex listening on port {port}\n".encode():
                self.port = port
                return p
            if p.poll() is None:
                p.kill()
            p.wait()
            err = self.server_log(p)
            stop(p)
            self.processes.remove(p)
            if "already in use" not in err:
                break
        raise RuntimeError(f"server did not start: {line!r} {err}")

    def popen_server(self, command):
        """The server process, its stdout a pipe, its stderr the file server_log reads."""
        err_path = os.path.join(self.root, f"server-{len(self.processes)}.err")
        with open(err_path, "wb") as err:
            p = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=err, env=self.env())
        p.err_path = err_path
        self.processes.append(p)
        return p

    def server_log(self, p):
        """What the server has written on stderr so far."""
        with open(p.err_path, "rb") as f:
            return f.read().decode(errors="replace")

    def connect(self, timeout=10.0):
        return connect(self.port, timeout)

    def request(self, payload=CARD_REQUEST, timeout=30.0):
        return request(self.port, payload, timeout)

    def close(self):
        for p in reversed(self.processes):
            stop(p)
        self.processes = []
        shutil.rmtree(self.root, ignore_errors=True)


def stop(p, sig=signal.SIGTERM, timeout=30):
    """Asks a process to stop and returns its exit code (killing it if it hangs)."""
    if p.poll() is None:
        p.send_signal(sig)
        try:
            p.wait(timeout)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
    for f in (p.stdout, p.stderr):
        if f:
            f.close()
    return p.returncode


def wait_for_port_free(port, timeout=10):
    def free():
        try:
            socket.create_connection((HOST, port), timeout=0.2).close()
        except OSError:
            return True
        return False

    return wait_until(free, timeout)
