#!/usr/bin/env bash
# Static-file throughput and latency of Brio next to nginx on the same files.
#
#   bench/http.sh [APP_DIR]       APP_DIR defaults to build/app
#   DURATION=5s CONNECTIONS="1 10 50 100" bench/http.sh
#
# Both servers listen on loopback only. Everything started here is stopped by
# its PID on exit.
set -euo pipefail

app=${1:-${BRIO_APP_DIR:-$(cd "$(dirname "$0")/.." && pwd)/build/app}}
export BRIO_APP_DIR=$app
duration=${DURATION:-5s}
connections=${CONNECTIONS:-"1 10 50 100"}
threads=${WRK_THREADS:-2}

for tool in wrk nginx curl python3; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done

# shellcheck source=bench/lib.sh
. "$(dirname "$0")/lib.sh"
work=$BENCH_WORK
chmod 755 "$work" # nginx workers may run as another user

# Document root: a 1 KiB and a 64 KiB file (both within the program's cache).
docroot=$work/docroot
mkdir -p "$docroot"
head -c 1024 /dev/urandom | base64 -w 0 | head -c 1024 > "$docroot/small.txt"
head -c 65536 /dev/urandom > "$docroot/big.bin"
echo '<html></html>' > "$docroot/index.html"

# Brio: a private copy of the program directory with its own config.ini.
start_gateway "minThreads=4
maxThreads=200
cleanupInterval=60000
readTimeout=60000
maxRequestSize=16000
maxMultiPartSize=10000000" "$docroot"
brio_port=$GW_PORT

# nginx: a minimal configuration of its own on the same files.
nginx_port=$(free_port)
mkdir -p "$work/nginx/logs"
cat > "$work/nginx/nginx.conf" <<CONF
daemon off;
worker_processes auto;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 65;
  keepalive_requests 1000000;
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$nginx_port;
    root $docroot;
  }
}
CONF
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" -e "$work/nginx/logs/error.log" 2>/dev/null &
BENCH_PIDS+=($!)

wait_http "http://127.0.0.1:$nginx_port/small.txt"

# wrk prints "Requests/sec: N" and a latency distribution; latencies are turned into ms.
run_wrk() { # url connections -> "rps p50 p99"
  local out t=$threads
  ((t > $2)) && t=$2
  # The header the gateway's API asks for; static files and nginx ignore it.
  out=$(wrk -t"$t" -c"$2" -d"$duration" --latency -H 'X-Requested-With: XMLHttpRequest' "$1" 2>&1 || true)
  echo "$out" >> "$work/wrk.log"
  python3 - "$out" <<'PY'
import re, sys
text = sys.argv[1]
def ms(v):
    m = re.match(r"([\d.]+)(us|ms|s)", v)
    if not m: return float("nan")
    n, u = float(m.group(1)), m.group(2)
    return n / 1000 if u == "us" else n * 1000 if u == "s" else n
rps = re.search(r"Requests/sec:\s+([\d.]+)", text)
p50 = re.search(r"\s50%\s+(\S+)", text)
p99 = re.search(r"\s99%\s+(\S+)", text)
errors = re.search(r"Non-2xx or 3xx responses: (\d+)", text)
print(rps.group(1) if rps else "nan", ms(p50.group(1)) if p50 else "nan", ms(p99.group(1)) if p99 else "nan",
      errors.group(1) if errors else "0")
PY
}

printf '%-28s %5s | %10s %8s %8s | %10s %8s %8s | %6s %6s\n' \
  "resource" "conns" "Brio req/s" "p50 ms" "p99 ms" "nginx r/s" "p50 ms" "p99 ms" "rps %" "p99 x"
for file in small.txt big.bin; do
  for c in $connections; do
    read -r b_rps b_p50 b_p99 b_err < <(run_wrk "http://127.0.0.1:$brio_port/$file" "$c")
    read -r n_rps n_p50 n_p99 n_err < <(run_wrk "http://127.0.0.1:$nginx_port/$file" "$c")
    python3 - "$file" "$c" "$b_rps" "$b_p50" "$b_p99" "$n_rps" "$n_p50" "$n_p99" "$b_err" <<'PY'
import sys
f, c, br, b50, b99, nr, n50, n99, berr = sys.argv[1:]
br, b50, b99, nr, n50, n99 = map(float, (br, b50, b99, nr, n50, n99))
ratio = 100 * br / nr if nr else float("nan")
lat = b99 / n99 if n99 else float("nan")
note = "" if berr == "0" else f"  ({berr} non-2xx)"
print(f"{f:<28} {c:>5} | {br:>10.0f} {b50:>8.2f} {b99:>8.2f} | {nr:>10.0f} {n50:>8.2f} {n99:>8.2f} | {ratio:>5.0f}% {lat:>5.1f}x{note}")
PY
  done
done

for c in $connections; do
  read -r b_rps b_p50 b_p99 b_err < <(run_wrk "http://127.0.0.1:$brio_port/ajax.html?func=getGeneralInfo" "$c")
  printf '%-28s %5s | %10.0f %8.2f %8.2f |%s\n' "ajax getGeneralInfo" "$c" "$b_rps" "$b_p50" "$b_p99" \
    "$([ "$b_err" = 0 ] || echo " ($b_err non-2xx)")"
done
