"""Many card requests against a reader that fails at random: every request is
answered, nothing leaks (valgrind, when installed) and the server holds as
many descriptors afterwards as before."""

import os
import re
import shutil
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import CARD_REQUEST, RESULT_TEXT, Workspace, read_response  # noqa: E402

REQUESTS = int(os.environ.get("TALVEX_LEAK_REQUESTS", "1000"))
CONNECTIONS = 10
FAILURE_RE = re.compile(r"-?\d+\|[^|]+\Z")


class Leaks(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()
        self.addCleanup(self.ws.close)

    def run_requests(self, server, count):
        outcomes = {"card": 0}
        per_connection = max(1, count // CONNECTIONS)
        done = 0
        while done < count:
            with self.ws.connect() as s:
                for _ in range(min(per_connection, count - done)):
                    s.sendall(CARD_REQUEST)
                    r = read_response(s, timeout=120)
                    self.assertTrue(r.well_formed, r.head)
                    self.assertEqual(r.content_length, len(r.body))
                    text = r.text()
                    if text.startswith(RESULT_TEXT["resident"]):
                        outcomes["card"] += 1
                    else:
                        self.assertRegex(text, FAILURE_RE)
                        code = text.split("|")[0]
                        outcomes[code] = outcomes.get(code, 0) + 1
                    done += 1
        self.assertIsNone(server.poll(), "server ended during the run")
        return outcomes

    def check(self, wrapper=(), count=REQUESTS, ready_timeout=20):
        self.ws.start_sim("--sample", "resident", "--random-faults", "7:4")
        server = self.ws.start_server(wrapper=wrapper, ready_timeout=ready_timeout)
        # Warm up: the first request runs the reader detection and loads the
        # decoder library, which stays loaded.
        listening = harness.socket_count(server.pid)
        with self.ws.connect() as s:
            s.sendall(CARD_REQUEST)
            read_response(s, timeout=120)
        # Until the server has dropped the warm-up connection.
        self.assertTrue(harness.wait_for_sockets(server, listening, timeout=60))
        before = harness.fd_count(server.pid)
        outcomes = self.run_requests(server, count)
        print(f"{count} requests: {outcomes}", file=sys.stderr)
        self.assertGreater(outcomes["card"], count // 2)
        self.assertGreater(len(outcomes), 1, "no reader fault was answered")
        harness.wait_until(lambda: harness.fd_count(server.pid) == before)
        self.assertEqual(harness.fd_count(server.pid), before)
        return server

    def test_random_faults_leave_no_descriptor_behind(self):
        server = self.check()
        self.assertEqual(harness.stop(server), 0)

    def test_random_faults_leak_no_memory_under_valgrind(self):
        valgrind = shutil.which("valgrind")
        if not valgrind:
            self.skipTest("valgrind is not installed")
        log = os.path.join(self.ws.root, "valgrind.log")
        wrapper = (
            valgrind,
            "--leak-check=full",
            "--errors-for-leak-kinds=definite,indirect",
            "--show-leak-kinds=definite,indirect",
            "--error-exitcode=99",
            f"--log-file={log}",
        )
        count = int(os.environ.get("TALVEX_VALGRIND_REQUESTS", str(REQUESTS)))
        server = self.check(wrapper=wrapper, count=count, ready_timeout=120)
        code = harness.stop(server, timeout=120)
        with open(log, encoding="utf-8", errors="replace") as f:
            report = f.read()
        self.assertEqual(code, 0, report[-4000:])
        self.assertIn("ERROR SUMMARY: 0 errors", report, report[-4000:])


if __name__ == "__main__":
    unittest.main()
