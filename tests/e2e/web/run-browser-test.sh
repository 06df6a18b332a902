#!/usr/bin/env bash
# Runs one browser test of this folder (web_test.py, client_test.py, policy_test.py) in
# headless Chromium; exit 77 (skipped) without chromium or node.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [[ ! -x /usr/bin/chromium ]]; then
  echo "SKIPPED: /usr/bin/chromium is not installed (run tests/e2e/web/setup.sh)"
  exit 77
fi
if ! command -v node > /dev/null; then
  echo "SKIPPED: node is not installed"
  exit 77
fi
"$here/node-modules.sh"
exec python3 "$here/$1"
