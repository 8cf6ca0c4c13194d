"""The publish's own rows of bench/bench.py: the permission step, SFTP
through OpenSSH's client against `sftp -b`, publishes on a held session
against a fresh log-in each time, and the idle window holding a session.

Each row runs through bench/delayproxy.py as the round-trip rows do; the
component's publishes are timed inside its process (bench_publish), from
the start of a publish to its end.
"""

import os
import shutil
import statistics
import subprocess
import tempfile
import time

from bench import (DelayProxy, RttServer, Server, Xvfb, focus_window, log, percentile,
                   CAPTION)

RTTS_MS = (0, 25, 50)
FINAL = "public_html/channel_list.txt"
PLAIN = "public_html/curl.txt"
RENAMED = "public_html/curl-renamed.txt"
# A mode no server gives a new file: the publish must set it on the copy.
SEEDED_MODE = 0o604
# Publishes per bench_publish process on a held session: the first logs in.
HELD_COUNT = 3
SERVERS_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "servers")


def test_user():
    return os.environ.get("HARLUNE_TEST_SYSTEM_USER") or "harluneftp"


def stats(times):
    return statistics.median(times), percentile(times, 95)


def figures(times):
    med, p95 = stats(times)
    return "%.1f/%.1f" % (med, p95)


class SshServer:
    """Debian's sshd as the tests start it (tests/servers/sshd.sh), taking
    keys and passwords, with a home that holds a key it accepts and
    known_hosts lines for its address and the proxy's."""

    def __init__(self):
        # sshd logs the user into a home below this folder: it must be
        # reachable by that user, not only by root.
        self.base = tempfile.mkdtemp(prefix="harlune-bench-ssh-", dir="/dev/shm"
                                     if os.access("/dev/shm", os.W_OK) else None)
        os.chmod(self.base, 0o711)
        self.user = test_user()
        self.password = "bench-" + os.urandom(6).hex()
        self.root = os.path.join(self.base, "srv", "home")
        os.makedirs(os.path.dirname(self.root))
        out = subprocess.run(["bash", os.path.join(SERVERS_DIR, "sshd.sh"), "start", self.root,
                              self.user, self.password, "publickey,password"],
                             capture_output=True, text=True, timeout=60)
        info = dict(line.split(" ", 1) for line in out.stdout.splitlines() if " " in line)
        if out.returncode != 0 or "PORT" not in info:
            shutil.rmtree(self.base, ignore_errors=True)
            raise RuntimeError("sshd did not start: " + out.stderr.strip()[-300:])
        self.port = int(info["PORT"])
        self.pid = info["PID"]
        # The client's home: a key the server takes and its host key.
        self.home = os.path.join(self.base, "client")
        ssh_dir = os.path.join(self.home, ".ssh")
        os.makedirs(ssh_dir, mode=0o700)
        self.key = os.path.join(ssh_dir, "id_ed25519")
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", self.key],
                       check=True, capture_output=True)
        with open(self.key + ".pub") as src, \
                open(os.path.join(self.base, "srv", "authorized_keys"), "a") as dst:
            dst.write(src.read())
        self.known_hosts = os.path.join(ssh_dir, "known_hosts")
        with open(self.known_hosts, "w") as f:
            for address in ("127.0.0.1", "127.0.0.2"):
                f.write("[%s]:%d %s\n" % (address, self.port, info["HOSTKEY"]))
        self.env = dict(os.environ, HOME=self.home)
        self.env.pop("SSH_AUTH_SOCK", None)

    def remote(self, rel):
        return os.path.join(self.root, rel)

    def clear(self):
        folder = self.remote("public_html")
        for name in os.listdir(folder):
            os.remove(os.path.join(folder, name))

    def sftp_batch(self, address, local, timeout=120):
        """OpenSSH's sftp -b: put to a temporary name, rename onto the list
        (posix-rename where the server has it, as the component); the
        process's wall time in ms, or None."""
        batch = os.path.join(self.base, "batch")
        with open(batch, "w") as f:
            f.write("put %s public_html/.channel_list.txt.part\n" % local)
            f.write("rename public_html/.channel_list.txt.part %s\n" % FINAL)
        cmd = ["sftp", "-q", "-b", batch, "-F", "/etc/ssh/ssh_config",
               "-oUserKnownHostsFile=" + self.known_hosts, "-oIdentityFile=" + self.key,
               "-oStrictHostKeyChecking=yes", "-oControlMaster=no", "-oControlPath=none",
               "-P", str(self.port), "%s@%s" % (self.user, address)]
        start = time.monotonic()
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=self.env)
        ms = (time.monotonic() - start) * 1000.0
        if done.returncode != 0:
            log("  sftp -b exited %d: %s" % (done.returncode, done.stderr.strip()[-300:]))
            return None
        return ms

    def close(self):
        subprocess.run(["bash", os.path.join(SERVERS_DIR, "sshd.sh"), "stop", self.pid],
                       capture_output=True, timeout=60)
        shutil.rmtree(self.base, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def publish(bench, host, user, password, local, count, held, env=None):
    """bench_publish: `count` publishes in one process; their times in ms
    and the process's wall time, or None if any failed."""
    cmd = [bench.exe("bench_publish"), host, user, password, local, FINAL, str(count),
           "held" if held else "fresh"]
    start = time.monotonic()
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=300, env=env)
    wall = (time.monotonic() - start) * 1000.0
    times = [float(line.split()[2]) for line in done.stdout.splitlines()
             if line.startswith("publish ")]
    if done.returncode != 0 or len(times) != count:
        log("  bench_publish exited %d: %s" % (done.returncode, done.stderr.strip()[-300:]))
        return None
    return times, wall


