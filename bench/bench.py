#!/usr/bin/python3
"""Runs the uploader's benchmarks against loopback FTP servers and prints
one table: figure, measured value, goal, and whether the goal is met.

Run through bench/run.sh, which builds the programs first. Needs root for
vsftpd, curl for the baseline and Xvfb for the start-up figure.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import benchkit
import held
import idle
import latency
import look
import permission
import roundtrips
import sftp
import soak
import startup
import throughput

# The soak runs long: only when --only names it.
NOT_BY_DEFAULT = {"soak"}


def main():
    # Each figure's entry, called once the Bench below exists.
    steps = [("throughput", lambda: throughput.run(bench)),
             ("latency", lambda: latency.run(bench)),
             ("rtt", lambda: roundtrips.run(bench)),
             ("perm", lambda: permission.run(bench)),
             ("sftp", lambda: sftp.run(bench)),
             ("held", lambda: held.run(bench)),
             ("look", lambda: look.run(bench)),
             ("cpu", lambda: idle.run_cpu(bench)),
             ("idle", lambda: idle.run(bench)),
             ("idleheld", lambda: idle.run_held(bench)),
             ("startup", lambda: startup.run(bench)),
             ("ssh", lambda: sftp.run_login(bench)),
             ("soak", lambda: soak.run(bench))]
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default="build-bench")
    parser.add_argument("--rounds", type=int, default=7, help="1 GiB rounds per variant")
    parser.add_argument("--latency-runs", type=int, default=50)
    parser.add_argument("--rtt-runs", type=int, default=20,
                        help="runs per client at each round-trip time")
    parser.add_argument("--startup-runs", type=int, default=10)
    parser.add_argument("--idle-seconds", type=int, default=60)
    parser.add_argument("--sweep", type=int, nargs="*", default=list(throughput.SWEEP_KIB),
                        help="upload buffer sizes to compare, KiB")
    parser.add_argument("--soak-count", type=int, default=100000,
                        help="held publishes per transport in the soak; a tenth as many with "
                        "a log-in each")
    parser.add_argument("--soak-transports", nargs="+", default=list(soak.TRANSPORTS),
                        choices=soak.TRANSPORTS, help="the soak's transports")
    parser.add_argument("--today-build", default=os.environ.get("HARLUNE_BENCH_TODAY_BUILD"),
                        metavar="DIR", help="a build (with bench_publish) of the commit before "
                        "the folder look, for the look figure's comparison; "
                        "HARLUNE_BENCH_TODAY_BUILD by default")
    parser.add_argument("--markdown", action="store_true",
                        help="print the table in Markdown, as the README has it")
    parser.add_argument("--only", nargs="*", default=[], choices=[name for name, _ in steps],
                        help="figures to run; without it every one but %s"
                        % ", ".join(sorted(NOT_BY_DEFAULT)))
    args = parser.parse_args()
    if os.geteuid() != 0:
        benchkit.log("vsftpd needs root: run as root")
        return 1
    if not shutil.which("curl"):
        benchkit.log("curl is missing")
        return 1

    signal.signal(signal.SIGTERM, lambda *a: sys.exit(1))
    # Memory-backed when the machine has it: nothing waits on a disk.
    shm = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    work = tempfile.mkdtemp(prefix="harlune-bench-", dir=shm)
    bench = benchkit.Bench(args.build, args.rounds, args.latency_runs, args.startup_runs,
                           args.idle_seconds, work, args.rtt_runs, args.sweep,
                           args.soak_count)
    bench.soak_transports = args.soak_transports
    bench.today_build = args.today_build

    chosen = args.only or [name for name, _ in steps if name not in NOT_BY_DEFAULT]
    started = time.monotonic()
    try:
        for name, step in steps:
            if name in chosen:
                try:
                    step()
                except (RuntimeError, subprocess.TimeoutExpired, OSError) as error:
                    bench.row(name, "error: %s" % error, "", False)
    finally:
        bench.close()
        shutil.rmtree(work, ignore_errors=True)
    bench.note("whole run: %.0f s" % (time.monotonic() - started))
    bench.print_table(args.markdown)
    return 0


if __name__ == "__main__":
    sys.exit(main())
