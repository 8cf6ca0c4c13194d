"""What the benchmark figures share: the loopback servers and the delay
proxy they run behind, the clients compared (the component and curl -T),
the statistics and the Bench that collects the table's rows.
"""

import contextlib
import ctypes
import math
import os
import pwd
import random
import select
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import types

MIB = 1024 * 1024
CAPTION = "Harlune Uploader - By Yorn"
SERVERS_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "servers")
# The round trips the publish's own rows (perm, sftp, held) run at.
PUBLISH_RTTS_MS = (0, 25, 50)
FINAL = "public_html/channel_list.txt"
PLAIN = "public_html/curl.txt"
RENAMED = "public_html/curl-renamed.txt"
PASSIVE_PORTS = 8
# What a run's first publish to a folder adds: its look at the folder for
# copies that runs which ended left there, STAT -a of it, then STAT where
# the server takes "-a" for a name (pyftpdlib, the round-trip server). The
# baseline curl -T sends the same, so that a first publish's row measures
# the publish's own steps against curl's.
LOOK = ("*STAT -a public_html", "STAT public_html")


def log(text):
    print(text, file=sys.stderr, flush=True)


def parse_pairs(text):
    values = {}
    for line in text.splitlines():
        key, _, value = line.partition(" ")
        if key:
            values[key] = value.strip()
    return values


def run_pairs(cmd, timeout, env=None):
    """Runs one benchmark program; its "key value" lines as a dict."""
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=env)
    values = parse_pairs(done.stdout)
    values["rc"] = done.returncode
    if done.returncode != 0:
        log("  %s exited %d: %s" % (os.path.basename(cmd[0]), done.returncode,
                                      done.stderr.strip()[-500:]))
    return values


def stop(proc):
    """Ends a process started here: asked first, then killed."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def close_input(proc, timeout=10):
    """Ends a process that stops at the end of its input; killed if it
    does not."""
    proc.stdin.close()
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def read_line(proc, pending, deadline, size=65536):
    """The next line of the process's output before `deadline` (or None)
    and what was read past it. Read straight from the pipe: a buffered
    reader would hide a second line from select()."""
    fd = proc.stdout.fileno()
    while b"\n" not in pending:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            return None, pending
        chunk = os.read(fd, size)
        if not chunk:
            return None, pending
        pending += chunk
    line, _, pending = pending.partition(b"\n")
    return line, pending


def test_user():
    return os.environ.get("HARLUNE_TEST_SYSTEM_USER") or "harluneftp"


def percentile(values, pct):
    """The nearest-rank percentile."""
    ordered = sorted(values)
    return ordered[max(0, math.ceil(pct / 100.0 * len(ordered)) - 1)]


def stats(times):
    return statistics.median(times), percentile(times, 95)


def figures(times):
    med, p95 = stats(times)
    return "%.1f/%.1f" % (med, p95)


def rtt_text(delta_ms, rtt):
    return " (%+.1f RTT)" % (delta_ms / rtt) if rtt else ""


def clear_folder(folder):
    for name in os.listdir(folder):
        os.remove(os.path.join(folder, name))


class Closing:
    """A server process that a with-block stops again."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Server(Closing):
    """A fixture FTP server kept running by bench_server."""

    def __init__(self, build, kind, throttle=0, tmpdir=None):
        self.kind = kind
        cmd = [os.path.join(build, "bench", "bench_server"), kind]
        if throttle:
            cmd.append(str(throttle))
        # The server's files go where TMPDIR says: on tmpfs, so that the
        # server's file system stays out of the client's figures.
        env = dict(os.environ, TMPDIR=tmpdir) if tmpdir else None
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True, bufsize=1, env=env)
        self.pending = b""
        info = {}
        deadline = time.monotonic() + 30
        while True:
            line = self._line(deadline)
            if line is None or line.startswith(("ERROR", "SKIP")):
                self.close()
                raise RuntimeError("%s server did not start: %s" % (kind, line))
            if line == "READY":
                break
            key, _, value = line.partition(" ")
            info[key] = value
        self.hostport = info["HOSTPORT"]
        self.user = info["USER"]
        self.password = info["PASSWORD"]
        self.root = info["ROOT"]

    def _line(self, deadline):
        line, self.pending = read_line(self.proc, self.pending, deadline)
        return None if line is None else line.decode("utf-8", "replace")

    def commands(self):
        self.proc.stdin.write("commands\n")
        self.proc.stdin.flush()
        lines = []
        deadline = time.monotonic() + 10
        while True:
            line = self._line(deadline)
            if line is None:
                raise RuntimeError("server gave no command log")
            if line == "END":
                return lines
            lines.append(line[2:])

    def home_ok(self):
        """False once another vsftpd fixture has moved the shared account's
        home: vsftpd then refuses every login with 500 OOPS."""
        try:
            return self.kind != "vsftpd" or (os.path.realpath(pwd.getpwnam(self.user).pw_dir)
                                             == os.path.realpath(self.root))
        except KeyError:
            return False

    def remote(self, rel):
        return os.path.join(self.root, rel)

    def clear(self, rel_dir="public_html"):
        clear_folder(self.remote(rel_dir))

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write("quit\n")
                self.proc.stdin.close()
                self.proc.wait(timeout=15)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()


