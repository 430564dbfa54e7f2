#!/usr/bin/env bash
# Builds Brio if needed and starts it on the shipped configuration
# (build/app/config.ini), with the demo Modbus slave on 127.0.0.1:1502.
set -euo pipefail
cd "$(dirname "$0")"

scripts/setup
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)"

app=build/app
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  # No desktop: the tray is invisible but the gateway still serves.
  export QT_QPA_PLATFORM=offscreen
fi

sim_pid=""
brio_pid=""
cleanup() {
  for pid in $brio_pid $sim_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The value of key $2 in group [$1] of the shipped config.ini.
setting() {
  sed -n "/^\[$1\]/,/^\[/{s/^$2=//p}" "$app/config.ini" | head -n1 | tr -d '[:space:]'
}

if [ -x "$app/modbus-sim" ]; then
  # The demo slave answers "Search devices" on the port the gateway asks on
  # (bound to loopback, where the shipped config sends the search).
  discovery=$(setting discovery port)
  "$app/modbus-sim" --host 127.0.0.1 --port 1502 --discovery-port "${discovery:-30303}" --quiet &
  sim_pid=$!
  echo "run.sh: demo Modbus TCP slave on 127.0.0.1:1502, found by device search on UDP port ${discovery:-30303} (pid $sim_pid)"
fi

port=$(setting listener port)
echo "run.sh: Brio serves http://127.0.0.1:${port:-8080}/ (Ctrl+C or the tray's Quit ends it)"
# In the background so that a signal to this script ends both programs at once.
"$app/Brio" "$@" &
brio_pid=$!
set +e
wait "$brio_pid"
status=$?
brio_pid=""
set -e
exit $status
