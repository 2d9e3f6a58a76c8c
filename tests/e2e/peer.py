#!/usr/bin/env python3
"""Servers and clients for the network-namespace tests.

serve: HTTP on :80 and :853 (the DNS-over-TLS port, for the strict-mode tests)
and HTTPS on :443 (any name, one self-signed certificate), IPv4 and IPv6; on
:80 also HTTP/2 with prior knowledge, every request answered "hello <authority>\n". Paths:
  GET  /            "hello <host>\n"; keep-alive honoured
  GET  /bytes/N     N bytes of a fixed pattern, then close
  POST /sha256      reads the body until the client ends its side (whatever
                    length it says), answers
                    "<sha256 hex> <length>\n"
  POST /echo-later  reads until the client ends its side, then streams the
                    body back in slow chunks, then closes
  GET  /upgrade     answers 101 Switching Protocols, echoes one read, closes
The client subcommands print one result line and exit 0 on success.
"""
import argparse
import asyncio
import hashlib
import os
import socket
import ssl
import sys
import time

PATTERN = bytes(range(256)) * 256  # 64 KiB
HTTP2_PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
ECHO_CHUNKS = 16
ECHO_CHUNK_DELAY = 0.02
HOLD_SECONDS = 60  # many-flows --hold: the longest wait for the file
STILL_OPEN_SECONDS = 2  # a held flow that neither ends nor sends within this is open
PAUSE_SECONDS = 0.3  # raw --pause-after: long enough for the filter to read what came first


def pattern(size):
    return (PATTERN * (size // len(PATTERN) + 1))[:size]


class NotHttp(Exception):
    pass


async def read_head(reader):
    """Lines end in CR LF or LF alone, as servers accept."""
    request_line = (await reader.readuntil(b"\n")).decode("latin-1").rstrip("\r\n")
    parts = request_line.split(" ")
    if len(parts) != 3 or not parts[2].startswith("HTTP/"):
        raise NotHttp()
    headers = {}
    while line := (await reader.readuntil(b"\n")).decode("latin-1").rstrip("\r\n"):
        if ":" in line:
            name, value = line.split(":", 1)
            headers[name.strip().lower()] = value.strip()
    return parts[0], parts[1], headers


async def serve_http2(reader, writer):
    """The rest of the connection after the preface's first line (read as a request head)."""
    # Debian's python3-h2, here only: the client subcommands run under any python3.
    import h2.config
    import h2.connection
    import h2.events

    rest = HTTP2_PREFACE[len(b"PRI * HTTP/2.0\r\n\r\n"):]
    if await reader.readexactly(len(rest)) != rest:
        return
    connection = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False, header_encoding="utf-8"))
    connection.initiate_connection()
    data = HTTP2_PREFACE
    while data:
        for event in connection.receive_data(data):
            if isinstance(event, h2.events.RequestReceived):
                reply = ("hello %s\n" % dict(event.headers).get(":authority", "")).encode()
                connection.send_headers(event.stream_id, [(":status", "200"), ("content-length", str(len(reply)))])
                connection.send_data(event.stream_id, reply, end_stream=True)
        writer.write(connection.data_to_send())
        await writer.drain()
        data = await reader.read(65536)


