#!/usr/bin/env bash
# Installs this folder's npm packages (package-lock.json) once. The browser
# tests start side by side under ctest -j, so the install runs under a lock
# and counts as done only when npm finished: a second test waits for the
# first one's install instead of starting one of its own over it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
stamp="$here/node_modules/.talvex-installed"
exec 9> "$here/.npm-install.lock"
flock 9
if [[ ! -e $stamp || "$here/package-lock.json" -nt $stamp ]]; then
  (cd "$here" && npm ci --no-audit --no-fund --ignore-scripts)
  touch "$stamp"
fi
