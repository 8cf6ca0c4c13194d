"""Small-file latency: a 4 KiB channel list to vsftpd and to a discarding
server, the component against curl -T, and the commands each sends; and
over FTPS to vsftpd, where libcurl 7.88 can wait out a timer on a log-in.
"""

import collections
import statistics

from benchkit import FINAL, PLAIN, AccountVsftpd, Sink, log, percentile

SIZE = 4096
TLS_FIGURE = "Latency 4 KiB over FTPS to vsftpd: component / curl time_total"
# The FTPS row's vsftpd has an account of its own.
TLS_USER = "harlunelat"


def alternate(bench, attempt, local):
    """Times of the component's uploads and curl's stores, taken in turn."""
    comp, curl = [], []
    for r in range(bench.latency_runs):
        pair = [("component", comp, lambda s: bench.component(s, local, FINAL)),
                ("curl", curl, lambda s: bench.curl(s, local, PLAIN))]
        if r % 2:
            pair.reverse()
        for name, times, run in pair:
            result = attempt(run)
            if result is None:
                log("  %s failed" % name)
            else:
                times.append(result[0] if isinstance(result, tuple) else result)
    return comp, curl


def run_tls(bench, local):
    """A log-in each time, TLS 1.2 with an RSA certificate: vsftpd answers
    the data connection's handshake only after STOR, and libcurl 7.88 then
    watches only that connection while the reply to TYPE I waits."""
    try:
        server = AccountVsftpd(bench.work, True, TLS_USER)
    except RuntimeError as error:
        bench.row(TLS_FIGURE, "error: %s" % error, "<= 1.10", False)
        return
    with server:
        comp, curl = alternate(bench, lambda run: run(server), local)
        arrived = bench.arrived(server, FINAL, SIZE) and bench.arrived(server, PLAIN, SIZE)
    if len(comp) < 10 or len(curl) < 10 or not arrived:
        bench.row(TLS_FIGURE, "failed", "<= 1.10", False)
        return
    mc, mb = statistics.median(comp), statistics.median(curl)
    bench.row(TLS_FIGURE, "%.2f (median %.1f vs %.1f ms; p95 %.1f vs %.1f ms)"
              % (mc / mb, mc, mb, percentile(comp, 95), percentile(curl, 95)),
              "<= 1.10", mc / mb <= 1.10)


def run(bench):
    log("Latency: 4 KiB channel list to vsftpd, %d runs each" % bench.latency_runs)
    local = bench.make_file("channel_list.txt", SIZE, text=True)

    def logged(server, run):
        """The commands the server received during run(), or None."""
        before = len(server.commands())
        if run(server) is None:
            return None
        return server.commands()[before:]

    comp_cmds = bench.attempt(
        lambda server: logged(server, lambda s: bench.component(s, local, FINAL)))
    curl_cmds = bench.attempt(
        lambda server: logged(server, lambda s: bench.curl(s, local, PLAIN)))
    if comp_cmds is None or curl_cmds is None:
        bench.row("Latency 4 KiB: component / curl time_total", "failed", "<= 1.10", False)
        return

    comp, curl = alternate(bench, bench.attempt, local)
    server = bench.vsftpd()
    arrived = bench.arrived(server, FINAL, SIZE) and bench.arrived(server, PLAIN, SIZE)
    server.clear()
    if len(comp) < 10 or len(curl) < 10 or not arrived:
        bench.row("Latency 4 KiB: component / curl time_total", "failed", "<= 1.10", False)
        return
    # Without a log-in to check a password, the protocol's own share shows.
    with Sink(bench.build) as sink:
        sink_comp, sink_curl = alternate(bench, lambda run: run(sink), local)

    def names(cmds):
        return [c.split(" ")[0] for c in cmds if c not in ("CONNECT", "DISCONNECT")]

    comp_names, curl_names = names(comp_cmds), names(curl_cmds)
    extra = list((collections.Counter(comp_names) - collections.Counter(curl_names)).elements())
    missing = list((collections.Counter(curl_names) - collections.Counter(comp_names))
                   .elements())
    bench.note("component commands: " + " ".join(comp_names))
    bench.note("curl commands:      " + " ".join(curl_names))
    mc, mb = statistics.median(comp), statistics.median(curl)

    def spread(xs):
        deciles = statistics.quantiles(xs, n=10)
        return "p10 %.2f, p90 %.2f" % (deciles[0], deciles[-1])

    bench.note("vsftpd: component %.2f ms median (%s); curl %.2f ms (%s); %d runs each"
               % (mc, spread(comp), mb, spread(curl), len(comp)))
    bench.row("Latency 4 KiB: component / curl time_total",
              "%.2f (%.2f vs %.2f ms)" % (mc / mb, mc, mb), "<= 1.10", mc / mb <= 1.10)
    bench.row("Safe publish: extra round trips",
              "%+d (+%s%s)" % (len(extra) - len(missing), " +".join(extra),
                               "".join(" -" + m for m in missing)),
              "-")
    bench.row("Safe publish: extra time", "%+.2f ms" % (mc - mb), "-")
    if len(sink_comp) >= 10 and len(sink_curl) >= 10:
        sc, sb = statistics.median(sink_comp), statistics.median(sink_curl)
        bench.note("sink: component %.2f ms median (%s); curl %.2f ms (%s)"
                   % (sc, spread(sink_comp), sb, spread(sink_curl)))
        # curl -T in this path form still waits out libcurl 7.88's
        # 200 ms timer after EPSV against the sink; the component not.
        bench.row("Latency 4 KiB to the sink: component / curl",
                  "%.2f (%.2f vs %.2f ms)" % (sc / sb, sc, sb), "<= 1.10", sc / sb <= 1.10)
    run_tls(bench, local)
