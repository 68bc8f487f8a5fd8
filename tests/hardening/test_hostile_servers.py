"""Hostile registry servers, each in a process of its own (this process keeps its descriptors
for the client side): absurd declared lengths, an endless header line, a trickled reply,
thousands of connections that never answer and replies of more prefixes than the limit. Memory
must stay bounded, errors must be clear and cancelling must close each connection at once.

MORVANE_HARDENING_FULL=1 raises the silent connections from 2,000 to 10,000 and the flood of
one-character words to a whole 1 GiB reply."""

import asyncio

import pytest

import _pymorvane_testing
from proc_stats import open_sockets, peak_rss_kib, reset_peak_rss, rss_kib, server_connections
from support.load import scale
from support.ports import refused_port
from support.wait import until_async

fetch_routes_from = _pymorvane_testing.fetch_routes_from

# Waits for what the kernel reports (/proc), on a machine that thousands of connections load.
POLL = {"bound": 120, "every": 0.02}

# Memory a single hostile exchange may leave behind in this process, generously: the reader's
# buffers and allocator slack, nowhere near the sizes the servers announce.
RSS_SLACK_KIB = 64 * 1024


def failure(address: str) -> str:
    async def main():
        with pytest.raises(ConnectionError) as info:
            await asyncio.wait_for(fetch_routes_from(address, 64496), 120)
        assert type(info.value) is ConnectionError
        return info.value.args[0]

    return asyncio.run(main())


@pytest.mark.parametrize(
    "header,message",
    [
        (r"A9223372036854775808\n",
         "reply declares 9223372036854775808 bytes, more than the limit of 1073741824"),
        (r"A18446744073709551615\n",
         "reply declares 18446744073709551615 bytes, more than the limit of 1073741824"),
        (r"A18446744073709551616\n", "number too large to fit in target type"),
        (r"A1073741824\n192.0.2.0/24\n", "early eof"),  # at the limit: taken, then cut short
    ],
)
def test_declared_lengths_beyond_memory_fail_without_allocating(emulator, header, message):
    server = emulator("--mode", "raw", "--raw", header)
    before = rss_kib()
    assert failure(server.address) == "Failed to fetch routes: " + message
    assert rss_kib() - before < RSS_SLACK_KIB


def test_a_100_mb_header_line_without_line_feed_is_cut_off_early(emulator):
    server = emulator(custom='IrrEmulator({}, "raw", raw=b"A" + b"9" * 100_000_000)', log=True)
    before = rss_kib()
    assert failure(server.address) == "Failed to fetch routes: reply header line longer than 4096 bytes"
    assert rss_kib() - before < RSS_SLACK_KIB
    # The client hung up long before the server could push its 100 MB.
    [record] = server.closed(1)
    assert record["peer_closed"] and record["received"] == "!gAS64496\n"


def test_a_reply_of_more_prefixes_than_the_limit_fails_before_they_are_built(emulator):
    limit = 1 << 20
    at_limit = emulator("--mode", "flood", "--flood-words", str(limit))

    async def main():
        return await asyncio.wait_for(fetch_routes_from(at_limit.address, 64496), 120)

    routes = asyncio.run(main())
    assert len(routes) == limit and set(routes) == {"a"}
    del routes
    # One more word fails, as soon as it is counted: the rest of the reply is never read, so not
    # even its bytes (128 MiB here; the full run sends 1 GiB, which unbounded would become 512 Mi
    # prefixes: 16 GiB of strings, then some 28 GiB of Python objects) raise the peak memory.
    words = scale(1 << 26, (1 << 29) - 1)
    server = emulator("--mode", "flood", "--flood-words", str(words))
    reset_peak_rss()
    before = rss_kib()
    assert failure(server.address) == (
        f"Failed to fetch routes: reply holds {limit + 1} prefixes, more than the limit of {limit}")
    assert peak_rss_kib() - before < RSS_SLACK_KIB


def test_a_reply_trickled_one_byte_per_10_ms_arrives_whole(emulator):
    server = emulator("--mode", "trickle", "--trickle-delay", "0.01",
                      "--route", "64496=192.0.2.0/24,198.51.100.0/24")

    async def main():
        return await asyncio.wait_for(fetch_routes_from(server.address, 64496), 120)

    assert asyncio.run(main()) == ["192.0.2.0/24", "198.51.100.0/24"]


def test_thousands_of_silent_connections_stay_cheap_and_cancel_closes_each_at_once(emulator):
    count = scale(2_000, 10_000)
    server = emulator(custom='IrrEmulator({}, "silent")', log=True)
    failure(f"127.0.0.1:{refused_port()}")  # the runtime and its descriptors exist from here on

    async def main():
        sockets_before, rss_before = open_sockets(), rss_kib()  # the loop's own sockets included
        futs = [fetch_routes_from(server.address, 64496) for _ in range(count)]
        # Every lookup connects and then waits: one socket each, every one accepted by the
        # server's kernel, none finished.
        assert await until_async(lambda: open_sockets() - sockets_before >= count, **POLL), open_sockets()
        assert await until_async(lambda: server_connections(server.port) >= count, **POLL)
        await asyncio.sleep(0.5)
        assert not any(f.done() for f in futs)
        assert server.records == []  # the server has not seen a single connection end
        grown = rss_kib() - rss_before
        for f in futs:
            f.cancel()
        await asyncio.sleep(0)
        assert all(f.cancelled() for f in futs)
        # Cancelling destroys each waiting job, which closes its socket without the server's help.
        assert await until_async(lambda: open_sockets() <= sockets_before, **POLL), \
            open_sockets() - sockets_before
        return grown

    grown = asyncio.run(main())
    print(f"{count} silent connections: RSS grew {grown} KiB ({grown * 1024 // count} bytes each)")
    assert grown < RSS_SLACK_KIB + count * 16  # about 16 KiB per waiting lookup at most
    records = server.closed(count, timeout=120)
    assert len(records) == count
    assert all(r["peer_closed"] and r["received"] == "!gAS64496\n" for r in records)
