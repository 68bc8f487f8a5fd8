"""Reference counts stay level across lookups that succeed, fail and are cancelled: no path of
entry, job, bridge or completion keeps or loses a reference. Runs only on a debug interpreter
(sys.gettotalrefcount), with the extension built against it; tools/refcount-check does both."""

import itertools
import json
import sys

import pytest

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="needs a --with-pydebug interpreter (tools/refcount-check)")

SCRIPT = r'''
import asyncio, gc, json, os, sys, time
import _pymorvane_testing as t

ok, silent, refused = sys.argv[1:4]
fetch = t.fetch_routes_from

def drain():
    # Any entry into the module drains its ReferencePool first; a bad argument makes it cheap.
    try:
        fetch("127.0.0.1:1", "not an AS number")
    except TypeError:
        pass

def quiet_total(threads):
    """The total once the runtime is idle: blocking threads keep their thread state (and what it
    refers to) until their 10-second keep-alive ends, so wait for the thread count of an idle
    process; the jobs of cancelled lookups end on worker threads shortly after the cancel and
    queue what they held for the next entry, so drain until the total holds still."""
    deadline = time.monotonic() + 60
    while process_threads() > threads and time.monotonic() < deadline:
        time.sleep(0.25)
    prev = None
    for _ in range(200):
        time.sleep(0.02)
        drain()
        gc.collect()
        total = sys.gettotalrefcount()
        if total == prev:
            return total
        prev = total
    raise SystemExit("reference total never settled")

async def chunk(i0):
    futs, kinds = [], []
    for i in range(i0, i0 + 250):
        k = i % 10
        if k < 4:
            futs.append(fetch(ok, 64496)); kinds.append("result")
        elif k < 6:
            futs.append(fetch(refused, 64496)); kinds.append("error")  # cannot connect
        elif k < 7:
            futs.append(fetch(ok, 64511)); kinds.append("error")  # "D": no routes
        else:
            futs.append(fetch(silent, 64496)); kinds.append("cancel")
    await asyncio.sleep(0.02)  # the silent ones connect and wait
    for f, kind in zip(futs, kinds):
        if kind == "cancel":
            f.cancel()
    # No wait_for here: its cancelled timer handles linger in the loop and would blur the count;
    # the subprocess timeout bounds the wait.
    outcomes = await asyncio.gather(*futs, return_exceptions=True)
    for kind, out in zip(kinds, outcomes):
        got = ("result" if out == ["192.0.2.0/24"] else
               "error" if type(out) is ConnectionError else
               "cancel" if isinstance(out, asyncio.CancelledError) else repr(out))
        assert got == kind, (kind, got)

async def thousand():
    for i0 in range(0, 1000, 250):
        await chunk(i0)

loop = asyncio.new_event_loop()
drain()
idle = process_threads()
for _ in range(2):  # warm-up: the runtime, caches, interned names, classes, freelists
    loop.run_until_complete(thousand())
idle = idle + int(os.environ["MORVANE_WORKER_THREADS"])  # workers live for the process
totals = [quiet_total(idle)]
for _ in range(3):
    loop.run_until_complete(thousand())
    totals.append(quiet_total(idle))
print(json.dumps(totals))
'''


@pytest.mark.timeout(600)
def test_reference_total_is_level_across_thousands_of_lookups(python_script, emulator):
    ok = emulator("--route", "64496=192.0.2.0/24")
    silent = emulator("--mode", "silent")
    refused = emulator("--mode", "silent")
    refused_address = refused.address
    refused.stop()  # nothing listens there any more
    proc = python_script(SCRIPT, ok.address, silent.address, refused_address, timeout=500,
                         env={"MORVANE_WORKER_THREADS": "2"})
    assert proc.returncode == 0, proc.stderr
    totals = json.loads(proc.stdout.strip().splitlines()[-1])
    print("reference totals after warm-up and after each 1,000 lookups:", totals)
    # A reference kept or lost on any path would move the total by at least 100 per round (each
    # kind of outcome is 100 or more of the 1,000). The interpreter's own drift (asyncio's and
    # the allocator's caches) has been up to a few dozen per round.
    steps = [b - a for a, b in itertools.pairwise(totals)]
    assert all(abs(step) < 50 for step in steps), totals