class Sink(Closing):
    """bench_ftpsink: an FTP server that drops what it receives."""

    kind = "sink"
    user = "bench"
    password = "bench"

    def __init__(self, build):
        self.proc = subprocess.Popen([os.path.join(build, "bench", "bench_ftpsink"), "1000"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        fd = self.proc.stdout.fileno()
        line = b""
        deadline = time.monotonic() + 10
        while not line.endswith(b"\n") and time.monotonic() < deadline:
            if not select.select([fd], [], [], 1)[0]:
                continue
            chunk = os.read(fd, 64)
            if not chunk:
                break
            line += chunk
        if not line.startswith(b"PORT "):
            self.close()
            raise RuntimeError("the FTP sink did not start")
        self.hostport = "127.0.0.1:%d" % int(line.split()[1])

    def clear(self):
        pass

    def close(self):
        close_input(self.proc)  # its end of input ends it


def free_port_range(count, addresses=("127.0.0.1", "127.0.0.2")):
    """The first of `count` consecutive ports free on every address."""
    for _ in range(50):
        low = random.randrange(20000, 60000 - count)
        socks = []
        try:
            for port in range(low, low + count):
                for address in addresses:
                    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                    socks.append(sock)
                    sock.bind((address, port))
            return low
        except OSError:
            continue
        finally:
            for sock in socks:
                sock.close()
    raise RuntimeError("no free port range")


EC_KEY = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
RSA_KEY = ["-newkey", "rsa:2048", "-nodes"]


def certificates(folder, address, key):
    """A test authority, and a certificate it signs for `address` with a
    new key of the kind `key` gives; in `folder` as ca.pem, server.pem and
    server.key. Returns the authority's certificate."""
    path = lambda name: os.path.join(folder, name)
    with open(path("server.ext"), "w") as f:
        f.write("subjectAltName=IP:%s\nbasicConstraints=CA:FALSE\n" % address)
    for cmd in (["req", "-x509"] + key + ["-keyout", path("ca.key"), "-out", path("ca.pem"),
                                          "-days", "2", "-subj", "/CN=Harlune Bench CA"],
                ["req"] + key + ["-keyout", path("server.key"), "-out", path("server.csr"),
                                 "-subj", "/CN=" + address],
                ["x509", "-req", "-in", path("server.csr"), "-CA", path("ca.pem"),
                 "-CAkey", path("ca.key"), "-CAcreateserial", "-out", path("server.pem"),
                 "-days", "2", "-extfile", path("server.ext")]):
        subprocess.run(["openssl"] + cmd, check=True, capture_output=True)
    return path("ca.pem")


class RttServer(Closing):
    """pyftpdlib, plain or with explicit TLS, whose passive ports are fixed
    so that a delay proxy can forward them."""

    user = "bench"
    password = "bench-pass"

    def __init__(self, work, tls):
        self.base = tempfile.mkdtemp(dir=work, prefix="rtt-")
        self.root = os.path.join(self.base, "root")
        os.makedirs(os.path.join(self.root, "public_html"))
        low = free_port_range(PASSIVE_PORTS)
        cmd = ["/usr/bin/python3", os.path.join(SERVERS_DIR, "ftpsserver.py" if tls else
                                                "ftpserver.py"),
               "--root", self.root, "--user", self.user, "--password", self.password,
               "--passive-ports", "%d-%d" % (low, low + PASSIVE_PORTS - 1)]
        self.cafile = None
        if tls:
            self.cafile = certificates(self.base, "127.0.0.2", EC_KEY)
            cmd += ["--certfile", os.path.join(self.base, "server.pem"),
                    "--keyfile", os.path.join(self.base, "server.key")]
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     text=True)
        line = self.proc.stdout.readline()
        if not line.startswith("PORT "):
            self.close()
            raise RuntimeError("the round-trip server did not start")
        self.ports = [int(line.split()[1])] + list(range(low, low + PASSIVE_PORTS))
        self.scheme = "ftpes://" if tls else ""

    def route(self):
        """This server as the clients see it, through the proxy."""
        hostport = "127.0.0.2:%d" % self.ports[0]
        return types.SimpleNamespace(
            hostport=hostport, user=self.user, password=self.password,
            scheme=self.scheme, cafile=self.cafile, kind="rtt",
            host=self.scheme + hostport,
            env=dict(os.environ, SSL_CERT_FILE=self.cafile) if self.cafile else None,
            remote=lambda rel: os.path.join(self.root, rel), clear=self.clear)

    def clear(self, rel_dir="public_html"):
        clear_folder(os.path.join(self.root, rel_dir))

    def close(self):
        stop(self.proc)


def rtt_servers(bench, what):
    """The plain and the TLS round-trip server in turn, with their labels;
    one that does not start is a failed row."""
    for tls in (False, True):
        label = "ftpes" if tls else "ftp"
        try:
            server = RttServer(bench.work, tls)
        except RuntimeError as error:
            bench.row("%s, %s" % (what, label), "error: %s" % error, "", False)
            continue
        with server:
            yield label, server


class AccountVsftpd(Closing):
    """Debian's vsftpd on an account of the caller's own, in its shipped way
    of choosing passive ports (any free one), plain or requiring TLS 1.2 with
    a certificate from a test authority, so that its TLS sessions can be
    held. A figure that starts one while another runs gives each its own
    account: a fixture that starts moves its account's home."""

    def __init__(self, work, tls, user):
        # vsftpd changes into the home as the user: every folder above it
        # must let the user through, which the bench's own work folder does
        # not.
        self.base = tempfile.mkdtemp(prefix="harlune-vsftpd-", dir=os.path.dirname(work))
        os.chmod(self.base, 0o711)
        self.user = user
        self.password = "bench-" + os.urandom(6).hex()
        lines, env = [], None
        self.cafile = None
        if tls:
            self.cafile = certificates(self.base, "127.0.0.1", RSA_KEY)
            lines = ["ssl_enable=YES", "rsa_cert_file=" + self.path("server.pem"),
                     "rsa_private_key_file=" + self.path("server.key")]
            env = dict(os.environ, HARLUNE_SERVER_TLS_MAX="1.2")
        out = subprocess.run(["bash", os.path.join(SERVERS_DIR, "vsftpd.sh"), "start",
                              self.path("home"), self.user, self.password] + lines,
                             capture_output=True, text=True, timeout=60, env=env)
        info = dict(line.split(" ", 1) for line in out.stdout.splitlines() if " " in line)
        if out.returncode != 0 or "PORT" not in info:
            shutil.rmtree(self.base, ignore_errors=True)
            raise RuntimeError("vsftpd did not start: " + out.stderr.strip()[-300:])
        self.pid = info["PID"]
        # Debian hashes passwords with yescrypt, which PAM runs twice a
        # log-in: 130 ms of the server's CPU a log-in, which would swamp the
        # client's own time and make the soak's log-in rows take hours. This
        # account's is SHA-512 crypt; the client is what is measured.
        subprocess.run(["chpasswd", "-c", "SHA512", "-s", "1000"], check=True, timeout=60,
                       input="%s:%s\n" % (self.user, self.password), text=True)
        self.scheme = "ftpes://" if tls else ""
        self.hostport = "127.0.0.1:" + info["PORT"]
        self.host = self.scheme + self.hostport
        self.env = dict(os.environ, SSL_CERT_FILE=self.cafile) if tls else None

    def path(self, name):
        return os.path.join(self.base, name)

    def remote(self, rel):
        return self.path(os.path.join("home", rel))

    def clear(self, rel_dir="public_html"):
        clear_folder(self.remote(rel_dir))

    def close(self):
        subprocess.run(["bash", os.path.join(SERVERS_DIR, "vsftpd.sh"), "stop", self.pid],
                       capture_output=True, timeout=60)
        shutil.rmtree(self.base, ignore_errors=True)


class SshServer(Closing):
    """Debian's sshd as the tests start it (tests/servers/sshd.sh), taking
    keys and passwords, with a home that holds a key it accepts and
    known_hosts lines for its address and the proxy's; the account is the
    tests' own unless `user` names another."""

    def __init__(self, user=None):
        # sshd logs the user into a home below this folder: it must be
        # reachable by that user, not only by root.
        self.base = tempfile.mkdtemp(prefix="harlune-bench-ssh-", dir="/dev/shm"
                                     if os.access("/dev/shm", os.W_OK) else None)
        os.chmod(self.base, 0o711)
        self.user = user or test_user()
        self.password = "bench-" + os.urandom(6).hex()
        self.root = os.path.join(self.base, "srv", "home")
        os.makedirs(os.path.dirname(self.root))
        out = subprocess.run(["bash", os.path.join(SERVERS_DIR, "sshd.sh"), "start", self.root,
                              self.user, self.password, "publickey,password"],
                             capture_output=True, text=True, timeout=60)
        info = dict(line.split(" ", 1) for line in out.stdout.splitlines() if " " in line)
        if out.returncode != 0 or "PORT" not in info:
            shutil.rmtree(self.base, ignore_errors=True)
            raise RuntimeError("sshd did not start: " + out.stderr.strip()[-300:])
        self.port = int(info["PORT"])
        self.pid = info["PID"]
        # The client's home: a key the server takes and its host key.
        self.home = os.path.join(self.base, "client")
        ssh_dir = os.path.join(self.home, ".ssh")
        os.makedirs(ssh_dir, mode=0o700)
        self.key = os.path.join(ssh_dir, "id_ed25519")
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", self.key],
                       check=True, capture_output=True)
        with open(self.key + ".pub") as src, \
                open(os.path.join(self.base, "srv", "authorized_keys"), "a") as dst:
            dst.write(src.read())
        self.known_hosts = os.path.join(ssh_dir, "known_hosts")
        with open(self.known_hosts, "w") as f:
            for address in ("127.0.0.1", "127.0.0.2"):
                f.write("[%s]:%d %s\n" % (address, self.port, info["HOSTKEY"]))
        self.env = dict(os.environ, HOME=self.home)
        self.env.pop("SSH_AUTH_SOCK", None)

    def remote(self, rel):
        return os.path.join(self.root, rel)

    def clear(self):
        clear_folder(self.remote("public_html"))

    def sftp_batch(self, address, local, timeout=120):
        """OpenSSH's sftp -b: put to a temporary name, rename onto the list
        (posix-rename where the server has it, as the component); the
        process's wall time in ms, or None."""
        batch = os.path.join(self.base, "batch")
        with open(batch, "w") as f:
            f.write("put %s public_html/.channel_list.txt.part\n" % local)
            f.write("rename public_html/.channel_list.txt.part %s\n" % FINAL)
        cmd = ["sftp", "-q", "-b", batch, "-F", "/etc/ssh/ssh_config",
               "-oUserKnownHostsFile=" + self.known_hosts, "-oIdentityFile=" + self.key,
               "-oStrictHostKeyChecking=yes", "-oControlMaster=no", "-oControlPath=none",
               "-P", str(self.port), "%s@%s" % (self.user, address)]
        start = time.monotonic()
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=self.env)
        ms = (time.monotonic() - start) * 1000.0
        if done.returncode != 0:
            log("  sftp -b exited %d: %s" % (done.returncode, done.stderr.strip()[-300:]))
            return None
        return ms

    def close(self):
        subprocess.run(["bash", os.path.join(SERVERS_DIR, "sshd.sh"), "stop", self.pid],
                       capture_output=True, timeout=60)
        shutil.rmtree(self.base, ignore_errors=True)


