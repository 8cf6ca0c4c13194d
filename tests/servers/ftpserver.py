#!/usr/bin/python3
"""FTP server for the uploader's tests, with modes that misbehave on purpose.

Prints "PORT <n>" once listening and serves until SIGTERM or SIGINT.
"""

import argparse
import asynchat
import logging
import os
import signal
import stat
import sys
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.log import config_logging
from pyftpdlib.servers import FTPServer


class DataHandler(ThrottledDTPHandler):
    """Data channel; read_limit and drop_after come from the command line."""

    drop_after = 0
    _rate_start = None

    def _throttle_bandwidth(self, len_chunk, max_speed):
        # The stock limiter lets up to two seconds' worth through at once;
        # this one holds the average from the first byte on.
        now = time.monotonic()
        if self._rate_start is None:
            self._rate_start = now
        self._datacount += len_chunk
        ahead = self._datacount / max_speed - (now - self._rate_start)
        if ahead > 0:
            self.del_channel()
            self._cancel_throttler()
            self._throttler = self.ioloop.call_later(ahead, self._resume, _errback=self.handle_error)

    def _resume(self):
        self.add_channel(events=self.ioloop.READ if self.receive else self.ioloop.WRITE)

    def recv(self, buffer_size):
        # Never read past the cut-off, so exactly drop_after bytes reach the disk.
        if self.receive and self.tot_bytes_received < self.drop_after:
            buffer_size = min(buffer_size, self.drop_after - self.tot_bytes_received)
        return super().recv(buffer_size)


class DropMidDataHandler(DataHandler):
    def handle_read(self):
        super().handle_read()
        if self.receive and self.tot_bytes_received >= self.drop_after:
            self._resp = ()
            self.cmd_channel.close()

    handle_read_event = handle_read  # the base class aliases its own handle_read


class DropMidDataOnceHandler(DropMidDataHandler):
    """Breaks the first store's link mid-data; later ones go through."""

    dropped = False

    def handle_read(self):
        if type(self).dropped:
            return DataHandler.handle_read(self)
        DataHandler.handle_read(self)
        if self.receive and self.tot_bytes_received >= self.drop_after:
            type(self).dropped = True
            self._resp = ()
            self.cmd_channel.close()
        return None

    handle_read_event = handle_read


class DropAfterDataHandler(DataHandler):
    def close(self):
        # Store the whole file, then hang up instead of sending 226.
        finished = self.receive and self.transfer_finished and not self._closed
        if finished:
            self._resp = ()
        super().close()
        if finished:
            self.cmd_channel.close()


class StallDataHandler(DataHandler):
    def handle_read(self):
        super().handle_read()
        if self.receive and self.tot_bytes_received >= self.drop_after and not self._closed:
            # Leave the socket open but unread, and disarm the idle timers.
            self.file_obj.flush()
            self._cancel_throttler()
            if self._idler is not None:
                self._idler.cancel()
            self.del_channel()

    handle_read_event = handle_read


class Handler(FTPHandler):
    """Normal server that appends every event to the command log."""

    dtp_handler = DataHandler
    log_file = None
    auth_failed_timeout = 0.2  # keeps wrong-password tests quick

    def event(self, text):
        if self.log_file is not None:
            self.log_file.write(text + "\n")
            self.log_file.flush()

    def on_connect(self):
        self.event("CONNECT")

    def on_disconnect(self):
        self.event("DISCONNECT")

    def pre_process_command(self, line, cmd, arg):
        self.event(line)
        super().pre_process_command(line, cmd, arg)


def not_implemented(self, *args, **kwargs):
    self.respond("502 Command not implemented.")


def hang_up(self, *args, **kwargs):
    self.close()


def stay_silent(self, *args, **kwargs):
    pass


class NoRenameHandler(Handler):
    ftp_RNFR = not_implemented
    ftp_RNTO = not_implemented


class NoOverwriteHandler(Handler):
    def ftp_RNTO(self, path):
        if self._rnfr and self.fs.lexists(path):
            self._rnfr = None
            self.event("REFUSED RNTO " + path)
            self.respond("553 Can't overwrite an existing file.")
            return None
        return super().ftp_RNTO(path)


def refuse_names(check, code):
    """Refuses STOR and RNTO to names `check` matches, as some hosts do."""

    def decorate(cls):
        class Refusing(cls):
            def ftp_STOR(self, file, mode="w"):
                if check(self, file):
                    self.respond(code)
                    return None
                return super().ftp_STOR(file, mode)

            def ftp_RNTO(self, path):
                if self._rnfr and check(self, path):
                    self._rnfr = None
                    self.respond(code)
                    return None
                return super().ftp_RNTO(path)

        return Refusing

    return decorate


@refuse_names(lambda self, path: os.path.basename(path).startswith("."),
              "553 Prohibited file name.")
