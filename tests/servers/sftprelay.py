#!/usr/bin/python3
"""An SFTP server that loses its replies to one kind of request, or whose
link breaks right after one.

    sftprelay.py TYPE SERVER [ARG...]
    sftprelay.py cut:TYPE:SUFFIX:MARK SERVER [ARG...]

Runs SERVER (OpenSSH's sftp-server) and passes every packet between it and
the client, except the replies to requests of TYPE (a name such as REMOVE):
the server carries those requests out, and the client never hears back, as
from a server that stopped answering halfway through a session.

With "cut:", the first request of TYPE whose path ends in SUFFIX is carried
out, and then the session ends before anything more reaches the server or
the client: once, while the file MARK does not exist (it is made then).
"""
import os
import struct
import subprocess
import sys
import threading

TYPES = {"REMOVE": 13, "RENAME": 18, "SETSTAT": 9, "FSTAT": 8, "LSTAT": 7, "WRITE": 6}


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


def cut(rule, command):
    _, name, suffix, mark = rule.split(":", 3)
    cut_type = TYPES[name]
    server = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    awaited = []  # the id of the request after which the link breaks
    done = threading.Event()

    def replies():
        out = sys.stdout.buffer
        for packet in packets(server.stdout):
            if awaited and len(packet) >= 9 and struct.unpack(">I", packet[5:9])[0] == awaited[0]:
                done.set()
                return
            out.write(packet)
            out.flush()
        done.set()

    threading.Thread(target=replies, daemon=True).start()
    for packet in packets(sys.stdin.buffer):
        if (packet[4] == cut_type and len(packet) >= 13 and not awaited
                and not os.path.exists(mark)):
            (length,) = struct.unpack(">I", packet[9:13])
            if packet[13:13 + length].endswith(suffix.encode()):
                open(mark, "w").close()
                awaited.append(struct.unpack(">I", packet[5:9])[0])
                server.stdin.write(packet)
                server.stdin.flush()
                done.wait(10)
                server.kill()
                os._exit(0)
        server.stdin.write(packet)
        server.stdin.flush()
    server.stdin.close()
    server.wait()


def main():
    if sys.argv[1].startswith("cut:"):
        return cut(sys.argv[1], sys.argv[2:])
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
