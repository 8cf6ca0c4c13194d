"""The permission step: 4 KiB to pyftpdlib through bench/delayproxy.py, two
publishes in one process (bench_publish), each on a log-in of its own, onto
a list whose mode matches a new file's and onto a seeded one, against
curl -T with the publish's commands; and the commands of each publish from
the servers' own logs.
"""

import os
import shutil

from benchkit import (FINAL, LOOK, PLAIN, PUBLISH_RTTS_MS, RENAMED, DelayProxy, RttServer, Server,
                      figures, log, publish, rtt_text, stats)

# A mode no server gives a new file: the publish must set it on the copy.
SEEDED_MODE = 0o604


def run(bench):
    log("Permission step: 4 KiB to pyftpdlib through a delay proxy, RTT %s ms, %d runs each"
        % (", ".join(str(r) for r in PUBLISH_RTTS_MS), bench.rtt_runs))
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
        for rtt in PUBLISH_RTTS_MS:
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
    # The first publish of a process is a run's first: its look at the
    # folder goes into its baseline.
    for tls, prefix in ((True, "curl"), (False, "later curl")):
        for n in range(3):
            clients.append(("%s+%d" % (prefix, 3 + n),
                            curl(*(today + more[:n] + (LOOK if tls else ())), ask_tls=tls)))
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
