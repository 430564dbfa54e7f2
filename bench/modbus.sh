#!/usr/bin/env bash
# readRegisters over HTTP through the gateway versus a plain libmodbus read
# loop, both against the same loopback slave.
#
#   bench/modbus.sh [BUILD_DIR] [CALLS] [FAST_SECONDS]   (defaults: build, 200, 5)
#
# First run, the shipped settings against the pymodbus slave: the gateway
# pauses 100 ms before every read and connects afresh for each; its overhead
# is the per-call time less that pause and less the plain connect-read-close
# time.
# Fast run, [modbus] pauseMs=0 and tcpKeepOpen=true against modbus-sim: 125
# registers a call over one kept HTTP connection (wrk), against the libmodbus
# loop on one kept Modbus connection and the bare HTTP round trip. The goal is
# gateway time per call <= libmodbus read + HTTP round trip + 150 us.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
calls=${2:-200}
fast_seconds=${3:-5}
pause_ms=100
xhr='X-Requested-With: XMLHttpRequest'

for tool in cc curl python3 pkg-config wrk; do
  command -v "$tool" >/dev/null || { echo "modbus.sh: $tool is missing" >&2; exit 1; }
done
[ -x "$build/app/Brio" ] || { echo "modbus.sh: $build/app/Brio is not built" >&2; exit 1; }

