#!/usr/bin/python3
"""Runs the uploader's benchmarks against loopback FTP servers and prints
one table: figure, measured value, goal, and whether the goal is met.

Run through bench/run.sh, which builds the programs first. Needs root for
vsftpd, curl for the baseline and Xvfb for the start-up figure.
"""

import argparse
import collections
import ctypes
import math
import os
import pwd
import random
import resource
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import types

MIB = 1024 * 1024
CAPTION = "Harlune Uploader - By Yorn"
THROTTLE = 100 * 1024  # bytes per second, for the CPU figures
SWEEP_KIB = (64, 512, 2048)  # CURLOPT_UPLOAD_BUFFERSIZE values compared


def log(text):
    print(text, file=sys.stderr, flush=True)


def parse_pairs(text):
    values = {}
    for line in text.splitlines():
        key, _, value = line.partition(" ")
        if key:
            values[key] = value.strip()
    return values


def run_pairs(cmd, timeout, env=None):
    """Runs one benchmark program; its "key value" lines as a dict."""
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=env)
    values = parse_pairs(done.stdout)
    values["rc"] = done.returncode
    if done.returncode != 0:
        log("  %s exited %d: %s" % (os.path.basename(cmd[0]), done.returncode,
                                      done.stderr.strip()[-500:]))
    return values


def stop(proc):
    """Ends a process started here: asked first, then killed."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class Closing:
    """A server process that a with-block stops again."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Server(Closing):
    """A fixture FTP server kept running by bench_server."""

    def __init__(self, build, kind, throttle=0, tmpdir=None):
        self.kind = kind
        cmd = [os.path.join(build, "bench", "bench_server"), kind]
        if throttle:
            cmd.append(str(throttle))
        # The server's files go where TMPDIR says: on tmpfs, so that the
        # server's file system stays out of the client's figures.
        env = dict(os.environ, TMPDIR=tmpdir) if tmpdir else None
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True, bufsize=1, env=env)
        self.pending = b""
        info = {}
        deadline = time.monotonic() + 30
        while True:
            line = self._line(deadline)
            if line is None or line.startswith(("ERROR", "SKIP")):
                self.close()
                raise RuntimeError("%s server did not start: %s" % (kind, line))
            if line == "READY":
                break
            key, _, value = line.partition(" ")
            info[key] = value
        self.hostport = info["HOSTPORT"]
        self.user = info["USER"]
        self.password = info["PASSWORD"]
        self.root = info["ROOT"]

    def _line(self, deadline):
        # Read straight from the pipe: a buffered reader would hide lines
        # from select().
        fd = self.proc.stdout.fileno()
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                return None
            chunk = os.read(fd, 65536)
            if not chunk:
                return None
            self.pending += chunk
        line, _, self.pending = self.pending.partition(b"\n")
        return line.decode("utf-8", "replace")

    def commands(self):
        self.proc.stdin.write("commands\n")
        self.proc.stdin.flush()
        lines = []
        deadline = time.monotonic() + 10
        while True:
            line = self._line(deadline)
            if line is None:
                raise RuntimeError("server gave no command log")
            if line == "END":
                return lines
            lines.append(line[2:])

    def home_ok(self):
        """False once another vsftpd fixture has moved the shared account's
        home: vsftpd then refuses every login with 500 OOPS."""
        try:
            return self.kind != "vsftpd" or (os.path.realpath(pwd.getpwnam(self.user).pw_dir)
                                             == os.path.realpath(self.root))
        except KeyError:
            return False

    def remote(self, rel):
        return os.path.join(self.root, rel)

    def clear(self, rel_dir="public_html"):
        folder = self.remote(rel_dir)
        for name in os.listdir(folder):
            os.remove(os.path.join(folder, name))

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write("quit\n")
                self.proc.stdin.close()
                self.proc.wait(timeout=15)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()


