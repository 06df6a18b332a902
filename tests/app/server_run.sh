# Sourced by the shell tests: one run of a server on a free port of its own,
# from start to SIGTERM. The sourcing script defines fail(); pid names the
# running server (empty when none), so its EXIT trap can kill a server a
# failure left behind; port is the port of the last run.

# A TCP port nobody has bound right now (on the wildcard address, which the
# server binds).
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("0.0.0.0", 0)); print(s.getsockname()[1])'
}

port_answers() { (exec 3<>/dev/tcp/127.0.0.1/"$port") 2>/dev/null; }

# serve_and_stop NAME OUT ERR COMMAND [ARGUMENT...]
# Starts COMMAND --port PORT with stdout in OUT and stderr in ERR; it must
# answer on that port within 10 s, end within 30 s of SIGTERM with exit code 0,
# and leave the port free. When another program binds the port before the
# server does, the server is started again on another one.
pid=
port=
serve_and_stop() {
  local name=$1 out=$2 err=$3 i rc try
  shift 3
  for ((try = 0; try < 5; try++)); do
    port=$(free_port) || fail "$name: no free port"
    "$@" --port "$port" >"$out" 2>"$err" &
    pid=$!
    for ((i = 0; i < 100; i++)); do
      port_answers && break
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && break
    wait "$pid" || true
    pid=
    grep -q "already in use" "$err" || fail "$name: server ended early ($(tr '\n' ' ' <"$err"))"
  done
  [[ -n $pid ]] || fail "$name: every port tried was taken ($(tr '\n' ' ' <"$err"))"
  port_answers || fail "$name: port $port does not answer"
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
  port_answers && fail "$name: port $port still answers after the end"
  return 0
}
