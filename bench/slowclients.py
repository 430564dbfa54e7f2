"""Slow and stuck clients against a running gateway on loopback (run by
bench/slowclients.sh). For each case: how long until the gateway frees every
stuck connection, what another client gets meanwhile, and whether the
gateway serves normally afterwards.

A connection counts as freed once the gateway's end of it leaves the
ESTABLISHED state (seen with ss), whatever the client does.
"""
import argparse
import socket
import subprocess
import sys
import time


def established(port):
    """Client ports of the gateway's established connections."""
    out = subprocess.run(["ss", "-Htn", "state", "established", "( sport = :%d )" % port],
                         capture_output=True, text=True, check=False).stdout
    ports = set()
    for line in out.splitlines():
        fields = line.split()
        if len(fields) >= 4:
            ports.add(int(fields[3].rsplit(":", 1)[1]))
    return ports


def fetch(port, path, timeout=15.0):
    """One GET on a new connection: (status or error text, seconds)."""
    start = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.sendall(b"GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Requested-With: XMLHttpRequest\r\n"
                      b"Connection: close\r\n\r\n" % path.encode())
            data = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
        status = data.split(b"\r\n", 1)[0].decode(errors="replace")
        status = " ".join(status.split(" ")[1:]) if status else "no reply"
    except OSError as e:
        status = "error: %s" % e.__class__.__name__
    return status, time.monotonic() - start


def probe(port, label):
    a = fetch(port, "/index.html")
    b = fetch(port, "/ajax.html?func=getGeneralInfo")
    print("  %-22s index.html: %s in %.3f s; getGeneralInfo: %s in %.3f s" % (label, a[0], a[1], b[0], b[1]))
    return a, b


class Stuck:
    """Stuck connections opened at once; records when the gateway frees each."""

    def __init__(self, port, count, rcvbuf=None):
        self.port = port
        self.socks = []
        self.opened = {}
        self.freed = {}
        for _ in range(count):
            s = socket.socket()
            if rcvbuf:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
            s.connect(("127.0.0.1", port))
            s.setblocking(False)
            cport = s.getsockname()[1]
            self.socks.append(s)
            self.opened[cport] = time.monotonic()

    def send_all(self, data):
        for s in self.socks:
            try:
                s.send(data)
            except OSError:
                pass

    def poll(self):
        alive = established(self.port)
        now = time.monotonic()
        for cport in self.opened:
            if cport not in alive and cport not in self.freed:
                self.freed[cport] = now - self.opened[cport]
        return len(self.freed) == len(self.opened)

    def close(self):
        for s in self.socks:
            s.close()

    def report(self, bound):
        times = sorted(self.freed.values())
        n = len(self.opened)
        if times:
            print("  freed %d of %d: after %.2f s (first) .. %.2f s (last); bound %s"
                  % (len(times), n, times[0], times[-1], bound))
        else:
            print("  freed 0 of %d; bound %s" % (n, bound))
        return len(times) == n


def run_case(title, port, stuck, bound, cap, tick=None, gap=None):
    print(title)
    time.sleep(0.3)
    probe(port, "during:")
    deadline = time.monotonic() + cap
    next_tick = time.monotonic() + (gap or 0)
    while time.monotonic() < deadline:
        if stuck.poll():
            break
        if tick and time.monotonic() >= next_tick:
            tick()
            next_tick += gap
        time.sleep(0.1)
    ok = stuck.report(bound)
    if not ok:
        print("  NOT FREED within the %.0f s cap; the clients give up now" % cap)
    stuck.close()
    time.sleep(0.5)
    after = probe(port, "afterwards:")
    return ok and after[0][0].startswith("200") and after[1][0].startswith("200")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--pool", type=int, required=True)
    ap.add_argument("--read-timeout", type=float, required=True, help="seconds")
    ap.add_argument("--request-timeout", type=float, required=True, help="seconds")
    ap.add_argument("--large", required=True, help="path of a large static file")
    ap.add_argument("--cap", type=float, default=40.0)
    a = ap.parse_args()
    rt, qt, n = a.read_timeout, a.request_timeout, a.pool
    results = {}

    print("baseline")
    probe(a.port, "idle gateway:")

    stuck = Stuck(a.port, n)
    results["idle"] = run_case("1. pool full of %d idle connections" % n, a.port, stuck,
                               "readTimeout %.1f s" % rt, a.cap)

    stuck = Stuck(a.port, n)
    stuck.send_all(b"GET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ")
    results["header trickle"] = run_case(
        "2. %d clients trickling a header, one byte every %.1f s" % (n, rt / 3), a.port, stuck,
        "readTimeout %.1f s from the connection's start" % rt, a.cap,
        tick=lambda: stuck.send_all(b"a"), gap=rt / 3)

    stuck = Stuck(a.port, n)
    stuck.send_all(b"POST /ajax.html HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Requested-With: XMLHttpRequest\r\n"
                   b"Content-Length: 2000\r\n\r\n")
    results["body trickle"] = run_case(
        "3. %d clients trickling a 2000-byte body, one byte every %.1f s" % (n, rt / 3), a.port, stuck,
        "requestTimeout %.1f s (+1 s per 64 KiB received)" % qt, a.cap,
        tick=lambda: stuck.send_all(b"a"), gap=rt / 3)

    stuck = Stuck(a.port, 1, rcvbuf=4096)
    stuck.send_all(b"GET /%s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % a.large.encode())
    results["stopped reader"] = run_case(
        "4. a client that stops reading %s" % a.large, a.port, stuck,
        "write timeout (readTimeout %.1f s) per blocked send" % rt, a.cap)

    print("summary: " + ", ".join("%s %s" % (k, "ok" if v else "NOT FREED/served") for k, v in results.items()))
    return 0 if all(results.values()) else 1


if __name__ == "__main__":
    sys.exit(main())