class Xvfb(Closing):
    """An X server of its own, without a window manager; the with-block gets
    its DISPLAY, or None when it did not start."""

    def __enter__(self):
        read_fd, write_fd = os.pipe()
        self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0",
                                      "1280x1024x24", "-nolisten", "tcp", "-br", "-terminate"],
                                     pass_fds=[write_fd], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        os.close(write_fd)
        display = b""
        deadline = time.monotonic() + 20
        while not display.endswith(b"\n") and time.monotonic() < deadline:
            if select.select([read_fd], [], [], 1)[0]:
                chunk = os.read(read_fd, 16)
                if not chunk:
                    break
                display += chunk
        os.close(read_fd)
        return ":" + display.decode().strip() if display.strip() else None

    def close(self):
        stop(self.proc)


@contextlib.contextmanager
def xvfb_env(bench, figure, goal="", env=None):
    """The environment of a program shown on an Xvfb of its own; None, and
    the row failed, when the X server did not start."""
    with Xvfb() as display:
        if display is None:
            bench.row(figure, "Xvfb did not start", goal, False)
            yield None
        else:
            yield dict(env or os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb")


def focus_window(display, caption):
    """Gives the top-level window titled `caption` the input focus, as a
    window manager does for the window in front. False if there is none."""
    tree = subprocess.run(["xwininfo", "-root", "-children", "-display", display],
                          capture_output=True, text=True).stdout
    ids = [line.split()[0] for line in tree.splitlines() if '"%s"' % caption in line]
    if not ids:
        return False
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XSetInputFocus.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_ulong]
    x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    connection = x11.XOpenDisplay(display.encode())
    if not connection:
        return False
    revert_to_parent, current_time = 2, 0
    x11.XSetInputFocus(connection, int(ids[0], 16), revert_to_parent, current_time)
    x11.XSync(connection, 0)
    x11.XCloseDisplay(connection)
    return True


