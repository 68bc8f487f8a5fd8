"""Provokes, through the production module, every error a user can meet, and prints them as one
JSON list of [exception type, message]. Runs inside a private network namespace where the
registry's name resolves to loopback and nothing else resolves (tools/with-registry-netns), with
tests/ and tools/ on sys.path:

    provoke_errors.py call       errors of the call itself and of lookups against hostile servers
    provoke_errors.py no-name    a lookup where the registry's name does not resolve
"""

from __future__ import annotations

import asyncio
import json
import socket
import struct
import sys
import threading

import pymorvane
from irr_emulator import serve_in_thread

LIMIT_PREFIXES = 1 << 20

# One reply per message of the exchange; the emulator sends it and, with hold, keeps the
# connection open so that only the reply itself can end the lookup.
REPLIES: list[tuple[bytes, bool]] = [
    (b"D\n", False),
    (b"F Invalid AS number\n", False),
    (b"A99999999999999999999\n", False),
    (b"A2000000000\n", True),
    (b"A" + b"1" * 5000, True),
    ("\N{LATIN SMALL LETTER E WITH ACUTE}12\n".encode(), True),
    (b"\xff12\n", True),
    (b"", False),
    (b"A100\n192.0.2.0/24\nC\n", False),
    (b"A5\n1\xff2.\n", True),
    (b"A3\n1\xe2\x80", True),
]


def outcome_of(make) -> list[str]:
    async def main() -> list[str]:
        try:
            await asyncio.wait_for(make(), 60)
        except BaseException as exc:
            return [type(exc).__name__, str(exc)]
        return ["no error", ""]

    return asyncio.run(main())


def lookup() -> asyncio.Future[list[str]]:
    return pymorvane.fetch_routes(64496)


def call_errors() -> list[list[str]]:
    f = pymorvane.fetch_routes
    calls = [lambda: f(), lambda: f(1, 2), lambda: f(x=1), lambda: f(1, asn=1),
             lambda: f("1"), lambda: f(2**31)]
    seen = []
    for call in calls:
        async def attempt(call=call):
            return await call()
        seen.append(outcome_of(attempt))
    try:
        f(1)
    except RuntimeError as exc:
        seen.append([type(exc).__name__, str(exc)])
    return seen


def reset_after_the_query(server: socket.socket) -> None:
    """Accepts one connection, reads the query and resets the connection (RST, not FIN)."""
    conn, _ = server.accept()
    conn.recv(100)
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


def exchange_errors() -> list[list[str]]:
    seen = [outcome_of(lookup)]  # nothing listens: refused
    for reply, hold in REPLIES:
        with serve_in_thread({}, mode="raw", raw=reply, hold=hold, port=43):
            seen.append(outcome_of(lookup))
    with serve_in_thread({}, mode="flood", flood_words=LIMIT_PREFIXES + 1, port=43):
        seen.append(outcome_of(lookup))
    with socket.create_server(("127.0.0.1", 43)) as server:
        thread = threading.Thread(target=reset_after_the_query, args=(server,))
        thread.start()
        seen.append(outcome_of(lookup))
        thread.join()
    return seen


if __name__ == "__main__":
    if sys.argv[1] == "no-name":
        print(json.dumps([outcome_of(lookup)]))
    else:
        print(json.dumps(call_errors() + exchange_errors()))
