"""Round-trip times: 4 KiB over plain FTP and FTPS through
bench/delayproxy.py, the component against curl -T and curl -T with the
safe publish's own commands; one row holds the client's transfer thread
back after EPSV through a preloaded probe.
"""

import os
import statistics

from benchkit import LOOK, DelayProxy, log, percentile, rtt_servers, rtt_text

# The times benchmarked, and a worker held back after EPSV.
RTTS_MS = (0, 1, 5, 25, 50)
HELD_RTT_MS = 5
HOLD_MS = 10


def run(bench):
    log("Round trips: 4 KiB through a delay proxy, RTT %s ms, %d runs each"
        % (", ".join(str(r) for r in RTTS_MS), bench.rtt_runs))
    size = 4096
    local = bench.make_file("channel_list.txt", size, text=True)
    for label, server in rtt_servers(bench, "Round trips"):
        for rtt in RTTS_MS:
            with DelayProxy(server.ports, rtt / 2.0) as proxy:
                rtt_row(bench, label, rtt, proxy, server.route(), local, size)
        # A worker held back right after EPSV, as on a busy machine.
        with DelayProxy(server.ports, HELD_RTT_MS / 2.0) as proxy:
            rtt_row(bench, label, HELD_RTT_MS, proxy, server.route(), local, size,
                    hold_ms=HOLD_MS)
    os.remove(local)


def rtt_row(bench, label, rtt, proxy, route, local, size, hold_ms=0):
    """Component, curl -T, and curl -T followed by the safe publish's own
    commands (STAT for what the file is, SIZE where the component's STAT
    of its copy stands, RNFR, RNTO: curl plus the component's extra round
    trips, with the same work at the server), taken in turn; each timed by
    the proxy from the control connection to the client's hang-up."""
    env = {}
    if hold_ms:
        probe = os.path.join(bench.build, "tests", "support", "libharlune_worker_probe.so")
        env = {"LD_PRELOAD": probe, "HARLUNE_PROBE_EPSV_DELAY_MS": str(hold_ms)}
    final, plain = "public_html/channel_list.txt", "public_html/curl.txt"
    renamed = "public_html/curl-renamed.txt"
    clients = [
        ("component", lambda e: bench.component(route, local, final, env=e)),
        ("curl", lambda e: bench.curl(route, local, plain, env=e)),
        ("curl+4", lambda e: bench.curl(route, local, plain, env=e,
                                        after=["STAT " + plain, "SIZE " + plain,
                                               "RNFR " + plain, "RNTO " + renamed] + list(LOOK))),
    ]
    times = {name: [] for name, _ in clients}
    reports = {name: os.path.join(bench.work, "probe-%s.txt" % name) for name, _ in clients}
    for r in range(bench.rtt_runs):
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
    goal = "<= curl -T + STAT, SIZE, RNFR, RNTO and the look's STAT -a, STAT; median, p95"
    if any(len(t) < max(1, bench.rtt_runs // 2) for t in times.values()) or not arrived:
        bench.row(figure, "failed", goal, False)
        return
    med = {n: statistics.median(t) for n, t in times.items()}
    p95 = {n: percentile(t, 95) for n, t in times.items()}
    extra = rtt_text(med["component"] - med["curl"], rtt)
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
    bench.row(figure, value, "%s (%.1f, %.1f ms)" % (goal, med["curl+4"], p95["curl+4"]),
              met)
