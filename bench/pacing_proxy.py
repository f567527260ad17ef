#!/usr/bin/env python3
"""A TCP proxy that caps every connection's download rate, as CDNs and busy
servers cap each connection (a server-side limit such as nginx's limit_rate
grants about a second of credit per request instead).

    pacing_proxy.py --listen HOST:PORT --upstream HOST:PORT --rate BYTES [--log FILE]

Each accepted connection gets its own connection to the upstream. Bytes from
the client go to the upstream as they come; bytes from the upstream go to the
client through a token bucket of that connection alone: RATE bytes a second
(suffix K or M: KiB, MiB), sent in small quanta, with no more than 16 KiB of
credit at any time (so no burst at the start either). When one side ends its
sending the other side's sending is ended too (a half close), and the
connection is closed when both directions have ended; an error on either side
closes both at once. PORT 0 takes a free port. Once listening it prints
"ready HOST:PORT" on standard output; it runs until killed. --log FILE appends
one line per accepted connection ("accepted PEER_HOST:PEER_PORT"), so that a
script can count the connections a client opened.

Python standard library only.
"""
import argparse
import socket
import sys
import threading
import time

BURST = 16 * 1024


def parse_rate(text):
    factors = {"K": 1024, "M": 1024 * 1024}
    unit = text[-1:].upper()
    number = text[:-1] if unit in factors else text
    try:
        rate = int(float(number) * factors.get(unit, 1))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a rate: {text!r} (BYTES, or with K or M)")
    if rate <= 0:
        raise argparse.ArgumentTypeError(f"the rate must be positive: {text!r}")
    return rate


def parse_address(text):
    host, sep, port = text.rpartition(":")
    if not sep or not host or not port.isdigit() or int(port) > 65535:
        raise argparse.ArgumentTypeError(f"not HOST:PORT: {text!r}")
    return host.strip("[]"), int(port)


class TokenBucket:
    """RATE bytes a second with at most BURST bytes of credit. take() sleeps
    until the bytes it is given may be sent; a debt left by a sleep is paid
    from the time that passes before the next call."""

    def __init__(self, rate):
        self.rate = rate
        self.burst = min(BURST, rate)
        self.tokens = self.burst
        self.last = time.monotonic()

    def take(self, count):
        now = time.monotonic()
        self.tokens = min(self.burst, self.tokens + (now - self.last) * self.rate)
        self.last = now
        self.tokens -= count
        if self.tokens < 0:
            time.sleep(-self.tokens / self.rate)


def close_both(a, b):
    for s in (a, b):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def pump(source, sink, bucket, quantum):
    """Copies source to sink until source ends (then half-closes sink) or
    either fails (then shuts both down, which also ends the other pump)."""
    try:
        while True:
            data = source.recv(quantum)
            if not data:
                break
            if bucket:
                bucket.take(len(data))
            sink.sendall(data)
        sink.shutdown(socket.SHUT_WR)
    except OSError:
        close_both(source, sink)


def serve(client, upstream_address, rate):
    try:
        upstream = socket.create_connection(upstream_address)
    except OSError as e:
        print(f"upstream {upstream_address[0]}:{upstream_address[1]}: {e}", file=sys.stderr, flush=True)
        client.close()
        return
    for s in (client, upstream):
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    # About fifty sends a second, but never more than the bucket's credit.
    quantum = max(512, min(BURST, rate // 50))
    upload = threading.Thread(target=pump, args=(client, upstream, None, 64 * 1024), daemon=True)
    upload.start()
    pump(upstream, client, TokenBucket(rate), quantum)
    upload.join()
    client.close()
    upstream.close()


def main():
    parser = argparse.ArgumentParser(description="A TCP proxy pacing each connection's download to RATE bytes/s.")
    parser.add_argument("--listen", type=parse_address, required=True, metavar="HOST:PORT")
    parser.add_argument("--upstream", type=parse_address, required=True, metavar="HOST:PORT")
    parser.add_argument("--rate", type=parse_rate, required=True, metavar="BYTES",
                        help="bytes a second on each connection (suffix K or M: KiB, MiB)")
    parser.add_argument("--log", metavar="FILE", help="append one line per accepted connection")
    args = parser.parse_args()

    family = socket.AF_INET6 if ":" in args.listen[0] else socket.AF_INET
    listener = socket.socket(family, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        listener.bind(args.listen)
    except OSError as e:
        sys.exit(f"cannot listen on {args.listen[0]}:{args.listen[1]}: {e}")
    listener.listen(128)
    host, port = listener.getsockname()[:2]
    print(f"ready {host}:{port}", flush=True)

    log = open(args.log, "a", buffering=1) if args.log else None
    try:
        while True:
            client, peer = listener.accept()
            if log:
                log.write(f"accepted {peer[0]}:{peer[1]}\n")
            threading.Thread(target=serve, args=(client, args.upstream, args.rate), daemon=True).start()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
