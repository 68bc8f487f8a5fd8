"""What `import pymorvane` exposes, and how fetch_routes binds and converts its argument."""

import asyncio
import importlib.machinery
import importlib.util

import pytest

import pymorvane


def test_module_attributes():
    assert pymorvane.__all__ == ["fetch_routes"]
    public = {name for name in vars(pymorvane) if not name.startswith("__")}
    assert public == {"fetch_routes"}
    assert isinstance(pymorvane.__doc__, str) and pymorvane.__doc__.strip()
    f = pymorvane.fetch_routes
    assert type(f).__name__ == "builtin_function_or_method"
    assert f.__name__ == "fetch_routes"
    assert f.__module__ == "pymorvane"
    assert f.__text_signature__ == "(asn)"
    assert f.__doc__ is None
    assert f.__self__ is None


def test_async_bridge_module_from_same_shared_object():
    loader = importlib.machinery.ExtensionFileLoader("async_bridge", pymorvane.__file__)
    spec = importlib.util.spec_from_file_location("async_bridge", pymorvane.__file__, loader=loader)
    mod = importlib.util.module_from_spec(spec)
    loader.exec_module(mod)
    assert mod.__all__ == ["FuturePanic"]
    assert mod.__doc__ == ""
    panic = mod.FuturePanic
    assert issubclass(panic, Exception)
    assert panic.__module__ == "async_bridge" and panic.__qualname__ == "FuturePanic"


BINDING_ERRORS = [
    ((1, 2), {}, TypeError, "fetch_routes() takes 1 positional arguments but 2 were given"),
    ((1, 2), {"x": 3}, TypeError, "fetch_routes() takes 1 positional arguments but 2 were given"),
    ((), {"x": 1, "asn": 2}, TypeError, "fetch_routes() got an unexpected keyword argument 'x'"),
    ((1,), {"asn": 2}, TypeError, "fetch_routes() got multiple values for argument 'asn'"),
    ((), {}, TypeError, "fetch_routes() missing 1 required positional argument: 'asn'"),
    ((2147483648,), {}, OverflowError, "out of range integral type conversion attempted"),
    ((-2147483649,), {}, OverflowError, "out of range integral type conversion attempted"),
]


@pytest.mark.parametrize("args,kwargs,exc,message", BINDING_ERRORS)
def test_binding_and_conversion_errors(args, kwargs, exc, message):
    async def call():
        with pytest.raises(exc) as info:
            pymorvane.fetch_routes(*args, **kwargs)
        assert type(info.value) is exc
        assert str(info.value) == message

    asyncio.run(call())


def test_conversion_errors_from_the_interpreter():
    async def call():
        with pytest.raises(OverflowError) as info:
            pymorvane.fetch_routes(2**63)
        assert str(info.value) != "out of range integral type conversion attempted"
        for bad in ("65000", 1.5, None):
            with pytest.raises(TypeError) as info:
                pymorvane.fetch_routes(bad)
            assert str(info.value).startswith("argument 'asn': ")

        class IndexRaises:
            def __index__(self):
                raise KeyError("from __index__")

        with pytest.raises(KeyError):
            pymorvane.fetch_routes(IndexRaises())

    asyncio.run(call())


def test_no_running_loop_raises_and_starts_nothing(run_python):
    out = run_python(
        """
import pymorvane, sys
try:
    pymorvane.fetch_routes(1)
except RuntimeError as e:
    print("raised", e)
print("workers", runtime_threads())
"""
    )
    assert out.splitlines() == ["raised no running event loop", "workers 0"]


def test_values_accepted(run_python):
    # True, 0, -1, the int32 limits and an __index__ object all reach the job; a refused
    # connection proves each was accepted and run.
    out = run_python(
        """
import asyncio, pymorvane

class Index:
    def __index__(self):
        return 65000

async def main():
    for asn in (True, 0, -1, 2147483647, -2147483648, Index()):
        fut = pymorvane.fetch_routes(asn)
        assert isinstance(fut, asyncio.Future) and fut.get_loop() is asyncio.get_running_loop()
        fut.cancel()
    fut = pymorvane.fetch_routes(asn=64496)
    assert isinstance(fut, asyncio.Future)
    fut.cancel()
    print("ok", runtime_threads())

asyncio.run(main())
""",
        env={"MORVANE_WORKER_THREADS": "3"},
    )
    # 3 workers plus at most one blocking name-lookup thread per call made.
    word, threads = out.split()
    assert word == "ok" and 3 <= int(threads) <= 3 + 7
