#!/usr/bin/env python3
"""HTTP listening: what the listening formats cost the server.

One server binary, four chains capturing at 44100 Hz from a private PulseAudio (ALSA file PCMs
playing a tone at real-time pace, as in whole_server.py). Phases of --seconds each, server CPU
(all threads, /proc/PID/stat) per phase:
  - no HTTP listener (the baseline: capture, GSM pacing, window timers);
  - one listener of channel 1's /listen/1.ogg, then one of /listen/1.mp3: the difference to the
    baseline is the cost of one channel's encoder in that format, with its resampling from
    44100 Hz and the sending;
  - 64 listeners of /listen/1.ogg (one shared encoder, 64 queues and sockets);
and beside it, for the same job, ffmpeg capturing the same kind of device and encoding to
Ogg/Opus and to MP3 at the same settings (written to /dev/null).

Usage: listen.py --server PATH [--seconds 20]
The clients read everything in one thread of this script (not counted).
"""

import argparse
import os
import random
import selectors
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from whole_server import Pulse, process_cpu, write_registry  # noqa: E402


class Listeners(threading.Thread):
    """HTTP listeners that read and count everything, all in one thread."""

    def __init__(self, port, path, n):
        super().__init__(daemon=True)
        self.sel = selectors.DefaultSelector()
        self.bytes = 0
        self.socks = []
        self.stop = False
        for _ in range(n):
            s = socket.create_connection(("127.0.0.1", port))
            s.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
            s.setblocking(False)
            self.sel.register(s, selectors.EVENT_READ)
            self.socks.append(s)
        self.start()

    def run(self):
        while not self.stop:
            for key, _ in self.sel.select(0.2):
                try:
                    data = key.fileobj.recv(65536)
                except BlockingIOError:
                    continue
                if not data:
                    self.sel.unregister(key.fileobj)
                self.bytes += len(data)

    def close(self):
        self.stop = True
        self.join()
        for s in self.socks:
            s.close()


def http_status(port, path):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
            s.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
            return int(s.recv(64).split()[1])
    except (OSError, IndexError, ValueError):
        return 0


def measure(pid, seconds):
    c0, t0 = process_cpu(pid), time.monotonic()
    time.sleep(seconds)
    return 100.0 * (process_cpu(pid) - c0) / (time.monotonic() - t0)


def ffmpeg_cpu(env, device, codec_args, seconds):
    """CPU of ffmpeg capturing `device` and encoding it (user + system, % of one core)."""
    p = subprocess.Popen(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-f", "alsa", "-ar", "44100", "-ac", "1",
                          "-i", device, *codec_args, "-y", "/dev/null"], env=env)
    time.sleep(3)  # past the start-up
    cpu = measure(p.pid, seconds)
    p.terminate()
    p.wait()
    return cpu


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--seconds", type=float, default=20)
    a = ap.parse_args()
    root = tempfile.mkdtemp(prefix="quillon-listen-bench-")
    pulse = Pulse(root, "pulse", 30 + 8 * a.seconds)
    data = os.path.join(root, "data")
    os.makedirs(os.path.join(data, "ports"))
    base = random.randrange(20000, 50000, 20)
    write_registry(data, [base + i for i in range(8)])
    console = base + 8
    env = dict(os.environ, **pulse.env)
    server = subprocess.Popen([a.server, "--data-dir", data, "--console", f"127.0.0.1:{console}"], env=env,
                              stdout=subprocess.DEVNULL, stderr=open(os.path.join(root, "server.log"), "w"))
    try:
        for _ in range(300):
            if http_status(console, "/listen/1.ogg") == 200:
                break
            time.sleep(0.1)
        else:
            raise RuntimeError("no stream: " + open(os.path.join(root, "server.log")).read())
        time.sleep(2)
        rows = []
        base_cpu = measure(server.pid, a.seconds)
        rows.append(("server, no HTTP listener (baseline)", base_cpu, ""))
        for path in ("/listen/1.ogg", "/listen/1.mp3"):
            ls = Listeners(console, path, 1)
            time.sleep(2)
            b0 = ls.bytes
            cpu = measure(server.pid, a.seconds)
            rate = (ls.bytes - b0) / a.seconds
            ls.close()
            rows.append((f"server, 1 listener of {path}", cpu, f"+{cpu - base_cpu:.2f} over the baseline; {rate:.0f} B/s"))
        ls = Listeners(console, "/listen/1.ogg", 64)
        time.sleep(3)
        b0 = ls.bytes
        cpu = measure(server.pid, a.seconds)
        rate = (ls.bytes - b0) / a.seconds / 64
        ls.close()
        rows.append(("server, 64 listeners of /listen/1.ogg", cpu, f"+{cpu - base_cpu:.2f} over the baseline; {rate:.0f} B/s each"))
        server.terminate()
        server.wait(20)
        rows.append(("ffmpeg capture + libopus 24k 48 kHz (one channel)",
                     ffmpeg_cpu(env, "bench_radio2", ["-c:a", "libopus", "-b:a", "24k", "-ar", "48000", "-f", "ogg"], a.seconds), ""))
        rows.append(("ffmpeg capture + libmp3lame 16k 22050 Hz (one channel)",
                     ffmpeg_cpu(env, "bench_radio2", ["-c:a", "libmp3lame", "-b:a", "16k", "-ar", "22050", "-f", "mp3"], a.seconds), ""))
        print(f"{'what':58} {'CPU % of one core':>18}")
        for what, cpu, note in rows:
            print(f"{what:58} {cpu:18.2f}  {note}")
        print(f"load average at the end: {os.getloadavg()[0]:.1f}")
    finally:
        if server.poll() is None:
            server.terminate()
            server.wait(20)
        pulse.stop()


if __name__ == "__main__":
    main()
