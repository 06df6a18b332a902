#!/usr/bin/env bash
# Runs the real talvex-server without arguments and checks which face it
# shows: the desktop shell when Qt has a platform, the headless server when
# no display can be reached. Each run gets a free port of its own (--port N),
# must answer on it, end with exit code 0 on SIGTERM and leave the port free.
#   desktop_e2e_test.sh PATH/TO/talvex-server
set -uo pipefail
server=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/talvex-desktop.XXXXXX")
pid=
cleanup() {
  [[ -n $pid ]] && kill -KILL "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  [[ -f $work/out ]] && sed 's/^/  stdout: /' "$work/out" >&2
  exit 1
}

# shellcheck source=server_run.sh
source "$(dirname "$0")/server_run.sh"

# run NAME EXPECTED_STDOUT_PATTERN [VAR=VALUE...] [-- ARGUMENTS...]
# (an empty pattern: stdout must stay empty; PORT in it stands for the port of
# the run)
run() {
  local name=$1 pattern=$2
  shift 2
  local vars=() args=()
  while [[ $# -gt 0 && $1 != -- ]]; do vars+=("$1"); shift; done
  [[ $# -gt 0 ]] && shift
  args=("$@")
  mkdir -p "$work/runtime-$name"
  : >"$work/out"
  serve_and_stop "$name" "$work/out" "$work/err" \
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR="$work/runtime-$name" \
    "${vars[@]}" "$server" "${args[@]}"
  pattern=${pattern//PORT/$port}
  if [[ -z $pattern ]]; then
    [[ ! -s $work/out ]] || fail "$name: the desktop shell printed to stdout"
  else
    grep -q "$pattern" "$work/out" || fail "$name: stdout lacks '$pattern'"
  fi
  echo "ok: $name"
}

# A display number nobody serves.
n=90
while [[ -e /tmp/.X11-unix/X$n ]]; do n=$((n + 1)); done

run desktop-offscreen "" QT_QPA_PLATFORM=offscreen
run unreachable-display "^Talvex listening on port PORT$" DISPLAY=:$n
run no-display "^Talvex listening on port PORT$"
run headless-flag-on-desktop "^Talvex listening on port PORT$" QT_QPA_PLATFORM=offscreen -- --headless
echo "desktop dispatch checks passed"
