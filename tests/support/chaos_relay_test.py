#!/usr/bin/env python3
"""The chaos relay itself: each fault class does to a reply what it says,
and a seed gives the same faults to the same requests every time.

    chaos_relay_test.py

Exit status 0 when every case held; the cases that did not are said on
standard error.
"""
import os
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVICE = os.path.join(HERE, "..", "..", "tools", "sample-service", "service.py")
RELAY = os.path.join(HERE, "chaos_relay.py")
PICTURE = "http://imgb1.photo.quillora.example/quillora-01/IMG_%04d.jpg"


def start(argv, folder, name):
    port_file = os.path.join(folder, name + ".port")
    process = subprocess.Popen(argv + ["--port-file", port_file, "--lifetime", "120"], stdout=subprocess.DEVNULL)
    end = time.monotonic() + 30
    while not os.path.exists(port_file):
        if time.monotonic() > end or process.poll() is not None:
            raise SystemExit("%s did not start" % name)
        time.sleep(0.02)
    return process, int(open(port_file).read())


def exchange(port, url, timeout=10, watch_idle=True):
    """(bytes received, how the connection ended: "close", "reset", "silent"
    or, with watch_idle, "kept" when it stayed open after a whole reply; seconds)."""
    started = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as sock:
        got, ending = b"", "close"
        try:
            sock.sendall(b"GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % url.encode())
            while True:
                data = sock.recv(65536)
                if not data:
                    ending = "close"
                    break
                got += data
                if len(got) >= whole_length(got):
                    if not watch_idle:
                        break
                    ending = "kept"
                    sock.settimeout(0.3)  # an idle close comes soon after the reply
        except ConnectionResetError:
            ending = "reset"
        except socket.timeout:
            ending = "kept" if ending == "kept" else "silent"
        return got, ending, time.monotonic() - started


def dateless(reply):
    """The reply without its Date, which the service writes at each answer."""
    return b"\r\n".join(line for line in reply.split(b"\r\n") if not line.lower().startswith(b"date:"))


def whole_length(reply):
    head_end = reply.find(b"\r\n\r\n")
    if head_end < 0:
        return 1 << 30
    for line in reply[:head_end].split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            return head_end + 4 + int(line.split(b":")[1])
    return 1 << 30


def relay(service_port, folder, *extra):
    return start([sys.executable, RELAY, "--upstream", str(service_port)] + list(extra), folder,
                 "relay-%d" % time.monotonic_ns())


def main():
    failures = []
    folder = tempfile.mkdtemp(prefix="quillora-relay-")
    service, service_port = start([sys.executable, SERVICE], folder, "service")
    processes = [service]
    try:
        clean, clean_port = relay(service_port, folder, "--rate", "0")
        processes.append(clean)
        whole, ending, _ = exchange(clean_port, PICTURE % 1)
        whole = dateless(whole)
        if not whole.startswith(b"HTTP/1.1 200") or len(whole) != whole_length(whole) or ending != "kept":
            failures.append("a clean relay does not pass the reply on whole and keep the connection")
        # What each class, made for every reply, leaves the client with.
        cases = {
            "reset_head": lambda got, end, s: end in ("reset", "close") and len(got) < whole.find(b"\r\n\r\n") + 4,
            "reset_body": lambda got, end, s: end in ("reset", "close") and len(got) < len(whole),
            "close_after": lambda got, end, s: end == "close" and whole.startswith(got) and len(got) < len(whole),
            "stall": lambda got, end, s: len(got) < len(whole) and s >= 1.0,
            "delay_head": lambda got, end, s: got == whole and s >= 0.3,
            "trickle": lambda got, end, s: got == whole,
            "idle_close": lambda got, end, s: got == whole and end == "close",
            "busy": lambda got, end, s: got.startswith(b"HTTP/1.1 503") and b"\r\nRetry-After: 7\r\n" in got,
            "refuse": lambda got, end, s: got == b"" and end == "reset",
        }
        for fault, holds in cases.items():
            process, port = relay(service_port, folder, "--rate", "1", "--faults", fault, "--stall-seconds", "1",
                                  "--retry-after", "7")
            processes.append(process)
            got, ending, seconds = exchange(port, PICTURE % 1)
            got = dateless(got)
            if not holds(got, ending, seconds):
                failures.append("%s: got %d bytes of %d, ended %s after %.1f s" % (fault, len(got), len(whole),
                                                                                    ending, seconds))
        # The same seed, the same faults for the same requests; another seed, others.
        seen = []
        for seed in ("5", "5", "6"):
            process, port = relay(service_port, folder, "--seed", seed, "--rate", "0.5", "--faults", "busy")
            processes.append(process)
            seen.append([exchange(port, PICTURE % (k % 25 + 1), watch_idle=False)[0][:12] for k in range(40)])
        if seen[0] != seen[1]:
            failures.append("one seed gave two different runs")
        if seen[0] == seen[2]:
            failures.append("two seeds gave the same run")
        if not 5 < sum(r.startswith(b"HTTP/1.1 503") for r in seen[0]) < 35:
            failures.append("a rate of 0.5 gave %d faults in 40" % sum(r.startswith(b"HTTP/1.1 503") for r in seen[0]))
    finally:
        for process in processes:
            process.terminate()
            process.wait()
    for failure in failures:
        print("chaos relay: " + failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