def control_connections(proxy):
    """How many control connections the proxy saw end since it was last
    asked: the first is waited for, later ones not."""
    count = 0
    while proxy.control_ms(timeout=5 if count == 0 else 0.3) is not None:
        count += 1
    return count


def rtt_text(delta_ms, rtt):
    return " (%+.1f RTT)" % (delta_ms / rtt) if rtt else ""


# 1: the permission step ------------------------------------------------

def permission_step(bench):
    log("Permission step: 4 KiB to pyftpdlib through a delay proxy, RTT %s ms, %d runs each"
        % (", ".join(str(r) for r in RTTS_MS), bench.rtt_runs))
    local = bench.make_file("channel_list.txt", 4096, text=True)
    permission_commands(bench, local)
    try:
        server = RttServer(bench.work, tls=False)
    except RuntimeError as error:
        bench.row("Permission step", "error: %s" % error, "", False)
        return
    with server:
        route = server.route()
        new_mode = None
        for rtt in RTTS_MS:
            with DelayProxy(server.ports, rtt / 2.0) as proxy:
                if new_mode is None:
                    # The mode a new file gets here, from a plain store.
                    bench.curl(route, local, PLAIN)
                    proxy.control_ms()
                    new_mode = os.stat(route.remote(PLAIN)).st_mode & 0o777
                    bench.note("permission step: a new file gets mode %03o on pyftpdlib; "
                               "seeded %03o" % (new_mode, SEEDED_MODE))
                permission_row(bench, rtt, proxy, route, local, new_mode)
    os.remove(local)