class NoDotNamesHandler(Handler):
    pass


@refuse_names(lambda self, path: not self.fs.lexists(path), "550 Permission denied.")
class NoNewFilesHandler(Handler):
    """Only files that exist may be written: a folder the user cannot write to."""


@refuse_names(lambda self, path: path.endswith(".part") or
              os.path.basename(path).startswith("."), "553 Prohibited file name.")
class OnlyPlainNamesHandler(Handler):
    pass


class NoDeleteHandler(Handler):
    def ftp_DELE(self, path):
        self.respond("550 Not enough privileges.")


class NoSizeHandler(Handler):
    # Dropping SIZE from the table also drops it from FEAT.
    proto_cmds = {k: v for k, v in Handler.proto_cmds.items() if k != "SIZE"}

    def pre_process_command(self, line, cmd, arg):
        if cmd == "SIZE":
            self.event(line)
            not_implemented(self)
        else:
            super().pre_process_command(line, cmd, arg)


NO_FACTS = ("SIZE", "MLST", "STAT")


class NoFactsHandler(Handler):
    """Tells nothing of a file: no SIZE, MLST or STAT, as old servers."""

    proto_cmds = {k: v for k, v in Handler.proto_cmds.items() if k not in NO_FACTS}

    def pre_process_command(self, line, cmd, arg):
        if cmd in NO_FACTS:
            self.event(line)
            not_implemented(self)
        else:
            super().pre_process_command(line, cmd, arg)


class DropMidDataCmdHandler(Handler):
    dtp_handler = DropMidDataHandler


class DropAfterDataCmdHandler(Handler):
    dtp_handler = DropAfterDataHandler


class DropAtLoginHandler(Handler):
    ftp_PASS = hang_up


class DropBeforeRenameHandler(Handler):
    ftp_RNFR = hang_up


class DropAfterRemovalHandler(NoOverwriteHandler):
    """Renames nothing onto a file, and the link breaks right after the list
    was removed to make way: once, after the first DELE of a name that is no
    temporary copy."""

    dropped = False
    refuse_next = False  # and the log-in after it is refused too

    def on_connect(self):
        super().on_connect()
        if DropAfterRemovalHandler.refuse_next and DropAfterRemovalHandler.dropped:
            DropAfterRemovalHandler.refuse_next = False
            self.respond("421 Service not available, closing control connection.")
            self.close_when_done()

    def ftp_DELE(self, path):
        if DropAfterRemovalHandler.dropped or path.endswith(".part"):
            return super().ftp_DELE(path)
        # Removed, and the link gone before the reply could say so.
        DropAfterRemovalHandler.dropped = True
        self.run_as_current_user(self.fs.remove, path)
        self.close()
        return None


class DropAfterRemovalAwhileHandler(DropAfterRemovalHandler):
    """The same, and the server is gone for the next log-in."""

    def ftp_DELE(self, path):
        if not DropAfterRemovalHandler.dropped:
            DropAfterRemovalHandler.refuse_next = True
        super().ftp_DELE(path)


class StallAfterRemovalHandler(NoOverwriteHandler):
    """Renames nothing onto a file, and once the list was removed to make
    way, the rename goes unanswered, once: where a window closed then finds
    the upload."""

    removed = False
    stalled = False

    def ftp_DELE(self, path):
        if not path.endswith(".part"):
            StallAfterRemovalHandler.removed = True
        return super().ftp_DELE(path)

    def ftp_RNFR(self, path):
        if StallAfterRemovalHandler.removed and not StallAfterRemovalHandler.stalled:
            StallAfterRemovalHandler.stalled = True
            return None
        return super().ftp_RNFR(path)


class HostileListingHandler(Handler):
    """Answers STAT of a folder with a listing meant to hurt: --listing says
    which (huge: 100 000 names; endless: a line every 50 ms, for ever;
    garbled: control characters, invalid UTF-8 and a 1 MB line, before the
    folder's own lines)."""

    listing = "huge"

    def raw(self, data):
        asynchat.async_chat.push(self, data)

    def ftp_STAT(self, path):
        folder = path.split(" ")[-1] if path else ""
        fspath = folder if os.path.isabs(folder) else self.fs.ftp2fs(folder or ".")
        if not path or not self.fs.isdir(fspath):
            return super().ftp_STAT(path)
        kind = HostileListingHandler.listing
        if kind == "endless":
            self.raw(b"213-Status follows:\r\n")
            count = [0]

            def more():
                if not self.connected:
                    return
                count[0] += 1
                self.raw(b"-rw-r--r--   1 u g 1 Jan 01  2020 .channel_list.txt.%016x.part\r\n"
                         % count[0])
                self.ioloop.call_later(0.05, more, _errback=self.handle_error)

            more()
            return None
        self.raw(b"213-Status follows:\r\n")
        if kind == "huge":
            self.raw(b"".join(b"-rw-r--r--   1 u g 1 Jan 01  2020 file%06d.txt\r\n" % i
                              for i in range(100000)))
        else:
            self.raw(b"-rw-r--r--   1 u g 1 Jan 01  2020 bad\x01\x7f\xff\xfename.txt\r\n"
                     b"-rw-r--r--   1 u g 1 Jan 01  2020 " + b"x" * (1 << 20) + b"\r\n"
                     b"drwxr-xr-x   1 u g 1 Jan 01  2020 \x00\r\n"
                     b"\xc3\x28 \xa0\xa1 Jan 01\r\n")
        return super().ftp_STAT(fspath)


