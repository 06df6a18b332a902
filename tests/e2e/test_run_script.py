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
from harness import RESULT_TEXT, jpeg_size, photo_of  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def start_demo(env, tries=5):
    """scripts/run --demo hmt on a free port: (process, port) once the port
    answers. A port another program binds before the demo's server does is
    replaced by another one."""
    for _ in range(tries):
        port = harness.free_port()
        p = subprocess.Popen([os.path.join(ROOT, "scripts", "run"), "--demo", "hmt", "--port",
                              str(port)], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.monotonic() + 30
        while p.poll() is None and time.monotonic() < deadline:
            try:
                harness.connect(port, timeout=1).close()
                return p, port
            except OSError:
                time.sleep(0.1)
        if p.poll() is None:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()
        out = p.stdout.read().decode()
        p.stdout.close()
        if "already in use" not in out:
            break
    raise AssertionError(f"no answer from the demo: {out}")


class DemoScript(unittest.TestCase):
    def test_demo_answers_a_card_and_ctrl_c_stops_everything(self):
        env = dict(os.environ)
        env["TALVEX_BUILD_DIR"] = os.path.dirname(harness.BIN_DIR)
        env["TALVEX_RUN_SKIP_SETUP"] = "1"  # this build exists; deps and build are not retried
        for k in ("DISPLAY", "WAYLAND_DISPLAY", "TALVEX_PORTS"):
            env.pop(k, None)
        p, port = start_demo(env)
        try:
            text = harness.request(port).text()
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
            self.assertTrue(harness.wait_for_port_free(port, 5))
        finally:
            if p.poll() is None:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait()
            p.stdout.close()

if __name__ == "__main__":
    unittest.main()
