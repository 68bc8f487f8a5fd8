"""Loopback ports for the tests."""

import socket


def refused_port() -> int:
    """A loopback port that nothing listens on (bound for a moment and released), so a connection
    to it is refused."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