work=$(mktemp -d)
slave_pid=""
brio_pid=""
sim_pid=""
fast_pid=""
cleanup() {
  for pid in $fast_pid $brio_pid $sim_pid $slave_pid; do
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

# A private copy of build/app in DIR with its own listener port, settings
# store and the given [group] key=value lines.
#   configure DIR PORT [GROUP/KEY=VALUE...]
configure() {
  local dir=$1 port=$2
  shift 2
  cp -r "$build/app" "$dir"
  python3 - "$dir/config.ini" "listener/host=127.0.0.1" "listener/port=$port" "$@" <<'PY'
import re, sys
path, settings = sys.argv[1], sys.argv[2:]
text = open(path).read()
for setting in settings:
    name, value = setting.split("=", 1)
    group, key = name.split("/")
    section = re.search(r"^\[%s\][^\[]*" % group, text, re.M)
    body = section.group(0)
    if re.search(r"^%s=" % key, body, re.M):
        body = re.sub(r"^%s=.*$" % key, "%s=%s" % (key, value), body, flags=re.M)
    else:
        body = body.replace("[%s]\n" % group, "[%s]\n%s=%s\n" % (group, key, value), 1)
    text = text[:section.start()] + body + text[section.end():]
open(path, "w").write(text)
PY
  mkdir -p "$dir/xdg"
}

# Starts the gateway copied to DIR; sets started_pid.
start_brio() {
  local dir=$1 port=$2
  (cd "$dir" && QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$dir/xdg" exec ./Brio -r >"$dir/brio.log" 2>&1) &
  started_pid=$!
  for _ in $(seq 1 200); do
    curl -s -o /dev/null -H "$xhr" "http://127.0.0.1:$port/ajax.html?func=getGeneralInfo" && return 0
    kill -0 "$started_pid" 2>/dev/null || { echo "modbus.sh: Brio ended early:" >&2; cat "$dir/brio.log" >&2; exit 1; }
    sleep 0.05
  done
}

http_port=$(free_port)
configure "$work/app" "$http_port"
start_brio "$work/app" "$http_port"
brio_pid=$started_pid
base="http://127.0.0.1:$http_port/ajax.html"

reply=$(curl -s -H "$xhr" "$base?func=connect&connType=tcp&ipAddres_tcp=127.0.0.1&port_tcp=$slave_port&slaveID=1&timeout=1000")
[ "$reply" = '{"ok":"Connected with Modbus TCP."}' ] || { echo "modbus.sh: connect replied: $reply" >&2; exit 1; }
read_url="$base?func=readRegisters&regAddr=0&valuesCnt=10"
reply=$(curl -s -H "$xhr" "$read_url")
[ "$reply" = '[1,2,3,4,5,6,7,8,9,-1]' ] || { echo "modbus.sh: readRegisters replied: $reply" >&2; exit 1; }

# All calls on one kept-alive connection, as the browser makes them.
args=()
for _ in $(seq 1 "$calls"); do
  args+=(-o /dev/null -w '%{time_total}\n' "$read_url")
done
curl -s -H "$xhr" "${args[@]}" >"$work/gateway.times"

"$work/modbusloop" 127.0.0.1 "$slave_port" "$calls" 10 >"$work/plain.txt"
cat "$work/plain.txt"
plain_us=$(sed -n 's/^probe and connect per read after 100 ms: .* median_us \([0-9.]*\) .*/\1/p' "$work/plain.txt")
sleep_us=$(sed -n 's/^100 ms sleep overshoot: .* median_us \([0-9.]*\) .*/\1/p' "$work/plain.txt")

# The HTTP layer alone: a call the router answers without the engine.
args=()
for _ in $(seq 1 "$calls"); do
  args+=(-o /dev/null -w '%{time_total}\n' "$base?func=noSuchFunction")
done
curl -s -H "$xhr" "${args[@]}" | sort -n | awk '{ t[NR] = $1 * 1e6 } END {
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

# ---- Fast run ----
"$build/app/modbus-sim" --host 127.0.0.1 --port 0 --quiet >"$work/sim.log" 2>&1 &
sim_pid=$!
wait_for_line "$work/sim.log" 'listening on' "$sim_pid"
sim_port=$(sed -n 's/^modbus-sim listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/sim.log")
fast_port=$(free_port)
configure "$work/fast" "$fast_port" modbus/pauseMs=0 modbus/tcpKeepOpen=true
start_brio "$work/fast" "$fast_port"
fast_pid=$started_pid
fast="http://127.0.0.1:$fast_port/ajax.html"
reply=$(curl -s -H "$xhr" "$fast?func=connect&connType=tcp&ipAddres_tcp=127.0.0.1&port_tcp=$sim_port&slaveID=1&timeout=1000")
[ "$reply" = '{"ok":"Connected with Modbus TCP."}' ] || { echo "modbus.sh: fast connect replied: $reply" >&2; exit 1; }
fast_read="$fast?func=readRegisters&regAddr=0&valuesCnt=125&regType=uint"
reply=$(curl -s -H "$xhr" "$fast_read")
case "$reply" in
  \[*,1234,*) ;;
  *) echo "modbus.sh: fast readRegisters replied: $reply" >&2; exit 1 ;;
esac

# Median latency in us of one wrk run over one kept connection.
wrk_median_us() {
  wrk -t1 -c1 -d"${fast_seconds}s" --latency -H "$xhr" "$1" | tee -a "$work/wrk.txt" | awk '
    /^ +50% / { v = $2; u = v; sub(/[0-9.]+/, "", u); sub(/[a-z]+$/, "", v)
                f = (u == "ms") ? 1000 : (u == "s") ? 1000000 : (u == "us") ? 1 : 0.001; print v * f }'
}
loop_iterations=$(( fast_seconds * 10000 ))
"$work/modbusloop" 127.0.0.1 "$sim_port" "$loop_iterations" 125 kept >"$work/fast-plain.txt"
libmodbus_us=$(sed -n 's/^kept connection: .* median_us \([0-9.]*\) .*/\1/p' "$work/fast-plain.txt")
http_us=$(wrk_median_us "$fast?func=noSuchFunction")
gateway_us=$(wrk_median_us "$fast_read")
awk -v g="$gateway_us" -v m="$libmodbus_us" -v h="$http_us" 'BEGIN {
  budget = m + h + 150
  printf "fast run (pauseMs=0, tcpKeepOpen=true, 125 registers, kept connections, medians):\n"
  printf "  libmodbus read on a kept connection: %.1f us\n", m
  printf "  HTTP round trip without the engine: %.1f us\n", h
  printf "  gateway readRegisters per call: %.1f us (%.2f x the libmodbus read)\n", g, g / m
  printf "  gateway less libmodbus read less HTTP round trip: %.1f us\n", g - m - h
  printf "  ratio gateway / (libmodbus + HTTP + 150 us): %.2f (%s)\n", g / budget, g <= budget ? "goal met" : "OVER the goal"
}'
