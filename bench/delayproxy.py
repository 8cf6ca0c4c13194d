#!/usr/bin/python3
"""A loopback TCP proxy that holds every byte back for a fixed time in each
direction, so that a connection through it has that round-trip time.

    delayproxy.py --listen 127.0.0.2 --to 127.0.0.1 --one-way-ms MS PORT...

Listens on LISTEN:PORT for each PORT and forwards to TO:PORT. Giving the FTP
server's control port and its whole passive port range sends the data
connections through the proxy as well, without reading the control
connection, so it serves FTP over TLS as it serves plain FTP: the client
takes the port from the 229 reply and connects to the address it already
uses, LISTEN. Prints READY once listening, then "control MS" for each
connection to the first PORT once its client has hung up: the time from
the connection to the client's end of it, QUIT included, the same measure
for any client. Ends at the end of its input.
"""

import argparse
import collections
import errno
import heapq
import itertools
import os
import select
import socket
import sys
import time

CHUNK = 65536
SPIN = 0.001  # seconds before a piece is due that the proxy stops sleeping


class Direction:
    """Bytes from one socket, each piece due at the other after the delay."""

    def __init__(self, src, dst):
        self.src, self.dst = src, dst
        self.opened = None  # when a client's control connection came in
        self.queue = collections.deque()  # (due, bytes); b"" marks the end
        self.unsent = b""  # the part of a due piece the socket did not take
        self.done = False


class Proxy:
    def __init__(self, listen, target, ports, one_way):
        self.target = target
        self.delay = one_way
        self.control = ports[0]
        self.listeners = {}
        for port in ports:
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind((listen, port))
            sock.listen(16)
            sock.setblocking(False)
            self.listeners[sock] = port
        self.directions = {}  # source socket -> its Direction
        self.due = []  # heap of (time, order, Direction)
        self.order = itertools.count()

    def accept(self, listener):
        try:
            client, _ = listener.accept()
        except OSError:
            return
        server = socket.create_connection((self.target, self.listeners[listener]))
        for sock in (client, server):
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            sock.setblocking(False)
        self.directions[client] = Direction(client, server)
        self.directions[server] = Direction(server, client)
        if self.listeners[listener] == self.control:
            self.directions[client].opened = time.monotonic()

    def receive(self, sock):
        d = self.directions[sock]
        try:
            data = sock.recv(CHUNK)
        except OSError as error:
            if error.errno in (errno.EAGAIN, errno.EINTR):
                return
            data = b""
        due = time.monotonic() + self.delay
        d.queue.append((due, data))
        if not data:
            d.done = True  # read no more; the end travels with the delay
            if d.opened is not None:
                print("control %.3f" % ((time.monotonic() - d.opened) * 1000), flush=True)
        heapq.heappush(self.due, (due, next(self.order), d))

    def forward(self, d, now):
        """Writes what is due; False while the socket is full."""
        while d.unsent or (d.queue and d.queue[0][0] <= now):
            if not d.unsent:
                _, data = d.queue.popleft()
                if not data:
                    try:
                        d.dst.shutdown(socket.SHUT_WR)
                    except OSError:
                        pass
                    self.close_if_finished(d)
                    return True
                d.unsent = data
            try:
                sent = d.dst.send(d.unsent)
            except BlockingIOError:
                return False
            except OSError:
                self.drop(d)
                return True
            d.unsent = d.unsent[sent:]
        return True

    def close_if_finished(self, d):
        back = self.directions.get(d.dst)
        if back is not None and back.done and not back.queue and not back.unsent:
            self.drop(d)

    def drop(self, d):
        for sock in (d.src, d.dst):
            self.directions.pop(sock, None)
            sock.close()

    def run(self):
        print("READY", flush=True)
        while True:
            now = time.monotonic()
            while self.due and self.due[0][0] <= now:
                _, _, d = heapq.heappop(self.due)
                if d.src in self.directions and not self.forward(d, now):
                    pass  # the rest waits for the socket to take it
            readers = [sys.stdin] + list(self.listeners)
            readers += [s for s, d in self.directions.items() if not d.done]
            writers = [d.dst for d in self.directions.values() if d.unsent]
            timeout = None
            if self.due:
                # A timed wait here wakes some 0.3 ms late, on every byte
                # each way: the last stretch is polled instead.
                left = self.due[0][0] - time.monotonic()
                timeout = 0.0 if left <= SPIN else left - SPIN
            if writers:
                timeout = 0.05 if timeout is None else min(timeout, 0.05)
            readable, writable, _ = select.select(readers, writers, [], timeout)
            for sock in writable:
                for d in list(self.directions.values()):
                    if d.dst is sock and d.unsent:
                        self.forward(d, time.monotonic())
            for sock in readable:
                if sock is sys.stdin:
                    if not os.read(sys.stdin.fileno(), 64):
                        return
                elif sock in self.listeners:
                    self.accept(sock)
                elif sock in self.directions:
                    self.receive(sock)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--listen", default="127.0.0.2")
    parser.add_argument("--to", default="127.0.0.1")
    parser.add_argument("--one-way-ms", type=float, required=True)
    parser.add_argument("ports", type=int, nargs="+")
    args = parser.parse_args()
    Proxy(args.listen, args.to, args.ports, args.one_way_ms / 1000.0).run()


if __name__ == "__main__":
    main()
