#!/usr/bin/env bash
# Peak memory of the gateway under hostile update servers and devices: a
# 300 MiB module file, a 200 MiB update-check answer, and 1500 spoofed
# discovery replies (with 60 KiB names, and small ones). Each case runs in a
# fresh gateway; the figure is the growth of its VmHWM over the idle start.
#
#   bench/engines.sh [APP_DIR]      APP_DIR defaults to build/app
#
# Everything listens on loopback; every process started here is stopped by
# its PID on exit.
set -euo pipefail

app=${1:-${BRIO_APP_DIR:-$(cd "$(dirname "$0")/.." && pwd)/build/app}}
export BRIO_APP_DIR=$app
for tool in curl python3; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done

# shellcheck source=bench/lib.sh
. "$(dirname "$0")/lib.sh"
peers=$BENCH_ROOT/tests/support/peers
work=$BENCH_WORK

hwm() { awk '/^VmHWM:/ {print $2}' "/proc/$1/status"; }

# start_peer VAR COMMAND...: a peer that prints "port N" when ready.
start_peer() {
  local var=$1 log=$work/peer.$RANDOM
  shift
  "$@" >"$log" 2>&1 &
  BENCH_PIDS+=("$!")
  local _
  for _ in $(seq 1 100); do
    grep -q 'port [0-9]' "$log" && break
    sleep 0.1
  done
  printf -v "$var" '%s' "$(grep -o 'port [0-9]*' "$log" | head -1 | cut -d' ' -f2)"
}

# gateway EXTRA_INI: a fresh gateway with these further config.ini groups.
gateway() {
  [ -n "${GW_PID:-}" ] && { kill "$GW_PID" 2>/dev/null || true; wait "$GW_PID" 2>/dev/null || true; }
  start_gateway "minThreads=2
maxThreads=20"
  kill "$GW_PID"; wait "$GW_PID" 2>/dev/null || true
  sed -i '/^\[other\]/d' "$GW_APP/config.ini"
  printf '%s\n[other]\n' "$1" >> "$GW_APP/config.ini"
  rm -rf "$GW_APP/tmp" "$work/tmp"
  (cd "$GW_APP" && QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$work/xdg" XDG_DATA_HOME="$work/data" exec ./Brio -r \
    >"$GW_LOG" 2>&1) &
  GW_PID=$!
  BENCH_PIDS+=("$GW_PID")
  wait_http "http://127.0.0.1:$GW_PORT/index.html"
  BASE=$(hwm "$GW_PID")
}

ajax() { curl -s --max-time 120 "http://127.0.0.1:$GW_PORT/ajax.html?func=$1"; }
report() { # case detail
  local now
  now=$(hwm "$GW_PID")
  printf '%-44s VmHWM growth %7d KiB  %s\n' "$1" $((now - BASE)) "$2"
}

# Update server: module "big" is one generated 300 MiB file.
mkdir -p "$work/upd/lists"
echo '["{base}/gen/314572800/modules/big/f.bin"]' > "$work/upd/lists/big.json"
start_peer UPD_PORT "$BENCH_PYTHON" "$peers/update_server.py" "$work/upd"

run_job() { # label extra-updates-lines
  gateway "[updates]
updateServer=http://127.0.0.1:$UPD_PORT/
$2"
  ajax 'startUpdating&modulesList=%5B%22big%22%5D' >/dev/null
  local status="" _
  for _ in $(seq 1 600); do
    status=$(ajax getUpdateStatus)
    [ "$status" != '{"ok":"In progress"}' ] && break
    sleep 0.2
  done
  report "$1" "$status"
}
run_job "module file 300 MiB (default bounds)" ""
run_job "module file 300 MiB (maxFileSize 400 MiB)" "maxFileSize=419430400
maxJobSize=419430400"

gateway "[updates]
updateServer=http://127.0.0.1:$UPD_PORT/gen/209715200/"
size=$(ajax 'check4Updates&json=%7B%7D' | wc -c)
report "check4Updates answer of 200 MiB" "answer $size bytes"

run_discovery() { # label name-size
  start_peer DEV_PORT "$BENCH_PYTHON" "$peers/discovery_responder.py" --host 127.0.0.1 --port 0 \
    --spoof 1500 --name-size "$2"
  gateway "[discovery]
broadcastAddress=127.0.0.1
port=$DEV_PORT"
  ajax startSearchingDevices >/dev/null
  sleep 4.5
  local answer
  answer=$(ajax getSearchedDevices | wc -c)
  report "$1" "answer $answer bytes"
}
run_discovery "1500 spoofed discovery replies, 60 KiB names" 60000
run_discovery "1500 spoofed discovery replies, small names" 16
