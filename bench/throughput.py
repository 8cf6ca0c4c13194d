"""Throughput and memory: 1 GiB to vsftpd and to a discarding server, the
component against curl -T and the loopback's own ceiling, and the peak RSS
of a large upload against a small one.
"""

import collections
import os
import resource
import statistics

from benchkit import MIB, Sink, log, run_pairs

SWEEP_KIB = (64, 512, 2048)  # CURLOPT_UPLOAD_BUFFERSIZE values compared


def upload_checked(bench, client_busy, server, name, local, size):
    """One timed upload of variant `name`; (ms, peak RSS KiB or None) once
    the server holds the whole file, else None."""
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    client_cpu = usage.ru_utime + usage.ru_stime
    if name == "curl -T":
        remote = "public_html/curl.bin"
        ms = bench.curl(server, local, remote)
        result = None if ms is None else (ms, None)
    else:
        remote = "public_html/channel_list.txt"
        buffer = None if name == "component" else int(name.split()[1]) * 1024
        result = bench.component(server, local, remote, buffer)
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    client_cpu = usage.ru_utime + usage.ru_stime - client_cpu
    # The sink keeps no file: there curl's byte count and the component's
    # SIZE check stand for the server's copy.
    ok = result is not None and (server.kind == "sink" or bench.arrived(server, remote, size))
    server.clear()
    if ok:
        label = "sink" if server.kind == "sink" else "vsftpd"
        client_busy[(label, name)].append(1000 * client_cpu / result[0])
    return result if ok else None


def loopback(bench, args, what):
    """bench_loopback's MiB/s in each round, noted; their median, or None."""
    rates = []
    for _ in range(bench.rounds):
        out = run_pairs([bench.exe("bench_loopback")] + args, timeout=120)
        if out["rc"] == 0:
            rates.append(float(out["mib_per_s"]))
    median = statistics.median(rates) if rates else None
    if median:
        bench.note("%s: %s MiB/s" % (what, ", ".join("%.0f" % c for c in rates)))
    return median


def run(bench):
    log("Throughput: 1 GiB to vsftpd and to a discarding server, %d rounds" % bench.rounds)
    size = 1024 * MIB
    big = bench.make_file("big.bin", size)
    small = bench.make_file("small.bin", 1024, text=True)
    client_busy = collections.defaultdict(list)

    def upload(server, name, local, size):
        return upload_checked(bench, client_busy, server, name, local, size)

    try:
        ceiling_mib = loopback(bench, [str(size)],
                               "loopback ceiling (bench_loopback, 1 MiB writes and reads)")
        # The same with the receiver storing the bytes as vsftpd does: 64 KiB
        # reads, each written to a file beside the server's.
        storing_mib = loopback(bench, [str(size), str(64 * 1024),
                                       os.path.join(bench.work, "sink.bin")],
                               "storing ceiling (receiver writes 64 KiB pieces to tmpfs)")

        names = ["curl -T", "component"]
        if os.path.exists(bench.exe("bench_upload_sweep")):
            names += ["buffer %d KiB" % kib for kib in bench.sweep]

        def rounds(attempt, label, count):
            """Median MiB/s of each variant, alternating; peak RSS of the
            component's runs."""
            # A first store warms the server up; it is not counted.
            attempt(lambda server: upload(server, "curl -T", big, size))
            times = collections.defaultdict(list)
            peaks = []
            for r in range(count):
                order = names[r % len(names):] + names[: r % len(names)]
                for name in order:
                    result = attempt(lambda server, n=name: upload(server, n, big, size))
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
                bench.note("%-6s %-15s %5.0f MiB/s, client on CPU %3.0f %% (runs %s ms)"
                           % (label, name, rate[name],
                              100 * statistics.median(client_busy[(label, name)]),
                              ", ".join("%.0f" % t for t in times[name])))
            return rate, peaks

        rate, peak_big = rounds(bench.attempt, "vsftpd", bench.rounds)
        # Uploads to the sink are short and vary more: twice the rounds.
        with Sink(bench.build) as sink:
            sink_rate, _ = rounds(lambda run: run(sink), "sink", 2 * bench.rounds)

        comp, base = rate.get("component"), rate.get("curl -T")
        figure = "Throughput 1 GiB: component / curl -T"
        if comp and base:
            bench.row(figure, "%.2f (%.0f vs %.0f MiB/s)" % (comp / base, comp, base),
                      ">= 1.00", comp >= base)
        else:
            bench.row(figure, "failed", ">= 1.00", False)
        for name in ("component", "curl -T"):
            figure = "Throughput: %s / loopback ceiling" % name
            if rate.get(name) and ceiling_mib:
                share = rate[name] / ceiling_mib
                bench.row(figure, "%.2f (ceiling %.0f MiB/s)" % (share, ceiling_mib),
                          ">= 0.85", share >= 0.85)
            else:
                bench.row(figure, "failed", ">= 0.85", False)
        if comp and storing_mib:
            bench.row("Throughput: component / storing ceiling",
                      "%.2f (ceiling %.0f MiB/s)" % (comp / storing_mib, storing_mib),
                      "-")
        scomp, sbase = sink_rate.get("component"), sink_rate.get("curl -T")
        if scomp and sbase and ceiling_mib:
            bench.row("Throughput to the sink: component / curl -T",
                      "%.2f (%.0f vs %.0f MiB/s)" % (scomp / sbase, scomp, sbase),
                      "-")
            bench.row("Throughput to the sink: component / ceiling",
                      "%.2f" % (scomp / ceiling_mib), "-")

        small_peak = bench.attempt(lambda server: upload(server, "component", small, 1024))
        figure = "Peak RSS: 1 GiB upload - 1 KiB upload"
        if small_peak and peak_big:
            big_kib = max(peak_big)
            diff = big_kib - small_peak[1]
            bench.row(figure, "%+d KiB (%d vs %d KiB)" % (diff, big_kib, small_peak[1]),
                      "within 2048 KiB", abs(diff) <= 2048)
        else:
            bench.row(figure, "failed", "within 2048 KiB", False)
    finally:
        os.remove(big)
        os.remove(small)
