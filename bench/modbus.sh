#!/usr/bin/env bash
# readRegisters over HTTP through the gateway versus a plain libmodbus read
# loop, both against the same loopback pymodbus slave.
#
#   bench/modbus.sh [BUILD_DIR] [CALLS]     (defaults: build, 200)
#
# The gateway pauses 100 ms before every read by design; its overhead is the
# per-call time less that pause and less the plain connect-read-close time.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
calls=${2:-200}
pause_ms=100

for tool in cc curl python3 pkg-config; do
  command -v "$tool" >/dev/null || { echo "modbus.sh: $tool is missing" >&2; exit 1; }
done
[ -x "$build/app/Brio" ] || { echo "modbus.sh: $build/app/Brio is not built" >&2; exit 1; }

work=$(mktemp -d)
slave_pid=""
brio_pid=""
cleanup() {
  for pid in $brio_pid $slave_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Waits until the given file holds a line matching the pattern.
wait_for_line() {
  local file=$1 pattern=$2 pid=$3
  for _ in $(seq 1 200); do
    grep -q "$pattern" "$file" 2>/dev/null && return 0
    kill -0 "$pid" 2>/dev/null || { echo "modbus.sh: process $pid ended early:" >&2; cat "$file" >&2; return 1; }
    sleep 0.05
  done
  echo "modbus.sh: gave up waiting for '$pattern'" >&2
  return 1
}

cc -O2 -Wall -Wextra "$root/bench/modbusloop.c" -o "$work/modbusloop" $(pkg-config --cflags --libs libmodbus)

# The slave, with something other than zeros to read; the system interpreter
# carries the Debian pymodbus even when another python3 comes first in PATH.
slave_python=python3
[ -x /usr/bin/python3 ] && slave_python=/usr/bin/python3
"$slave_python" "$root/tests/support/peers/pymodbus_slave.py" --tcp 127.0.0.1:0 \
  --set 0=1,1=2,2=3,3=4,4=5,5=6,6=7,7=8,8=9,9=65535 >"$work/slave.log" 2>&1 &
slave_pid=$!
wait_for_line "$work/slave.log" '^ready' "$slave_pid"
slave_port=$(sed -n 's/^port \([0-9]*\)$/\1/p' "$work/slave.log")

# The gateway from a private copy of build/app with its own listener port and settings.
cp -r "$build/app" "$work/app"
http_port=$(free_port)
python3 - "$work/app/config.ini" "$http_port" <<'PY'
import re, sys
path, port = sys.argv[1], sys.argv[2]
text = open(path).read()
section = re.search(r"^\[listener\][^\[]*", text, re.M)
body = section.group(0)
for key, value in (("host", "127.0.0.1"), ("port", port)):
    if re.search(r"^%s=" % key, body, re.M):
        body = re.sub(r"^%s=.*$" % key, "%s=%s" % (key, value), body, flags=re.M)
    else:
        body = body.replace("[listener]\n", "[listener]\n%s=%s\n" % (key, value), 1)
open(path, "w").write(text[:section.start()] + body + text[section.end():])
PY
mkdir -p "$work/xdg"
QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$work/xdg" "$work/app/Brio" -r >"$work/brio.log" 2>&1 &
brio_pid=$!
base="http://127.0.0.1:$http_port/ajax.html"
proof="X-Requested-With: XMLHttpRequest"
for _ in $(seq 1 200); do
  curl -s -o /dev/null -H "$proof" "$base?func=getGeneralInfo" && break
  kill -0 "$brio_pid" 2>/dev/null || { echo "modbus.sh: Brio ended early:" >&2; cat "$work/brio.log" >&2; exit 1; }
  sleep 0.05
done

reply=$(curl -s -H "$proof" "$base?func=connect&connType=tcp&ipAddres_tcp=127.0.0.1&port_tcp=$slave_port&slaveID=1&timeout=1000")
[ "$reply" = '{"ok":"Connected with Modbus TCP."}' ] || { echo "modbus.sh: connect replied: $reply" >&2; exit 1; }
read_url="$base?func=readRegisters&regAddr=0&valuesCnt=10"
reply=$(curl -s -H "$proof" "$read_url")
[ "$reply" = '[1,2,3,4,5,6,7,8,9,-1]' ] || { echo "modbus.sh: readRegisters replied: $reply" >&2; exit 1; }

# All calls on one kept-alive connection, as the browser makes them.
args=()
for _ in $(seq 1 "$calls"); do
  args+=(-o /dev/null -w '%{time_total}\n' "$read_url")
done
curl -s -H "$proof" "${args[@]}" >"$work/gateway.times"

"$work/modbusloop" 127.0.0.1 "$slave_port" "$calls" 10 >"$work/plain.txt"
cat "$work/plain.txt"
plain_us=$(sed -n 's/^probe and connect per read after 100 ms: .* median_us \([0-9.]*\) .*/\1/p' "$work/plain.txt")
sleep_us=$(sed -n 's/^100 ms sleep overshoot: .* median_us \([0-9.]*\) .*/\1/p' "$work/plain.txt")

# The HTTP layer alone: a call the router answers without the engine.
args=()
for _ in $(seq 1 "$calls"); do
  args+=(-o /dev/null -w '%{time_total}\n' "$base?func=noSuchFunction")
done
curl -s -H "$proof" "${args[@]}" | sort -n | awk '{ t[NR] = $1 * 1e6 } END {
  printf "HTTP round trip without the engine: calls %d median_us %.1f\n", NR, t[int((NR + 1) / 2)] }'

sort -n "$work/gateway.times" | awk -v pause="$pause_ms" -v plain="$plain_us" -v sleep_over="$sleep_us" '
  { t[NR] = $1 * 1e6; sum += t[NR] }
  END {
    n = NR; mean = sum / n; median = t[int((n + 1) / 2)]
    printf "gateway readRegisters: calls %d mean_us %.1f median_us %.1f min_us %.1f\n", n, mean, median, t[1]
    printf "gateway per call less the %d ms pause: median_us %.1f\n", pause, median - pause * 1000
    over = median - pause * 1000 - plain
    own = over - sleep_over
    printf "gateway overhead per call (median, less the pause and the same probe-connect-read-close after a pause): %.1f us\n", over
    printf "  the system oversleeping the pause: %.1f us\n", sleep_over
    printf "  the gateway code itself: %.1f us (%s)\n", own, own < 1000 ? "under 1 ms" : "OVER 1 ms"
  }'
