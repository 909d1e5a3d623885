#!/usr/bin/env python3
"""A relay that breaks things: it stands between the tools and the sample
service (the tools take it as their HTTP proxy) and, at random, makes a
connection or a reply go wrong the ways a flaky link or an overloaded
service does. Standard library only.

    chaos_relay.py --upstream PORT [--port N] [--port-file F] [--seed S]
                   [--rate P] [--faults a,b,...] [--stall-seconds S]
                   [--delay-seconds S] [--retry-after S] [--stats-file F]
                   [--fault-log F] [--lifetime S]

Every request is passed on to the service (on a kept-alive connection of
the relay's, one for each of the client's) and its whole reply read back
first; what the client then gets is that reply,
or, with probability --rate, one of these faults:

    refuse        the connection is reset as soon as it is accepted, before
                  any request (decided per connection, not per reply)
    reset_head    the reply stops inside its head with a reset
    reset_body    the reply stops inside its body with a reset
    stall         part of the reply, then silence for --stall-seconds
                  (longer than the client's stall limit), then a close
    close_after   a clean close after a random number of the reply's bytes
    delay_head    the whole reply, after --delay-seconds of silence
    trickle       the whole reply, its body in pieces of one byte
    idle_close    the whole reply, then the kept connection is closed
                  while it lies idle
    busy          503 with Retry-After (--retry-after); the service is not asked

Which reply goes wrong, and how, follows from --seed and the request alone
(its method, address and how many times it was asked before), never from
the order threads happen to run in: the same seed and the same requests
give the same faults. Connections are numbered in the order they come.

The relay counts the faults it made by class and writes them (JSON) to
--stats-file whenever they change and at exit; --fault-log gets one line a
fault: its class, the method and the address. It listens on 127.0.0.1 only
and stops by itself when the process that started it ends, after
--lifetime seconds, or on SIGTERM / Ctrl-C.
"""
import argparse
import hashlib
import json
import os
import random
import signal
import socket
import socketserver
import struct
import sys
import threading
import time

FAULTS = ("refuse", "reset_head", "reset_body", "stall", "close_after", "delay_head", "trickle", "idle_close",
          "busy")
MAX_HEAD = 64 * 1024


class Chaos:
    """The settings, the decisions and the counts, shared by every connection."""

    def __init__(self, args):
        self.args = args
        self.rate = args.rate
        self.faults = [f for f in args.faults.split(",") if f] if args.faults else list(FAULTS)
        for f in self.faults:
            if f not in FAULTS:
                raise SystemExit("chaos_relay: no fault class %r (one of %s)" % (f, ", ".join(FAULTS)))
        self.reply_faults = [f for f in self.faults if f != "refuse"]
        self.lock = threading.Lock()
        self.asked = {}  # request key -> how many times asked so far
        self.connections = 0
        self.requests = 0
        self.counts = {f: 0 for f in FAULTS}
        self.dirty = False

    def random_for(self, key):
        digest = hashlib.sha256(("%s\n%s" % (self.args.seed, key)).encode("utf-8", "surrogateescape")).digest()
        return random.Random(int.from_bytes(digest[:8], "big"))

    def connection_fault(self):
        with self.lock:
            self.connections += 1
            n = self.connections
        if "refuse" not in self.faults:
            return None
        rng = self.random_for("connection %d" % n)
        return "refuse" if rng.random() < self.rate else None

    def reply_fault(self, method, target):
        """(fault or None, a random source for its details)."""
        key = "%s %s" % (method, target)
        with self.lock:
            n = self.asked.get(key, 0)
            self.asked[key] = n + 1
            self.requests += 1
        rng = self.random_for("%s #%d" % (key, n))
        if not self.reply_faults or rng.random() >= self.rate:
            return None, rng
        return rng.choice(self.reply_faults), rng

    def count(self, fault, method="-", target="-"):
        with self.lock:
            self.counts[fault] += 1
            self.dirty = True
            if self.args.fault_log:
                with open(self.args.fault_log, "a") as f:
                    f.write("%s %s %s\n" % (fault, method, target))

    def stats(self):
        with self.lock:
            return {"seed": self.args.seed, "rate": self.rate, "connections": self.connections,
                    "requests": self.requests, "faults": dict(self.counts),
                    "total": sum(self.counts.values())}

    def write_stats(self):
        if not self.args.stats_file:
            return
        with self.lock:
            self.dirty = False
        data = json.dumps(self.stats(), indent=1, sort_keys=True)
        part = self.args.stats_file + ".part"
        with open(part, "w") as f:
            f.write(data + "\n")
        os.replace(part, self.args.stats_file)


CHAOS = None


def reset(sock):
    """Linger 0: the close sends a reset instead of a clean end. Closed here:
    the server's own end of a request would send a clean end first."""
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    sock.close()


