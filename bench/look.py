"""A run's first publish, which looks at the list's folder once and removes
the copies runs that ended left there: bench_publish with one publish a
process (each process a run) into a folder seeded with two copies unchanged
for hours, over FTP and FTPS to pyftpdlib and over SFTP to sshd through
bench/delayproxy.py, against the same publish by the program as it was
before the look (`--today-build`, a build of that commit); and the commands
each sends, from the servers' own logs.
"""

import collections
import os
import time

from benchkit import (FINAL, DelayProxy, Server, SshServer, figures, log, publish, rtt_servers,
                      stats)

LOOK_RTTS_MS = (25, 50)
# The copies seeded before each run: one of each form, as a run killed
# mid-store leaves them.
SEEDED = 2
# Far beyond the forty minutes or so after which a copy is taken for one
# of a run that ended.
SEEDED_AGE_S = 3 * 3600
# What the look may cost over FTP: the folder's listing over the control
# connection (STAT -a, then STAT where the server takes "-a" for a name)
# within three round trips, then one a removal.
FTP_LOOK_TRIPS = 3
# Over SFTP the look rides with requests that go anyway.
SFTP_SLACK_MS = 5.0


def today_program(bench):
    """bench_publish built from before the look, or None."""
    if not getattr(bench, "today_build", None):
        return None
    path = os.path.join(os.path.abspath(bench.today_build), "bench", "bench_publish")
    if not os.access(path, os.X_OK):
        raise RuntimeError("no bench_publish in the today build %s" % bench.today_build)
    return path


def seed(folder, owner):
    """Leaves the list alone and puts two fresh copies of hours ago beside
    it, owned as the server's own files; their paths."""
    for name in os.listdir(folder):
        if name != os.path.basename(FINAL):
            os.remove(os.path.join(folder, name))
    base = os.path.basename(FINAL)
    paths = [os.path.join(folder, ".%s.%s.part" % (base, os.urandom(8).hex())),
             os.path.join(folder, "%s.%s.part" % (base, os.urandom(8).hex()))]
    old = time.time() - SEEDED_AGE_S
    for path in paths:
        with open(path, "wb") as f:
            f.write(b"channel 00000,239.0.0.1:1234,Harlune te")  # cut mid-store
        os.chown(path, *owner)
        os.utime(path, (old, old))
    return paths


def owner_of(path):
    st = os.stat(path)
    return st.st_uid, st.st_gid


def run(bench):
    today = today_program(bench)
    log("First publish with the look: 4 KiB, %d aged copies seeded, through a delay proxy, "
        "RTT %s ms, %d runs each%s"
        % (SEEDED, ", ".join(str(r) for r in LOOK_RTTS_MS), bench.rtt_runs,
           "" if today else "; no --today-build, so no comparison"))
    if not today:
        bench.note("look: the comparison with today's build was skipped (no --today-build)")
    local = bench.make_file("channel_list.txt", 4096, text=True)
    look_commands(bench, local, today)
    for label, server in rtt_servers(bench, "First publish with the look"):
        route = server.route()
        env, host = route.env, route.host
        for rtt in LOOK_RTTS_MS:
            with DelayProxy(server.ports, rtt / 2.0) as proxy:
                def once(program):
                    out = publish(bench, host, route.user, route.password, local, 1, False,
                                  env=env, program=program)
                    # Its connection's time is not used; read so that the
                    # proxy never waits on its pipe.
                    proxy.control_ms(timeout=2)
                    return out

                look_row(bench, label, rtt, route.remote(FINAL), local, once, today)
        route.clear()
    try:
        with SshServer() as server:
            host = "sftp://127.0.0.2:%d" % server.port
            for rtt in LOOK_RTTS_MS:
                with DelayProxy([server.port], rtt / 2.0):
                    look_row(bench, "sftp", rtt, server.remote(FINAL), local,
                             lambda program: publish(bench, host, server.user, server.password,
                                                     local, 1, False, env=server.env,
                                                     program=program), today)
            server.clear()
    except RuntimeError as error:
        bench.row("First publish with the look, sftp", "error: %s" % error, "", False)
    os.remove(local)


