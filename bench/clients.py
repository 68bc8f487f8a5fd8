"""One benchmark measurement in this process: N origin lookups at concurrency C through one client.

Run by compare.py, one process per measurement, so that peak RSS belongs to one client:

    clients.py CLIENT --host H --port P --lookups N --concurrency C \
        --expect-count K --expect-first F --expect-last L [--timeout S]

CLIENT is one of CLIENTS below. Prints one JSON object on stdout: the measured figures, or
{"skip": reason} when the client cannot run here (a module that does not import). Every result
is checked (a list of str, count, first and last prefix); a mismatch counts as an error, so a
fast but wrong client cannot pass. Exits 1 when any lookup failed, 3 on the time limit.
"""

from __future__ import annotations

import argparse
import asyncio
import concurrent.futures
import json
import os
import pathlib
import resource
import socket
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
from proc_stats import status_kib

CLIENTS = ("pymorvane", "pymorvane-uvloop", "asyncio", "asyncio-uvloop", "threadpool")

# The first AS number asked; each lookup asks the next one (the server ignores it).
ASN_BASE = 3333
# Threads of the thread-pool client's executor: at most this many of its lookups are in flight.
POOL_THREADS = 128
# Lookups run before the measurement (runtime start-up, resolver thread, first allocations).
WARMUP = 8


class Skip(Exception):
    """The client cannot run in this environment; the reason goes into the table."""


def reset_peak_rss() -> None:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # VmHWM := current RSS, so the peak is the measured run's
    except OSError:
        pass


# --- the clients -------------------------------------------------------------------------------
# Each factory returns (make_loop, lookup, in_flight_limit): lookup(asn) is a coroutine function
# yielding the prefix list.


def parse_header(header: bytes) -> int:
    if not header.startswith(b"A"):
        raise ConnectionError(f"no data block: {header!r}")
    return int(header[1:])


def asyncio_client(host: str, port: int):
    """What a Python user writes with streams."""

    async def lookup(asn: int) -> list[str]:
        reader, writer = await asyncio.open_connection(host, port)
        try:
            writer.write(b"!gAS%d\n" % asn)
            n = parse_header(await reader.readline())
            data = await reader.readexactly(n)
            return data.decode().split()
        finally:
            writer.close()
            await writer.wait_closed()

    return lookup


def threadpool_client(host: str, port: int, threads: int):
    """Blocking sockets on an executor, the other common way."""
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=threads)

    def blocking_lookup(asn: int) -> list[str]:
        with socket.create_connection((host, port)) as sock:
            sock.sendall(b"!gAS%d\n" % asn)
            with sock.makefile("rb") as f:
                n = parse_header(f.readline())
                data = f.read(n)
        if len(data) != n:
            raise ConnectionError("early eof")
        return data.decode().split()

    async def lookup(asn: int) -> list[str]:
        return await asyncio.get_running_loop().run_in_executor(pool, blocking_lookup, asn)

    return lookup


def pymorvane_client(host: str, port: int):
    """The module: the production entry when the registry host maps here, else the test-only entry
    that runs the same job against an explicit address."""
    production = os.environ.get("MORVANE_BENCH_PRODUCTION") == "1"
    try:
        if production:
            import pymorvane

            return pymorvane.fetch_routes
        import _pymorvane_testing

        address = f"{host}:{port}"
        fetch = _pymorvane_testing.fetch_routes_from
        return lambda asn: fetch(address, asn)
    except ImportError as e:
        raise Skip(f"module does not import ({e})") from None


def uvloop_factory():
    try:
        import uvloop
    except ImportError as e:
        raise Skip(f"uvloop does not import ({e})") from None
    return uvloop.new_event_loop


def make_client(name: str, host: str, port: int, concurrency: int):
    """(loop factory, lookup, lookups in flight at most)."""
    new_loop = uvloop_factory() if name.endswith("-uvloop") else asyncio.new_event_loop
    if name.startswith("pymorvane"):
        return new_loop, pymorvane_client(host, port), concurrency
    if name.startswith("asyncio"):
        return new_loop, asyncio_client(host, port), concurrency
    if name == "threadpool":
        threads = min(concurrency, POOL_THREADS)
        return new_loop, threadpool_client(host, port, threads), threads
    raise SystemExit(f"unknown client {name!r}; one of {', '.join(CLIENTS)}")