def read_head(sock, buffer):
    """(head, rest) of the next request; head None when the client closed
    or sent something that is no request head."""
    while b"\r\n\r\n" not in buffer:
        if len(buffer) > MAX_HEAD:
            return None, b""
        try:
            data = sock.recv(65536)
        except OSError:
            return None, b""
        if not data:
            return None, b""
        buffer += data
    end = buffer.index(b"\r\n\r\n") + 4
    return buffer[:end], buffer[end:]


def header_value(head, name):
    for line in head.split(b"\r\n")[1:]:
        key, _, value = line.partition(b":")
        if key.strip().lower() == name:
            return value.strip()
    return None


def upstream_request(head, body):
    """The request as the service gets it: kept alive whatever the client asked."""
    lines = [line for line in head.split(b"\r\n")[:-2]
             if line.split(b":")[0].strip().lower() not in (b"connection", b"proxy-connection", b"keep-alive")]
    return b"\r\n".join(lines + [b"", b""]) + body


class Upstream:
    """The relay's kept-alive connection to the service, one per client
    connection. A connection of its own a request would do as well, but the
    service's short listen queue drops connects under load, and each dropped
    one stalls for the kernel's second before it tries again: a fault of the
    relay's making, which the client would rightly time out on."""

    def __init__(self):
        self.sock = None
        self.buffer = b""
        self.partial = b""  # what came of a reply, once its head has

    def close(self):
        if self.sock:
            self.sock.close()
        self.sock, self.buffer = None, b""

    def ask(self, request, method):
        """The service's whole reply; None when it could not be had."""
        for fresh in (False, True):
            if fresh or self.sock is None:
                self.close()
                try:
                    self.sock = socket.create_connection(("127.0.0.1", CHAOS.args.upstream), timeout=120)
                except OSError:
                    return None
            self.partial = b""
            try:
                self.sock.sendall(request)
                return self.read_reply(method)
            except (OSError, ValueError, IndexError):
                self.close()
                # A kept connection the service had closed is asked again on a new
                # one; a reply it cut short is passed on as it came.
                if self.partial or fresh:
                    return self.partial or None
        return None

    def fill(self):
        data = self.sock.recv(262144)
        if not data:
            raise ConnectionError("the service closed")
        self.buffer += data

    def take(self, count):
        while len(self.buffer) < count:
            try:
                self.fill()
            except OSError:
                if self.partial:
                    self.partial += self.buffer
                raise
        piece, self.buffer = self.buffer[:count], self.buffer[count:]
        return piece

    def line(self):
        while b"\r\n" not in self.buffer:
            self.fill()
        return self.take(self.buffer.index(b"\r\n") + 2)

    def read_reply(self, method):
        while b"\r\n\r\n" not in self.buffer:
            self.fill()
        head = self.take(self.buffer.index(b"\r\n\r\n") + 4)
        self.partial = head
        status = int(head.split(b" ", 2)[1])
        closing = (header_value(head, b"connection") or b"").lower() == b"close"
        if method == "HEAD" or status in (204, 304) or status < 200:
            body = b""
        elif (header_value(head, b"transfer-encoding") or b"").lower() == b"chunked":
            body = self.chunks()
        elif header_value(head, b"content-length") is not None:
            body = self.take(int(header_value(head, b"content-length")))
        else:
            body, closing = self.rest(), True
        if closing:
            self.close()
        return head + body

    def chunks(self):
        out = b""
        while True:
            size_line = self.line()
            out += size_line
            size = int(size_line.split(b";")[0].strip(), 16)
            if size == 0:
                break
            out += self.take(size + 2)
        while True:  # trailers, up to the blank line
            trailer = self.line()
            out += trailer
            if trailer == b"\r\n":
                return out

    def rest(self):
        try:
            while True:
                self.fill()
        except (ConnectionError, OSError):
            pass
        piece, self.buffer = self.buffer, b""
        return piece


def busy_reply():
    page = b"<html><body>busy</body></html>\r\n"
    return (b"HTTP/1.1 503 Service Unavailable\r\nRetry-After: %d\r\nContent-Type: text/html\r\n"
            b"Content-Length: %d\r\n\r\n" % (CHAOS.args.retry_after, len(page)) + page)


