#!/usr/bin/python3
"""A DNS server for the network-namespace tests (Debian's python3-dnspython,
hence /usr/bin/python3). Answers over UDP and TCP (each message behind its
length, several on one connection) on port 53 of every address:
  svc.example.test HTTPS -> 1 . alpn="h3,h2" ech=... ipv4hint=198.18.10.2 (TTL 300)
  use-application-dns.net (any case, any type) -> A 198.18.10.9
  any other name, type A -> A 198.18.10.2
  anything else -> NXDOMAIN
Prints "serving" once bound."""
import selectors
import socket
import threading

import dns.message
import dns.rcode
import dns.rdatatype
import dns.rrset

ECH = "AEb+DQBCKgAgACABAgMEBQYHCAkKCwwNDg8QERITFBUWFxgZGhscHR4fIAAEAAEAAQATcHVibGljLmV4YW1wbGUudGVzdAAA"
HTTPS_RECORD = f'1 . alpn="h3,h2" ech="{ECH}" ipv4hint=198.18.10.2'


def answer(wire):
    query = dns.message.from_wire(wire)
    response = dns.message.make_response(query, recursion_available=True)
    question = query.question[0]
    name = question.name.to_text().lower()
    if name == "svc.example.test." and question.rdtype == dns.rdatatype.HTTPS:
        response.answer.append(dns.rrset.from_text(question.name, 300, "IN", "HTTPS", HTTPS_RECORD))
    elif name == "use-application-dns.net.":
        response.answer.append(dns.rrset.from_text(question.name, 60, "IN", "A", "198.18.10.9"))
    elif question.rdtype == dns.rdatatype.A:
        response.answer.append(dns.rrset.from_text(question.name, 60, "IN", "A", "198.18.10.2"))
    else:
        response.set_rcode(dns.rcode.NXDOMAIN)
    return response.to_wire()


def read_exactly(connection, count):
    data = b""
    while len(data) < count:
        chunk = connection.recv(count - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def serve_tcp(connection):
    with connection:
        while (prefix := read_exactly(connection, 2)) is not None:
            wire = read_exactly(connection, int.from_bytes(prefix, "big"))
            if wire is None:
                return
            try:
                reply = answer(wire)
            except Exception as error:  # a bad query gets no answer; the server stays up
                print("bad query:", error, flush=True)
                return
            connection.sendall(len(reply).to_bytes(2, "big") + reply)


def main():
    selector = selectors.DefaultSelector()
    for family, address in ((socket.AF_INET, "0.0.0.0"), (socket.AF_INET6, "::")):
        for kind in (socket.SOCK_DGRAM, socket.SOCK_STREAM):
            sock = socket.socket(family, kind)
            if family == socket.AF_INET6:
                sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind((address, 53))
            if kind == socket.SOCK_STREAM:
                sock.listen()
            selector.register(sock, selectors.EVENT_READ)
    print("serving", flush=True)
    while True:
        for key, _ in selector.select():
            if key.fileobj.type == socket.SOCK_STREAM:
                connection, _ = key.fileobj.accept()
                threading.Thread(target=serve_tcp, args=(connection,), daemon=True).start()
                continue
            wire, peer = key.fileobj.recvfrom(65535)
            try:
                key.fileobj.sendto(answer(wire), peer)
            except Exception as error:  # a bad query gets no answer; the server stays up
                print("bad query:", error, flush=True)


main()
