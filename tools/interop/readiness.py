"""When the interop IRRd is ready: its whois port answers, and every whois worker answers.

IRRd hands each accepted connection to one of its worker processes; a worker that started after
the first in-memory route store was published can keep its queries waiting until the next one.
Standard library only, like registry.py.
"""

import contextlib
import pathlib
import socket

import dataset

WHOIS_PORT = 43
# IRRd whois worker processes; the concurrency case runs more lookups at once than this.
WHOIS_WORKERS = 4
PROBE_AS, PROBE_ANSWER = dataset.SINGLE_AS, "192.0.2.128/25"


def whois_exchange(sock: socket.socket, query: bytes) -> str | None:
    """Sends one query and reads one framed answer: the payload of an "A" answer, "" for the
    other answers, None when the connection closes first."""
    sock.sendall(query)
    data = b""
    while True:
        if b"\n" in data:
            header, rest = data.split(b"\n", 1)
            if not header.startswith(b"A"):
                return ""
            length = int(header[1:])
            if len(rest) >= length:
                return rest[:length].decode().strip()
        chunk = sock.recv(65536)
        if not chunk:
            return None
        data += chunk


def probe(timeout: float) -> str | None:
    with contextlib.suppress(OSError, ValueError):
        with socket.create_connection(("127.0.0.1", WHOIS_PORT), timeout=timeout) as sock:
            return whois_exchange(sock, f"!gAS{PROBE_AS}\n".encode())
    return None


def every_worker_answers(timeout: float) -> bool:
    """Holds one persistent connection per worker at once, so each worker must answer one."""
    with contextlib.ExitStack() as stack:
        try:
            socks = [stack.enter_context(socket.create_connection(("127.0.0.1", WHOIS_PORT),
                                                                   timeout=timeout))
                     for _ in range(WHOIS_WORKERS)]
            return all(whois_exchange(s, f"!!\n!gAS{PROBE_AS}\n".encode()) == PROBE_ANSWER
                       for s in socks)
        except (OSError, ValueError):
            return False


def redis_publish(path: pathlib.Path, channel: str, message: str) -> None:
    words = [b"PUBLISH", channel.encode(), message.encode()]
    frame = b"*%d\r\n" % len(words) + b"".join(b"$%d\r\n%s\r\n" % (len(w), w) for w in words)
    with socket.socket(socket.AF_UNIX) as sock:
        sock.connect(str(path))
        sock.sendall(frame)
        sock.recv(64)


def force_route_store_rebuild(redis_socket: pathlib.Path) -> None:
    # A whois worker that subscribed after the first in-memory route store was published keeps
    # waiting for the next one; a rebuild published after every worker has started wakes it.
    redis_publish(redis_socket, "irrd-preload-reload-channel",
                  "unknown-classes-changed-preload-all")
