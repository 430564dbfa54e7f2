#!/usr/bin/env bash
# Bus scan time: units 1-247 at 50 ms per probe over a pty line whose only
# slave (pymodbus) answers unit 17, through the gateway's startScan and
# getScanStatus. The floor is 246 silent probes x 50 ms.
#
#   bench/scan.sh [APP_DIR] [TIMEOUT_MS] [BAUD]     (defaults: build/app, 50, 115200)
set -euo pipefail

app=${1:-${BRIO_APP_DIR:-$(cd "$(dirname "$0")/.." && pwd)/build/app}}
export BRIO_APP_DIR=$app
probe_ms=${2:-50}
baud=${3:-115200}

for tool in socat curl python3; do
  command -v "$tool" >/dev/null || { echo "scan.sh: $tool is missing" >&2; exit 1; }
done

# shellcheck source=bench/lib.sh
. "$(dirname "$0")/lib.sh"
work=$BENCH_WORK

socat -d -d "pty,raw,echo=0,link=$work/a" "pty,raw,echo=0,link=$work/b" 2>"$work/socat.log" &
BENCH_PIDS+=("$!")
for _ in $(seq 1 100); do [ -e "$work/a" ] && [ -e "$work/b" ] && break; sleep 0.05; done

"$BENCH_PYTHON" "$BENCH_ROOT/tests/support/peers/pymodbus_slave.py" --serial "$work/a" --baud "$baud" --unit 17 \
  >"$work/slave.log" 2>&1 &
BENCH_PIDS+=("$!")
for _ in $(seq 1 100); do grep -q '^ready' "$work/slave.log" && break; sleep 0.05; done

BENCH_EXTRA_PORTS=$work/b start_gateway "readTimeout=60000"
ajax="http://127.0.0.1:$GW_PORT/ajax.html"
xhr="X-Requested-With: XMLHttpRequest"
baud_list=$baud

run_scan() { # query -> prints "ms status-json"
  local query=$1 started status
  curl -fs -H "$xhr" "$ajax?func=startScan&$query" | grep -q '"Scan started"' || { echo "scan.sh: startScan refused" >&2; exit 1; }
  started=$(date +%s%N)
  for _ in $(seq 1 6000); do
    status=$(curl -fs -H "$xhr" "$ajax?func=getScanStatus")
    case $status in *'"running":false'*) break ;; esac
    sleep 0.02
  done
  echo "$(( ($(date +%s%N) - started) / 1000000 )) $status"
}

echo "serial, 247 units at $probe_ms ms per probe, $baud_list baud, slave at unit 17:"
read -r ms status < <(run_scan "connType=serial&portSelect=$work/b&bauds=$baud_list&modes=3&units=1-247&timeoutMs=$probe_ms")
awk -v ms="$ms" -v p="$probe_ms" 'BEGIN { printf "  %.2f s (floor %.2f s), %.1f ms per probe\n", ms / 1000, 246 * p / 1000, ms / 247 }'
echo "  $status"
