"""Held sessions: three publishes in one process (bench_publish) on a held
session through bench/delayproxy.py, the later ones against curl -T over
FTP and FTPS and against `sftp -b` over SFTP.
"""

import os

from benchkit import (PLAIN, PUBLISH_RTTS_MS, DelayProxy, SshServer, figures, log, publish,
                      rtt_servers, rtt_text, stats)

# Publishes per bench_publish process on a held session: the first logs in.
HELD_COUNT = 3
# Round trips a later publish waits for. FTP: STAT, EPSV, STOR, the 226
# after the data, STAT of the copy, RNFR, RNTO, each sent only once the
# last was answered (libcurl's way); SFTP: LSTAT with the copy's OPEN, the
# WRITEs with FSETSTAT, fsync, FSTAT and CLOSE, then the rename.
ROUND_TRIPS = {"ftp": 7, "ftpes": 7, "sftp": 3}
# SFTP's goal: its round trips and this much of the client's and server's own
# work.
SFTP_SLACK_MS = 5.0


def control_connections(proxy):
    """How many control connections the proxy saw end since it was last
    asked: the first is waited for, later ones not."""
    count = 0
    while proxy.control_ms(timeout=5 if count == 0 else 0.3) is not None:
        count += 1
    return count


def run(bench):
    log("Held sessions: 4 KiB, %d publishes a process, through a delay proxy, RTT %s ms, "
        "%d processes each" % (HELD_COUNT, ", ".join(str(r) for r in PUBLISH_RTTS_MS),
                               bench.rtt_runs))
    local = bench.make_file("channel_list.txt", 4096, text=True)
    for label, server in rtt_servers(bench, "Held sessions"):
        route = server.route()
        env, host = route.env, route.host
        for rtt in PUBLISH_RTTS_MS:
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
            for rtt in PUBLISH_RTTS_MS:
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
    if rtt:
        trips = ROUND_TRIPS[label]
        value = ("%.2f RTT (median %.1f, p95 %.1f ms): %d round trips + %.1f ms"
                 % (ml / rtt, ml, pl, trips, ml - trips * rtt))
        if label == "sftp":
            bound = trips * rtt + SFTP_SLACK_MS
            bench.row("RTT %2d ms, sftp: held publish in round trips" % rtt, value,
                      "<= %d RTT + %.0f ms (%.0f ms, median)" % (trips, SFTP_SLACK_MS, bound),
                      ml <= bound)
        else:
            bench.row("RTT %2d ms, %s: held publish in round trips" % (rtt, label), value,
                      "- (%d, each libcurl's wait or a check's)" % trips)
