#!/usr/bin/env python3
"""Paging alerts: from the end of the B tone to the notification in a receiver's hands.

One server binary, channel 1 capturing from a private PulseAudio through an ALSA file PCM whose
input is a FIFO this script writes at real-time pace, 10 ms at a time and 20 ms ahead of the
clock (as the scanner simulator sounds a radio's loudspeaker). Every --every seconds the FIFO
gets a two-tone page (853.2 Hz for 1 s, then 1083 Hz for 2.6 s, at about -13 dBFS; silence
otherwise); the server's [[alerts.tones]] set hears it and sends a message to an ntfy-compatible
receiver in this script. Latency: the receiver's arrival time minus the wall-clock time of the
last B sample (known from the FIFO's sample clock). Prints each page and p50 / p95 / max.

Usage: alert_latency.py --server PATH [--pages 20] [--every 8]
"""

import argparse
import fcntl
import json
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

RATE = 11025
A_HZ, B_HZ = 853.2, 1083.0
A_S, B_S = 1.0, 2.6
LEAD = 0.020


class Receiver:
    """An ntfy-compatible receiver that notes when each message arrived."""

    def __init__(self):
        self.arrivals = []
        outer = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *a):
                pass

            def do_POST(self):
                now = time.time()
                body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
                outer.arrivals.append((now, self.headers.get("Title", ""), body.decode("utf-8", "replace")))
                data = json.dumps({"id": str(len(outer.arrivals)), "time": int(now), "event": "message"}).encode()
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            do_PUT = do_POST

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()


