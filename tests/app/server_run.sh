# Sourced by the shell tests: one run of a server on port 10012, from start to
# SIGTERM. The sourcing script defines fail(); pid names the running server
# (empty when none), so its EXIT trap can kill a server a failure left behind.

port_answers() { (exec 3<>/dev/tcp/127.0.0.1/10012) 2>/dev/null; }

# serve_and_stop NAME OUT ERR COMMAND [ARGUMENT...]
# Starts COMMAND with stdout in OUT and stderr in ERR; it must answer on port
# 10012 within 10 s, end within 30 s of SIGTERM with exit code 0, and leave the
# port free.
pid=
serve_and_stop() {
  local name=$1 out=$2 err=$3 i rc
  shift 3
  "$@" >"$out" 2>"$err" &
  pid=$!
  for ((i = 0; i < 100; i++)); do
    port_answers && break
    kill -0 "$pid" 2>/dev/null || fail "$name: server ended early ($(tr '\n' ' ' <"$err"))"
    sleep 0.1
  done
  port_answers || fail "$name: port 10012 does not answer"
  kill -TERM "$pid"
  for ((i = 0; i < 300; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && fail "$name: still running 30 s after SIGTERM"
  rc=0
  wait "$pid" || rc=$?
  pid=
  [[ $rc -eq 0 ]] || fail "$name: exit code $rc after SIGTERM"
  port_answers && fail "$name: port 10012 still answers after the end"
  return 0
}
