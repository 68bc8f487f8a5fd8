"""MORVANE_WORKER_THREADS as a user meets it: through the first fetch_routes call of a process."""

import pytest

SCENARIO = """
import asyncio, pymorvane

async def call():
    try:
        pymorvane.fetch_routes(64496).cancel()
        return "ok"
    except BaseException as exc:
        return f"{type(exc).__name__}: {exc}"

async def main():
    print(await call())
    print(await call())
    print(runtime_threads() >= 3 and "threads>=3" or f"threads={runtime_threads()}")

asyncio.run(main())
"""


@pytest.mark.parametrize("value", ["3", "+3", "003"])
def test_valid_values(run_python, value):
    out = run_python(SCENARIO, env={"MORVANE_WORKER_THREADS": value}).splitlines()
    assert out == ["ok", "ok", "threads>=3"]


@pytest.mark.parametrize(
    "value,error",
    [
        (" 3", "invalid digit found in string"),
        ("3 ", "invalid digit found in string"),
        ("-3", "invalid digit found in string"),
        ("", "cannot parse integer from empty string"),
        ("18446744073709551616", "number too large to fit in target type"),
    ],
)
def test_invalid_values_raise_panic_then_poisoned(run_python, value, error):
    first, second, threads = run_python(SCENARIO, env={"MORVANE_WORKER_THREADS": value}).splitlines()
    assert first == (
        f'PanicException: "MORVANE_WORKER_THREADS" must be usize, error: {error}, value: {value}'
    )
    assert second.startswith("PanicException: ") and "poison" in second
    assert threads == "threads=0"


def test_zero_starts_no_worker(run_python):
    first, second, threads = run_python(SCENARIO, env={"MORVANE_WORKER_THREADS": "0"}).splitlines()
    assert first == 'PanicException: "MORVANE_WORKER_THREADS" cannot be set to 0'
    assert second.startswith("PanicException: ") and "poison" in second
    assert threads == "threads=0"
