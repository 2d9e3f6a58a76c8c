#!/usr/bin/env python3
"""A stand-in for the journal's or the service manager's socket: receives
datagrams of KEY=VALUE fields (the journal's native protocol, or sd_notify
messages) and writes each as one JSON object per line, after a first
{"LISTENING": "1"}.

record_datagrams.py SOCKET OUTPUT
"""
import json
import os
import socket
import sys


def parse(data):
    """KEY=value lines (the last one may lack its newline), or KEY, newline,
    little-endian 64-bit length, bytes, newline."""
    fields = {}
    at = 0
    while at < len(data):
        end = data.find(b"\n", at)
        end = len(data) if end < 0 else end
        line = data[at:end]
        if b"=" in line:
            key, value = line.split(b"=", 1)
            at = end + 1
        else:
            key = line
            size = int.from_bytes(data[end + 1:end + 9], "little")
            value = data[end + 9:end + 9 + size]
            at = end + 9 + size + 1
        fields[key.decode()] = value.decode("utf-8", "replace")
    return fields


def main():
    path, output = sys.argv[1], sys.argv[2]
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(path)
    os.chmod(path, 0o666)  # the filter writes as an unprivileged user
    with open(output, "a", encoding="utf-8") as out:
        print(json.dumps({"LISTENING": "1"}), file=out, flush=True)
        while True:
            print(json.dumps(parse(sock.recv(1 << 20))), file=out, flush=True)


if __name__ == "__main__":
    main()