def look_row(bench, label, rtt, final, local, once, today):
    """`once(program)` publishes once in a process of its own; this build's
    and today's take turns, each onto the list in place with the aged
    copies seeded anew."""
    figure = "RTT %2d ms, %s: a run's first publish with the look vs today" % (rtt, label)
    if label == "sftp":
        goal = "<= today + %.0f ms" % SFTP_SLACK_MS
    else:
        goal = "<= today + %d RTT (%d, and 1 for each of %d removals)" % (
            FTP_LOOK_TRIPS + SEEDED, FTP_LOOK_TRIPS, SEEDED)
    folder = os.path.dirname(final)
    # The list in place, as a run finds it, owned as the server owns it.
    if once(None) is None:
        bench.row(figure, "failed", goal, False)
        return
    owner = owner_of(final)
    now, old, left = [], [], 0
    clients = [None] + ([today] if today else [])
    for r in range(bench.rtt_runs):
        for program in clients if r % 2 == 0 else clients[::-1]:
            seeded = seed(folder, owner)
            out = once(program)
            if out is None:
                log("  %s failed at RTT %d ms"
                    % ("today's publish" if program else "publish", rtt))
            elif program:
                old.append(out[0][0])
            else:
                now.append(out[0][0])
                if any(os.path.exists(path) for path in seeded):
                    left += 1
    whole = os.path.getsize(final) == os.path.getsize(local)
    enough = max(1, bench.rtt_runs // 2)
    if len(now) < enough or (today and len(old) < enough) or not whole:
        bench.row(figure, "failed", goal, False)
        return
    mn, pn = stats(now)
    gone = "aged copies gone after %d of %d runs" % (len(now) - left, len(now))
    bench.note("look, %s, RTT %d ms: first publish %s ms (%d)%s; %s"
               % (label, rtt, figures(now), len(now),
                  ", today %s ms (%d)" % (figures(old), len(old)) if old else "", gone))
    if not today:
        # Nothing to hold the time to; copies left behind still fail it.
        bench.row(figure, "median %.1f, p95 %.1f ms; %s" % (mn, pn, gone),
                  "- (%s: skipped, no --today-build)" % goal, False if left else None)
        return
    mo, po = stats(old)
    if label == "sftp":
        bound = mo + SFTP_SLACK_MS
        delta = "%+.1f ms" % (mn - mo)
    else:
        bound = mo + (FTP_LOOK_TRIPS + SEEDED) * rtt
        delta = "%+.1f RTT" % ((mn - mo) / rtt)
    bench.row(figure, "median %.1f vs %.1f ms (%s); p95 %.1f vs %.1f ms; %s"
              % (mn, mo, delta, pn, po, gone),
              "%s; %.1f ms, median" % (goal, bound), mn <= bound and left == 0)


def command_name(command):
    """A logged command without its path: "STAT -a" and "SITE CHMOD" keep
    their second word."""
    words = command.split(" ")
    if words[0] == "SITE" or (words[0] == "STAT" and words[1:2] == ["-a"]):
        return " ".join(words[:2])
    return words[0]


def beyond(now, old):
    """What `now` sends that `old` does not, and the other way round: "+STAT
    -a +DELE -SIZE"."""
    left = collections.Counter(old)
    more = []
    for command in now:
        if left[command]:
            left[command] -= 1
        else:
            more.append("+" + command)
    for command in old:
        if left[command]:
            left[command] -= 1
            more.append("-" + command)
    return more


def look_commands(bench, local, today):
    """The commands of a run's first publish into a folder with the two aged
    copies, this build's and today's, from the server's own log; without
    the proxy, on the bench's fixture servers."""
    for kind in ("pyftpdlib", "vsftpd"):
        figure = "First publish with the look, %s: commands beyond today" % kind
        try:
            now, old = attempt_commands(bench, kind, local, today)
        except RuntimeError as error:
            bench.row(figure, "error: %s" % error, "", False)
            continue
        for name, cmds in (("now", now), ("today", old)):
            if name == "now" or today:
                bench.note("look, commands, %s, %s (%s): %s"
                           % (kind, name, "failed" if cmds is None else len(cmds),
                              " ".join(cmds or [])))
        if now is None or (today and old is None):
            bench.row(figure, "failed", "", False)
        elif not today:
            bench.row(figure, "%d commands: %s; today skipped (no --today-build)"
                      % (len(now), " ".join(now)), "-")
        else:
            bench.row(figure, "%s (%d vs %d commands)"
                      % (" ".join(beyond(now, old)) or "none", len(now), len(old)), "-")


def attempt_commands(bench, kind, local, today):
    """commands_on() on a fixture server of `kind`. Tests running meanwhile
    share vsftpd's account and may move its home away: then the server is
    started anew, at most twice."""
    for _ in range(3):
        with Server(bench.build, kind, tmpdir=bench.tmpdir) as server:
            now, old = commands_on(bench, server, local, today)
            if (now is not None and (old is not None or not today)) or server.home_ok():
                return now, old
        log("  another vsftpd fixture moved the login account: restarting the server")
    return None, None


def commands_on(bench, server, local, today):
    """The commands of this build's publish and of today's (None where it
    failed, or where this build's left an aged copy)."""
    folder = server.remote("public_html")

    def logged(program):
        before = len(server.commands())
        if publish(bench, server.hostport, server.user, server.password, local, 1,
                   False, program=program) is None:
            return None
        return [command_name(c) for c in server.commands()[before:]
                if c not in ("CONNECT", "DISCONNECT")]

    # The list in place first, owned as the server owns what it stores.
    if logged(None) is None:
        return None, None
    owner = owner_of(server.remote(FINAL))
    seeded = seed(folder, owner)
    now = logged(None)
    if now is not None and any(os.path.exists(path) for path in seeded):
        log("  the aged copies are still there on %s" % server.kind)
        now = None
    old = None
    if today:
        seed(folder, owner)
        old = logged(today)
    server.clear()
    return now, old
