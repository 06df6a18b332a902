#!/usr/bin/env python3
"""End-to-end figures of the real talvex-server --headless over 127.0.0.1, on a
free port of its own, against talvex-reader-sim (no faults) and the stand-in
decoder.

  start-up    time from exec to the "listening" line (median of --startups)
  unpaced     /readCard latency with the simulator answering at once: the
              first request (reader detection) and --requests on one
              connection: median, p99, and the server's CPU time per request
  --shm       puts the server's temporary folder (the photo files) in memory
  paced       the same with the simulator at --baud 115200: latency against
              the pure wire time of the frames exchanged (10 bits per byte),
              counted from the simulator's own log of every frame
  memory      VmRSS idle, after the first request and after --soak requests
  idle CPU    utime + stime of the server over 5 s while 62 idle clients are
              connected (each has had one card answered)

  --installed lays the server out as the package does (cmake --install of the
              package's component into a private folder: usr/bin/talvex-server,
              its tray shell in usr/lib/talvex, stripped) and measures that,
              with the stand-in decoder where a site puts the vendor's
  --tray      also measures the tray mode under Xvfb: start-up to the port
              answering, and VmRSS idle and after one request

  bench/e2e_driver.py [--build DIR] [--installed] [--tray] [--requests N]
                      [--paced N] [--soak N]
Every loop is bounded in count; the run stops by itself.
"""

import argparse
import os
import re
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HOST = "127.0.0.1"
TICK = os.sysconf("SC_CLK_TCK")


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


PORT = free_port()
CARD_REQUEST = f"GET /readCard HTTP/1.1\r\nHost: {HOST}:{PORT}\r\n\r\n".encode()


def proc(pid):
    """(VmRSS KiB, CPU seconds, descriptors) of a process."""
    rss = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return rss, (int(fields[11]) + int(fields[12])) / TICK, len(os.listdir(f"/proc/{pid}/fd"))


def connect():
    s = socket.create_connection((HOST, PORT), timeout=60)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


class Reader:
    def __init__(self, sock):
        self.sock = sock
        self.buf = b""

    def response(self):
        while b"\r\n\r\n" not in self.buf:
            piece = self.sock.recv(65536)
            if not piece:
                raise ConnectionError("closed")
            self.buf += piece
        end = self.buf.index(b"\r\n\r\n") + 4
        length = int(re.search(rb"Content-Length: (\d+)", self.buf[:end]).group(1))
        while len(self.buf) < end + length:
            piece = self.sock.recv(65536)
            if not piece:
                raise ConnectionError("closed")
            self.buf += piece
        body, self.buf = self.buf[end : end + length], self.buf[end + length :]
        return body


def timed_request(conn):
    t0 = time.perf_counter()
    conn.sock.sendall(CARD_REQUEST)
    body = conn.response()
    dt = time.perf_counter() - t0
    if not body.startswith(b"0|1|"):
        raise RuntimeError(f"not a card: {body[:60]!r}")
    return dt


def pct(values, p):
    v = sorted(values)
    return v[min(len(v) - 1, int(len(v) * p / 100))]


