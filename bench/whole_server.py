#!/usr/bin/env python3
"""The whole server with everything running, side by side with the programs that would do the
same jobs without it.

Per run, for one server binary:
  - four simulated radios at 19200 baud (quillon-scanner-sim) on com1..com4, channels 2 to 4 on;
  - 16 data clients (four per data port), channel 1's frame period set to 100 ms
    ("SET DELAY7A=100#");
  - four audio chains capturing at 44100 Hz from four devices of a private PulseAudio server
    (ALSA file PCMs playing a tone at real-time pace), one TCP audio listener each;
and at the same time the peers: ser2net relaying four more simulated radios (each polled through
the relay by a small driver, whose own CPU is not counted) and four ffmpeg processes capturing
the same kind of device to GSM, one 20 ms frame per UDP datagram (ffmpeg's RTP muxer does not
take GSM; the RTP header would add nothing measurable).

Measured over the run: CPU per thread group of the server (event loop, capture readers, the
sound server's client threads inside the process), context switches per second of the whole
process and per thread group, with the voluntary ones (the threads' own wake-ups) apart
(/proc/PID/task/*/status), resident memory, and what the clients received.

Usage: whole_server.py --server NAME=PATH [--server NAME=PATH ...] --sim PATH
                       [--seconds 60] [--runs 3]
Runs are interleaved: run 1 of every server, then run 2 of every server, ...
Needs: pulseaudio, libasound2-plugins, ffmpeg, ser2net (scripts/install-deps).
"""

import argparse
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

RATE = 44100


def sh(*args, **kw):
    return subprocess.run(args, check=True, **kw)


class Pulse:
    """A private PulseAudio server and four ALSA capture devices playing tones."""

    def __init__(self, root, name, seconds):
        self.dir = os.path.join(root, name)
        os.makedirs(os.path.join(self.dir, "run"), mode=0o700)
        for i, f in enumerate((440, 550, 660, 880), 1):
            sh("ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
               f"sine=frequency={f}:beep_factor=2:sample_rate={RATE}:duration={seconds}",
               "-f", "s16le", "-ac", "1", "-ar", str(RATE), os.path.join(self.dir, f"tone{i}.raw"))
        with open(os.path.join(self.dir, "asound.conf"), "w") as conf:
            for i in range(1, 5):
                conf.write(f'pcm.bench_radio{i} {{ type file slave.pcm {{ type pulse device "quiet" }} '
                           f'file "/dev/null" infile "{self.dir}/tone{i}.raw" format "raw" '
                           f'hint {{ show on description "Bench radio {i}" }} }}\n')
        env = dict(os.environ, HOME=self.dir, XDG_RUNTIME_DIR=os.path.join(self.dir, "run"))
        self.proc = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no", "--disable-shm=yes",
             "--load=module-native-protocol-unix auth-anonymous=1", "--load=module-null-sink sink_name=nul",
             "--load=module-null-source source_name=quiet max_latency_msec=20"],
            env=env, stdout=subprocess.DEVNULL, stderr=open(os.path.join(self.dir, "pulseaudio.log"), "w"))
        sock = os.path.join(self.dir, "run", "pulse", "native")
        for _ in range(100):
            if os.path.exists(sock):
                break
            time.sleep(0.1)
        else:
            raise RuntimeError("PulseAudio did not start")
        self.env = {"PULSE_SERVER": "unix:" + sock,
                    "ALSA_CONFIG_PATH": "/usr/share/alsa/alsa.conf:" + os.path.join(self.dir, "asound.conf")}

    def stop(self):
        self.proc.terminate()
        self.proc.wait()


class Sim:
    def __init__(self, exe, links, log):
        args = [exe]
        for i, link in enumerate(links):
            args += ["--link", link, "--model", "BC785" if i % 2 == 0 else "BC796"]
        self.log = log
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=open(log, "w"), stderr=subprocess.STDOUT)
        for _ in range(100):
            if "ready" in open(log).read():
                return
            time.sleep(0.1)
        raise RuntimeError("scanner simulator did not start: " + open(log).read())

    def stop(self):
        self.proc.terminate()
        self.proc.wait()