class DelayProxy(Closing):
    """bench/delayproxy.py on 127.0.0.2 in front of the server's ports."""

    def __init__(self, ports, one_way_ms):
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "delayproxy.py")
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", script, "--one-way-ms", str(one_way_ms)]
            + [str(p) for p in ports], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.pending = b""
        if self._line(30) != b"READY":
            self.close()
            raise RuntimeError("the delay proxy did not start")

    def _line(self, timeout):
        """The proxy's next line, or None."""
        line, self.pending = read_line(self.proc, self.pending, time.monotonic() + timeout,
                                       4096)
        return None if line is None else line.strip()

    def control_ms(self, timeout=5):
        """The proxy's time for the next control connection that ended, or
        None."""
        line = (self._line(timeout) or b"").split()
        return float(line[1]) if len(line) == 2 and line[0] == b"control" else None

    def close(self):
        close_input(self.proc)


def publish(bench, host, user, password, local, count, held, env=None, program=None):
    """bench_publish (this build's, or `program`): `count` publishes in one
    process; their times in ms and the process's wall time, or None if any
    failed."""
    cmd = [program or bench.exe("bench_publish"), host, user, password, local, FINAL,
           str(count), "held" if held else "fresh"]
    start = time.monotonic()
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=300, env=env)
    wall = (time.monotonic() - start) * 1000.0
    times = [float(line.split()[2]) for line in done.stdout.splitlines()
             if line.startswith("publish ")]
    if done.returncode != 0 or len(times) != count:
        log("  bench_publish exited %d: %s" % (done.returncode, done.stderr.strip()[-300:]))
        return None
    return times, wall


