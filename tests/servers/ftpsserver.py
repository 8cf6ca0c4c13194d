#!/usr/bin/python3
"""FTP over TLS server for the uploader's tests: explicit (AUTH TLS, required
on the control and data connections, or only offered) or implicit (TLS from
the first byte); two modes break TLS on purpose after agreeing to it.

Prints "PORT <n>" once listening and serves until SIGTERM or SIGINT.
"""

import argparse
import signal
import sys

from OpenSSL import SSL
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import TLS_DTPHandler, TLS_FTPHandler
from pyftpdlib.servers import FTPServer


class TlsData(TLS_DTPHandler):
    def readable(self):
        # libcurl starts TLS on a passive data connection before it sends
        # STOR; the stock handler takes that early read for a hang-up.
        if self._ssl_accepting:
            return True
        return super().readable()


class NoTlsData(TlsData):
    """Agrees to PROT P, then hangs up on the data connection's handshake."""

    def secure_connection(self, ssl_context):
        self.close()


class ExplicitTls(TLS_FTPHandler):
    tls_control_required = True
    tls_data_required = True
    dtp_handler = TlsData
    log_file = None
    tls_max = None

    def pre_process_command(self, line, cmd, arg):
        # Each command with how it travelled, so that a test can tell
        # whether the password went out in clear.
        if self.log_file is not None:
            self.log_file.write("%s %s\n" % ("TLS" if self._ssl_established else "CLEAR", line))
            self.log_file.flush()
        super().pre_process_command(line, cmd, arg)

    @classmethod
    def get_ssl_context(cls):
        if cls.ssl_context is None:
            context = super().get_ssl_context()
            # Clients resume the control connection's TLS session on the data
            # connection; OpenSSL refuses that without a session id context.
            context.set_session_id(b"harlune-tests")
            if cls.tls_max == "1.2":
                context.set_max_proto_version(SSL.TLS1_2_VERSION)
        return cls.ssl_context


class OfferedTls(ExplicitTls):
    """TLS when the client asks for it, plain FTP otherwise."""

    tls_control_required = False
    tls_data_required = False


class BrokenHandshake(OfferedTls):
    """Says yes to AUTH, then hangs up instead of the handshake, as a server
    with a broken TLS set-up does."""

    def ftp_AUTH(self, line):
        self.respond("234 AUTH %s successful." % line.upper())
        self.close_when_done()


class BrokenDataTls(OfferedTls):
    dtp_handler = NoTlsData


class ImplicitTls(ExplicitTls):
    def handle(self):
        # The handshake comes first; the greeting goes out once it is done.
        self.secure_connection(self.ssl_context)
        super().handle()


MODES = {
    "required": ExplicitTls,
    "offered": OfferedTls,
    "broken-handshake": BrokenHandshake,
    "broken-data-tls": BrokenDataTls,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--certfile", required=True)
    parser.add_argument("--keyfile", required=True)
    parser.add_argument("--implicit", action="store_true")
    parser.add_argument("--mode", choices=sorted(MODES), default="required")
    parser.add_argument("--log")
    parser.add_argument("--passive-ports", metavar="LOW-HIGH",
                        help="passive data ports, for a proxy that forwards them")
    parser.add_argument("--tls-max", choices=["1.2", "1.3"])
    args = parser.parse_args()

    handler = ImplicitTls if args.implicit else MODES[args.mode]
    if args.log:
        handler.log_file = open(args.log, "a", encoding="utf-8")
    handler.certfile = args.certfile
    handler.keyfile = args.keyfile
    handler.tls_max = args.tls_max
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")
    handler.authorizer = authorizer
    handler.auth_failed_timeout = 0.2
    if args.passive_ports:
        low, _, high = args.passive_ports.partition("-")
        handler.passive_ports = list(range(int(low), int(high) + 1))

    server = FTPServer((args.host, 0), handler)
    signal.signal(signal.SIGTERM, lambda *_: server.close_all() or sys.exit(0))
    print("PORT %d" % server.socket.getsockname()[1], flush=True)
    try:
        server.serve_forever(handle_exit=False)
    finally:
        server.close_all()


if __name__ == "__main__":
    main()