def write_registry(data, ports):
    os.makedirs(os.path.join(data, "registry"), exist_ok=True)
    values = {"channel2ena": "1x", "channel3ena": "1x", "channel4ena": "1x"}
    for k in range(4):
        values[f"audiodevice{k + 1}"] = f"{k + 1}x"  # Bench radio k+1 (list position k+1)
        values[f"audioset{k + 1}"] = "3x"  # 44100
    names = ["tcpport1", "tcpport3", "tcpport4", "tcpport5", "tcpport6", "tcpport7", "tcpport8", "tcpport9"]
    for name, port in zip(names, ports):
        values[name] = f"{port}x"
    with open(os.path.join(data, "registry", "hklm.reg"), "w", encoding="latin-1") as f:
        f.write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Drovani\\Quillon785\\settings]\n")
        for n, v in values.items():
            f.write(f'"{n}"="{v}"\n')


class Reader(threading.Thread):
    """A client that reads everything and counts it (frames end with their "UDP:" line)."""

    def __init__(self, port, send=None):
        super().__init__(daemon=True)
        self.port, self.send = port, send
        self.bytes = 0
        self.frames = 0
        self.tail = b""
        self.stop_flag = False
        self.mark = (0, 0)

    def run(self):
        for _ in range(100):
            try:
                s = socket.create_connection(("127.0.0.1", self.port), timeout=2)
                break
            except OSError:
                time.sleep(0.1)
        else:
            return
        if self.send:
            time.sleep(1.0)
            s.sendall(self.send)
        s.settimeout(0.5)
        while not self.stop_flag:
            try:
                b = s.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                break
            if not b:
                break
            self.bytes += len(b)
            data = self.tail + b
            self.frames += data.count(b"UDP:")
            self.tail = data[-3:]
        s.close()

    def start_measuring(self):
        self.mark = (self.bytes, self.frames)

    def measured(self):
        return self.bytes - self.mark[0], self.frames - self.mark[1]


