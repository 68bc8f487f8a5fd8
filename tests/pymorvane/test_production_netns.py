"""The production module itself, unchanged, against the emulator on port 43 of a private network
namespace in which the registry's host name resolves to loopback."""

import json
import os
import shutil
import subprocess
import sys

import pytest

from support.paths import EMULATOR, TOOLS

NETNS = TOOLS / "with-registry-netns"

SCENARIO = r"""
import asyncio, json, subprocess, sys
import pymorvane

emulator = subprocess.Popen(
    [sys.executable, sys.argv[1], "--host", "127.0.0.1", "--port", "43",
     "--route", "3333=193.0.0.0/21,193.0.10.0/23"],
    stdout=subprocess.PIPE, text=True)
assert emulator.stdout.readline().strip() == "43"

async def outcome(asn):
    try:
        return await asyncio.wait_for(pymorvane.fetch_routes(asn), 30)
    except ConnectionError as exc:
        return [type(exc).__name__, *exc.args]

if sys.argv[2] == "uvloop":
    import uvloop
    run = lambda coro: asyncio.run(coro, loop_factory=uvloop.new_event_loop)
else:
    run = asyncio.run

found = run(outcome(3333))
missing = run(outcome(64496))
emulator.terminate()
emulator.wait()
refused = run(outcome(3333))
print(json.dumps({"found": found, "missing": missing, "refused": refused}))
"""


def namespaces_available() -> str | None:
    if os.geteuid() != 0:
        return "needs root to create a network namespace"
    if not shutil.which("unshare") or not shutil.which("ip"):
        return "needs unshare (util-linux) and ip (iproute2)"
    if subprocess.run(["unshare", "--net", "--mount", "true"], capture_output=True).returncode:
        return "network namespaces are not available here"
    return None


@pytest.mark.skipif(namespaces_available() is not None, reason=str(namespaces_available()))
@pytest.mark.parametrize("loop", ["asyncio", "uvloop"])
def test_production_module_in_private_namespace(module_dir, loop):
    env = {**os.environ, "PYTHONPATH": str(module_dir)}
    proc = subprocess.run(
        [str(NETNS), sys.executable, "-c", SCENARIO, str(EMULATOR), loop],
        env=env, capture_output=True, text=True, timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout.strip().splitlines()[-1])
    assert result["found"] == ["193.0.0.0/21", "193.0.10.0/23"]
    assert result["missing"] == [
        "ConnectionError", "Failed to fetch routes: cannot parse integer from empty string"]
    assert result["refused"] == [
        "ConnectionError", "Failed to connect: Connection refused (os error 111)"]