class Relay(socketserver.BaseRequestHandler):
    def handle(self):
        sock = self.request
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if CHAOS.connection_fault() == "refuse":
            CHAOS.count("refuse")
            reset(sock)
            return
        self.upstream = Upstream()
        try:
            self.relay(sock)
        finally:
            self.upstream.close()

    def relay(self, sock):
        buffer = b""
        while True:
            head, buffer = read_head(sock, buffer)
            if head is None:
                return
            length = int(header_value(head, b"content-length") or b"0")
            while len(buffer) < length:
                data = sock.recv(65536)
                if not data:
                    return
                buffer += data
            body, buffer = buffer[:length], buffer[length:]
            method, _, rest = head.partition(b" ")
            target = rest.split(b" ")[0]
            if not self.answer(sock, method.decode("latin-1"), target.decode("latin-1"), head, body):
                return
            if (header_value(head, b"connection") or b"").lower() == b"close":
                return

    def answer(self, sock, method, target, head, body):
        """Sends the reply, faulty or not; False when the connection is over."""
        if method == "CONNECT":
            sock.sendall(b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
            return False
        fault, rng = CHAOS.reply_fault(method, target)
        if fault:
            CHAOS.count(fault, method, target)
        if fault == "busy":
            sock.sendall(busy_reply())
            return True
        reply = self.upstream.ask(upstream_request(head, body), method)
        if reply is None:
            return False
        return self.send(sock, reply, fault, rng)

    def send(self, sock, reply, fault, rng):
        head_end = reply.find(b"\r\n\r\n") + 4
        if head_end < 4:
            head_end = len(reply)
        try:
            if fault is None:
                sock.sendall(reply)
            elif fault in ("reset_head", "reset_body"):
                cut = rng.randrange(0, head_end) if fault == "reset_head" or head_end >= len(reply) else \
                    rng.randrange(head_end, len(reply))
                sock.sendall(reply[:cut])
                time.sleep(0.05)  # the client takes what came before the reset throws it away
                reset(sock)
                return False
            elif fault == "stall":
                sock.sendall(reply[:rng.randrange(0, len(reply))])
                time.sleep(CHAOS.args.stall_seconds)
                return False
            elif fault == "close_after":
                sock.sendall(reply[:rng.randrange(0, len(reply))])
                sock.shutdown(socket.SHUT_WR)
                return False
            elif fault == "delay_head":
                time.sleep(CHAOS.args.delay_seconds)
                sock.sendall(reply)
            elif fault == "trickle":
                sock.sendall(reply[:head_end])
                for k in range(head_end, len(reply)):
                    sock.sendall(reply[k:k + 1])
            elif fault == "idle_close":
                sock.sendall(reply)
                time.sleep(0.02)
                return False
        except OSError:
            return False
        return True


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 128


def main():
    global CHAOS
    ap = argparse.ArgumentParser(description="A fault-injecting HTTP proxy in front of the sample service, on "
                                 "127.0.0.1.", epilog=__doc__.split("\n\n", 1)[1],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--upstream", type=int, required=True, metavar="PORT", help="the sample service's port")
    ap.add_argument("--port", type=int, default=0, help="the port to listen on (default 0: one the system picks)")
    ap.add_argument("--port-file", metavar="FILE", help="write the port listened on to FILE (whole)")
    ap.add_argument("--seed", default="1", help="what the faults follow from (default 1)")
    ap.add_argument("--rate", type=float, default=0.05, metavar="P",
                    help="the share of replies (and connections) that go wrong (default 0.05; 0: a clean relay)")
    ap.add_argument("--faults", metavar="LIST", help="the classes to make, comma-separated (default: all)")
    ap.add_argument("--stall-seconds", type=float, default=3, metavar="S",
                    help="how long a stall holds its connection silent (default 3)")
    ap.add_argument("--delay-seconds", type=float, default=0.3, metavar="S",
                    help="how long a delayed head waits (default 0.3)")
    ap.add_argument("--retry-after", type=int, default=1, metavar="S", help="Retry-After of the 503s (default 1)")
    ap.add_argument("--stats-file", metavar="FILE", help="the faults made, by class (JSON)")
    ap.add_argument("--fault-log", metavar="FILE", help="one line a fault: class, method, address")
    ap.add_argument("--lifetime", type=float, default=0, metavar="S",
                    help="stop by itself after this many seconds (default 0: never)")
    args = ap.parse_args()
    CHAOS = Chaos(args)
    server = Server(("127.0.0.1", args.port), Relay)
    port = server.server_address[1]
    if args.port_file:
        with open(args.port_file + ".part", "w") as f:
            f.write(str(port))
        os.replace(args.port_file + ".part", args.port_file)
    print("chaos relay on 127.0.0.1:%d -> 127.0.0.1:%d, seed %s, rate %g" % (port, args.upstream, args.seed,
                                                                           args.rate), flush=True)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    parent = os.getppid()

    def watch():
        # A run that dies never stops its relay: go when the parent goes.
        started = time.monotonic()
        while not stop.wait(0.5):
            if os.getppid() != parent or (args.lifetime > 0 and time.monotonic() - started > args.lifetime):
                stop.set()
            elif CHAOS.dirty:
                CHAOS.write_stats()
        server.shutdown()

    threading.Thread(target=watch, daemon=True).start()
    CHAOS.write_stats()
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    CHAOS.write_stats()
    return 0


if __name__ == "__main__":
    sys.exit(main())
