#!/usr/bin/env python3
"""A small IRRd-compatible whois server for tests, demos and benchmarks (stdlib only, asyncio).

It answers the IRRd query language with IRRd 4 framing:

    A<len>\\n<data>\\nC\\n   data follows; <len> counts the UTF-8 bytes of data plus its final LF
    C\\n                     success without data
    D\\n                     key not found (an AS with no routes of that family)
    F <text>\\n              error

One answer, then the server closes the connection, unless the client sent "!!" (persistent
mode: answer every query until "!q" or the client closes). Supported: "!!", "!q", "!n<name>",
"!v", "!s-lc", "!s<sources>", "!gAS<n>" (IPv4 routes), "!6AS<n>" (IPv6 routes); everything
else is answered with "F".

Fault modes change the answers to route queries ("!g", "!6") so that clients can be tested
against hostile servers: silent, hold, close-after, trickle, raw, flood (a well-framed answer of
a great many one-character words, to test what a reply can cost once split) and a few raw
presets. Every
connection is recorded: the bytes it received, whether the peer closed it, and when.

Command line:
    irr_emulator.py [--host 127.0.0.1] [--port 0] [--routes FILE.json] [--route AS=P1,P2 ...]
                    [--bulk AS=COUNT] [--mode MODE] [--close-after N] [--raw TEXT] [--hold]
                    [--trickle-delay SECONDS] [--flood-words N] [--log]
prints the bound port on the first line of stdout and, with --log, one JSON line per finished
connection. From Python: IrrEmulator(...).start() inside a loop, or serve_in_thread(...).
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import dataclasses
import json
import re
import socket
import sys
import threading
import time
from collections.abc import Iterator

SOURCES = ("DEMO",)

# Documentation ASNs (RFC 5398) and documentation prefixes (RFC 5737, RFC 3849), and AS3333
# (RIPE NCC) with IPv4 routes of its own address space, so that the README's first example, which
# asks for AS3333 as a user would, prints prefixes in the demo's namespace too.
DATASET: dict[int, list[str]] = {
    3333: ["193.0.0.0/21", "193.0.10.0/23", "193.0.12.0/23", "193.0.18.0/23", "193.0.20.0/23",
           "193.0.22.0/23", "2001:67c:2e8::/48"],
    64496: ["192.0.2.0/24", "2001:db8::/32"],
    64497: ["198.51.100.0/24", "198.51.100.0/25", "198.51.100.128/25", "2001:db8:1::/48"],
    64498: ["203.0.113.0/24", "2001:db8:2::/48", "2001:db8:3::/48"],
    64499: ["192.0.2.0/25", "192.0.2.128/26", "192.0.2.192/27", "192.0.2.224/28"],
    64500: ["2001:db8:100::/40", "2001:db8:200::/40"],
    64510: ["203.0.113.128/25"],
    65536: ["203.0.113.0/25", "2001:db8:ffff::/48"],
    65551: ["198.51.100.64/26", "198.51.100.192/26", "2001:db8:fffe::/48"],
}

ROUTE_MODES = ("normal", "silent", "hold", "close-after", "trickle", "raw", "flood")
PRESETS: dict[str, bytes] = {
    "garbage": b"\x00\xffgarbage\r\nnot a reply\n",
    "huge-length": b"A1000000000\n" + b"192.0.2.0/24 " * 5000,
    "wrong-length": b"A100\n192.0.2.0/24\nC\n",
    "invalid-utf8": b"A14\n192.0.\xff.0/24\n\nC\n",
}
MODES = ROUTE_MODES + tuple(PRESETS)


def bulk_prefixes(count: int) -> list[str]:
    """`count` distinct /32 prefixes from the benchmarking range 198.18.0.0/15 (at most 131072)."""
    if not 0 <= count <= 1 << 17:
        raise ValueError("bulk count must be between 0 and 131072")
    return [f"198.{18 + (i >> 16)}.{(i >> 8) & 255}.{i & 255}/32" for i in range(count)]


def frame(data: str) -> bytes:
    """An "A" answer; `data` without its final line feed, or "D" when there is nothing."""
    if not data:
        return b"D\n"
    body = data.encode() + b"\n"
    return b"A%d\n%sC\n" % (len(body), body)


def flood(words: int) -> bytes:
    """An "A" answer of `words` one-character words, one per line: 2 bytes per word."""
    body = b"a\n" * words
    return b"A%d\n%sC\n" % (len(body), body)


@dataclasses.dataclass
class ConnectionRecord:
    received: bytearray = dataclasses.field(default_factory=bytearray)
    opened_at: float = dataclasses.field(default_factory=time.monotonic)
    closed_at: float | None = None
    peer_closed: bool = False  # the client closed (or reset) its side before the server did

    def as_json(self) -> str:
        return json.dumps({"received": self.received.decode("latin-1"),
                           "peer_closed": self.peer_closed,
                           "duration": (self.closed_at or time.monotonic()) - self.opened_at})


class IrrEmulator:
    def __init__(self, routes: dict[int, list[str]] | None = None, mode: str = "normal", *,
                 close_after: int = 0, raw: bytes = b"", hold: bool = False,
                 trickle_delay: float = 0.001, flood_words: int = 1 << 21, on_close=None) -> None:
        if mode not in MODES:
            raise ValueError(f"unknown mode {mode!r}")
        if mode in PRESETS:
            mode, raw = "raw", PRESETS[mode]
        self.routes = dict(DATASET if routes is None else routes)
        self.mode, self.close_after, self.raw = mode, close_after, raw
        self.hold, self.trickle_delay, self.on_close = hold, trickle_delay, on_close
        self.flood_words = flood_words
        self.records: list[ConnectionRecord] = []
        self.port = 0
        self._server: asyncio.Server | None = None

    async def start(self, host: str = "127.0.0.1", port: int = 0) -> int:
        self._server = await asyncio.start_server(self._serve, host, port)
        self.port = self._server.sockets[0].getsockname()[1]
        return self.port

    async def close(self) -> None:
        if self._server is not None:
            self._server.close()
            with contextlib.suppress(Exception):
                await asyncio.wait_for(self._server.wait_closed(), 5)

    # -- one connection ----------------------------------------------------------------------

    async def _serve(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        record = ConnectionRecord()
        self.records.append(record)
        with contextlib.suppress(OSError):
            writer.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            await self._dialogue(reader, writer, record)
        except (ConnectionError, OSError):
            record.peer_closed = True
        finally:
            record.closed_at = time.monotonic()
            writer.close()
            with contextlib.suppress(Exception):
                await writer.wait_closed()
            if self.on_close:
                self.on_close(record)

    async def _dialogue(self, reader, writer, record: ConnectionRecord) -> None:
        persistent = False
        while True:
            line = await reader.readline()
            record.received += line
            if not line.endswith(b"\n"):
                record.peer_closed = True
                return
            query = line.rstrip(b"\r\n").decode("utf-8", "replace").strip()
            if query == "!!":
                persistent = True
                continue
            if query == "!q":
                return
            if query[:2] in ("!g", "!6"):
                if not await self._route_answer(query, reader, writer, record):
                    return
            else:
                writer.write(self.answer(query))
                await writer.drain()
            if not persistent:
                return

    async def _route_answer(self, query, reader, writer, record) -> bool:
        """Sends the (possibly hostile) answer to a route query; False ends the connection."""
        answer = self.raw if self.mode == "raw" else self.answer(query)
        if self.mode == "flood":
            answer = flood(self.flood_words)
        elif self.mode == "silent":
            answer = b""
        elif self.mode == "close-after":
            answer = answer[:self.close_after]
        if self.mode == "trickle":
            for i in range(len(answer)):
                writer.write(answer[i:i + 1])
                await writer.drain()
                await asyncio.sleep(self.trickle_delay)
        else:
            writer.write(answer)
            await writer.drain()
        if self.mode in ("silent", "hold") or (self.mode == "raw" and self.hold):
            await self._wait_for_peer_close(reader, record)
            return False
        return self.mode in ("normal", "trickle", "flood")

    async def _wait_for_peer_close(self, reader, record: ConnectionRecord) -> None:
        while chunk := await reader.read(65536):
            record.received += chunk
        record.peer_closed = True

    # -- the query language --------------------------------------------------------------------

    def answer(self, query: str) -> bytes:
        if query.startswith("!n"):
            return b"C\n"
        if query == "!v":
            return frame("IRRd -- version 4.4.4 (emulator)")
        if query == "!s-lc":
            return frame(",".join(SOURCES))
        if query.startswith("!s"):
            unknown = [s for s in query[2:].split(",") if s.upper() not in SOURCES]
            return f"F Unrecognized source: {unknown[0]}\n".encode() if unknown else b"C\n"
        if query[:2] in ("!g", "!6"):
            m = re.fullmatch(r"AS(\d+)", query[2:], re.IGNORECASE)
            if not m:
                return f"F Invalid AS number: {query[2:]}\n".encode()
            want_v6 = query[1] == "6"
            prefixes = [p for p in self.routes.get(int(m.group(1)), []) if (":" in p) == want_v6]
            return frame(" ".join(dict.fromkeys(prefixes)))
        return b"F Unrecognized command\n"


@contextlib.contextmanager
def serve_in_thread(*args, host: str = "127.0.0.1", port: int = 0, **kwargs) -> Iterator[IrrEmulator]:
    """Runs an IrrEmulator on its own event loop in a daemon thread for the `with` block."""
    emulator = IrrEmulator(*args, **kwargs)
    loop = asyncio.new_event_loop()
    started = threading.Event()
    thread = threading.Thread(target=loop.run_forever, name="irr-emulator", daemon=True)
    thread.start()
    try:
        asyncio.run_coroutine_threadsafe(emulator.start(host, port), loop).result(10)
        started.set()
        yield emulator
    finally:
        if started.is_set():
            asyncio.run_coroutine_threadsafe(emulator.close(), loop).result(10)
        loop.call_soon_threadsafe(loop.stop)
        thread.join(10)
        loop.close()


def parse_routes(args: argparse.Namespace) -> dict[int, list[str]]:
    routes: dict[int, list[str]] = {}
    if args.routes:
        with open(args.routes, encoding="utf-8") as f:
            routes = {int(str(k).upper().removeprefix("AS")): list(v) for k, v in json.load(f).items()}
    elif not args.route and not args.bulk:
        routes = dict(DATASET)
    for item in args.route:
        asn, _, prefixes = item.partition("=")
        routes[int(asn.upper().removeprefix("AS"))] = [p for p in prefixes.split(",") if p]
    for item in args.bulk:
        asn, _, count = item.partition("=")
        routes[int(asn.upper().removeprefix("AS"))] = bulk_prefixes(int(count))
    return routes


def main(argv: list[str] | None = None) -> None:
    p = argparse.ArgumentParser(description="IRRd-compatible whois server for tests")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=0, help="0 picks a free port")
    p.add_argument("--routes", help='JSON file: {"64496": ["192.0.2.0/24", ...], ...}')
    p.add_argument("--route", action="append", default=[], help="AS=prefix,prefix (repeatable)")
    p.add_argument("--bulk", action="append", default=[], help="AS=COUNT synthetic /32 routes")
    p.add_argument("--mode", choices=MODES, default="normal")
    p.add_argument("--close-after", type=int, default=0, help="close-after: bytes to send")
    p.add_argument("--raw", default="", help="raw: reply bytes, Python escapes allowed")
    p.add_argument("--hold", action="store_true", help="raw: keep the connection open after")
    p.add_argument("--trickle-delay", type=float, default=0.001)
    p.add_argument("--flood-words", type=int, default=1 << 21, help="flood: words in the answer")
    p.add_argument("--log", action="store_true", help="one JSON line per finished connection")
    args = p.parse_args(argv)

    raw = args.raw.encode("latin-1").decode("unicode_escape").encode("latin-1")
    log = (lambda rec: print(rec.as_json(), flush=True)) if args.log else None
    emulator = IrrEmulator(parse_routes(args), args.mode, close_after=args.close_after, raw=raw,
                           hold=args.hold, trickle_delay=args.trickle_delay,
                           flood_words=args.flood_words, on_close=log)

    async def run() -> None:
        print(await emulator.start(args.host, args.port), flush=True)
        await asyncio.Event().wait()

    with contextlib.suppress(KeyboardInterrupt):
        asyncio.run(run())


if __name__ == "__main__":
    sys.exit(main())
