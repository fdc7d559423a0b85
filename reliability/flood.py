#!/usr/bin/env python3
"""A host off the allow list floods the program while one allowed client is relayed.

usage: reliability/flood.py BINARY [--seconds S] [--inflight N] [--bulk MIB] [--stall-stderr]

BINARY is velkoran or its stand-in build (tests/velkoran_standin, which answers Yes without a
dialog). In a network namespace of its own (root), with a private Xvfb as the destination, it
measures one relayed client's X round trips (GetInputFocus) and bulk upload (NoOperation
requests), first alone and then while N connections at a time come from N loopback addresses
that are not allowed, each closed by the program; and the program's CPU (the main process and
its lookup helper) during the flood. One line of figures per phase on standard output. With
--stall-stderr nobody reads the program's standard error.
"""
import argparse
import multiprocessing
import os
import selectors
import socket
import statistics
import struct
import subprocess
import sys
import threading
import time

SETUP = b"l\0\x0b\0" + b"\0" * 8
GETINPUTFOCUS = struct.pack("<BBH", 43, 0, 1)


def ticks(pid):
    try:
        f = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
        return int(f[11]) + int(f[12])
    except OSError:
        return 0


def children(pid):
    out = []
    for p in os.listdir("/proc"):
        if p.isdigit():
            try:
                if int(open("/proc/%s/stat" % p).read().rsplit(")", 1)[1].split()[1]) == pid:
                    out.append(int(p))
            except OSError:
                pass
    return out


def recvall(s, n):
    b = b""
    while len(b) < n:
        k = s.recv(n - len(b))
        if not k:
            raise EOFError
        b += k
    return b


def xclient(port):
    s = socket.socket()
    s.bind(("127.0.0.2", 0))
    s.connect(("127.0.0.1", port))
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    s.sendall(SETUP)
    head = recvall(s, 8)
    recvall(s, 4 * struct.unpack("<H", head[6:8])[0])
    return s


def roundtrips(s, seconds):
    lat = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        t = time.monotonic()
        s.sendall(GETINPUTFOCUS)
        recvall(s, 32)
        lat.append(time.monotonic() - t)
    return lat


def bulk(s, mib):
    req = struct.pack("<BBH", 127, 0, 16384) + b"\0" * (65536 - 4)  # NoOperation, 64 KiB
    t = time.monotonic()
    for _ in range(mib * 16):
        s.sendall(req)
    s.sendall(GETINPUTFOCUS)
    recvall(s, 32)
    return mib / (time.monotonic() - t)


def flood(port, inflight, seconds, queue):
    """Connections from 127.0.1.1 ... that the program refuses, inflight at a time; a process
    of its own, so that it does not share the measuring client's interpreter."""
    out = {}
    sel = selectors.DefaultSelector()
    done = [0]
    end = time.monotonic() + seconds

    def one(i):
        s = socket.socket()
        s.setblocking(False)
        s.bind(("127.0.1.%d" % (1 + i), 0))
        try:
            s.connect(("127.0.0.1", port))
        except BlockingIOError:
            pass
        sel.register(s, selectors.EVENT_READ, i)

    for i in range(inflight):
        one(i)
    while time.monotonic() < end:
        for key, _ in sel.select(0.5):
            s = key.fileobj
            try:
                data = s.recv(16)
            except ConnectionError:
                data = b""
            if data:
                out["bytes"] = out.get("bytes", 0) + len(data)
                continue
            sel.unregister(s)
            s.close()
            done[0] += 1
            one(key.data)
    out["refused"] = done[0]
    queue.put(out)


def main():
    a = argparse.ArgumentParser()
    a.add_argument("binary")
    a.add_argument("--seconds", type=float, default=30)
    a.add_argument("--inflight", type=int, default=64)
    a.add_argument("--bulk", type=int, default=256)
    a.add_argument("--stall-stderr", action="store_true",
                   help="nobody reads the program's standard error (a terminal after Ctrl-S)")
    o = a.parse_args()
    if os.environ.get("FLOOD_ISOLATED") != "1":
        env = dict(os.environ, FLOOD_ISOLATED="1")
        sys.exit(subprocess.call(["unshare", "-n", sys.executable] + sys.argv, env=env))
    subprocess.check_call(["ip", "link", "set", "lo", "up"])
    r, w = os.pipe()
    x = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-listen", "tcp", "-nolisten", "unix"],
                         pass_fds=[w], stderr=subprocess.DEVNULL)
    os.close(w)
    display = int(os.read(r, 16).decode().strip())
    v = subprocess.Popen([o.binary, "-terse", "-display", "localhost:%d" % display, "-allow",
                          "127.0.0.2"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         env=dict(os.environ, STANDIN_VERDICT="7"))
    try:
        port = 6000 + int(v.stdout.readline().decode().rsplit(":", 1)[1])
        v.stdout.read()  # start-up is over once standard output closes
        lines = [0]
        if not o.stall_stderr:
            threading.Thread(target=lambda: [lines.__setitem__(0, lines[0] + 1)
                                             for _ in v.stderr], daemon=True).start()
        c = xclient(port)
        for label, flooding in (("alone", False), ("flood", True)):
            out = {}
            q = multiprocessing.Queue()
            th = multiprocessing.Process(target=flood, args=(port, o.inflight, o.seconds + 5, q))
            kids = children(v.pid)
            t0 = {p: ticks(p) for p in [v.pid] + kids}
            start = time.monotonic()
            if flooding:
                th.start()
                time.sleep(1)
            lat = roundtrips(c, o.seconds / 2)
            mbs = bulk(c, o.bulk)
            took = time.monotonic() - start
            cpu = {p: (ticks(p) - t0[p]) / os.sysconf("SC_CLK_TCK") / took for p in t0}
            if flooding:
                out = q.get()
                th.join()
            lat.sort()
            print("%s: %d round trips in %.1f s (%.0f/s), median %.3f ms, worst %.1f ms; "
                  "bulk %.1f MB/s; CPU main %.2f, helper %.2f of a core; refused %s (%.0f/s), "
                  "bytes to them %d, lines %d, children %d" % (
                      label, len(lat), o.seconds / 2, len(lat) / (o.seconds / 2),
                      1000 * statistics.median(lat), 1000 * lat[-1], mbs, cpu[v.pid],
                      sum(cpu[p] for p in kids), out.get("refused", 0),
                      out.get("refused", 0) / (o.seconds + 5), out.get("bytes", 0), lines[0],
                      len(children(v.pid))), flush=True)
    finally:
        v.kill()
        v.wait()
        x.kill()
        x.wait()


if __name__ == "__main__":
    main()