class Loudspeaker(threading.Thread):
    """Writes the channel's audio into the FIFO at the pace of the clock; pages on request."""

    def __init__(self, path):
        super().__init__(daemon=True)
        os.mkfifo(path, 0o600)
        # Both ends: opening never waits for the reader, and a backlog can be read back.
        self.fd = os.open(path, os.O_RDWR | os.O_NONBLOCK)
        fcntl.fcntl(self.fd, 1031, 65536)  # F_SETPIPE_SZ
        self.pages = []       # wall-clock times at which the B tones ended
        self.want_page = False
        self.stop_flag = False

    def run(self):
        epoch = time.time() + LEAD
        written = 0
        plan = []  # samples still to play: (frequency, samples left)
        phase = 0.0
        per_chunk = RATE // 100
        queue_min, next_trim = None, 0.0
        while not self.stop_flag:
            now = time.time()
            if now - (epoch + written / RATE) > 0.2:  # stalled: no catching up
                epoch, written = now + LEAD, 0
            while epoch + written / RATE <= now + LEAD:
                if self.want_page and not plan:
                    self.want_page = False
                    plan = [[A_HZ, int(A_S * RATE)], [B_HZ, int(B_S * RATE)]]
                    self.pages.append(epoch + (written + int(A_S * RATE) + int(B_S * RATE)) / RATE)
                samples = []
                for _ in range(per_chunk):
                    hz = plan[0][0] if plan else 0.0
                    samples.append(int(7000 * math.sin(phase)) if hz else 0)
                    phase = (phase + 2 * math.pi * hz / RATE) % (2 * math.pi)
                    if plan:
                        plan[0][1] -= 1
                        if plan[0][1] == 0:
                            plan.pop(0)
                try:
                    os.write(self.fd, struct.pack("<%dh" % per_chunk, *samples))
                except BlockingIOError:
                    pass  # nobody reads: the chunk is lost, as a loudspeaker's sound is
                written += per_chunk
            # More than the lead waiting at every look for a quarter second is audio nobody
            # took in time (or nobody reads): the oldest goes.
            queued = struct.unpack("i", fcntl.ioctl(self.fd, termios.FIONREAD, b"\0\0\0\0"))[0]
            queue_min = queued if queue_min is None else min(queue_min, queued)
            if now >= next_trim:
                keep = int(RATE * 2 * (LEAD + 0.010))
                if queue_min > keep:
                    try:
                        os.read(self.fd, (queue_min - keep) & ~1)  # whole samples only
                    except BlockingIOError:
                        pass
                queue_min, next_trim = None, now + 0.25
            time.sleep(max(0.0, epoch + written / RATE - LEAD - time.time()))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--pages", type=int, default=20)
    ap.add_argument("--every", type=float, default=8.0)
    args = ap.parse_args()
    root = tempfile.mkdtemp(prefix="quillon-alert-bench-")
    pulse = server = None
    speaker = None
    try:
        run = os.path.join(root, "run")
        os.makedirs(run, mode=0o700)
        fifo = os.path.join(root, "radio1.pcm")
        speaker = Loudspeaker(fifo)
        speaker.start()
        with open(os.path.join(root, "asound.conf"), "w") as conf:
            conf.write(f'pcm.bench_radio1 {{ type file slave.pcm {{ type pulse device "quiet" }} file "/dev/null" '
                       f'infile "{fifo}" format "raw" hint {{ show on description "Bench radio 1" }} }}\n')
        env = dict(os.environ, HOME=root, XDG_RUNTIME_DIR=run)
        pulse = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no", "--disable-shm=yes",
             "--load=module-native-protocol-unix auth-anonymous=1", "--load=module-null-sink sink_name=nul",
             "--load=module-null-source source_name=quiet max_latency_msec=20"],
            env=env, stdout=subprocess.DEVNULL, stderr=open(os.path.join(root, "pulseaudio.log"), "w"))
        sock = os.path.join(run, "pulse", "native")
        for _ in range(100):
            if os.path.exists(sock):
                break
            time.sleep(0.1)
        receiver = Receiver()
        data = os.path.join(root, "data")
        os.makedirs(os.path.join(data, "registry"))
        os.makedirs(os.path.join(data, "ports"))
        with open(os.path.join(data, "registry", "hklm.reg"), "w", encoding="latin-1") as f:
            f.write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Drovani\\Quillon785\\settings]\n\"audiodevice1\"=\"1x\"\n")
        with open(os.path.join(data, "quillon.toml"), "w") as f:
            f.write(f"[[alerts.tones]]\nname = \"Station 7\"\nchannels = [1]\na_hz = {A_HZ}\nb_hz = {B_HZ}\n"
                    f"a_ms = {int(A_S * 1000)}\nb_ms = {int(B_S * 1000)}\nquiet_s = 0\n\n"
                    f"[[alerts.send]]\ntype = \"ntfy\"\nurl = \"http://127.0.0.1:{receiver.port}/station7\"\n"
                    f"allow_plain_http = true\n")
        server_env = dict(os.environ, PULSE_SERVER="unix:" + sock,
                          ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:" + os.path.join(root, "asound.conf"))
        server = subprocess.Popen([args.server, "--data-dir", data, "--console", "off"], env=server_env,
                                  stdout=subprocess.DEVNULL, stderr=open(os.path.join(root, "server.log"), "w"))
        time.sleep(3)  # the capture opens with the window's start-up; a page before is not heard
        results = []
        for i in range(args.pages):
            before = len(receiver.arrivals)
            speaker.want_page = True
            deadline = time.time() + A_S + B_S + 10
            while len(receiver.arrivals) == before and time.time() < deadline:
                time.sleep(0.005)
            if len(receiver.arrivals) == before:
                print(f"page {i + 1}: no message within 10 s of the tones' end")
                continue
            latency = receiver.arrivals[before][0] - speaker.pages[-1]
            results.append(latency)
            print(f"page {i + 1}: {latency * 1000:.0f} ms  [{receiver.arrivals[before][1]}]")
            time.sleep(max(0.0, args.every - A_S - B_S - latency))
        if results:
            s = sorted(results)
            p = lambda q: s[min(len(s) - 1, int(math.ceil(q * len(s))) - 1)]
            print(f"pages heard {len(s)} of {args.pages}; latency from the end of the B tone to the receiver: "
                  f"p50 {p(0.5) * 1000:.0f} ms, p95 {p(0.95) * 1000:.0f} ms, max {s[-1] * 1000:.0f} ms")
        return 0 if len(results) == args.pages else 1
    finally:
        if server:
            server.terminate()
            server.wait()
        if speaker:
            speaker.stop_flag = True
        if pulse:
            pulse.terminate()
            pulse.wait()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