class StallReplyHandler(Handler):
    ftp_STOR = stay_silent


class StallDataCmdHandler(Handler):
    dtp_handler = StallDataHandler


class NoBannerHandler(Handler):
    def handle(self):
        self.on_connect()

    def pre_process_command(self, line, cmd, arg):
        self.event(line)


class Greeting234Handler(Handler):
    """No TLS, and a greeting with a line that begins as the reply to AUTH
    TLS does."""

    banner = "Welcome.\r\n234-TLS is on.\r\n220-Have fun"


class WrongSizeFS(AbstractedFS):
    """Tells every file's size size_error bytes off the one on disk: in
    SIZE, and in the STAT and MLST answers that also carry it."""

    size_error = 1

    def _lie(self, st):
        values = list(st)
        values[stat.ST_SIZE] = max(0, st.st_size + self.size_error)
        return os.stat_result(values)

    def stat(self, path):
        return self._lie(super().stat(path))

    def lstat(self, path):
        return self._lie(super().lstat(path))

    def getsize(self, path):
        return max(0, super().getsize(path) + self.size_error)


class ShortSizeFS(WrongSizeFS):
    size_error = -1


class WrongSizeHandler(Handler):
    abstracted_fs = WrongSizeFS


class ShortSizeHandler(Handler):
    abstracted_fs = ShortSizeFS


MODES = {
    "normal": Handler,
    "no-rename": NoRenameHandler,
    "no-overwrite": NoOverwriteHandler,
    "no-size": NoSizeHandler,
    "no-facts": NoFactsHandler,
    "no-dot-names": NoDotNamesHandler,
    "no-delete": NoDeleteHandler,
    "no-new-files": NoNewFilesHandler,
    "only-plain-names": OnlyPlainNamesHandler,
    "drop-mid-data": DropMidDataCmdHandler,
    "drop-mid-data-once": type("DropMidDataOnceCmdHandler", (Handler,),
                               {"dtp_handler": DropMidDataOnceHandler}),
    "drop-after-removal": DropAfterRemovalHandler,
    "drop-after-removal-awhile": DropAfterRemovalAwhileHandler,
    "stall-after-removal": StallAfterRemovalHandler,
    "hostile-listing": HostileListingHandler,
    "drop-after-data": DropAfterDataCmdHandler,
    "drop-at-login": DropAtLoginHandler,
    "drop-before-rename": DropBeforeRenameHandler,
    "stall-reply": StallReplyHandler,
    "stall-data": StallDataCmdHandler,
    "no-banner": NoBannerHandler,
    "greeting-234": Greeting234Handler,
    "wrong-size": WrongSizeHandler,
    "short-size": ShortSizeHandler,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--mode", choices=sorted(MODES), default="normal")
    parser.add_argument("--drop-after", type=int, default=0)
    parser.add_argument("--throttle", type=int, default=0)
    parser.add_argument("--log")
    parser.add_argument("--listing", choices=("huge", "endless", "garbled"), default="huge")
    parser.add_argument("--passive-ports", metavar="LOW-HIGH",
                        help="passive data ports, for a proxy that forwards them")
    args = parser.parse_args()
    HostileListingHandler.listing = args.listing
    if args.mode in ("drop-mid-data", "drop-mid-data-once", "stall-data") and args.drop_after <= 0:
        parser.error("--drop-after must be positive in mode " + args.mode)

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")

    handler = MODES[args.mode]
    handler.authorizer = authorizer
    handler.dtp_handler.read_limit = args.throttle
    handler.dtp_handler.drop_after = args.drop_after
    if args.passive_ports:
        low, _, high = args.passive_ports.partition("-")
        handler.passive_ports = list(range(int(low), int(high) + 1))
    if args.log:
        handler.log_file = open(args.log, "a", encoding="utf-8")

    config_logging(level=logging.WARNING)
    server = FTPServer((args.host, args.port), handler)

    def stop(signum, frame):
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    print("PORT %d" % server.socket.getsockname()[1], flush=True)
    server.serve_forever(handle_exit=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
