"""The prefixes that a few ASes originate, as one sorted list without repeats: the library from
asyncio, at most eight lookups at a time. The pymorvane-routes command does this for route
filters (formats, retries, time-outs); this is the library underneath.

    python examples/routes.py 3333 AS64496
"""

from __future__ import annotations

import asyncio
import ipaddress
import sys

import pymorvane

NO_ROUTES = "Failed to fetch routes: cannot parse integer from empty string"


async def routes(asn: int, gate: asyncio.Semaphore) -> list[str]:
    async with gate:
        try:
            return await pymorvane.fetch_routes(asn)
        except ConnectionError as exc:
            if str(exc) == NO_ROUTES:  # the registry has no routes for this AS
                return []
            raise


async def main(asns: list[int]) -> None:
    gate = asyncio.Semaphore(8)
    answers = await asyncio.gather(*(routes(asn, gate) for asn in asns))
    for network in sorted({ipaddress.IPv4Network(word) for words in answers for word in words}):
        print(network)


if __name__ == "__main__":
    asyncio.run(main([int(arg.upper().removeprefix("AS")) for arg in sys.argv[1:]]))
