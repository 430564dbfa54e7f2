"""Modbus faults seen through a running gateway on loopback (run by
bench/modbusfaults.sh):
 A. the slave (modbus-sim) is killed while a client polls readRegisters, then
    restarted on the same port: the replies meanwhile and the recovery time;
 B. a slave that accepts and never answers: what the reads get, and how
    static files and getGeneralInfo are served meanwhile.
Every process and socket started here is ended here.
"""
import argparse
import collections
import http.client
import socket
import subprocess
import sys
import threading
import time


def ajax(port, query, timeout=60.0):
    start = time.monotonic()
    try:
        c = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
        c.request("GET", "/ajax.html?" + query, headers={"X-Requested-With": "XMLHttpRequest"})
        r = c.getresponse()
        body = r.read().decode(errors="replace")
        c.close()
        text = body if r.status == 200 else "HTTP %d %s" % (r.status, body.strip())
    except OSError as e:
        text = "error: %s" % e.__class__.__name__
    return text, time.monotonic() - start


def fetch(port, path, timeout=30.0):
    start = time.monotonic()
    try:
        c = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
        c.request("GET", path)
        r = c.getresponse()
        r.read()
        c.close()
        status = r.status
    except OSError as e:
        status = e.__class__.__name__
    return status, time.monotonic() - start


def wait_port(port, limit=10.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


def connect_query(slave_port, timeout_ms):
    return ("func=connect&connType=tcp&ipAddres_tcp=127.0.0.1&slaveID=1&port_tcp=%d&timeout=%d"
            % (slave_port, timeout_ms))


READ = "func=readRegisters&regAddr=0&valuesCnt=4"


def start_sim(sim, port):
    p = subprocess.Popen([sim, "--host", "127.0.0.1", "--port", str(port), "--quiet"],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not wait_port(port):
        p.kill()
        p.wait()
        raise SystemExit("modbus-sim did not listen on %d" % port)
    return p


def summarize(label, calls):
    if not calls:
        print("  %-16s no calls" % label)
        return
    # Register values change as the demo slave counts; they count as one kind.
    counts = collections.Counter("[...] (values)" if text.startswith("[") else text for _, text, _ in calls)
    durations = [d for _, _, d in calls]
    print("  %-16s %d calls, %.2f-%.2f s each" % (label, len(calls), min(durations), max(durations)))
    for text, n in counts.most_common():
        print("      %3d x %s" % (n, text[:90]))


def case_killed(gw, sim, slave_port, before, outage, after, timeout_ms):
    print("A. slave killed while polling readRegisters, restarted after %.0f s" % outage)
    p = start_sim(sim, slave_port)
    try:
        print("  connect: %s" % ajax(gw, connect_query(slave_port, timeout_ms))[0])
        calls = []
        stop = threading.Event()

        def poll():
            while not stop.is_set():
                t = time.monotonic()
                text, d = ajax(gw, READ)
                calls.append((t, text, d))

        poller = threading.Thread(target=poll)
        poller.start()
        time.sleep(before)
        p.kill()
        p.wait()
        t_kill = time.monotonic()
        time.sleep(outage)
        p = start_sim(sim, slave_port)
        t_restart = time.monotonic()
        end = t_restart + after
        recovered = None
        while time.monotonic() < end:
            time.sleep(0.05)
            if recovered is None:
                for t, text, d in list(calls):
                    if t >= t_restart and text.startswith("["):
                        recovered = t + d - t_restart
                        break
        stop.set()
        poller.join()
        summarize("before the kill:", [c for c in calls if c[0] + c[2] < t_kill])
        summarize("slave down:", [c for c in calls if c[0] + c[2] >= t_kill and c[0] < t_restart])
        summarize("restarted:", [c for c in calls if c[0] >= t_restart])
        if recovered is None:
            print("  NOT RECOVERED within %.0f s of the restart" % after)
        else:
            print("  recovery: first good reply %.2f s after the restart" % recovered)
        return recovered is not None
    finally:
        p.kill()
        p.wait()


def case_silent(gw, timeout_ms, watch):
    print("B. a slave that accepts and never answers (timeout %d ms)" % timeout_ms)
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 0))
    server.listen(16)
    port = server.getsockname()[1]
    held = []
    stop = threading.Event()

    def accept():
        server.settimeout(0.2)
        while not stop.is_set():
            try:
                c, _ = server.accept()
                held.append(c)   # read nothing, answer nothing
            except OSError:
                pass

    acceptor = threading.Thread(target=accept)
    acceptor.start()
    try:
        print("  connect: %s" % ajax(gw, connect_query(port, timeout_ms))[0])
        reads = []

        def read_once():
            t = time.monotonic()
            text, d = ajax(gw, READ)
            reads.append((t, text, d))

        first = threading.Thread(target=read_once)
        first.start()
        time.sleep(0.5)
        second = threading.Thread(target=read_once)
        second.start()
        served = {"/index.html": [], "/ajax.html?func=getGeneralInfo": []}
        end = time.monotonic() + watch
        while time.monotonic() < end and (first.is_alive() or second.is_alive()):
            for path, results in served.items():
                results.append(fetch(gw, path))
            time.sleep(0.1)
        first.join()
        second.join()
        t0 = min(t for t, _, _ in reads)
        for t, text, d in sorted(reads):
            print("  readRegisters started at +%.2f s: %.2f s, %s" % (t - t0, d, text[:80]))
        ok = True
        for path, results in served.items():
            if not results:
                continue
            good = sum(1 for s, _ in results if s == 200)
            worst = max(d for _, d in results)
            print("  %-32s %d of %d served with 200 while the reads hung, slowest %.3f s"
                  % (path, good, len(results), worst))
            ok = ok and good == len(results)
        return ok
    finally:
        stop.set()
        acceptor.join()
        for c in held:
            c.close()
        server.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True, help="the gateway's port")
    ap.add_argument("--sim", required=True, help="path of modbus-sim")
    ap.add_argument("--slave-port", type=int, required=True)
    ap.add_argument("--timeout-ms", type=int, default=1000)
    a = ap.parse_args()
    ok_a = case_killed(a.port, a.sim, a.slave_port, before=3, outage=5, after=15, timeout_ms=a.timeout_ms)
    ok_b = case_silent(a.port, a.timeout_ms, watch=60)
    print("summary: killed slave %s, silent slave %s"
          % ("recovered" if ok_a else "NOT recovered", "others served" if ok_b else "others NOT served"))
    return 0 if ok_a and ok_b else 1


if __name__ == "__main__":
    sys.exit(main())
