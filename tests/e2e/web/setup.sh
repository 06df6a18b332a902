#!/usr/bin/env bash
# Installs what the browser test needs: Debian's chromium and, from npm,
# playwright-core (which drives it; it downloads no browser of its own) and
# typescript (tsc for the talvex-card typings).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
if [[ ! -x /usr/bin/chromium ]]; then
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends chromium
fi
"$here/node-modules.sh"