def permission_row(bench, rtt, proxy, route, local, new_mode):
    """Two publishes in one process, each on a log-in of its own: the first
    learns what the server tells of a file's mode (STAT, else MLST), the
    second goes straight to what worked. Each is timed by the proxy from
    its control connection to its hang-up, as curl is."""
    final = route.remote(FINAL)

    def component(mode):
        def run():
            if not os.path.exists(final):
                shutil.copy(local, final)
            os.chmod(final, mode)
            out = publish(bench, route.hostport, route.user, route.password, local, 2, False)
            ms = [proxy.control_ms(), proxy.control_ms(timeout=2)]
            # The copy that replaced the list keeps the list's mode.
            if out is None or None in ms or os.stat(final).st_mode & 0o777 != mode:
                log("  publish failed or the list's mode became %03o, not %03o"
                    % (os.stat(final).st_mode & 0o777, mode))
                return None
            return ms
        return run

    def curl(*after, ask_tls=True):
        def run():
            ms = bench.curl(route, local, PLAIN, after=after, ask_tls=ask_tls)
            control = proxy.control_ms()
            return None if ms is None or control is None else [control]
        return run

    # Today's publish adds SIZE, RNFR and RNTO to a plain store; a later one
    # in the same process no longer asks for TLS where the server refused it.
    today = ("SIZE " + PLAIN, "RNFR " + PLAIN, "RNTO " + RENAMED)
    more = ("STAT " + RENAMED, "SITE CHMOD 604 " + RENAMED)
    clients = [("matching", component(new_mode)), ("set", component(SEEDED_MODE))]
    for tls, prefix in ((True, "curl"), (False, "later curl")):
        for n in range(3):
            clients.append(("%s+%d" % (prefix, 3 + n), curl(*(today + more[:n]), ask_tls=tls)))
    times = {name: [] for name, _ in clients}
    times.update({"first matching": [], "first set": []})
    for r in range(bench.rtt_runs):
        k = r % len(clients)
        for name, run in clients[k:] + clients[:k]:
            ms = run()
            if ms is None:
                log("  %s failed at RTT %d ms" % (name, rtt))
                continue
            times[name].append(ms[-1])
            if len(ms) == 2:
                times["first " + name].append(ms[0])
    route.clear()
    if any(len(t) < max(1, bench.rtt_runs // 2) for t in times.values()):
        bench.row("RTT %2d ms, ftp: permission step" % rtt, "failed", "", False)
        return
    med = {n: stats(t)[0] for n, t in times.items()}
    p95 = {n: stats(t)[1] for n, t in times.items()}
    bench.note("permission step, RTT %d ms, median/p95 ms of %d runs: %s"
               % (rtt, len(times["matching"]),
                  ", ".join("%s %s" % (n, figures(t)) for n, t in times.items())))

    for which, prefix in (("first", "curl"), ("later", "later curl")):
        def name(case):
            return case if which == "later" else "first " + case

        def versus(case):
            n = name(case)
            return "%s %.1f/%.1f%s" % (case, med[n], p95[n],
                                       rtt_text(med[n] - med[prefix + "+3"], rtt))

        figure = ("RTT %2d ms, ftp: permission step, %s" %
                  (rtt, "first publish of a process" if which == "first" else
                   "later publish, own log-in"))
        value = "%s, %s vs today %.1f/%.1f ms" % (versus("matching"), versus("set"),
                                                   med[prefix + "+3"], p95[prefix + "+3"])
        goal = "matching <= today+1, set <= today+2 round trips (%.1f/%.1f, %.1f/%.1f ms)" % (
            med[prefix + "+4"], p95[prefix + "+4"], med[prefix + "+5"], p95[prefix + "+5"])
        # Run-to-run noise of a few per cent is no reason to fail a row.
        met = all(med[name(c)] <= med[prefix + b] * 1.05 and
                  p95[name(c)] <= p95[prefix + b] * 1.05
                  for c, b in (("matching", "+4"), ("set", "+5")))
        bench.row(figure, value, goal, met)


def permission_commands(bench, local):
    """The commands of each publish, from the server's own log: the first
    publish of a process onto a matching list and onto a seeded one, then
    two publishes in one process, each on its own log-in, and two on one
    held session."""
    for kind in ("pyftpdlib", "vsftpd"):
        try:
            server = Server(bench.build, kind, tmpdir=bench.tmpdir)
        except RuntimeError as error:
            bench.row("Permission step commands, %s" % kind, "error: %s" % error, "", False)
            continue
        with server:
            final = server.remote(FINAL)

            def logged(run):
                before = len(server.commands())
                if not run():
                    return None
                return [c.split(" ")[0] + (" " + c.split(" ")[1] if c.startswith("SITE") else "")
                        for c in server.commands()[before:]
                        if c not in ("CONNECT", "DISCONNECT")]

            bench.curl(server, local, PLAIN)
            new_mode = os.stat(server.remote(PLAIN)).st_mode & 0o777
            curl_cmds = logged(lambda: bench.curl(server, local, PLAIN) is not None)
            shutil.copy(local, final)
            os.chmod(final, new_mode)
            os.chown(final, *owner_of(server.remote(PLAIN)))
            matching = logged(lambda: bench.component(server, local, FINAL) is not None)
            os.chmod(final, SEEDED_MODE)
            seeded = logged(lambda: bench.component(server, local, FINAL) is not None)
            os.chmod(final, new_mode)
            fresh = logged(lambda: publish(bench, server.hostport, server.user, server.password,
                                           local, 2, False) is not None)
            os.chmod(final, SEEDED_MODE)
            fresh_set = logged(lambda: publish(bench, server.hostport, server.user,
                                               server.password, local, 2, False) is not None)
            held = logged(lambda: publish(bench, server.hostport, server.user, server.password,
                                          local, 2, True) is not None)
            server.clear()
            for name, cmds in (("curl -T", curl_cmds), ("matching", matching),
                               ("seeded %03o" % SEEDED_MODE, seeded),
                               ("two log-ins, one process, matching", fresh),
                               ("two log-ins, one process, seeded", fresh_set),
                               ("two publishes, one held session, seeded", held)):
                bench.note("commands, %s, %s (%s): %s"
                           % (kind, name, "failed" if cmds is None else len(cmds),
                              " ".join(cmds or [])))
            if curl_cmds and matching and seeded:
                bench.row("Permission step, %s: commands beyond curl -T" % kind,
                          "matching %+d, set %+d (curl -T %d)"
                          % (len(matching) - len(curl_cmds), len(seeded) - len(curl_cmds),
                             len(curl_cmds)),
                          "-")


def owner_of(path):
    st = os.stat(path)
    return st.st_uid, st.st_gid


# 2: SFTP through OpenSSH's client ----------------------------------------

def sftp_rows(bench):
    log("SFTP: 4 KiB to sshd through a delay proxy, key log-in, RTT %s ms, %d runs each"
        % (", ".join(str(r) for r in RTTS_MS), bench.rtt_runs))
    if not shutil.which("sftp"):
        bench.row("SFTP", "no sftp client", "", False)
        return
    local = bench.make_file("channel_list.txt", 4096, text=True)
    try:
        with SshServer() as server:
            host = "sftp://127.0.0.2:%d" % server.port
            for rtt in RTTS_MS:
                with DelayProxy([server.port], rtt / 2.0):
                    sftp_row(bench, rtt, server, host, local)
    except RuntimeError as error:
        bench.row("SFTP", "error: %s" % error, "", False)
    os.remove(local)


def sftp_row(bench, rtt, server, host, local):
    first, wall, batch = [], [], []
    for r in range(bench.rtt_runs):
        order = [0, 1] if r % 2 == 0 else [1, 0]
        for which in order:
            if which == 0:
                out = publish(bench, host, server.user, server.password, local, 1, False,
                              env=server.env)
                if out is not None:
                    first.append(out[0][0])
                    wall.append(out[1])
            else:
                ms = server.sftp_batch("127.0.0.2", local)
                if ms is not None:
                    batch.append(ms)
    arrived = os.path.exists(server.remote(FINAL))
    server.clear()
    figure = "RTT %2d ms, sftp: first publish vs sftp -b" % rtt
    goal = "<= 1.10 x sftp -b (median)"
    if len(first) < bench.rtt_runs // 2 or len(batch) < bench.rtt_runs // 2 or not arrived:
        bench.row(figure, "failed", goal, False)
        return
    mf, pf = stats(first)
    mb, pb = stats(batch)
    mw, pw = stats(wall)
    bench.row(figure, "%.2f (median %.1f vs %.1f ms; p95 %.1f vs %.1f ms; process %.1f/%.1f)"
              % (mf / mb, mf, mb, pf, pb, mw, pw), goal, mf <= 1.10 * mb)


# 3: held sessions --------------------------------------------------------

def held_rows(bench):
    log("Held sessions: 4 KiB, %d publishes a process, through a delay proxy, RTT %s ms, "
        "%d processes each" % (HELD_COUNT, ", ".join(str(r) for r in RTTS_MS), bench.rtt_runs))
    local = bench.make_file("channel_list.txt", 4096, text=True)
    for tls in (False, True):
        label = "ftpes" if tls else "ftp"
        try:
            server = RttServer(bench.work, tls)
        except RuntimeError as error:
            bench.row("Held sessions, %s" % label, "error: %s" % error, "", False)
            continue
        with server:
            route = server.route()
            env = dict(os.environ, SSL_CERT_FILE=server.cafile) if server.cafile else None
            host = route.scheme + route.hostport
            for rtt in RTTS_MS:
                with DelayProxy(server.ports, rtt / 2.0) as proxy:
                    connections = []

                    def component():
                        out = publish(bench, host, route.user, route.password, local,
                                      HELD_COUNT, True, env=env)
                        connections.append(control_connections(proxy))
                        return out

                    curl_total = []

                    # curl -T timed as the round-trip rows time it, by the
                    # proxy from its connection to its hang-up; its own
                    # time_total (without QUIT) is noted beside.
                    def baseline():
                        ms = bench.curl(route, local, PLAIN)
                        control = proxy.control_ms()
                        if ms is None or control is None:
                            return None
                        curl_total.append(ms)
                        return control

                    held_row(bench, label, rtt, component, baseline, "curl -T", 0.75)
                    if curl_total:
                        bench.note("held, %s, RTT %d ms: curl -T time_total %s ms"
                                   % (label, rtt, figures(curl_total)))
                    bench.note("held, %s, RTT %d ms: control connections per process of %d "
                               "publishes: %s" % (label, rtt, HELD_COUNT,
                                                  sorted(set(connections))))
                    route.clear()
    try:
        with SshServer() as server:
            host = "sftp://127.0.0.2:%d" % server.port
            for rtt in RTTS_MS:
                with DelayProxy([server.port], rtt / 2.0):
                    held_row(bench, "sftp", rtt,
                             lambda: publish(bench, host, server.user, server.password, local,
                                             HELD_COUNT, True, env=server.env),
                             lambda: server.sftp_batch("127.0.0.2", local), "sftp -b", 0.5)
                server.clear()
    except RuntimeError as error:
        bench.row("Held sessions, sftp", "error: %s" % error, "", False)
    os.remove(local)


def held_row(bench, label, rtt, component, baseline, base_name, ratio):
    first, later, base = [], [], []
    for r in range(bench.rtt_runs):
        runs = [component, baseline] if r % 2 == 0 else [baseline, component]
        for run in runs:
            out = run()
            if out is None:
                log("  %s failed at RTT %d ms" % (label, rtt))
            elif run is component:
                first.append(out[0][0])
                later.extend(out[0][1:])
            else:
                base.append(out)
    figure = "RTT %2d ms, %s: held publish vs %s" % (rtt, label, base_name)
    goal = "<= %.2f x %s (median)" % (ratio, base_name) if rtt else "-"
    if len(first) < bench.rtt_runs // 2 or len(base) < bench.rtt_runs // 2:
        bench.row(figure, "failed", goal, False if rtt else None)
        return
    ml, pl = stats(later)
    mb, pb = stats(base)
    mf, pf = stats(first)
    bench.note("held, %s, RTT %d ms: first publish %s ms (%d), later %s ms (%d), %s %s ms (%d)"
               % (label, rtt, figures(first), len(first), figures(later), len(later), base_name,
                  figures(base), len(base)))
    value = ("%.2f (median %.1f vs %.1f ms%s; p95 %.1f vs %.1f ms); first %.1f/%.1f ms"
             % (ml / mb, ml, mb, rtt_text(ml - mb, rtt), pl, pb, mf, pf))
    bench.row(figure, value, goal, ml <= ratio * mb if rtt else None)


# 4: idle with a held session -------------------------------------------

def idle_held(bench):
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
    with Xvfb() as display:
        if display is None:
            bench.row(figure, "Xvfb did not start", "", False)
            return
        env = dict(env or os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb")
        proc = subprocess.Popen([bench.exe("bench_window_held"), host, user, password, local],
                                env=env, cwd=bench.work, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            line = proc.stdout.readline().strip()
            if line != "uploaded Success":
                bench.row(figure, "upload failed (%s)" % (line or "no result"), "", False)
                return
            if not focus_window(display, CAPTION):
                bench.row(figure, "no window", "", False)
                return
            bench.idle_span(proc.pid, "%s held, first 8 s after the focus" % label, 8)
            time.sleep(4)  # the cursor stops blinking 10 s after input
            held_before = connections_to(proc.pid, port)
            bench.idle_span(proc.pid, "%s session held, %d s" % (label, bench.idle_seconds),
                            bench.idle_seconds, goal=True)
            held_after = connections_to(proc.pid, port)
            for child in child_pids(proc.pid):
                bench.note("idle, %s held: child %s (%s) alive" % (label, child, comm(child)))
            bench.note("idle, %s held: connections to the server before and after: %d, %d"
                       % (label, held_before, held_after))
        finally:
            proc.stdin.close()
            try:
                proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()


def comm(pid):
    try:
        with open("/proc/%s/comm" % pid) as f:
            return f.read().strip()
    except OSError:
        return "?"
