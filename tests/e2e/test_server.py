"""End-to-end tests of talvex-server over loopback, with the reader simulator
on a private port directory and the stand-in photo decoder."""

import os
import re
import signal
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import (  # noqa: E402
    CARD_REQUEST,
    RESULT_TEXT,
    Workspace,
    jpeg_size,
    nothing_arrives,
    photo_of,
    read_response,
    reset_close,
)

# The simulator's card files.
CARDS_DIR = os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "reader-sim", "cards"
)


class ServerCase(unittest.TestCase):
    """A workspace per test; subclasses start what they need."""

    def setUp(self):
        self.ws = Workspace()
        self.addCleanup(self.ws.close)

    def assertWellFormed(self, r):
        self.assertTrue(r.well_formed, r.head)
        self.assertEqual(r.content_length, len(r.body))
        self.assertEqual(r.date, r.modified)
        self.assertRegex(r.date, harness.TIME_RE)

    def assertFailure(self, r, body, length):
        self.assertWellFormed(r)
        self.assertEqual(r.text(), body)
        self.assertEqual(r.content_length, length)


class CardKinds(ServerCase):
    def assertCard(self, r, kind):
        self.assertWellFormed(r)
        text = r.text()
        expected = RESULT_TEXT[kind]
        self.assertTrue(text.startswith(expected), text[:200])
        self.assertEqual(expected.count("|"), 15 if kind == "foreign" else 13)
        jpeg = photo_of(text, expected)
        self.assertIsNotNone(jpeg, "photo text is not plain Base64")
        self.assertEqual(jpeg_size(jpeg), (102, 126))

    def test_each_kind_gives_its_result_text_and_a_102x126_photo(self):
        self.ws.start_server()
        for kind in ("resident", "foreign", "hmt"):
            with self.subTest(kind=kind):
                sim = self.ws.start_sim("--sample", kind)
                self.assertCard(self.ws.request(), kind)
                self.ws.stop_sim(sim)
        # A card-type letter of a kind Talvex cannot decode ("Y", the foreign
        # card issued since December 2023) is no resident card.
        with self.subTest(kind="unknown"):
            sim = self.ws.start_sim("--card", os.path.join(CARDS_DIR, "foreign-2023.ini"))
            self.assertFailure(self.ws.request(), "289|未知错误", 16)
            self.ws.stop_sim(sim)

    def test_two_requests_on_one_connection_and_a_pipelined_burst(self):
        self.ws.start_sim("--sample", "resident")
        self.ws.start_server()
        with self.ws.connect() as s:
            s.sendall(CARD_REQUEST)
            self.assertCard(read_response(s), "resident")
            s.sendall(CARD_REQUEST)
            self.assertCard(read_response(s), "resident")
            # Both requests in one burst: each is answered.
            s.sendall(CARD_REQUEST + CARD_REQUEST)
            self.assertCard(read_response(s), "resident")
            self.assertCard(read_response(s), "resident")


class Faults(ServerCase):
    def test_no_card(self):
        self.ws.start_sim("--no-card")
        self.ws.start_server()
        self.assertFailure(self.ws.request(), "128|寻卡失败", 16)

    def test_no_reader_after_the_whole_scan(self):
        self.ws.start_server()
        self.assertFailure(self.ws.request(timeout=90), "1|打开端口失败", 20)

    def test_decoder_library_missing(self):
        self.ws.start_sim("--sample", "resident")
        self.ws.start_server(exe=self.ws.server_copy_with_decoder(None))
        self.assertFailure(self.ws.request(), "263|相片解码其它错误", 28)

    def test_bitmap_missing_after_decoding(self):
        self.assertTrue(harness.NULL_DECODER_DIR, "TALVEX_NULL_DECODER_DIR not set")
        self.ws.start_sim("--sample", "resident")
        exe = self.ws.server_copy_with_decoder(harness.NULL_DECODER_DIR)
        self.ws.start_server(exe=exe)
        self.assertFailure(self.ws.request(), "285|加载图片失败", 22)