class Bench:
    """The run's options and build, the clients compared, and the rows and
    notes of the table."""

    def __init__(self, build, rounds, latency_runs, startup_runs, idle_seconds, work,
                 rtt_runs, sweep, soak_count):
        self.build = os.path.abspath(build)
        self.rounds = rounds
        self.latency_runs = latency_runs
        self.rtt_runs = rtt_runs
        self.sweep = sweep
        self.soak_count = soak_count
        self.startup_runs = startup_runs
        self.idle_seconds = idle_seconds
        self.work = work
        self.tmpdir = os.path.dirname(work)
        self.rows = []
        self.notes = []
        self._vsftpd = None

    def vsftpd(self):
        if self._vsftpd is None:
            self._vsftpd = Server(self.build, "vsftpd", tmpdir=self.tmpdir)
        return self._vsftpd

    def close(self):
        if self._vsftpd is not None:
            self._vsftpd.close()
            self._vsftpd = None

    def attempt(self, run):
        """run(server) on vsftpd; its result, or None if it failed. Tests
        running meanwhile share vsftpd's login account and may move its home
        away: then the server is started anew, at most twice."""
        for _ in range(3):
            server = self.vsftpd()
            result = run(server)
            if result is not None or server.home_ok():
                return result
            log("  another vsftpd fixture moved the login account: restarting the server")
            self.close()
        return None

    def exe(self, name):
        return os.path.join(self.build, "bench", name)

    def row(self, figure, value, goal, met=None):
        """One line of the table; a figure without a goal has met=None."""
        self.rows.append((figure, value, goal, "-" if met is None else "yes" if met else "NO"))

    def note(self, text):
        self.notes.append(text)
        log("  " + text)

    def make_file(self, name, size, text=False):
        path = os.path.join(self.work, name)
        with open(path, "wb") as f:
            if text:
                line = b"channel %05d,239.0.0.1:1234,Harlune test channel\n"
                written = 0
                n = 0
                while written < size:
                    chunk = (line % n)[: size - written]
                    f.write(chunk)
                    written += len(chunk)
                    n += 1
            else:
                block = os.urandom(MIB)
                for _ in range(size // MIB):
                    f.write(block)
                f.write(block[: size % MIB])
        return path

    def component(self, server, local, remote, buffer=None, env=None):
        """One upload by the program's component; (ms, peak RSS KiB) or None."""
        cmd = [self.exe("bench_upload" if buffer is None else "bench_upload_sweep"),
               getattr(server, "scheme", "") + server.hostport, server.user, server.password,
               local, remote]
        if buffer is not None:
            cmd.append(str(buffer))
        env = dict(os.environ, **(env or {}))
        if getattr(server, "cafile", None):
            env["SSL_CERT_FILE"] = server.cafile
        out = run_pairs(cmd, timeout=300, env=env)
        if out["rc"] != 0 or out.get("ok") != "1":
            log("  upload failed with response code %s" % out.get("code"))
            return None
        return float(out["elapsed_ms"]), int(out["vmhwm_kib"])

    def curl(self, server, local, remote, env=None, after=(), ask_tls=True):
        """One plain store by curl; its own transfer time in ms, or None.
        Like against like: the same path form as the component's, the whole
        path on STOR from the log-in folder (no CWD); to a bare host TLS is
        asked for first (--ssl), as the component does, and over TLS the
        same TLS 1.2 or newer."""
        url = "ftp://%s/%s" % (server.hostport, remote)
        cmd = ["curl", "--disable", "-sS", "--ftp-method", "nocwd",
               "--user", "%s:%s" % (server.user, server.password),
               "-T", local, "-w", "%{time_total} %{size_upload}", url]
        for command in reversed(after):
            cmd[1:1] = ["-Q", "-" + command]
        if getattr(server, "cafile", None):
            cmd[1:1] = ["--ssl-reqd", "--cacert", server.cafile, "--tlsv1.2"]
        elif ask_tls:
            cmd[1:1] = ["--ssl"]
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=300,
                              env=dict(os.environ, **(env or {})))
        if done.returncode != 0:
            log("  curl exited %d: %s" % (done.returncode, done.stderr.strip()))
            return None
        seconds, sent = done.stdout.split()
        if int(sent) != os.path.getsize(local):
            log("  curl sent %s bytes of %d" % (sent, os.path.getsize(local)))
            return None
        return float(seconds) * 1000.0

    def arrived(self, server, remote, size):
        try:
            return os.path.getsize(server.remote(remote)) == size
        except OSError:
            return False

    def print_table(self, markdown=False):
        """The rows as columns, or as a Markdown table for the README."""
        headers = ("Figure", "Measured", "Goal", "Met")
        print()
        if markdown:
            for r in (headers, ("---",) * 4) + tuple(self.rows):
                print("| " + " | ".join(c.replace("|", "\\|") for c in r) + " |")
        else:
            widths = [max([len(h)] + [len(r[i]) for r in self.rows])
                      for i, h in enumerate(headers)]
            print("  ".join("%-*s" % (w, h) for w, h in zip(widths, headers)))
            print("  ".join("-" * w for w in widths))
            for r in self.rows:
                print("  ".join("%-*s" % (w, c) for w, c in zip(widths, r)))
        print()
        for n in self.notes:
            print("  " + n)
        sys.stdout.flush()
