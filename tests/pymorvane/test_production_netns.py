"""The production module itself, unchanged, against the emulator on port 43 of a private network
namespace in which the registry's host name resolves to loopback: the same answers as the
route-fetch tests of the test-only module. tools/check-wheel runs this file against the module
installed from the repaired wheel (another compiler and C++ library), so it needs only `pymorvane`
and the checkout's tests/ and tools/ on the path."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

from route_cases import FAILED_ANSWERS, FRAMED_ANSWERS
from support.netns import NETNS, namespaces_unavailable

ROOT = pathlib.Path(__file__).resolve().parents[2]

# Runs inside the namespace; prints one JSON object of outcomes.
SCENARIO = r"""
import asyncio, json, sys
sys.path[:0] = sys.argv[1:4]
from irr_emulator import serve_in_thread
from route_cases import CONCURRENT_ROUTES, FAILED_ANSWERS, FRAMED_ANSWERS
from support.wait import until
import pymorvane

if sys.argv[4] == "uvloop":
    import uvloop
    run = lambda coro: asyncio.run(coro, loop_factory=uvloop.new_event_loop)
else:
    run = asyncio.run

async def outcome(asn):
    try:
        return await asyncio.wait_for(pymorvane.fetch_routes(asn), 30)
    except ConnectionError as exc:
        return [type(exc).__name__, *exc.args]

def answered(reply, hold):
    with serve_in_thread({}, mode="raw", raw=reply, hold=hold, port=43):
        return run(outcome(64496))

async def cancelled_silent(emulator):
    fut = pymorvane.fetch_routes(64496)
    done, _ = await asyncio.wait([fut], timeout=0.5)
    fut.cancel()
    return not done and len(emulator.records) == 1

def silent_then_cancelled():
    with serve_in_thread({}, mode="silent", port=43) as emulator:
        pending = run(cancelled_silent(emulator))
        return pending and until(lambda: emulator.records[0].peer_closed)

async def concurrent():
    futs = [pymorvane.fetch_routes(asn) for asn in CONCURRENT_ROUTES for _ in range(4)]
    return await asyncio.wait_for(asyncio.gather(*futs), 60)

with serve_in_thread({3333: ["193.0.0.0/21", "193.0.10.0/23"]}, port=43) as emulator:
    found = run(outcome(3333))
    query = bytes(emulator.records[0].received).decode()
with serve_in_thread(CONCURRENT_ROUTES, port=43):
    many = run(concurrent())
print(json.dumps({
    "found": found, "query": query,
    "framed": [answered(reply, True) for reply, _ in FRAMED_ANSWERS],
    "failed": [answered(reply, False) for reply, _ in FAILED_ANSWERS],
    "cancel_closes": silent_then_cancelled(),
    "concurrent": many == [CONCURRENT_ROUTES[asn] for asn in CONCURRENT_ROUTES for _ in range(4)],
    "refused": run(outcome(3333)),
}))
"""


@pytest.mark.skipif(namespaces_unavailable() is not None, reason=str(namespaces_unavailable()))
@pytest.mark.parametrize("loop", ["asyncio", "uvloop"])
def test_production_module_in_private_namespace(module_dir, loop):
    env = {**os.environ, "PYTHONPATH": str(module_dir)}
    here = pathlib.Path(__file__).resolve().parent
    proc = subprocess.run(
        [str(NETNS), sys.executable, "-c", SCENARIO, str(ROOT / "tools"), str(ROOT / "tests"), str(here),
         loop],
        env=env, capture_output=True, text=True, timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout.strip().splitlines()[-1])
    assert result["found"] == ["193.0.0.0/21", "193.0.10.0/23"]
    assert result["query"] == "!gAS3333\n"
    assert result["framed"] == [expected for _, expected in FRAMED_ANSWERS]
    assert result["failed"] == [["ConnectionError", message] for _, message in FAILED_ANSWERS]
    assert result["cancel_closes"] is True
    assert result["concurrent"] is True
    assert result["refused"] == [
        "ConnectionError", "Failed to connect: Connection refused (os error 111)"]
