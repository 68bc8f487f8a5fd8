"""Runs inside the interop namespace, where the registry host name is the local IRRd: every
interop case on one kind of event loop, printed as one JSON document for the tests to judge.

    python scenario.py asyncio|uvloop
"""

import asyncio
import contextlib
import json
import pathlib
import socket
import sys
import time

TOOLS = pathlib.Path(__file__).resolve().parents[2] / "tools"
sys.path[:0] = [str(TOOLS / "interop"), str(TOOLS)]
import dataset
import pymorvane
from proc_stats import server_connections
from readiness import PROBE_ANSWER, PROBE_AS, WHOIS_PORT, WHOIS_WORKERS, whois_exchange

# Every wait is bounded here so that a hang fails the case instead of the whole run; the lookups
# themselves have no time-out.
BOUND_S = 60
HUGE_RUNS = 3


async def outcome(asn):
    try:
        return await asyncio.wait_for(pymorvane.fetch_routes(asn), BOUND_S)
    except (ConnectionError, OverflowError) as exc:
        return [type(exc).__name__, *exc.args]


async def timed_huge_lookups():
    seconds, sizes = [], []
    for _ in range(HUGE_RUNS):
        started = time.perf_counter()
        routes = await outcome(dataset.HUGE_AS)
        seconds.append(time.perf_counter() - started)
        sizes.append(len(routes))
    return seconds, sizes


async def until(predicate, keep_alive=lambda: None):
    """Whether predicate() comes true within BOUND_S, calling keep_alive() about every second."""
    deadline = time.monotonic() + BOUND_S
    next_keep_alive = time.monotonic() + 1
    while not predicate():
        if time.monotonic() > deadline:
            return False
        if time.monotonic() > next_keep_alive:
            keep_alive()
            next_keep_alive = time.monotonic() + 1
        await asyncio.sleep(0.01)
    return True


async def cancel_while_queued():
    """Holds every IRRd whois worker with a persistent connection of its own, so that a lookup's
    connection waits in IRRd's queue, where no answer can come while they are held; cancels the
    lookup and watches the server's end of that connection (an established connection on port
    43) go. A lookup whose cancellation did not stop it would keep the connection open for as
    long as the workers are held. The held connections ask a query every second, or IRRd would
    drop them after 30 idle seconds and answer the queued lookup."""
    report = {"idle_before": await until(lambda: server_connections(WHOIS_PORT) == 0)}
    query = f"!gAS{PROBE_AS}\n".encode()
    with contextlib.ExitStack() as stack:
        held = [stack.enter_context(socket.create_connection(("127.0.0.1", WHOIS_PORT), BOUND_S))
                for _ in range(WHOIS_WORKERS)]
        answers = [whois_exchange(sock, b"!!\n" + query) for sock in held]

        def keep_held():
            answers.extend(whois_exchange(sock, query) for sock in held)

        future = pymorvane.fetch_routes(dataset.SINGLE_AS)
        report["queued"] = await until(
            lambda: server_connections(WHOIS_PORT) == WHOIS_WORKERS + 1, keep_held)
        future.cancel()
        report["closed"] = await until(
            lambda: server_connections(WHOIS_PORT) == WHOIS_WORKERS, keep_held)
        keep_held()
        report["held_throughout"] = answers == [PROBE_ANSWER] * len(answers)
    return report


async def cancel_mid_flight(fastest_s):
    """Cancels a 100k lookup while it is in flight: first after a quarter of the fastest complete
    lookup, then sooner if the loop woke too late to find it unfinished (a busy machine). Then
    the registry and the module must serve both kinds of lookup as before."""
    attempts = []
    for delay in (fastest_s / 4, fastest_s / 16, 0, 0, 0):
        future = pymorvane.fetch_routes(dataset.HUGE_AS)
        await asyncio.sleep(delay)
        if future.done():
            attempts.append("finished first")
            continue
        future.cancel()
        attempts.append("cancelled in flight")
        break
    after = await outcome(dataset.SINGLE_AS)
    huge_after = await outcome(dataset.HUGE_AS)
    return {"attempts": attempts, "after": after,
            "huge_after_size": len(huge_after), "huge_after_distinct": len(set(huge_after))}


async def concurrent(asns):
    return await asyncio.gather(*(outcome(asn) for asn in asns))


async def main():
    loaded = sorted(dataset.expected_routes().keys() - {dataset.WIDE_AS})
    result = {"routes": {asn: await outcome(asn) for asn in loaded}}
    result["failures"] = {
        "route6_only": await outcome(dataset.ROUTE6_ONLY_AS),
        "zero": await outcome(0),
        "negative": await outcome(-1),
        "wide": await outcome(dataset.WIDE_AS),
    }
    seconds, sizes = await timed_huge_lookups()
    result["huge_seconds"], result["huge_sizes"] = seconds, sizes
    # Three times as many lookups as the registry has whois workers, the big one among them.
    asns = (loaded * 4)[: 3 * int(sys.argv[2])]
    result["concurrent"] = {"asns": asns, "results": await concurrent(asns)}
    result["cancel_queued"] = await cancel_while_queued()
    result["cancel"] = await cancel_mid_flight(min(seconds))
    return result


if sys.argv[1] == "uvloop":
    import uvloop

    report = asyncio.run(main(), loop_factory=uvloop.new_event_loop)
else:
    report = asyncio.run(main())
print(json.dumps(report))
