"""Helpers for the module's tests: a fresh interpreter per scenario, so process-wide state (the
runtime, its worker count, caches) starts empty."""

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest


TOOLS = pathlib.Path(__file__).resolve().parents[2] / "tools"
PRELUDE = f'''
import sys
sys.path.append({str(TOOLS)!r})
from proc_stats import rss_kib, runtime_threads
'''


@pytest.fixture
def run_python(module_dir):
    def run(code: str, env: dict[str, str] | None = None, timeout: float = 60) -> str:
        full_env = {**os.environ, "PYTHONPATH": str(module_dir), **(env or {})}
        proc = subprocess.run(
            [sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
            env=full_env, capture_output=True, text=True, timeout=timeout,
        )
        assert proc.returncode == 0, proc.stderr
        return proc.stdout

    return run


@pytest.fixture(params=["asyncio", "uvloop"])
def aio(request):
    """Runs a coroutine to completion on a fresh loop of the kind users run: the standard
    asyncio loop, or uvloop."""
    import asyncio

    if request.param == "uvloop":
        uvloop = pytest.importorskip("uvloop")
        factory = uvloop.new_event_loop
    else:
        factory = asyncio.new_event_loop

    def run(coro):
        return asyncio.run(coro, loop_factory=factory)

    run.kind = request.param
    return run
