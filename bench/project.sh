#!/usr/bin/env bash
# A project on the gateway under load: 200 tags on two TCP devices (modbus-sim
# and the pymodbus slave, each its own bus) polled every 100 ms, published to
# a loopback mosquitto broker.
#
#   bench/project.sh [SECONDS]     (default 300)
#
# Reports values per second (tag readings published), poll jitter (spacing of
# one tag's consecutive reads against 100 ms, p50/p95/max), the gateway's CPU
# and RSS over the run, and the end-to-end latency from a register write on
# the device to the MQTT message carrying the new value (one write a second).
set -euo pipefail
. "$(dirname "$0")/lib.sh"

seconds=${1:-300}
for tool in mosquitto mosquitto_sub curl; do
  command -v "$tool" >/dev/null || { echo "project.sh: $tool is missing" >&2; exit 1; }
done
app=${BRIO_APP_DIR:-$BENCH_ROOT/build/app}

wait_line() { # file pattern
  local _
  for _ in $(seq 1 200); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "project.sh: no '$2' in $1" >&2
  cat "$1" >&2
  return 1
}

# The two devices and the broker.
"$app/modbus-sim" --host 127.0.0.1 --port 0 --quiet >"$BENCH_WORK/sim.log" 2>&1 &
BENCH_PIDS+=($!)
wait_line "$BENCH_WORK/sim.log" 'listening on'
sim_port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$BENCH_WORK/sim.log")
"$BENCH_PYTHON" "$BENCH_ROOT/tests/support/peers/pymodbus_slave.py" --tcp 127.0.0.1:0 >"$BENCH_WORK/peer.log" 2>&1 &
BENCH_PIDS+=($!)
wait_line "$BENCH_WORK/peer.log" '^ready'
peer_port=$(sed -n 's/^port \([0-9]*\)$/\1/p' "$BENCH_WORK/peer.log")

