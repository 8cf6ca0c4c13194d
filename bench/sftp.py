"""SFTP: the first publish of a process against OpenSSH's `sftp -b`, to
Debian's sshd through bench/delayproxy.py, the publish timed in its process
(bench_publish); and the log-in steps of an SFTP upload (bench_ssh_login).
"""

import os
import shutil

from benchkit import (FINAL, PUBLISH_RTTS_MS, DelayProxy, SshServer, log, publish, run_pairs,
                      stats)


def run(bench):
    log("SFTP: 4 KiB to sshd through a delay proxy, key log-in, RTT %s ms, %d runs each"
        % (", ".join(str(r) for r in PUBLISH_RTTS_MS), bench.rtt_runs))
    if not shutil.which("sftp"):
        bench.row("SFTP", "no sftp client", "", False)
        return
    local = bench.make_file("channel_list.txt", 4096, text=True)
    try:
        with SshServer() as server:
            host = "sftp://127.0.0.2:%d" % server.port
            for rtt in PUBLISH_RTTS_MS:
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


def run_login(bench):
    log("SFTP log-in steps against sshd")
    values = run_pairs([bench.exe("bench_ssh_login"), "15"], timeout=600)
    if values["rc"] != 0:
        bench.row("SFTP log-in", "skipped" if values["rc"] == 77 else "failed", "-")
        return
    ms = {k[3:]: float(v) for k, v in values.items() if k.startswith("ms_")}
    conns = {k[12:]: float(v) for k, v in values.items() if k.startswith("connections_")}
    for case, figure in (("password", "typed password"), ("agent_key", "key in ssh-agent"),
                         ("key_file", "key file ~/.ssh/id_ed25519")):
        bench.row("SFTP upload, log-in by " + figure,
                  "%.0f ms, %.0f connection" % (ms[case], conns[case]), "1 connection",
                  conns[case] == 1)
    # ssh goes on to the password on the same connection after a refused
    # key; only sshd's MaxAuthTries (6) ends it, and then a second
    # connection offers the password alone.
    for case, figure, wanted in (
            ("password_after_refused_agent_key", "1 refused agent key", 1),
            ("password_after_8_refused_agent_keys", "8 refused agent keys", 2)):
        bench.row("SFTP password after " + figure,
                  "+%.0f ms, %.0f connections" % (ms[case] - ms["password"], conns[case]),
                  "%d connection%s" % (wanted, "s" if wanted > 1 else ""),
                  conns[case] == wanted)
