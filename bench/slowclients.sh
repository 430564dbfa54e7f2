#!/usr/bin/env bash
# Slow and stuck clients: a pool full of idle connections, a header trickle,
# a body trickle and a client that stops reading a large file. Prints how
# long each takes to be freed and what other clients get during and after.
#
#   bench/slowclients.sh            POOL=10 READ_TIMEOUT_MS=3000
#                                   REQUEST_TIMEOUT_MS=10000 CAP=40 (s per case)
# Exit status 1 when a case was not freed within CAP or the gateway did not
# serve normally afterwards.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

pool=${POOL:-10}
read_ms=${READ_TIMEOUT_MS:-3000}
request_ms=${REQUEST_TIMEOUT_MS:-10000}
command -v ss >/dev/null || { echo "missing: ss (iproute2)" >&2; exit 1; }

start_gateway "minThreads=1
maxThreads=$pool
cleanupInterval=1000
readTimeout=$read_ms
requestTimeout=$request_ms
maxRequestSize=16000
maxMultiPartSize=1000000"
head -c $((64 * 1024 * 1024)) /dev/zero >"$GW_APP/www/large.bin"
echo "gateway pid $GW_PID on port $GW_PORT: maxThreads=$pool readTimeout=${read_ms}ms requestTimeout=${request_ms}ms"

status=0
"$BENCH_PYTHON" "$BENCH_ROOT/bench/slowclients.py" --port "$GW_PORT" --pool "$pool" \
  --read-timeout "$(awk "BEGIN {print $read_ms / 1000}")" \
  --request-timeout "$(awk "BEGIN {print $request_ms / 1000}")" \
  --large large.bin --cap "${CAP:-40}" || status=$?
kill -0 "$GW_PID" 2>/dev/null || { echo "the gateway has ended" >&2; status=1; }
read -r rss threads fds < <(proc_figures "$GW_PID")
echo "gateway at the end: RSS ${rss} KiB, ${threads} threads, ${fds} fds"
exit $status
