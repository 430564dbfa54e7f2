#!/usr/bin/env bash
# Soak: keep-alive load with wrk on a static file and on getGeneralInfo at
# the same time, sampling the gateway's resident memory, threads and open
# descriptors every 10 s; prints the samples and start, peak and end.
#
#   bench/soak.sh [SECONDS]        default 300
#   CONNECTIONS=100                split evenly between the two URLs
#   INTERVAL=10                    seconds between samples
set -euo pipefail
source "$(dirname "$0")/lib.sh"

duration=${1:-300}
connections=${CONNECTIONS:-100}
interval=${INTERVAL:-10}
for tool in wrk curl; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done

start_gateway "minThreads=4
maxThreads=$((connections + 20))
cleanupInterval=1000
readTimeout=10000
maxRequestSize=16000
maxMultiPartSize=1000000"
base=http://127.0.0.1:$GW_PORT
static=$base/index.html
ajax="$base/ajax.html?func=getGeneralInfo"
curl -fs -H 'X-Requested-With: XMLHttpRequest' "$ajax" >/dev/null || { echo "getGeneralInfo does not answer" >&2; exit 1; }

samples=$BENCH_WORK/samples
printf '%6s %10s %8s %6s\n' "t/s" "RSS/KiB" "threads" "fds"
read -r rss threads fds < <(proc_figures "$GW_PID")
echo "0 $rss $threads $fds" >>"$samples"
printf '%6s %10d %8d %6d  (before the load)\n' "-" "$rss" "$threads" "$fds"

half=$((connections / 2))
echo "soak: ${duration}s, $half connections on $static and $((connections - half)) on getGeneralInfo, pid $GW_PID"
wrk -t1 -c"$half" -d"${duration}s" --timeout 10s --latency "$static" >"$BENCH_WORK/wrk-static.log" 2>&1 &
wrk_static=$!
BENCH_PIDS+=("$wrk_static")
wrk -t1 -c"$((connections - half))" -d"${duration}s" --timeout 10s --latency -H 'X-Requested-With: XMLHttpRequest' "$ajax" >"$BENCH_WORK/wrk-ajax.log" 2>&1 &
wrk_ajax=$!
BENCH_PIDS+=("$wrk_ajax")

t0=$SECONDS
while :; do
  read -r rss threads fds < <(proc_figures "$GW_PID")
  t=$((SECONDS - t0))
  echo "$t $rss $threads $fds" >>"$samples"
  printf '%6d %10d %8d %6d\n' "$t" "$rss" "$threads" "$fds"
  kill -0 "$GW_PID" 2>/dev/null || { echo "soak: the gateway has ended" >&2; tail -20 "$GW_LOG" >&2; exit 1; }
  if ! kill -0 "$wrk_static" 2>/dev/null && ! kill -0 "$wrk_ajax" 2>/dev/null; then
    break
  fi
  sleep "$interval"
done
wait "$wrk_static" "$wrk_ajax" || true
# Once the load is gone and idle handlers are cleaned up.
sleep 3
read -r rss threads fds < <(proc_figures "$GW_PID")
echo "$((SECONDS - t0)) $rss $threads $fds" >>"$samples"
printf '%6d %10d %8d %6d  (after the load)\n' "$((SECONDS - t0))" "$rss" "$threads" "$fds"

awk 'NR == 1 {s2 = $2; s3 = $3; s4 = $4}
     {if ($2 > p2) p2 = $2; if ($3 > p3) p3 = $3; if ($4 > p4) p4 = $4; e2 = $2; e3 = $3; e4 = $4}
     END {printf "RSS KiB  start %d  peak %d  end %d\nthreads  start %d  peak %d  end %d\nfds      start %d  peak %d  end %d\n",
          s2, p2, e2, s3, p3, e3, s4, p4, e4}' "$samples"
for name in static ajax; do
  log=$BENCH_WORK/wrk-$name.log
  printf '%-7s %s req/s, latency avg %s p99 %s, %s requests, errors: %s, non-2xx: %s\n' "$name" \
    "$(sed -n 's/^Requests\/sec: *//p' "$log")" \
    "$(awk '/^ *Latency/ {print $2; exit}' "$log")" \
    "$(awk '$1 == "99%" {print $2}' "$log")" \
    "$(sed -n 's/^ *\([0-9]*\) requests in.*/\1/p' "$log")" \
    "$(sed -n 's/^ *Socket errors: *//p' "$log" | head -1)" \
    "$(sed -n 's/^ *Non-2xx or 3xx responses: *//p' "$log")"
done
curl -fs -o /dev/null -w "after the soak: index.html %{http_code} in %{time_total}s\n" "$static"
