#!/usr/bin/env python3
"""Soak test: many lookups against a misbehaving registry, then a check that nothing leaked.

    tools/soak.py [--lookups 100000] [--concurrency 256] [--client auto|production|testing]
                  [--servers 2] [--cancel-rate 0.1] [--timeout 1.0] [--rss-bound-mib 64]
                  [--seed 1] [--build-dir build/default]

Client. `production` runs the unchanged `pymorvane.fetch_routes` inside a private network
namespace (tools/with-registry-netns) in which the registry's host name resolves to 127.0.0.1
and the emulator listens on port 43; it needs root. `testing` runs the same job through
`_pymorvane_testing.fetch_routes_from` against an ephemeral port. `auto` (the default) takes
`production` when namespaces are available and `testing` otherwise.

Server. `--servers` emulator processes (tools/irr_emulator.py, with a per-connection fault
picked at random) share one listening port with SO_REUSEPORT, so the client's descriptors are
not the server's. Faults, by weight: normal answer 50, never answer 10, close early (a random
prefix of the answer, then close) 10, garbage (one of the emulator's raw presets: garbage,
huge-length, wrong-length, invalid-utf8) 10, trickle (1 ms per byte) 10, and "D" for an AS
without routes 10 (the client asks for one of those now and then).

Client behaviour. At most `--concurrency` lookups are in flight. A share `--cancel-rate` of
them is cancelled after a random 0-50 ms; every other one is cancelled if it has not finished
after `--timeout` seconds (that is how never-answering connections end). A successful lookup
must return exactly the emulator's IPv4 routes for its AS.

Afterwards it checks, and prints:
  - every future is done or cancelled, each seen by its done callback exactly once, and no
    outcome other than a result, a ConnectionError or a cancellation occurred;
  - open descriptors are back to the count before the run (taken after a warm-up that built
    the runtime, once the count has held still for a second);
  - runtime threads ("morvane-worker") drop back to N (MORVANE_WORKER_THREADS, set to 2 when
    unset) once the blocking threads' 10-second keep-alive has passed;
  - RSS after the run exceeds RSS after the warm-up by less than --rss-bound-mib.
Exit status 0 when every check holds, 1 otherwise (77 when `production` was forced and no
namespace is available). A full run (100,000 lookups) takes several minutes on two cores.
"""

from __future__ import annotations

import argparse
import asyncio
import functools
import json
import os
import pathlib
import random
import signal
import subprocess
import sys
import time

from irr_emulator import DATASET, PRESETS, IrrEmulator  # this script's folder, tools/
from proc_stats import runtime_threads, status_kib

ROOT = pathlib.Path(__file__).resolve().parents[1]

FAULTS = {"normal": 50, "silent": 10, "close-early": 10, "garbage": 10, "trickle": 10}
MISSING_AS = 64511  # no routes in DATASET: the emulator answers "D"
ASNS = sorted(DATASET) + [MISSING_AS]
# What "!gAS<n>" returns: the IPv4 routes, each once; no routes is a "D" answer (an error).
EXPECTED = {asn: list(dict.fromkeys(p for p in DATASET.get(asn, []) if ":" not in p)) for asn in ASNS}


# -- the server side ------------------------------------------------------------------------------


class ChaosEmulator(IrrEmulator):
    """The emulator with a fault picked at random for each route query."""

    def __init__(self, seed: int) -> None:
        super().__init__(DATASET)
        self.rng = random.Random(seed)
        self.stats = {f: {"served": 0, "peer_closed": 0} for f in FAULTS}

    async def start(self, host: str = "127.0.0.1", port: int = 0) -> int:
        self._server = await asyncio.start_server(self._serve, host, port, backlog=4096,
                                                  reuse_port=True)
        self.port = self._server.sockets[0].getsockname()[1]
        return self.port

    async def _route_answer(self, query, reader, writer, record) -> bool:
        fault = self.rng.choices(list(FAULTS), weights=list(FAULTS.values()))[0]
        stats = self.stats[fault]
        stats["served"] += 1
        answer = self.answer(query)
        try:
            if fault == "silent":
                await self._wait_for_peer_close(reader, record)
            elif fault == "trickle":
                for i in range(len(answer)):
                    writer.write(answer[i:i + 1])
                    await writer.drain()
                    await asyncio.sleep(0.001)
            else:
                if fault == "close-early":
                    answer = answer[:self.rng.randrange(len(answer))]
                elif fault == "garbage":
                    answer = self.rng.choice(list(PRESETS.values()))
                writer.write(answer)
                await writer.drain()
        except (ConnectionError, OSError):
            record.peer_closed = True
        stats["peer_closed"] += record.peer_closed
        return False  # the server closes after one answer


def serve(host: str, port: int, seed: int) -> None:
    """The emulator process: prints its port, then its statistics as JSON on SIGTERM."""
    emulator = ChaosEmulator(seed)

    async def run() -> None:
        stop = asyncio.Event()
        asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
        print(await emulator.start(host, port), flush=True)
        await stop.wait()
        await emulator.close()
        print(json.dumps(emulator.stats), flush=True)

    asyncio.run(run())


