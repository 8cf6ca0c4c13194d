#!/usr/bin/python3
"""Runs the uploader's benchmarks against loopback FTP servers and prints
one table: figure, measured value, goal, and whether the goal is met.

Run through bench/run.sh, which builds the programs first. Needs root for
vsftpd, curl for the baseline and Xvfb for the start-up figure.
"""

import argparse
import collections
import os
import pwd
import resource
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

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

    def component(self, server, local, remote, buffer=None):
        """One upload by the program's component; (ms, peak RSS KiB) or None."""
        cmd = [self.exe("bench_upload" if buffer is None else "bench_upload_sweep"),
               server.hostport, server.user, server.password, local, remote]
        if buffer is not None:
            cmd.append(str(buffer))
        out = run_pairs(cmd, timeout=300)
        if out["rc"] != 0 or out.get("ok") != "1":
            log("  upload failed with response code %s" % out.get("code"))
            return None
        return float(out["elapsed_ms"]), int(out["vmhwm_kib"])

    def curl(self, server, local, remote):
        """One plain store by curl; its own transfer time in ms, or None."""
        url = "ftp://%s/%s" % (server.hostport, remote)
        done = subprocess.run(
            ["curl", "--disable", "-sS", "--user", "%s:%s" % (server.user, server.password),
             "-T", local, "-w", "%{time_total} %{size_upload}", url],
            capture_output=True, text=True, timeout=300)
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
            self.row("Latency 4 KiB to the sink: component / curl",
                     "%.2f (%.2f vs %.2f ms)" % (sc / sb, sc, sb), "-")

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
    def proc_wakeups(pid):
        total = 0
        for task in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/status" % (pid, task)) as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
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
        log("Idle: the program for %d s, auto upload unticked" % self.idle_seconds)
        program = os.path.join(self.build, "window", "harlune-uploader")
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        proc = subprocess.Popen([program], env=env, cwd=self.work, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        try:
            time.sleep(3)  # past start-up
            if proc.poll() is not None:
                self.row("Idle CPU, %d s" % self.idle_seconds, "program exited", "< 0.1 %", False)
                return
            hz = os.sysconf("SC_CLK_TCK")
            pid = proc.pid
            t0, w0 = time.monotonic(), self.proc_wakeups(pid)
            c0, n0 = self.proc_cpu_ticks(pid), self.proc_run_ns(pid)
            time.sleep(self.idle_seconds)
            t1, w1 = time.monotonic(), self.proc_wakeups(pid)
            c1, n1 = self.proc_cpu_ticks(pid), self.proc_run_ns(pid)
            pct = 100.0 * (c1 - c0) / hz / (t1 - t0)
            self.note("idle: %d ticks of 1/%d s in /proc/pid/stat; schedstat %.3f %% (%.1f ms); "
                      "%.1f context switches/s" % (c1 - c0, hz, 100.0 * (n1 - n0) / 1e9 / (t1 - t0),
                                                   (n1 - n0) / 1e6, (w1 - w0) / (t1 - t0)))
            self.row("Idle CPU, %d s, timer ticking" % self.idle_seconds,
                     "%.3f %% (%d ms)" % (pct, (c1 - c0) * 1000 // hz), "< 0.1 %", pct < 0.1)
        finally:
            proc.terminate()
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()

    # 6: start-up ---------------------------------------------------------

    def startup(self):
        log("Start-up under Xvfb, %d runs" % self.startup_runs)
        figure = "Start-up: exec to window mapped (Xvfb)"
        if not shutil.which("Xvfb") or not os.path.exists(self.exe("bench_startup")):
            self.row(figure, "no Xvfb or Xlib", "< 150 ms", False)
            return
        read_fd, write_fd = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0",
                                 "1280x1024x24", "-nolisten", "tcp", "-br", "-terminate"],
                                pass_fds=[write_fd], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        os.close(write_fd)
        try:
            display = b""
            deadline = time.monotonic() + 20
            while not display.endswith(b"\n") and time.monotonic() < deadline:
                if select.select([read_fd], [], [], 1)[0]:
                    chunk = os.read(read_fd, 16)
                    if not chunk:
                        break
                    display += chunk
            if not display.strip():
                self.row(figure, "Xvfb did not start", "< 150 ms", False)
                return
            env = dict(os.environ, DISPLAY=":" + display.decode().strip(), QT_QPA_PLATFORM="xcb")
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
        finally:
            os.close(read_fd)
            xvfb.terminate()
            try:
                xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                xvfb.kill()
                xvfb.wait()

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
        for case, figure in (("password_after_refused_agent_key", "1 refused agent key"),
                             ("password_after_8_refused_agent_keys", "8 refused agent keys")):
            self.row("SFTP password after " + figure,
                     "+%.0f ms, %.0f connections" % (ms[case] - ms["password"], conns[case]),
                     "2 connections", conns[case] == 2)

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
    parser.add_argument("--startup-runs", type=int, default=10)
    parser.add_argument("--idle-seconds", type=int, default=60)
    parser.add_argument("--sweep", type=int, nargs="*", default=list(SWEEP_KIB),
                        help="upload buffer sizes to compare, KiB")
    parser.add_argument("--only", nargs="*", default=[],
                        choices=["throughput", "latency", "cpu", "idle", "startup", "ssh"])
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
    steps = [("throughput", bench.throughput), ("latency", bench.latency),
             ("cpu", bench.waiting_cpu), ("idle", bench.idle), ("startup", bench.startup), ("ssh", bench.ssh_login)]
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
