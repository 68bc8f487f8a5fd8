"""Fixtures for the hardening tests (helpers in tests/support)."""

import pytest

from support import fresh
from support.emulator import EmulatorProcess


@pytest.fixture
def emulator():
    """Starts emulator processes on demand: emulator("--mode", "silent", log=True), or
    emulator(custom='IrrEmulator(...)') for one built in the emulator process."""
    started: list[EmulatorProcess] = []

    def start(*args: str, log: bool = False, custom: str | None = None) -> EmulatorProcess:
        e = EmulatorProcess.custom(custom, log) if custom else EmulatorProcess(*args, log=log)
        started.append(e)
        return started[-1]

    yield start
    for e in started:
        e.stop()


@pytest.fixture
def python_script(module_dir):
    """Runs `code` in a fresh interpreter (support.fresh); returns the finished process."""

    def run(code: str, *args: str, timeout: float = 120, env: dict | None = None):
        return fresh.run_python(module_dir, code, *args, env=env, timeout=timeout)

    return run
