"""One build of talvex-server against another (a cross-built one under
emulation against the machine's own): each card kind and a failure must give
the same body, byte for byte. TALVEX_REFERENCE_BIN_DIR names the other
build's folder; each build reads through its own stand-in decoder."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import RESULT_TEXT, Workspace  # noqa: E402

REFERENCE_DIR = os.environ.get("TALVEX_REFERENCE_BIN_DIR", "")
READS = (("--sample", "resident"), ("--sample", "foreign"), ("--sample", "hmt"), ("--no-card",))


class SameBodies(unittest.TestCase):
    def bodies(self, exe):
        ws = Workspace()
        self.addCleanup(ws.close)
        ws.start_server(exe=exe)
        out = []
        for args in READS:
            sim = ws.start_sim(*args)
            out.append(ws.request().body)
            ws.stop_sim(sim)
        return out

    def test_each_card_kind_and_a_failure_give_the_same_body(self):
        self.assertTrue(REFERENCE_DIR, "TALVEX_REFERENCE_BIN_DIR not set")
        built = self.bodies(harness.binary("talvex-server"))
        reference = self.bodies(os.path.join(REFERENCE_DIR, "talvex-server"))
        self.assertTrue(built[0].decode().startswith(RESULT_TEXT["resident"]), built[0][:120])
        self.assertEqual(built[3].decode(), "128|寻卡失败")
        for args, a, b in zip(READS, built, reference):
            with self.subTest(read=" ".join(args)):
                self.assertEqual(len(a), len(b))
                self.assertEqual(a, b)


if __name__ == "__main__":
    unittest.main()