class Sink(Closing):
    """bench_ftpsink: an FTP server that drops what it receives."""

    kind = "sink"
    user = "bench"
    password = "bench"

    def __init__(self, build):
        self.proc = subprocess.Popen([os.path.join(build, "bench", "bench_ftpsink"), "1000"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        fd = self.proc.stdout.fileno()
        line = b""
        deadline = time.monotonic() + 10
        while not line.endswith(b"\n") and time.monotonic() < deadline:
            if not select.select([fd], [], [], 1)[0]:
                continue
            chunk = os.read(fd, 64)
            if not chunk:
                break
            line += chunk
        if not line.startswith(b"PORT "):
            self.close()
            raise RuntimeError("the FTP sink did not start")
        self.hostport = "127.0.0.1:%d" % int(line.split()[1])

    def clear(self):
        pass

    def close(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()  # its end of input ends it
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


# Round trips: the times benchmarked, and a worker held back after EPSV.
RTTS_MS = (0, 1, 5, 25, 50)
HELD_RTT_MS = 5
HOLD_MS = 10
PASSIVE_PORTS = 8
# What one command costs at the server besides the round trip (pyftpdlib on
# this machine, about half a millisecond); part of the round-trip goal.
SERVER_TURN_MS = 0.5


def percentile(values, pct):
    """The nearest-rank percentile."""
    ordered = sorted(values)
    return ordered[max(0, math.ceil(pct / 100.0 * len(ordered)) - 1)]


def free_port_range(count, addresses=("127.0.0.1", "127.0.0.2")):
    """The first of `count` consecutive ports free on every address."""
    for _ in range(50):
        low = random.randrange(20000, 60000 - count)
        socks = []
        try:
            for port in range(low, low + count):
                for address in addresses:
                    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                    socks.append(sock)
                    sock.bind((address, port))
            return low
        except OSError:
            continue
        finally:
            for sock in socks:
                sock.close()
    raise RuntimeError("no free port range")


class RttServer(Closing):
    """pyftpdlib, plain or with explicit TLS, whose passive ports are fixed
    so that a delay proxy can forward them."""

    user = "bench"
    password = "bench-pass"

    def __init__(self, work, tls):
        self.base = tempfile.mkdtemp(dir=work, prefix="rtt-")
        self.root = os.path.join(self.base, "root")
        os.makedirs(os.path.join(self.root, "public_html"))
        low = free_port_range(PASSIVE_PORTS)
        servers = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                               "servers")
        cmd = ["/usr/bin/python3", os.path.join(servers, "ftpsserver.py" if tls else
                                                "ftpserver.py"),
               "--root", self.root, "--user", self.user, "--password", self.password,
               "--passive-ports", "%d-%d" % (low, low + PASSIVE_PORTS - 1)]
        self.cafile = None
        if tls:
            self.cafile = self.certificates()
            cmd += ["--certfile", os.path.join(self.base, "server.pem"),
                    "--keyfile", os.path.join(self.base, "server.key")]
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     text=True)
        line = self.proc.stdout.readline()
        if not line.startswith("PORT "):
            self.close()
            raise RuntimeError("the round-trip server did not start")
        self.ports = [int(line.split()[1])] + list(range(low, low + PASSIVE_PORTS))
        self.scheme = "ftpes://" if tls else ""

    def certificates(self):
        """A test authority and a certificate it signs for 127.0.0.2."""
        path = lambda name: os.path.join(self.base, name)
        ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
        with open(path("server.ext"), "w") as f:
            f.write("subjectAltName=IP:127.0.0.2\nbasicConstraints=CA:FALSE\n")
        for cmd in (["req", "-x509"] + ec + ["-keyout", path("ca.key"), "-out", path("ca.pem"),
                                             "-days", "2", "-subj", "/CN=Harlune Bench CA"],
                    ["req"] + ec + ["-keyout", path("server.key"), "-out", path("server.csr"),
                                    "-subj", "/CN=127.0.0.2"],
                    ["x509", "-req", "-in", path("server.csr"), "-CA", path("ca.pem"),
                     "-CAkey", path("ca.key"), "-CAcreateserial", "-out", path("server.pem"),
                     "-days", "2", "-extfile", path("server.ext")]):
            subprocess.run(["openssl"] + cmd, check=True, capture_output=True)
        return path("ca.pem")

    def route(self):
        """This server as the clients see it, through the proxy."""
        return types.SimpleNamespace(
            hostport="127.0.0.2:%d" % self.ports[0], user=self.user, password=self.password,
            scheme=self.scheme, cafile=self.cafile, kind="rtt",
            remote=lambda rel: os.path.join(self.root, rel), clear=self.clear)

    def clear(self, rel_dir="public_html"):
        folder = os.path.join(self.root, rel_dir)
        for name in os.listdir(folder):
            os.remove(os.path.join(folder, name))

    def close(self):
        stop(self.proc)


class Xvfb(Closing):
    """An X server of its own, without a window manager; the with-block gets
    its DISPLAY, or None when it did not start."""

    def __enter__(self):
        read_fd, write_fd = os.pipe()
        self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0",
                                      "1280x1024x24", "-nolisten", "tcp", "-br", "-terminate"],
                                     pass_fds=[write_fd], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        os.close(write_fd)
        display = b""
        deadline = time.monotonic() + 20
        while not display.endswith(b"\n") and time.monotonic() < deadline:
            if select.select([read_fd], [], [], 1)[0]:
                chunk = os.read(read_fd, 16)
                if not chunk:
                    break
                display += chunk
        os.close(read_fd)
        return ":" + display.decode().strip() if display.strip() else None

    def close(self):
        stop(self.proc)


def focus_window(display, caption):
    """Gives the top-level window titled `caption` the input focus, as a
    window manager does for the window in front. False if there is none."""
    tree = subprocess.run(["xwininfo", "-root", "-children", "-display", display],
                          capture_output=True, text=True).stdout
    ids = [line.split()[0] for line in tree.splitlines() if '"%s"' % caption in line]
    if not ids:
        return False
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XSetInputFocus.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_ulong]
    x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    connection = x11.XOpenDisplay(display.encode())
    if not connection:
        return False
    revert_to_parent, current_time = 2, 0
    x11.XSetInputFocus(connection, int(ids[0], 16), revert_to_parent, current_time)
    x11.XSync(connection, 0)
    x11.XCloseDisplay(connection)
    return True


