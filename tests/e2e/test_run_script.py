"""scripts/run --demo against the build under test: the simulator and the
server come up together, a card is answered, and Ctrl-C stops both."""

import os
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import RESULT_TEXT, jpeg_size, photo_of, request  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class DemoScript(unittest.TestCase):
    def test_demo_answers_a_card_and_ctrl_c_stops_everything(self):
        harness.wait_for_port_free(180)
        env = dict(os.environ)
        env["TALVEX_BUILD_DIR"] = os.path.dirname(harness.BIN_DIR)
        env["TALVEX_RUN_SKIP_SETUP"] = "1"  # this build exists; deps and build are not retried
        for k in ("DISPLAY", "WAYLAND_DISPLAY", "TALVEX_PORTS"):
            env.pop(k, None)
        p = subprocess.Popen([os.path.join(ROOT, "scripts", "run"), "--demo", "hmt"], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             start_new_session=True)
        try:
            r = None
            deadline = time.monotonic() + 30
            while r is None and time.monotonic() < deadline:
                try:
                    r = request()
                except OSError:
                    time.sleep(0.1)
            self.assertIsNotNone(r, "no answer from the demo")
            text = r.text()
            self.assertTrue(text.startswith(RESULT_TEXT["hmt"]), text[:200])
            self.assertEqual(jpeg_size(photo_of(text, RESULT_TEXT["hmt"])), (102, 126))
            children = subprocess.run(["pgrep", "-s", str(p.pid)], capture_output=True,
                                      text=True).stdout.split()
            self.assertGreaterEqual(len(children), 3)  # the script, the simulator, the server
            # Ctrl-C reaches the script (its children ignore SIGINT as background jobs).
            os.kill(p.pid, signal.SIGINT)
            p.wait(30)
            out = p.stdout.read().decode()
            self.assertEqual(p.returncode, 130, out)
            left = subprocess.run(["pgrep", "-s", str(p.pid)], capture_output=True,
                                  text=True).stdout.split()
            self.assertEqual(left, [], out)
            self.assertTrue(harness.wait_for_port_free(5))
        finally:
            if p.poll() is None:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait()
            p.stdout.close()


if __name__ == "__main__":
    unittest.main()
