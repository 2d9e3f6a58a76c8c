#!/usr/bin/python3
"""Crafted TCP segments from the LAN namespace to a server on port 80,
through the gateway: a hand-made handshake (the namespace's own stack must
not answer: the test drops its resets), then the client's bytes as the
chosen trick sends them. Prints each payload the server sends back, one per
line, as "answer: ...", then "end".

Tricks (the honest request names BLOCKED):
  short-ttl  a request naming ALLOWED with TTL --ttl first, then the honest one
  one-byte   the honest request in one-byte segments
  reorder    the honest request's second half first, then the first half
  overlap    ALLOWED's request, then the honest one over the same bytes
"""
import argparse
import random
import time

from scapy.all import IP, TCP, AsyncSniffer, Raw, conf, send, sr1

conf.verb = 0


def request(host):
    return b"GET / HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n" % host.encode()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("trick", choices=["short-ttl", "one-byte", "reorder", "overlap"])
    parser.add_argument("server")
    parser.add_argument("allowed")
    parser.add_argument("blocked")
    parser.add_argument("--ttl", type=int, default=3)
    parser.add_argument("--iface", default="eth0")
    args = parser.parse_args()

    sport = random.randint(20000, 60000)
    isn = random.randint(0, 2**31)
    ip = IP(dst=args.server)
    sniffer = AsyncSniffer(iface=args.iface, lfilter=lambda p: TCP in p and p[TCP].sport == 80
                           and p[TCP].dport == sport)
    sniffer.start()
    synack = sr1(ip / TCP(sport=sport, dport=80, flags="S", seq=isn), timeout=3)
    if synack is None or TCP not in synack:
        print("no handshake")
        return 1
    ack = synack[TCP].seq + 1

    def segment(offset, payload, ttl=64):
        send(IP(dst=args.server, ttl=ttl) / TCP(sport=sport, dport=80, flags="PA", seq=isn + 1 + offset, ack=ack)
             / Raw(payload))

    send(ip / TCP(sport=sport, dport=80, flags="A", seq=isn + 1, ack=ack))
    honest = request(args.blocked)
    if args.trick == "short-ttl":
        segment(0, request(args.allowed), ttl=args.ttl)
        time.sleep(0.3)
        segment(0, honest)
    elif args.trick == "one-byte":
        for offset in range(len(honest)):
            segment(offset, honest[offset:offset + 1])
    elif args.trick == "reorder":
        half = len(honest) // 2
        segment(half, honest[half:])
        segment(0, honest[:half])
        time.sleep(0.3)
        segment(half, honest[half:])  # as the client's stack sends it again
    elif args.trick == "overlap":
        segment(0, request(args.allowed))
        time.sleep(0.3)
        segment(0, honest)
    time.sleep(1.5)
    sniffer.stop()
    for packet in sniffer.results:
        if Raw in packet:
            print("answer:", bytes(packet[Raw].load).decode("latin-1").replace("\r\n", " "))
        elif packet[TCP].flags & 0x04:
            print("reset")
    print("end")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
