#!/usr/bin/env python3
"""The interop suite's registry content, generated (no randomness, so the same bytes every run).

Two non-authoritative sources hold the route objects; the tests import this module for the sets
they expect, so the data and the expectations cannot drift apart.

    dataset.py OUTDIR    writes OUTDIR/<SOURCE>.db for every source, in RPSL
"""

import ipaddress
import pathlib
import sys

SOURCES = ("MORVANE-ONE", "MORVANE-TWO")

# A handful of documentation prefixes; 198.51.100.0/24 is registered in both sources and must
# come back once.
DOC_AS = 64496
# One prefix.
SINGLE_AS = 64497
# About twenty prefixes of the sizes a real network registers, overlapping ones included.
REALISTIC_AS = 3333
# 100,000 distinct IPv4 prefixes: a /24 each, in one contiguous run.
HUGE_AS = 64500
HUGE_COUNT = 100_000
# route6 objects only: an IPv4 origin lookup finds nothing.
ROUTE6_ONLY_AS = 64499
# Above 2^31: the registry has its routes, the module's signed 32-bit argument refuses it.
WIDE_AS = 4_200_000_001

REALISTIC_PREFIXES = (
    "193.0.0.0/21", "193.0.10.0/23", "193.0.12.0/23", "193.0.18.0/23", "193.0.20.0/23",
    "193.0.22.0/23", "193.0.24.0/22", "193.0.28.0/22", "193.0.0.0/20", "193.0.16.0/21",
    "194.171.96.0/21", "194.171.104.0/22", "195.66.224.0/19", "195.66.240.0/21",
    "213.136.0.0/19", "213.136.8.0/22", "84.205.64.0/24", "84.205.65.0/24",
    "84.205.80.0/24", "84.205.81.0/24",
)


def huge_prefixes():
    base = int(ipaddress.IPv4Address("20.0.0.0"))
    return [f"{ipaddress.IPv4Address(base + (i << 8))}/24" for i in range(HUGE_COUNT)]


def objects():
    """Yields (source, object class, prefix, origin) in a fixed order."""
    one, two = SOURCES
    for prefix in ("192.0.2.0/24", "198.51.100.0/24", "203.0.113.0/24", "192.0.2.0/25"):
        yield one, "route", prefix, DOC_AS
    yield one, "route6", "2001:db8::/32", DOC_AS
    yield two, "route", "198.51.100.0/24", DOC_AS
    yield two, "route", "198.51.100.128/25", DOC_AS
    yield two, "route", "192.0.2.128/25", SINGLE_AS
    for prefix in REALISTIC_PREFIXES:
        yield one, "route", prefix, REALISTIC_AS
    for prefix in huge_prefixes():
        yield two, "route", prefix, HUGE_AS
    for prefix in ("2001:db8:1::/48", "2001:db8:2::/48", "2001:db8:3::/48"):
        yield one, "route6", prefix, ROUTE6_ONLY_AS
    for prefix in ("203.0.113.0/25", "203.0.113.128/25"):
        yield two, "route", prefix, WIDE_AS


def expected_routes():
    """AS number -> the set of IPv4 prefixes an origin lookup must give."""
    found: dict[int, set[str]] = {}
    for _, kind, prefix, origin in objects():
        if kind == "route":
            found.setdefault(origin, set()).add(prefix)
    return found


def rpsl(kind, prefix, origin, source):
    return (
        f"{kind}: {prefix}\n"
        f"descr: pymorvane interop data\n"
        f"origin: AS{origin}\n"
        f"mnt-by: MAINT-MORVANE\n"
        f"source: {source}\n\n"
    )


def write(outdir: pathlib.Path):
    outdir.mkdir(parents=True, exist_ok=True)
    files = {source: open(outdir / f"{source}.db", "w", encoding="ascii") for source in SOURCES}
    try:
        for source, kind, prefix, origin in objects():
            files[source].write(rpsl(kind, prefix, origin, source))
    finally:
        for f in files.values():
            f.close()


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    write(pathlib.Path(sys.argv[1]))
