#!/usr/bin/env bash
# Modbus faults through the gateway: the slave killed while polled and
# restarted (replies, recovery time), and a slave that accepts but never
# answers while static files and getGeneralInfo keep being requested.
#
#   bench/modbusfaults.sh           TIMEOUT_MS=1000 (the connect's timeout)
set -euo pipefail
source "$(dirname "$0")/lib.sh"

sim=${BRIO_APP_DIR:-$BENCH_ROOT/build/app}/modbus-sim
[ -x "$sim" ] || { echo "no modbus-sim at $sim (cmake --build build first)" >&2; exit 1; }
start_gateway "minThreads=4
maxThreads=50
cleanupInterval=1000
readTimeout=60000
maxRequestSize=16000
maxMultiPartSize=1000000"
echo "gateway pid $GW_PID on port $GW_PORT"
status=0
"$BENCH_PYTHON" "$BENCH_ROOT/bench/modbusfaults.py" --port "$GW_PORT" --sim "$sim" \
  --slave-port "$(free_port)" --timeout-ms "${TIMEOUT_MS:-1000}" || status=$?
kill -0 "$GW_PID" 2>/dev/null || { echo "the gateway has ended" >&2; status=1; }
exit $status
