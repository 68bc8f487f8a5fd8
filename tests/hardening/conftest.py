"""Fixtures for the hardening tests (helpers in hardening_support)."""

import os
import subprocess
import sys
import textwrap

import pytest

from hardening_support import PRELUDE, EmulatorProcess


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
    """Runs `code` (with PRELUDE's helpers) in a fresh interpreter; returns the finished process.
    The timeout makes a hang a failure instead of a stuck suite."""

    def run(code: str, *args: str, timeout: float = 120, env: dict | None = None):
        full_env = {**os.environ, "PYTHONPATH": str(module_dir), **(env or {})}
        return subprocess.run(
            [sys.executable, "-c", PRELUDE + textwrap.dedent(code), *args],
            env=full_env, capture_output=True, text=True, timeout=timeout,
        )

    return run