broker_port=$(free_port)
{
  echo "listener $broker_port 127.0.0.1"
  echo "allow_anonymous true"
  [ "$(id -u)" = 0 ] && echo "user root"
} >"$BENCH_WORK/mosquitto.conf"
mosquitto -c "$BENCH_WORK/mosquitto.conf" >"$BENCH_WORK/mosquitto.log" 2>&1 &
BENCH_PIDS+=($!)
for _ in $(seq 1 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$broker_port") 2>/dev/null && break
  sleep 0.05
done

export XDG_DATA_HOME=$BENCH_WORK/data
start_gateway "readTimeout=60000
[mqtt]
host=127.0.0.1
port=$broker_port
clientId=brio-bench
topicPrefix=bench
[logging]
directory=$BENCH_WORK/logs"
api="http://127.0.0.1:$GW_PORT/ajax.html"
proof='X-Requested-With: XMLHttpRequest'

# Per device: 50 float32 tags from 1000 and 50 int16 tags from 1100, so each
# poll cycle reads two coalesced blocks per device. Tag dev1_i0 (register
# 1100 on modbus-sim) is the one the latency writes go to.
"$BENCH_PYTHON" - "$sim_port" "$peer_port" >"$BENCH_WORK/project.json" <<'PY'
import json, sys
devices, tags = [], []
for d, port in (("dev1", sys.argv[1]), ("dev2", sys.argv[2])):
    devices.append({"name": d, "connType": "tcp", "ipAddres_tcp": "127.0.0.1", "port_tcp": int(port),
                    "slaveID": 1, "timeout": 1000})
    for i in range(50):
        tags.append({"name": f"{d}_f{i}", "device": d, "table": "holding", "regAddr": 1000 + 2 * i,
                     "regType": "float", "valSize": 32, "pollMs": 100})
    for i in range(50):
        tags.append({"name": f"{d}_i{i}", "device": d, "table": "holding", "regAddr": 1100 + i, "pollMs": 100})
print(json.dumps({"devices": devices, "tags": tags}))
PY
# Multipart, as the page sends it: 200 tags outgrow a form-encoded request.
curl -fsS -H "$proof" "$api" -F func=saveProject -F name=bench -F "json=<$BENCH_WORK/project.json" \
  >"$BENCH_WORK/save.txt"
grep -q '"ok"' "$BENCH_WORK/save.txt" || { cat "$BENCH_WORK/save.txt" >&2; exit 1; }

stdbuf -oL mosquitto_sub -h 127.0.0.1 -p "$broker_port" -q 1 -t 'bench/bench/+' -F '%U %t %p' \
  >"$BENCH_WORK/mqtt.txt" 2>"$BENCH_WORK/sub.log" &
BENCH_PIDS+=($!)
sleep 0.5
curl -fsS -H "$proof" "$api?func=startProject&name=bench" >/dev/null
sleep 2 # the first reads and connections settle

clk=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$GW_PID/stat"; }
start_ticks=$(cpu_ticks)
start_time=$(date +%s.%N)

# About one write a second to modbus-sim's register 1100 (tag dev1_i0), by a client
# of its own, stamped just before it is sent.
"$BENCH_PYTHON" - "$sim_port" "$seconds" >"$BENCH_WORK/writes.txt" <<'PY' &
import random, socket, struct, sys, time
port, seconds = int(sys.argv[1]), float(sys.argv[2])
end = time.time() + seconds
value = 1
while time.time() < end - 1.5:
    value = value % 30000 + 1
    with socket.create_connection(("127.0.0.1", port)) as s:
        stamp = time.time()
        s.sendall(struct.pack(">HHHBBHH", value, 0, 6, 1, 6, 1100, value))
        s.recv(64)
    print(f"{stamp:.6f} {value}", flush=True)
    time.sleep(random.uniform(0.9, 1.1))  # every phase of the poll period
PY
writer=$!
BENCH_PIDS+=($writer)

peak_rss=0
: >"$BENCH_WORK/rss.txt"
end=$((SECONDS + seconds))
while [ $SECONDS -lt $end ]; do
  read -r rss _ _ < <(proc_figures "$GW_PID")
  echo "$rss" >>"$BENCH_WORK/rss.txt"
  [ "$rss" -gt "$peak_rss" ] && peak_rss=$rss
  sleep 1
done
end_ticks=$(cpu_ticks)
end_time=$(date +%s.%N)
read -r end_rss threads fds < <(proc_figures "$GW_PID")
wait "$writer" 2>/dev/null || true
status=$(curl -fsS -H "$proof" "$api?func=getMqttStatus")
curl -fsS -H "$proof" "$api?func=stopProject" >/dev/null
sleep 0.5

"$BENCH_PYTHON" - "$BENCH_WORK" "$start_time" "$end_time" "$start_ticks" "$end_ticks" "$clk" \
  "$peak_rss" "$end_rss" "$threads" "$status" <<'PY'
import json, os, statistics, sys
work, t0, t1 = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
ticks, clk = int(sys.argv[5]) - int(sys.argv[4]), int(sys.argv[6])
peak, end_rss, threads, status = int(sys.argv[7]), int(sys.argv[8]), sys.argv[9], sys.argv[10]
seen, reads, arrivals = 0, {}, {}
with open(os.path.join(work, "mqtt.txt")) as f:
    for line in f:
        parts = line.split(" ", 2)
        if len(parts) < 3:
            continue
        when, topic = float(parts[0]), parts[1]
        if not t0 <= when <= t1:
            continue
        try:
            p = json.loads(parts[2])
        except ValueError:
            continue
        tag = topic.rsplit("/", 1)[1]
        seen += 1
        if p.get("q") == "ok" and p.get("t") is not None:
            reads.setdefault(tag, set()).add(p["t"])
            if tag == "dev1_i0":
                arrivals.setdefault(p["v"], when)
def pct(values, q):
    values = sorted(values)
    return values[min(len(values) - 1, int(q * len(values)))] if values else float("nan")
jitter = []
for times in reads.values():
    times = sorted(times)
    jitter += [abs(b - a - 100) for a, b in zip(times, times[1:])]
latency = []
with open(os.path.join(work, "writes.txt")) as f:
    for line in f:
        stamp, value = line.split()
        if int(value) in arrivals:
            latency.append((arrivals[int(value)] - float(stamp)) * 1000)
span = t1 - t0
total_reads = sum(len(t) for t in reads.values())
print(f"run {span:.0f} s, {len(reads)} tags seen, gateway threads {threads}")
print(f"values/s: {total_reads / span:.0f} tag reads ({total_reads / span / max(1, len(reads)):.2f} per tag), "
      f"{seen / span:.0f} MQTT messages")
print(f"poll jitter |interval - 100 ms|: p50 {pct(jitter, .5):.1f} ms, p95 {pct(jitter, .95):.1f} ms, "
      f"max {max(jitter) if jitter else float('nan'):.1f} ms")
print(f"CPU: {100 * ticks / clk / span:.1f} % of one core; RSS peak {peak / 1024:.1f} MiB, end {end_rss / 1024:.1f} MiB")
print(f"register write -> MQTT message: {len(latency)} writes, p50 {pct(latency, .5):.0f} ms, "
      f"p95 {pct(latency, .95):.0f} ms, max {max(latency) if latency else float('nan'):.0f} ms")
print(f"getMqttStatus: {status}")
PY
