#!/usr/bin/python3
"""FTP over TLS server for the uploader's tests: explicit (AUTH TLS, required
on the control and data connections) or implicit (TLS from the first byte).

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


class ExplicitTls(TLS_FTPHandler):
    tls_control_required = True
    tls_data_required = True
    dtp_handler = TlsData
    tls_max = None

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


class ImplicitTls(ExplicitTls):
    def handle(self):
        # The handshake comes first; the greeting goes out once it is done.
        self.secure_connection(self.ssl_context)
        super().handle()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--certfile", required=True)
    parser.add_argument("--keyfile", required=True)
    parser.add_argument("--implicit", action="store_true")
    parser.add_argument("--tls-max", choices=["1.2", "1.3"])
    args = parser.parse_args()

    handler = ImplicitTls if args.implicit else ExplicitTls
    handler.certfile = args.certfile
    handler.keyfile = args.keyfile
    handler.tls_max = args.tls_max
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")
    handler.authorizer = authorizer
    handler.auth_failed_timeout = 0.2

    server = FTPServer((args.host, 0), handler)
    signal.signal(signal.SIGTERM, lambda *_: server.close_all() or sys.exit(0))
    print("PORT %d" % server.socket.getsockname()[1], flush=True)
    try:
        server.serve_forever(handle_exit=False)
    finally:
        server.close_all()


if __name__ == "__main__":
    main()