class Connections(ServerCase):
    def setUp(self):
        super().setUp()
        self.ws.start_sim("--no-card")
        self.server = self.ws.start_server()

    def assertServed(self, s):
        self.assertEqual(read_response(s).text(), "128|寻卡失败")

    def test_other_requests_get_no_response_and_the_connection_stays(self):
        with self.ws.connect() as s:
            s.sendall(b"GET /index.html HTTP/1.1\r\n\r\nPOST /readCard HTTP/1.1\r\n"
                      b"Content-Length: 5\r\n\r\nhello")
            self.assertTrue(nothing_arrives(s, 0.5))
            s.sendall(CARD_REQUEST)
            self.assertServed(s)

    def test_partial_line_holds_no_one_and_is_closed_when_its_time_is_over(self):
        # The test server, whose requests have 3 s instead of 15 s.
        self.ws.start_server(exe=harness.binary("talvex-server-fakedev"),
                             args=("--request-ms", "3000"))
        with self.ws.connect() as slow, self.ws.connect() as other:
            slow.sendall(b"GET /readCa")
            self.assertTrue(harness.wait_until_taken(slow))
            start = time.monotonic()
            other.sendall(CARD_REQUEST)
            self.assertServed(other)
            self.assertLess(time.monotonic() - start, 2)
            # The unfinished request is lost when its time is over, and its
            # connection with it: a slow client holds no slot for ever.
            slow.settimeout(30)
            self.assertEqual(slow.recv(1), b"")

    def test_the_63rd_takes_the_place_of_the_one_longest_without_a_request(self):
        held = [self.ws.connect() for _ in range(62)]
        try:
            for s in held[:3]:
                s.sendall(CARD_REQUEST)
                self.assertServed(s)
            extra = self.ws.connect()
            held.append(extra)
            extra.sendall(CARD_REQUEST)
            self.assertServed(extra)
            # The first connection that never sent a request made room; the
            # ones served since then, and the others, stay.
            held[3].settimeout(10)
            self.assertEqual(held[3].recv(1), b"")
            for s in held[:3] + held[4:8]:
                self.assertTrue(nothing_arrives(s, 0.05))
        finally:
            for s in held:
                s.close()

    def test_reset_clients_do_not_end_the_service(self):
        listening = harness.socket_count(self.server.pid)
        s = self.ws.connect()
        s.sendall(b"GET /readCard HT")
        reset_close(s)
        s = self.ws.connect()
        s.sendall(CARD_REQUEST)
        reset_close(s)  # reset while the answer is on its way
        self.assertTrue(harness.wait_for_sockets(self.server, listening), "server died")
        self.assertEqual(self.ws.request().text(), "128|寻卡失败")


class VanishedPeer(ServerCase):
    def test_peer_gone_during_a_long_send_never_kills_the_server(self):
        self.ws.start_sim("--sample", "resident")
        server = self.ws.start_server()
        listening = harness.socket_count(server.pid)
        for _ in range(3):
            s = socket.socket()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
            s.connect((harness.HOST, self.ws.port))
            s.sendall(CARD_REQUEST * 4)
            s.settimeout(30)
            s.recv(1, socket.MSG_PEEK)  # the answer is on its way
            reset_close(s)
        self.assertTrue(harness.wait_for_sockets(server, listening), "server died")
        r = self.ws.request()
        self.assertTrue(r.text().startswith(RESULT_TEXT["resident"]))


