"""Serves examples/web from its own origin and has headless Chromium read a
card through it (on request, and waiting for one over the event stream and
by polling), see a failure, and see the hint when the service is down."""

import os
import socket
import subprocess
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(here))
import harness  # noqa: E402


def main():
    examples = os.environ["TALVEX_EXAMPLES_DIR"]
    shots = os.environ.get("TALVEX_WEB_SCREENSHOTS", "")
    ws = harness.Workspace()
    page_server = None
    try:
        port = harness.free_port()
        page_server = subprocess.Popen(
            [sys.executable, "-m", "http.server", str(port), "--bind", "127.0.0.1",
             "--directory", examples],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                break
            except OSError:
                time.sleep(0.05)

        def check(mode):
            url = f"http://127.0.0.1:{port}/index.html?port={ws.port}"
            shot = os.path.join(shots, f"web-{mode}.png") if shots else ""
            r = subprocess.run(["node", os.path.join(here, "page-check.mjs"), url, mode, shot],
                               cwd=here, timeout=120)
            if r.returncode != 0:
                raise SystemExit(f"browser check '{mode}' failed")

        sim = ws.start_sim("--sample", "resident")
        server = ws.start_server()
        check("card")
        check("wait")
        check("wait-poll")
        ws.stop_sim(sim)
        ws.start_sim("--no-card")
        check("failure")
        harness.stop(server)
        ws.processes.remove(server)
        harness.wait_for_port_free(ws.port, 60)
        check("down")
        print("5 passed, 0 failed")
    finally:
        if page_server:
            page_server.terminate()
            page_server.wait()
        ws.close()


if __name__ == "__main__":
    main()
