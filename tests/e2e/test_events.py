"""End-to-end tests of GET /events: the event stream beside /readCard, with
the reader simulator toggling its card by SIGUSR1."""

import os
import re
import signal
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import Workspace, read_response  # noqa: E402

EVENTS_REQUEST = b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
# A select card frame of a probe or a read, answered "no card" (0x81).
NO_CARD_SELECT = re.compile(r"frame .*cmd=20 param=02 .*code=129 ")


class EventStream:
    """A client of /events: the header block, then one event at a time."""

    def __init__(self, port, origin=None, rcvbuf=None):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.settimeout(10)
        self.sock.connect((harness.HOST, port))
        request = EVENTS_REQUEST
        if origin:
            request = request.replace(b"\r\n\r\n", b"\r\nOrigin: " + origin.encode() + b"\r\n\r\n")
        self.sock.sendall(request)
        self.buffer = b""

    def head(self, timeout=10):
        deadline = time.monotonic() + timeout
        while b"\r\n\r\n" not in self.buffer:
            self._fill(deadline)
        head, _, self.buffer = self.buffer.partition(b"\r\n\r\n")
        return head.decode() + "\r\n"

    def _fill(self, deadline):
        left = deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError
        self.sock.settimeout(left)
        chunk = self.sock.recv(65536)
        if not chunk:
            raise ConnectionError("stream closed")
        self.buffer += chunk

    def next_event(self, timeout):
        """(event, data) of the next event, comments skipped; None when none
        comes within `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while True:
            while b"\n\n" not in self.buffer:
                try:
                    self._fill(deadline)
                except (TimeoutError, socket.timeout):
                    return None
            block, _, self.buffer = self.buffer.partition(b"\n\n")
            fields = {}
            for line in block.decode().split("\n"):
                if line.startswith(":"):
                    continue
                name, _, value = line.partition(": ")
                fields[name] = value
            if fields:
                return fields.get("event"), fields.get("data")

    def close(self):
        self.sock.close()


class EventsCase(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()
        self.addCleanup(self.ws.close)

    def stream(self, **kwargs):
        s = EventStream(self.ws.port, **kwargs)
        self.addCleanup(s.close)
        return s

    def open_stream(self):
        s = self.stream()
        head = s.head()
        self.assertTrue(head.startswith("HTTP/1.1 200 OK\r\n"), head)
        self.assertIn("\r\nContent-Type: text/event-stream\r\n", head)
        self.assertIn("\r\nCache-Control: no-cache\r\n", head)
        self.assertIn("\r\naccess-control-allow-origin: *\r\n", head)
        return s

    def no_card_selects(self, server):
        return len(NO_CARD_SELECT.findall(self.ws.server_log(server)))

    def wait_for_no_card_probe(self, server, after):
        """Waits until the server's probes have seen the reader without a card."""
        deadline = time.monotonic() + 10
        while self.no_card_selects(server) <= after:
            self.assertLess(time.monotonic(), deadline, "no probe saw the card lifted")
            time.sleep(0.02)

    def lift_and_place(self, sim, server):
        seen = self.no_card_selects(server)
        sim.send_signal(signal.SIGUSR1)
        self.wait_for_no_card_probe(server, seen)
        sim.send_signal(signal.SIGUSR1)

    def assertNoCardEvent(self, s, seconds):
        deadline = time.monotonic() + seconds
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return
            event = s.next_event(left)
            self.assertIsNone(event, "an event came where none was due")


class Placement(EventsCase):
    def check_placements(self, *sim_args):
        sim = self.ws.start_sim("--no-card", *sim_args)
        server = self.ws.start_server(args=("--verbose",))
        s = self.open_stream()
        self.assertNoCardEvent(s, 3)

        sim.send_signal(signal.SIGUSR1)  # the card is placed
        event = s.next_event(10)
        self.assertIsNotNone(event)
        self.assertEqual(event[0], "card")
        self.assertTrue(event[1].startswith(harness.RESULT_TEXT["resident"]), event[1][:80])
        # Left in place: no second event.
        self.assertNoCardEvent(s, 5)
        # Lifted and placed again: a second event, the same card.
        self.lift_and_place(sim, server)
        second = s.next_event(10)
        self.assertEqual(second, event)
        return sim, server, event

    def test_one_card_event_per_placement_with_the_read_card_body(self):
        _, _, event = self.check_placements()
        # The card still rests: /readCard answers with the event's data.
        r = self.ws.request()
        self.assertEqual(r.text(), event[1])

    def test_one_card_event_per_placement_on_a_reader_that_finds_a_card_once(self):
        sim, server, event = self.check_placements("--lift-after-read")
        # A stream opened now gets nothing: this reader no longer finds the
        # card that was read, until it is lifted and placed again.
        late = self.open_stream()
        self.assertNoCardEvent(late, 1)
        self.lift_and_place(sim, server)
        self.assertEqual(late.next_event(10), event)

    def test_a_stream_opened_while_a_card_rests_gets_it_once(self):
        self.ws.start_sim()
        self.ws.start_server()
        first = self.open_stream()
        event = first.next_event(10)
        self.assertEqual(event[0], "card")
        second = self.open_stream()
        self.assertEqual(second.next_event(10), event)
        self.assertNoCardEvent(first, 1)
        self.assertNoCardEvent(second, 1)