class DelayProxy(Closing):
    """bench/delayproxy.py on 127.0.0.2 in front of the server's ports."""

    def __init__(self, ports, one_way_ms):
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "delayproxy.py")
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", script, "--one-way-ms", str(one_way_ms)]
            + [str(p) for p in ports], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.pending = b""
        if self._line(30) != b"READY":
            self.close()
            raise RuntimeError("the delay proxy did not start")

    def _line(self, timeout):
        """The proxy's next line, or None. Read straight from the pipe: a
        buffered reader would hide a second line from select()."""
        fd = self.proc.stdout.fileno()
        deadline = time.monotonic() + timeout
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                return None
            chunk = os.read(fd, 4096)
            if not chunk:
                return None
            self.pending += chunk
        line, _, self.pending = self.pending.partition(b"\n")
        return line.strip()

    def control_ms(self, timeout=5):
        """The proxy's time for the next control connection that ended, or
        None."""
        line = (self._line(timeout) or b"").split()
        return float(line[1]) if len(line) == 2 and line[0] == b"control" else None

    def close(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Bench:
    def __init__(self, build, rounds, latency_runs, startup_runs, idle_seconds, work):
        self.build = os.path.abspath(build)
        self.rounds = rounds
        self.latency_runs = latency_runs
        self.startup_runs = startup_runs
        self.idle_seconds = idle_seconds
        self.work = work
        self.tmpdir = os.path.dirname(work)
        self.rows = []
        self.notes = []
        self._vsftpd = None
        self.client_busy = collections.defaultdict(list)

    def vsftpd(self):
        if self._vsftpd is None:
            self._vsftpd = Server(self.build, "vsftpd", tmpdir=self.tmpdir)
        return self._vsftpd

    def close(self):
        if self._vsftpd is not None:
            self._vsftpd.close()
            self._vsftpd = None

    def attempt(self, run):
        """run(server) on vsftpd; its result, or None if it failed. Tests
        running meanwhile share vsftpd's login account and may move its home
        away: then the server is started anew, at most twice."""
        for _ in range(3):
            server = self.vsftpd()
            result = run(server)
            if result is not None or server.home_ok():
                return result
            log("  another vsftpd fixture moved the login account: restarting the server")
            self.close()
        return None

    def exe(self, name):
        return os.path.join(self.build, "bench", name)

    def row(self, figure, value, goal, met=None):
        """One line of the table; a figure without a goal has met=None."""
        self.rows.append((figure, value, goal, "-" if met is None else "yes" if met else "NO"))

    def note(self, text):
        self.notes.append(text)
        log("  " + text)

    def make_file(self, name, size, text=False):
        path = os.path.join(self.work, name)
        with open(path, "wb") as f:
            if text:
                line = b"channel %05d,239.0.0.1:1234,Harlune test channel\n"
                written = 0
                n = 0
                while written < size:
                    chunk = (line % n)[: size - written]
                    f.write(chunk)
                    written += len(chunk)
                    n += 1
            else:
                block = os.urandom(MIB)
                for _ in range(size // MIB):
                    f.write(block)
                f.write(block[: size % MIB])
        return path

    # Transfers -----------------------------------------------------------

    def component(self, server, local, remote, buffer=None, env=None):
        """One upload by the program's component; (ms, peak RSS KiB) or None."""
        cmd = [self.exe("bench_upload" if buffer is None else "bench_upload_sweep"),
               getattr(server, "scheme", "") + server.hostport, server.user, server.password,
               local, remote]
        if buffer is not None:
            cmd.append(str(buffer))
        env = dict(os.environ, **(env or {}))
        if getattr(server, "cafile", None):
            env["SSL_CERT_FILE"] = server.cafile
        out = run_pairs(cmd, timeout=300, env=env)
        if out["rc"] != 0 or out.get("ok") != "1":
            log("  upload failed with response code %s" % out.get("code"))
            return None
        return float(out["elapsed_ms"]), int(out["vmhwm_kib"])

    def curl(self, server, local, remote, env=None, after=(), ask_tls=True):
        """One plain store by curl; its own transfer time in ms, or None.
        Like against like: the same path form as the component's, the whole
        path on STOR from the log-in folder (no CWD); to a bare host TLS is
        asked for first (--ssl), as the component does, and over TLS the
        same TLS 1.2 or newer."""
        url = "ftp://%s/%s" % (server.hostport, remote)
        cmd = ["curl", "--disable", "-sS", "--ftp-method", "nocwd",
               "--user", "%s:%s" % (server.user, server.password),
               "-T", local, "-w", "%{time_total} %{size_upload}", url]
        for command in reversed(after):
            cmd[1:1] = ["-Q", "-" + command]
        if getattr(server, "cafile", None):
            cmd[1:1] = ["--ssl-reqd", "--cacert", server.cafile, "--tlsv1.2"]
        elif ask_tls:
            cmd[1:1] = ["--ssl"]
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=300,
                              env=dict(os.environ, **(env or {})))
        if done.returncode != 0:
            log("  curl exited %d: %s" % (done.returncode, done.stderr.strip()))
            return None
        seconds, sent = done.stdout.split()
        if int(sent) != os.path.getsize(local):
            log("  curl sent %s bytes of %d" % (sent, os.path.getsize(local)))
            return None
        return float(seconds) * 1000.0

    def arrived(self, server, remote, size):
        try:
            return os.path.getsize(server.remote(remote)) == size
        except OSError:
            return False

    # 1 and 5: throughput and memory --------------------------------------

    def upload_checked(self, server, name, local, size):
        """One timed upload of variant `name`; (ms, peak RSS KiB or None) once
        the server holds the whole file, else None."""
        usage = resource.getrusage(resource.RUSAGE_CHILDREN)
        client_cpu = usage.ru_utime + usage.ru_stime
        if name == "curl -T":
            remote = "public_html/curl.bin"
            ms = self.curl(server, local, remote)
            result = None if ms is None else (ms, None)
        else:
            remote = "public_html/channel_list.txt"
            buffer = None if name == "component" else int(name.split()[1]) * 1024
            result = self.component(server, local, remote, buffer)
        usage = resource.getrusage(resource.RUSAGE_CHILDREN)
        client_cpu = usage.ru_utime + usage.ru_stime - client_cpu
        # The sink keeps no file: there curl's byte count and the component's
        # SIZE check stand for the server's copy.
        ok = result is not None and (server.kind == "sink" or self.arrived(server, remote, size))
        server.clear()
        if ok:
            label = "sink" if server.kind == "sink" else "vsftpd"
            self.client_busy[(label, name)].append(1000 * client_cpu / result[0])
        return result if ok else None

    def throughput(self):
        log("Throughput: 1 GiB to vsftpd and to a discarding server, %d rounds" % self.rounds)
        size = 1024 * MIB
        big = self.make_file("big.bin", size)
        small = self.make_file("small.bin", 1024, text=True)
        try:
            ceiling = []
            for _ in range(self.rounds):
                out = run_pairs([self.exe("bench_loopback"), str(size)], timeout=120)
                if out["rc"] == 0:
                    ceiling.append(float(out["mib_per_s"]))
            ceiling_mib = statistics.median(ceiling) if ceiling else None
            if ceiling_mib:
                self.note("loopback ceiling (bench_loopback, 1 MiB writes and reads): %s MiB/s"
                          % ", ".join("%.0f" % c for c in ceiling))
            # The same with the receiver storing the bytes as vsftpd does: 64 KiB
            # reads, each written to a file beside the server's.
            storing = []
            for _ in range(self.rounds):
                out = run_pairs([self.exe("bench_loopback"), str(size), str(64 * 1024),
                                 os.path.join(self.work, "sink.bin")], timeout=120)
                if out["rc"] == 0:
                    storing.append(float(out["mib_per_s"]))
            storing_mib = statistics.median(storing) if storing else None
            if storing_mib:
                self.note("storing ceiling (receiver writes 64 KiB pieces to tmpfs): %s MiB/s"
                          % ", ".join("%.0f" % c for c in storing))

            names = ["curl -T", "component"]
            if os.path.exists(self.exe("bench_upload_sweep")):
                names += ["buffer %d KiB" % kib for kib in self.sweep]

            def rounds(attempt, label, count):
                """Median MiB/s of each variant, alternating; peak RSS of the
                component's runs."""
                # A first store warms the server up; it is not counted.
                attempt(lambda server: self.upload_checked(server, "curl -T", big, size))
                times = collections.defaultdict(list)
                peaks = []
                for r in range(count):
                    order = names[r % len(names):] + names[: r % len(names)]
                    for name in order:
                        result = attempt(
                            lambda server, n=name: self.upload_checked(server, n, big, size))
                        if result is None:
                            log("  %s to %s failed" % (name, label))
                            continue
                        times[name].append(result[0])
                        if name == "component":
                            peaks.append(result[1])
                rate = {}
                for name in names:
                    if not times[name]:
                        continue
                    rate[name] = size / MIB / (statistics.median(times[name]) / 1000.0)
                    self.note("%-6s %-15s %5.0f MiB/s, client on CPU %3.0f %% (runs %s ms)"
                              % (label, name, rate[name],
                                 100 * statistics.median(self.client_busy[(label, name)]),
                                 ", ".join("%.0f" % t for t in times[name])))
                return rate, peaks

            rate, peak_big = rounds(self.attempt, "vsftpd", self.rounds)
            # Uploads to the sink are short and vary more: twice the rounds.
            with Sink(self.build) as sink:
                sink_rate, _ = rounds(lambda run: run(sink), "sink", 2 * self.rounds)

            comp, base = rate.get("component"), rate.get("curl -T")
            figure = "Throughput 1 GiB: component / curl -T"
            if comp and base:
                self.row(figure, "%.2f (%.0f vs %.0f MiB/s)" % (comp / base, comp, base),
                         ">= 1.00", comp >= base)
            else:
                self.row(figure, "failed", ">= 1.00", False)
            for name in ("component", "curl -T"):
                figure = "Throughput: %s / loopback ceiling" % name
                if rate.get(name) and ceiling_mib:
                    share = rate[name] / ceiling_mib
                    self.row(figure, "%.2f (ceiling %.0f MiB/s)" % (share, ceiling_mib),
                             ">= 0.85", share >= 0.85)
                else:
                    self.row(figure, "failed", ">= 0.85", False)
            if comp and storing_mib:
                self.row("Throughput: component / storing ceiling",
                         "%.2f (ceiling %.0f MiB/s)" % (comp / storing_mib, storing_mib),
                         "-")
            scomp, sbase = sink_rate.get("component"), sink_rate.get("curl -T")
            if scomp and sbase and ceiling_mib:
                self.row("Throughput to the sink: component / curl -T",
                         "%.2f (%.0f vs %.0f MiB/s)" % (scomp / sbase, scomp, sbase),
                         "-")
                self.row("Throughput to the sink: component / ceiling",
                         "%.2f" % (scomp / ceiling_mib), "-")

            small_peak = self.attempt(
                lambda server: self.upload_checked(server, "component", small, 1024))
            figure = "Peak RSS: 1 GiB upload - 1 KiB upload"
            if small_peak and peak_big:
                big_kib = max(peak_big)
                diff = big_kib - small_peak[1]
                self.row(figure, "%+d KiB (%d vs %d KiB)" % (diff, big_kib, small_peak[1]),
                         "within 2048 KiB", abs(diff) <= 2048)
            else:
                self.row(figure, "failed", "within 2048 KiB", False)
        finally:
            os.remove(big)
            os.remove(small)

    # 2: small-file latency -----------------------------------------------

    def latency(self):
        log("Latency: 4 KiB channel list to vsftpd, %d runs each" % self.latency_runs)
        size = 4096
        local = self.make_file("channel_list.txt", size, text=True)
        final = "public_html/channel_list.txt"
        plain = "public_html/curl.txt"

        def logged(server, run):
            """The commands the server received during run(), or None."""
            before = len(server.commands())
            if run(server) is None:
                return None
            return server.commands()[before:]

        comp_cmds = self.attempt(
            lambda server: logged(server, lambda s: self.component(s, local, final)))
        curl_cmds = self.attempt(
            lambda server: logged(server, lambda s: self.curl(s, local, plain)))
        if comp_cmds is None or curl_cmds is None:
            self.row("Latency 4 KiB: component / curl time_total", "failed", "<= 1.10", False)
            return

        def alternate(attempt):
            """Times of the component's uploads and curl's stores, taken in turn."""
            comp, curl = [], []
            for r in range(self.latency_runs):
                pair = [("component", comp, lambda s: self.component(s, local, final)),
                        ("curl", curl, lambda s: self.curl(s, local, plain))]
                if r % 2:
                    pair.reverse()
                for name, times, run in pair:
                    result = attempt(run)
                    if result is None:
                        log("  %s failed" % name)
                    else:
                        times.append(result[0] if isinstance(result, tuple) else result)
            return comp, curl

        comp, curl = alternate(self.attempt)
        server = self.vsftpd()
        arrived = self.arrived(server, final, size) and self.arrived(server, plain, size)
        server.clear()
        if len(comp) < 10 or len(curl) < 10 or not arrived:
            self.row("Latency 4 KiB: component / curl time_total", "failed", "<= 1.10", False)
            return
        # Without a log-in to check a password, the protocol's own share shows.
        with Sink(self.build) as sink:
            sink_comp, sink_curl = alternate(lambda run: run(sink))

        def names(cmds):
            return [c.split(" ")[0] for c in cmds if c not in ("CONNECT", "DISCONNECT")]

        comp_names, curl_names = names(comp_cmds), names(curl_cmds)
        extra = list((collections.Counter(comp_names) - collections.Counter(curl_names)).elements())
        missing = list((collections.Counter(curl_names) - collections.Counter(comp_names))
                       .elements())
        self.note("component commands: " + " ".join(comp_names))
        self.note("curl commands:      " + " ".join(curl_names))
        mc, mb = statistics.median(comp), statistics.median(curl)

        def spread(xs):
            deciles = statistics.quantiles(xs, n=10)
            return "p10 %.2f, p90 %.2f" % (deciles[0], deciles[-1])

        self.note("vsftpd: component %.2f ms median (%s); curl %.2f ms (%s); %d runs each"
                  % (mc, spread(comp), mb, spread(curl), len(comp)))
        self.row("Latency 4 KiB: component / curl time_total",
                 "%.2f (%.2f vs %.2f ms)" % (mc / mb, mc, mb), "<= 1.10", mc / mb <= 1.10)
        self.row("Safe publish: extra round trips",
                 "%+d (+%s%s)" % (len(extra) - len(missing), " +".join(extra),
                                  "".join(" -" + m for m in missing)),
                 "-")
        self.row("Safe publish: extra time", "%+.2f ms" % (mc - mb), "-")
        if len(sink_comp) >= 10 and len(sink_curl) >= 10:
            sc, sb = statistics.median(sink_comp), statistics.median(sink_curl)
            self.note("sink: component %.2f ms median (%s); curl %.2f ms (%s)"
                      % (sc, spread(sink_comp), sb, spread(sink_curl)))
            # curl -T in this path form still waits out libcurl 7.88's
            # 200 ms timer after EPSV against the sink; the component not.
            self.row("Latency 4 KiB to the sink: component / curl",
                     "%.2f (%.2f vs %.2f ms)" % (sc / sb, sc, sb), "<= 1.10", sc / sb <= 1.10)

    # 2b: round-trip times -----------------------------------------------

    def round_trips(self):
        log("Round trips: 4 KiB through a delay proxy, RTT %s ms, %d runs each"
            % (", ".join(str(r) for r in RTTS_MS), self.rtt_runs))
        size = 4096
        local = self.make_file("channel_list.txt", size, text=True)
        for tls in (False, True):
            label = "ftpes" if tls else "ftp"
            try:
                server = RttServer(self.work, tls)
            except RuntimeError as error:
                self.row("Round trips, %s" % label, "error: %s" % error, "", False)
                continue
            with server:
                for rtt in RTTS_MS:
                    with DelayProxy(server.ports, rtt / 2.0) as proxy:
                        self.rtt_row(label, rtt, proxy, server.route(), local, size)
                # A worker held back right after EPSV, as on a busy machine.
                with DelayProxy(server.ports, HELD_RTT_MS / 2.0) as proxy:
                    self.rtt_row(label, HELD_RTT_MS, proxy, server.route(), local, size,
                                 hold_ms=HOLD_MS)
        os.remove(local)

    def rtt_row(self, label, rtt, proxy, route, local, size, hold_ms=0):
        """Component, curl -T, and curl -T followed by the safe publish's own
        commands (STAT for what the file is, SIZE where the component's STAT
        of its copy stands, RNFR, RNTO: curl plus the component's extra round
        trips, with the same work at the server), taken in turn; each timed by
        the proxy from the control connection to the client's hang-up."""
        env = {}
        if hold_ms:
            probe = os.path.join(self.build, "tests", "support", "libharlune_worker_probe.so")
            env = {"LD_PRELOAD": probe, "HARLUNE_PROBE_EPSV_DELAY_MS": str(hold_ms)}
        final, plain = "public_html/channel_list.txt", "public_html/curl.txt"
        renamed = "public_html/curl-renamed.txt"
        clients = [
            ("component", lambda e: self.component(route, local, final, env=e)),
            ("curl", lambda e: self.curl(route, local, plain, env=e)),
            ("curl+4", lambda e: self.curl(route, local, plain, env=e,
                                           after=["STAT " + plain, "SIZE " + plain,
                                                  "RNFR " + plain, "RNTO " + renamed])),
        ]
        times = {name: [] for name, _ in clients}
        reports = {name: os.path.join(self.work, "probe-%s.txt" % name) for name, _ in clients}
        for r in range(self.rtt_runs):
            for name, run in clients[r % 3:] + clients[: r % 3]:
                e = dict(env, HARLUNE_PROBE_REPORT=reports[name]) if hold_ms else env
                ok = run(e) is not None
                ms = proxy.control_ms()
                if ok and ms is not None:
                    times[name].append(ms)
                else:
                    log("  %s failed at RTT %d ms (%s)" % (name, rtt, label))
        arrived = all(os.path.exists(route.remote(p)) and os.path.getsize(route.remote(p)) == size
                      for p in (final, renamed))
        route.clear()
        held = ", worker held %d ms after EPSV" % hold_ms if hold_ms else ""
        figure = "RTT %2d ms, %s%s: component vs curl -T" % (rtt, label, held)
        goal = "<= curl -T + STAT, SIZE, RNFR, RNTO; median, p95"
        if any(len(t) < max(1, self.rtt_runs // 2) for t in times.values()) or not arrived:
            self.row(figure, "failed", goal, False)
            return
        med = {n: statistics.median(t) for n, t in times.items()}
        p95 = {n: percentile(t, 95) for n, t in times.items()}
        extra = " (%+.1f RTT)" % ((med["component"] - med["curl"]) / rtt) if rtt else ""
        value = ("median %.1f vs %.1f ms%s; p95 %.1f vs %.1f ms"
                 % (med["component"], med["curl"], extra, p95["component"], p95["curl"]))
        if hold_ms:
            blind = {}
            for name in ("component", "curl"):
                counts = [0, 0]
                try:
                    with open(reports[name]) as f:
                        for line in f:
                            fields = line.split()
                            counts[0] += int(fields[1])
                            counts[1] += int(fields[3])
                except (OSError, ValueError, IndexError):
                    counts = [-1, -1]
                blind[name] = counts
            value += "; blind waits after EPSV %d vs %d" % (blind["component"][1],
                                                             blind["curl"][1])
        for path in reports.values():
            if os.path.exists(path):
                os.remove(path)
        # Run-to-run noise of a few per cent is no reason to fail a row.
        met = (med["component"] <= med["curl+4"] * 1.05 and
               p95["component"] <= p95["curl+4"] * 1.05)
        self.row(figure, value, "%s (%.1f, %.1f ms)" % (goal, med["curl+4"], p95["curl+4"]),
                 met)

    # 3: CPU while an upload waits ----------------------------------------

    def waiting_cpu(self):
        log("CPU while waiting: window upload throttled to %d B/s" % THROTTLE)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        with Server(self.build, "pyftpdlib", THROTTLE, tmpdir=self.tmpdir) as server:
            for seconds in (20, 10):
                size = THROTTLE * seconds
                local = self.make_file("throttled.txt", size, text=True)
                out = run_pairs([self.exe("bench_window_cpu"), server.hostport, server.user,
                                 server.password, local], timeout=180, env=env)
                arrived = self.arrived(server, "public_html/channel_list.txt", size)
                server.clear()
                os.remove(local)
                figure = "CPU during a %d s throttled upload (window)" % seconds
                if out["rc"] != 0 or not arrived:
                    self.row(figure, "failed (%s)" % out.get("result", "no result"), "< 1 %",
                             False)
                    continue
                pct = float(out["cpu_percent"])
                self.row(figure, "%.3f %% (%.0f ms CPU in %.1f s)"
                         % (pct, float(out["cpu_ms"]), float(out["wall_ms"]) / 1000),
                         "< 1 %", pct < 1.0)

    # 4: idle -------------------------------------------------------------

    @staticmethod
    def proc_cpu_ticks(pid):
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])  # utime, stime

    @staticmethod
    def proc_switches(pid, kinds=("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
        """Context switches of all threads; the voluntary ones alone are the
        times a thread went to sleep, its wake-ups."""
        total = 0
        for task in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/status" % (pid, task)) as f:
                for line in f:
                    if line.startswith(kinds):
                        total += int(line.split()[1])
        return total

    @staticmethod
    def proc_run_ns(pid):
        """Time on CPU of all threads, in ns, from the scheduler's own clock."""
        total = 0
        for task in os.listdir("/proc/%d/task" % pid):
            try:
                with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                    total += int(f.read().split()[0])
            except (OSError, ValueError, IndexError):
                pass
        return total

    def idle(self):
        log("Idle: the program under Xvfb, its window focused, auto upload unticked, %d s"
            % self.idle_seconds)
        program = os.path.join(self.build, "window", "harlune-uploader")
        figure = "Idle, %d s, window focused (Xvfb)" % self.idle_seconds
        if not shutil.which("Xvfb") or not shutil.which("xwininfo"):
            self.row(figure, "no Xvfb or xwininfo", "", False)
            return
        with Xvfb() as display:
            if display is None:
                self.row(figure, "Xvfb did not start", "", False)
                return
            env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb")
            proc = subprocess.Popen([program], env=env, cwd=self.work,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                time.sleep(3)  # past start-up
                # Focused as the window in front is on a desktop: its first
                # text box has the focus, where the cursor blinks.
                if proc.poll() is not None or not focus_window(display, CAPTION):
                    self.row(figure, "program exited or no window", "", False)
                    return
                self.idle_span(proc.pid, "first 8 s after the focus", 8)
                time.sleep(4)  # the cursor stops blinking 10 s after input
                self.idle_span(proc.pid, "%d s" % self.idle_seconds, self.idle_seconds,
                               goal=True)
            finally:
                stop(proc)

    def idle_span(self, pid, what, seconds, goal=False):
        hz = os.sysconf("SC_CLK_TCK")
        voluntary = ("voluntary_ctxt_switches",)
        t0, v0, w0 = time.monotonic(), self.proc_switches(pid, voluntary), self.proc_switches(pid)
        c0, n0 = self.proc_cpu_ticks(pid), self.proc_run_ns(pid)
        time.sleep(seconds)
        t1, v1, w1 = time.monotonic(), self.proc_switches(pid, voluntary), self.proc_switches(pid)
        c1, n1 = self.proc_cpu_ticks(pid), self.proc_run_ns(pid)
        span = t1 - t0
        wakeups = (v1 - v0) / span
        pct = 100.0 * (n1 - n0) / 1e9 / span
        self.note("idle, %s: %d ticks of 1/%d s in /proc/pid/stat; %.1f context switches/s "
                  "(voluntary and not)" % (what, c1 - c0, hz, (w1 - w0) / span))
        figure = "Idle, window focused (Xvfb), %s" % what
        value = "%.2f wake-ups/s, CPU %.3f %% (%.1f ms)" % (wakeups, pct, (n1 - n0) / 1e6)
        if goal:
            self.row(figure, value, "<= 1.1 /s, < 0.1 %", wakeups <= 1.1 and pct < 0.1)
        else:
            self.row(figure, value, "-")

    # 6: start-up ---------------------------------------------------------

    def startup(self):
        log("Start-up under Xvfb, %d runs" % self.startup_runs)
        figure = "Start-up: exec to window mapped (Xvfb)"
        if not shutil.which("Xvfb") or not os.path.exists(self.exe("bench_startup")):
            self.row(figure, "no Xvfb or Xlib", "< 150 ms", False)
            return
        with Xvfb() as display:
            if display is None:
                self.row(figure, "Xvfb did not start", "< 150 ms", False)
                return
            env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb")
            program = os.path.join(self.build, "window", "harlune-uploader")
            done = subprocess.run([self.exe("bench_startup"), str(self.startup_runs + 1), CAPTION,
                                   program], capture_output=True, text=True, timeout=300,
                                  env=env, cwd=self.work)
            runs = []
            for line in done.stdout.splitlines():
                f = line.split()
                if len(f) == 6 and f[0] == "run":
                    runs.append((float(f[3]), float(f[5])))
            ok = [r for r in runs[1:] if r[0] >= 0 and r[1] >= 0]
            if done.returncode != 0 or not ok:
                self.row(figure, "failed", "< 150 ms", False)
                log("  bench_startup: " + done.stderr.strip())
                return
            mapped = statistics.median(r[0] for r in ok)
            drawn = statistics.median(r[1] for r in ok)
            self.note("start-up: first (cold) run mapped %.1f ms; warm runs mapped %s ms"
                      % (runs[0][0], ", ".join("%.0f" % r[0] for r in ok)))
            self.row(figure, "%.1f ms (median of %d)" % (mapped, len(ok)), "< 150 ms",
                     mapped < 150)
            self.row("Start-up: exec to window drawn (Xvfb)", "%.1f ms" % drawn, "-")

    def ssh_login(self):
        log("SFTP log-in steps against sshd")
        values = run_pairs([self.exe("bench_ssh_login"), "15"], timeout=600)
        if values["rc"] != 0:
            self.row("SFTP log-in", "skipped" if values["rc"] == 77 else "failed", "-")
            return
        ms = {k[3:]: float(v) for k, v in values.items() if k.startswith("ms_")}
        conns = {k[12:]: float(v) for k, v in values.items() if k.startswith("connections_")}
        for case, figure in (("password", "typed password"), ("agent_key", "key in ssh-agent"),
                             ("key_file", "key file ~/.ssh/id_ed25519")):
            self.row("SFTP upload, log-in by " + figure,
                     "%.0f ms, %.0f connection" % (ms[case], conns[case]), "1 connection",
                     conns[case] == 1)
        # ssh goes on to the password on the same connection after a refused
        # key; only sshd's MaxAuthTries (6) ends it, and then a second
        # connection offers the password alone.
        for case, figure, wanted in (
                ("password_after_refused_agent_key", "1 refused agent key", 1),
                ("password_after_8_refused_agent_keys", "8 refused agent keys", 2)):
            self.row("SFTP password after " + figure,
                     "+%.0f ms, %.0f connections" % (ms[case] - ms["password"], conns[case]),
                     "%d connection%s" % (wanted, "s" if wanted > 1 else ""),
                     conns[case] == wanted)

    def print_table(self):
        headers = ("Figure", "Measured", "Goal", "Met")
        widths = [max(len(h), *(len(r[i]) for r in self.rows)) for i, h in enumerate(headers)]
        line = "  ".join("%-*s" % (w, h) for w, h in zip(widths, headers))
        print()
        print(line)
        print("  ".join("-" * w for w in widths))
        for r in self.rows:
            print("  ".join("%-*s" % (w, c) for w, c in zip(widths, r)))
        print()
        for n in self.notes:
            print("  " + n)
        sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default="build-bench")
    parser.add_argument("--rounds", type=int, default=7, help="1 GiB rounds per variant")
    parser.add_argument("--latency-runs", type=int, default=50)
    parser.add_argument("--rtt-runs", type=int, default=20,
                        help="runs per client at each round-trip time")
    parser.add_argument("--startup-runs", type=int, default=10)
    parser.add_argument("--idle-seconds", type=int, default=60)
    parser.add_argument("--sweep", type=int, nargs="*", default=list(SWEEP_KIB),
                        help="upload buffer sizes to compare, KiB")
    parser.add_argument("--only", nargs="*", default=[],
                        choices=["throughput", "latency", "rtt", "perm", "sftp", "held", "cpu",
                                 "idle", "idleheld", "startup", "ssh"])
    args = parser.parse_args()
    if os.geteuid() != 0:
        log("vsftpd needs root: run as root")
        return 1
    if not shutil.which("curl"):
        log("curl is missing")
        return 1

    signal.signal(signal.SIGTERM, lambda *a: sys.exit(1))
    # Memory-backed when the machine has it: nothing waits on a disk.
    shm = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    work = tempfile.mkdtemp(prefix="harlune-bench-", dir=shm)
    bench = Bench(args.build, args.rounds, args.latency_runs, args.startup_runs,
                  args.idle_seconds, work)
    bench.sweep = args.sweep
    bench.rtt_runs = args.rtt_runs
    import publish_rows  # its rows use this module's servers and proxy

    steps = [("throughput", bench.throughput), ("latency", bench.latency),
             ("rtt", bench.round_trips), ("perm", lambda: publish_rows.permission_step(bench)),
             ("sftp", lambda: publish_rows.sftp_rows(bench)),
             ("held", lambda: publish_rows.held_rows(bench)),
             ("cpu", bench.waiting_cpu), ("idle", bench.idle),
             ("idleheld", lambda: publish_rows.idle_held(bench)), ("startup", bench.startup),
             ("ssh", bench.ssh_login)]
    started = time.monotonic()
    try:
        for name, step in steps:
            if not args.only or name in args.only:
                try:
                    step()
                except (RuntimeError, subprocess.TimeoutExpired, OSError) as error:
                    bench.row(name, "error: %s" % error, "", False)
    finally:
        bench.close()
        shutil.rmtree(work, ignore_errors=True)
    bench.note("whole run: %.0f s" % (time.monotonic() - started))
    bench.print_table()
    return 0


if __name__ == "__main__":
    sys.exit(main())