# --- the driver --------------------------------------------------------------------------------


class Checker:
    def __init__(self, count: int, first: str, last: str) -> None:
        self.count, self.first, self.last = count, first, last
        self.errors = 0
        self.first_error = ""

    def check(self, prefixes) -> None:
        if type(prefixes) is not list or len(prefixes) != self.count:
            n = len(prefixes) if isinstance(prefixes, list) else type(prefixes).__name__
            raise ValueError(f"wrong prefix list ({n})")
        if self.count and (
            type(prefixes[0]) is not str or prefixes[0] != self.first or prefixes[-1] != self.last
        ):
            raise ValueError(f"wrong prefix list (first {prefixes[0]!r}, last {prefixes[-1]!r})")

    def fail(self, e: BaseException) -> None:
        if not self.errors:
            self.first_error = f"{type(e).__name__}: {e}"
        self.errors += 1


async def drive(lookup, first_asn: int, n: int, concurrency: int, checker: Checker) -> None:
    """n lookups, at most `concurrency` in flight; each worker starts the next when one ends."""
    next_index = 0

    async def worker() -> None:
        nonlocal next_index
        while next_index < n:
            asn = first_asn + next_index
            next_index += 1
            try:
                checker.check(await lookup(asn))
            except Exception as e:  # every failure is counted and reported, none is fatal
                checker.fail(e)

    await asyncio.gather(*(worker() for _ in range(min(concurrency, n))))


async def measure(args, lookup, in_flight: int) -> dict:
    checker = Checker(args.expect_count, args.expect_first, args.expect_last)
    await drive(lookup, ASN_BASE, WARMUP, min(args.concurrency, WARMUP), checker)
    rss_base = status_kib("VmRSS")
    reset_peak_rss()
    t0 = time.perf_counter()
    loop_cpu0 = time.thread_time()
    cpu0 = resource.getrusage(resource.RUSAGE_SELF)
    try:
        await asyncio.wait_for(
            drive(lookup, ASN_BASE + WARMUP, args.lookups, args.concurrency, checker), args.timeout
        )
    except TimeoutError:
        print(f"{args.client}: time limit of {args.timeout} s reached", file=sys.stderr)
        os._exit(3)  # lookups still in flight on other threads: leave without waiting for them
    loop_cpu = time.thread_time() - loop_cpu0
    elapsed = time.perf_counter() - t0
    cpu1 = resource.getrusage(resource.RUSAGE_SELF)
    total_cpu = (cpu1.ru_utime - cpu0.ru_utime) + (cpu1.ru_stime - cpu0.ru_stime)
    return {
        "lookups": args.lookups,
        "errors": checker.errors,
        "first_error": checker.first_error,
        "elapsed": elapsed,
        "loop_cpu": loop_cpu,
        "total_cpu": total_cpu,
        "rss_base_kib": rss_base,
        "rss_peak_kib": status_kib("VmHWM"),
        "in_flight": min(in_flight, args.lookups),
    }


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("client", choices=CLIENTS)
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=43)
    p.add_argument("--lookups", type=int, default=1000)
    p.add_argument("--concurrency", type=int, default=1)
    p.add_argument("--expect-count", type=int, required=True)
    p.add_argument("--expect-first", required=True)
    p.add_argument("--expect-last", required=True)
    p.add_argument("--timeout", type=float, default=120.0)
    args = p.parse_args(argv)
    if args.lookups < 1 or args.concurrency < 1 or args.timeout <= 0:
        p.error("--lookups, --concurrency and --timeout must be positive")
    try:
        new_loop, lookup, in_flight = make_client(args.client, args.host, args.port,
                                                  args.concurrency)
    except Skip as e:
        print(json.dumps({"skip": str(e)}))
        return 0
    loop = new_loop()
    try:
        result = loop.run_until_complete(measure(args, lookup, in_flight))
    finally:
        loop.close()
    print(json.dumps(result))
    return 1 if result["errors"] else 0


if __name__ == "__main__":
    sys.exit(main())
