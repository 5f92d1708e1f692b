#!/usr/bin/env python3
"""The live path: what WebSocket listeners cost the server, and the frames' age on arrival.

One server binary, four chains capturing at 44100 Hz from a private PulseAudio (as in
whole_server.py). Phases of --seconds each, server CPU (all threads, /proc/PID/stat):
  - no listener (the baseline);
  - 1, 16 and 64 WebSocket listeners of /live/audio/1 (one shared encoder, a queue each);
For every frame a listener receives, its age: the time it arrived here minus the capture time
it carries (the server's side of the delay: capture, drain, resampling, encoding, sending;
the browser's jitter buffer and sound card come on top). p50 and p95 per phase.

Usage: live.py --server PATH [--seconds 20]
The listeners run in one thread of this script (not counted): a minimal WebSocket client.
"""

import argparse
import base64
import os
import random
import selectors
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from listen import http_status, measure  # noqa: E402
from whole_server import Pulse, write_registry  # noqa: E402


def ws_connect(port, path):
    s = socket.create_connection(("127.0.0.1", port))
    key = base64.b64encode(os.urandom(16)).decode()
    s.sendall((f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
               f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n").encode())
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = s.recv(4096)
        if not chunk:
            raise RuntimeError("closed during the handshake")
        head += chunk
    if b" 101 " not in head.split(b"\r\n")[0]:
        raise RuntimeError(head.decode(errors="replace"))
    return s, head.split(b"\r\n\r\n", 1)[1]


class Listeners(threading.Thread):
    """WebSocket listeners that parse every frame and record its age, all in one thread."""

    def __init__(self, port, path, n):
        super().__init__(daemon=True)
        self.sel = selectors.DefaultSelector()
        self.ages, self.frames, self.stop, self.socks = [], 0, False, []
        for _ in range(n):
            s, rest = ws_connect(port, path)
            s.setblocking(False)
            self.sel.register(s, selectors.EVENT_READ, [rest])
            self.socks.append(s)
        self.start()

    def parse(self, buf, now):
        while len(buf[0]) >= 2:
            b = buf[0]
            n, at = b[1] & 0x7F, 2
            if n == 126:
                if len(b) < 4:
                    return
                n, at = struct.unpack(">H", b[2:4])[0], 4
            if len(b) < at + n:
                return
            payload = b[at:at + n]
            buf[0] = b[at + n:]
            if (b[0] & 0x0F) == 2 and len(payload) > 13 and payload[0] == 1:
                self.frames += 1
                self.ages.append(now - struct.unpack("<d", payload[5:13])[0])

    def run(self):
        while not self.stop:
            for key, _ in self.sel.select(0.2):
                try:
                    data = key.fileobj.recv(65536)
                except BlockingIOError:
                    continue
                if not data:
                    self.sel.unregister(key.fileobj)
                    continue
                key.data[0] += data
                self.parse(key.data, time.time() * 1000)

    def close(self):
        self.stop = True
        self.join()
        for s in self.socks:
            s.close()


def pct(xs, p):
    xs = sorted(xs)
    return xs[min(len(xs) - 1, int(len(xs) * p / 100))] if xs else float("nan")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--seconds", type=float, default=20)
    a = ap.parse_args()
    root = tempfile.mkdtemp(prefix="quillon-live-bench-")
    pulse = Pulse(root, "pulse", 30 + 6 * a.seconds)
    data = os.path.join(root, "data")
    os.makedirs(os.path.join(data, "ports"))
    base = random.randrange(20000, 50000, 20)
    write_registry(data, [base + i for i in range(8)])
    console = base + 8
    with open(os.path.join(root, "quillon.toml"), "w") as f:
        f.write("[listen]\nmax_listeners = 100\n")
    env = dict(os.environ, **pulse.env)
    server = subprocess.Popen([a.server, "--data-dir", data, "--console", f"127.0.0.1:{console}", "--config",
                               os.path.join(root, "quillon.toml")], env=env,
                              stdout=subprocess.DEVNULL, stderr=open(os.path.join(root, "server.log"), "w"))
    try:
        for _ in range(300):
            if http_status(console, "/listen/1.ogg") == 200:
                break
            time.sleep(0.1)
        else:
            raise RuntimeError("no stream: " + open(os.path.join(root, "server.log")).read())
        time.sleep(2)
        base_cpu = measure(server.pid, a.seconds)
        print(f"{'what':40} {'CPU % of one core':>18} {'frames/s each':>14} {'age p50 ms':>11} {'age p95 ms':>11}")
        print(f"{'server, no listener (baseline)':40} {base_cpu:18.2f}")
        for n in (1, 16, 64):
            ls = Listeners(console, "/live/audio/1", n)
            time.sleep(2)
            ls.ages.clear()
            f0 = ls.frames
            cpu = measure(server.pid, a.seconds)
            rate = (ls.frames - f0) / a.seconds / n
            print(f"{f'server, {n} live listeners of channel 1':40} {cpu:18.2f} {rate:14.1f} {pct(ls.ages, 50):11.1f} {pct(ls.ages, 95):11.1f}"
                  f"  (+{cpu - base_cpu:.2f})")
            ls.close()
        print(f"load average at the end: {os.getloadavg()[0]:.1f}")
    finally:
        if server.poll() is None:
            server.terminate()
            server.wait(20)
        pulse.stop()


if __name__ == "__main__":
    main()
