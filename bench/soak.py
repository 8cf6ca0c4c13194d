"""Soak: one process publishing for as long as a user leaves it running.

bench_publish publishes the list over and over on loopback, on a held
session (FTP and FTPS to vsftpd, SFTP to OpenSSH) and with a log-in each,
and samples its resident set, open descriptors and threads every 1000
publishes. The goal: over the second half of the run the resident set grows
by at most 64 KiB and descriptors and threads not at all, and the whole
growth from the first publish stays under 1 MiB.
"""

import os
import subprocess

from benchkit import FINAL, AccountVsftpd, SshServer, log

EVERY = 1000
HALF_GROWTH_KIB = 64
WHOLE_GROWTH_KIB = 1024
# Accounts of the soak's own, one a server: a fixture that starts moves its
# account's home, which would end another server's log-ins mid-run.
USER = "harlunesoak"
SSH_USER = "harlunesoaks"
TRANSPORTS = ("ftp", "ftpes", "sftp")


def every(count):
    """Publishes between samples: EVERY, fewer on a short run."""
    return max(1, min(EVERY, count // 10))


def samples(bench, host, user, password, local, count, held, env):
    """bench_publish's samples, {n: (rss KiB, fds, threads, ms)}, and the
    number of publishes that failed."""
    cmd = [bench.exe("bench_publish"), host, user, password, local, FINAL, str(count),
           "held" if held else "fresh", str(every(count))]
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=4 * 3600, env=env)
    taken = {}
    for line in done.stdout.splitlines():
        if line.startswith("sample "):
            n, rss, fds, threads, ms = line.split()[1:]
            taken[int(n)] = (int(rss), int(fds), int(threads), float(ms))
    failed = sum(1 for line in done.stderr.splitlines() if " failed: " in line)
    if done.returncode != 0:
        log("  bench_publish exited %d: %s" % (done.returncode, done.stderr.strip()[-300:]))
    return taken, failed


def soak_row(bench, label, count, run):
    taken, failed = run()
    figure = "Soak, %s: %d publishes in one process" % (label, count)
    goal = ("RSS +<= %d KiB from %d to %d, +< %d KiB in all; fds, threads flat"
            % (HALF_GROWTH_KIB, count // 2, count, WHOLE_GROWTH_KIB))
    if count not in taken or count // 2 not in taken or 1 not in taken:
        bench.row(figure, "failed: %d publishes failed" % failed, goal, False)
        return
    first, half, last = taken[1], taken[count // 2], taken[count]
    peak = max(rss for rss, _, _, _ in taken.values())
    half_growth = last[0] - half[0]
    whole = peak - first[0]
    fds_flat = all(t[1] == half[1] for n, t in taken.items() if n >= count // 2)
    threads_flat = all(t[2] == half[2] for n, t in taken.items() if n >= count // 2)
    mean_ms = sum(t[3] for n, t in taken.items() if n > 1) / max(1, len(taken) - 1)
    value = ("RSS %.1f -> %.1f -> %.1f MiB: %+d KiB in the second half, %+d KiB peak over the "
             "first; fds %d -> %d, threads %d -> %d; %.2f ms a publish; %d failed"
             % (first[0] / 1024.0, half[0] / 1024.0, last[0] / 1024.0, half_growth, whole,
                half[1], last[1], half[2], last[2], mean_ms, failed))
    met = (half_growth <= HALF_GROWTH_KIB and whole < WHOLE_GROWTH_KIB and fds_flat
           and threads_flat and failed == 0)
    bench.row(figure, value, goal, met)
    log("  %s: %s (%s)" % (figure, value, "met" if met else "NOT met"))
    step = max(every(count), count // 10)
    bench.note("soak, %s: RSS KiB (fds, threads) by publishes: %s" % (label, ", ".join(
        "%d: %d (%d, %d)" % (n, taken[n][0], taken[n][1], taken[n][2])
        for n in sorted(taken) if n == 1 or n % step == 0)))


def run(bench):
    held_count, fresh_count = bench.soak_count, bench.soak_count // 10
    log("Soak: %d held publishes and %d with a log-in each, per transport, sampled every %d"
        % (held_count, fresh_count, EVERY))
    local = bench.make_file("channel_list.txt", 4096, text=True)
    for tls in (False, True):
        label = "ftpes" if tls else "ftp"
        if label not in bench.soak_transports:
            continue
        try:
            server = AccountVsftpd(bench.work, tls, USER)
        except RuntimeError as error:
            bench.row("Soak, %s" % label, "error: %s" % error, "", False)
            continue
        with server:
            for held, count in ((True, held_count), (False, fresh_count)):
                soak_row(bench, "%s, %s" % (label, "held" if held else "a log-in each"), count,
                         lambda: samples(bench, server.host, server.user, server.password, local,
                                         count, held, server.env))
    if "sftp" in bench.soak_transports:
        try:
            with SshServer(user=SSH_USER) as server:
                host = "sftp://127.0.0.1:%d" % server.port
                for held, count in ((True, held_count), (False, fresh_count)):
                    soak_row(bench, "sftp, %s" % ("held" if held else "a log-in each"), count,
                             lambda: samples(bench, host, server.user, server.password, local,
                                             count, held, server.env))
        except RuntimeError as error:
            bench.row("Soak, sftp", "error: %s" % error, "", False)
    os.remove(local)
