"""The talvex-card library in headless Chromium against the real server, from
a page that counts as the public internet: blocked without the user's
permission, a typed card with it, not-running once the service is stopped."""

import os
import subprocess
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(here))
import harness  # noqa: E402
from pages import Pages  # noqa: E402

SECURE_HOST = "site.talvex.test"


def check(url, service_port, expect, grant=False):
    args = ["node", os.path.join(here, "client-check.mjs"), url, str(service_port), expect]
    r = subprocess.run(args + (["grant"] if grant else []), cwd=here, timeout=120)
    if r.returncode != 0:
        raise SystemExit(f"browser check '{expect}' of {url} failed")


def main():
    ws = harness.Workspace()
    pages = Pages(SECURE_HOST)
    try:
        url = f"https://{SECURE_HOST}:{pages.https_port}/examples/web/module.html"
        ws.start_sim("--sample", "resident")
        server = ws.start_server()
        check(url, ws.port, "blocked")
        check(url, ws.port, "card", grant=True)
        harness.stop(server)
        ws.processes.remove(server)
        harness.wait_for_port_free(ws.port, 60)
        check(url, ws.port, "not-running", grant=True)
        print("3 passed, 0 failed")
    finally:
        pages.close()
        ws.close()


if __name__ == "__main__":
    main()