class ReaderGone(EventsCase):
    def test_an_unplugged_reader_is_told_once_and_the_next_card_is_sent(self):
        sim = self.ws.start_sim()
        self.ws.start_server()
        s = self.open_stream()
        self.assertEqual(s.next_event(10)[0], "card")
        self.ws.stop_sim(sim)
        self.assertEqual(s.next_event(10), ("error", "1|打开端口失败"))
        self.assertNoCardEvent(s, 1)
        self.ws.start_sim()  # back on the same port, a card on it
        event = s.next_event(10)
        self.assertEqual(event[0], "card")


class Refusals(EventsCase):
    def test_a_refused_origin_gets_290_and_no_stream(self):
        self.ws.start_sim()
        self.ws.start_server(args=("--allow-origin", "https://clinic.example", "--verbose"))
        s = self.stream(origin="https://other.example")
        r = read_response(s.sock)
        self.assertIn(b"\r\nContent-Type: text/plain;charset=utf-8\r\n", r.head)
        self.assertEqual(r.text(), "290|请求来源不被允许")
        self.assertTrue(harness.nothing_arrives(s.sock, 1))
        allowed = self.stream(origin="https://clinic.example")
        head = allowed.head()
        self.assertIn("\r\naccess-control-allow-origin: https://clinic.example\r\n", head)
        self.assertEqual(allowed.next_event(10)[0], "card")

    def test_a_wrong_host_gets_291_and_the_connection_ends(self):
        self.ws.start_sim()
        self.ws.start_server()
        with self.ws.connect() as c:
            c.sendall(EVENTS_REQUEST.replace(b"Host: 127.0.0.1", b"Host: attacker.example"))
            r = read_response(c)
            self.assertEqual(r.text(), "291|请求主机不被允许")
            c.settimeout(10)
            self.assertEqual(c.recv(1), b"")

    def test_a_stream_that_never_reads_is_closed_and_an_honest_client_served(self):
        sim = self.ws.start_sim()
        server = self.ws.start_server(args=("--verbose", "--poll-ms", "100"))
        silent = self.stream(rcvbuf=4096)
        honest = self.open_stream()
        self.assertEqual(honest.next_event(10)[0], "card")
        with self.ws.connect() as c:
            c.sendall(harness.CARD_REQUEST)
            self.assertEqual(read_response(c).text()[:2], "0|")
            descriptors = harness.fd_count(server.pid)
            # Each placement queues a card event that the silent stream never
            # takes, until the server gives up on it.
            placements = 0
            while harness.fd_count(server.pid) == descriptors:
                self.assertLess(placements, 100, "the silent stream is still open")
                c.sendall(harness.CARD_REQUEST)
                r = read_response(c)
                self.assertEqual(r.text()[:2], "0|")
                self.lift_and_place(sim, server)
                self.assertEqual(honest.next_event(10)[0], "card")
                placements += 1
            self.assertEqual(harness.fd_count(server.pid), descriptors - 1)
            c.sendall(harness.CARD_REQUEST)
            self.assertEqual(read_response(c).text()[:2], "0|")
        # What reached the silent client ends with the connection's end.
        silent.sock.settimeout(10)
        while silent.sock.recv(1 << 20):
            pass


class Shutdown(EventsCase):
    def test_sigterm_with_ten_streams_exits_0_at_once_and_leaves_no_photo_file(self):
        self.ws.start_sim()
        server = self.ws.start_server()
        streams = [self.open_stream() for _ in range(10)]
        for s in streams:
            self.assertEqual(s.next_event(10)[0], "card")
        self.assertNotEqual(self.photo_files(), [])
        server.send_signal(signal.SIGTERM)
        server.wait(2)  # raises when it has not ended within 2 s
        self.assertEqual(server.returncode, 0)
        self.assertEqual(self.photo_files(), [])

    def photo_files(self):
        return [n for _, _, names in os.walk(self.ws.runtime) for n in names
                if n.startswith("image.")]


if __name__ == "__main__":
    unittest.main()
