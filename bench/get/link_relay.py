#!/usr/bin/env python3
"""A simulated link in front of a TCP server: every byte is delayed by half
the round trip each way, and the bytes towards the client pass a shared
bottleneck (all connections together) and an optional per-connection limit.

    link_relay.py --listen-port-file F --target PORT --rtt-ms 40 --mbit 50 [--conn-mbit 10]
"""
import argparse
import asyncio
import os
import time


class Pace:
    """A first-come first-served line of the given rate: when a piece of n bytes is through."""

    def __init__(self, bits_per_second):
        self.rate = bits_per_second / 8.0
        self.free_at = 0.0

    def through(self, n):
        if self.rate <= 0:
            return time.monotonic()
        start = max(time.monotonic(), self.free_at)
        self.free_at = start + n / self.rate
        return self.free_at


async def pump(reader, writer, delay, paces):
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            if data is None:
                break
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            writer.write(data)
            await writer.drain()
        try:
            writer.write_eof()
        except (OSError, RuntimeError):
            pass

    task = asyncio.create_task(deliver())
    try:
        while True:
            data = await reader.read(16384)
            if not data:
                break
            done = time.monotonic()
            for pace in paces:
                done = max(done, pace.through(len(data)))
            # Hold the reader back while the line is busy, as a full TCP window would.
            if done - time.monotonic() > 0.002:
                await asyncio.sleep(done - time.monotonic())
            await queue.put((done + delay, data))
    except (ConnectionError, OSError):
        pass
    await queue.put((0, None))
    try:
        await task
    except (ConnectionError, OSError):
        pass


async def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--listen-port-file", required=True)
    ap.add_argument("--target", type=int, required=True)
    ap.add_argument("--rtt-ms", type=float, default=40)
    ap.add_argument("--mbit", type=float, default=50)
    ap.add_argument("--conn-mbit", type=float, default=0)
    args = ap.parse_args()
    half = args.rtt_ms / 2000.0
    shared = Pace(args.mbit * 1e6)

    async def handle(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", args.target)
        except OSError:
            client_writer.close()
            return
        down = [shared] + ([Pace(args.conn_mbit * 1e6)] if args.conn_mbit > 0 else [])
        await asyncio.gather(pump(client_reader, server_writer, half, []),
                             pump(server_reader, client_writer, half, down))
        client_writer.close()
        server_writer.close()

    server = await asyncio.start_server(handle, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    with open(args.listen_port_file + ".part", "w") as f:
        f.write(str(port))
    os.replace(args.listen_port_file + ".part", args.listen_port_file)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())