class Lifecycle(ServerCase):
    def test_signals_stop_cleanly_with_exit_0(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(sig=sig):
                p = self.ws.start_server()
                listening = harness.socket_count(p.pid)
                with self.ws.connect():  # a connected client does not hold the stop up
                    self.assertTrue(harness.wait_for_sockets(p, listening + 1))
                    self.assertEqual(harness.stop(p, sig), 0)
                self.ws.processes.remove(p)
                self.assertTrue(harness.wait_for_port_free(self.ws.port))

    def test_default_port_is_10012_and_a_taken_port_ends_the_server_with_1(self):
        # The port is held here when it is free. When another program (an
        # installed Talvex, another test run) has it, the server must fail the
        # same way; if that program lets it go in the meantime and the server
        # gets it, the check is made again.
        for _ in range(5):
            holder = socket.socket()
            try:
                holder.bind(("127.0.0.1", harness.DEFAULT_PORT))
                holder.listen()
                held = True
            except OSError:
                held = False
            try:
                p = subprocess.Popen([harness.binary("talvex-server"), "--headless"],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     env=self.ws.env())
                self.ws.processes.append(p)
                try:
                    out, err = p.communicate(timeout=10)
                except subprocess.TimeoutExpired:
                    self.assertFalse(held, "the server runs although port 10012 is taken")
                    harness.stop(p)
                    continue
            finally:
                holder.close()
            self.assertEqual(p.returncode, 1, err)
            self.assertIn(b"could not listen on port 10012: the port is already in use", err)
            self.assertNotIn(b"listening", out)
            return
        self.fail("port 10012 was never held by anyone long enough")

    def test_arguments(self):
        exe = harness.binary("talvex-server")
        env = self.ws.env()
        r = subprocess.run([exe, "--help"], capture_output=True, env=env, timeout=30)
        self.assertEqual(r.returncode, 0)
        for option in (b"--headless", b"--port N", b"--help", b"--version"):
            self.assertIn(option, r.stdout)
        r = subprocess.run([exe, "--version"], capture_output=True, env=env, timeout=30)
        self.assertEqual(r.returncode, 0)
        self.assertRegex(r.stdout, rb"^talvex-server \d+\.\d+\.\d+\n$")
        # Each wrong argument is named on stderr, above the usage.
        for args, named in ((["--bogus"], b"'--bogus'"), (["--port", "0"], b"'0'"),
                            (["--port", "65536"], b"'65536'"), (["--port", "abc"], b"'abc'"),
                            (["--port=12x"], b"'12x'"), (["--headless", "--port"], b"--port")):
            with self.subTest(args=args):
                r = subprocess.run([exe, *args], capture_output=True, env=env, timeout=30)
                self.assertEqual(r.returncode, 2)
                self.assertIn(named, r.stderr.split(b"\n")[0])
                self.assertIn(b"Usage: talvex-server", r.stderr)
                self.assertEqual(r.stdout, b"")


class RequestLog(ServerCase):
    def test_a_verbose_card_read_logs_frames_and_timings_and_no_card_data(self):
        self.ws.start_sim("--sample", "resident")
        server = self.ws.start_server(args=("--verbose",))
        r = self.ws.request()
        self.assertTrue(r.text().startswith(RESULT_TEXT["resident"]))
        self.assertEqual(harness.stop(server), 0)
        log = self.ws.server_log(server)
        stamp = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z"
        self.assertRegex(log, rf"(?m)^{stamp} request client=127\.0\.0\.1:\d+ path=/readCard "
                              r"code=0 transport=serial port=COM7 reader_ms=\d+ photo_ms=\d+ "
                              r"sent=0$")
        self.assertRegex(log, r"(?m)^\S+ candidate transport=serial port=COM1 result=refused "
                              r"reason=does-not-open$")
        self.assertRegex(log, r"(?m)^\S+ candidate transport=serial port=COM7 result=taken "
                              r"reason=probe-answered code=0$")
        # Probe, start-up, find card, select card, read base message.
        frames = re.findall(rf"(?m)^{stamp} frame transport=serial port=COM7 cmd=(..) param=(..) "
                            r"out=1[01] code=\d+ sw=..:..:(..) in=(\d+) data=\d+ ms=\d+$", log)
        self.assertEqual([f[:2] for f in frames], [("12", "ff"), ("61", "ff"), ("20", "01"),
                                                   ("20", "02"), ("30", "01")])
        self.assertEqual(frames[-1][2:], ("90", "1295"))

        # No card field, in any form, and no photo byte.
        self.assertTrue(log.isascii())
        fields = [f for f in RESULT_TEXT["resident"].split("|")[2:] if len(f.encode()) >= 3]
        self.assertGreaterEqual(len(fields), 8)
        # The log's hex digits run together, the time stamps, ports and counts
        # too: a field of one character is four digits that such numbers hold
        # by chance (01:32:13.775 holds 男), so only a field of two or more
        # characters is looked for as hex; a dump of the text block holds those.
        hex_only = re.sub(r"[^0-9a-f]", "", log.lower())
        for field in fields:
            with self.subTest(field=field):
                self.assertNotIn(field, log)
                as_hex = field.encode("utf-16-le").hex()
                if len(as_hex) >= 8:
                    self.assertNotIn(as_hex, hex_only)
        photo = r.text()[len(RESULT_TEXT["resident"]):]
        self.assertNotIn(photo[:24], log)


class SiteSettings(ServerCase):
    def card_request_from(self, origin):
        with self.ws.connect() as s:
            s.sendall(b"GET /readCard HTTP/1.1\r\nOrigin: " + origin + b"\r\n\r\n")
            return read_response(s)

    def test_allowed_origins_are_echoed_and_others_refused(self):
        self.ws.start_sim("--sample", "resident")
        self.ws.start_server(args=("--allow-origin", "https://his.example",
                                   "--allow-origin", "http://127.0.0.1:8080"))
        r = self.card_request_from(b"https://his.example")
        self.assertIn(b"\r\naccess-control-allow-origin: https://his.example\r\nVary: Origin\r\n",
                      r.head)
        self.assertTrue(r.text().startswith(RESULT_TEXT["resident"]))
        # Origins compare exactly: another scheme or port is another origin.
        for other in (b"http://his.example", b"https://his.example:444", b"null"):
            with self.subTest(origin=other):
                r = self.card_request_from(other)
                self.assertEqual(r.text(), "290|请求来源不被允许")
        # A local program sends no Origin: answered as without the option.
        r = self.ws.request()
        self.assertWellFormed(r)
        self.assertTrue(r.text().startswith(RESULT_TEXT["resident"]))

    def test_a_foreign_host_or_a_cross_site_request_never_reaches_the_reader(self):
        self.ws.start_sim("--sample", "resident")
        server = self.ws.start_server(args=("--verbose", "--allow-origin", "https://his.example"))
        port = self.ws.port
        with self.ws.connect() as s:
            # A page of a name made to resolve to this machine: one answer,
            # then the connection ends.
            s.sendall(f"GET /readCard HTTP/1.1\r\nHost: rebind.attacker.example:{port}\r\n\r\n"
                      .encode())
            self.assertEqual(read_response(s).text(), "291|请求主机不被允许")
            s.settimeout(10)
            self.assertEqual(s.recv(1), b"")
        cross = self.ws.request(b"GET /readCard HTTP/1.1\r\nSec-Fetch-Site: cross-site\r\n\r\n")
        self.assertEqual(cross.text(), "290|请求来源不被允许")
        log = self.ws.server_log(server)
        self.assertNotRegex(log, r"(?m) (frame|candidate) ")
        self.assertRegex(log, r"(?m) request client=\S+ path=/readCard code=291 ")
        for host in (f"localhost:{port}", "127.0.0.1", f"[::1]:{port}", None):
            with self.subTest(host=host):
                line = f"Host: {host}\r\n" if host else ""
                r = self.ws.request(f"GET /readCard HTTP/1.1\r\n{line}\r\n".encode())
                self.assertTrue(r.text().startswith(RESULT_TEXT["resident"]), r.text()[:40])

    def run_with_settings(self, text, *args):
        path = os.path.join(self.ws.root, "talvex.conf")
        with open(path, "w") as f:
            f.write(text)
        env = dict(self.ws.env(), TALVEX_CONFIG=path)
        p = subprocess.Popen([harness.binary("talvex-server"), "--headless", *args],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self.ws.processes.append(p)
        return p

    def test_the_settings_file_fills_in_what_the_command_line_leaves_out(self):
        port, other = harness.free_port(), harness.free_port()
        p = self.run_with_settings(f"# the site's port\n port = {port} \n")
        self.assertEqual(p.stdout.readline(), f"Talvex listening on port {port}\n".encode())
        harness.stop(p)
        p = self.run_with_settings(f"port = {port}\n", "--port", str(other))
        self.assertEqual(p.stdout.readline(), f"Talvex listening on port {other}\n".encode())
        harness.stop(p)
        # A wrong line stops the start, named by file and line.
        p = self.run_with_settings(f"port = {port}\nlisten 0.0.0.0\n")
        out, err = p.communicate(timeout=30)
        self.assertEqual(p.returncode, 2, err)
        self.assertIn(b"talvex.conf:2:", err)
        self.assertEqual(out, b"")

    def test_poll_ms_is_taken_from_100_to_5000(self):
        port = harness.free_port()
        p = self.run_with_settings(f"port = {port}\npoll-ms = 5000\n", "--poll-ms", "100")
        self.assertEqual(p.stdout.readline(), f"Talvex listening on port {port}\n".encode())
        harness.stop(p)
        for text, args in ((f"port = {port}\npoll-ms = 5001\n", ()),
                           (f"port = {port}\n", ("--poll-ms", "99"))):
            p = self.run_with_settings(text, *args)
            out, err = p.communicate(timeout=30)
            self.assertEqual(p.returncode, 2, err)
            self.assertIn(b"poll-ms", err)


if __name__ == "__main__":
    unittest.main()
