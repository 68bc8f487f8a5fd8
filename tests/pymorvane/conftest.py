"""Helpers for the module's tests: a fresh interpreter per scenario, so process-wide state (the
runtime, its worker count, caches) starts empty."""

import pytest

from support import fresh


@pytest.fixture
def run_python(module_dir):
    """Runs `code` in a fresh interpreter (support.fresh); it must succeed. Returns its stdout."""

    def run(code: str, env: dict[str, str] | None = None, timeout: float = 60) -> str:
        proc = fresh.run_python(module_dir, code, env=env, timeout=timeout)
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
