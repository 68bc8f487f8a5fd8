#!/usr/bin/env python3
"""What the runtime costs when nothing is in flight: the CPU and the wake-ups of a process whose
runtime has been built (one lookup made) and that then waits on its event loop.

    .venv/bin/python bench/idle.py [--seconds 10] [--windows 2] [--build-dir build/module]

A child process makes one `pymorvane.fetch_routes` lookup (against bench's irr_server, in
tools/with-registry-netns as root, else through the test-only entry on 127.0.0.1), then sleeps in
`asyncio.sleep`. This process samples the child's /proc every --seconds, --windows times, starting
1 s after the lookup: utime + stime of /proc/PID/stat (clock ticks, the figure ps and top show),
the CPU time of every thread in nanoseconds (/proc/PID/task/TID/schedstat) and their voluntary
context switches (a thread that sleeps and is woken counts one). The blocking pool's threads end
after 10 s without a job, so the window in which they do so shows their exit.
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import pathlib
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
NETNS = ROOT / "tools" / "with-registry-netns"
IN_NETNS_ENV = "MORVANE_IDLE_IN_NETNS"

CHILD = r"""
import asyncio, os, sys
async def main():
    if os.environ.get("MORVANE_IDLE_PRODUCTION") == "1":
        import pymorvane
        r = await pymorvane.fetch_routes(3333)
    else:
        import _pymorvane_testing
        r = await _pymorvane_testing.fetch_routes_from(sys.argv[1], 3333)
    assert len(r) == 2, r
    print("ready", flush=True)
    await asyncio.sleep(float(sys.argv[2]))
asyncio.run(main())
"""


def sample(pid: int) -> dict:
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])
    threads = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                cpu_ns = int(f.read().split()[0])
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                status = dict(line.split(":", 1) for line in f if ":" in line)
            threads[int(tid)] = (cpu_ns, int(status["voluntary_ctxt_switches"]),
                                 status["Name"].strip())
        except (FileNotFoundError, ProcessLookupError):  # the thread ended while we looked
            pass
    return {"t": time.monotonic(), "ticks": ticks, "threads": threads}


def window(a: dict, b: dict) -> dict:
    """The difference of two samples; threads that ended in between count up to their last
    sample (their last moments are lost with them, a few µs)."""
    cpu_ns = switches = 0
    for tid, (ns, sw, _name) in b["threads"].items():
        ns0, sw0, _ = a["threads"].get(tid, (0, 0, ""))
        cpu_ns += ns - ns0
        switches += sw - sw0
    return {"seconds": b["t"] - a["t"], "ticks": b["ticks"] - a["ticks"],
            "cpu_us": cpu_ns / 1000, "wakeups": switches,
            "threads_before": len(a["threads"]), "threads_after": len(b["threads"])}


def measure(args) -> int:
    sys.path.insert(0, str(HERE))
    import compare

    production = os.environ.get(IN_NETNS_ENV) == "1"
    binaries = compare.native_binaries(pathlib.Path(args.build_dir))
    server = compare.Server(binaries["irr_server"], "127.0.0.1", 43 if production else 0, 2, 1)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        filter(None, [str(pathlib.Path(args.build_dir) / "python"), env.get("PYTHONPATH")]))
    env["MORVANE_IDLE_PRODUCTION"] = "1" if production else "0"
    total = 1 + args.seconds * args.windows + 5
    child = subprocess.Popen([sys.executable, "-c", CHILD, f"127.0.0.1:{server.port}", str(total)],
                             stdout=subprocess.PIPE, text=True, env=env,
                             preexec_fn=compare.die_with_parent)
    try:
        if child.stdout.readline().strip() != "ready":
            raise SystemExit("idle: the child's lookup failed")
        time.sleep(1)
        samples = [sample(child.pid)]
        for _ in range(args.windows):
            time.sleep(args.seconds)
            samples.append(sample(child.pid))
    finally:
        child.kill()
        child.wait()
        server.stop()
    tick_ms = 1000 / os.sysconf("SC_CLK_TCK")
    results = [window(a, b) for a, b in itertools.pairwise(samples)]
    for i, w in enumerate(results):
        print(f"window {i + 1} ({w['seconds']:.1f} s from {1 + i * args.seconds} s after the "
              f"lookup): utime+stime {w['ticks']} ticks ({w['ticks'] * tick_ms:.0f} ms); "
              f"all threads {w['cpu_us']:.0f} µs of CPU "
              f"({w['cpu_us'] / w['seconds'] / 1e4:.4f}% of one CPU); {w['wakeups']} voluntary "
              f"context switches; threads {w['threads_before']} -> {w['threads_after']}")
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(results, indent=1))
    return 0


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--seconds", type=float, default=10.0, help="length of one window")
    p.add_argument("--windows", type=int, default=2)
    p.add_argument("--build-dir", default=str(ROOT / "build" / "module"))
    p.add_argument("--json", metavar="PATH")
    p.add_argument("--no-netns", action="store_true")
    args = p.parse_args(argv)
    if not args.no_netns and os.environ.get(IN_NETNS_ENV) != "1":
        probe = subprocess.run([str(NETNS), "--check"], stderr=subprocess.DEVNULL)
        if probe.returncode == 0:
            os.environ[IN_NETNS_ENV] = "1"
            os.execv(str(NETNS), [str(NETNS), sys.executable,
                                  str(pathlib.Path(__file__).resolve()), *sys.argv[1:]])
    return measure(args)


if __name__ == "__main__":
    sys.exit(main())