def start_servers(count: int, host: str, port: int, seed: int) -> tuple[list[subprocess.Popen], int]:
    procs = []
    for i in range(count):
        procs.append(subprocess.Popen(
            [sys.executable, __file__, "--serve", host, str(port), str(seed + i)],
            stdout=subprocess.PIPE, text=True))
        line = procs[-1].stdout.readline()
        if not line.strip().isdigit():
            raise SystemExit(f"soak: emulator process did not start: {line!r}")
        port = int(line)  # the others share the first one's port
    return procs, port


def stop_servers(procs: list[subprocess.Popen]) -> dict:
    total = {f: {"served": 0, "peer_closed": 0} for f in FAULTS}
    for p in procs:
        p.send_signal(signal.SIGTERM)
        out, _ = p.communicate(timeout=60)
        for fault, counts in json.loads(out.strip().splitlines()[-1]).items():
            for k, v in counts.items():
                total[fault][k] += v
    return total


# -- process figures --------------------------------------------------------------------------------


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


def settled_fds(bound: float = 15) -> int:
    """The descriptor count once it has held still for a second: sockets of cancelled lookups
    close on worker threads just after the cancel, and name lookups that were under way when
    their lookup was cancelled finish on their own."""
    count, since, start = open_fds(), time.monotonic(), time.monotonic()
    while time.monotonic() - since < 1 and time.monotonic() - start < bound:
        time.sleep(0.1)
        if (now := open_fds()) != count:
            count, since = now, time.monotonic()
    return count


# -- the client side --------------------------------------------------------------------------------


class Soak:
    def __init__(self, fetch, args: argparse.Namespace) -> None:
        self.fetch, self.args = fetch, args
        self.rng = random.Random(args.seed)
        self.outcomes = {"result": 0, "connection_error": 0, "cancelled_random": 0,
                         "cancelled_timeout": 0, "wrong_result": 0, "other": 0}
        self.messages: dict[str, int] = {}
        self.others: list[str] = []
        self.pending: set[asyncio.Future] = set()
        self.callbacks = 0
        self.peak_threads = 0
        self.peak_rss = 0

    def finished(self, fut: asyncio.Future, asn: int, timer: asyncio.TimerHandle, random_cancel: bool,
                 slots: asyncio.Semaphore) -> None:
        self.callbacks += 1
        self.pending.discard(fut)
        timer.cancel()
        slots.release()
        if fut.cancelled():
            self.outcomes["cancelled_random" if random_cancel else "cancelled_timeout"] += 1
            return
        exc = fut.exception()
        if exc is None:
            ok = fut.result() == EXPECTED[asn] != []
            self.outcomes["result" if ok else "wrong_result"] += 1
        elif type(exc) is ConnectionError:
            self.outcomes["connection_error"] += 1
            key = exc.args[0].split(":")[0] + ": " + exc.args[0].split(": ", 1)[1][:40]
            self.messages[key] = self.messages.get(key, 0) + 1
        else:
            self.outcomes["other"] += 1
            if len(self.others) < 10:
                self.others.append(f"{type(exc).__name__}: {exc}")

    async def sample(self) -> None:
        while True:
            self.peak_threads = max(self.peak_threads, runtime_threads())
            self.peak_rss = max(self.peak_rss, status_kib("VmRSS"))
            await asyncio.sleep(0.5)

    async def run(self, total: int, progress: bool = True) -> None:
        loop = asyncio.get_running_loop()
        slots = asyncio.Semaphore(self.args.concurrency)
        sampler = asyncio.create_task(self.sample())
        started = time.monotonic()
        for i in range(total):
            await slots.acquire()
            asn = self.rng.choice(ASNS)
            fut = self.fetch(asn)
            random_cancel = self.rng.random() < self.args.cancel_rate
            delay = self.rng.uniform(0, 0.05) if random_cancel else self.args.timeout
            timer = loop.call_later(delay, fut.cancel)
            self.pending.add(fut)
            fut.add_done_callback(functools.partial(self.finished, asn=asn, timer=timer,
                                                    random_cancel=random_cancel, slots=slots))
            if progress and i and i % 10_000 == 0:
                rate = i / (time.monotonic() - started)
                print(f"  {i} started, {rate:.0f}/s, {runtime_threads()} runtime threads, "
                      f"RSS {status_kib('VmRSS') // 1024} MiB", flush=True)
        # Everything still running ends by its timer; bound the wait anyway.
        deadline = loop.time() + self.args.timeout + 60
        while self.pending and loop.time() < deadline:  # noqa: ASYNC110 - a bounded poll
            await asyncio.sleep(0.05)
        sampler.cancel()


def make_fetch(client: str, address: str):
    if client == "production":
        import pymorvane
        return pymorvane.fetch_routes
    import _pymorvane_testing
    return functools.partial(_pymorvane_testing.fetch_routes_from, address)


