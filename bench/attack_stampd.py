#!/usr/bin/env python3
"""Misbehaving clients against nivet-stampd on 127.0.0.1, one attack at a time.

    bench/attack_stampd.py BINARY [ATTACK...]     (attacks 1-6, default all)

For each attack it starts BINARY on a free loopback port with a fresh data
folder, samples the service's RSS, and runs a well-behaved client beside the
attack that opens an MCP session (initialize on a new connection) every
250 ms. It prints the RSS before and at its peak, the probe's median and
worst latency and how many probes failed (no 200 within 30 s), and what the
attack itself saw. Compare two binaries by running it twice.
"""
import json
import os
import re
import selectors
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HOST = "127.0.0.1"
INIT = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "initialize",
                   "params": {"protocolVersion": "2025-03-26", "capabilities": {},
                              "clientInfo": {"name": "probe", "version": "1"}}}).encode()


def post(path, body, extra=b""):
    return (b"POST " + path + b" HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
            b"Accept: application/json, text/event-stream\r\n" + extra +
            b"Content-Length: " + str(len(body)).encode() + b"\r\n\r\n" + body)


def read_response(sock, deadline):
    """One whole response (status, headers, body) or None."""
    data = bytearray()
    while True:
        end = data.find(b"\r\n\r\n")
        if end >= 0:
            head = data[:end].decode("latin-1")
            m = re.search(r"(?im)^content-length:\s*(\d+)", head)
            length = int(m.group(1)) if m else 0
            if len(data) >= end + 4 + length:
                status = int(head.split(" ", 2)[1])
                return status, head, bytes(data[end + 4:end + 4 + length])
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            return None
        sock.settimeout(remaining)
        try:
            chunk = sock.recv(1 << 20)
        except (socket.timeout, OSError):
            return None
        if not chunk:
            return None
        data += chunk


def exchange(request, timeout=30.0, source=None):
    start = time.monotonic()
    try:
        with socket.create_connection((HOST, PORT), timeout=timeout, source_address=source) as s:
            s.sendall(request)
            reply = read_response(s, start + timeout)
    except OSError:
        reply = None
    return reply, time.monotonic() - start


class Service:
    def __init__(self, binary):
        self.dir = tempfile.TemporaryDirectory()
        data = os.path.join(self.dir.name, "data")
        subprocess.run([binary, "add-user", "alice", "--data", data], input=b"secret\n", check=True,
                       stdout=subprocess.DEVNULL)
        self.proc = subprocess.Popen([binary, "--listen", HOST + ":0", "--data", data],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = self.proc.stdout.readline().decode()
        global PORT
        PORT = int(line.rsplit(":", 1)[1])

    def rss_mb(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1)) / 1024

    def stop(self):
        self.proc.terminate()
        self.proc.wait()
        self.dir.cleanup()


class Probe(threading.Thread):
    """A well-behaved client beside the attack, plus RSS samples."""

    def __init__(self, service, request=None):
        super().__init__(daemon=True)
        self.service, self.request = service, request or post(b"/mcp", INIT)
        self.latencies, self.failures, self.peak = [], 0, 0.0
        self.running = True

    def run(self):
        while self.running:
            reply, took = exchange(self.request)
            if reply and reply[0] == 200:
                self.latencies.append(took)
            else:
                self.failures += 1
            time.sleep(0.25)

    def sample(self):
        self.peak = max(self.peak, self.service.rss_mb())

    def report(self):
        lat = sorted(self.latencies)
        med = statistics.median(lat) * 1000 if lat else float("nan")
        worst = lat[-1] * 1000 if lat else float("nan")
        return f"probe: {len(lat)} ok, median {med:.1f} ms, worst {worst:.1f} ms, {self.failures} failed"


def many(n):
    """Connects n clients, one after the other, yielding each as it connects."""
    for _ in range(n):
        try:
            yield socket.create_connection((HOST, PORT), timeout=5)
        except OSError:
            return


def drain(socks, seconds, probe):
    """Keeps reading from socks for a while; returns the statuses seen."""
    sel = selectors.DefaultSelector()
    for s in socks:
        s.setblocking(False)
        sel.register(s, selectors.EVENT_READ)
    seen = {}
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for key, _ in sel.select(0.1):
            try:
                data = key.fileobj.recv(1 << 16)
            except OSError:
                data = b""
            if not data:
                sel.unregister(key.fileobj)
                continue
            for status in re.findall(rb"HTTP/1\.1 (\d{3}) ", data):
                seen[status.decode()] = seen.get(status.decode(), 0) + 1
        probe.sample()
    return seen


def attack1(service, probe):
    login = post(b"/auth/login", b'{"username":"alice","password":"wrong"}')
    socks = []
    for s in many(520):
        try:
            s.sendall(login * 20)
            socks.append(s)
        except OSError:
            pass
    seen = drain(socks, 5, probe)
    # A real login beside the flood, from this address and from another one.
    good = post(b"/auth/login", b'{"username":"alice","password":"secret"}')
    logins = [exchange(good), exchange(good, source=("127.0.0.2", 0))]
    seen2 = drain(socks, 15, probe)
    for k, v in seen2.items():
        seen[k] = seen.get(k, 0) + v
    real = ", ".join(f"{r[0] if r else 'none'} after {t:.2f} s" for r, t in logins)
    return (f"520 connections x 20 logins: {len(socks)} connected, replies by status {seen}; "
            f"a real login from the same address, then another: {real}")


