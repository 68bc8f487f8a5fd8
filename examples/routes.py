"""Look up the prefixes that one or many autonomous systems originate, concurrently.

    python examples/routes.py 3333 64496 AS15169
    python examples/routes.py --json --timeout 10 3333 64496

Prints one line per AS ("AS3333: 193.0.0.0/21 ...") or, with --json, one JSON object per line
({"asn": 3333, "prefixes": [...]} or {"asn": ..., "error": "..."}). Exits 1 when any lookup
failed, 2 on bad arguments.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import sys

import pymorvane


def parse_asn(text: str) -> int:
    digits = text[2:] if text.upper().startswith("AS") else text
    try:
        value = int(digits, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an AS number: {text!r}") from None
    if not 0 <= value <= 4294967295:
        raise argparse.ArgumentTypeError(f"AS number out of range: {text!r}")
    return value


async def lookup(asn: int, timeout: float | None) -> dict[str, object]:
    try:
        async with asyncio.timeout(timeout):
            prefixes = await pymorvane.fetch_routes(asn)
    except (ConnectionError, OverflowError) as exc:
        return {"asn": asn, "error": str(exc)}
    except TimeoutError:
        return {"asn": asn, "error": f"timed out after {timeout} s"}
    return {"asn": asn, "prefixes": prefixes}


async def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("asns", nargs="+", type=parse_asn, metavar="ASN")
    parser.add_argument("--json", action="store_true", help="one JSON object per AS")
    parser.add_argument("--timeout", type=float, default=None, help="seconds per lookup")
    args = parser.parse_args(argv)

    results = await asyncio.gather(*(lookup(asn, args.timeout) for asn in args.asns))
    failed = False
    for result in results:
        failed |= "error" in result
        if args.json:
            print(json.dumps(result))
        elif "error" in result:
            print(f"AS{result['asn']}: error: {result['error']}", file=sys.stderr)
        else:
            prefixes = result["prefixes"]
            assert isinstance(prefixes, list)
            print(f"AS{result['asn']}: {' '.join(prefixes)}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