async def handle(reader, writer):
    try:
        while True:
            try:
                method, path, headers = await read_head(reader)
                if (method, path) == ("PRI", "*"):
                    return await serve_http2(reader, writer)
            except (asyncio.IncompleteReadError, ConnectionError):
                return
            except NotHttp:
                writer.write(b"not http\n")
                await writer.drain()
                return
            host = headers.get("host", "")
            if path == "/upgrade":
                writer.write(b"HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\n"
                             b"Upgrade: %s\r\n\r\n" % headers.get("upgrade", "").encode())
                writer.write(await reader.read(65536))
                await writer.drain()
                return
            if path.startswith("/bytes/"):
                size = int(path[len("/bytes/"):])
                writer.write(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % size)
                writer.write(pattern(size))
                await writer.drain()
                return
            if path in ("/sha256", "/echo-later"):
                digest, body = hashlib.sha256(), bytearray()
                length = 0
                while chunk := await reader.read(65536):
                    digest.update(chunk)
                    length += len(chunk)
                    if path == "/echo-later":
                        body += chunk
                if path == "/sha256":
                    writer.write(b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n%s %d\n"
                                 % (digest.hexdigest().encode(), length))
                else:
                    writer.write(b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n")
                    step = max(1, len(body) // ECHO_CHUNKS)
                    for start in range(0, len(body), step):
                        await asyncio.sleep(ECHO_CHUNK_DELAY)
                        writer.write(bytes(body[start:start + step]))
                        await writer.drain()
                await writer.drain()
                return
            reply = ("hello %s\n" % host).encode()
            close = headers.get("connection", "").lower() == "close"
            writer.write(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n%s\r\n%s"
                         % (len(reply), b"Connection: close\r\n" if close else b"", reply))
            await writer.drain()
            if close:
                return
    except (ConnectionError, ssl.SSLError):
        pass
    finally:
        writer.close()


async def serve(args):
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(args.cert, args.key)
    servers = []
    for host in ("0.0.0.0", "::"):
        servers.append(await asyncio.start_server(handle, host, 80, backlog=2048))
        servers.append(await asyncio.start_server(handle, host, 853))
        servers.append(await asyncio.start_server(handle, host, 443, ssl=context, backlog=2048))
    print("serving", flush=True)
    await asyncio.gather(*(server.serve_forever() for server in servers))


def connect(address, port, timeout=10):
    family = socket.AF_INET6 if ":" in address else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.settimeout(timeout)
    sock.connect((address, port))
    return sock


def read_all(sock):
    data = bytearray()
    while chunk := sock.recv(1 << 20):
        data += chunk
    return bytes(data)


def body_of(response):
    return response.split(b"\r\n\r\n", 1)[1] if b"\r\n\r\n" in response else b""


def half_close(args):
    """Sends a body, ends its side, and expects the whole slow echo back."""
    payload = pattern(args.size)
    sock = connect(args.address, args.port)
    sock.sendall(b"POST /echo-later HTTP/1.1\r\nHost: %s\r\n\r\n" % args.host.encode() + payload)
    sock.shutdown(socket.SHUT_WR)
    body = body_of(read_all(sock))
    if body != payload:
        print("echo came back with %d of %d bytes" % (len(body), len(payload)))
        return 1
    print("echo complete: %d bytes" % len(body))
    return 0


def transfer(args):
    """100 MiB up (hash checked by the server) and down (checked here); with
    --content-length the upload says its length."""
    data = pattern(args.size)
    expected = hashlib.sha256(data).hexdigest()
    sock = connect(args.address, args.port, timeout=60)
    length = b"Content-Length: %d\r\n" % args.size if args.content_length else b""
    sock.sendall(b"POST /sha256 HTTP/1.1\r\nHost: %s\r\n%s\r\n" % (args.host.encode(), length) + data)
    sock.shutdown(socket.SHUT_WR)
    up = body_of(read_all(sock)).decode().split()
    if up != [expected, str(args.size)]:
        print("upload arrived as %s, expected %s %d" % (up, expected, args.size))
        return 1
    sock = connect(args.address, args.port, timeout=60)
    sock.sendall(b"GET /bytes/%d HTTP/1.1\r\nHost: %s\r\n\r\n" % (args.size, args.host.encode()))
    down = body_of(read_all(sock))
    if down != data:
        print("download arrived as %d bytes, %s" % (len(down), hashlib.sha256(down).hexdigest()))
        return 1
    print("both ways byte-exact: %d bytes" % args.size)
    return 0


def report_end(sock):
    """Waits for the other side to end the connection; says how and when."""
    start = time.monotonic()
    try:
        outcome = "closed" if sock.recv(1) == b"" else "data"
    except ConnectionResetError:
        outcome = "reset"
    except ConnectionAbortedError:  # the kernel engine ends a local socket itself
        outcome = "aborted"
    except socket.timeout:
        outcome = "open"
    print("%s after %.1f s" % (outcome, time.monotonic() - start))


def silent(args):
    """Connects, sends nothing, reports when the other side closed."""
    report_end(connect(args.address, args.port, timeout=args.timeout))
    return 0


def keep_alive(args):
    """One request, then waits on the same connection; reports when it ends."""
    sock = connect(args.address, args.port, timeout=args.timeout)
    sock.sendall(b"GET / HTTP/1.1\r\nHost: %s\r\n\r\n" % args.host.encode())
    reply = sock.recv(4096)
    if b"hello" not in reply:
        print("no reply: %r" % reply)
        return 1
    print("answered", flush=True)
    report_end(sock)
    return 0


def raw(args):
    """Sends the bytes given (Python escapes; with --pause-after N the first N,
    a pause of --pause seconds, the rest), prints what comes back before the other side closes or
    the time is up."""
    payload = args.payload.encode("latin-1").decode("unicode_escape").encode("latin-1")
    sock = connect(args.address, args.port, timeout=args.timeout)
    try:
        if args.pause_after:
            sock.sendall(payload[:args.pause_after])
            time.sleep(args.pause)
            payload = payload[args.pause_after:]
        sock.sendall(payload)
    except ConnectionError:
        pass  # what came back before is still read
    reply = bytearray()
    try:
        while chunk := sock.recv(65536):
            reply += chunk
    except (socket.timeout, ConnectionError):
        pass
    print(reply.decode("latin-1") if reply else "nothing")
    return 0


def h2_requests(args):
    """HTTP/2 with prior knowledge: one request per authority on one
    connection, each after the answer to the one before; prints the answers
    until the connection ends."""
    import h2.connection
    import h2.events

    sock = connect(args.address, args.port, timeout=args.timeout)
    connection = h2.connection.H2Connection()
    connection.initiate_connection()
    try:
        for stream, authority in zip(range(1, 1000, 2), args.authorities.split(",")):
            connection.send_headers(stream, [(":method", "GET"), (":scheme", "http"), (":authority", authority),
                                             (":path", "/")], end_stream=True)
            sock.sendall(connection.data_to_send())
            answered = False
            while not answered:
                data = sock.recv(65536)
                if not data:
                    return 0
                for event in connection.receive_data(data):
                    if isinstance(event, h2.events.DataReceived):
                        print(event.data.decode().strip(), flush=True)
                    answered = answered or isinstance(event, h2.events.StreamEnded)
                sock.sendall(connection.data_to_send())
    except (socket.timeout, ConnectionError):
        pass
    return 0


async def request_on(address, port, host, keep):
    reader, writer = await asyncio.open_connection(address, port)
    writer.write(b"GET / HTTP/1.1\r\nHost: %s\r\n\r\n" % host.encode())
    await writer.drain()
    try:
        reply = await asyncio.wait_for(reader.read(4096), 10)
    except asyncio.TimeoutError:
        reply = b""
    keep.append((host, reader, writer))
    return b"hello " + host.encode() in reply


async def still_open(reader):
    try:
        return await asyncio.wait_for(reader.read(1), STILL_OPEN_SECONDS) != b""
    except asyncio.TimeoutError:
        return True
    except ConnectionError:
        return False


async def many_flows(args):
    """Holds `first` answered flows to an allowed host open, then opens
    `extra` more to a blocked host and `extra_allowed` more to the allowed
    host while they are held. Success: every allowed flow answered, and
    `blocked_answered` (default: all) of the blocked ones. With `hold`, the
    flows stay open until that file exists, then it says how many still are."""
    keep, results = [], []
    semaphore = asyncio.Semaphore(100)

    async def one(host):
        async with semaphore:
            results.append((host, await request_on(args.address, args.port, host, keep)))

    await asyncio.gather(*(one(args.allowed) for _ in range(args.first)))
    await asyncio.gather(*(one(args.blocked) for _ in range(args.extra)),
                         *(one(args.allowed) for _ in range(args.extra_allowed)))
    allowed_ok = sum(1 for host, ok in results if host == args.allowed and ok)
    blocked_ok = sum(1 for host, ok in results if host == args.blocked and ok)
    allowed = args.first + args.extra_allowed
    print("allowed answered %d/%d, over the cap to a blocked host answered %d/%d"
          % (allowed_ok, allowed, blocked_ok, args.extra), flush=True)
    if args.hold:
        deadline = time.monotonic() + HOLD_SECONDS
        while not os.path.exists(args.hold) and time.monotonic() < deadline:
            await asyncio.sleep(0.1)
        open_now = await asyncio.gather(*(still_open(reader) for _, reader, _ in keep))
        counts = {name: [0, 0] for name in (args.allowed, args.blocked)}
        for (host, _, _), is_open in zip(keep, open_now):
            counts[host][0] += is_open
            counts[host][1] += 1
        print("still open: " + ", ".join("%s %d/%d" % (name, *c) for name, c in counts.items()), flush=True)
    for _, _, writer in keep:
        writer.close()
    expected_blocked = args.extra if args.blocked_answered is None else args.blocked_answered
    return 0 if (allowed_ok, blocked_ok) == (allowed, expected_blocked) else 1


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("serve")
    p.add_argument("--cert", required=True)
    p.add_argument("--key", required=True)
    # name, function, positional arguments, options (name, type, default)
    for name, function, positionals, options in (
            ("half-close", half_close, "address port host", (("--size", int, 1 << 20),)),
            ("transfer", transfer, "address port host",
             (("--size", int, 1 << 20), ("--content-length", int, 0))),
            ("silent", silent, "address port", (("--timeout", float, 30),)),
            ("keep-alive", keep_alive, "address port host", (("--timeout", float, 30),)),
            ("h2-requests", h2_requests, "address port authorities", (("--timeout", float, 5),)),
            ("raw", raw, "address port payload",
             (("--timeout", float, 5), ("--pause-after", int, 0), ("--pause", float, PAUSE_SECONDS))),
            ("many-flows", many_flows, "address port allowed blocked",
             (("--first", int, 1000), ("--extra", int, 100), ("--extra-allowed", int, 0),
              ("--blocked-answered", int, None), ("--hold", str, None)))):
        p = sub.add_parser(name)
        p.set_defaults(function=function)
        for positional in positionals.split():
            p.add_argument(positional, type=int if positional == "port" else str)
        for option, kind, default in options:
            p.add_argument(option, type=kind, default=default)
    args = parser.parse_args()
    if args.command == "serve":
        asyncio.run(serve(args))
    elif args.command == "many-flows":
        sys.exit(asyncio.run(many_flows(args)))
    else:
        sys.exit(args.function(args))


if __name__ == "__main__":
    main()