class Stack:
    """Simulator and server in a private folder."""

    def __init__(self, bin_dir, sim_args, in_memory=False, server=None):
        self.bin = bin_dir
        self.server_path = server or os.path.join(bin_dir, "talvex-server")
        self.root = tempfile.mkdtemp(prefix="talvex-bench-", dir="/dev/shm" if in_memory else None)
        self.ports = os.path.join(self.root, "ports")
        self.runtime = os.path.join(self.root, "runtime")
        os.mkdir(self.ports, 0o700)
        os.mkdir(self.runtime, 0o700)
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        self.env.update(TALVEX_PORTS=self.ports, XDG_RUNTIME_DIR=self.runtime)
        self.simlog = open(os.path.join(self.root, "sim.log"), "w+")
        self.sim = subprocess.Popen(
            [os.path.join(bin_dir, "talvex-reader-sim"), "--link",
             os.path.join(self.ports, "com7"), *sim_args],
            stdout=subprocess.PIPE, stderr=self.simlog, env=self.env)
        r, _, _ = select.select([self.sim.stdout], [], [], 20)
        if not r or not self.sim.stdout.readline():
            raise RuntimeError("simulator did not start")
        self.server = None

    def start_server(self):
        """Starts the server headless; the time to its listening line."""
        t0 = time.perf_counter()
        self.server = subprocess.Popen(
            [self.server_path, "--headless", "--port", str(PORT)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=self.env)
        r, _, _ = select.select([self.server.stdout], [], [], 30)
        line = self.server.stdout.readline() if r else b""
        dt = time.perf_counter() - t0
        if line == f"Talvex listening on port {PORT}\n".encode():
            return dt
        stop(self.server, close=False)
        err = self.server.stderr.read()
        self.server.stderr.close()
        self.server = None
        raise RuntimeError(f"server did not start: {line!r} {err!r}")

    def start_tray(self, display):
        """Starts the server on a desktop; the time until its port answers
        (the tray mode prints no line)."""
        env = dict(self.env, DISPLAY=display)
        t0 = time.perf_counter()
        self.server = subprocess.Popen([self.server_path, "--port", str(PORT)],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
        deadline = t0 + 30
        while time.perf_counter() < deadline and self.server.poll() is None:
            try:
                socket.create_connection((HOST, PORT), timeout=1).close()
                return time.perf_counter() - t0
            except OSError:
                time.sleep(0.0005)
        raise RuntimeError(f"tray server did not listen: {self.server.stderr.read(2000)!r}")

    def stop_server(self):
        stop(self.server)
        self.server = None

    def sim_log(self):
        self.simlog.flush()
        self.simlog.seek(0)
        return self.simlog.read()

    def close(self):
        for p in (self.server, self.sim):
            if p:
                stop(p)
        self.simlog.close()
        shutil.rmtree(self.root, ignore_errors=True)


def stop(p, close=True):
    if p.poll() is None:
        p.send_signal(signal.SIGTERM)
        try:
            p.wait(30)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
    for f in (p.stdout, p.stderr) if close else (p.stdout,):
        if f:
            f.close()


def wire_bytes(log):
    """Bytes on the line per exchange, from the simulator's verbose log:
    [(command, request bytes, answer bytes)]."""
    out = []
    for m in re.finditer(r"reader-sim: (\S+) \([^)]*\): status \w+, (\d+) bytes answered.*\n"
                         r"  > ([0-9A-Fa-f ]+)", log):
        out.append((m.group(1), len(m.group(3).split()), int(m.group(2))))
    return out


def load():
    return open("/proc/loadavg").read().split()[0]


def stage_installed(build):
    """The package's layout under a private folder; returns (root, server)."""
    root = tempfile.mkdtemp(prefix="talvex-stage-")
    subprocess.run(["cmake", "--install", build, "--prefix", "/usr", "--component", "Unspecified",
                    "--strip"], env=dict(os.environ, DESTDIR=root), check=True,
                   stdout=subprocess.DEVNULL)
    lib = os.path.join(root, "usr", "lib", "talvex")
    os.makedirs(lib, exist_ok=True)
    shutil.copy(os.path.join(build, "bin", "libWltRS.so"), lib)
    return root, os.path.join(root, "usr", "bin", "talvex-server")


def qt_maps(pid):
    """Whether a Qt library is mapped into the process."""
    with open(f"/proc/{pid}/maps") as f:
        return any("libQt" in line for line in f)


class Xvfb:
    def __init__(self):
        for n in range(90, 190):
            if not os.path.exists(f"/tmp/.X11-unix/X{n}") and not os.path.exists(f"/tmp/.X{n}-lock"):
                break
        self.display = f":{n}"
        self.proc = subprocess.Popen(["Xvfb", self.display, "-nolisten", "tcp"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(200):
            if os.path.exists(f"/tmp/.X11-unix/X{n}"):
                return
            time.sleep(0.05)
        raise RuntimeError("Xvfb did not start")

    def close(self):
        stop(self.proc)


def measure_tray(bin_dir, server, startups):
    xvfb = Xvfb()
    s = Stack(bin_dir, ["--sample", "resident"], server=server)
    try:
        times = []
        for _ in range(startups):
            times.append(s.start_tray(xvfb.display))
            s.stop_server()
        s.start_tray(xvfb.display)
        pid = s.server.pid
        time.sleep(1.0)
        rss_idle, _, _ = proc(pid)
        c = Reader(connect())
        timed_request(c)
        rss_first, _, _ = proc(pid)
        c.sock.close()
        print(f"tray mode under Xvfb: start-up to the port answering: median "
              f"{statistics.median(times) * 1000:.1f} ms ({startups} starts); VmRSS idle "
              f"{rss_idle} KiB, after 1 request {rss_first} KiB; Qt mapped: {qt_maps(pid)}")
    finally:
        s.close()
        xvfb.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap.add_argument("--build", default=os.path.join(root, "build"))
    ap.add_argument("--startups", type=int, default=10)
    ap.add_argument("--requests", type=int, default=2000, help="unpaced requests")
    ap.add_argument("--paced", type=int, default=40, help="requests at 115200 baud")
    ap.add_argument("--soak", type=int, default=10000, help="requests before the last RSS")
    ap.add_argument("--installed", action="store_true",
                    help="measure the server as the package lays it out")
    ap.add_argument("--tray", action="store_true", help="also measure the tray mode under Xvfb")
    ap.add_argument("--shm", action="store_true",
                    help="the server's temporary folder in /dev/shm (memory), as the user's "
                         "runtime folder on a desktop usually is, instead of on disk")
    args = ap.parse_args()
    bin_dir = os.path.join(args.build, "bin")
    stage, server = stage_installed(args.build) if args.installed else (None, None)
    try:
        run(args, bin_dir, server)
    finally:
        if stage:
            shutil.rmtree(stage, ignore_errors=True)


def run(args, bin_dir, server):
    print(f"machine: {os.cpu_count()} cores, load average {load()} at the start; "
          f"temporary folder {'in /dev/shm' if args.shm else 'on ' + tempfile.gettempdir()}; "
          f"server {'as installed (stripped)' if server else 'from the build folder'}")

    # --- start-up, memory, unpaced latency, idle CPU ---
    s = Stack(bin_dir, ["--sample", "resident"], args.shm, server)
    try:
        startups = []
        for _ in range(args.startups):
            startups.append(s.start_server())
            s.stop_server()
        print(f"start-up to listening: median {statistics.median(startups) * 1000:.1f} ms, "
              f"min {min(startups) * 1000:.1f} ms, max {max(startups) * 1000:.1f} ms "
              f"({args.startups} starts)")

        s.start_server()
        pid = s.server.pid
        time.sleep(0.5)
        rss_idle, _, fds_idle = proc(pid)
        print(f"headless: Qt mapped: {qt_maps(pid)}")
        c = Reader(connect())
        first = timed_request(c)
        rss_first, cpu0, _ = proc(pid)
        lat = [timed_request(c) for _ in range(args.requests)]
        _, cpu1, _ = proc(pid)
        print(f"unpaced /readCard: first (detection) {first * 1000:.2f} ms; "
              f"{args.requests} requests: median {statistics.median(lat) * 1000:.3f} ms, "
              f"p99 {pct(lat, 99) * 1000:.3f} ms, "
              f"server CPU {(cpu1 - cpu0) / args.requests * 1000:.3f} ms per request "
              f"(load {load()})")

        done = args.requests + 1
        while done < args.soak:
            c.sock.sendall(CARD_REQUEST)
            c.response()
            done += 1
        c.sock.close()
        time.sleep(0.3)
        rss_soak, _, fds_soak = proc(pid)
        print(f"VmRSS: idle {rss_idle} KiB, after 1 request {rss_first} KiB, "
              f"after {done} requests {rss_soak} KiB; descriptors {fds_idle} -> {fds_soak}")

        idle = [connect() for _ in range(62)]
        for sock in idle:
            r = Reader(sock)
            sock.sendall(CARD_REQUEST)
            r.response()
        time.sleep(0.5)
        _, before, fds_held = proc(pid)
        time.sleep(5)
        _, after, _ = proc(pid)
        print(f"62 idle clients held ({fds_held} descriptors): server CPU "
              f"{(after - before) * 1000:.0f} ms over 5 s")
        for sock in idle:
            sock.close()
    finally:
        s.close()

    if args.tray:
        measure_tray(bin_dir, server, args.startups)

    # --- paced at 115200 baud ---
    if args.paced <= 0:
        return
    s = Stack(bin_dir, ["--sample", "resident", "--baud", "115200", "-v"], args.shm, server)
    try:
        s.start_server()
        c = Reader(connect())
        first = timed_request(c)
        time.sleep(0.3)  # the simulator logs an exchange after answering it
        first_ex = wire_bytes(s.sim_log())
        lat = [timed_request(c) for _ in range(args.paced)]
        time.sleep(0.3)
        all_ex = wire_bytes(s.sim_log())
        c.sock.close()
        per_read = all_ex[len(first_ex):]
        if len(per_read) != 3 * args.paced:
            raise RuntimeError(f"expected 3 exchanges per read, log has {len(per_read)}")
        wire_first = sum(q + a for _, q, a in first_ex) * 10 / 115200
        wire = sum(q + a for _, q, a in per_read[:3]) * 10 / 115200
        med = statistics.median(lat)
        print("paced at 115200 baud: exchanges of the first read " +
              ", ".join(f"{n} {q}+{a}" for n, q, a in first_ex) +
              f"; later reads " + ", ".join(f"{n} {q}+{a}" for n, q, a in per_read[:3]))
        print(f"  first read {first * 1000:.1f} ms against {wire_first * 1000:.1f} ms wire "
              f"({first / wire_first:.3f} x)")
        print(f"  {args.paced} reads: median {med * 1000:.1f} ms, p99 {pct(lat, 99) * 1000:.1f} ms "
              f"against {wire * 1000:.1f} ms wire: {med / wire:.3f} x median, "
              f"{pct(lat, 99) / wire:.3f} x p99 (load {load()})")
    finally:
        s.close()


if __name__ == "__main__":
    sys.exit(main())
