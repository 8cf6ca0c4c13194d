#!/usr/bin/python3
"""An SFTP server that loses its replies to one kind of request.

    sftprelay.py TYPE SERVER [ARG...]

Runs SERVER (OpenSSH's sftp-server) and passes every packet between it and
the client, except the replies to requests of TYPE (a name such as REMOVE):
the server carries those requests out, and the client never hears back, as
from a server that stopped answering halfway through a session.
"""
import struct
import subprocess
import sys
import threading

TYPES = {"REMOVE": 13, "RENAME": 18, "SETSTAT": 9, "FSTAT": 8, "LSTAT": 7}


def packets(stream):
    while True:
        head = stream.read(4)
        if len(head) < 4:
            return
        (length,) = struct.unpack(">I", head)
        body = stream.read(length)
        if len(body) < length:
            return
        yield head + body


def main():
    dropped_type = TYPES[sys.argv[1]]
    server = subprocess.Popen(sys.argv[2:], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    lost = set()  # ids of the requests whose replies are dropped
    lock = threading.Lock()

    def replies():
        out = sys.stdout.buffer
        for packet in packets(server.stdout):
            (reply_id,) = struct.unpack(">I", packet[5:9]) if len(packet) >= 9 else (None,)
            with lock:
                if reply_id in lost and packet[4] != 2:  # never the VERSION
                    lost.discard(reply_id)
                    continue
            out.write(packet)
            out.flush()

    threading.Thread(target=replies, daemon=True).start()
    for packet in packets(sys.stdin.buffer):
        if packet[4] == dropped_type and len(packet) >= 9:
            with lock:
                lost.add(struct.unpack(">I", packet[5:9])[0])
        server.stdin.write(packet)
        server.stdin.flush()
    server.stdin.close()
    server.wait()


if __name__ == "__main__":
    main()