def soak(args: argparse.Namespace) -> int:
    os.environ.setdefault("MORVANE_WORKER_THREADS", "2")
    workers = int(os.environ["MORVANE_WORKER_THREADS"])
    sys.path.insert(0, str(pathlib.Path(args.build_dir).resolve() / "python"))
    host = "127.0.0.1"
    servers, port = start_servers(args.servers, host, 43 if args.client == "production" else 0,
                                  args.seed * 1000)
    fetch = make_fetch(args.client, f"{host}:{port}")
    print(f"soak: client {args.client}, {args.servers} emulator processes on {host}:{port}, "
          f"N = {workers} workers", flush=True)

    # Warm-up: builds the runtime and lets the allocator and caches reach their steady state.
    asyncio.run(Soak(fetch, args).run(min(2_000, args.lookups), progress=False))
    fds_before, rss_before = settled_fds(), status_kib("VmRSS")

    t0 = time.monotonic()
    s = Soak(fetch, args)
    asyncio.run(s.run(args.lookups))
    duration = time.monotonic() - t0
    fds_after_run, rss_after = settled_fds(), status_kib("VmRSS")

    # Blocking threads end after 10 idle seconds; wait up to 30 for N to remain.
    t1 = time.monotonic()
    while runtime_threads() != workers and time.monotonic() - t1 < 30:
        time.sleep(0.25)
    threads_after, settle = runtime_threads(), time.monotonic() - t1
    fds_after = open_fds()
    server_stats = stop_servers(servers)

    growth_mib = (rss_after - rss_before) / 1024
    checks = {
        "every future done or cancelled": not s.pending and s.callbacks == args.lookups,
        "only results, ConnectionErrors and cancellations":
            s.outcomes["other"] == 0 and s.outcomes["wrong_result"] == 0,
        "descriptors back to the start count": fds_after == fds_before,
        f"runtime threads back to N = {workers}": threads_after == workers,
        f"RSS growth under {args.rss_bound_mib} MiB": growth_mib < args.rss_bound_mib,
    }
    figures = {
        "lookups": args.lookups, "duration_s": round(duration, 1),
        "lookups_per_s": round(args.lookups / duration), "concurrency": args.concurrency,
        "outcomes": s.outcomes, "connection_errors": dict(sorted(s.messages.items())),
        "other_exceptions": s.others,
        "fds": {"before": fds_before, "right_after": fds_after_run, "after_keep_alive": fds_after},
        "threads": {"N": workers, "peak": s.peak_threads, "after": threads_after,
                    "settled_after_s": round(settle, 1)},
        "rss_kib": {"after_warm_up": rss_before, "peak": s.peak_rss, "after": rss_after,
                    "growth_mib": round(growth_mib, 1), "bound_mib": args.rss_bound_mib},
        "server_faults": server_stats,
    }
    print(json.dumps(figures, indent=2))
    for name, ok in checks.items():
        print(f"{'PASS' if ok else 'FAIL'}  {name}")
    return 0 if all(checks.values()) else 1


def namespaces_available() -> bool:
    """tools/with-registry-netns can make its namespaces here (as root, or in a user namespace)."""
    netns = pathlib.Path(__file__).resolve().parent / "with-registry-netns"
    return subprocess.run([str(netns), "--check"], capture_output=True).returncode == 0


def main() -> int:
    if len(sys.argv) == 5 and sys.argv[1] == "--serve":
        serve(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
        return 0
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--lookups", type=int, default=100_000)
    p.add_argument("--concurrency", type=int, default=256)
    p.add_argument("--client", choices=("auto", "production", "testing"), default="auto")
    p.add_argument("--servers", type=int, default=2)
    p.add_argument("--cancel-rate", type=float, default=0.1)
    p.add_argument("--timeout", type=float, default=1.0)
    p.add_argument("--rss-bound-mib", type=float, default=64)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--build-dir", default=os.environ.get("MORVANE_BUILD_DIR",
                                                         str(ROOT / "build" / "default")))
    p.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    args = p.parse_args()

    if args.client in ("auto", "production") and not args.inside:
        if namespaces_available():
            cmd = [str(ROOT / "tools" / "with-registry-netns"), sys.executable, __file__,
                   *strip_client(sys.argv[1:]), "--client", "production", "--inside"]
            return subprocess.run(cmd).returncode
        if args.client == "production":
            print("soak: no network namespace available (needs root)", file=sys.stderr)
            return 77
        args.client = "testing"
    return soak(args)


def strip_client(argv: list[str]) -> list[str]:
    """argv without any --client option (both the "--client X" and "--client=X" forms)."""
    out, skip = [], False
    for a in argv:
        if skip:
            skip = False
        elif a == "--client":
            skip = True
        elif not a.startswith("--client="):
            out.append(a)
    return out


if __name__ == "__main__":
    sys.exit(main())
