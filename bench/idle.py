"""Waiting and idle: the window's CPU during a throttled upload (run_cpu),
the program idle under Xvfb with its window focused (run), and the same
after one upload with its session still held (run_held).
"""

import os
import shutil
import subprocess
import time

from benchkit import (CAPTION, Server, SshServer, close_input, focus_window, log, run_pairs, stop,
                      xvfb_env)

THROTTLE = 100 * 1024  # bytes per second, for the CPU figures


def run_cpu(bench):
    log("CPU while waiting: window upload throttled to %d B/s" % THROTTLE)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    with Server(bench.build, "pyftpdlib", THROTTLE, tmpdir=bench.tmpdir) as server:
        for seconds in (20, 10):
            size = THROTTLE * seconds
            local = bench.make_file("throttled.txt", size, text=True)
            out = run_pairs([bench.exe("bench_window_cpu"), server.hostport, server.user,
                             server.password, local], timeout=180, env=env)
            arrived = bench.arrived(server, "public_html/channel_list.txt", size)
            server.clear()
            os.remove(local)
            figure = "CPU during a %d s throttled upload (window)" % seconds
            if out["rc"] != 0 or not arrived:
                bench.row(figure, "failed (%s)" % out.get("result", "no result"), "< 1 %",
                          False)
                continue
            pct = float(out["cpu_percent"])
            bench.row(figure, "%.3f %% (%.0f ms CPU in %.1f s)"
                      % (pct, float(out["cpu_ms"]), float(out["wall_ms"]) / 1000),
                      "< 1 %", pct < 1.0)


def proc_cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime


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


def run(bench):
    log("Idle: the program under Xvfb, its window focused, auto upload unticked, %d s"
        % bench.idle_seconds)
    program = os.path.join(bench.build, "window", "harlune-uploader")
    figure = "Idle, %d s, window focused (Xvfb)" % bench.idle_seconds
    if not shutil.which("Xvfb") or not shutil.which("xwininfo"):
        bench.row(figure, "no Xvfb or xwininfo", "", False)
        return
    with xvfb_env(bench, figure) as env:
        if env is None:
            return
        proc = subprocess.Popen([program], env=env, cwd=bench.work,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            time.sleep(3)  # past start-up
            # Focused as the window in front is on a desktop: its first
            # text box has the focus, where the cursor blinks.
            if proc.poll() is not None or not focus_window(env["DISPLAY"], CAPTION):
                bench.row(figure, "program exited or no window", "", False)
                return
            idle_span(bench, proc.pid, "first 8 s after the focus", 8)
            time.sleep(4)  # the cursor stops blinking 10 s after input
            idle_span(bench, proc.pid, "%d s" % bench.idle_seconds, bench.idle_seconds,
                      goal=True)
        finally:
            stop(proc)


def idle_span(bench, pid, what, seconds, goal=False):
    hz = os.sysconf("SC_CLK_TCK")
    voluntary = ("voluntary_ctxt_switches",)
    t0, v0, w0 = time.monotonic(), proc_switches(pid, voluntary), proc_switches(pid)
    c0, n0 = proc_cpu_ticks(pid), proc_run_ns(pid)
    time.sleep(seconds)
    t1, v1, w1 = time.monotonic(), proc_switches(pid, voluntary), proc_switches(pid)
    c1, n1 = proc_cpu_ticks(pid), proc_run_ns(pid)
    span = t1 - t0
    wakeups = (v1 - v0) / span
    pct = 100.0 * (n1 - n0) / 1e9 / span
    bench.note("idle, %s: %d ticks of 1/%d s in /proc/pid/stat; %.1f context switches/s "
               "(voluntary and not)" % (what, c1 - c0, hz, (w1 - w0) / span))
    figure = "Idle, window focused (Xvfb), %s" % what
    value = "%.2f wake-ups/s, CPU %.3f %% (%.1f ms)" % (wakeups, pct, (n1 - n0) / 1e6)
    if goal:
        bench.row(figure, value, "<= 1.1 /s, < 0.1 %", wakeups <= 1.1 and pct < 0.1)
    else:
        bench.row(figure, value, "-")


def run_held(bench):
    log("Idle with a held session: one upload from the window under Xvfb, then %d s"
        % bench.idle_seconds)
    if not shutil.which("Xvfb") or not shutil.which("xwininfo"):
        bench.row("Idle, session held", "no Xvfb or xwininfo", "", False)
        return
    local = bench.make_file("channel_list.txt", 4096, text=True)
    try:
        with Server(bench.build, "pyftpdlib", tmpdir=bench.tmpdir) as server:
            idle_held_row(bench, "ftp", server.hostport, server.user, server.password, local,
                          server.hostport.rsplit(":", 1)[1], None)
        with SshServer() as server:
            idle_held_row(bench, "sftp", "sftp://127.0.0.1:%d" % server.port, server.user,
                          server.password, local, str(server.port), server.env)
    except RuntimeError as error:
        bench.row("Idle, session held", "error: %s" % error, "", False)
    os.remove(local)


def connections_to(pid, port):
    """Established TCP connections of the process (and its children) to
    `port`."""
    out = subprocess.run(["ss", "-Htnp", "state", "established", "dport", "= :" + port],
                         capture_output=True, text=True).stdout
    pids = {str(pid)} | set(child_pids(pid))
    return sum(1 for line in out.splitlines() if any("pid=%s," % p in line for p in pids))


def child_pids(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return f.read().split()
    except OSError:
        return []


def idle_held_row(bench, label, host, user, password, local, port, env):
    figure = "Idle, %s session held, %d s, window focused (Xvfb)" % (label, bench.idle_seconds)
    with xvfb_env(bench, figure, env=env) as env:
        if env is None:
            return
        proc = subprocess.Popen([bench.exe("bench_window_held"), host, user, password, local],
                                env=env, cwd=bench.work, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            line = proc.stdout.readline().strip()
            if line != "uploaded Success":
                bench.row(figure, "upload failed (%s)" % (line or "no result"), "", False)
                return
            if not focus_window(env["DISPLAY"], CAPTION):
                bench.row(figure, "no window", "", False)
                return
            idle_span(bench, proc.pid, "%s held, first 8 s after the focus" % label, 8)
            time.sleep(4)  # the cursor stops blinking 10 s after input
            held_before = connections_to(proc.pid, port)
            idle_span(bench, proc.pid, "%s session held, %d s" % (label, bench.idle_seconds),
                      bench.idle_seconds, goal=True)
            held_after = connections_to(proc.pid, port)
            for child in child_pids(proc.pid):
                bench.note("idle, %s held: child %s (%s) alive" % (label, child, comm(child)))
            bench.note("idle, %s held: connections to the server before and after: %d, %d"
                       % (label, held_before, held_after))
        finally:
            close_input(proc, timeout=20)


def comm(pid):
    try:
        with open("/proc/%s/comm" % pid) as f:
            return f.read().strip()
    except OSError:
        return "?"
