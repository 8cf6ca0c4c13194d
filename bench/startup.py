"""Start-up: from exec to the window mapped and drawn under Xvfb
(bench_startup), the first (cold) run apart.
"""

import os
import shutil
import statistics
import subprocess

from benchkit import CAPTION, log, xvfb_env


def run(bench):
    log("Start-up under Xvfb, %d runs" % bench.startup_runs)
    figure = "Start-up: exec to window mapped (Xvfb)"
    if not shutil.which("Xvfb") or not os.path.exists(bench.exe("bench_startup")):
        bench.row(figure, "no Xvfb or Xlib", "< 150 ms", False)
        return
    with xvfb_env(bench, figure, "< 150 ms") as env:
        if env is None:
            return
        program = os.path.join(bench.build, "window", "harlune-uploader")
        done = subprocess.run([bench.exe("bench_startup"), str(bench.startup_runs + 1), CAPTION,
                               program], capture_output=True, text=True, timeout=300,
                              env=env, cwd=bench.work)
        runs = []
        for line in done.stdout.splitlines():
            f = line.split()
            if len(f) == 6 and f[0] == "run":
                runs.append((float(f[3]), float(f[5])))
        ok = [r for r in runs[1:] if r[0] >= 0 and r[1] >= 0]
        if done.returncode != 0 or not ok:
            bench.row(figure, "failed", "< 150 ms", False)
            log("  bench_startup: " + done.stderr.strip())
            return
        mapped = statistics.median(r[0] for r in ok)
        drawn = statistics.median(r[1] for r in ok)
        bench.note("start-up: first (cold) run mapped %.1f ms; warm runs mapped %s ms"
                   % (runs[0][0], ", ".join("%.0f" % r[0] for r in ok)))
        bench.row(figure, "%.1f ms (median of %d)" % (mapped, len(ok)), "< 150 ms",
                  mapped < 150)
        bench.row("Start-up: exec to window drawn (Xvfb)", "%.1f ms" % drawn, "-")
