#!/usr/bin/python3
"""Crafted TCP segments from the LAN namespace to a server on port 80 (an
HTTP request) or, with --tls, 443 (a TLS ClientHello), through the gateway:
a hand-made handshake (the namespace's own stack must not answer: the test
drops its resets), then the client's bytes as the chosen trick sends them.
Prints each payload the server sends back, one per line, as "answer: ...",
then "end".

Tricks (the honest first bytes name BLOCKED):
  short-ttl    bytes naming ALLOWED with TTL --ttl first, then the honest ones
  one-byte     the honest bytes in one-byte segments
  three-pause  the honest bytes in three segments, a pause after each
  reorder      the segment that carries the name first, then the one before it
  overlap      ALLOWED's bytes, then the honest ones over the same sequence
  urg          (HTTP) the honest request with a byte before the name, sent
               as urgent data: a server's stack takes it out of the stream,
               so the server reads BLOCKED where the segment shows another name
"""
import argparse
import random
import ssl
import time

from scapy.all import IP, TCP, AsyncSniffer, Raw, conf, send, sr1

conf.verb = 0


def request(host):
    return b"GET / HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n" % host.encode()


def client_hello(host):
    """A real ClientHello naming host, as this Python's TLS stack sends it."""
    outgoing = ssl.MemoryBIO()
    tls = ssl.create_default_context().wrap_bio(ssl.MemoryBIO(), outgoing, server_hostname=host)
    try:
        tls.do_handshake()
    except ssl.SSLWantReadError:
        pass
    return outgoing.read()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("trick", choices=["short-ttl", "one-byte", "three-pause", "reorder", "overlap", "urg"])
    parser.add_argument("server")
    parser.add_argument("allowed")
    parser.add_argument("blocked")
    parser.add_argument("--tls", action="store_true")
    parser.add_argument("--ttl", type=int, default=3)
    parser.add_argument("--iface", default="eth0")
    args = parser.parse_args()
    port = 443 if args.tls else 80
    first_bytes = client_hello if args.tls else request

    sport = random.randint(20000, 60000)
    isn = random.randint(0, 2**31)
    ip = IP(dst=args.server)
    sniffer = AsyncSniffer(iface=args.iface, lfilter=lambda p: TCP in p and p[TCP].sport == port
                           and p[TCP].dport == sport)
    sniffer.start()
    # Sent again when unanswered, as a client's stack would: a lost SYN is
    # not what the tricks are about.
    synack = sr1(ip / TCP(sport=sport, dport=port, flags="S", seq=isn), timeout=2, retry=2)
    if synack is None or TCP not in synack:
        print("no handshake")
        return 1
    ack = synack[TCP].seq + 1

    def segment(offset, payload, ttl=64, urgent=None):
        tcp = TCP(sport=sport, dport=port, flags="PA", seq=isn + 1 + offset, ack=ack)
        if urgent is not None:
            tcp.flags = "PAU"
            tcp.urgptr = urgent
        send(IP(dst=args.server, ttl=ttl) / tcp / Raw(payload))

    send(ip / TCP(sport=sport, dport=port, flags="A", seq=isn + 1, ack=ack))
    honest = first_bytes(args.blocked)
    name = honest.find(args.blocked.encode())
    if args.trick == "short-ttl":
        segment(0, first_bytes(args.allowed), ttl=args.ttl)
        time.sleep(0.3)
        segment(0, honest)
    elif args.trick == "one-byte":
        for offset in range(len(honest)):
            segment(offset, honest[offset:offset + 1])
    elif args.trick == "three-pause":
        thirds = [0, len(honest) // 3, 2 * len(honest) // 3, len(honest)]
        for start, end in zip(thirds, thirds[1:]):
            segment(start, honest[start:end])
            time.sleep(0.3)
    elif args.trick == "reorder":
        segment(name, honest[name:])
        segment(0, honest[:name])
        time.sleep(0.3)
        segment(name, honest[name:])  # as the client's stack sends it again
    elif args.trick == "overlap":
        segment(0, first_bytes(args.allowed))
        time.sleep(0.3)
        segment(0, honest)
    elif args.trick == "urg":
        # The urgent pointer points just past the urgent byte.
        segment(0, honest[:name] + b"x" + honest[name:], urgent=name + 1)
    time.sleep(1.5)
    sniffer.stop()
    for packet in sniffer.results:
        if Raw in packet:
            load = bytes(packet[Raw].load)
            print("answer:", load[:16].hex() if args.tls else load.decode("latin-1").replace("\r\n", " "))
        elif packet[TCP].flags & 0x04:
            print("reset")
    print("end")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
