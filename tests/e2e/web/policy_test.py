"""Browser policies in real Chromium: pages of the site's allowed origins,
made public (--ip-address-space-overrides), are blocked before
`talvex-server --browser-policy install`, read the card in a new browser
after it (an https:// origin and an http:// one), and are blocked again
after `--browser-policy remove`. Writes /etc/chromium, /etc/opt/chrome and
/etc/opt/edge, so it needs root; it removes what it wrote (and the folders
it made) and exits 77 (skipped) elsewhere."""

import json
import os
import subprocess
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(here))
import harness  # noqa: E402
from client_test import check  # noqa: E402
from pages import Pages  # noqa: E402

SECURE_HOST = "site.talvex.test"
INSECURE_HOST = "ward.talvex.test"
MANAGED = ["/etc/chromium/policies/managed", "/etc/opt/chrome/policies/managed",
           "/etc/opt/edge/policies/managed"]
# Another administrator's policy file, which Talvex must leave as it is.
OTHER = "/etc/chromium/policies/managed/talvex-test-other.json"
OTHER_TEXT = json.dumps({"DefaultBrowserSettingEnabled": False}) + "\n"


def folders_to_make():
    """The folders install would create, deepest first."""
    missing = []
    for leaf in MANAGED:
        path = leaf
        while path != "/etc" and not os.path.isdir(path):
            if path not in missing:
                missing.append(path)
            path = os.path.dirname(path)
    return sorted(missing, key=len, reverse=True)


def policy(ws, *args):
    r = subprocess.run([harness.binary("talvex-server"), "--browser-policy", *args],
                       env=ws.env(), capture_output=True, text=True, timeout=30)
    print(r.stdout + r.stderr, end="")
    if r.returncode != 0:
        raise SystemExit(f"--browser-policy {' '.join(args)} exited {r.returncode}")
    return r.stdout + r.stderr


def main():
    if os.geteuid() != 0:
        print("SKIPPED: needs root to write the browsers' managed-policy folders under /etc "
              "(CI runs it as root)")
        sys.exit(77)
    for leaf in MANAGED:
        if os.path.exists(os.path.join(leaf, "talvex.json")):
            print(f"SKIPPED: {leaf}/talvex.json exists (an installed policy); not replacing it")
            sys.exit(77)
    made = folders_to_make()
    ws = harness.Workspace()
    pages = Pages(SECURE_HOST)
    secure = f"https://{SECURE_HOST}:{pages.https_port}"
    insecure = f"http://{INSECURE_HOST}:{pages.http_port}"
    urls = [f"{o}/examples/web/module.html" for o in (secure, insecure)]
    try:
        os.makedirs(os.path.dirname(OTHER), exist_ok=True)
        with open(OTHER, "w") as f:
            f.write(OTHER_TEXT)
        origins = ["--allow-origin", secure, "--allow-origin", insecure]
        ws.start_sim("--sample", "resident")
        ws.start_server(args=origins)
        for url in urls:
            check(url, ws.port, "blocked")
        out = policy(ws, "install", *origins)
        if "OverrideSecurityRestrictionsOnInsecureOrigin" not in out or insecure not in out:
            raise SystemExit("no warning for the http:// origin")
        for url in urls:
            check(url, ws.port, "card")
        policy(ws, "remove")
        for url in urls:
            check(url, ws.port, "blocked")
        for leaf in MANAGED:
            if os.path.exists(os.path.join(leaf, "talvex.json")):
                raise SystemExit(f"{leaf}/talvex.json is still there after remove")
        with open(OTHER) as f:
            if f.read() != OTHER_TEXT:
                raise SystemExit(f"{OTHER} was changed")
        print("7 passed, 0 failed")
    finally:
        pages.close()
        ws.close()
        subprocess.run([harness.binary("talvex-server"), "--browser-policy", "remove"],
                       env=ws.env(), capture_output=True, timeout=30)
        if os.path.exists(OTHER):
            os.remove(OTHER)
        for path in made:
            try:
                os.rmdir(path)
            except OSError:
                pass


if __name__ == "__main__":
    main()
