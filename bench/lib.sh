# Shared by the bench scripts (sourced): a private run of the gateway on a
# free loopback port, waiting for it, process figures, and clean-up of every
# process started here by its PID.

BENCH_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BENCH_PIDS=()
BENCH_WORK=$(mktemp -d /tmp/brio-bench.XXXXXX)
# The system interpreter carries Debian's python3-* packages.
BENCH_PYTHON=python3
[ -x /usr/bin/python3 ] && BENCH_PYTHON=/usr/bin/python3

bench_cleanup() {
  local pid
  for pid in "${BENCH_PIDS[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${BENCH_PIDS[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  [ -n "${BENCH_KEEP:-}" ] || rm -rf "$BENCH_WORK"
}
trap bench_cleanup EXIT
trap 'exit 130' INT TERM

free_port() {
  "$BENCH_PYTHON" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

wait_http() { # url
  local _
  for _ in $(seq 1 150); do
    curl -fs -o /dev/null "$1" && return 0
    sleep 0.1
  done
  echo "no answer from $1" >&2
  return 1
}

# start_gateway LISTENER_LINES [DOCROOT]: a private copy of build/app with its
# own config.ini and settings store; sets GW_PID, GW_PORT, GW_APP, GW_LOG.
# BENCH_EXTRA_PORTS lists serial devices (pty ends) the gateway may open.
start_gateway() {
  local listener=$1 docroot=${2:-}
  local app=${BRIO_APP_DIR:-$BENCH_ROOT/build/app}
  [ -x "$app/Brio" ] || { echo "no program at $app/Brio (cmake --build build first)" >&2; exit 1; }
  GW_APP=$BENCH_WORK/app
  rm -rf "$GW_APP"
  cp -a "$app" "$GW_APP"
  GW_PORT=$(free_port)
  [ -n "$docroot" ] || docroot=$GW_APP/www
  cat > "$GW_APP/config.ini" <<INI
[listener]
host=127.0.0.1
port=$GW_PORT
$listener

[docroot]
path=$docroot
encoding=UTF-8
maxAge=60000
cacheTime=60000
cacheSize=1000000
maxCachedFileSize=65536

[modbus]
extraPorts=${BENCH_EXTRA_PORTS:-}

[other]
INI
  mkdir -p "$BENCH_WORK/xdg"
  GW_LOG=$BENCH_WORK/brio.log
  (cd "$GW_APP" && QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$BENCH_WORK/xdg" exec ./Brio -r \
    >"$GW_LOG" 2>&1) &
  GW_PID=$!
  BENCH_PIDS+=("$GW_PID")
  wait_http "http://127.0.0.1:$GW_PORT/index.html" || { tail -20 "$GW_LOG" >&2; exit 1; }
}

# proc_figures PID -> "rss_kib threads fds"
proc_figures() {
  local rss threads fds
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null)
  threads=$(awk '/^Threads:/ {print $2}' "/proc/$1/status" 2>/dev/null)
  fds=$(ls "/proc/$1/fd" 2>/dev/null | wc -l)
  echo "${rss:-0} ${threads:-0} ${fds:-0}"
}
