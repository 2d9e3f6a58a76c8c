#!/usr/bin/env python3
"""UDP ends for the network-namespace tests.

serve PORT...           echo every datagram back, IPv4 and IPv6, prefixed "echo "
probe ADDRESS PORT [N]  one connected socket sends N datagrams (default 3), each
                        waiting up to 2 s; prints one word per datagram: reply,
                        refused (ECONNREFUSED), denied (EPERM: a local rule
                        rejected the send itself) or timeout
hold ADDRESS PORT FILE  one connected socket: two datagrams, a line of their
                        words, then, once FILE exists (up to 30 s), three more
                        and a line of theirs
"""
import errno
import os
import select
import socket
import sys
import time

WAIT_SECONDS = 2.0
HOLD_SECONDS = 30.0


def serve(ports):
    sockets = []
    for port in ports:
        for family, address in ((socket.AF_INET, "0.0.0.0"), (socket.AF_INET6, "::")):
            sock = socket.socket(family, socket.SOCK_DGRAM)
            if family == socket.AF_INET6:
                sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            sock.bind((address, port))
            sockets.append(sock)
    print("serving", flush=True)
    while True:
        readable, _, _ = select.select(sockets, [], [])
        for sock in readable:
            data, peer = sock.recvfrom(2048)
            sock.sendto(b"echo " + data, peer)


def connected(address, port):
    family = socket.AF_INET6 if ":" in address else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_DGRAM)
    sock.connect((address, port))
    sock.settimeout(WAIT_SECONDS)
    return sock


def exchange(sock, numbers):
    """Sends one datagram per number; prints a line of their words."""
    words = []
    for i in numbers:
        try:
            sock.send(b"ping %d" % i)
            reply = sock.recv(2048)
            words.append("reply" if reply == b"echo ping %d" % i else "garbled")
        except socket.timeout:
            words.append("timeout")
        except OSError as error:
            words.append({errno.ECONNREFUSED: "refused", errno.EPERM: "denied"}.get(error.errno, error.strerror))
    print(" ".join(words), flush=True)


def probe(address, port, count):
    exchange(connected(address, port), range(count))


def hold(address, port, go_file):
    sock = connected(address, port)
    exchange(sock, range(2))
    deadline = time.monotonic() + HOLD_SECONDS
    while not os.path.exists(go_file) and time.monotonic() < deadline:
        time.sleep(0.1)
    exchange(sock, range(2, 5))


def main():
    if sys.argv[1] == "serve":
        serve([int(port) for port in sys.argv[2:]])
    elif sys.argv[1] == "probe":
        probe(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]) if len(sys.argv) > 4 else 3)
    elif sys.argv[1] == "hold":
        hold(sys.argv[2], int(sys.argv[3]), sys.argv[4])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
