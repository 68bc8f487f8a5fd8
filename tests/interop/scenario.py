"""Runs inside the interop namespace, where the registry host name is the local IRRd: every
interop case on one kind of event loop, printed as one JSON document for the tests to judge.

    python scenario.py asyncio|uvloop
"""

import asyncio
import json
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools" / "interop"))
import dataset  # noqa: E402
import pymorvane  # noqa: E402

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


async def cancel_mid_flight(fastest_s):
    """Cancels a 100k lookup while it is in flight: first after a quarter of the fastest complete
    lookup, then sooner if the loop woke too late to find it unfinished (a busy machine)."""
    attempts = []
    for delay in (fastest_s / 4, fastest_s / 16, 0, 0, 0):
        future = pymorvane.fetch_routes(dataset.HUGE_AS)
        await asyncio.sleep(delay)
        if future.done():
            attempts.append("finished first")
            continue
        future.cancel()
        await asyncio.sleep(0)
        attempts.append("cancelled" if future.cancelled() else "not cancelled")
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
    result["cancel"] = await cancel_mid_flight(min(seconds))
    return result


if sys.argv[1] == "uvloop":
    import uvloop

    report = asyncio.run(main(), loop_factory=uvloop.new_event_loop)
else:
    report = asyncio.run(main())
print(json.dumps(report))