def attack2(service, probe):
    big = post(b"/auth/login", b'{"username":"alice","password":"' + b"x" * 1_048_000 + b'"}')
    good = post(b"/auth/login", b'{"username":"alice","password":"secret"}')
    def send_and_close():
        try:
            with socket.create_connection((HOST, PORT), timeout=30) as s:
                s.sendall(big)
        except OSError:
            pass

    senders = [threading.Thread(target=send_and_close) for _ in range(400)]
    for t in senders:
        t.start()
    while any(t.is_alive() for t in senders):
        probe.sample()
        time.sleep(0.05)
    reply, took = exchange(good)
    for _ in range(100):
        probe.sample()
        time.sleep(0.1)
    status = reply[0] if reply else "none"
    return f"400 x 1 MiB logins closed at once; then a real login: {status} after {took:.2f} s"


def attack3(service, probe):
    digest = "ab" * 32
    for i in range(0, 3000, 100):
        calls = [{"jsonrpc": "2.0", "id": j, "method": "tools/call",
                  "params": {"name": "stamp", "arguments": {"sha256": digest, "scope": f"s{i + j}"}}}
                 for j in range(100)]
        session = exchange(post(b"/mcp", INIT))[0][1]
        sid = re.search(r"(?im)^mcp-session-id:\s*(\S+)", session).group(1).encode()
        exchange(post(b"/mcp", json.dumps(calls).encode(), b"Mcp-Session-Id: " + sid + b"\r\n"), 120)
    session = exchange(post(b"/mcp", INIT))[0][1]
    sid = re.search(r"(?im)^mcp-session-id:\s*(\S+)", session).group(1).encode()
    batch = json.dumps([{"jsonrpc": "2.0", "id": j, "method": "tools/call",
                         "params": {"name": "hash_report", "arguments": {"sha256": digest}}}
                        for j in range(100)]).encode()
    before = service.rss_mb()
    probe.start()
    result = {}

    def one():
        reply, took = exchange(post(b"/mcp", batch, b"Mcp-Session-Id: " + sid + b"\r\n"), 120)
        result["r"] = (reply[0] if reply else None, len(reply[2]) if reply else 0, took)

    t = threading.Thread(target=one)
    t.start()
    while t.is_alive():
        probe.sample()
        time.sleep(0.05)
    for _ in range(20):
        probe.sample()
        time.sleep(0.1)
    status, size, took = result["r"]
    return f"{len(batch)} byte batch of 100 hash_report: status {status}, {size} bytes in {took:.2f} s (RSS before it {before:.0f} MB)"


def attack4(service, probe):
    body = INIT + b" " * 100_000
    kept = 0
    for _ in range(3):
        up = socket.create_connection((HOST, PORT))
        head = post(b"/mcp", body)
        up.sendall(head[:len(head) - len(body) // 2])
        others = list(many(600))
        time.sleep(1)
        probe.sample()
        try:
            up.sendall(head[len(head) - len(body) // 2:])
            reply = read_response(up, time.monotonic() + 30)
        except OSError:
            reply = None
        kept += bool(reply and reply[0] == 200)
        up.close()
        for s in others:
            s.close()
        probe.sample()
    return f"half-uploaded request while 600 others connect: {kept} of 3 uploads answered"


def attack5(service, probe):
    answered = 0
    for _ in range(30):
        with socket.create_connection((HOST, PORT)) as s:
            s.sendall(post(b"/mcp", INIT))
            s.shutdown(socket.SHUT_WR)
            reply = read_response(s, time.monotonic() + 5)
            answered += bool(reply and reply[0] == 200)
        probe.sample()
    return f"request then half-close: {answered} of 30 answered"


def attack6(service, probe):
    session = exchange(post(b"/mcp", INIT))[0][1]
    sid = re.search(r"(?im)^mcp-session-id:\s*(\S+)", session).group(1).encode()
    socks = list(many(500))
    request = post(b"/mcp", b'{"jsonrpc":"2.0","id":1,"method":"tools/list"}', b"Mcp-Session-Id: " + sid + b"\r\n") * 100
    for s in socks:
        s.setblocking(False)
    end = time.monotonic() + 20
    sent = 0
    while time.monotonic() < end:
        for s in socks:
            try:
                sent += s.send(request)
            except OSError:
                pass
        probe.sample()
        time.sleep(0.2)
    return f"500 pipelining clients that never read: {sent / 1e6:.0f} MB sent in all"


ATTACKS = {1: attack1, 2: attack2, 3: attack3, 4: attack4, 5: attack5, 6: attack6}


def main():
    binary = sys.argv[1]
    chosen = [int(a) for a in sys.argv[2:]] or list(ATTACKS)
    for number in chosen:
        service = Service(binary)
        probe = Probe(service)
        idle = service.rss_mb()
        if number != 3:
            probe.start()
            time.sleep(1)
        what = ATTACKS[number](service, probe)
        probe.running = False
        probe.join(35)
        print(f"attack {number}: {what}")
        print(f"   RSS {idle:.0f} MB idle, peak {probe.peak:.0f} MB; {probe.report()}")
        sys.stdout.flush()
        service.stop()


if __name__ == "__main__":
    main()
