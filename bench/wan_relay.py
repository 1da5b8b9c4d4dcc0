#!/usr/bin/env python3
"""A wide-area link on loopback: forwards LISTEN_PORT to TARGET_PORT.

Each direction is a link of RATE bits per second (shared by every
connection, as one line is) that delivers each piece DELAY seconds after it
has been sent: a piece read from one side is serialised at the rate behind
the pieces before it, then held for the delay, then written to the other
side. The kernel on this machine has no netem, so the delay comes from
here.

Usage: wan_relay.py LISTEN_PORT TARGET_PORT [--delay 0.020] [--rate 200e6]
Runs until it is sent SIGTERM.
"""

import argparse
import asyncio
import signal


class Link:
    """One direction of the line: when the next byte can go out."""

    def __init__(self, rate):
        self.bytes_per_second = rate / 8
        self.free_at = 0.0

    def send(self, now, size):
        """The time the last byte of `size` bytes sent now leaves."""
        self.free_at = max(self.free_at, now) + size / self.bytes_per_second
        return self.free_at


async def pump(reader, writer, link, delay):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            if data is None:
                break
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            writer.write(data)
            await writer.drain()
        try:
            writer.write_eof()
        except (OSError, RuntimeError):
            pass

    delivering = asyncio.ensure_future(deliver())
    try:
        while True:
            data = await reader.read(65536)
            if not data:
                break
            queue.put_nowait((link.send(loop.time(), len(data)) + delay, data))
    except (ConnectionError, OSError):
        pass
    queue.put_nowait((0, None))
    try:
        await delivering
    except (ConnectionError, OSError):
        pass


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("listen_port", type=int)
    parser.add_argument("target_port", type=int)
    parser.add_argument("--delay", type=float, default=0.020)
    parser.add_argument("--rate", type=float, default=200e6)
    args = parser.parse_args()
    up, down = Link(args.rate), Link(args.rate)

    async def serve(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection(
                "127.0.0.1", args.target_port)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(
            pump(client_reader, server_writer, up, args.delay),
            pump(server_reader, client_writer, down, args.delay))
        for w in (client_writer, server_writer):
            w.close()

    server = await asyncio.start_server(serve, "127.0.0.1", args.listen_port)
    stop = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
    async with server:
        await stop.wait()


if __name__ == "__main__":
    asyncio.run(main())