class DatagramSink(threading.Thread):
    """Receives what a peer sends over UDP and counts it."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", port))
        self.sock.settimeout(0.5)
        self.bytes = 0
        self.stop_flag = False

    def run(self):
        while not self.stop_flag:
            try:
                self.bytes += len(self.sock.recv(2048))
            except socket.timeout:
                continue
        self.sock.close()


class RadioDriver(threading.Thread):
    """Polls one radio through ser2net as the server polls it: one query, wait for the reply."""

    QUERIES = [b"LCD\r", b"ST\r", b"SQ\r", b"SG\r"]

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port = port
        self.stop_flag = False
        self.replies = 0

    def run(self):
        for _ in range(100):
            try:
                s = socket.create_connection(("127.0.0.1", self.port), timeout=2)
                break
            except OSError:
                time.sleep(0.1)
        else:
            return
        s.settimeout(0.2)
        i = 0
        while not self.stop_flag:
            q = self.QUERIES[i % len(self.QUERIES)]
            i += 1
            try:
                s.sendall(q)
                want = 4 if q == b"LCD\r" else 1
                got = b""
                while got.count(b"\r") < want and not self.stop_flag:
                    b = s.recv(4096)
                    if not b:
                        return
                    got += b
                self.replies += 1
            except socket.timeout:
                pass
            except OSError:
                return
            time.sleep(0.03)
        s.close()


def tasks(pid):
    out = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/stat") as f:
                st = f.read()
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                status = f.read()
        except OSError:
            continue
        name = st[st.index("(") + 1:st.rindex(")")]
        fields = st[st.rindex(")") + 2:].split()
        cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        vol = invol = 0
        for line in status.splitlines():
            if line.startswith("voluntary_ctxt_switches"):
                vol = int(line.split()[1])
            elif line.startswith("nonvoluntary_ctxt_switches"):
                invol = int(line.split()[1])
        out[int(tid)] = (name, cpu, vol, invol)
    return out


def group_of(pid, tid, name):
    if tid == pid:
        return "loop"
    if name.startswith("threaded-ml") or name.startswith("pulse"):
        return "sound client"
    return "capture/other"


def process_cpu(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            st = f.read()
    except OSError:
        return 0.0
    fields = st[st.rindex(")") + 2:].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS"):
                return int(line.split()[1])
    return 0


def one_run(name, exe, sim_exe, pulse, peer_pulse, root, seconds):
    run_dir = tempfile.mkdtemp(prefix=f"{name}-", dir=root)
    data = os.path.join(run_dir, "data")
    os.makedirs(os.path.join(data, "ports"))
    base = random.randrange(20000, 50000, 20)
    ports = [base + i for i in range(8)]  # data/audio per channel
    console = base + 8
    peer_serial = [base + 10 + i for i in range(4)]
    peer_rtp = [base + 14 + i for i in range(4)]  # GSM datagrams; nothing listens
    write_registry(data, ports)
    sim = Sim(sim_exe, [os.path.join(data, "ports", f"com{k}") for k in range(1, 5)], os.path.join(run_dir, "sim.log"))
    peer_sim = Sim(sim_exe, [os.path.join(run_dir, f"peer{k}") for k in range(1, 5)], os.path.join(run_dir, "peer-sim.log"))
    procs = []
    readers, drivers, sinks = [], [], []
    try:
        env = dict(os.environ, **pulse.env)
        # The peers capture through a sound server of their own: a client that asks for short
        # periods makes a shared source deliver to every client in short periods.
        peer_env = dict(os.environ, **peer_pulse.env)
        server = subprocess.Popen([exe, "--data-dir", data, "--console", f"127.0.0.1:{console}"], env=env,
                                  stdout=subprocess.DEVNULL, stderr=open(os.path.join(run_dir, "server.log"), "w"))
        procs.append(server)
        # Peers: ser2net for the serial side, ffmpeg for the audio side.
        with open(os.path.join(run_dir, "ser2net.yaml"), "w") as y:
            for k in range(4):
                y.write(f"connection: &con{k}\n  accepter: tcp,127.0.0.1,{peer_serial[k]}\n"
                        f"  connector: serialdev,{os.path.realpath(os.path.join(run_dir, f'peer{k + 1}'))},19200n81,local\n"
                        f"  options:\n    kickolduser: true\n")
        ser2net = subprocess.Popen(["ser2net", "-n", "-u", "-P", os.path.join(run_dir, "ser2net.pid"), "-c", os.path.join(run_dir, "ser2net.yaml")],
                                   stdout=subprocess.DEVNULL, stderr=open(os.path.join(run_dir, "ser2net.log"), "w"))
        procs.append(ser2net)
        ffmpegs = []
        sinks = [DatagramSink(p) for p in peer_rtp]
        for t in sinks:
            t.start()
        for k in range(4):
            ff = subprocess.Popen(
                ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-f", "alsa", "-sample_rate", str(RATE),
                 "-channels", "1", "-i", f"bench_radio{k + 1}", "-ar", "8000", "-c:a", "libgsm", "-f", "gsm",
                 f"udp://127.0.0.1:{peer_rtp[k]}?pkt_size=33"],
                env=peer_env, stdout=subprocess.DEVNULL, stderr=open(os.path.join(run_dir, f"ffmpeg{k}.log"), "w"))
            ffmpegs.append(ff)
            procs.append(ff)
        time.sleep(2.0)
        for k in range(4):
            for slot in range(4):
                send = b"SET DELAY7A=100#" if (k == 0 and slot == 0) else None
                readers.append(Reader(ports[2 * k], send))
        listeners = [Reader(ports[2 * k + 1]) for k in range(4)]
        for k in range(4):
            drivers.append(RadioDriver(peer_serial[k]))
        for t in readers + listeners + drivers:
            t.start()
        time.sleep(8.0)  # past start-up, the first audio and the period change
        for t in readers + listeners:
            t.start_measuring()
        sink_bytes0 = [t.bytes for t in sinks]
        t0 = time.monotonic()
        before = tasks(server.pid)
        peers0 = {"ser2net": process_cpu(ser2net.pid), "ffmpeg x4": sum(process_cpu(f.pid) for f in ffmpegs)}
        time.sleep(seconds)
        wall = time.monotonic() - t0
        after = tasks(server.pid)
        peers1 = {"ser2net": process_cpu(ser2net.pid), "ffmpeg x4": sum(process_cpu(f.pid) for f in ffmpegs)}
        rss = rss_kib(server.pid)
        # Voluntary switches are the threads' own wake-ups; involuntary ones are preemptions,
        # mostly by the clients and peers that share this machine's two cores.
        groups, cs, cs_groups, vol_groups = {}, 0.0, {}, {}
        for tid, (tname, cpu, v, i) in after.items():
            n0, cpu0, v0, i0 = before.get(tid, (tname, 0.0, 0, 0))
            g = group_of(server.pid, tid, tname)
            groups[g] = groups.get(g, 0.0) + (cpu - cpu0)
            cs_groups[g] = cs_groups.get(g, 0.0) + (v - v0 + i - i0) / wall
            vol_groups[g] = vol_groups.get(g, 0.0) + (v - v0) / wall
            cs += v - v0 + i - i0
        result = {
            "cpu": {g: v / wall * 100 for g, v in groups.items()},
            "cs": cs / wall,
            "cs_groups": cs_groups,
            "vol_groups": vol_groups,
            "rss": rss / 1024,
            "peers": {p: (peers1[p] - peers0[p]) / wall * 100 for p in peers0},
            "frames": [sum(r.measured()[1] for r in readers[4 * k:4 * k + 4]) / 4 / wall for k in range(4)],
            "audio": [l.measured()[0] / wall for l in listeners],
            "replies": sum(d.replies for d in drivers),
            "peer_audio": [(t.bytes - b0) / wall for t, b0 in zip(sinks, sink_bytes0)],
        }
        result["total"] = sum(result["cpu"].values())
        result["peer_total"] = sum(result["peers"].values())
        return result
    finally:
        for t in readers + drivers + sinks:
            t.stop_flag = True
        for p in reversed(procs):
            p.send_signal(signal.SIGTERM)
        for p in procs:
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        sim.stop()
        peer_sim.stop()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", action="append", required=True, help="NAME=PATH of a server binary")
    ap.add_argument("--sim", required=True)
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--runs", type=int, default=3)
    a = ap.parse_args()
    servers = [s.split("=", 1) for s in a.server]
    for tool in ("pulseaudio", "ffmpeg", "ser2net"):
        if not shutil.which(tool):
            sys.exit(f"{tool} is missing (scripts/install-deps installs it)")
    root = tempfile.mkdtemp(prefix="quillon-bench-")
    pulse = Pulse(root, "audio", int(a.seconds) + 60)
    peer_pulse = Pulse(root, "peer-audio", int(a.seconds) + 60)
    results = {n: [] for n, _ in servers}
    try:
        for run in range(a.runs):
            for name, exe in servers:
                with open("/proc/loadavg") as f:
                    load = f.read().split()[0]
                r = one_run(name, exe, a.sim, pulse, peer_pulse, root, a.seconds)
                r["load"] = load
                results[name].append(r)
                cpu = ", ".join(f"{g} {v:.2f}" for g, v in sorted(r["cpu"].items()))
                print(f"run {run + 1} {name}: load {load}; server {r['total']:.2f} % of a core ({cpu}); "
                      f"{r['cs']:.0f} context switches/s (" + ", ".join(f"{g} {v:.0f} of which voluntary {r['vol_groups'][g]:.0f}" for g, v in sorted(r["cs_groups"].items())) + f"); RSS {r['rss']:.1f} MiB; "
                      f"peers {r['peer_total']:.2f} % (" + ", ".join(f"{p} {v:.2f}" for p, v in r["peers"].items()) +
                      f"); ratio {r['total'] / r['peer_total']:.2f}", flush=True)
                print("    frames/s per data client, channels 1-4: " + ", ".join(f"{v:.2f}" for v in r["frames"]) +
                      "; audio bytes/s per listener: " + ", ".join(f"{v:.0f}" for v in r["audio"]) +
                      f"; peer radio replies: {r['replies']}; peer audio bytes/s: " +
                      ", ".join(f"{v:.0f}" for v in r["peer_audio"]), flush=True)
    finally:
        pulse.stop()
        peer_pulse.stop()
        shutil.rmtree(root, ignore_errors=True)
    print("\nsummary (min / median / max over runs)")
    for name, rs in results.items():
        def mmm(vals):
            v = sorted(vals)
            return f"{v[0]:.2f} / {v[len(v) // 2]:.2f} / {v[-1]:.2f}"
        print(f"  {name}: server % {mmm([r['total'] for r in rs])}; loop % {mmm([r['cpu'].get('loop', 0) for r in rs])}; "
              f"ctx/s {mmm([r['cs'] for r in rs])}; RSS MiB {mmm([r['rss'] for r in rs])}; "
              f"peers % {mmm([r['peer_total'] for r in rs])}; ratio {mmm([r['total'] / r['peer_total'] for r in rs])}")


if __name__ == "__main__":
    main()
